#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), then configures
# and builds into build/ (programs in build/bin/). Idempotent; safe to run again at any time.
#   BUILD_DIR=build-asan VORLA_SANITIZE=address,undefined scripts/bootstrap.sh   a sanitizer build
#   VORLA_EXTRA_PACKAGES="clang ..." scripts/bootstrap.sh --packages-only   install, do not build
#   VORLA_BUILD_TARGETS="vorla_net_tests ..." scripts/bootstrap.sh           build only those targets
set -euo pipefail

packages_only=0
if [ "${1:-}" = "--packages-only" ]; then
  packages_only=1
fi

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$root/build}"
build_type="${BUILD_TYPE:-RelWithDebInfo}"
sanitize="${VORLA_SANITIZE:-}"

packages=(
  # toolchain and test frameworks
  g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  # libraries
  libx11-dev libxext-dev libxfixes-dev libxss-dev libxrandr-dev libxtst-dev libxinerama-dev
  libssl-dev libjpeg-dev zlib1g-dev libboost-dev libzip-dev libvpx-dev libsodium-dev libwebm-dev
  libsystemd-dev
  # the private X server and desktop of the tests
  xvfb x11-xserver-utils x11-utils openbox xdotool wmctrl
  # the system tray and the private system bus of the desktop tests
  trayer dbus-daemon
  # the demo and the viewer's tests: ffmpeg (the comparison, ffprobe), headless Chromium
  ffmpeg chromium
)
# Further packages a caller needs (scripts/fuzz.sh: clang and its fuzzer runtime).
read -r -a extra <<<"${VORLA_EXTRA_PACKAGES:-}"
packages+=("${extra[@]}")

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
if ((${#missing[@]})); then
  echo "bootstrap: installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

((packages_only)) && exit 0

# Sanitizer builds are for the tests: the benchmarks would only measure the instrumentation.
benchmarks=ON
[ -z "$sanitize" ] || benchmarks=OFF
cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DVORLA_SANITIZE="$sanitize" \
  -DVORLA_BUILD_BENCHMARKS="$benchmarks" >/dev/null
jobs="$(nproc 2>/dev/null || echo 2)"
# VORLA_BUILD_TARGETS="a b" builds only those targets (and what they need).
targets=()
for t in ${VORLA_BUILD_TARGETS:-}; do targets+=(--target "$t"); done
cmake --build "$build_dir" -j"$jobs" "${targets[@]}"
