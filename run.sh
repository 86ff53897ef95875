#!/usr/bin/env bash
# The project's entry point.
#
#   ./run.sh demo [ARGS...]   set up the machine, then run the demonstration
#   ./run.sh test [PRESET...] set up the machine, then build and test
#                             (default: linux windows fuzz; also: asan)
#   ./run.sh setup            only set up the machine (scripts/setup.sh)
#   ./run.sh --help
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")"

usage() { sed -n '2,9s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }

cmd=${1:-}
[[ $# -gt 0 ]] && shift
case $cmd in
  demo)
    scripts/setup.sh
    exec bash scripts/demo.sh "$@"
    ;;
  test)
    scripts/setup.sh
    exec bash scripts/test.sh "$@"
    ;;
  setup)
    exec scripts/setup.sh
    ;;
  -h|--help|help)
    usage
    ;;
  "")
    usage >&2; exit 2
    ;;
  *)
    echo "run.sh: unknown command '$cmd'" >&2; usage >&2; exit 2
    ;;
esac
