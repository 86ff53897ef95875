#!/usr/bin/env bash
# Builds the libFuzzer harnesses of fuzz/ with clang (AddressSanitizer and
# UndefinedBehaviorSanitizer on) into build/fuzz and runs each for a while.
#
#   scripts/fuzz.sh [SECONDS] [HARNESS...]
#   scripts/fuzz.sh --regress [HARNESS...]
#
#   SECONDS    how long each harness runs (default 30)
#   --regress  runs every input of the seed corpus once and stops (the tests do)
#   HARNESS    reader, patch, bdx, payload, journal, rekey, names (default all)
#
# Each harness starts from its seed corpus in fuzz/corpus/<name> (made by the
# project's own writers with fuzz_seeds, kept small) and grows a working corpus in
# build/fuzz/corpus/<name>; crashes are kept in build/fuzz/crashes/<name>. The
# journal harness works in a sandbox folder mapped as its only drive. Exit status 0
# when no harness found anything.
set -euo pipefail

if [[ "${1:-}" == "--help" || "${1:-}" == "-h" ]]; then
  sed -n '2,17p' "$0" | sed 's/^# \{0,1\}//'
  exit 0
fi

cd "$(dirname "$0")/.."
regress=0
if [[ "${1:-}" == "--regress" ]]; then
  regress=1
  seconds=0
else
  seconds=${1:-30}
fi
shift || true
harnesses=("$@")
[[ ${#harnesses[@]} -eq 0 ]] && harnesses=(reader patch bdx payload journal rekey names)
if ! [[ "$seconds" =~ ^[0-9]+$ ]]; then
  echo "fuzz.sh: SECONDS must be a number: $seconds" >&2
  exit 2
fi

build=build/fuzz
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
  -DZUM_FUZZ=ON -DZUM_TESTS=OFF > "$build.configure.log" 2>&1 ||
  { cat "$build.configure.log" >&2; exit 1; }
targets=(fuzz_seeds)
for h in "${harnesses[@]}"; do targets+=("fuzz_$h"); done
cmake --build "$build" -j2 --target "${targets[@]}"

# The seed corpus is committed; it is made again only when missing.
if [[ ! -d fuzz/corpus/reader ]]; then
  "$build/fuzz/fuzz_seeds" fuzz/corpus
fi

export ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
status=0
for h in "${harnesses[@]}"; do
  corpus="$build/corpus/$h"
  crashes="$build/crashes/$h"
  mkdir -p "$corpus" "$crashes"
  if ((regress)); then
    echo "== fuzz_$h: every input of fuzz/corpus/$h once"
    run=(-runs=0 "fuzz/corpus/$h")
  else
    echo "== fuzz_$h: ${seconds}s"
    run=("$corpus" "fuzz/corpus/$h" -max_total_time="$seconds")
  fi
  if ! "$build/fuzz/fuzz_$h" "${run[@]}" \
      -rss_limit_mb=1024 -max_len=65536 -artifact_prefix="$crashes/" -print_final_stats=1 \
      2> "$build/fuzz_$h.log"; then
    status=1
    echo "fuzz_$h found a failure; see $build/fuzz_$h.log and $crashes" >&2
  fi
  grep -E '^stat::number_of_executed_units|^stat::peak_rss_mb|^#[0-9]+.*DONE' "$build/fuzz_$h.log" || true
done
exit $status
