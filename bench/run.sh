#!/usr/bin/env bash
# Builds the benchmarks and runs them; each prints its figures (medians of the timed
# runs, after one warm-up run) and the ratio against its reference tool.
#
#   bench/run.sh [NAME...]     NAME as in bench/CMakeLists.txt (default: every one)
#
# Environment: BENCH_RUNS (timed runs, default 5), BENCH_BUILD (build tree, default
# build/bench), BENCH_DATA (test data, made once and kept, default $BENCH_BUILD/data;
# about 2 GB while running: the copy benchmark keeps a 240 MB installation tree
# and makes two copies of it).
set -euo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${BENCH_BUILD:-$ROOT/build/bench}
DATA=${BENCH_DATA:-$BUILD/data}
RUNS=${BENCH_RUNS:-5}

for tool in xz cp cmp cmake ninja bsdiff bspatch; do
  command -v "$tool" >/dev/null || { echo "bench: $tool is missing (scripts/setup.sh installs it)" >&2; exit 1; }
done

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DZUM_TESTS=OFF >/dev/null
cmake --build "$BUILD" --target bench
mkdir -p "$DATA"

if [[ $# -gt 0 ]]; then
  programs=()
  for name in "$@"; do programs+=("$BUILD/bench/${name}_bench"); done
else
  programs=("$BUILD"/bench/*_bench)
fi

status=0
for p in "${programs[@]}"; do
  [[ -x $p ]] || { echo "bench: no benchmark $(basename "$p")" >&2; status=1; continue; }
  echo "== $(basename "$p")"
  "$p" "$DATA" "$RUNS" || status=1
done
exit $status
