#!/bin/sh
# Runs a Windows test program of a cross build under Wine, for ctest (CMAKE_CROSSCOMPILING_EMULATOR).
#
#   wine-emulator.sh --dll-dirs=DIR[:DIR...] PROGRAM.exe [ARGS...]
#
# The DLL folders (Qt, the MinGW runtime) go on Wine's search path. The Russian locale makes Wine's
# ANSI code page 1251 and its OEM code page 866, as on a Russian Windows. WINEPREFIX is taken from
# the environment (scripts/test-windows makes a fresh one per run). Wine hands back the program's
# exit code.
set -eu

dll_dirs=""
case "${1:-}" in
  --dll-dirs=*) dll_dirs=${1#--dll-dirs=}; shift ;;
esac
[ $# -ge 1 ] || { echo "usage: $0 [--dll-dirs=DIR:...] PROGRAM.exe [ARGS...]" >&2; exit 2; }

# Unix folders as Wine sees them: the root is drive Z:.
winepath=""
old_ifs=$IFS
IFS=:
for dir in $dll_dirs; do
  [ -n "$dir" ] || continue
  winepath="${winepath:+$winepath;}Z:$(printf '%s' "$dir" | tr / '\\')"
done
IFS=$old_ifs
if [ -n "${WINEPATH:-}" ]; then
  winepath="${winepath:+$winepath;}$WINEPATH"
fi
export WINEPATH="$winepath"

export LANG=ru_RU.UTF-8 LC_ALL=ru_RU.UTF-8
export WINEDEBUG="${WINEDEBUG:--all}"
# No Mono or Gecko installer prompt on a new prefix, and no file types handed to the desktop.
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=,winemenubuilder.exe=d}"

# Debian's /usr/bin/wine wants the 32-bit half, which a 64-bit program does not need.
if command -v wine64 >/dev/null 2>&1; then
  exec wine64 "$@"
elif [ -x /usr/lib/wine/wine64 ]; then
  exec /usr/lib/wine/wine64 "$@"
fi
exec wine "$@"
