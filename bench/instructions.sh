#!/usr/bin/env bash
# Instructions a capture costs, counted by callgrind (user space, every
# thread), side by side with parec on the same PulseAudio null source in the
# same run: what the machine's load cannot change. By hand:
#
#   bench/instructions.sh [SHORT LONG]
#
# Each side captures SHORT and LONG seconds (5 and 15 unless given) of every
# channel of a 48 kHz stereo source and of a 96 kHz 8-channel source, the tool
# with levels (always on) and `--channels` naming every channel, parec with
# `--latency-msec=20`, the tool's own fragment. Steady state is the
# difference of the two counts divided by the seconds of PCM between them;
# start-up is what is left of the short capture at zero seconds (start and
# exit). valgrind runs a program tens of times slower, so a capture's PCM
# falls short of its wall time; only the PCM delivered counts. One run takes
# about four minutes.
#
# BENCH_TOOL (unless set, built in build-bench/ as bench/pulse_capture.sh
# builds it) is the tool measured. BENCH_OTHER="NAME=EXECUTABLE ..." measures
# further builds in the same run, so that a change is measured against the
# code before it.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
source "$(dirname "$0")/pulse_server.sh"
SHORT=${1:-5}
LONG=${2:-15}
read -r -a OTHERS <<<"${BENCH_OTHER:-}"

bench_workdir

bench_tool

# count NAME SECONDS COMMAND...: runs COMMAND under callgrind with its PCM
# into a pipe; prints "instructions bytes".
count() {
  local name=$1 seconds=$2 out=$work/$1.$2.callgrind
  shift 2
  if ! "$@" "$out" 2>"$work/stderr" | wc -c >"$work/bytes"; then
    # Tens of times slower under valgrind, a start can miss its time limit
    # on a busy machine.
    echo "$name ($seconds s): the capture failed under valgrind; run again on a quieter machine" >&2
    grep '"type":"error"' "$work/stderr" >&2 || true
    exit 1
  fi
  echo "$(awk '/^(summary|totals):/ { print $2; exit }' "$out") $(cat "$work/bytes")"
}
callgrind() { valgrind --tool=callgrind --callgrind-out-file="${@: -1}" "${@:1:$#-1}"; }

# report LABEL NAME BYTES_PER_SECOND: steady state and start-up of NAME
# from its two counts in $work/NAME.
report() {
  local label=$1 name=$2 rate=$3
  awk -v l="$label" -v n="$name" -v r="$rate" '
    { i[NR] = $1; s[NR] = $2 / r }
    END {
      steady = (i[2] - i[1]) / (s[2] - s[1])
      start = i[1] - steady * s[1]
      printf "%-12s %-8s %8.3f M instructions per captured s  %7.2f M start-up  (%.2f s: %.1f M, %.2f s: %.1f M)\n",
             l, n, steady / 1e6, start / 1e6, s[1], i[1] / 1e6, s[2], i[2] / 1e6
    }' "$work/$name"
}

# ratios LABEL: each name's figures over the reference's (the last name).
ratios() {
  awk -v l="$1" -v ref="$2" '$1 == l { steady[$2] = $3; start[$2] = $9; names[++n] = $2 }
    END {
      for (k = 1; k <= n; k++) if (names[k] != ref)
        printf "%-12s %-8s / %s: steady state %.3f, start-up %.3f\n", l, names[k], ref,
               steady[names[k]] / steady[ref], start[names[k]] / start[ref]
    }' "$work/report"
}

: >"$work/report"
pulse_sources=("stereo 2 48000 Bench Stereo" "eight 8 96000 Bench Eight")
bench_start_pulseaudio "$work/pa" "${pulse_sources[@]}"
bench_wait_ready stereo
# A reader that keeps every source running: a source that has been idle
# first delivers a burst of what it made meanwhile, as much as a second or
# two, which would differ from one capture to the next.
for spec in "${pulse_sources[@]}"; do
  read -r source _ <<<"$spec"
  parec -d "$source" --latency-msec=100 >/dev/null 2>&1 &
  pids+=($!)
done
for spec in "${pulse_sources[@]}"; do
  read -r source channels rate description <<<"$spec"
  selected=$(seq -s, 0 $((channels - 1)))
  label="${rate}/${channels}"
  tool() { sleep "$1" | callgrind "$2" --driver "$description" --channels "$selected" "$3"; }
  parec_side() {
    timeout -s INT "$1" valgrind --tool=callgrind --callgrind-out-file="$2" parec --raw \
      -d "$source" --format=s16le --rate="$rate" --channels="$channels" --latency-msec=20 || true
  }
  for name in tool parec "${OTHERS[@]%%=*}"; do : >"$work/$name"; done
  for seconds in "$SHORT" "$LONG"; do
    count tool "$seconds" tool "$seconds" "$TOOL" >>"$work/tool"
    count parec "$seconds" parec_side "$seconds" >>"$work/parec"
    for other in "${OTHERS[@]}"; do
      count "${other%%=*}" "$seconds" tool "$seconds" "${other#*=}" >>"$work/${other%%=*}"
    done
  done
  for name in tool "${OTHERS[@]%%=*}" parec; do
    report "$label" "$name" $((2 * channels * rate)) | tee -a "$work/report"
  done
  ratios "$label" parec
done

