#!/usr/bin/env bash
# The main job on the built-in sample: builds the Linux programs, makes a sample
# installation of ZUM 3.0.7 and its next releases, builds update packages from them
# with zumpack, and runs the installer on them:
#   1. a correction package (3.0.7 -> 3.0.7.1) applied in place, every entry kind;
#   2. an update package (3.0.7.1 -> 3.1.0) into a copy of the installation, through
#      the update-variant dialog, with its desktop shortcut; the original untouched.
# Everything happens under build/demo; the protocols are shown as the installer
# prints them and as it saves them.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$ROOT"
BUILD=$ROOT/build/linux
DEMO=$ROOT/build/demo

step() { printf '\n==== %s ====\n' "$*"; }

step "building (Linux)"
cmake --preset linux >/dev/null
cmake --build --preset linux --target zumupd zumsample_cli zumpack 2>&1 | tail -n 1

rm -rf "$DEMO"
mkdir -p "$DEMO"
# The stripped installer: a package carries no debugging information.
ZUMUPD=$BUILD/zumupd-stub
ZUMSAMPLE=$BUILD/tools/zumsample
ZUMPACK=$BUILD/tools/zumpack/zumpack

step "sample installation ZUM 3.0.7 in $DEMO/ZUM"
"$ZUMSAMPLE" "$DEMO/ZUM" --version 3.0.7 --base-size 2000000 >/dev/null
# The same release in the product's two other editions (byte 120 of Cfg\CFG.ZUM):
# the correction package carries a whole build of zum.exe for each of them.
"$ZUMSAMPLE" "$DEMO/edition1" --version 3.0.7 --edition 1 --base-size 2000000 >/dev/null
"$ZUMSAMPLE" "$DEMO/edition2" --version 3.0.7 --edition 2 --base-size 2000000 >/dev/null
"$ZUMSAMPLE" "$DEMO/next1" --version 3.0.7.1 --release 1 --base-size 2000000 >/dev/null
"$ZUMSAMPLE" "$DEMO/next2" --version 3.1.0 --release 2 --base-size 2000000 >/dev/null
cp -a "$DEMO/ZUM" "$DEMO/original"
find "$DEMO/ZUM" -type f | sed "s|$DEMO/||" | sort

step "correction package 3.0.7 -> 3.0.7.1 for three editions (zumpack build)"
# Edition 0 gets its zum.exe as a PE difference; editions 1 and 2 share the second
# edition's difference kind, so each gets a whole build (ADDREPM variants 2 and 3).
"$ZUMPACK" build --old "$DEMO/ZUM" --old "$DEMO/edition1" --old "$DEMO/edition2" \
  --new "$DEMO/next1" --from 3.0.7 --to 3.0.7.1 --stub "$ZUMUPD" -o "$DEMO/update-3.0.7.1"
"$ZUMPACK" list "$DEMO/update-3.0.7.1"

step "dry run of the package against the edition-1 installation (zumpack verify --against)"
"$ZUMPACK" verify "$DEMO/update-3.0.7.1" --against "$DEMO/edition1" -q

step "the installer, started in the installation folder (answers: no product start)"
cp "$DEMO/update-3.0.7.1" "$DEMO/ZUM/update"
set +e
(cd "$DEMO/ZUM" && printf 'нет\n' | ./update)
status=$?
set -e
echo "exit status: $status"
[[ $status -eq 0 ]] || { echo "demo: the correction update failed" >&2; exit 1; }
rm -f "$DEMO/ZUM/update"

step "result: the installation now matches release 3.0.7.1"
# Every file as in the new release; Cfg\CFG.ZUM carries the installer's stamp.
diff -r -q -x 'Протокол*' -x CFG.ZUM "$DEMO/ZUM" "$DEMO/next1" &&
  echo "every file but Cfg/CFG.ZUM is identical to the 3.0.7.1 tree"
printf 'version in Cfg/CFG.ZUM: %s\n' "$(dd if="$DEMO/ZUM/Cfg/CFG.ZUM" bs=1 skip=38 count=16 2>/dev/null | tr -d '\0')"

step "update package 3.0.7.1 -> 3.1.0 into a copy (update-variant dialog on the terminal)"
"$ZUMPACK" build --old "$DEMO/next1" --new "$DEMO/next2" --from 3.0.7.1 --to 3.1.0 \
  --stub "$ZUMUPD" -o "$DEMO/update-3.1.0"
cp -a "$DEMO/ZUM" "$DEMO/before-copy"
cp "$DEMO/update-3.1.0" "$DEMO/ZUM/update"
mkdir -p "$DEMO/home/Desktop" "$DEMO/Programs"
set +e
(cd "$DEMO/ZUM" && HOME=$DEMO/home XDG_CONFIG_HOME=$DEMO/home/.config ./update <<EOF
folder Z:${DEMO//\//\\}\\Programs\\
next
да
нет
EOF
)
status=$?
set -e
echo "exit status: $status"
[[ $status -eq 0 ]] || { echo "demo: the update into a copy failed" >&2; exit 1; }
rm -f "$DEMO/ZUM/update"

step "result: the copy, its shortcut, and the original installation untouched"
find "$DEMO/Programs" -maxdepth 2 | sed "s|$DEMO/||" | sort
ls -l "$DEMO/home/Desktop"
if command -v lnkinfo >/dev/null; then
  lnkinfo "$DEMO/home/Desktop/"*.LNK | grep -E 'Local path|Working directory|Description' || true
fi
diff -r -q -x 'Протокол*' "$DEMO/before-copy" "$DEMO/ZUM" && echo "original installation: unchanged"

step "saved protocol of the correction run"
iconv -f CP1251 -t UTF-8 "$DEMO/ZUM/Протокол_zum_3.0.7.1.txt" > "$DEMO/protocol-3.0.7.1.utf8.txt"
sed -n '1,40p' "$DEMO/protocol-3.0.7.1.utf8.txt"
echo "... (all of it: $DEMO/protocol-3.0.7.1.utf8.txt)"
