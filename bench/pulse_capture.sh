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
POSITIONS=(FL FR FC LFE RL RR SL SR)
read -r -a OTHERS <<<"${BENCH_OTHER:-}"
BYTES_PER_SECOND=$((2 * CHANNELS * RATE))
SELECTED=$(seq -s, 0 $((CHANNELS - 1)))

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
TIMEFORMAT='%R %U %S'

start_pulseaudio() {
  bench_start_pulseaudio "$work/pa" "mic $CHANNELS $RATE Bench Mic"
}

start_pipewire() {
  local d=$work/pw
  mkdir -p "$d/home" "$d/state" "$d/pulse"
  cp -r /usr/share/wireplumber "$d/wp"
  sed -i 's/\["enable-flatpak-portal"\] = true/["enable-flatpak-portal"] = false/' \
    "$d/wp/main.lua.d/50-default-access-config.lua"
  sed -i '/alsa_monitor.enable()/d; /v4l2_monitor.enable()/d; /libcamera_monitor.enable()/d' \
    "$d/wp/main.lua.d/90-enable-all.lua"
  local libs='context.spa-libs = { audio.convert.* = audioconvert/libspa-audioconvert support.* = support/libspa-support }'
  cat >"$d/pipewire.conf" <<PW
context.properties = { core.daemon = true core.name = pipewire-0 }
$libs
context.modules = [
  { name = libpipewire-module-protocol-native } { name = libpipewire-module-metadata }
  { name = libpipewire-module-spa-node-factory } { name = libpipewire-module-client-node }
  { name = libpipewire-module-client-device } { name = libpipewire-module-access }
  { name = libpipewire-module-adapter } { name = libpipewire-module-link-factory }
  { name = libpipewire-module-session-manager }
]
context.objects = [
  { factory = spa-node-factory args = { factory.name = support.node.driver node.name = Dummy-Driver node.group = pipewire.dummy priority.driver = 20000 } }
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "mic" node.description = "Bench Mic" media.class = "Audio/Source/Virtual" audio.channels = $CHANNELS audio.position = [ ${POSITIONS[*]:0:$CHANNELS} ] audio.rate = $RATE object.linger = true } }
]
PW
  cat >"$d/pipewire-pulse.conf" <<PW
$libs
context.modules = [
  { name = libpipewire-module-protocol-native } { name = libpipewire-module-client-node }
  { name = libpipewire-module-adapter } { name = libpipewire-module-metadata }
  { name = libpipewire-module-protocol-pulse }
]
pulse.properties = { server.address = [ "unix:native" ] }
PW
  local env=(env -u DBUS_SESSION_BUS_ADDRESS -u PIPEWIRE_CONFIG_DIR -u PULSE_SERVER
    XDG_RUNTIME_DIR="$d" PIPEWIRE_RUNTIME_DIR="$d" PULSE_RUNTIME_PATH="$d/pulse"
    XDG_STATE_HOME="$d/state" XDG_CONFIG_HOME="$d/home" HOME="$d/home")
  "${env[@]}" pipewire -c "$d/pipewire.conf" >/dev/null 2>&1 &
  pids+=($!)
  while [ ! -e "$d/pipewire-0" ]; do sleep 0.01; done
  "${env[@]}" WIREPLUMBER_CONFIG_DIR="$d/wp" wireplumber >/dev/null 2>&1 &
  pids+=($!)
  "${env[@]}" pipewire -c "$d/pipewire-pulse.conf" >/dev/null 2>&1 &
  pids+=($!)
  export PULSE_SERVER=unix:$d/pulse/native
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
