#!/usr/bin/env bash
# Runs a Windows program under wine64 the way the tests expect a Russian
# Windows to behave, and passes the program's exit status through.
#
#   scripts/wine-run.sh PROGRAM.exe [ARGS...]
#   scripts/wine-run.sh --init       make the prefix (done anyway on first use)
#   scripts/wine-run.sh --display    print the DISPLAY of the prefix's X server
#   scripts/wine-run.sh --stop       end the prefix's Wine processes and X server
#
# Environment:
#   ZUM_WINEPREFIX  the Wine prefix (made on first use); default
#                   build/wineprefix/default. scripts/test.sh uses a fresh one
#                   per test run.
#   ZUM_XVFB=1      run on the prefix's own virtual X server (Xvfb), for GUI
#                   programs and screenshots; without it DISPLAY is used as it is,
#                   and with no DISPLAY console programs still run.
#   ZUM_WINEDEBUG   passed as WINEDEBUG (default -all), for debugging Wine.
#
# The locale is ru_RU.UTF-8: it makes Wine's ANSI code page 1251, so CP1251
# names given to the "A" functions reach the Linux file system as UTF-8.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

die() {
  local code=$1; shift
  printf 'wine-run.sh: %s\n' "$*" >&2
  exit "$code"
}

usage() {
  sed -n '2,20s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"
  exit "$1"
}

[[ $# -ge 1 ]] || usage 2
case $1 in
  -h|--help) usage 0 ;;
esac

# Debian's wine64 package keeps its loader in the library folder; `wine` (a
# wrapper that prefers a 32-bit loader) comes from the wine package.
if [[ -x /usr/lib/wine/wine64 ]]; then
  WINE=/usr/lib/wine/wine64
elif WINE=$(command -v wine64); then
  :
elif WINE=$(command -v wine); then
  :
else
  die 127 "no wine64 loader found (expected /usr/lib/wine/wine64); run scripts/setup.sh"
fi
if [[ -x /usr/lib/wine/wineserver ]]; then
  WINESERVER=/usr/lib/wine/wineserver
else
  WINESERVER=$(command -v wineserver) || die 127 "no wineserver found; run scripts/setup.sh"
fi

prefix=${ZUM_WINEPREFIX:-$ROOT/build/wineprefix/default}
[[ $prefix == /* ]] || prefix=$PWD/$prefix
prefix=${prefix%/}

export WINEPREFIX=$prefix
export WINEARCH=win64
export WINELOADER=$WINE   # programs started by the program use the same loader
export WINEDEBUG=${ZUM_WINEDEBUG:--all}
# No Mono or Gecko: no installer prompts, nothing downloaded.
export WINEDLLOVERRIDES="mscoree,mshtml=${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

LOCK=$WINEPREFIX.lock     # guards making the prefix and starting its X server
XVFB_RECORD=$WINEPREFIX.xvfb

lock() {
  mkdir -p "$(dirname "$WINEPREFIX")" || die 125 "cannot create $(dirname "$WINEPREFIX")"
  exec {lock_fd}>"$LOCK" || die 125 "cannot open $LOCK"
  flock "$lock_fd"
}
unlock() { exec {lock_fd}>&-; }

# Prints "PID :N" of the prefix's Xvfb if it is still serving.
live_xvfb() {
  local pid disp
  [[ -f $XVFB_RECORD ]] && read -r pid disp <"$XVFB_RECORD" || return 1
  [[ $(cat "/proc/$pid/comm" 2>/dev/null) == Xvfb && -S /tmp/.X11-unix/X${disp#:} ]] || return 1
  echo "$pid $disp"
}

# Prints the DISPLAY of the prefix's X server, starting one if there is none.
# Wine binds its display driver to the desktop process of a Wine session, and
# all programs of the session share it: every run in a prefix therefore uses
# one long-lived X server rather than one each (a second server, or none,
# would leave the later programs without windows).
xvfb_display() {
  local rec pid num numfile=$WINEPREFIX.xvfb.num i
  command -v Xvfb >/dev/null || die 127 "Xvfb is missing; run scripts/setup.sh"
  lock
  if ! rec=$(live_xvfb); then
    : >"$numfile"
    # -displayfd: the server picks a free display and writes its number once
    # it accepts connections. No inherited descriptors: ctest must not wait
    # on the server, and the lock must not outlive this run.
    setsid Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp \
      3>"$numfile" </dev/null >"$WINEPREFIX.xvfb.log" 2>&1 {lock_fd}>&- &
    pid=$!
    for ((i = 0; i < 200; i++)); do
      [[ -s $numfile ]] && break
      kill -0 "$pid" 2>/dev/null || break
      sleep 0.05
    done
    read -r num <"$numfile" 2>/dev/null
    [[ $num =~ ^[0-9]+$ ]] || die 125 "Xvfb did not start (log: $WINEPREFIX.xvfb.log)"
    rec="$pid :$num"
    echo "$rec" >"$XVFB_RECORD"
  fi
  unlock
  echo "${rec#* }"
}

stop() {
  local rec
  if [[ -d $WINEPREFIX ]]; then
    "$WINESERVER" -k >/dev/null 2>&1
    timeout 30 "$WINESERVER" -w >/dev/null 2>&1
  fi
  if rec=$(live_xvfb); then
    kill "${rec%% *}" 2>/dev/null
  fi
  rm -f "$XVFB_RECORD" "$WINEPREFIX.xvfb.num"
}

case $1 in
  --stop) stop; exit 0 ;;
  --display) xvfb_display; exit 0 ;;
esac

locale_name=ru_RU.UTF-8
if ! locale -a 2>/dev/null | grep -qixE 'ru_ru\.utf-?8'; then
  die 125 "locale $locale_name is not generated (Wine would not use code page 1251); run scripts/setup.sh"
fi
export LANG=$locale_name LC_ALL=$locale_name
unset LANGUAGE

# Makes the prefix once. Concurrent first runs (ctest -j) wait on one lock;
# the marker is written only after wineboot and its server have finished, so
# a run that was killed half-way is redone. wineboot gets no display, so it
# never waits for one, and the session it starts ends before the program's.
init_prefix() {
  [[ -f $WINEPREFIX/.zum-ready ]] && return 0
  lock
  if [[ ! -f $WINEPREFIX/.zum-ready ]]; then
    local log=$WINEPREFIX.boot.log
    # Managed=N: no window manager runs on the virtual screen, and a managed
    # window makes Wine wait for one (about 2 s) each time it is shown or hidden.
    if ! env -u DISPLAY -u WAYLAND_DISPLAY timeout 600 "$WINE" wineboot -i >"$log" 2>&1 {lock_fd}>&- \
      || ! env -u DISPLAY -u WAYLAND_DISPLAY timeout 300 "$WINE" reg add 'HKCU\Software\Wine\X11 Driver' \
        /v Managed /d N /f >>"$log" 2>&1 {lock_fd}>&- \
      || ! timeout 300 "$WINESERVER" -w >>"$log" 2>&1 {lock_fd}>&-; then
      tail -n 20 "$log" >&2
      die 125 "wineboot failed for prefix $WINEPREFIX (log: $log)"
    fi
    touch "$WINEPREFIX/.zum-ready"
  fi
  unlock
}

init_prefix
[[ $1 == --init ]] && exit 0

[[ -e $1 ]] || die 127 "no such program: $1"

if [[ ${ZUM_XVFB:-0} == 1 ]]; then
  DISPLAY=$(xvfb_display) || exit $?
  export DISPLAY
  unset WAYLAND_DISPLAY
fi
exec "$WINE" "$@"
