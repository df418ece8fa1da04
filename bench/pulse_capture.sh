#!/usr/bin/env bash
# CPU cost of a capture through the sound-server host, side by side with
# parec on the same source in the same run, on a PulseAudio and a PipeWire
# server of its own; and the listing's wall time against pactl's. By hand:
#
#   bench/pulse_capture.sh [SECONDS] [FRAGMENT_MS...]
#
# Each run captures every channel of a null source (paced by the server's
# clock, so both sides get the same data rate) for SECONDS, the tool and
# `parec --latency-msec=FRAGMENT_MS` at once. CPU = user + system of the
# process, per captured second. The tool is rebuilt per fragment size in
# build-bench/ (KESTRAVO_PULSE_FRAGMENT_MS), parec gets the same fragment.
#
# BENCH_RATE and BENCH_CHANNELS (48000 and 2 unless set, at most 8 channels)
# choose the source. BENCH_ROUNDS (1 unless set) repeats each run; with more
# than one, each name's median ratio to parec over the rounds closes the
# server's report, as a shared machine's noise is larger than the
# differences measured. BENCH_OTHER="NAME=EXECUTABLE ..." runs further builds of
# the tool beside them (built with the same fragment), so that a change is
# measured against the code before it in the same run.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
source "$(dirname "$0")/pulse_server.sh"
SECONDS_PER_RUN=${1:-10}
shift || true
FRAGMENTS=("${@:-10 20 50}")
read -r -a FRAGMENTS <<<"${FRAGMENTS[*]}"
RATE=${BENCH_RATE:-48000}
ROUNDS=${BENCH_ROUNDS:-1}
CHANNELS=${BENCH_CHANNELS:-2}
read -r -a OTHERS <<<"${BENCH_OTHER:-}"
BYTES_PER_SECOND=$((2 * CHANNELS * RATE))
SELECTED=$(seq -s, 0 $((CHANNELS - 1)))

bench_workdir
TIMEFORMAT='%R %U %S'

start_pulseaudio() {
  bench_start_pulseaudio "$work/pa" "mic $CHANNELS $RATE Bench Mic"
}

start_pipewire() {
  bench_start_pipewire "$work/pw" "$CHANNELS" "$RATE"
}

# measure NAME COMMAND...: CPU seconds per captured second, and the bytes.
measure() {
  local name=$1
  shift
  { time "$@" 2>/dev/null; } 2>"$work/$name.time" | wc -c >"$work/$name.bytes"
}

build_tool() {
  KESTRAVO_BUILD=$KESTRAVO_ROOT/build-bench
  KESTRAVO_CMAKE_ARGS=(-DKESTRAVO_BUILD_TESTS=OFF -DKESTRAVO_BUILD_BENCH=OFF
    "-DKESTRAVO_PULSE_FRAGMENT_MS=$1")
  kestravo_build kestravo-core-audio-capture
  cp "$KESTRAVO_BUILD/kestravo-core-audio-capture" "$work/tool-$1"
}

for f in "${FRAGMENTS[@]}"; do build_tool "$f"; done

report() {
  local server=$1 f=$2 name
  for name in tool parec "${OTHERS[@]%%=*}"; do
    read -r wall user sys <"$work/$name.time"
    awk -v s="$server" -v f="$f" -v n="$name" -v b="$(cat "$work/$name.bytes")" -v u="$user" \
      -v y="$sys" -v r="$BYTES_PER_SECOND" 'BEGIN { c = b / r; printf "%-10s %3s ms  %-5s %6.2f s captured  %.5f CPU s per captured s\n", s, f, n, c, (u + y) / c }' |
      tee -a "$work/rounds"
  done
}

# medians SERVER FRAGMENT: each name's median ratio to parec over the rounds.
medians() {
  awk -v s="$1" -v f="$2" '$1 == s && $2 == f { cpu[$4, ++n[$4]] = $8 }
    END {
      for (name in n) {
        if (name == "parec") continue
        k = 0
        for (i = 1; i <= n[name]; i++) r[++k] = cpu[name, i] / cpu["parec", i]
        for (i = 2; i <= k; i++) for (j = i; j > 1 && r[j - 1] > r[j]; j--) { t = r[j]; r[j] = r[j - 1]; r[j - 1] = t }
        m = k % 2 ? r[(k + 1) / 2] : (r[k / 2] + r[k / 2 + 1]) / 2
        printf "%-10s %3s ms  %-5s / parec: median %.3f over %d rounds (%.3f to %.3f)\n", s, f, name, m, k, r[1], r[k]
      }
    }' "$work/rounds"
}

for server in PulseAudio PipeWire; do
  unset PULSE_SERVER
  if [ $server = PulseAudio ]; then start_pulseaudio; else start_pipewire; fi
  bench_wait_ready mic
  for f in "${FRAGMENTS[@]}"; do
    tool() { sleep "$SECONDS_PER_RUN" | "$1" --driver "Bench Mic" --channels "$SELECTED"; }
    peer() {
      timeout -s INT "$SECONDS_PER_RUN" parec --raw -d mic --format=s16le --rate="$RATE" \
        --channels="$CHANNELS" --latency-msec="$f" || true
    }
    for ((round = 1; round <= ROUNDS; round++)); do
      running=()
      measure tool tool "$work/tool-$f" &
      running+=($!)
      measure parec peer &
      running+=($!)
      for other in "${OTHERS[@]}"; do
        measure "${other%%=*}" tool "${other#*=}" &
        running+=($!)
      done
      wait "${running[@]}"
      report $server "$f"
    done
    [ "$ROUNDS" -gt 1 ] && medians $server "$f"
  done
  # Listing: best of 10 wall times.
  best() {
    local b=999 t
    for _ in $(seq 10); do
      t=$( { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{print $1}')
      b=$(awk -v a="$b" -v t="$t" 'BEGIN { print (t < a ? t : a) }')
    done
    echo "$b"
  }
  echo "$server listing: tool $(best "$work/tool-${FRAGMENTS[0]}" --list) s, pactl list short sources $(best pactl list short sources) s"
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  pids=()
  sleep 0.2
done
