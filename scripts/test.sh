#!/usr/bin/env bash
# Configures, builds and tests the given CMake presets (default: linux windows
# windows32 fuzz) and prints a summary. "fuzz" is no CMake preset: it builds the fuzz
# harnesses with clang and runs each input of their corpus once. The Windows
# tests run under Wine (scripts/wine-run.sh) in a Wine prefix made for this run
# and removed afterwards; the 32-bit installer (windows32) is checked on the host.
#
#   scripts/test.sh [PRESET...]        presets: linux windows windows32 fuzz asan
#
# ZUM_KEEP_WINEPREFIX=1 keeps the run's Wine prefix for a look afterwards.
# Exits non-zero if any step of any preset fails.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT" || exit 1

case ${1:-} in
  -h|--help) sed -n '2,11s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
esac

presets=("$@")
((${#presets[@]})) || presets=(linux windows windows32 fuzz)

export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-2}
export CTEST_PARALLEL_LEVEL=${CTEST_PARALLEL_LEVEL:-2}

LOGS=$ROOT/build/test-logs
mkdir -p "$LOGS"

say() { printf '\n==== %s\n' "$*"; }

# One throwaway Wine prefix per run, unless the caller chose one.
own_wineprefix=""
cleanup() {
  if [[ -n $own_wineprefix ]]; then
    scripts/wine-run.sh --stop >/dev/null 2>&1
    if [[ ${ZUM_KEEP_WINEPREFIX:-0} == 1 ]]; then
      echo "test.sh: Wine prefix kept: $own_wineprefix"
    else
      rm -rf "$own_wineprefix" "$own_wineprefix".*
    fi
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

declare -A result=()
failed=0
started=$SECONDS

# Runs one step, output shown and kept in a log; returns its status.
step() {
  local name=$1; shift
  local log=$LOGS/$name.log t=$SECONDS rc
  say "$name: $*"
  "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  printf -- '---- %s: %s in %d s\n' "$name" "$([[ $rc -eq 0 ]] && echo ok || echo "FAILED (exit $rc)")" $((SECONDS - t))
  return "$rc"
}

for p in "${presets[@]}"; do
  if [[ $p == fuzz ]]; then
    if step fuzz-regress scripts/fuzz.sh --regress; then result[$p]="ok"; else result[$p]="FAILED"; failed=1; fi
    continue
  fi
  if [[ $p == windows && -z ${ZUM_WINEPREFIX:-} ]]; then
    mkdir -p build/wineprefix
    own_wineprefix=$(mktemp -d "$ROOT/build/wineprefix/test.XXXXXX")
    rmdir "$own_wineprefix"          # wineboot makes it
    export ZUM_WINEPREFIX=$own_wineprefix
  fi

  if ! step "$p-configure" cmake --preset "$p"; then
    result[$p]="configure FAILED"; failed=1; continue
  fi
  if ! step "$p-build" cmake --build --preset "$p"; then
    result[$p]="build FAILED"; failed=1; continue
  fi
  if [[ $p == windows ]]; then
    say "windows: Wine prefix $ZUM_WINEPREFIX"
    t=$SECONDS
    if ! scripts/wine-run.sh --init; then
      result[$p]="Wine prefix FAILED"; failed=1; continue
    fi
    echo "---- Wine prefix ready in $((SECONDS - t)) s"
  fi
  if step "$p-test" ctest --preset "$p"; then
    result[$p]="ok"
  else
    result[$p]="tests FAILED"; failed=1
  fi
  counts=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$LOGS/$p-test.log" | tail -n 1)
  [[ -n $counts ]] && result[$p]+=" ($counts)"
done

say "summary ($((SECONDS - started)) s; logs in ${LOGS#"$ROOT"/})"
for p in "${presets[@]}"; do
  printf '  %-8s %s\n' "$p" "${result[$p]:-not run}"
done
if ((failed)); then
  echo "RESULT: FAILED"
  exit 1
fi
echo "RESULT: all passed"
