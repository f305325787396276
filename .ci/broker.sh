#!/usr/bin/env bash
# Entropy for other machines: rngacq-sim's endless record feeds entropybroker through its stream
# server, and a file client draws bytes from the broker, all on the loopback address. Checked:
# the client gets its bytes, the broker's own statistics count what the stream server sent (no
# more than rngacq delivered, and at 6 bits of entropy a byte or more), and rngacq ends with 0
# once the stream server has gone. The broker mixes what it gets, so the client's bytes are not
# ours and are not compared. A second run does the same with /RECONNECT across unplugs of the
# simulated module, which the stream server must not notice. Needs the Debian packages
# entropybroker and curl.
# Whatever its configuration says, the broker keeps graph data in /var/*.dat (those it makes
# here are removed afterwards) and would take, and delete, pools that another broker stored in
# /var/cache/*.pool: the run refuses to start beside them (with disk pools off it stores none).
# Usage: .ci/broker.sh [path of rngacq-sim]   (default: the release build)
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/release/app/rngacq-sim}")
work=$(mktemp -d)

# Every process started here runs under timeout; pids holds the timeout processes. Whether one
# still runs is asked of the shell's table of jobs, never of a process number, which the system
# may already have given to another process once the shell has collected the first.
pids=()
graphs=()
running() {
  local j
  for j in $(jobs -rp); do [ "$j" = "$1" ] && return 0; done
  return 1
}
# A timeout process passes a stop on to its program but does not enforce it: what still runs
# 3 s after the stop is killed, the program first.
cleanup() {
  local p c kids
  for p in "${pids[@]}"; do
    if running "$p"; then kill "$p" 2>/dev/null || true; fi
  done
  for _ in $(seq 30); do
    c=0
    for p in "${pids[@]}"; do running "$p" && c=1; done
    ((c)) || break
    sleep 0.1
  done
  for p in "${pids[@]}"; do
    running "$p" || continue
    kids=()
    { read -ra kids <"/proc/$p/task/$p/children"; } 2>/dev/null || true
    for c in "${kids[@]}"; do kill -KILL "$c" 2>/dev/null || true; done
    kill -KILL "$p" 2>/dev/null || true
  done
  wait 2>/dev/null || true
  for p in "${graphs[@]}"; do rm -f "$p"; done
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
fail() {
  echo "broker: $*" >&2
  for f in broker.log server.log client.log acq.txt; do
    [ -s "$f" ] && { echo "--- $f (end)" >&2; tail -n 15 "$f" >&2; }
  done
  exit 1
}
# await PID SECONDS NAME: the exit status of a started process in $status, or a failure if it
# has not ended in time.
await() {
  local i
  for ((i = 0; i < $2 * 10; i++)); do
    if ! running "$1"; then
      status=0
      wait "$1" || status=$?
      return 0
    fi
    sleep 0.1
  done
  fail "$3 has not ended after $2 s"
}

# The client's share: 64 KiB, drawn in the broker's blocks of 4096 bytes.
want=65536
block=4096

# Two ports nobody listens on. The broker takes IPv4 addresses in their mapped IPv6 form.
port_is_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
pick_port() {
  local p
  for _ in $(seq 50); do
    p=$((20000 + RANDOM % 40000))
    if port_is_free "$p" && [ "$p" != "${1:-}" ]; then echo "$p"; return; fi
  done
  fail "no free port on 127.0.0.1"
}
# One user for the stream server (its fourth field lets it put data in) and one for the client.
# The third field lifts the limit on bits fetched per second (4096 by default), which would make
# the client wait for minutes. The password files must be readable by their owner alone.
password() { head -c 24 /dev/urandom | base64 | tr -d '/+=' | head -c 28; }
source_pw=$(password)
client_pw=$(password)
umask 077
printf 'source|%s|100000000|yes\nclient|%s|100000000\n' "$source_pw" "$client_pw" >users.txt
printf 'source\n%s\n' "$source_pw" >source.pw
printf 'client\n%s\n' "$client_pw" >client.pw

stored=$(find /var/cache -maxdepth 1 -name '*.pool' 2>/dev/null)
[ -z "$stored" ] || fail "another broker's pools, which this one would take: ${stored//$'\n'/ }"

# The broker's graph files that do not exist yet: this run makes them.
graphs=()
for g in connection_counts mem_pool_counts dsk_pool_counts mem_pool_bit_count_counts \
  dsk_pool_bit_count_counts recv_bit_count recv_bit_count_in sent_bit_count; do
  [ -e "/var/$g.dat" ] || graphs+=("/var/$g.dat")
done

# recipe NAME [rngacq option...]: the whole chain once, in a directory and on ports of its own.
recipe() {
  name=$1
  shift
  dir=$work/$name
  mkdir "$dir"
  cd "$dir"
  port=$(pick_port)
  web=$(pick_port "$port")

  # Every setting the broker depends on is written out: its built-in defaults differ from the
  # packaged file (left unset, the pool stirrer takes a cipher that aborts the broker on a
  # short key). Pools stay in memory, the sleeps are short so that a drained or full pool holds
  # nobody up for long, and requests add no entropy of their own, so that the bits counted are
  # ours.
  cat >broker.conf <<EOF
max_number_of_mem_pools = 512
max_number_of_disk_pools = 0
min_store_on_disk_n = 5
listen_adapter = ::ffff:127.0.0.1
listen_port = $port
listen_queue_size = 5
disable_nagle = 0
enable_keepalive = 1
ping_interval = 299
pool_size_in_bytes = 2048
default_max_get_bps = 4096
max_get_put_size = $((block * 8))
stirrer_type = aes
hash_type = sha512
stream_cipher = 3des
mac_hasher = md5
hash_hasher = sha512
bitcount_estimator = shannon
reset_counters_interval = 60
statistics_interval = 300
kernelpool_filled_interval = 3600
communication_timeout = 15
communication_session_timeout = 3600
default_sleep_time_when_pools_full = 1
default_sleep_when_pools_empty = 1
default_max_sleep_when_pools_empty = 2
default_max_bits_per_interval = 16000000
ignore_rngtest_fips140 = 1
ignore_rngtest_scc = 1
scc_threshold = 0.2
allow_event_entropy_addition = 0
add_entropy_even_if_all_full = 0
allow_prng = 0
when_pools_full_allow_submit_interval = 15
users = $work/users.txt
webserver_interface = ::ffff:127.0.0.1
webserver_port = $web
EOF

  # Each process is bounded in time, so that a broker that stops answering ends the run.
  timeout -k 5 45 entropy_broker -c "$dir/broker.conf" -n -P "$dir/broker.pid" \
    -l "$dir/broker.log" -L 255 >broker.out 2>&1 &
  broker=$!
  pids+=("$broker")
  stats() { curl -s --max-time 2 "http://127.0.0.1:$web/$1"; }
  ready=$((SECONDS + 10))
  until stats version.html >/dev/null && ! port_is_free "$port"; do
    running "$broker" || fail "entropy_broker ended at its start"
    ((SECONDS < ready)) || fail "entropy_broker does not answer on 127.0.0.1:$port and :$web"
    sleep 0.1
  done

  # rngacq's endless record through a pipe to the stream server, which reads it as its device.
  mkfifo stream
  timeout -k 5 40 "$program" /STDOUT /STREAM "$@" >stream 2>acq.txt &
  acq=$!
  pids+=("$acq")
  timeout -k 5 40 eb_server_stream -I "127.0.0.1:$port" -d /dev/stdin -n -P "$dir/server.pid" \
    -X "$work/source.pw" -l "$dir/server.log" -L 255 <stream >server.out 2>&1 &
  server=$!
  pids+=("$server")

  # The client has 20 s, less when the script has spent most of its minute.
  limit=$((50 - SECONDS))
  ((limit <= 20)) || limit=20
  ((limit > 0)) || fail "no time left for the client"
  timeout -k 5 "$limit" eb_client_file -I "127.0.0.1:$port" -c "$want" -f "$dir/client.bin" \
    -n -P "$dir/client.pid" -X "$work/client.pw" -l "$dir/client.log" -L 255 >client.out 2>&1 ||
    fail "eb_client_file: exit $?"
  got=$(stat -c %s client.bin 2>/dev/null || echo 0)
  [ "$got" -ge "$want" ] || fail "the client got $got bytes, not $want"

  # The stream server, still reading, leaves; rngacq sees its reader gone and ends.
  running "$server" || fail "eb_server_stream ended by itself: $(tail -n 5 server.log)"
  kill "$server" 2>/dev/null || true
  await "$server" 5 eb_server_stream
  await "$acq" 10 rngacq-sim
  [ "$status" -eq 0 ] || fail "rngacq-sim: exit $status: $(cat acq.txt)"
  delivered=$(sed -n 's/^The reader closed standard output. Bytes delivered: \([0-9]*\)/\1/p' \
    acq.txt)
  [ -n "$delivered" ] || fail "rngacq-sim did not say what it delivered: $(cat acq.txt)"
  running "$broker" || fail "entropy_broker ended before the checks"
  ! grep -q 'Load bits from' broker.log ||
    fail "the broker drew on pools left in /var/cache: $(grep 'Load bits from' broker.log)"

  # The broker's statistics page, read once the stream server has gone: its figures are final.
  page=$(stats stats.html) || fail "no statistics page from the broker"
  figure() { sed -n "s|.*<td>$1:</td><td>\([0-9][0-9]*\)[.<].*|\1|p" <<<"$page" | head -n 1; }
  puts=$(figure "put requests")
  bits_put=$(figure "bits put")
  gets=$(figure "get requests")
  bits_got=$(figure "bits requested")
  { [ -n "$puts" ] && [ -n "$bits_put" ] && [ -n "$gets" ] && [ -n "$bits_got" ]; } ||
    fail "statistics page not understood: $page"

  # The broker counts every block the stream server sent and no more (one block may be cut
  # short when the server is stopped); the server sent no more than rngacq delivered, and what
  # it did not send was still in the pipe (at most its 16 pages) or in the server's own block.
  sent=$(awk '{ for (i = 1; i < NF; i++) if ($i == "Transmitting") n += $(i + 1) }
    END { print n + 0 }' server.log)
  [ "$sent" -gt 0 ] || fail "the stream server's log names no block sent"
  { [ $((puts * block)) -le "$sent" ] && [ $((puts * block)) -ge $((sent - block)) ]; } ||
    fail "the broker counts $puts puts of $block bytes; the stream server sent $sent bytes"
  [ "$sent" -le "$delivered" ] ||
    fail "the stream server sent $sent bytes, rngacq delivered $delivered"
  slack=$((16 * $(getconf PAGESIZE) + 2 * block))
  [ $((delivered - sent)) -le "$slack" ] ||
    fail "rngacq delivered $delivered bytes, the stream server sent only $sent"

  # The broker's own estimate of the entropy received: never above 8 bits a byte, and with the
  # few bits the broker credits itself at its start, at least what the client took. Its
  # estimator gives good data 7.0 to 7.7 bits a byte when a client draws at the same time; less
  # than 6 would mean that it saw our bytes as something other than random.
  own=$(sed -n 's/.*added \([0-9]*\) bits of startup-event-entropy.*/\1/p' broker.log | head -n 1)
  own=${own:-0}
  [ "$bits_put" -le $((8 * sent)) ] ||
    fail "the broker counts $bits_put bits put, more than the $((8 * sent)) sent"
  [ "$bits_put" -ge $((6 * sent)) ] || fail "the broker counts only $bits_put bits in $sent bytes"
  [ $((bits_put + own)) -ge $((8 * want)) ] ||
    fail "the broker counts $bits_put bits put and $own of its own, fewer than $((8 * want))"
  { [ "$bits_got" -ge $((8 * want)) ] && [ "$bits_got" -le $((bits_put + own)) ]; } ||
    fail "the broker handed out $bits_got bits; the client took $((8 * want)); $bits_put were put"

  if [ "$name" = reconnect ]; then
    { grep -q '^Waiting for the module to return' acq.txt &&
      grep -q '^The module is back' acq.txt; } ||
      fail "rngacq-sim did not wait for the module while the stream server read: $(cat acq.txt)"
    echo "broker ($name): $(grep -c '^The module is back' acq.txt) unplugs bridged by /RECONNECT"
  fi
  echo "broker ($name): the client got $got bytes in $gets requests ($bits_got bits); the broker" \
    "took $puts puts of $block bytes ($sent bytes, $bits_put bits by its estimate) from the" \
    "$delivered bytes rngacq delivered"

  kill "$broker" 2>/dev/null || true
  await "$broker" 5 entropy_broker
  cd "$work"
}

recipe stream
# The simulated module leaves after 20 blocks and comes back a second later, again and again.
RNGACQ_SIM=disconnect_after=20,replug_after=1000 recipe reconnect /RECONNECT
