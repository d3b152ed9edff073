# Builds the libraries of the Windows build into a prefix, from Debian's own source packages of the
# versions the Linux build uses: qtbase (Core, Gui, Widgets, Test, the qwindows platform plugin),
# curl (Schannel, HTTP only, static), libxlsxwriter (static) and GoogleTest (static, from
# /usr/src/googletest). zlib comes from libz-mingw-w64-dev; nlohmann/json and SimpleIni are the
# Debian headers. Sourced by scripts/package-windows; the prefix's name is a hash of this file and
# of the source versions, so a changed option or a new Debian upload builds a new prefix and an
# unchanged one is reused.
#
# Each library is built in a folder of its own under $cache/work and installed into the prefix only
# when its build succeeded; the prefix is marked complete last, so an interrupted build is resumed
# from the library it stopped in.

windows_source_versions() {
  local p
  for p in qt6-base-dev libcurl4-openssl-dev libxlsxwriter-dev googletest libz-mingw-w64-dev g++-mingw-w64-x86-64-posix; do
    printf '%s=%s\n' "$p" "$(dpkg-query -W -f='${Version}' "$p" 2>/dev/null || echo missing)"
  done
}

# The version of the source package behind an installed binary package (without the +b1 of a
# binary-only upload).
source_version_of() {
  dpkg-query -W -f='${source:Version}' "$1"
}

windows_prefix_key() {
  { cat "${BASH_SOURCE[0]}" "$root/cmake/mingw-w64-x86_64.cmake"; windows_source_versions; } |
    sha256sum | cut -c1-16
}

# Adds deb-src entries for the archives the machine's deb entries use, so that apt-get source
# fetches exactly the versions installed.
ensure_deb_src() {
  local list=/etc/apt/sources.list.d/tavrosin-src.sources
  if grep -rqs '^Types:.*deb-src\|^deb-src' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return 0
  fi
  echo "package-windows: adding deb-src entries ($list)"
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  if [ -f /etc/apt/sources.list.d/debian.sources ]; then
    sed -e 's/^Types: deb$/Types: deb-src/' /etc/apt/sources.list.d/debian.sources |
      "${sudo_cmd[@]}" tee "$list" >/dev/null
  else
    grep -h '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' |
      "${sudo_cmd[@]}" tee /etc/apt/sources.list.d/tavrosin-src.list >/dev/null
  fi
  "${sudo_cmd[@]}" apt-get update -q >/dev/null
}

# fetch_source SOURCE-PACKAGE VERSION: the unpacked tree, with Debian's patches applied, in
# $cache/src/<package>-<version>; prints its path.
fetch_source() {
  local package=$1 version=$2 dir="$cache/src/$1-$2"
  if [ ! -f "$dir/.unpacked" ]; then
    rm -rf "$dir" "$cache/src/download-$package"
    mkdir -p "$cache/src/download-$package"
    (cd "$cache/src/download-$package" &&
      apt-get source -q --download-only "$package=$version" &&
      dpkg-source -x ./*.dsc "$dir") >"$cache/logs/$package-fetch.log" 2>&1 || return 1
    rm -rf "$cache/src/download-$package"
    touch "$dir/.unpacked"
  fi
  printf '%s\n' "$dir"
}

build_qtbase() {
  local src
  src=$(fetch_source qt6-base "$(source_version_of qt6-base-dev)") || return 1
  local work="$cache/work/qtbase"
  rm -rf "$work" && mkdir -p "$work"
  # Only what the program and its window tests use. Debian's tarball strips the wintab sources, so
  # tablet events are off from the first configure; Direct2D stays (without it qwindows.dll does not
  # link in 6.4), but not the Direct2D platform plugin (direct2d1_1), a second copy of qwindows.
  (cd "$work" && "$src/configure" -prefix "$prefix" -release -shared \
    -xplatform win32-g++ -qt-host-path /usr \
    -nomake examples -nomake tests -nomake benchmarks \
    -qt-zlib -qt-pcre -qt-libpng -qt-freetype -qt-harfbuzz -no-feature-jpeg -no-feature-gif \
    -no-opengl -no-dbus -no-icu -no-glib -no-feature-vulkan \
    -no-feature-tabletevent -no-feature-network -no-feature-sql -no-feature-printsupport \
    -no-feature-xml -no-feature-concurrent -no-feature-sessionmanager -no-feature-direct2d1_1 \
    -- -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake) >"$cache/logs/qtbase-configure.log" 2>&1 &&
  cmake --build "$work" --parallel "$jobs" >"$cache/logs/qtbase-build.log" 2>&1 &&
  cmake --install "$work" >"$cache/logs/qtbase-install.log" 2>&1
}

# cmake_library NAME SOURCE [OPTION...]: configures, builds and installs a CMake project into the
# prefix as a static Release library of the toolchain, each stage logged as $cache/logs/NAME-*.log.
cmake_library() {
  local name=$1 src=$2 work="$cache/work/$1"
  shift 2
  rm -rf "$work"
  cmake -S "$src" -B "$work" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_INSTALL_PREFIX="$prefix" \
    -DBUILD_SHARED_LIBS=OFF "$@" >"$cache/logs/$name-configure.log" 2>&1 &&
  cmake --build "$work" --parallel "$jobs" >"$cache/logs/$name-build.log" 2>&1 &&
  cmake --install "$work" >"$cache/logs/$name-install.log" 2>&1
}

# Debian's zlib for MinGW, for the libraries that compress.
mingw_zlib=(-DZLIB_LIBRARY=/usr/x86_64-w64-mingw32/lib/libz.a -DZLIB_INCLUDE_DIR=/usr/x86_64-w64-mingw32/include)

build_curl() {
  local src
  src=$(fetch_source curl "$(source_version_of libcurl4-openssl-dev)") || return 1
  # CMake, not autotools: Debian's patches rename the autotools library. Schannel is Windows' own
  # TLS and certificate store, so there is no OpenSSL to ship.
  cmake_library curl "$src" -DBUILD_CURL_EXE=OFF -DBUILD_TESTING=OFF \
    -DCURL_USE_SCHANNEL=ON -DCURL_USE_OPENSSL=OFF -DHTTP_ONLY=ON -DENABLE_UNICODE=ON \
    -DCURL_DISABLE_LDAP=ON -DCURL_USE_LIBSSH2=OFF -DCURL_USE_LIBPSL=OFF -DUSE_LIBIDN2=OFF \
    -DCURL_BROTLI=OFF -DCURL_ZSTD=OFF -DUSE_NGHTTP2=OFF "${mingw_zlib[@]}"
}

build_xlsxwriter() {
  local src
  src=$(fetch_source libxlsxwriter "$(source_version_of libxlsxwriter-dev)") || return 1
  # Numbers by its own dtoa, never by the process's locale. Under MinGW its sources undefine
  # _WIN32, so a UTF-8 file name would not reach Windows as UTF-16: the program writes the
  # workbook under an ASCII name and renames it.
  cmake_library xlsxwriter "$src" -DUSE_DTOA_LIBRARY=ON -DBUILD_TESTS=OFF -DBUILD_EXAMPLES=OFF "${mingw_zlib[@]}"
}

build_googletest() {
  cmake_library googletest /usr/src/googletest -DBUILD_GMOCK=ON -Dgtest_disable_pthreads=OFF
}

# The header-only libraries, copied so that the prefix is all a build needs.
copy_headers() {
  mkdir -p "$prefix/include"
  cp -r /usr/include/nlohmann "$prefix/include/"
  cp /usr/include/SimpleIni.h "$prefix/include/"
  [ -f /usr/include/ConvertUTF.h ] && cp /usr/include/ConvertUTF.h "$prefix/include/" || true
  mkdir -p "$prefix/share/cmake"
  cp -r /usr/share/cmake/nlohmann_json "$prefix/share/cmake/" 2>/dev/null ||
    cp -r /usr/lib/cmake/nlohmann_json "$prefix/share/cmake/"
}

# Builds what is missing of the prefix; sets $prefix.
ensure_windows_prefix() {
  prefix="$cache/prefix-$(windows_prefix_key)"
  if [ -f "$prefix/.complete" ]; then
    echo "package-windows: libraries reused from $prefix"
    return 0
  fi
  ensure_deb_src
  mkdir -p "$cache/logs" "$cache/src" "$prefix"
  local lib began
  for lib in googletest xlsxwriter curl qtbase; do
    [ -f "$prefix/.built-$lib" ] && continue
    began=$SECONDS
    echo "package-windows: building $lib for Windows (log: $cache/logs/$lib-*.log)"
    if ! "build_$lib"; then
      echo "package-windows: building $lib failed; the end of its last log:" >&2
      tail -n 30 "$(ls -t "$cache/logs/$lib"-*.log | head -1)" >&2
      return 1
    fi
    touch "$prefix/.built-$lib"
    echo "package-windows: $lib built in $((SECONDS - began)) s"
  done
  copy_headers
  # Old prefixes of other keys are left for the user to remove; say where they are.
  touch "$prefix/.complete"
}
