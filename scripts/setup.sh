#!/usr/bin/env bash
# Prepares a Debian 12 machine to build and test the project, for Linux and,
# cross-compiled, for Windows. Safe to run again: it only does what is missing.
#
#   1. installs the missing Debian packages (apt-get);
#   2. generates the ru_RU.UTF-8 locale (Wine needs it for code page 1251);
#   3. cross-builds, once, into build/deps/mingw (include/, lib/):
#        liblzma, static, from the distribution's xz-utils source package;
#        GoogleTest (gtest and gmock), static, from /usr/src/googletest;
#      and liblzma once more for 32-bit Windows into build/deps/mingw32 (the
#      32-bit installer needs nothing else).
#
# Run as root (or with passwordless sudo) when packages or the locale are
# missing. ZUM_REBUILD_DEPS=1 rebuilds the cross-built libraries.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
DEPS=$ROOT/build/deps
PREFIX=$DEPS/mingw
LOGS=$DEPS/logs
TOOLCHAIN=$ROOT/cmake/mingw-w64.cmake
TRIPLE=x86_64-w64-mingw32
JOBS=${ZUM_JOBS:-2}

PACKAGES=(
  build-essential cmake ninja-build g++ dpkg-dev
  liblzma-dev libgtest-dev googletest xz-utils libdivsufsort-dev
  mingw-w64 g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  g++-mingw-w64-i686-posix gcc-mingw-w64-i686-posix binutils-mingw-w64-i686   # the 32-bit installer
  wine64 wine xvfb xauth
  liblnk-utils locales valgrind
  x11-apps x11-utils imagemagick xdotool   # screenshots of the Windows build (scripts/screenshot.sh)
  bsdiff xdelta3 zstd                       # reference tools the benchmarks measure against
  strace clang libclang-rt-14-dev           # fault cross-checks and the fuzzers
  osslsigncode openssl                      # signing updates in the tests
)

started=$SECONDS
say() { printf 'setup: %s\n' "$*"; }
die() { printf 'setup: ERROR: %s\n' "$*" >&2; exit 1; }
on_exit() {
  local rc=$?
  ((rc == 0)) || printf 'setup: FAILED (exit %d); see the messages above\n' "$rc" >&2
}
trap on_exit EXIT

# Runs a command with its output in a log; on failure shows the end of the log.
logged() {
  local log=$1; shift
  if ! "$@" >>"$log" 2>&1; then
    printf '%s\n' "---- last lines of $log ----" >&2
    tail -n 40 "$log" >&2
    printf '%s\n' "----" >&2
    die "failed: $*"
  fi
}

as_root() {
  if [[ $EUID -eq 0 ]]; then
    "$@"
  elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
    sudo -n "$@"
  else
    die "needs root for: $*"
  fi
}

export DEBIAN_FRONTEND=noninteractive
APT_QUIET=-q
APT_WAIT=(-o DPkg::Lock::Timeout=600)   # wait for another apt-get rather than fail
[[ ${CI:-} == true ]] && APT_QUIET=-qq

mkdir -p "$DEPS" "$LOGS"
exec 9>"$DEPS/.setup.lock"
if ! flock -n 9; then
  say "another setup.sh is running; waiting for it"
  flock 9
fi

# ---- 1. packages -----------------------------------------------------------
command -v dpkg-query >/dev/null || die "dpkg-query not found: this script expects Debian 12"
missing=()
declare -A have=()
while read -r name status; do
  [[ $status == installed ]] && have[$name]=1
done < <(dpkg-query -W -f='${Package} ${db:Status-Status}\n' "${PACKAGES[@]}" 2>/dev/null || true)
for p in "${PACKAGES[@]}"; do
  [[ -n ${have[$p]:-} ]] || missing+=("$p")
done

apt_updated=0
apt_update() {
  say "apt-get update"
  logged "$LOGS/apt.log" as_root apt-get "${APT_WAIT[@]}" $APT_QUIET update
  apt_updated=1
}

if ((${#missing[@]})); then
  say "installing: ${missing[*]}"
  command -v apt-get >/dev/null || die "apt-get not found; install by hand: ${missing[*]}"
  apt_update
  logged "$LOGS/apt.log" as_root apt-get "${APT_WAIT[@]}" $APT_QUIET install -y "${missing[@]}"
else
  say "packages: all ${#PACKAGES[@]} present"
fi

for tool in cmake ninja make "$TRIPLE-gcc-posix" "$TRIPLE-g++-posix" "$TRIPLE-windres" \
    i686-w64-mingw32-gcc-posix i686-w64-mingw32-g++-posix xvfb-run lnkinfo flock; do
  command -v "$tool" >/dev/null || die "$tool is still missing after the package step"
done
[[ -x /usr/lib/wine/wine64 ]] || command -v wine64 >/dev/null || die "the wine64 loader is missing after the package step"
[[ -f /usr/src/googletest/CMakeLists.txt ]] || die "/usr/src/googletest is missing (package googletest)"

# ---- 2. locale -------------------------------------------------------------
if locale -a 2>/dev/null | grep -qixE 'ru_ru\.utf-?8'; then
  say "locale ru_RU.UTF-8: present"
else
  say "generating locale ru_RU.UTF-8"
  if grep -qE '^[[:space:]]*ru_RU\.UTF-8[[:space:]]+UTF-8' /etc/locale.gen 2>/dev/null; then
    :
  elif grep -qE '^#[[:space:]]*ru_RU\.UTF-8[[:space:]]+UTF-8' /etc/locale.gen 2>/dev/null; then
    as_root sed -i -E 's/^#[[:space:]]*(ru_RU\.UTF-8[[:space:]]+UTF-8)/\1/' /etc/locale.gen
  else
    echo 'ru_RU.UTF-8 UTF-8' | as_root tee -a /etc/locale.gen >/dev/null
  fi
  logged "$LOGS/locale.log" as_root locale-gen
  locale -a 2>/dev/null | grep -qixE 'ru_ru\.utf-?8' || die "locale-gen did not produce ru_RU.UTF-8"
fi

# ---- 3. cross-built libraries ----------------------------------------------
[[ ${ZUM_REBUILD_DEPS:-0} == 1 ]] &&
  rm -f "$PREFIX/.stamp-liblzma" "$PREFIX/.stamp-googletest" "$DEPS/mingw32/.stamp-liblzma"
mkdir -p "$PREFIX"

codename() {
  local c=
  [[ -r /etc/os-release ]] && c=$(. /etc/os-release && echo "${VERSION_CODENAME:-}")
  echo "${c:-bookworm}"
}

# Prints a deb-src line for "<codename> main", made from the first matching
# "deb" entry of the machine's own sources (one-line or deb822 format).
derive_deb_src() {
  local suite=$1 f
  shopt -s nullglob
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [[ -f $f && $f != "$ZUM_SRC_LIST" ]] || continue
    awk -v suite="$suite" '
      $1 == "deb" {
        opts = ""; i = 2
        if ($2 ~ /^\[/) { opts = $2; while ($i !~ /\]$/) { i++; opts = opts " " $i }; i++ }
        uri = $i; s = $(i + 1)
        if (s != suite) next
        for (k = i + 2; k <= NF; k++) if ($k == "main") {
          print "deb-src " (opts != "" ? opts " " : "") uri " " suite " main"; exit
        }
      }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    awk -v suite="$suite" '
      function flush() {
        if (types ~ /(^| )deb( |$)/ && enabled != "no" && uri != "" &&
            (" " suites " ") ~ (" " suite " ") && (" " comps " ") ~ / main /) {
          printf "deb-src %s%s %s main\n", (signed ~ /^\// ? "[signed-by=" signed "] " : ""), uri, suite
          found = 1; exit
        }
        types = uri = suites = comps = signed = enabled = ""
      }
      /^[[:space:]]*#/ { next }
      /^[[:space:]]*$/ { flush(); next }
      /^[^[:space:]]/ {
        key = tolower($1); sub(/:$/, "", key); $1 = ""; val = $0; sub(/^[[:space:]]+/, "", val)
        if (key == "types") types = val
        else if (key == "uris") { split(val, u, " "); uri = u[1] }
        else if (key == "suites") suites = val
        else if (key == "components") comps = val
        else if (key == "signed-by") signed = val
        else if (key == "enabled") enabled = tolower(val)
      }
      END { if (!found) flush() }' "$f"
  done
}

ZUM_SRC_LIST=/etc/apt/sources.list.d/zum-deb-src.list
ensure_deb_src() {
  local suite line
  suite=$(codename)
  # Already there (ours, or the machine's own deb-src entries)?
  if apt-get indextargets --no-release-info --format '$(RELEASE) $(COMPONENT)' 'Identifier: Sources' \
      2>/dev/null | grep -qx "$suite main"; then
    return 0
  fi
  line=$(derive_deb_src "$suite" | head -n 1)
  [[ -n $line ]] || die "no 'deb ... $suite main' entry in /etc/apt/sources.list{,.d} to derive a deb-src entry from"
  say "adding source index: $line ($ZUM_SRC_LIST)"
  printf '# Source packages, for cross-building liblzma (added by scripts/setup.sh).\n%s\n' "$line" \
    | as_root tee "$ZUM_SRC_LIST" >/dev/null
  apt_update
}

build_liblzma() {
  local work=$DEPS/xz-utils log=$LOGS/liblzma-$TRIPLE.log ver src fetched=0
  : >"$log"
  ensure_deb_src
  rm -rf "$work"
  mkdir -p "$work"
  # The version of the installed liblzma-dev when its source is available,
  # else the distribution's current one.
  ver=$(dpkg-query -W -f='${source:Version}' liblzma-dev 2>/dev/null || true)
  say "liblzma: fetching the xz-utils source package${ver:+ ($ver)}"
  fetch() {
    (cd "$work" && { { [[ -n $ver ]] && apt-get $APT_QUIET source "xz-utils=$ver"; } \
                     || apt-get $APT_QUIET source xz-utils; }) >>"$log" 2>&1
  }
  if fetch; then
    fetched=1
  elif ((!apt_updated)); then
    apt_update
    fetch && fetched=1
  fi
  ((fetched)) || { tail -n 20 "$log" >&2; die "apt-get source xz-utils failed (log: $log)"; }
  src=$(find "$work" -mindepth 1 -maxdepth 1 -type d -name 'xz-utils-*' | head -n 1)
  [[ -n $src && -x $src/configure ]] || die "unpacked xz-utils source not found in $work"
  ver=$(cd "$src" && dpkg-parsechangelog -S Version 2>/dev/null || basename "$src")

  say "liblzma: configuring $ver for $TRIPLE"
  mkdir -p "$work/build"
  (cd "$work/build" && logged "$log" "$src/configure" \
    --host="$TRIPLE" --prefix="$PREFIX" \
    CC="$TRIPLE-gcc-posix" CFLAGS="-O2" \
    --enable-static --disable-shared \
    --disable-xz --disable-xzdec --disable-lzmadec --disable-lzmainfo \
    --disable-lzma-links --disable-scripts --disable-doc --disable-nls)
  say "liblzma: building"
  logged "$log" make -C "$work/build/src/liblzma" -j"$JOBS"
  logged "$log" make -C "$work/build/src/liblzma" install
  [[ -f $PREFIX/lib/liblzma.a && -f $PREFIX/include/lzma.h ]] || die "liblzma install incomplete in $PREFIX"
  echo "$ver" >"$PREFIX/.stamp-liblzma"
  rm -rf "$work"
}

build_googletest() {
  local bdir=$DEPS/googletest-build log=$LOGS/googletest.log ver
  : >"$log"
  ver=$(dpkg-query -W -f='${Version}' googletest 2>/dev/null || echo unknown)
  say "googletest: configuring $ver for $TRIPLE"
  rm -rf "$bdir"
  logged "$log" cmake -S /usr/src/googletest -B "$bdir" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$PREFIX" -DBUILD_GMOCK=ON -DINSTALL_GTEST=ON \
    -DBUILD_SHARED_LIBS=OFF
  say "googletest: building"
  logged "$log" cmake --build "$bdir" -j "$JOBS"
  logged "$log" cmake --install "$bdir"
  [[ -f $PREFIX/lib/libgtest.a && -f $PREFIX/lib/cmake/GTest/GTestConfig.cmake ]] \
    || die "googletest install incomplete in $PREFIX"
  echo "$ver" >"$PREFIX/.stamp-googletest"
  rm -rf "$bdir"
}

# liblzma for each Windows target: TRIPLE and PREFIX name the one being built.
for target in "x86_64-w64-mingw32 $DEPS/mingw" "i686-w64-mingw32 $DEPS/mingw32"; do
  read -r TRIPLE PREFIX <<<"$target"
  mkdir -p "$PREFIX"
  if [[ -f $PREFIX/.stamp-liblzma && -f $PREFIX/lib/liblzma.a ]]; then
    say "liblzma for $TRIPLE: cached ($(cat "$PREFIX/.stamp-liblzma"))"
  else
    t=$SECONDS; build_liblzma; say "liblzma for $TRIPLE: done in $((SECONDS - t)) s"
  fi
done
TRIPLE=x86_64-w64-mingw32
PREFIX=$DEPS/mingw
if [[ -f $PREFIX/.stamp-googletest && -f $PREFIX/lib/libgtest.a ]]; then
  say "googletest for $TRIPLE: cached ($(cat "$PREFIX/.stamp-googletest"))"
else
  t=$SECONDS; build_googletest; say "googletest: done in $((SECONDS - t)) s"
fi

say "ready in $((SECONDS - started)) s (Windows libraries in ${PREFIX#"$ROOT"/})"
