#!/usr/bin/env bash
# The Linux installer run unattended, as a deployment script runs it: each outcome
# with its exit code, the protocol's answer lines and the tree it leaves.
#
#   tests/tools/unattended_linux.sh BUILD_DIR
#
# BUILD_DIR is a Linux build (zumupd-stub, tools/zumsample, tools/zumstandin,
# tools/zumpack/zumpack). ZUM_FAULT=nosleep spares the pauses of the product wait.
set -uo pipefail

fail() {
  printf 'unattended: FAILED: %s\n' "$*" >&2
  exit 1
}
say() { printf 'unattended: %s\n' "$*"; }

BUILD=${1:?usage: unattended_linux.sh BUILD_DIR}
STUB=$BUILD/zumupd-stub
SAMPLE=$BUILD/tools/zumsample
STANDIN=$BUILD/tools/zumstandin
PACK=$BUILD/tools/zumpack/zumpack
for f in "$STUB" "$SAMPLE" "$STANDIN" "$PACK"; do
  [[ -x $f ]] || fail "$f is missing: build the linux preset"
done
WORK=${ZUM_UNATTENDED_WORK:-$(mktemp -d)}
standin_pid=
cleanup() {
  [[ -n $standin_pid ]] && kill "$standin_pid" 2>/dev/null
  [[ -n ${ZUM_UNATTENDED_WORK:-} ]] || rm -rf "$WORK"
}
trap cleanup EXIT

# DIR VERSION RELEASE: a sample installation.
installation() {
  "$SAMPLE" "$1" --version "$2" --release "$3" --base-size 40000 >/dev/null || fail "zumsample $1"
}
# OLD NEW OUT: the installer with the update OLD -> NEW.
package() {
  "$PACK" build --old "$1" --new "$2" --stub "$STUB" -o "$3" >/dev/null 2>&1 || fail "zumpack build $3"
}
# The protocol file of the run as UTF-8.
protocol() { iconv -f CP1251 -t UTF-8 "$1" | tr -d '\r'; }
has() { grep -qF -- "$2" <<<"$1" || fail "$3: no line with \"$2\""; }
# Runs the installer: CODE_EXPECTED NAME INSTALLER ARGS...; its output in $WORK/NAME.out.
run() {
  local want=$1 name=$2 exe=$3 rc
  shift 3
  (cd "$(dirname "$exe")" && ZUM_FAULT=${FAULT:-nosleep} "$exe" "$@") >"$WORK/$name.out" 2>&1 </dev/null
  rc=$?
  ((rc == want)) || { cat "$WORK/$name.out" >&2; fail "$name: exit code $rc, expected $want"; }
}
# OLD NEW WHAT [EXCLUDE]: the same files, but for the run's own and EXCLUDE.
same() {
  local x=(-x 'Протокол*' -x 'upd*')
  [[ -n ${4:-} ]] && x+=(-x "$4")
  diff -r -q "${x[@]}" "$1" "$2" >/dev/null || fail "$3: $(diff -r -q "${x[@]}" "$1" "$2" | head -3)"
}
version() { dd if="$1/Cfg/CFG.ZUM" bs=1 skip=38 count=16 2>/dev/null | tr -d '\0'; }

installation "$WORK/ZUM" 3.0.7 0
installation "$WORK/fix" 3.0.7.1 1
installation "$WORK/next" 3.1.0 2
cp -a "$WORK/ZUM" "$WORK/orig"
package "$WORK/ZUM" "$WORK/fix" "$WORK/ZUM/upd_fix"
package "$WORK/ZUM" "$WORK/next" "$WORK/ZUM/upd_new"
P="$WORK/ZUM/Протокол_zum_3.0.7.1.txt"

# ---- switches ------------------------------------------------------------------------
for bad in "/bogus" "--silent=1" "/rollback=maybe" "/wait=-1" "/wait=99999999" "/copy=" "plain" "/silent /SILENT"; do
  # shellcheck disable=SC2086  # the last case is two arguments
  run 87 bad "$WORK/ZUM/upd_fix" $bad
  grep -q "zumupd: " "$WORK/bad.out" || fail "no message for $bad"
done
same "$WORK/orig" "$WORK/ZUM" "a bad switch changed something"
[[ ! -e $P ]] || fail "a bad switch wrote a protocol"
run 0 help "$WORK/ZUM/upd_fix" /?
grep -q -- "--verysilent" "$WORK/help.out" || fail "the help names no --verysilent"
say "bad switches: 87, nothing changed; /? prints the help"

# ---- another update running: 5 ---------------------------------------------------------
"$STANDIN" --mutex ZUMUPDATEPROC_upd_fix >"$WORK/holder.out" 2>&1 &
standin_pid=$!
for _ in $(seq 100); do grep -q holding "$WORK/holder.out" && break; sleep 0.1; done
grep -q holding "$WORK/holder.out" || fail "the stand-in did not take the installer's mutex"
run 5 another "$WORK/ZUM/upd_fix" --verysilent
kill "$standin_pid"; wait "$standin_pid" 2>/dev/null; standin_pid=
say "another update running: 5"

# ---- the product running: 4 -------------------------------------------------------------
# (In a copy whose product is the stand-in, which holds the product's mutex.)
cp -a "$WORK/ZUM" "$WORK/RUN"
cp "$STANDIN" "$WORK/RUN/Exe/zum.exe" && chmod +x "$WORK/RUN/Exe/zum.exe"
"$WORK/RUN/Exe/zum.exe" >"$WORK/product.out" 2>&1 &
standin_pid=$!
for _ in $(seq 100); do grep -q holding "$WORK/product.out" && break; sleep 0.1; done
grep -q holding "$WORK/product.out" || fail "the stand-in product did not start"
run 4 running "$WORK/RUN/upd_fix" --verysilent --wait=0
kill "$standin_pid"; wait "$standin_pid" 2>/dev/null; standin_pid=
has "$(protocol "$WORK/RUN/Протокол_zum_3.0.7.1.txt")" "ответ \"Нет\" (ответ из параметра /wait=0)" "product running"
rm -rf "$WORK/RUN"
say "the product running: 4, the /wait answer in the protocol"

# ---- a copy package without /copy: 1, nothing changed -----------------------------------
run 1 nocopy "$WORK/ZUM/upd_new" --verysilent
has "$(protocol "$WORK/ZUM/Протокол_zum_3.1.0.txt")" "параметром /copy=ПАПКА" "no /copy"
same "$WORK/orig" "$WORK/ZUM" "a copy package without /copy"
say "a copy package without /copy: 1, nothing changed"

# ---- a killed run: 2 without /rollback, then /rollback=yes rolls back and updates --------
FAULT=nosleep,kill@40 run 86 killed "$WORK/ZUM/upd_fix" --verysilent
[[ -e $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "the killed run left no journal"
run 2 declined "$WORK/ZUM/upd_fix" --verysilent --log="$WORK/logs/a/b/run.txt"
[[ ! -s $WORK/declined.out ]] || fail "--verysilent printed: $(head -3 "$WORK/declined.out")"
[[ -e $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "the journal went without a rollback"
log=$(protocol "$WORK/logs/a/b/run.txt") || fail "no protocol at the --log path"
has "$log" "Вопрос №3001: " "declined"
has "$log" "ответ \"Нет\" (ответ по умолчанию)" "declined"
run 0 rolledback "$WORK/ZUM/upd_fix" --silent --rollback=yes
p=$(protocol "$P")
has "$p" "ответ \"Да\" (ответ из параметра /rollback=yes)" "rollback"
has "$p" "Восстановление завершено успешно" "rollback"
has "$p" "Программа выполнена успешно" "rollback"
grep -qF "Программа выполнена успешно" "$WORK/rolledback.out" || fail "--silent showed no protocol"
# The configuration keeps the installation's own bytes, the new version stamped in.
same "$WORK/fix" "$WORK/ZUM" "the update after the rollback" CFG.ZUM
[[ $(version "$WORK/ZUM") == 3.0.7.1 ]] || fail "the installation is not at 3.0.7.1"
say "killed run: 2 and the journal kept; --rollback=yes rolled back and updated: 0"

# ---- a package for another version: 3 -----------------------------------------------------
installation "$WORK/old" 2.9.9 0
package "$WORK/old" "$WORK/next" "$WORK/ZUM/upd_other"
run 3 nofit "$WORK/ZUM/upd_other" --verysilent
same "$WORK/fix" "$WORK/ZUM" "a package for another version" CFG.ZUM
say "a package for another version: 3, nothing changed"

# ---- an update into a copy: 0 ------------------------------------------------------------
rm -rf "$WORK/ZUM" && cp -a "$WORK/orig" "$WORK/ZUM"
package "$WORK/ZUM" "$WORK/next" "$WORK/ZUM/upd_new"
mkdir -p "$WORK/Programs"
HOME=$WORK/home run 0 copy "$WORK/ZUM/upd_new" /verysilent "/copy=$WORK/Programs" /name=ZUM_NEW \
  /label=Новая /noautosave
same "$WORK/orig" "$WORK/ZUM" "the original beside the copy"
[[ -f $WORK/Programs/ZUM_NEW/Exe/zum.exe ]] || fail "no copy in $WORK/Programs/ZUM_NEW"
[[ $(version "$WORK/Programs/ZUM_NEW") == 3.1.0 ]] || fail "the copy is not at 3.1.0"
has "$(protocol "$WORK/ZUM/Протокол_zum_3.1.0.txt")" "Программа выполнена успешно" "copy"
say "an update into a copy from /copy, /name, /label, /noautosave: 0"
say "passed"
