#!/usr/bin/env bash
# The bounded fuzzing stage: builds every libFuzzer target of tests/fuzz/ with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for N seconds over a temporary
# copy of its committed seed corpus (tests/fuzz/corpus/<target>/, never changed by a run).
# Exits non-zero when any target reports a crash, a leak, a sanitizer report, a property abort or
# a timeout; the reproducer's path is printed (the files stay in <build>/fuzz-artifacts/).
#   scripts/fuzz.sh                   20 seconds per target, build in build-fuzz/
#   scripts/fuzz.sh --seconds 300     longer runs
#   BUILD_DIR=/tmp/bf JOBS=1 scripts/fuzz.sh
# Installs what is missing (scripts/bootstrap.sh's packages plus clang and its fuzzer runtime)
# through apt as root or with sudo; needs no network otherwise.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
seconds=20
while (($#)); do
  case "$1" in
    --seconds)
      [ $# -ge 2 ] || { echo "fuzz.sh: --seconds needs a value" >&2; exit 2; }
      seconds="$2"
      shift 2
      ;;
    --seconds=*)
      seconds="${1#--seconds=}"
      shift
      ;;
    -h | --help)
      sed -n '2,11p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    *)
      echo "fuzz.sh: unknown argument $1 (use --seconds N)" >&2
      exit 2
      ;;
  esac
done
if ! [[ "$seconds" =~ ^[1-9][0-9]*$ ]]; then
  echo "fuzz.sh: --seconds wants a whole number above 0, not '$seconds'" >&2
  exit 2
fi

build_dir="${BUILD_DIR:-$root/build-fuzz}"
jobs="${JOBS:-$(nproc 2>/dev/null || echo 2)}"
corpus_root="$root/tests/fuzz/corpus"

# clang, libFuzzer's runtime (libclang-rt-dev) and llvm-symbolizer (llvm) for readable reports,
# together with everything the configure step needs.
VORLA_EXTRA_PACKAGES="clang libclang-rt-dev llvm" "$root/scripts/bootstrap.sh" --packages-only

# The targets: one per tests/fuzz/<name>_fuzz.cpp.
targets=()
for source in "$root"/tests/fuzz/*_fuzz.cpp; do
  targets+=("$(basename "$source" .cpp)")
done
((${#targets[@]})) || { echo "fuzz.sh: no fuzz targets in tests/fuzz/" >&2; exit 1; }
for t in "${targets[@]}"; do
  if ! compgen -G "$corpus_root/$t/*" >/dev/null; then
    echo "fuzz.sh: $t has no seed corpus in tests/fuzz/corpus/$t/" >&2
    exit 1
  fi
done

echo "fuzz.sh: configuring $build_dir (clang, address,undefined)"
CC=clang CXX=clang++ cmake -S "$root" -B "$build_dir" -DVORLA_FUZZ=ON \
  -DVORLA_SANITIZE=address,undefined -DVORLA_BUILD_BENCHMARKS=OFF >/dev/null
compiler="$(sed -n 's/^CMAKE_CXX_COMPILER_ID:[A-Z]*=//p;s/^CMAKE_CXX_COMPILER:FILEPATH=//p' \
  "$build_dir/CMakeCache.txt" | head -1)"
case "$compiler" in
  *clang*) ;;
  *)
    echo "fuzz.sh: $build_dir was configured with $compiler, not clang; use another BUILD_DIR" >&2
    exit 1
    ;;
esac
# Only the fuzz targets (and the libraries they link), not the rest of the test suite.
for t in "${targets[@]}"; do
  echo "fuzz.sh: building $t"
  cmake --build "$build_dir" --target "$t" -j"$jobs" >"$build_dir/fuzz-build-$t.log" 2>&1 || {
    tail -n 40 "$build_dir/fuzz-build-$t.log" >&2
    echo "fuzz.sh: building $t failed (log: $build_dir/fuzz-build-$t.log)" >&2
    exit 1
  }
done

artifacts="$build_dir/fuzz-artifacts"
mkdir -p "$artifacts"
work="$(mktemp -d "${TMPDIR:-/tmp}/vorla-fuzz.XXXXXX")"
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0:allocator_may_return_null=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [ -z "${ASAN_SYMBOLIZER_PATH:-}" ] && command -v llvm-symbolizer >/dev/null; then
  export ASAN_SYMBOLIZER_PATH="$(command -v llvm-symbolizer)"
fi
unset DISPLAY

failed=()
total_start=$(date +%s.%N)
for t in "${targets[@]}"; do
  corpus="$work/$t"
  mkdir -p "$corpus"
  cp -R "$corpus_root/$t/." "$corpus/"
  log="$artifacts/$t.log"
  rm -f "$artifacts/$t"-*
  start=$(date +%s.%N)
  set +e
  # -timeout: one input taking this long counts as a hang; -rss_limit_mb bounds memory.
  "$build_dir/bin/$t" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2560 \
    -artifact_prefix="$artifacts/$t-" -print_final_stats=1 "$corpus" >"$log" 2>&1
  rc=$?
  set -e
  end=$(date +%s.%N)
  elapsed=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  if [ "$rc" -eq 0 ] && ! grep -qE "ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:" "$log"; then
    printf 'fuzz.sh: %-28s passed  %6ss  %s runs\n' "$t" "$elapsed" "${runs:-?}"
    continue
  fi
  failed+=("$t")
  printf 'fuzz.sh: %-28s FAILED  %6ss  (exit %s)\n' "$t" "$elapsed" "$rc"
  grep -E "ERROR:|runtime error:|SUMMARY:|==[0-9]+==|^    #[0-9] " "$log" | head -n 30 | sed 's/^/    /'
  reproducers="$(sed -n 's/.*Test unit written to \(.*\)$/\1/p' "$log")"
  if [ -n "$reproducers" ]; then
    while read -r r; do
      echo "    reproducer: $r   (rerun: $build_dir/bin/$t $r)"
    done <<<"$reproducers"
  fi
  echo "    full log: $log"
done
total_end=$(date +%s.%N)
total=$(awk -v a="$total_start" -v b="$total_end" 'BEGIN { printf "%.1f", b - a }')
echo "fuzz.sh: ${#targets[@]} targets, ${seconds}s each, ${total}s in total"
if ((${#failed[@]})); then
  echo "fuzz.sh: FAILED: ${failed[*]}" >&2
  exit 1
fi
echo "fuzz.sh: all targets passed"
