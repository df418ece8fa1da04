# Shared by scripts/run and scripts/test: install what is missing, configure, build.
# shellcheck shell=bash

KESTRAVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESTRAVO_BUILD=${KESTRAVO_BUILD:-$KESTRAVO_ROOT/build}

# Debian packages the build and the tests need.
KESTRAVO_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev libasound2-dev
  alsa-utils sox
)

kestravo_ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "kestravo: installing missing Debian packages: ${missing[*]}" >&2
  local sudo=()
  if [ "$(id -u)" -ne 0 ]; then
    if command -v sudo >/dev/null 2>&1; then sudo=(sudo); else
      echo "kestravo: cannot install ${missing[*]}: not root and no sudo; install them and try again" >&2
      exit 1
    fi
  fi
  if ! { "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"; } >&2; then
    echo "kestravo: apt-get could not install: ${missing[*]}" >&2
    exit 1
  fi
}

# kestravo_build [TARGET...]: configure once, then build (quietly unless it fails).
kestravo_build() {
  kestravo_ensure_packages "${KESTRAVO_PACKAGES[@]}"
  local log="$KESTRAVO_BUILD.log"
  mkdir -p "$(dirname "$log")"
  if [ ! -f "$KESTRAVO_BUILD/build.ninja" ]; then
    if ! cmake -S "$KESTRAVO_ROOT" -B "$KESTRAVO_BUILD" -G Ninja "${KESTRAVO_CMAKE_ARGS[@]}" >"$log" 2>&1; then
      cat "$log" >&2
      echo "kestravo: configuring failed" >&2
      exit 1
    fi
  fi
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  if ! cmake --build "$KESTRAVO_BUILD" "${targets[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    echo "kestravo: build failed" >&2
    exit 1
  fi
}
