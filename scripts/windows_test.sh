#!/usr/bin/env bash
# The Windows build, cross-compiled with mingw-w64 and tested under Wine (scripts/test.sh --windows):
# installs the cross compiler and Wine when missing, builds the third-party libraries (cached,
# scripts/windows_deps.sh), cross-builds VorlaWS.exe, VorlaDiag.exe and the test programs into
# build-windows/, runs every test program under Wine in a private prefix (made here, removed at the
# end), then installs, starts, stops and removes VorlaWS as a service of Wine's service manager
# and runs it once from the command line. Exits non-zero on any failure.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build_dir="${WINDOWS_BUILD_DIR:-$root/build-windows}"
jobs="$(nproc 2>/dev/null || echo 2)"
say() { echo "windows_test.sh: $*"; }

packages=(g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine wine64 dpkg-dev nasm
  autoconf automake libtool cmake make pkg-config libboost-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  say "installing ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

t=$SECONDS
deps="$("$root/scripts/windows_deps.sh" | tail -1)"
say "third-party libraries ready in $((SECONDS - t)) s ($deps)"

t=$SECONDS
cmake -S "$root" -B "$build_dir" -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DVORLA_WINDOWS_DEPS="$deps" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CROSSCOMPILING_EMULATOR=wine >/dev/null
cmake --build "$build_dir" -j"$jobs" >"$build_dir/build.log" 2>&1 ||
  { grep -E "error|Error" "$build_dir/build.log" | head -40; say "the build failed"; exit 1; }
say "cross-built in $((SECONDS - t)) s"

# A private Wine prefix for this run alone; nothing of the machine's is used or left behind.
WINEPREFIX="$(mktemp -d "${TMPDIR:-/tmp}/vorla-wine-XXXXXX")"
export WINEPREFIX WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT
# Every event-log record of the programs (the service's too) is echoed into this file, with
# ReportEventW's result: Wine keeps no event log to read back.
export VORLA_EVENT_LOG_ECHO_FILE="$WINEPREFIX/event-log-echo.txt"
export VORLA_EVENT_LOG_ECHO="Z:${VORLA_EVENT_LOG_ECHO_FILE//\//\\}"
t=$SECONDS
wine wineboot --init >/dev/null 2>&1
wineserver -w
say "Wine prefix made in $((SECONDS - t)) s"

t=$SECONDS
failed=0
ctest --test-dir "$build_dir" --output-on-failure --timeout 600 || failed=1
say "test programs ran in $((SECONDS - t)) s"

t=$SECONDS
bash "$root/scripts/windows_service_check.sh" "$build_dir/bin" || failed=1
say "service checks ran in $((SECONDS - t)) s"
exit "$failed"
