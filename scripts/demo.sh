#!/usr/bin/env bash
# Sets everything up, then acquires two records of 1 MB from the simulated module in a scratch
# directory and shows the whole console output and the files written.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh release rngacq-sim
build=$PWD/build/release
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"
echo "== rngacq-sim /LEN=1048576 /FILES=2   (in $scratch)"
status=0
"$build/app/rngacq-sim" /LEN=1048576 /FILES=2 </dev/null || status=$?
echo
echo "== exit code $status; files written:"
ls -l
for log in *.wrn; do echo "== $log:"; cat "$log"; echo; done
exit "$status"
