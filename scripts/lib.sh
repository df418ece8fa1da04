# Shared by scripts/run and scripts/test: install what is missing, configure, build.
# shellcheck shell=bash

KESTRAVO_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
KESTRAVO_BUILD=${KESTRAVO_BUILD:-$KESTRAVO_ROOT/build}

# Debian packages that building and running the tool need: the compiler and
# build tools, the headers of alsa-lib and libpulse (both are loaded at run
# time; libasound2-dev brings alsa-lib itself, which the ALSA host needs) and
# the JSON library of the simulated host's scenario reader. No sound server,
# no ALSA plugins, no test libraries.
KESTRAVO_PACKAGES=(
  cmake ninja-build g++ pkg-config
  nlohmann-json3-dev libasound2-dev libpulse-dev libpipewire-0.3-dev
)

# What the tests need besides: GoogleTest, Google Benchmark, the ALSA and
# PulseAudio command-line tools the tests compare with and drive, sox, the
# ALSA plugins every sound-server desktop has (the tests check that what
# they print never reaches the parent), and Python 3 and Node.js for the
# record schema check and the example parents. None of these is a sound
# server.
KESTRAVO_TEST_PACKAGES=(
  libgtest-dev libgmock-dev libbenchmark-dev
  alsa-utils sox pulseaudio-utils libasound2-plugins
  python3 nodejs
)

# The sound servers the tests start by hand, each in a directory of its own.
# A server whose packages would remove anything (PulseAudio on a PipeWire
# desktop: pipewire-audio conflicts with pulseaudio) is not installed, and its
# tests are skipped.
KESTRAVO_SERVER_NAMES=(PulseAudio PipeWire)
KESTRAVO_SERVER_PACKAGES=(
  "pulseaudio"
  "pipewire pipewire-bin pipewire-pulse wireplumber"
)

# Only for the sanitizer, fuzzing and analysis stages of scripts/test and for
# scripts/fuzz. clang 16 with libc++ 16 because GCC 12's <expected> does not
# compile under clang; clang-format is the version the code is formatted with.
KESTRAVO_ANALYSIS_PACKAGES=(
  libasan8 libubsan1 libtsan2
  clang-16 libclang-rt-16-dev clang-tidy-16
  clang-format cppcheck
)

# libc++ 16 is not installed but unpacked into the project's own folder: its
# packages conflict with the libc++ of another clang that a machine may have,
# and installing them would remove that one.
KESTRAVO_LIBCXX_PACKAGES=(libc++1-16 libc++abi1-16 libunwind-16 libc++-16-dev libc++abi-16-dev libunwind-16-dev)
KESTRAVO_LIBCXX=$KESTRAVO_ROOT/build-libcxx
KESTRAVO_LIBCXX_DIR=$KESTRAVO_LIBCXX/usr/lib/llvm-16

# Only for scripts/package (dpkg-shlibdeps and file compute the package's
# Depends) and for the package stage of scripts/test, which checks the
# package with lintian and its manual page with man.
KESTRAVO_PACKAGE_PACKAGES=(dpkg-dev file)
KESTRAVO_PACKAGE_CHECK_PACKAGES=(lintian man-db groff-base)

# Only for the windows stage of scripts/test: the cross compiler (the posix
# thread model, for std::thread) and Wine, which runs the Windows executables
# in the tests.
KESTRAVO_WINDOWS_PACKAGES=(g++-mingw-w64-x86-64-posix)
KESTRAVO_WINDOWS_BUILD=$KESTRAVO_ROOT/build-windows

# Wine runs the Windows executables in the tests: Wine 10, the first with
# loopback capture, from Debian trixie, in a chroot of its own that the
# windows stage builds once (as root) and keeps. Neither the machine's apt
# sources nor its packages are touched. libpulse0: Wine's audio driver
# loads it.
KESTRAVO_WINE_ROOT=$KESTRAVO_WINDOWS_BUILD/trixie
KESTRAVO_WINE_ROOT_PACKAGES=(wine64 wine libpulse0)

# The newer PipeWire generation the sound-server tests run against as well:
# PipeWire 1.4 and WirePlumber 0.5 from bookworm-backports, in a chroot of
# their own that the pipewire14 stage builds once (as root) and keeps; the
# tests start its daemons inside and reach them through their sockets.
KESTRAVO_PIPEWIRE14_ROOT=$KESTRAVO_ROOT/build-pipewire14/root
KESTRAVO_PIPEWIRE14_ROOT_PACKAGES=(pipewire pipewire-bin pipewire-pulse wireplumber)

kestravo_missing_packages() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

kestravo_sudo() {
  KESTRAVO_SUDO=()
  [ "$(id -u)" -eq 0 ] && return 0
  if command -v sudo >/dev/null 2>&1; then
    KESTRAVO_SUDO=(sudo)
    return 0
  fi
  echo "kestravo: cannot install $*: not root and no sudo; install them and try again" >&2
  exit 1
}

# The symbolic links that enable systemd user units for every user: a
# package's postinst adds them (pulseaudio.socket, pipewire.socket, ...), so
# its server would start at the next login.
kestravo_user_unit_links() {
  [ -d /etc/systemd/user ] && find /etc/systemd/user -type l 2>/dev/null | sort
  return 0
}

# kestravo_apt_install PACKAGE...: installs them without recommends, never
# removing a package, and leaves the machine's login audio as it was: links
# that the packages' scripts add to enable user units for everyone are taken
# out again (the tests start their servers by hand and need none).
kestravo_apt_install() {
  kestravo_sudo "$@"
  local before after link
  before=$(kestravo_user_unit_links)
  if ! { kestravo_apt_get "${KESTRAVO_SUDO[@]}" -- update -qq &&
    kestravo_apt_get "${KESTRAVO_SUDO[@]}" -- install -y -qq --no-install-recommends --no-remove "$@"; } >&2; then
    echo "kestravo: apt-get could not install: $* (nothing was removed)" >&2
    return 1
  fi
  after=$(kestravo_user_unit_links)
  for link in $after; do
    case $'\n'"$before"$'\n' in *$'\n'"$link"$'\n'*) continue ;; esac
    "${KESTRAVO_SUDO[@]}" rm -f "$link"
    echo "kestravo: left $(basename "$link") disabled for users' logins, as it was" >&2
  done
  return 0
}

# kestravo_ensure_libcxx: downloads libc++ 16's packages and unpacks them into
# build-libcxx, once.
kestravo_ensure_libcxx() {
  [ -f "$KESTRAVO_LIBCXX_DIR/include/c++/v1/expected" ] && return 0
  echo "kestravo: unpacking libc++ 16 into $KESTRAVO_LIBCXX" >&2
  local tmp=$KESTRAVO_LIBCXX.tmp deb
  rm -rf "$tmp" && mkdir -p "$tmp/debs" || return 1
  kestravo_sudo "${KESTRAVO_LIBCXX_PACKAGES[@]}"
  # As root, apt would download as its own user, who cannot write here.
  local as=()
  [ "$(id -u)" -eq 0 ] && as=(-o APT::Sandbox::User=root)
  if ! { kestravo_apt_get "${KESTRAVO_SUDO[@]}" -- update -qq &&
    (cd "$tmp/debs" && kestravo_apt_get -- "${as[@]}" download -qq "${KESTRAVO_LIBCXX_PACKAGES[@]}"); } >&2; then
    echo "kestravo: apt-get could not download: ${KESTRAVO_LIBCXX_PACKAGES[*]}" >&2
    return 1
  fi
  for deb in "$tmp"/debs/*.deb; do
    dpkg-deb -x "$deb" "$tmp/root" || return 1
  done
  rm -rf "$KESTRAVO_LIBCXX" && mv "$tmp/root" "$KESTRAVO_LIBCXX" && rm -rf "$tmp"
}

kestravo_ensure_packages() {
  local missing
  # shellcheck disable=SC2207
  missing=($(kestravo_missing_packages "$@"))
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "kestravo: installing missing Debian packages: ${missing[*]}" >&2
  kestravo_apt_install "${missing[@]}" || exit 1
}

# kestravo_ensure_servers: installs each test sound server that is missing,
# unless apt would have to remove a package for it (a conflict with the
# machine's own sound server). For each one left out, one line says why; its
# tests skip themselves.
kestravo_ensure_servers() {
  local i missing log
  for i in "${!KESTRAVO_SERVER_NAMES[@]}"; do
    # shellcheck disable=SC2206
    local packages=(${KESTRAVO_SERVER_PACKAGES[$i]})
    # shellcheck disable=SC2207
    missing=($(kestravo_missing_packages "${packages[@]}"))
    [ ${#missing[@]} -eq 0 ] && continue
    log=$(mktemp)
    kestravo_apt_get -- update -qq >/dev/null 2>&1 || true
    if ! kestravo_apt_get -- install -s -qq --no-install-recommends --no-remove "${missing[@]}" >"$log" 2>&1; then
      echo "kestravo: not installing ${missing[*]}: it would remove packages of this machine's sound setup; the ${KESTRAVO_SERVER_NAMES[$i]} tests are skipped" >&2
      rm -f "$log"
      continue
    fi
    rm -f "$log"
    echo "kestravo: installing the ${KESTRAVO_SERVER_NAMES[$i]} test server: ${missing[*]}" >&2
    kestravo_apt_install "${missing[@]}" || exit 1
  done
}

# kestravo_apt_get [sudo] -- ARGS...: apt-get ARGS, waiting for the package
# manager's locks: a fresh machine often runs an unattended apt at boot. dpkg's
# own lock is waited for by apt itself; the lists and archive locks are not,
# so a run that failed on a lock is tried again, for up to ten minutes.
kestravo_apt_get() {
  local sudo=()
  while [ "$1" != "--" ]; do
    sudo+=("$1")
    shift
  done
  shift
  local log deadline=$((SECONDS + 600))
  log=$(mktemp)
  while :; do
    if "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 "$@" >"$log" 2>&1; then
      cat "$log"
      rm -f "$log"
      return 0
    fi
    if ! grep -q -E 'Could not get lock|Unable to acquire|Unable to lock|is held by process' "$log" ||
      [ $SECONDS -ge $deadline ]; then
      cat "$log"
      grep -q -E 'Could not get lock|Unable to lock' "$log" &&
        echo "kestravo: another package manager held its lock for ten minutes; try again when it is done" >&2
      rm -f "$log"
      return 1
    fi
    echo "kestravo: apt-get $1 is waiting for another package manager to finish" >&2
    sleep 5
  done
}

# What the test stages need on top of the build: test libraries and tools,
# and the sound servers that can be installed without removing anything.
kestravo_ensure_test_packages() {
  kestravo_ensure_packages "${KESTRAVO_TEST_PACKAGES[@]}"
  kestravo_ensure_servers
}

# kestravo_build [TARGET...]: configure once, then build (quietly unless it
# fails). With KESTRAVO_KEEP_CONFIG=1 a configured build directory is built as
# it is configured, whatever KESTRAVO_CMAKE_ARGS says.
kestravo_build() {
  kestravo_ensure_packages "${KESTRAVO_PACKAGES[@]}"
  local log="$KESTRAVO_BUILD.log"
  mkdir -p "$(dirname "$log")"
  # Configure once per set of arguments: a build directory whose arguments
  # changed is configured again.
  local args_stamp="$KESTRAVO_BUILD/kestravo-cmake-args"
  local args="${KESTRAVO_CMAKE_ARGS[*]}"
  if [ ! -f "$KESTRAVO_BUILD/build.ninja" ] ||
    { [ "${KESTRAVO_KEEP_CONFIG:-0}" != 1 ] && [ "$(cat "$args_stamp" 2>/dev/null)" != "$args" ]; }; then
    if ! cmake -S "$KESTRAVO_ROOT" -B "$KESTRAVO_BUILD" -G Ninja "${KESTRAVO_CMAKE_ARGS[@]}" >"$log" 2>&1; then
      cat "$log" >&2
      echo "kestravo: configuring failed" >&2
      exit 1
    fi
    printf '%s' "$args" >"$args_stamp"
  fi
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  if ! cmake --build "$KESTRAVO_BUILD" "${targets[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    echo "kestravo: build failed" >&2
    exit 1
  fi
}

# The libFuzzer build (shared by scripts/test and scripts/fuzz): clang 16 with
# libc++, everything instrumented for coverage, AddressSanitizer and
# UndefinedBehaviorSanitizer. Its compile database also serves clang-tidy.
KESTRAVO_FUZZ_BUILD=$KESTRAVO_ROOT/build-fuzz
KESTRAVO_FUZZ_TARGETS=()
for _fuzz_source in "$KESTRAVO_ROOT"/tests/fuzz/*_fuzz.cpp; do
  [ -e "$_fuzz_source" ] && KESTRAVO_FUZZ_TARGETS+=("$(basename "$_fuzz_source" .cpp)")
done
unset _fuzz_source

kestravo_fuzz_args() {
  # -O1 -g1: a fifth less build time than -O2 -g, and fuzzing speed matters
  # little over a fixed number of runs.
  local libcxx=$KESTRAVO_LIBCXX_DIR
  KESTRAVO_CMAKE_ARGS=(-DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_BUILD_TYPE=RelWithDebInfo
    "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O1 -g1"
    "-DCMAKE_CXX_FLAGS=-nostdinc++ -isystem $libcxx/include/c++/v1"
    "-DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -L$libcxx/lib -Wl,-rpath,$libcxx/lib"
    -DKESTRAVO_SANITIZE=fuzzer-no-link,address,undefined
    -DKESTRAVO_BUILD_TESTS=OFF -DKESTRAVO_BUILD_BENCH=OFF -DKESTRAVO_BUILD_FUZZ=ON)
}

kestravo_fuzz_configure() {
  kestravo_ensure_packages "${KESTRAVO_ANALYSIS_PACKAGES[@]}"
  kestravo_ensure_libcxx || return 1
  kestravo_fuzz_args
  if [ ! -f "$KESTRAVO_FUZZ_BUILD/build.ninja" ] ||
    [ "$(cat "$KESTRAVO_FUZZ_BUILD/kestravo-cmake-args" 2>/dev/null)" != "${KESTRAVO_CMAKE_ARGS[*]}" ]; then
    (KESTRAVO_BUILD=$KESTRAVO_FUZZ_BUILD && kestravo_build kestravo_main)
  fi
}

kestravo_fuzz_build() {
  kestravo_ensure_packages "${KESTRAVO_ANALYSIS_PACKAGES[@]}"
  kestravo_ensure_libcxx || return 1
  kestravo_fuzz_args
  (KESTRAVO_BUILD=$KESTRAVO_FUZZ_BUILD && kestravo_build "$@")
}

# Runs each target this many times in scripts/test: about a minute in all on
# this machine.
kestravo_fuzz_runs() {
  case "$1" in
    command_line_fuzz) echo 150000 ;;
    status_fuzz) echo 200000 ;;
    scenario_fuzz) echo 100000 ;;
    *) echo 200000 ;;
  esac
}

# kestravo_fuzz_run TARGET LIBFUZZER-OPTION...: runs TARGET on its checked-in
# seeds (tests/fuzz/corpus/TARGET, read only) and a scratch corpus in the
# build directory; a crashing input is kept in build-fuzz/artifacts/.
kestravo_fuzz_run() {
  local target=$1
  shift
  local exe=$KESTRAVO_FUZZ_BUILD/tests/fuzz/$target
  local scratch=$KESTRAVO_FUZZ_BUILD/corpus/$target
  local seeds=$KESTRAVO_ROOT/tests/fuzz/corpus/$target
  local log=$KESTRAVO_FUZZ_BUILD/$target.log
  local dict=()
  [ -f "$KESTRAVO_ROOT/tests/fuzz/$target.dict" ] && dict=(-dict="$KESTRAVO_ROOT/tests/fuzz/$target.dict")
  mkdir -p "$scratch" "$KESTRAVO_FUZZ_BUILD/artifacts"
  local seed_dirs=()
  [ -d "$seeds" ] && seed_dirs=("$seeds")
  if ! ASAN_OPTIONS=detect_leaks=1 "$exe" "$@" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
    "${dict[@]}" -artifact_prefix="$KESTRAVO_FUZZ_BUILD/artifacts/$target-" \
    "$scratch" "${seed_dirs[@]}" >"$log" 2>&1; then
    tail -n 60 "$log" >&2
    echo "kestravo: fuzz target $target FAILED (log: $log; reproduce: $exe ARTIFACT)" >&2
    return 1
  fi
  echo "fuzz $target: $(grep -m1 -o 'Seed: [0-9]*' "$log"), $(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | sed 's/.*: //') runs, $(grep -E '^#[0-9]+.*(DONE|pulse|NEW)' "$log" | tail -n1 | grep -o 'cov: [0-9]*')" >&2
}

# The Windows executables, cross-built with mingw-w64 and linked statically:
# build-windows/kestravo-core-audio-capture.exe and
# build-windows/kestravo-core-audio-capture-sim.exe.
kestravo_windows_build() {
  kestravo_ensure_packages "${KESTRAVO_WINDOWS_PACKAGES[@]}"
  KESTRAVO_CMAKE_ARGS=(-DCMAKE_TOOLCHAIN_FILE="$KESTRAVO_ROOT/cmake/mingw-w64-x86_64.cmake"
    -DCMAKE_BUILD_TYPE=Release -DKESTRAVO_BUILD_TESTS=OFF -DKESTRAVO_BUILD_BENCH=OFF)
  (KESTRAVO_BUILD=$KESTRAVO_WINDOWS_BUILD && kestravo_build kestravo-core-audio-capture \
    kestravo-core-audio-capture-sim)
}

# kestravo_debian_root ROOT WHAT SUITE EXTRA_SUITE PACKAGES...: builds a
# Debian chroot in ROOT unless it is there: debootstrap SUITE from the
# mirror this machine's apt uses, then PACKAGES inside, from EXTRA_SUITE
# where it is not empty (added to the chroot's sources only). WHAT names it
# in messages. Says why where it cannot.
kestravo_debian_root() {
  local root=$1 what=$2 suite=$3 extra=$4
  shift 4
  [ -f "$root/.kestravo-ready" ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "kestravo: cannot build the $what chroot $root: debootstrap and chroot need root (CI runs as root)" >&2
    return 1
  fi
  kestravo_ensure_packages debootstrap
  local codename mirror
  codename=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  mirror=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE)' 2>/dev/null |
    awk -v c="$codename" '$2 == c { print $1; exit }')
  if [ -z "$mirror" ]; then
    echo "kestravo: cannot build the $what chroot: no Debian mirror for '$codename' in this machine's apt sources" >&2
    return 1
  fi
  echo "kestravo: building the $what chroot (Debian $suite${extra:+ and $extra} from $mirror) in $root" >&2
  local tmp=$root.tmp
  kestravo_wine_unmount "$tmp"
  rm -rf "$tmp" && mkdir -p "$tmp" || return 1
  if ! debootstrap --variant=minbase "$suite" "$tmp" "$mirror" >"$tmp.log" 2>&1; then
    tail -n 20 "$tmp.log" >&2
    echo "kestravo: cannot build the $what chroot: debootstrap $suite from $mirror failed (log: $tmp.log)" >&2
    return 1
  fi
  # No service starts inside.
  printf '#!/bin/sh\nexit 101\n' >"$tmp/usr/sbin/policy-rc.d" && chmod +x "$tmp/usr/sbin/policy-rc.d"
  local from=""
  if [ -n "$extra" ]; then
    echo "deb $mirror $extra main" >"$tmp/etc/apt/sources.list.d/$extra.list" || return 1
    from="-t $extra"
  fi
  local rc=0
  mount -t proc proc "$tmp/proc" || return 1
  chroot "$tmp" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive \
    sh -c "apt-get update -q && apt-get install -y -q --no-install-recommends $from $* && apt-get clean" \
    >>"$tmp.log" 2>&1 || rc=1
  umount "$tmp/proc"
  if [ $rc -ne 0 ]; then
    tail -n 20 "$tmp.log" >&2
    echo "kestravo: cannot build the $what chroot: installing $* inside failed (log: $tmp.log)" >&2
    return 1
  fi
  touch "$tmp/.kestravo-ready" && rm -rf "$root" && mv "$tmp" "$root" && rm -f "$tmp.log"
}

# kestravo_wine_root: the Wine 10 chroot in $KESTRAVO_WINE_ROOT.
kestravo_wine_root() {
  kestravo_debian_root "$KESTRAVO_WINE_ROOT" "Wine 10" trixie "" "${KESTRAVO_WINE_ROOT_PACKAGES[@]}" &&
    [ -x "$KESTRAVO_WINE_ROOT/usr/lib/wine/wine64" ]
}

# kestravo_pipewire14_root: the PipeWire 1.4 chroot in
# $KESTRAVO_PIPEWIRE14_ROOT.
kestravo_pipewire14_root() {
  kestravo_debian_root "$KESTRAVO_PIPEWIRE14_ROOT" "PipeWire 1.4" bookworm bookworm-backports \
    "${KESTRAVO_PIPEWIRE14_ROOT_PACKAGES[@]}" && [ -x "$KESTRAVO_PIPEWIRE14_ROOT/usr/bin/pipewire" ]
}

# kestravo_wine_unmount ROOT: unmounts whatever is mounted below ROOT,
# deepest first.
kestravo_wine_unmount() {
  local root mounts m
  root=$(realpath -m "$1")
  mounts=$(awk -v r="$root/" 'index($2 "/", r) == 1 { print $2 }' /proc/self/mounts | sort -r)
  for m in $mounts; do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
}
