#!/usr/bin/env bash
# Peers read the stream: rngtest, ent and dieharder take rngacq-sim's standard output through a
# pipe, each checked to have seen the bytes it was given; rngd is tried where the machine lets
# it feed the kernel. Needs the Debian packages rng-tools5, ent and dieharder.
# Usage: .ci/peers.sh [path of rngacq-sim]   (default: the release build)
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/release/app/rngacq-sim}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail() { echo "peers: $*" >&2; exit 1; }

# rngtest: every bit arrives; the FIPS blocks are counted after its 4 seed bytes. Its own exit
# code tells whether a block failed, which a good source does now and then: not checked here.
bytes=2500004
set +e
"$program" /STDOUT /LEN=$bytes 2>acq.txt | rngtest >rngtest.txt 2>&1
status=("${PIPESTATUS[@]}")
set -e
[ "${status[0]}" -eq 0 ] || fail "rngacq-sim | rngtest: exit ${status[0]}: $(cat acq.txt)"
grep -q "^rngtest: bits received from input: $((bytes * 8))$" rngtest.txt || fail "rngtest: $(cat rngtest.txt)"
ok=$(sed -n 's/^rngtest: FIPS 140-2 successes: //p' rngtest.txt)
bad=$(sed -n 's/^rngtest: FIPS 140-2 failures: //p' rngtest.txt)
[ $((ok + bad)) -eq 1000 ] || fail "rngtest tested $((ok + bad)) blocks, not 1000"
echo "rngtest: $((bytes * 8)) bits, FIPS 140-2 blocks: $ok passed, $bad failed"

# ent: the byte count it names, and an entropy near 8 bits per byte.
bytes=1000000
"$program" /STDOUT /LEN=$bytes /RNDNOP 2>acq.txt | ent >ent.txt || fail "rngacq-sim | ent: $(cat acq.txt)"
grep -q "of this $bytes byte file" ent.txt || fail "ent: $(cat ent.txt)"
grep -Eq "^Entropy = 7\.99[0-9]+ bits per byte" ent.txt || fail "ent: $(cat ent.txt)"
echo "ent: $bytes bytes, $(head -n 1 ent.txt)"

# dieharder reads what its test needs from an endless record and then closes the pipe: the run
# ends as a success and says how many bytes reached the pipe.
"$program" /STDOUT /STREAM 2>acq.txt | dieharder -g 200 -d 0 >dieharder.txt || fail "dieharder: $(cat dieharder.txt)"
grep -Eq "diehard_birthdays[|].*[|] *(PASSED|WEAK)" dieharder.txt || fail "dieharder: $(cat dieharder.txt)"
grep -q "The reader closed standard output. Bytes delivered: [0-9]" acq.txt || fail "rngacq-sim: $(cat acq.txt)"
echo "dieharder: $(grep diehard_birthdays dieharder.txt | tr -s ' ');" \
  "$(sed -n 's/^The reader closed standard output. //p' acq.txt)"

# rngd feeds the kernel's pool, which needs write access to /dev/random and the right to add
# entropy (often refused in a container). It runs until stopped; stopping it closes the pipe.
if [ ! -w /dev/random ]; then
  echo "rngd: skipped, /dev/random is not writable here"
  exit 0
fi
set +e
"$program" /STDOUT /STREAM 2>acq.txt | timeout 3 rngd -f -r /dev/stdin -p "$work/rngd.pid" >rngd.txt 2>&1
status=("${PIPESTATUS[@]}")
set -e
if [ "${status[1]}" -ne 124 ]; then
  echo "rngd: skipped, it ended by itself (exit ${status[1]}), so this machine does not let it run: $(cat rngd.txt)"
  exit 0
fi
[ "${status[0]}" -eq 0 ] || fail "rngacq-sim | rngd: exit ${status[0]}: $(cat acq.txt)"
grep -q "The reader closed standard output. Bytes delivered: [0-9]" acq.txt || fail "rngacq-sim: $(cat acq.txt)"
echo "rngd: fed for 3 s; $(sed -n 's/^The reader closed standard output. //p' acq.txt)"
