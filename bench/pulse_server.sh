# A PulseAudio server of the benchmark's own, in a directory of its own, with
# null sources (paced by the server's clock, so every reader gets the same
# data rate). Sourced by the benchmarks.
# shellcheck shell=bash

# bench_workdir: a scratch directory in `work`, and `pids`, the processes
# the benchmark starts; on exit they are killed and the directory removed.
bench_workdir() {
  work=$(mktemp -d)
  pids=()
  trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT
}

# bench_tool: the tool measured, in TOOL: BENCH_TOOL, or unless set a
# build of this tree in build-bench/ with the 20 ms fragment.
bench_tool() {
  if [ -n "${BENCH_TOOL:-}" ]; then
    TOOL=$BENCH_TOOL
    return
  fi
  KESTRAVO_BUILD=$KESTRAVO_ROOT/build-bench
  KESTRAVO_CMAKE_ARGS=(-DKESTRAVO_BUILD_TESTS=OFF -DKESTRAVO_BUILD_BENCH=OFF
    -DKESTRAVO_PULSE_FRAGMENT_MS=20)
  kestravo_build kestravo-core-audio-capture
  TOOL=$KESTRAVO_BUILD/kestravo-core-audio-capture
}

# bench_start_pulseaudio DIR SOURCE...: each SOURCE is "NAME CHANNELS RATE
# DESCRIPTION"; the first is the default source. Appends the server's pid to
# the caller's `pids` and points PULSE_SERVER at it.
bench_start_pulseaudio() {
  local d=$1 spec name channels rate description first=
  shift
  mkdir -p "$d/home" "$d/state"
  echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$d/native" >"$d/test.pa"
  for spec in "$@"; do
    read -r name channels rate description <<<"$spec"
    echo "load-module module-null-source source_name=$name channels=$channels rate=$rate description=\"${description// /\\ }\"" >>"$d/test.pa"
    first=${first:-$name}
  done
  echo "set-default-source $first" >>"$d/test.pa"
  HOME=$d/home PULSE_RUNTIME_PATH=$d PULSE_STATE_PATH=$d/state \
    pulseaudio -n --daemonize=no --exit-idle-time=-1 --use-pid-file=no \
    --log-target=file:"$d/pa.log" -F "$d/test.pa" </dev/null >/dev/null 2>&1 &
  pids+=($!)
  export PULSE_SERVER=unix:$d/native
}

# bench_wait_ready SOURCE: until the server at PULSE_SERVER has SOURCE as its
# default, for at most 5 seconds.
bench_wait_ready() {
  for _ in $(seq 500); do
    pactl info 2>/dev/null | grep -q "Default Source: $1" && return 0
    sleep 0.01
  done
  echo "the server did not start" >&2
  exit 1
}

# bench_start_pipewire DIR CHANNELS RATE: PipeWire, WirePlumber and
# pipewire-pulse of the benchmark's own, with one null source "mic" ("Bench
# Mic", paced by the server's clock). Appends their pids to the caller's
# `pids` (the daemon's first, pipewire-pulse's last) and points PULSE_SERVER
# and PIPEWIRE_RUNTIME_DIR at them.
bench_start_pipewire() {
  local d=$1 channels=$2 rate=$3 positions=(FL FR FC LFE RL RR SL SR)
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
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "mic" node.description = "Bench Mic" media.class = "Audio/Source/Virtual" audio.channels = $channels audio.position = [ ${positions[*]:0:$channels} ] audio.rate = $rate object.linger = true } }
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
  export PULSE_SERVER=unix:$d/pulse/native PIPEWIRE_RUNTIME_DIR=$d
}
