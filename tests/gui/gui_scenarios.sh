#!/usr/bin/env bash
# The Windows installer driven as a user would, under Wine on a virtual screen with
# a Russian locale: zumauto.exe starts zumupd.exe (with a package appended), answers
# its message boxes, fills the update-variant dialog and presses its buttons. Each
# scenario then checks the protocol file, the files left behind and the boxes seen.
#
#   tests/gui/gui_scenarios.sh SCENARIO...     or: all
#
# Scenarios:
#   correction  a correction package applied in place; the product is not started
#   copy        an update into a copy through the dialog (the existing folder, the
#               empty fields, both check boxes, No then Yes to 3011), its desktop
#               shortcut, and Yes to 3009: the copy's product is started
#   second      a second start of the same installer is refused with 5005; the
#               first is cancelled in the dialog (Yes, then No to 3003)
#   product     the product runs: the attempt lines, Yes to 3007, the product ends,
#               the check passes and the update goes on
#   recover     an installer killed in the middle of its run; the next start rolls
#               the installation back (Yes to 3001) and stops (No to 3003)
#   signed      an update signed after zumpack build, verified and run to its end
#   noaccess    the installation folder refuses the write check (the system's own
#               "access denied", injected): the box offers to start again as
#               administrator; Yes starts the installer again through the shell's
#               "runas" verb, whose own refusal is answered No; nothing changes
#   unattended  /verysilent run by a script: the exit code read by the caller (87
#               for a bad switch, 3 for a package of another version, 0), the log
#               at the /log path, no window; /silent: the window shows and closes
#               by itself; a copy package updated into /copy
#
# Environment (set by CTest):
#   ZUM_WINDOWS_BUILD  the Windows build folder (zumupd.exe, tools/zumstandin.exe,
#                      tools/winauto/zumauto.exe)
#   ZUM_HOST_TOOLS     the tools folder of a Linux build (zumsample, zumpack/zumpack)
#   ZUM_GUI_WORK       where the scenarios make their files (default: gui-work in
#                      the Windows build folder); each scenario starts afresh
#   ZUM_GUI_TIMEOUT    seconds each wait may take (default 600)
#   ZUM_WINEPREFIX     the Wine prefix (see scripts/wine-run.sh)
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WINE_RUN=$ROOT/scripts/wine-run.sh

usage() { sed -n '2,38s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; }
case ${1:-} in
  -h|--help) usage; exit 0 ;;
  "") usage >&2; exit 2 ;;
esac

fail() {
  printf 'gui: FAILED: %s\n' "$*" >&2
  exit 1
}
say() { printf '\n== %s\n' "$*"; }

: "${ZUM_WINDOWS_BUILD:?set ZUM_WINDOWS_BUILD to the Windows build folder}"
: "${ZUM_HOST_TOOLS:?set ZUM_HOST_TOOLS to the tools folder of a Linux build}"
ZUMUPD=$ZUM_WINDOWS_BUILD/zumupd.exe
ZUMAUTO=$ZUM_WINDOWS_BUILD/tools/winauto/zumauto.exe
STANDIN=$ZUM_WINDOWS_BUILD/tools/zumstandin.exe
ZUMSAMPLE=$ZUM_HOST_TOOLS/zumsample
ZUMPACK=$ZUM_HOST_TOOLS/zumpack/zumpack
for f in "$ZUMUPD" "$ZUMAUTO" "$STANDIN"; do
  [[ -f $f ]] || fail "$f is missing: build the Windows preset"
done
for f in "$ZUMSAMPLE" "$ZUMPACK"; do
  [[ -x $f ]] || fail "$f is missing: build the Linux preset first (or point ZUM_HOST_TOOLS at a Linux build's tools)"
done
command -v iconv >/dev/null || fail "iconv is missing"

# The DOS path under which Wine sees a host path (drive Z: is /).
dos() {
  local p
  p=$(realpath -m "$1")
  printf 'Z:%s' "${p//\//\\}"
}
# The product's mutex: the path of Exe\zum.exe upper-cased, backslashes made "_".
mutex_of() {
  local p
  p=$(dos "$1/Exe/zum.exe")
  p=${p^^}
  printf '%s' "${p//\\/_}"
}

# Runs a zumauto script (standard input) under Wine; its transcript is shown and
# kept as $WORK/NAME.out.
auto() {
  local name=$1 rc
  # Generous waits: a loaded machine may take minutes for one step.
  { echo "timeout ${ZUM_GUI_TIMEOUT:-600}"; cat; } |
    ZUM_XVFB=1 "$WINE_RUN" "$ZUMAUTO" - >"$WORK/$name.out" 2>"$WORK/$name.err"
  rc=$?
  sed 's/^/  /' "$WORK/$name.out"
  if ((rc)); then
    cat "$WORK/$name.err" >&2
    fail "zumauto script '$name' failed (exit $rc)"
  fi
}

# The protocol file as UTF-8, kept beside it.
protocol() {
  [[ -f $1 ]] || fail "no protocol file $1"
  # Its lines end in CR LF; the copy's in LF.
  iconv -f CP1251 -t UTF-8 "$1" | tr -d '\r' >"$1.utf8" && [[ ${PIPESTATUS[0]} == 0 ]] \
    || fail "the protocol $1 is not CP1251"
  printf '%s.utf8' "$1"
}
has() {  # FILE TEXT: a line of FILE holds TEXT
  grep -qF -- "$2" "$1" || fail "no line with \"$2\" in ${1##*/}"
}
hasnt() {
  ! grep -qF -- "$2" "$1" || fail "a line with \"$2\" in ${1##*/}: $(grep -F -- "$2" "$1" | head -n 1)"
}
count() { grep -cF -- "$2" "$1"; }
# Same files with the same contents, but for what the run itself leaves beside them.
same_tree() {
  local out
  out=$(diff -r -q -x 'Протокол*' -x 'upd_*.exe' "$@" 2>&1) || fail "trees differ: $*: $out"
}
cfg_version() { dd if="$1/Cfg/CFG.ZUM" bs=1 skip=38 count=16 2>/dev/null | tr -d '\0'; }

# Installation VERSION of release N in DIR, with the stand-in as the product.
installation() {
  local dir=$1 version=$2 release=$3 base=${4:-48000}
  "$ZUMSAMPLE" "$dir" --version "$version" --release "$release" --base-size "$base" \
    --exe "$STANDIN" >/dev/null || fail "zumsample $dir"
}
# An installer with the package OLD -> NEW appended, written to OUT.
package() {
  "$ZUMPACK" build --old "$1" --new "$2" --from "$3" --to "$4" --stub "$ZUMUPD" -o "$5" >/dev/null \
    || fail "zumpack build $3 -> $4"
}

# Question boxes are "Внимание!" with Yes and No; errors "Ошибка!" with OK.
YES="Да"
NO="Нет"
OK="ОК"   # Cyrillic, as the Russian system labels it

# ---- scenarios -----------------------------------------------------------------

scenario_correction() {
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/next" 3.0.7.1 1
  cp -a "$WORK/ZUM" "$WORK/before"
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.0.7.1 "$WORK/ZUM/upd_corr.exe"

  auto run <<EOF
start upd "$(dos "$WORK/ZUM/upd_corr.exe")"
wait-window main upd ZumUpdMainWindow "*"
wait-box q upd "Внимание!" "Обновление успешно завершено.\\nЖелаете запустить программу ZUM?\\n(msgid №3009)"
lines main #102
answer q $NO
wait-line main #102 "Техническая информация о проведенных действиях сохранена в: "
expect-state main Выход visible enabled
click main Выход
wait-exit upd 0
EOF

  local p
  p=$(protocol "$WORK/ZUM/Протокол_zum_3.0.7.1.txt")
  has "$p" "...ОБНОВЛЕНИЕ ВЫПОЛНЯЕТСЯ В РЕЖИМЕ ИСПРАВЛЕНИЯ"
  has "$p" "Программа выполнена успешно"
  has "$p" "Файл обновления не подписан"
  hasnt "$p" "Ошибка №"
  hasnt "$p" "Выбор, как производить"
  # Every protocol line was in the window (the window adds two lines of its own).
  while IFS= read -r line; do
    grep -qxF -- "| $line" "$WORK/run.out" || fail "protocol line not seen in the window: $line"
  done <"$p"
  same_tree -x CFG.ZUM "$WORK/ZUM" "$WORK/next"
  [[ $(cfg_version "$WORK/ZUM") == 3.0.7.1 ]] || fail "Cfg/CFG.ZUM holds $(cfg_version "$WORK/ZUM"), not 3.0.7.1"
  [[ ! -e $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "the journal is left behind"
  [[ ! -e $WORK/ZUM/ZUMUPDTA.TMP ]] || fail "the temporary folder is left behind"
}

# An update signed after it was built, as a vendor ships it: a throwaway certificate
# made here (no key is kept), osslsigncode's signature checked by osslsigncode and
# by zumpack, and the signed update run to its end.
scenario_signed() {
  command -v osslsigncode >/dev/null || fail "osslsigncode is missing (scripts/setup.sh installs it)"
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/next" 3.0.7.1 1
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.0.7.1 "$WORK/unsigned.exe"
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ZUM test vendor" \
    -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1 || fail "openssl req"
  osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -n "ZUM update" \
    -in "$WORK/unsigned.exe" -out "$WORK/ZUM/upd_signed.exe" >/dev/null || fail "osslsigncode sign"
  rm -f "$WORK/key.pem"
  osslsigncode verify -CAfile "$WORK/cert.pem" -in "$WORK/ZUM/upd_signed.exe" >"$WORK/verify.out" 2>&1 \
    || fail "osslsigncode verify: $(tail -3 "$WORK/verify.out")"
  "$ZUMPACK" verify "$WORK/ZUM/upd_signed.exe" >/dev/null || fail "zumpack verify refuses the signed update"
  "$ZUMPACK" list "$WORK/ZUM/upd_signed.exe" | grep -q "3.0.7.1" || fail "zumpack list cannot read the signed update"
  # A byte of the package changed after signing fails both checks.
  cp "$WORK/ZUM/upd_signed.exe" "$WORK/flipped.exe"
  local at=$(( $(stat -c %s "$WORK/unsigned.exe") - 200 ))
  printf '\x5a' | dd of="$WORK/flipped.exe" bs=1 seek="$at" conv=notrunc status=none
  ! osslsigncode verify -CAfile "$WORK/cert.pem" -in "$WORK/flipped.exe" >/dev/null 2>&1 \
    || fail "osslsigncode accepts a changed package"
  ! "$ZUMPACK" verify "$WORK/flipped.exe" >/dev/null 2>&1 || fail "zumpack accepts a changed package"

  auto run <<EOF
start upd "$(dos "$WORK/ZUM/upd_signed.exe")"
wait-window main upd ZumUpdMainWindow "*"
wait-box q upd "Внимание!" "Обновление успешно завершено.\\nЖелаете запустить программу ZUM?\\n(msgid №3009)"
answer q $NO
wait-line main #102 "Техническая информация о проведенных действиях сохранена в: "
click main Выход
wait-exit upd 0
EOF

  local p
  p=$(protocol "$WORK/ZUM/Протокол_zum_3.0.7.1.txt")
  has "$p" "Программа выполнена успешно"
  hasnt "$p" "Ошибка №"
  # The protocol names the signer; a certificate made for the run is trusted by no one.
  has "$p" "Файл обновления подписан: ZUM test vendor"
  [[ $(cfg_version "$WORK/ZUM") == 3.0.7.1 ]] || fail "Cfg/CFG.ZUM holds $(cfg_version "$WORK/ZUM"), not 3.0.7.1"
  [[ ! -e $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "the journal is left behind"
}

end_left_product() {
  ZUM_XVFB=1 "$WINE_RUN" "$ZUMAUTO" -e "kill-process \"$LEFT_PRODUCT\"" >/dev/null 2>&1
}

# The desktop folder as the Wine registry gives it, as a host path.
desktop_folder() {
  local value drive rest
  value=$(ZUM_XVFB=1 "$WINE_RUN" "$WINEPREFIX_DIR/drive_c/windows/system32/reg.exe" query \
    'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders' /v Desktop 2>/dev/null |
    tr -d '\r' | sed -n 's/^ *Desktop *REG_SZ *//p')
  [[ $value =~ ^([A-Za-z]):\\(.*)$ ]] || return 1
  drive=${BASH_REMATCH[1],,}
  rest=${BASH_REMATCH[2]//\\//}
  if [[ $drive == z ]]; then
    printf '/%s' "$rest"
  else
    printf '%s/drive_%s/%s' "$WINEPREFIX_DIR" "$drive" "$rest"
  fi
}

scenario_copy() {
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/next" 3.1.0 2
  cp -a "$WORK/ZUM" "$WORK/before"
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.1.0 "$WORK/ZUM/upd_copy.exe"
  mkdir -p "$WORK/Programs"
  local parent target label="ZUM h8 копия"
  parent=$(dos "$WORK")
  target=$(dos "$WORK/Programs/ZUM_copy")
  rm -f "$(desktop_folder)/$label.LNK" 2>/dev/null
  # The copy's product, should the script stop before it ends it.
  LEFT_PRODUCT="$target\EXE\zum.exe"
  trap end_left_product EXIT

  auto run <<EOF
start upd "$(dos "$WORK/ZUM/upd_copy.exe")"
wait-window main upd ZumUpdMainWindow "*"
wait-window dlg upd "#32770" "Выбор, как производить обновление"
expect-text dlg "label:Информация. Исходная ZUM*" "$(dos "$WORK/ZUM")\\"
expect-text dlg "label:Выберите, куда поместить копию данного ПК ZUM:" "$parent\\"
expect-text dlg "label:Наименование папки обновленного ПК ZUM:" ZUM5_310
expect-text dlg "label:Наименование для ярлыка на рабочем столе:" ZUM5_310
expect-text dlg "label:Информация. Копия программы*" "$parent\\ZUM5_310\\"
expect-state dlg "Далее*" enabled
# The installation's own folder cannot take the copy.
set-text dlg "label:Наименование папки обновленного ПК ZUM:" ZUM
expect-text dlg "label:Информация. Копия программы*" "$parent\\ZUM\\"
click dlg "Далее*"
wait-box m upd upd_copy "Эта папка не может быть папкой копии:*(папка - сама папка установки)"
answer m $OK
# Empty fields, blanks only, each named by its label.
set-text dlg "label:Выберите, куда поместить копию данного ПК ZUM:" "   "
click dlg "Далее*"
wait-box m upd upd_copy "Не заполнено поле \\n""Выберите, куда поместить копию данного ПК ZUM:"""
answer m $OK
set-text dlg "label:Выберите, куда поместить копию данного ПК ZUM:" "$(dos "$WORK/Programs")"
set-text dlg "label:Наименование папки обновленного ПК ZUM:" ""
click dlg "Далее*"
wait-box m upd upd_copy "Не заполнено поле \\n""Наименование папки обновленного ПК ZUM:"""
answer m $OK
set-text dlg "label:Наименование папки обновленного ПК ZUM:" "  ZUM_copy "
set-text dlg "label:Наименование для ярлыка на рабочем столе:" ""
click dlg "Далее*"
wait-box m upd upd_copy "Не заполнено поле \\n""Наименование для ярлыка на рабочем столе:"""
answer m $OK
expect-text dlg "label:Наименование папки обновленного ПК ZUM:" ZUM_copy
set-text dlg "label:Наименование для ярлыка на рабочем столе:" " $label "
check dlg "Без копирования строек*" on
check dlg "Без копирования содержимого папки*" on
expect-text dlg "label:Информация. Копия программы*" "$target\\"
# No to 3011: the dialog stays, the folder made for the copy stays until the next try.
click dlg "Далее*"
wait-box q upd "Внимание!" "Внимание!\\nСоздана папка:\\n$target\\\\n*\\n$target\\\\nи\\n$(dos "$WORK/ZUM")\\\\n*(msgid №3011)"
answer q $NO
expect-state dlg "Далее*" visible enabled
wait-file "$target"
click dlg "Далее*"
wait-box q upd "Внимание!" "Внимание!\\nСоздана папка:*(msgid №3011)"
answer q $YES
wait-gone dlg
wait-box q upd "Внимание!" "Обновление успешно завершено.*(msgid №3009)"
lines main #102
answer q $YES
# The updated copy's product is started, and the installer ends.
wait-process "$target\\EXE\\zum.exe"
wait-mutex "$(mutex_of "$WORK/Programs/ZUM_copy")"
wait-exit upd 0
kill-process "$target\\EXE\\zum.exe"
EOF

  local p
  p=$(protocol "$WORK/ZUM/Протокол_zum_3.1.0.txt")
  (($(count "$p" " Выбор варианта обновления") == 2)) || fail "\"Выбор варианта обновления\" is not written twice"
  has "$p" "Создание ярлыка"
  has "$p" "Программа выполнена успешно"
  hasnt "$p" "Ошибка №"
  # The step journals the shortcut (a LogCmd line), then marks its outcome.
  grep -A2 -F " Создание ярлыка" "$p" | grep -qF "LogCmd 9 z<" || fail "the shortcut was not journalled"
  grep -A2 -F " Создание ярлыка" "$p" | grep -qF "...ОК" || fail "the shortcut step did not end with ...ОК"

  # The copy: the product's folders as released in 3.1.0; nothing of the user's
  # working data (clean copy) nor of the AutoSave folders.
  local copy=$WORK/Programs/ZUM_copy
  [[ -d $copy ]] || fail "no copy in $copy"
  (cd "$copy" && find . -type f) | while IFS= read -r f; do
    [[ $f == ./Cfg/CFG.ZUM ]] && continue
    cmp -s "$copy/$f" "$WORK/next/$f" || fail "the copy's $f is not as in release 3.1.0"
  done || exit 1
  [[ $(cfg_version "$copy") == 3.1.0 ]] || fail "the copy's Cfg/CFG.ZUM holds $(cfg_version "$copy")"
  [[ -n $(find "$WORK/ZUM" -path '*AutoSave*' -type f) ]] || fail "the sample has no AutoSave files to leave out"
  [[ -z $(find "$copy" -path '*AutoSave*' -type f) ]] || fail "AutoSave files were copied"
  [[ -f $copy/Exe/zum.exe || -f $copy/EXE/zum.exe ]] || fail "the copy has no Exe/zum.exe"
  # The installation it was copied from is untouched.
  same_tree "$WORK/before" "$WORK/ZUM"
  [[ ! -e $WORK/ZUM/zum_3.1.0.txt ]] || fail "the journal is left behind"

  # The shortcut, in the desktop folder the registry names.
  local desk lnk info
  desk=$(desktop_folder) || fail "the Wine registry names no desktop folder"
  lnk="$desk/$label.LNK"
  [[ -f $lnk ]] || fail "no shortcut $lnk ($(ls "$desk" 2>&1 | tr '\n' ' '))"
  command -v lnkinfo >/dev/null || fail "lnkinfo is missing (liblnk-utils)"
  info=$(lnkinfo "$lnk" 2>&1) || fail "lnkinfo cannot read $lnk: $info"
  printf '%s\n' "$info" | grep -E 'Local path|Working directory|Description' | sed 's/^/  /'
  grep -qiF "Local path			: $target\\EXE\\zum.exe" <<<"$info" || fail "the shortcut does not point at $target\\EXE\\zum.exe"
  grep -qF "Working directory		: $target\\" <<<"$info" || fail "the shortcut's working folder is not $target\\"
  grep -qF "Description			: $label.LNK" <<<"$info" || fail "the shortcut's description is not $label.LNK"
  rm -f "$lnk"
}

scenario_second() {
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/next" 3.1.0 2
  cp -a "$WORK/ZUM" "$WORK/before"
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.1.0 "$WORK/ZUM/upd_twice.exe"

  auto run <<EOF
start upd "$(dos "$WORK/ZUM/upd_twice.exe")"
wait-window dlg upd "#32770" "Выбор, как производить обновление"
start upd2 "$(dos "$WORK/ZUM/upd_twice.exe")"
wait-box e upd2 "Ошибка!" "Обновление уже выполняется\\nЕсли это не так - требуется перезагрузка\\nОбновление завершает работу.\\n(msgid №5005)"
answer e $OK
wait-window main2 upd2 ZumUpdMainWindow "*"
wait-line main2 #102 "Техническая информация о проведенных действиях сохранена в: "
lines main2 #102
click main2 Выход
wait-exit upd2 0
# The first goes on: cancel, think again (Yes to 3003), then cancel for good.
click dlg "Отмена*"
wait-box q upd "Внимание!" "Продолжить выполнение обновления?\\n(msgid №3003)"
answer q $YES
expect-state dlg "Отмена*" visible enabled
click dlg "Отмена*"
wait-box q upd "Внимание!" "Продолжить выполнение обновления?\\n(msgid №3003)"
answer q $NO
wait-gone dlg
wait-window main upd ZumUpdMainWindow "*"
wait-line main #102 "Техническая информация о проведенных действиях сохранена в: "
lines main #102
click main Выход
wait-exit upd 0
EOF

  local p
  p=$(protocol "$WORK/ZUM/Протокол.txt")
  has "$p" "Ошибка № 5005"
  # The check's error line, its failure mark appended to it.
  grep -A1 -xF " Проверка нескольких копий" "$p" | grep -qF "Ошибка № 5005 ...Были ошибки" \
    || fail "the single-instance check is not marked failed after its error line"
  hasnt "$p" "Инициализация данных"
  p=$(protocol "$WORK/ZUM/Протокол_zum_3.1.0.txt")
  has "$p" "Отменено пользователем."
  hasnt "$p" "Ошибка №"
  hasnt "$p" "Программа выполнена успешно"
  [[ ! -e $WORK/ZUM5_310 ]] || fail "a copy folder was made"
  [[ ! -e $WORK/ZUM/zum_3.1.0.txt ]] || fail "the journal of the cancelled run is left behind"
  same_tree "$WORK/before" "$WORK/ZUM"
}

scenario_product() {
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/next" 3.0.7.1 1
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.0.7.1 "$WORK/ZUM/upd_wait.exe"

  auto run <<EOF
start product "$(dos "$WORK/ZUM/Exe/zum.exe")"
wait-mutex "$(mutex_of "$WORK/ZUM")"
start upd "$(dos "$WORK/ZUM/upd_wait.exe")"
wait-window main upd ZumUpdMainWindow "*"
wait-box q upd "Внимание!" "Возможно программа ZUM-5 не закрыта (еще выполняется).\\nВы можете подождать либо перезагрузить компьютер и запустить\\n$(dos "$WORK/ZUM/upd_wait.exe")\\nвручную.\\nПодождать?\\n(msgid №3007)"
lines main #102
answer q $YES
kill product
wait-box q upd "Внимание!" "Обновление успешно завершено.*(msgid №3009)"
answer q $NO
click main Выход
wait-exit upd 0
EOF

  local p n
  p=$(protocol "$WORK/ZUM/Протокол_zum_3.0.7.1.txt")
  for n in 1 2 3 4 5 6 7 8 9 10; do
    has "$p" "Программа ZUM либо еще одно обновление обнаружены в памяти. Ожидаем 1 секунду. Попытка $n из 10"
  done
  # The box came after the tenth attempt of the first pass.
  grep -qF "Попытка 10 из 10" "$WORK/run.out" || fail "question 3007 came before the tenth attempt"
  hasnt "$p" "Ошибка № 5007"
  hasnt "$p" "ZUM запущена. Недопустимо."
  has "$p" "Программа выполнена успешно"
  same_tree -x CFG.ZUM "$WORK/ZUM" "$WORK/next"
}

scenario_recover() {
  # Base files large enough for the run to take a while.
  installation "$WORK/ZUM" 3.0.7 0 8000000
  installation "$WORK/next" 3.0.7.1 1 8000000
  cp -a "$WORK/ZUM" "$WORK/before"
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.0.7.1 "$WORK/ZUM/upd_kill.exe"

  auto killed <<EOF
start upd "$(dos "$WORK/ZUM/upd_kill.exe")"
wait-window main upd ZumUpdMainWindow "*"
# The second base file's backup has begun: the first one has been rebuilt. (The
# protocol list cannot tell: the busy installer answers only between its steps.)
wait-file "$(dos "$WORK/ZUM/ZUMUPDTA.TMP/BAK1/Base/std3")"
kill upd
EOF
  [[ -f $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "the run ended before it was killed: no journal to recover from"
  cp "$WORK/ZUM/zum_3.0.7.1.txt" "$WORK/journal-of-killed-run.txt"
  LC_ALL=C grep -qa '\*6#.*Base.std1<' "$WORK/journal-of-killed-run.txt" || fail "the killed run's journal holds no backup of Base\std1"
  cmp -s "$WORK/ZUM/Base/std1" "$WORK/before/Base/std1" && fail "the killed run had not changed Base\std1 yet"

  auto recovered <<EOF
start upd "$(dos "$WORK/ZUM/upd_kill.exe")"
wait-box q upd "Внимание!" "Предыдущий запуск обновления завершился с ошибкой\\n(Возможно, что программа ZUM теперь повреждена).\\nПопытаться восстановить предыдущее состояние программы ZUM?\\n(msgid №3001)"
answer q $YES
wait-box q upd "Внимание!" "Продолжить выполнение обновления?"
wait-window main upd ZumUpdMainWindow "*"
lines main #102
answer q $NO
wait-line main #102 "Техническая информация о проведенных действиях сохранена в: "
click main Выход
wait-exit upd 0
EOF

  local p
  p=$(protocol "$WORK/ZUM/Протокол_zum_3.0.7.1.txt")
  has "$p" "Есть проблемы. Попытка отката к предыдущему состоянию."
  has "$p" "Анализ протокола"
  has "$p" "Восстановление завершено успешно"
  has "$p" "Отменено пользователем."
  hasnt "$p" "Ошибка №"
  # Byte for byte as before the killed run; no journal, no temporary folder.
  same_tree "$WORK/before" "$WORK/ZUM"
  [[ ! -e $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "the journal is left behind"
  [[ ! -e $WORK/ZUM/ZUMUPDTA.TMP ]] || fail "the temporary folder is left behind"
}

scenario_noaccess() {
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/next" 3.0.7.1 1
  cp -a "$WORK/ZUM" "$WORK/before"
  package "$WORK/ZUM" "$WORK/next" 3.0.7 3.0.7.1 "$WORK/ZUM/upd_na.exe"
  # (The folder's path is matched by *: a backslash before "n" would read as a line
  # break in a box pattern.)
  local refusal="Нет права записи в папку *. Обновление не выполнено, ничего не изменено."
  # The first file operation of every run (the check's) is refused; the environment
  # reaches the installer started again, so its check is refused too.
  ZUM_FAULT=fail@1:access auto noaccess <<EOF
start upd "$(dos "$WORK/ZUM/upd_na.exe")"
wait-box q upd "Внимание!" "$refusal\n\nЗапустить обновление снова от имени администратора?"
answer q $YES
wait-window main upd ZumUpdMainWindow "*"
wait-line main #102 " Обновление запущено снова от имени администратора"
wait-box q2 * "Внимание!" "$refusal\n\nЗапустить обновление снова от имени администратора?"
answer q2 $NO
click main Выход
wait-exit upd 0
wait-window main2 * ZumUpdMainWindow "*"
wait-line main2 #102 "*Отменено пользователем.*"
wait-line main2 #102 "Протокол не сохранен в файл: нет права записи в папку *"
click main2 Выход
EOF
  same_tree "$WORK/before" "$WORK/ZUM"
  [[ ! -e $WORK/ZUM/zum_3.0.7.1.txt ]] || fail "a journal was made"
}

scenario_unattended() {
  installation "$WORK/ZUM" 3.0.7 0
  installation "$WORK/fix" 3.0.7.1 1
  installation "$WORK/next" 3.1.0 2
  installation "$WORK/old" 2.9.9 0
  cp -a "$WORK/ZUM" "$WORK/before"
  package "$WORK/ZUM" "$WORK/fix" 3.0.7 3.0.7.1 "$WORK/ZUM/upd_fix.exe"
  package "$WORK/old" "$WORK/next" 2.9.9 3.1.0 "$WORK/ZUM/upd_other.exe"
  local rc
  # Exit codes as a deployment script reads them.
  ZUM_XVFB=1 "$WINE_RUN" "$WORK/ZUM/upd_fix.exe" /verysilent /bogus; rc=$?
  ((rc == 87)) || fail "a bad switch ended with $rc, not 87"
  ZUM_XVFB=1 "$WINE_RUN" "$WORK/ZUM/upd_other.exe" /VERYSILENT; rc=$?
  ((rc == 3)) || fail "a package of another version ended with $rc, not 3"
  same_tree "$WORK/before" "$WORK/ZUM"

  # /verysilent: no window while it runs (zumauto looks for one until the end).
  auto verysilent <<EOF
start upd "$(dos "$WORK/ZUM/upd_fix.exe")" /verysilent "/log=$(dos "$WORK/logs/deploy/zum.txt")"
windows
wait-exit upd 0
EOF
  ! grep -q "ZumUpdMainWindow" "$WORK/verysilent.out" || fail "/verysilent showed a window"
  local p
  p=$(protocol "$WORK/logs/deploy/zum.txt")
  has "$p" "Программа выполнена успешно"
  has "$p" "Вопрос №3009: "
  has "$p" "ответ \"Нет\" (ответ по умолчанию)"
  same_tree -x CFG.ZUM "$WORK/ZUM" "$WORK/fix"
  [[ $(cfg_version "$WORK/ZUM") == 3.0.7.1 ]] || fail "not updated to 3.0.7.1"

  # /silent: the window shows the run and closes by itself; a copy package goes into
  # /copy with the dialog's fields from the switches.
  package "$WORK/before" "$WORK/next" 3.0.7 3.1.0 "$WORK/before/upd_new.exe"
  mkdir -p "$WORK/Programs"
  auto silent <<EOF
start upd "$(dos "$WORK/before/upd_new.exe")" /silent "/copy=$(dos "$WORK/Programs")" /name=ZUM_NEW /noautosave
wait-window main upd ZumUpdMainWindow "*"
wait-exit upd 0
EOF
  [[ -f $WORK/Programs/ZUM_NEW/Exe/zum.exe ]] || fail "/silent made no copy in Programs/ZUM_NEW"
  [[ $(cfg_version "$WORK/Programs/ZUM_NEW") == 3.1.0 ]] || fail "the copy is not at 3.1.0"
  p=$(protocol "$WORK/before/Протокол_zum_3.1.0.txt")
  has "$p" "Программа выполнена успешно"
}

# ---- main ----------------------------------------------------------------------

WINEPREFIX_DIR=${ZUM_WINEPREFIX:-$ROOT/build/wineprefix/default}
[[ $WINEPREFIX_DIR == /* ]] || WINEPREFIX_DIR=$PWD/$WINEPREFIX_DIR
"$WINE_RUN" --init || fail "cannot make the Wine prefix $WINEPREFIX_DIR"

all=(correction copy second product recover signed noaccess unattended)
scenarios=("$@")
[[ ${scenarios[0]} == all ]] && scenarios=("${all[@]}")
for s in "${scenarios[@]}"; do
  declare -F "scenario_$s" >/dev/null || fail "unknown scenario $s (one of: ${all[*]})"
done
for s in "${scenarios[@]}"; do
  WORK=${ZUM_GUI_WORK:-$ZUM_WINDOWS_BUILD/gui-work}/$s
  rm -rf "$WORK"
  mkdir -p "$WORK" || fail "cannot make $WORK"
  say "scenario $s (in $WORK)"
  start=$SECONDS
  ( "scenario_$s" ) || exit 1
  echo "gui: scenario $s passed in $((SECONDS - start)) s"
done
