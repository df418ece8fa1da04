#!/usr/bin/env bash
# What a capture costs on a PipeWire desktop, the server's share included:
# the tool, parec through pipewire-pulse and pw-record, one after another on
# the same null source of a PipeWire server of the benchmark's own, each
# alone, so that what the server spends in the meantime is that client's. By
# hand:
#
#   bench/pipewire_capture.sh [SECONDS] [ROUNDS]
#
# Each client captures every channel for SECONDS (10 unless given) at a 20 ms
# fragment, ROUNDS times (5 unless given), in turn. Client CPU = user +
# system of the process; server CPU = what PipeWire, WirePlumber and
# pipewire-pulse spent meanwhile (/proc); both per captured second. The
# report ends with each client's median ratio to parec over the rounds, for
# the client and for client + server: a shared machine's noise is larger
# than one round's differences. Then callgrind's user-space instructions
# per captured second of the tool and of pw-record (a 3 s and a 9 s capture
# each; the difference over the seconds between), which no load changes.
#
# BENCH_TOOL (unless set, built in build-bench/) is the tool measured;
# BENCH_RATE and BENCH_CHANNELS (48000 and 2 unless set, at most 8) choose
# the source.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
source "$(dirname "$0")/pulse_server.sh"
SECONDS_PER_RUN=${1:-10}
ROUNDS=${2:-5}
RATE=${BENCH_RATE:-48000}
CHANNELS=${BENCH_CHANNELS:-2}
BYTES_PER_SECOND=$((2 * CHANNELS * RATE))
SELECTED=$(seq -s, 0 $((CHANNELS - 1)))

bench_workdir
TIMEFORMAT='%R %U %S'

bench_tool

bench_start_pipewire "$work/pw" "$CHANNELS" "$RATE"
server_pids=("${pids[@]}")
bench_wait_ready mic

# Clock ticks the server's processes have used so far.
server_ticks() {
  local p total=0
  for p in "${server_pids[@]}"; do
    total=$((total + $(awk '{ print $14 + $15 }' "/proc/$p/stat")))
  done
  echo "$total"
}

tool() { sleep "$1" | "$TOOL" --driver "Bench Mic" --channels "$SELECTED"; }
parec_client() {
  timeout -s INT "$1" parec --raw -d mic --format=s16le --rate="$RATE" --channels="$CHANNELS" \
    --latency-msec=20 || true
}
pw_record() {
  timeout -s INT "$1" pw-record --target mic --rate "$RATE" --channels "$CHANNELS" --format s16 \
    --latency 20ms - || true
}
CLIENTS=(tool parec_client pw_record)

hz=$(getconf CLK_TCK)
for ((round = 1; round <= ROUNDS; round++)); do
  for client in "${CLIENTS[@]}"; do
    before=$(server_ticks)
    { time "$client" "$SECONDS_PER_RUN" 2>/dev/null; } 2>"$work/time" | wc -c >"$work/bytes"
    after=$(server_ticks)
    read -r _ user sys <"$work/time"
    awk -v n="$client" -v b="$(cat "$work/bytes")" -v u="$user" -v y="$sys" \
      -v s="$(((after - before)))" -v hz="$hz" -v r="$BYTES_PER_SECOND" -v round="$round" \
      'BEGIN { c = b / r; printf "round %d %-12s %6.2f s captured  client %.5f  server %.5f  CPU s per captured s\n", round, n, c, (u + y) / c, s / hz / c }' |
      tee -a "$work/rounds"
  done
done

awk '{ client[$3, $2] = $8; both[$3, $2] = $8 + $10; if ($2 > rounds) rounds = $2; names[$3] = 1 }
  function median(a, k,    i, j, t) {
    for (i = 2; i <= k; i++) for (j = i; j > 1 && a[j - 1] > a[j]; j--) { t = a[j]; a[j] = a[j - 1]; a[j - 1] = t }
    return k % 2 ? a[(k + 1) / 2] : (a[k / 2] + a[k / 2 + 1]) / 2
  }
  END {
    for (n in names) {
      if (n == "parec_client") continue
      for (i = 1; i <= rounds; i++) { a[i] = client[n, i] / client["parec_client", i]; b[i] = both[n, i] / both["parec_client", i] }
      printf "%-12s / parec: client median %.3f, client + server median %.3f over %d rounds\n", n, median(a, rounds), median(b, rounds), rounds
    }
  }' "$work/rounds"

# Instructions: callgrind's count of a 3 s and a 9 s capture.
if command -v valgrind >/dev/null; then
  for client in tool pw_record; do
    counts=()
    for seconds in 3 9; do
      rm -f "$work"/cg.*
      case $client in
        tool) cmd=(bash -c "sleep $seconds | valgrind --tool=callgrind --callgrind-out-file=$work/cg.out $TOOL --driver 'Bench Mic' --channels $SELECTED") ;;
        pw_record) cmd=(timeout -s INT $((seconds * 3)) valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" pw-record --target mic --rate "$RATE" --channels "$CHANNELS" --format s16 --latency 20ms -) ;;
      esac
      bytes=$("${cmd[@]}" 2>/dev/null | wc -c || true)
      total=$(awk '/^summary:|^totals:/ { print $2; exit }' "$work/cg.out")
      counts+=("$total $bytes")
    done
    read -r i1 b1 <<<"${counts[0]}"
    read -r i2 b2 <<<"${counts[1]}"
    awk -v n="$client" -v i1="$i1" -v i2="$i2" -v b1="$b1" -v b2="$b2" -v r="$BYTES_PER_SECOND" \
      'BEGIN { s = (b2 - b1) / r; printf "%-12s %.3f M user instructions per captured second (callgrind, %.2f s between the runs)\n", n, (i2 - i1) / s / 1e6, s }'
  done
fi
