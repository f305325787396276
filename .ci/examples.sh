#!/usr/bin/env bash
# The library as its users meet it: installed, found through pkg-config, used from C (shared and
# static) and from Python, against the simulated modules. Every reader must deliver the very
# bytes rngacq-sim writes for the same module.
set -euo pipefail
cd "$(dirname "$0")/.."
build=build/release
stage=$(mktemp -d)
work=$(mktemp -d)
trap 'rm -rf "$stage" "$work"' EXIT

cmake --install "$build" --prefix "$stage" >/dev/null
pcdir=$(dirname "$(find "$stage" -name rngacq-sim.pc | head -n 1)")
export PKG_CONFIG_PATH="$pcdir"
libdir=$(pkg-config --variable=libdir rngacq-sim)
cc -std=c99 -Wall -Wextra -Werror -pedantic examples/read_random.c $(pkg-config --cflags --libs rngacq-sim) \
  -o "$work/read_shared"
cc -std=c99 -Wall -Wextra -Werror -pedantic examples/read_random.c $(pkg-config --cflags rngacq-sim) \
  "$libdir/librngacq-sim.a" $(pkg-config --static --libs-only-l rngacq-sim | sed 's/-lrngacq-sim//') \
  -o "$work/read_static"
# A program built against the real library runs against the simulated one by loading it instead.
cc -std=c99 -Wall -Wextra -Werror -pedantic examples/read_random.c $(pkg-config --cflags --libs rngacq) \
  -o "$work/read_real"

export RNGACQ_SIM="devices=2,seed=9"
length=100000
(cd "$work" && "$stage/bin/rngacq-sim" /LEN=$length /SERIAL=SIM-00000002 expected.bin >/dev/null)
LD_LIBRARY_PATH="$libdir" "$work/read_shared" $length serial=SIM-00000002 >"$work/shared.bin"
"$work/read_static" $length index=1 >"$work/static.bin"
LD_LIBRARY_PATH="$libdir" RNGACQ_LIBRARY="$libdir/librngacq-sim.so.0" \
  python3 examples/read_random.py $length serial=SIM-00000002 >"$work/python.bin"
ln -s "$libdir/librngacq-sim.so.0" "$work/librngacq.so.0"
LD_LIBRARY_PATH="$work" "$work/read_real" $length index=1 >"$work/real.bin"
for reader in shared static python real; do
  cmp "$work/expected.bin" "$work/$reader.bin"
  echo "examples: $reader reader delivered the $length bytes rngacq-sim wrote"
done
# Failures are reported, not hidden: no module selected among two.
if "$work/read_static" 10 2>"$work/error.txt"; then echo "examples: a failure ended with 0" >&2; exit 1; fi
grep -q "more than one random-number module" "$work/error.txt"
echo "examples: all readers agree"
