#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need (only those missing), then configures
# and builds into build/ (programs in build/bin/). Idempotent; safe to run again at any time.
#   BUILD_DIR=build-asan VORLA_SANITIZE=address,undefined scripts/bootstrap.sh   a sanitizer build
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${BUILD_DIR:-$root/build}"
build_type="${BUILD_TYPE:-RelWithDebInfo}"
sanitize="${VORLA_SANITIZE:-}"

packages=(
  # toolchain and test frameworks
  g++ cmake make pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  # libraries
  libx11-dev libxext-dev libxfixes-dev libxss-dev libxrandr-dev libxtst-dev libxinerama-dev
  libssl-dev libjpeg-dev zlib1g-dev libboost-dev libzip-dev libvpx-dev libsodium-dev
  # the private X server and desktop of the tests
  xvfb x11-xserver-utils x11-utils openbox xdotool wmctrl
)

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

cmake -S "$root" -B "$build_dir" -DCMAKE_BUILD_TYPE="$build_type" -DVORLA_SANITIZE="$sanitize" >/dev/null
jobs="$(nproc 2>/dev/null || echo 2)"
cmake --build "$build_dir" -j"$jobs"
