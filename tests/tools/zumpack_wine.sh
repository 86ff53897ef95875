#!/usr/bin/env bash
# The Windows build of zumpack under Wine against the Linux build: the same trees
# give the same update byte for byte, its catalogue reads the same, a dry run
# against the installation passes and changes nothing, and input that is not an
# update is refused with exit status 1.
#
#   tests/tools/zumpack_wine.sh
#
# Environment (set by ctest in the windows preset):
#   ZUM_WINDOWS_BUILD  the Windows build folder (tools/zumpack/zumpack.exe)
#   ZUM_HOST_TOOLS     the tools folder of a Linux build (zumsample, zumpack/zumpack)
#   ZUM_WINEPREFIX     the Wine prefix (scripts/wine-run.sh)
set -uo pipefail
ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

fail() {
  printf 'zumpack under Wine: FAILED: %s\n' "$*" >&2
  exit 1
}
: "${ZUM_WINDOWS_BUILD:?set ZUM_WINDOWS_BUILD to the Windows build folder}"
: "${ZUM_HOST_TOOLS:?set ZUM_HOST_TOOLS to the tools folder of a Linux build}"
WINPACK=$ZUM_WINDOWS_BUILD/tools/zumpack/zumpack.exe
ZUMSAMPLE=$ZUM_HOST_TOOLS/zumsample
ZUMPACK=$ZUM_HOST_TOOLS/zumpack/zumpack
[[ -f $WINPACK ]] || fail "$WINPACK is missing: build the Windows preset"
for f in "$ZUMSAMPLE" "$ZUMPACK"; do
  [[ -x $f ]] || fail "$f is missing: build the Linux preset first"
done

# The DOS path under which both builds see a host path (drive Z: is /).
dos() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}
wine() { "$ROOT/scripts/wine-run.sh" "$WINPACK" "$@"; }
# Names, sizes and contents of a tree.
tree_sum() { (cd "$1" && find . -type f -print0 | sort -z | xargs -0 md5sum); }

WORK=$ZUM_WINDOWS_BUILD/tools-work/zumpack
rm -rf "$WORK"
mkdir -p "$WORK"
"$ZUMSAMPLE" "$WORK/old" --version 3.0.7 > /dev/null || fail "zumsample (old tree)"
"$ZUMSAMPLE" "$WORK/new" --version 3.0.7.1 --release 1 > /dev/null || fail "zumsample (new tree)"
# Any file serves as the stub; the Linux installer is at hand.
stub=$ZUM_HOST_TOOLS/../zumupd
[[ -f $stub ]] || stub=$ZUMSAMPLE

wine --help > "$WORK/help.txt" || fail "--help exits with $?"
grep -q "build" "$WORK/help.txt" || fail "--help does not name the build command"
for cmd in build list verify extract; do
  wine "$cmd" --help > /dev/null || fail "$cmd --help exits with $?"
done

build=(build --old "$(dos "$WORK/old")" --new "$(dos "$WORK/new")" --stub "$(dos "$stub")" -q)
wine "${build[@]}" -o "$(dos "$WORK/win.upd")" > "$WORK/win-build.txt" 2>&1 ||
  { cat "$WORK/win-build.txt"; fail "build under Wine"; }
"$ZUMPACK" "${build[@]}" -o "$(dos "$WORK/linux.upd")" > "$WORK/linux-build.txt" 2>&1 ||
  { cat "$WORK/linux-build.txt"; fail "build on Linux"; }
cmp "$WORK/win.upd" "$WORK/linux.upd" || fail "the two builds wrote different updates"
echo "the same update from both builds: $(stat -c %s "$WORK/win.upd") bytes"

cp "$WORK/win.upd" "$WORK/update.upd"
wine list "$(dos "$WORK/update.upd")" --json > "$WORK/win-list.json" || fail "list under Wine"
"$ZUMPACK" list "$(dos "$WORK/update.upd")" --json > "$WORK/linux-list.json" || fail "list on Linux"
tr -d '\r' < "$WORK/win-list.json" | cmp - "$WORK/linux-list.json" ||
  fail "the catalogues read differently: $WORK/win-list.json, $WORK/linux-list.json"
grep -q '"PE1DIFF"' "$WORK/linux-list.json" || fail "the catalogue lacks the product's entry"

before=$(tree_sum "$WORK/old")
wine verify "$(dos "$WORK/update.upd")" --against "$(dos "$WORK/old")" -q > "$WORK/verify.txt" 2>&1 ||
  { cat "$WORK/verify.txt"; fail "verify --against under Wine"; }
[[ $(tree_sum "$WORK/old") == "$before" ]] || fail "verify --against changed the tree"

wine list "$(dos "$WORK/help.txt")" > /dev/null 2>&1
rc=$?
[[ $rc -eq 1 ]] || fail "a file that is not an update gave exit status $rc, not 1"

echo "zumpack under Wine: ok"
rm -rf "$WORK"
