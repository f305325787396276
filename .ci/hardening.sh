#!/usr/bin/env bash
# Hardening: the fuzz targets for a bounded time each, the programs under valgrind memcheck, and
# the soak runs. Any crash, memory error, definite leak, wrong exit code or growth fails.
#
# Environment: FUZZ_SECONDS (per target, default 60), HARDENING_RELEASE_DIR (the build of
# rngacq-sim to check, default build/release), HARDENING_FUZZ_DIR (default build/fuzz).
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
start=$SECONDS

fuzz_seconds=${FUZZ_SECONDS:-60}
release_dir=${HARDENING_RELEASE_DIR:-build/release}
fuzz_dir=${HARDENING_FUZZ_DIR:-build/fuzz}

scripts/install-packages.sh build hardening

# clang-14 may be installed without the unversioned names.
cc=$(command -v clang || command -v clang-14)
cxx=$(command -v clang++ || command -v clang++-14)

echo "== fuzz targets (${fuzz_seconds} s each)"
CC=$cc CXX=$cxx cmake -G Ninja -B "$fuzz_dir" -DRNGACQ_FUZZ=ON -DRNGACQ_TESTS=OFF -DRNGACQ_BENCH=OFF \
  -DRNGACQ_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
targets=(fuzz_catalogue fuzz_command_line fuzz_device_open fuzz_block_request fuzz_transfer_request)
cmake --build "$fuzz_dir" -j "$(nproc)" --target "${targets[@]}"
fuzz_work=$(mktemp -d)
trap 'rm -rf "$fuzz_work"' EXIT
failed=()
for target in "${targets[@]}"; do
  corpus="$fuzz_work/${target#fuzz_}"
  mkdir -p "$corpus"
  cp fuzz/corpus/"${target#fuzz_}"/* "$corpus"/
  if "$fuzz_dir/fuzz/$target" -max_total_time="$fuzz_seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$fuzz_work/$target-" "$corpus" >"$fuzz_work/$target.log" 2>&1; then
    echo "$target: $(grep -E '^Done [0-9]+ runs' "$fuzz_work/$target.log" || echo done); \
$(grep -E 'cov: [0-9]+' "$fuzz_work/$target.log" | tail -n 1 | grep -oE 'cov: [0-9]+ ft: [0-9]+ corp: [^ ]+')"
  else
    echo "$target: FAILED"
    grep -E 'ERROR|runtime error|invariant|SUMMARY|Test unit written' "$fuzz_work/$target.log" | head -n 20
    for artifact in "$fuzz_work/$target"-*; do
      [ -f "$artifact" ] && echo "input (base64): $(base64 -w0 "$artifact" | head -c 4000)"
    done
    failed+=("$target")
  fi
done

echo "== rngacq-sim under valgrind memcheck"
[ -f "$release_dir/CMakeCache.txt" ] || cmake --preset release -B "$release_dir" >/dev/null
cmake --build "$release_dir" -j "$(nproc)" --target rngacq-sim
program=$(realpath "$release_dir/app/rngacq-sim")
# check NAME EXPECTED_EXIT EXPECTED_TEXT SIM ARGUMENTS...
check() {
  local name=$1 expected=$2 text=$3 sim=$4
  shift 4
  local dir="$fuzz_work/valgrind-$name"
  mkdir -p "$dir"
  local code=0
  (cd "$dir" && RNGACQ_SIM=$sim exec valgrind -q --error-exitcode=99 --leak-check=full \
    --errors-for-leak-kinds=definite --log-file="$dir/valgrind.log" "$program" "$@" </dev/null >"$dir/out" 2>&1) ||
    code=$?
  if [ "$code" -eq "$expected" ] && grep -qF -- "$text" "$dir/out" && [ ! -s "$dir/valgrind.log" ]; then
    echo "$name: ok (exit $code)"
  else
    echo "$name: FAILED (exit $code, expected $expected; text \"$text\")"
    cat "$dir/valgrind.log"
    tail -n 15 "$dir/out"
    failed+=("valgrind-$name")
  fi
}
check files 0 "Data file (3/3)" "" /LEN=5000 /FILES=3
check silent 1 "Receiving the module's answer timed out." "silent,time_divisor=1000" f.bin
check stranded 1 "Receiving the module's answer timed out." "silent,abort_ineffective,time_divisor=1000" f.bin
check disconnect 1 "press any key" "disconnect_after=2,time_divisor=1000" f.bin /LEN=10000
check no-module 1 "No random-number module is attached." "devices=0" f.bin
check help 0 "Lite version" "" /?
check bad-option 1 "Unrecognised option \"/X\"" "" /LEN=5 /X

echo "== soak"
scripts/soak.sh "$program" || failed+=(soak)

echo "== hardening finished in $((SECONDS - start)) s"
if [ ${#failed[@]} -ne 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
