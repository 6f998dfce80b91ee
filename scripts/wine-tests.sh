#!/usr/bin/env bash
# The Windows half of CI: cross-builds Kavrel.dll for 32-bit and 64-bit
# Windows with mingw-w64, checks the 32-bit module's format and exports, and
# runs the 64-bit test build under Wine through CTest.
#
# Installs nothing: it needs the packages scripts/install-deps.sh installs
# (mingw-w64 -posix compilers, wine, wine64, socat, a C compiler for the
# harness's preload library).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

echo "=== windows-x86: Kavrel.dll (PE32) ==="
cmake --preset windows-x86
cmake --build --preset windows-x86
bash scripts/check-dll-exports.sh build/win32/src/Kavrel.dll pe32

echo "=== windows-x64: Kavrel.dll and the tests ==="
cmake --preset windows-x64
cmake --build --preset windows-x64
bash scripts/check-dll-exports.sh build/win64/src/Kavrel.dll pe32+

# What tests/wine/run-under-wine.sh expects in the build's Wine home (the
# path the windows-x64 preset gives it).
wine_home=$root/build/win64/wine
mkdir -p "$wine_home/shim"
cc -shared -fPIC -O2 -Wall -Wextra -Werror -o "$wine_home/shim/modem_lines_shim.so" \
  tests/wine/modem_lines_shim.c -ldl

export WINEPREFIX=$wine_home/prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

# One persistent wineserver for the whole run; without it every test process
# would start and stop its own, and CTest hangs.
stop_wineserver() { wineserver -k >/dev/null 2>&1 || true; }
trap stop_wineserver EXIT
mkdir -p "$WINEPREFIX"
wineserver -p >"$wine_home/wineserver.log" 2>&1
if [[ ! -f $WINEPREFIX/system.reg ]]; then
  echo "--- creating the Wine prefix"
  wineboot -i >"$wine_home/wineboot.log" 2>&1
fi
# Warm-up: the first program of a session brings up Wine's services.
wine cmd /c exit >/dev/null 2>&1

echo "--- ctest under Wine"
status=0
ctest --preset windows-x64 || status=$?

# Checks the Windows tests skip where Wine is not Windows, each naming the
# Wine behaviour (whole skipped tests are also in CTest's summary above).
log=build/win64/Testing/Temporary/LastTest.log
if [[ -f $log ]] && grep -q '\[ WINE SKIP \]' "$log"; then
  echo "--- checks skipped under Wine (count, Wine behaviour):"
  grep -ho '\[ WINE SKIP \] .*' "$log" | sed 's/^\[ WINE SKIP \] //' | sort | uniq -c
fi
exit "$status"
