#!/usr/bin/env bash
# Windows: the shipped 32-bit programs cross-built with mingw-w64 and checked to import system
# DLLs only, then a 64-bit build whose whole test suite runs under Wine (32-bit programs cannot
# run on these machines), the real rngacq.exe against a fake vendor driver among it.
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

echo "-- tests under Wine, in a fresh private prefix"
# The prefix is this build's own; its server and everything it runs (the fake driver's host
# included) are ended through it, never by a broad kill. No display, no Mono or Gecko prompts.
export WINEDEBUG=-all WINEPREFIX="$PWD/$x64/wine" WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
[ -d "$WINEPREFIX" ] && { wineserver -k >/dev/null 2>&1 || true; }
rm -rf "$WINEPREFIX"
mkdir -p "$WINEPREFIX"
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
wineboot -i >/dev/null 2>&1
wineserver -w
wineserver -p  # kept between the tests' programs, so each does not start a session anew
# The session's own processes start here, not under ctest: they would hold its output pipes open.
wineboot -u >/dev/null 2>&1
# The fake vendor driver that the end-to-end tests of the real rngacq.exe talk to; the test
# FakeDriver.Install, which they require, finds it installed and waits until it answers.
wine "$x64/tests/windows/fake_driver/install_fake_driver.exe"
fake_tests=$(ctest --test-dir "$x64" -N -L fake_driver | awk '/^Total Tests:/ {print $3}')
[ "${fake_tests:-0}" -gt 1 ] || { echo "the fake-driver tests are missing from the build"; exit 1; }
ctest --test-dir "$x64" --output-on-failure -j "$jobs" --timeout 300
echo "fake vendor driver: $fake_tests tests of rngacq.exe and the library through it passed (the install included)"
