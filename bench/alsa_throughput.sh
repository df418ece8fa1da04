#!/usr/bin/env bash
# PCM throughput of the real executable on ALSA's unpaced null PCM, side by
# side with arecord on the same PCM, in the same run. Run by hand:
#
#   bench/alsa_throughput.sh [SECONDS_PER_RUN] [RUNS]
#
# Both capture 32 channels of S16_LE at 48000 Hz from `null` into a pipe
# (the tool with every channel selected, so both write the same 64-byte
# frames) for the same wall time. The null PCM has no clock: each side runs
# as fast as it can read, so bytes per wall second is the throughput, and CPU
# seconds (user + system of the producer) per captured second its cost.
# BENCH_OTHER="NAME=EXECUTABLE ..." measures further builds of the tool in
# the same runs, one after another, so that a change is compared with the
# code before it on an equally loaded machine.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
SECONDS_PER_RUN=${1:-3}
RUNS=${2:-3}

KESTRAVO_CMAKE_ARGS=()
kestravo_build kestravo-core-audio-capture
exe="$KESTRAVO_BUILD/kestravo-core-audio-capture"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A configuration of its own, so the machine's sound setup plays no part.
cat >"$work/asound.conf" <<'EOF'
pcm.null { type null hint { show on description "Unpaced silence" } }
EOF
export ALSA_CONFIG_PATH="$work/asound.conf"
channels=$(seq -s, 0 31)
frame_bytes=64
rate=48000
TIMEFORMAT='%R %U %S'

# measure NAME COMMAND...: runs the producer into a pipe, prints one line:
# name bytes wall_s cpu_s
measure() {
  local name=$1
  shift
  { time "$@" 2>/dev/null; } 2>"$work/time" | dd of=/dev/null bs=1M 2>"$work/dd"
  local bytes
  bytes=$(awk '/bytes/ {print $1; exit}' "$work/dd")
  read -r wall user sys <"$work/time"
  echo "$name $bytes $wall $(awk -v u="$user" -v s="$sys" 'BEGIN {print u + s}')"
}

read -r -a others <<<"${BENCH_OTHER:-}"
tool() { sleep "$SECONDS_PER_RUN" | "${1:-$exe}" --driver null --channels "$channels" --sample-rate $rate; }
# timeout ends arecord with SIGINT, its normal way to stop; that is no failure.
peer() { timeout -s INT "$SECONDS_PER_RUN" arecord -q -D null -f S16_LE -c 32 -r $rate -t raw || true; }

: >"$work/results"
for ((run = 1; run <= RUNS; run++)); do
  measure tool tool >>"$work/results"
  measure arecord peer >>"$work/results"
  for other in "${others[@]}"; do measure "${other%%=*}" tool "${other#*=}" >>"$work/results"; done
done

awk -v fb=$frame_bytes -v rate=$rate '
  {
    mbps = $2 / $3 / 1e6
    captured = $2 / fb / rate
    cost = captured > 0 ? $4 / captured : 0
    printf "%-8s %8.0f MB/s  %8.5f CPU s per captured s  (%.0f bytes in %.2f s, %.2f CPU s)\n",
           $1, mbps, cost, $2, $3, $4
    sum[$1] += mbps; cpu[$1] += cost; n[$1]++
  }
  END {
    t = sum["tool"] / n["tool"]; a = sum["arecord"] / n["arecord"]
    printf "\nmean     tool %.0f MB/s, arecord %.0f MB/s, ratio %.2f (target >= 0.80)\n", t, a, t / a
    printf "CPU s per captured s: tool %.5f, arecord %.5f\n", cpu["tool"] / n["tool"],
           cpu["arecord"] / n["arecord"]
    for (name in sum) if (name != "tool" && name != "arecord")
      printf "%-8s %.0f MB/s, ratio to arecord %.2f, %.5f CPU s per captured s\n", name,
             sum[name] / n[name], sum[name] / n[name] / a, cpu[name] / n[name]
  }' "$work/results"
