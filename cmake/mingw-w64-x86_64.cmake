# Cross-compiling for 64-bit Windows with Debian's MinGW-w64 (the -posix thread model, which
# std::thread and Qt need). Libraries and headers are looked up only under the MinGW sysroot and the
# folders in CMAKE_FIND_ROOT_PATH (the dependency prefix that scripts/package-windows builds);
# programs (moc, rcc, wine) come from the build machine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(TAVROSIN_MINGW x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${TAVROSIN_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${TAVROSIN_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${TAVROSIN_MINGW}-windres)
set(CMAKE_AR ${TAVROSIN_MINGW}-gcc-ar-posix CACHE FILEPATH "")
set(CMAKE_RANLIB ${TAVROSIN_MINGW}-gcc-ranlib-posix CACHE FILEPATH "")

list(APPEND CMAKE_FIND_ROOT_PATH /usr/${TAVROSIN_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
