#!/usr/bin/env bash
# Windows: the shipped 32-bit programs cross-built with mingw-w64 and checked to import system
# DLLs only, then a 64-bit build whose whole test suite runs under Wine (32-bit programs cannot
# run on these machines).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
x86=${RNGACQ_WINDOWS_X86_BUILD:-build/windows-x86}
x64=${RNGACQ_WINDOWS_X64_BUILD:-build/windows-x64}
jobs=$(nproc)

echo "-- packages"
scripts/install-packages.sh build windows

echo "-- 32-bit release build, the shipped one (the programs, and the tests as a compile check)"
cmake --preset windows-x86 -B "$x86" >/dev/null
cmake --build "$x86" -j "$jobs"

echo "-- imports of the 32-bit programs and libraries"
# Statically linked: anything beyond the system's own DLLs would have to ship with the program.
system_dlls='^(kernel32|msvcrt|setupapi|user32|advapi32|shell32|ole32|gdi32|ntdll|ws2_32|cfgmgr32)\.dll$'
status=0
for file in rngacq.exe rngacq-sim.exe rngacq.dll rngacq-sim.dll; do
  path=$(find "$x86" -name "$file" -print -quit)
  [ -n "$path" ] || { echo "$file was not built"; exit 1; }
  dlls=$(i686-w64-mingw32-objdump -p "$path" | awk '/DLL Name:/ {print $3}')
  echo "$file imports:" $dlls
  for dll in $dlls; do
    if ! echo "$dll" | tr '[:upper:]' '[:lower:]' | grep -Eq "$system_dlls"; then
      echo "$file imports $dll, which is not a system DLL"
      status=1
    fi
  done
done
[ "$status" -eq 0 ] || exit 1

echo "-- 64-bit debug build"
cmake --preset windows-x64 -B "$x64" >/dev/null
cmake --build "$x64" -j "$jobs"

echo "-- tests under Wine"
export WINEDEBUG=-all WINEPREFIX="$PWD/$x64/wine"
mkdir -p "$WINEPREFIX"  # wineserver -p needs the folder
wineserver -p || true   # a server already kept for this prefix serves as well
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -u >/dev/null 2>&1
ctest --test-dir "$x64" --output-on-failure -j "$jobs" --timeout 300
