#!/usr/bin/env bash
# Takes a picture of the installer's main window as it stands at the end of a
# run: the Windows build of zumupd.exe, copied into a temporary folder (the
# protocol file lands beside it), started under Wine on a virtual X server.
#
#   scripts/screenshot.sh [PROGRAM.exe [OUT.png]]
#
# Defaults: build/windows/zumupd.exe and docs/img/main-window.png. The picture
# is cropped to the window when the window can be found, else it is the screen.
#
# Environment:
#   ZUM_WINEPREFIX     the Wine prefix; default build/wineprefix/screenshot (its
#                      own, so that a test run in the default prefix is not
#                      disturbed)
#   ZUM_SHOT_TIMEOUT   seconds to wait for the run to end (default 60); an
#                      error box on the way is acknowledged as a user would
#                      (Enter); a question still open by then stays in the
#                      picture
#
# Needs xwd (x11-apps), xwininfo (x11-utils), xdotool and ImageMagick
# (imagemagick); installs the missing ones with apt-get when run as root.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
EXE=${1:-$ROOT/build/windows/zumupd.exe}
OUT=${2:-$ROOT/docs/img/main-window.png}
TIMEOUT=${ZUM_SHOT_TIMEOUT:-60}
export ZUM_WINEPREFIX=${ZUM_WINEPREFIX:-$ROOT/build/wineprefix/screenshot}
WINE_RUN=$ROOT/scripts/wine-run.sh

die() {
  printf 'screenshot.sh: %s\n' "$*" >&2
  exit 1
}
say() { printf 'screenshot.sh: %s\n' "$*"; }

[[ -f $EXE ]] || die "no program at $EXE (build it first: cmake --preset windows && cmake --build --preset windows)"
[[ -x $WINE_RUN ]] || die "scripts/wine-run.sh is missing"

# ---- tools -------------------------------------------------------------------
# The real ImageMagick is looked for by its package: a `convert` on PATH may be
# something else.
need=()
command -v xwd >/dev/null || need+=(x11-apps)
command -v xwininfo >/dev/null || need+=(x11-utils)
command -v xdotool >/dev/null || need+=(xdotool)
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

# ---- run -----------------------------------------------------------------------
work=$(mktemp -d "${TMPDIR:-/tmp}/zumshot.XXXXXX") || die "mktemp failed"
wine_pid=
cleanup() {
  [[ -n $wine_pid ]] && kill "$wine_pid" 2>/dev/null
  # Ends this prefix's Wine processes and its X server.
  "$WINE_RUN" --stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT

cp "$EXE" "$work/zumupd.exe" || die "cannot copy $EXE"
# There is no window manager on the virtual screen: Wine is told to keep its
# windows to itself and draw their frames and captions, so that the picture
# shows the whole window. (reg.exe runs on the same X server: a Wine session
# keeps the display it began with.)
"$WINE_RUN" --init || die "cannot make the Wine prefix $ZUM_WINEPREFIX"
for setting in Managed Decorated; do
  ZUM_XVFB=1 "$WINE_RUN" "$ZUM_WINEPREFIX/drive_c/windows/system32/reg.exe" add \
    'HKCU\Software\Wine\X11 Driver' /v "$setting" /d N /f >/dev/null 2>&1 \
    || die "cannot set up the Wine prefix for drawing frames"
done
DISPLAY=$(ZUM_XVFB=1 "$WINE_RUN" --display) || die "no virtual X server"
export DISPLAY

say "running $(basename "$EXE") under Wine on $DISPLAY"
(cd "$work" && exec env ZUM_XVFB=1 "$WINE_RUN" "$work/zumupd.exe") >"$work/wine.log" 2>&1 &
wine_pid=$!

# The run has ended when the protocol file is saved beside the program (its name
# is Cyrillic, so any new .txt file counts).
protocol_saved() { compgen -G "$work/*.txt" >/dev/null; }
# An error box ("Ошибка!") holds the run until it is acknowledged; it has the
# keyboard focus, so Enter presses its OK.
answer_error_box() {
  local box
  box=$(xdotool search --name '^Ошибка!$' 2>/dev/null | head -n 1)
  [[ -n $box ]] || return 1
  xdotool key Return 2>/dev/null
}
ended=0 answered=0
for ((i = 0; i < TIMEOUT * 4; i++)); do
  if protocol_saved; then
    ended=1
    break
  fi
  kill -0 "$wine_pid" 2>/dev/null || break
  if ((i % 4 == 3)) && answer_error_box; then
    answered=$((answered + 1))
  fi
  sleep 0.25
done
((answered)) && say "acknowledged $answered error box(es) on the way"
if ((ended)); then
  sleep 1  # the last lines and the exit panel are painted
else
  say "the run did not end within ${TIMEOUT}s; taking the screen as it is"
fi

# The main window is the top-level X window of 700 by 316 pixels.
geometry=$(xwininfo -root -children 2>/dev/null |
  awk '$0 ~ /700x316\+/ { for (i = 1; i <= NF; i++) if ($i ~ /^700x316\+/) { print $i; exit } }')

mkdir -p "$(dirname "$OUT")"
raw=$work/screen.xwd
xwd -root -silent >"$raw" || die "xwd failed"
if [[ $geometry =~ ^([0-9]+)x([0-9]+)\+(-?[0-9]+)\+(-?[0-9]+) ]]; then
  # Messages boxes, if any, are centred on the screen and may overlap the window;
  # the crop shows what lies over the window's area.
  "$CONVERT" "xwd:$raw" -crop "${BASH_REMATCH[1]}x${BASH_REMATCH[2]}+${BASH_REMATCH[3]}+${BASH_REMATCH[4]}" +repage "png:$OUT" \
    || die "convert failed"
else
  say "window not found; keeping the whole screen"
  "$CONVERT" "xwd:$raw" "png:$OUT" || die "convert failed"
fi
say "saved $OUT"
