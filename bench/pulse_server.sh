# A PulseAudio server of the benchmark's own, in a directory of its own, with
# null sources (paced by the server's clock, so every reader gets the same
# data rate). Sourced by the benchmarks.
# shellcheck shell=bash

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
