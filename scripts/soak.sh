#!/usr/bin/env bash
# Soak runs of rngacq-sim: one 1 GiB record, and twenty files in one run. Resident memory
# (VmRSS) and open descriptors (/proc/PID/fd) are sampled every 0.2 s; both must stay flat
# after start-up (memory within SOAK_RSS_KIB, descriptors within the run's own two files plus
# the catalogue and never rising from the first half of the run to the second), or the run fails.
#
#   scripts/soak.sh [path/to/rngacq-sim]     (default: build/release/app/rngacq-sim)
#
# Environment: SOAK_BYTES (record length of the first run, default 1073741824),
# SOAK_FILES (file count of the second run, default 20), SOAK_RSS_KIB (allowed growth, 1024).
set -euo pipefail
cd "$(dirname "$0")/.."

program=$(realpath "${1:-build/release/app/rngacq-sim}")
bytes=${SOAK_BYTES:-1073741824}
files=${SOAK_FILES:-20}
allowed_kib=${SOAK_RSS_KIB:-1024}
[ -x "$program" ] || { echo "soak: no program at $program" >&2; exit 2; }
[ -f "$(dirname "$program")/lang.INI" ] || { echo "soak: no lang.INI beside $program" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# soak NAME ARGUMENTS...: runs the program in $work, samples it, checks and prints the figures.
soak() {
  local name=$1
  shift
  local samples="$work/$name.samples"
  : >"$samples"
  local start=$SECONDS
  (cd "$work" && exec "$program" "$@" </dev/null >"$work/$name.out" 2>&1) &
  local pid=$!
  while kill -0 "$pid" 2>/dev/null; do
    local rss fds
    rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$pid/status" 2>/dev/null || true)
    fds=$(ls "/proc/$pid/fd" 2>/dev/null | wc -l || true)
    [ -n "$rss" ] && [ "$fds" -gt 0 ] && echo "$rss $fds" >>"$samples"
    sleep 0.2
  done
  local code=0
  wait "$pid" || code=$?
  local seconds=$((SECONDS - start))

  # The first sample may still see start-up (catalogue, system line, the module opened); from
  # the second on, resident memory must stay within the allowance of its first value. The
  # descriptors may differ by three: the run's own data file and log (open while a file is
  # written, closed in the pause between files) and the catalogue, which is opened for each
  # message, so a sample taken while a file's report is written sees it too. Their floor must
  # not rise: a descriptor lost per file would lift the second half's minimum above the first's.
  local verdict
  verdict=$(awk -v allowed="$allowed_kib" 'BEGIN { n = 0 }
    NR > 1 { rss[n] = $1; fds[n] = $2; n++ }
    END {
      if (n < 2) { print "FAIL too few samples (" NR ")"; exit }
      base = rss[0]; rmax = base; fmin = fds[0]; fmax = fds[0]; early = fds[0]; late = fds[n - 1]
      for (i = 0; i < n; i++) {
        if (rss[i] > rmax) rmax = rss[i]
        if (fds[i] < fmin) fmin = fds[i]
        if (fds[i] > fmax) fmax = fds[i]
        if (i < n / 2 && fds[i] < early) early = fds[i]
        if (i >= n / 2 && fds[i] < late) late = fds[i]
      }
      growth = rmax - base
      ok = growth <= allowed && fmax - fmin <= 3 && late <= early
      printf "%s samples=%d rss_start_kib=%d rss_max_kib=%d rss_growth_kib=%d fds=%d..%d fd_floor=%d->%d\n", \
             ok ? "ok" : "FAIL", n, base, rmax, growth, fmin, fmax, early, late
    }' "$samples")
  if [ "$code" -ne 0 ] || [[ "$verdict" != ok* ]]; then
    tail -n 20 "$work/$name.out" >&2
    echo "soak $name: exit=$code seconds=$seconds $verdict" >&2
    return 1
  fi
  echo "soak $name: exit=$code seconds=$seconds $verdict"
}

failed=0
soak record /LEN="$bytes" big.bin || failed=1
size=$(stat -c %s "$work/big.bin" 2>/dev/null || echo 0)
echo "soak record: data file holds $size bytes (expected $bytes)"
[ "$size" -eq "$bytes" ] || failed=1
rm -f "$work/big.bin"

soak files /LEN=1000000 /FILES="$files" || failed=1
written=$(find "$work" -maxdepth 1 -name '????????.bin' -size 1000000c | wc -l)
echo "soak files: $written data files of 1000000 bytes (expected $files)"
[ "$written" -eq "$files" ] || failed=1

exit "$failed"
