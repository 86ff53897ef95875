#!/usr/bin/env bash
# Takes the README's pictures of the Windows installer under Wine on a virtual X
# server: an update of a sample installation into a copy, driven by zumauto.exe as
# a user would, photographed at three moments:
#
#   selku-dialog.png         the update-variant dialog, its fields filled in
#   main-window-running.png  the main window while the update runs
#   main-window.png          the main window after the run
#
#   scripts/screenshot.sh [WINDOWS-BUILD [LINUX-TOOLS [OUTDIR]]]
#
# Defaults: build/windows (zumupd.exe, tools/zumstandin.exe,
# tools/winauto/zumauto.exe), build/linux/tools (zumsample, zumpack/zumpack) and
# docs/img. Each picture is cropped to its window.
#
# Environment:
#   ZUM_WINEPREFIX     the Wine prefix; default build/wineprefix/screenshot (its
#                      own, so that a test run in another prefix is not disturbed)
#   ZUM_SHOT_TIMEOUT   seconds to wait for each moment (default 300)
#   ZUM_SHOT_DPI       the screen's dots per inch (default 96); another value is
#                      set in the prefix (LogPixels) and named in the pictures'
#                      names: selku-dialog-144dpi.png and so on
#
# Needs xwd (x11-apps), xwininfo (x11-utils) and ImageMagick (imagemagick);
# installs the missing ones with apt-get when run as root.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
case ${1:-} in
  -h|--help) sed -n '2,26s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
esac
BUILD=${1:-$ROOT/build/windows}
TOOLS=${2:-$ROOT/build/linux/tools}
OUTDIR=${3:-$ROOT/docs/img}
TIMEOUT=${ZUM_SHOT_TIMEOUT:-300}
DPI=${ZUM_SHOT_DPI:-96}
[[ $DPI =~ ^[1-9][0-9]*$ ]] || { echo "screenshot.sh: ZUM_SHOT_DPI must be a number" >&2; exit 2; }
SUFFIX=
((DPI == 96)) || SUFFIX=-${DPI}dpi
export ZUM_WINEPREFIX=${ZUM_WINEPREFIX:-$ROOT/build/wineprefix/screenshot$SUFFIX}
WINE_RUN=$ROOT/scripts/wine-run.sh

die() {
  printf 'screenshot.sh: %s\n' "$*" >&2
  exit 1
}
say() { printf 'screenshot.sh: %s\n' "$*"; }

for f in "$BUILD/zumupd.exe" "$BUILD/tools/zumstandin.exe" "$BUILD/tools/winauto/zumauto.exe"; do
  [[ -f $f ]] || die "no $f (build the windows preset first)"
done
for f in "$TOOLS/zumsample" "$TOOLS/zumpack/zumpack"; do
  [[ -x $f ]] || die "no $f (build the linux preset first)"
done

# ---- tools -------------------------------------------------------------------
# The real ImageMagick is looked for by its package: a `convert` on PATH may be
# something else.
need=()
command -v xwd >/dev/null || need+=(x11-apps)
command -v xwininfo >/dev/null || need+=(x11-utils)
[[ $(dpkg-query -W -f='${db:Status-Status}' imagemagick 2>/dev/null) == installed ]] || need+=(imagemagick)
if ((${#need[@]})); then
  ((EUID == 0)) || die "missing packages: ${need[*]} (install them as root)"
  say "installing ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get -qq update >/dev/null && apt-get -qq install -y "${need[@]}" >/dev/null \
    || die "apt-get could not install ${need[*]}"
fi
CONVERT=/usr/bin/convert
[[ -x $CONVERT ]] || die "ImageMagick's convert is not at $CONVERT"

# ---- the sample and its package ---------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/zumshot.XXXXXX") || die "mktemp failed"
auto_pid=
cleanup() {
  [[ -n $auto_pid ]] && kill "$auto_pid" 2>/dev/null
  # Ends this prefix's Wine processes and its X server.
  "$WINE_RUN" --stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

dos() { local p; p=$(realpath -m "$1"); printf 'Z:%s' "${p//\//\\}"; }

say "making a sample installation ZUM 3.0.7 and an update to 3.1.0"
"$TOOLS/zumsample" "$work/ZUM" --version 3.0.7 --base-size 3000000 --exe "$BUILD/tools/zumstandin.exe" >/dev/null \
  && "$TOOLS/zumsample" "$work/next" --version 3.1.0 --release 2 --base-size 3000000 \
    --exe "$BUILD/tools/zumstandin.exe" >/dev/null \
  || die "zumsample failed"
"$TOOLS/zumpack/zumpack" build --old "$work/ZUM" --new "$work/next" --from 3.0.7 --to 3.1.0 \
  --stub "$BUILD/zumupd.exe" -o "$work/ZUM/zumupd.exe" >/dev/null || die "zumpack failed"
mkdir -p "$work/Programs"

# ---- the run --------------------------------------------------------------------
# There is no window manager on the virtual screen: Wine is told to keep its
# windows to itself and draw their frames and captions, so that a picture shows
# the whole window. (reg.exe runs on the same X server: a Wine session keeps the
# display it began with.)
"$WINE_RUN" --init || die "cannot make the Wine prefix $ZUM_WINEPREFIX"
for setting in Managed Decorated; do
  ZUM_XVFB=1 "$WINE_RUN" "$ZUM_WINEPREFIX/drive_c/windows/system32/reg.exe" add \
    'HKCU\Software\Wine\X11 Driver' /v "$setting" /d N /f >/dev/null 2>&1 \
    || die "cannot set up the Wine prefix for drawing frames"
done
# The screen's resolution, as the display settings of the system would set it.
ZUM_XVFB=1 "$WINE_RUN" "$ZUM_WINEPREFIX/drive_c/windows/system32/reg.exe" add \
  'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD /d "$DPI" /f >/dev/null 2>&1 \
  || die "cannot set the resolution of the Wine prefix"
ZUM_XVFB=1 "$WINE_RUN" "$ZUM_WINEPREFIX/drive_c/windows/system32/reg.exe" add \
  'HKCC\Software\Fonts' /v LogPixels /t REG_DWORD /d "$DPI" /f >/dev/null 2>&1 \
  || die "cannot set the resolution of the Wine prefix"
# A prefix takes a new resolution at its next start.
"$WINE_RUN" --stop >/dev/null 2>&1
DISPLAY=$(ZUM_XVFB=1 "$WINE_RUN" --display) || die "no virtual X server"
export DISPLAY

# zumauto stops at each moment: it writes the window's place, signals, and waits
# for the picture to be taken.
moment() {  # NAME WINDOW
  printf 'rect %s\nsignal "%s"\nwait-file "%s"\n' "$2" "$(dos "$work/shot-$1")" "$(dos "$work/go-$1")"
}
cat >"$work/script.txt" <<EOF
timeout $TIMEOUT
start upd "$(dos "$work/ZUM/zumupd.exe")"
wait-window main upd ZumUpdMainWindow "*"
wait-window dlg upd "#32770" "Выбор, как производить обновление"
set-text dlg "label:Выберите, куда поместить копию данного ПК ZUM:" "$(dos "$work/Programs")\\"
check dlg "Без копирования содержимого папки*" on
$(moment dialog dlg)
click dlg "Далее*"
wait-box q upd "Внимание!" "*(msgid №3011)"
answer q Да
wait-file "$(dos "$work/Programs/ZUM5_310/Base")"
$(moment running main)
wait-box q upd "Внимание!" "*(msgid №3009)"
answer q Нет
wait-line main #102 "Техническая информация о проведенных действиях сохранена в: "
$(moment done main)
click main Выход
wait-exit upd
EOF
say "running the installer under Wine on $DISPLAY"
ZUM_XVFB=1 "$WINE_RUN" "$BUILD/tools/winauto/zumauto.exe" "$(dos "$work/script.txt")" >"$work/auto.out" 2>&1 &
auto_pid=$!

mkdir -p "$OUTDIR"
shoot() {  # MOMENT OUT.png
  local i geometry
  for ((i = 0; i < TIMEOUT * 10; i++)); do
    [[ -f $work/shot-$1 ]] && break
    kill -0 "$auto_pid" 2>/dev/null || { cat "$work/auto.out" >&2; die "the run ended before the moment '$1'"; }
    sleep 0.1
  done
  [[ -f $work/shot-$1 ]] || { cat "$work/auto.out" >&2; die "no moment '$1' within ${TIMEOUT}s"; }
  geometry=$(grep '^rect ' "$work/auto.out" | tail -n 1 | awk '{ printf "%dx%d+%d+%d", $5, $6, $3, $4 }')
  [[ $geometry =~ ^[0-9]+x[0-9]+\+-?[0-9]+\+-?[0-9]+$ ]] || die "no place of the window for '$1'"
  xwd -root -silent >"$work/screen.xwd" || die "xwd failed"
  "$CONVERT" "xwd:$work/screen.xwd" -crop "$geometry" +repage -strip "png:$2" || die "convert failed"
  say "saved $2 ($geometry)"
  : >"$work/go-$1"
}
shoot dialog "$OUTDIR/selku-dialog$SUFFIX.png"
shoot running "$OUTDIR/main-window-running$SUFFIX.png"
shoot done "$OUTDIR/main-window$SUFFIX.png"
wait "$auto_pid" || { cat "$work/auto.out" >&2; die "the run did not end as expected"; }
auto_pid=
