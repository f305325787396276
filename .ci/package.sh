#!/usr/bin/env bash
# Packages: the Debian packages from the release build, checked by lintian, installed, run from
# outside the tree and removed again; then the Windows ZIP from the 32-bit cross build.
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
release=build/release
x86=${RNGACQ_WINDOWS_X86_BUILD:-build/windows-x86}
jobs=$(nproc)

echo "-- packages"
scripts/install-packages.sh build quality windows packaging

echo "-- manual pages"
mandoc -T lint -W warning packaging/man/*.[0-9]

echo "-- Debian packages"
cmake --preset release >/dev/null
rm -f "$release"/*.deb
cmake --build --preset release --target package -j "$jobs"
debs=("$release"/*.deb)
for deb in "${debs[@]}"; do
  echo "$deb:"
  dpkg-deb --info "$deb" | sed -n '/^ Package:/p;/^ Depends:/p'
done
# Errors fail; warnings and notes are shown.
lintian --fail-on error "${debs[@]}"

echo "-- installed: a run from outside the tree, the manual page"
mapfile -t names < <(for deb in "${debs[@]}"; do dpkg-deb --field "$deb" Package; done)
apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${debs[@]/#/$PWD/}" >/dev/null
trap 'apt-get remove -y -qq "${names[@]}" >/dev/null' EXIT
scratch=$(mktemp -d)
# The program finds its catalogue beside its real path, behind the link in /usr/bin.
(cd "$scratch" && rngacq-sim /LEN=5000 x.bin </dev/null >run.txt 2>&1) ||
  { echo "rngacq-sim ended with $?"; cat "$scratch/run.txt"; exit 1; }
size=$(stat -c %s "$scratch/x.bin")
[ "$size" -eq 5000 ] || { echo "x.bin has $size bytes, not 5000"; cat "$scratch/run.txt"; exit 1; }
man -w rngacq
rm -rf "$scratch"
apt-get remove -y -qq "${names[@]}" >/dev/null
trap - EXIT
if [ -e /usr/bin/rngacq ] || [ -e /usr/lib/rngacq ]; then
  echo "rngacq is still installed after the removal"
  exit 1
fi

echo "-- Windows ZIP (32-bit cross build)"
cmake --preset windows-x86 -B "$x86" >/dev/null
rm -f "$x86"/*.zip
cmake --build "$x86" --target package -j "$jobs"
zip=$(ls "$x86"/*.zip)
cmake -E tar tf "$zip" | sort | tee "$x86/zip-contents.txt"
expected="rngacq.exe lang.INI README.md LICENSE.txt"
[ -d check ] && expected+=" rngacq-check.exe"
expected+=" rngacq.dll librngacq.dll.a include/rngacq/rngacq.h"
for entry in $expected; do
  grep -qx "$entry" "$x86/zip-contents.txt" || { echo "$zip lacks $entry"; exit 1; }
done
