#!/usr/bin/env bash
# Runs the Linux installer under valgrind's memcheck on the sample, both ways: a
# correction package in place and an update into a copy (the update-variant
# dialog answered on standard input). Fails when valgrind reports an error or a
# leak, or an update fails.
#
#   scripts/valgrind.sh            (work folder: build/valgrind)
set -euo pipefail
case ${1:-} in -h|--help) sed -n '2,7s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;; esac

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
command -v valgrind >/dev/null || { echo "valgrind.sh: valgrind is missing (scripts/setup.sh installs it)" >&2; exit 1; }
cmake --preset linux >/dev/null
cmake --build --preset linux --target zumupd zumsample_cli zumpack | tail -n 1
B=$ROOT/build/linux
W=$ROOT/build/valgrind
rm -rf "$W" && mkdir -p "$W/home/Desktop" "$W/Programs"
"$B/tools/zumsample" "$W/v0" --version 3.0.7 >/dev/null
"$B/tools/zumsample" "$W/v1" --version 3.0.7.1 --release 1 >/dev/null
"$B/tools/zumsample" "$W/v2" --version 3.1.0 --release 2 >/dev/null
"$B/tools/zumpack/zumpack" build -q --old "$W/v0" --new "$W/v1" --stub "$B/zumupd" -o "$W/correction.pkg" >/dev/null 2>&1
"$B/tools/zumpack/zumpack" build -q --old "$W/v1" --new "$W/v2" --stub "$B/zumupd" -o "$W/update.pkg" >/dev/null 2>&1

VG=(valgrind -q --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all --error-exitcode=99)
run() {  # run NAME TREE PACKAGE ANSWERS
  local name=$1 tree=$2 package=$3 answers=$4 status
  cp -a "$tree" "$W/$name" && cp "$package" "$W/$name/update" && chmod +x "$W/$name/update"
  set +e
  (cd "$W/$name" && printf '%b' "$answers" | HOME=$W/home XDG_CONFIG_HOME=$W/home/.config \
     "${VG[@]}" ./update >"$W/$name.out" 2>"$W/$name.valgrind")
  status=$?
  set -e
  if [[ $status -ne 0 || -s $W/$name.valgrind ]]; then
    echo "valgrind.sh: $name: exit status $status" >&2
    cat "$W/$name.valgrind" >&2
    return 1
  fi
  echo "valgrind.sh: $name: no errors, no leaks"
}
run correction "$W/v0" "$W/correction.pkg" 'нет\n'
folder="Z:${W//\//\\}\\Programs\\"
run copy "$W/v1" "$W/update.pkg" "folder ${folder//\\/\\\\}\nnext\nда\nнет\n"
ls "$W/Programs" "$W/home/Desktop" >/dev/null
