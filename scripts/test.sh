#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test. Exits non-zero on any failure.
#   scripts/test.sh                         the normal build in build/
#   scripts/test.sh --sanitize address,undefined   (or thread) a sanitizer build in build-<name>/
#   scripts/test.sh --windows               the Windows build (mingw-w64) and its tests under Wine
#                                           (scripts/windows_test.sh) in build-windows/
#   scripts/test.sh --ci                    what CI runs: the above, then the suite under ASan+UBSan,
#                                           every fuzz target (scripts/fuzz.sh), the threaded
#                                           libraries' tests under ThreadSanitizer, and the Windows
#                                           build under Wine; times per stage
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
if [ "${1:-}" = "--windows" ]; then
  exec bash "$root/scripts/windows_test.sh"
fi
if [ "${1:-}" = "--ci" ]; then
  # Every stage runs, even after a failed one, so that one run shows all that is wrong.
  fuzz_seconds="${VORLA_FUZZ_SECONDS:-20}"
  failed=0
  stage() {  # stage NAME COMMAND...
    local name="$1" start=$SECONDS
    shift
    echo "test.sh: == $name"
    if "$@"; then
      echo "test.sh: == $name: passed in $((SECONDS - start)) s"
    else
      echo "test.sh: == $name: FAILED after $((SECONDS - start)) s"
      failed=1
    fi
  }
  stage "build and suite" bash "$root/scripts/test.sh"
  stage "build and suite under AddressSanitizer + UndefinedBehaviorSanitizer" \
    bash "$root/scripts/test.sh" --sanitize address,undefined
  stage "fuzz targets, $fuzz_seconds s each" "$root/scripts/fuzz.sh" --seconds "$fuzz_seconds"
  # The libraries and tools whose state is shared between threads.
  threaded="net capture rules controller recsrv cfgsim"
  targets=""
  for t in $threaded; do targets+=" vorla_${t}_tests"; done
  stage "their tests under ThreadSanitizer ($threaded)" \
    env VORLA_BUILD_TARGETS="$targets" bash "$root/scripts/test.sh" --sanitize thread -L "^(${threaded// /|})\$"
  stage "the Windows build under Wine" bash "$root/scripts/test.sh" --windows
  echo "test.sh: all stages took $SECONDS s"
  exit "$failed"
fi
if [ "${1:-}" = "--sanitize" ]; then
  export VORLA_SANITIZE="$2"
  export BUILD_DIR="$root/build-${2//,/-}"
  export BUILD_TYPE=Debug
  shift 2
fi
build_dir="${BUILD_DIR:-$root/build}"

"$root/scripts/bootstrap.sh"

# The tests make their own folders and X servers; nothing of the machine's is used.
unset DISPLAY NOTIFY_SOCKET VORLA_DEBUG_OUTPUT
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}"
export TSAN_OPTIONS="${TSAN_OPTIONS:-halt_on_error=1 suppressions=$root/scripts/tsan.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
jobs="$(nproc 2>/dev/null || echo 2)"
if [ -x "$build_dir/bin/vorla_benchmarks" ] && [ -z "${VORLA_SANITIZE:-}" ]; then
  # A short run, to keep the benchmarks working; numbers are for people, not a gate.
  "$build_dir/bin/vorla_benchmarks" --benchmark_min_time=0.05 >/dev/null 2>&1 ||
    { echo "test.sh: the benchmarks failed to run" >&2; exit 1; }
fi
ctest --test-dir "$build_dir" --output-on-failure --timeout 300 -j"$jobs" "$@"
