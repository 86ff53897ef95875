#!/usr/bin/env bash
# The Windows installer's image as a vendor ships it, checked on the host: the
# machine it is built for, the GUI subsystem, imports from the system's own DLLs
# only (nothing else has to travel with it), the manifest, the version resource and
# the icon; then an update made with it by the Linux zumpack, signed with a
# throwaway certificate: `osslsigncode verify` and `zumpack verify` pass, and both
# refuse it once a byte of the package is changed.
#
#   tests/tools/stub_check.sh STUB.exe FORMAT
#
#   FORMAT      the objdump format expected: pei-i386 or pei-x86-64
# Environment:
#   ZUM_HOST_TOOLS  the tools folder of a Linux build (zumsample, zumpack/zumpack)
#   ZUM_STUB_WORK   where to make the files (default: a temporary folder)
set -uo pipefail

fail() {
  printf 'stub: FAILED: %s\n' "$*" >&2
  exit 1
}
say() { printf 'stub: %s\n' "$*"; }

case ${1:-} in
  -h|--help) sed -n '2,14s/^# \{0,1\}//p' "${BASH_SOURCE[0]}"; exit 0 ;;
esac
(($# == 2)) || fail "usage: stub_check.sh STUB.exe FORMAT (--help)"
STUB=$1
FORMAT=$2
: "${ZUM_HOST_TOOLS:?set ZUM_HOST_TOOLS to the tools folder of a Linux build}"
ZUMSAMPLE=$ZUM_HOST_TOOLS/zumsample
ZUMPACK=$ZUM_HOST_TOOLS/zumpack/zumpack
OBJDUMP=x86_64-w64-mingw32-objdump   # reads 32- and 64-bit images alike
WINDRES=x86_64-w64-mingw32-windres
[[ -f $STUB ]] || fail "$STUB is missing: build its preset"
for f in "$ZUMSAMPLE" "$ZUMPACK"; do
  [[ -x $f ]] || fail "$f is missing: build the Linux preset first"
done
for t in "$OBJDUMP" "$WINDRES" osslsigncode openssl; do
  command -v "$t" >/dev/null || fail "$t is missing (scripts/setup.sh installs it)"
done

if [[ -n ${ZUM_STUB_WORK:-} ]]; then
  WORK=$ZUM_STUB_WORK
  rm -rf "$WORK"
  mkdir -p "$WORK"
else
  WORK=$(mktemp -d)
  trap 'rm -rf "$WORK"' EXIT
fi

# ---- the image ----------------------------------------------------------------------
"$OBJDUMP" -p "$STUB" >"$WORK/headers.txt" || fail "objdump cannot read $STUB"
grep -q "file format $FORMAT\$" "$WORK/headers.txt" ||
  fail "not $FORMAT: $(grep -m1 'file format' "$WORK/headers.txt")"
grep -qE '^Subsystem[[:space:]]+00000002' "$WORK/headers.txt" || fail "not a GUI program"
mapfile -t dlls < <(sed -n 's/^[[:space:]]*DLL Name: //p' "$WORK/headers.txt")
((${#dlls[@]})) || fail "no imports found"
for d in "${dlls[@]}"; do
  case ${d^^} in
    KERNEL32.DLL|USER32.DLL|GDI32.DLL|ADVAPI32.DLL|SHELL32.DLL|OLE32.DLL|COMCTL32.DLL|\
    COMDLG32.DLL|CRYPT32.DLL|WINTRUST.DLL|MSVCRT.DLL) ;;
    *) fail "imports $d, which Windows does not carry" ;;
  esac
done
say "$FORMAT, GUI subsystem, imports: ${dlls[*]}"

# ---- resources ------------------------------------------------------------------------
"$WINDRES" -J coff -i "$STUB" -O rc -o "$WORK/resources.rc" 2>/dev/null ||
  fail "windres cannot read the resources of $STUB"
need_rc() { grep -q -- "$1" "$WORK/resources.rc" || fail "resources: no $2"; }
need_rc 'RT_MANIFEST' "manifest"
need_rc 'requestedExecutionLevel level=""asInvoker""' "declared execution level"
need_rc 'Microsoft.Windows.Common-Controls' "Common Controls 6 dependency"
need_rc 'dpiAware' "DPI awareness"
need_rc 'supportedOS' "supported-OS entries"
need_rc 'Type: group icon' "icon"
for v in FileDescription ProductName CompanyName FileVersion ProductVersion LegalCopyright; do
  need_rc "VALUE \"$v\"" "$v in the version resource"
done
say "manifest, version resource and icon present"

# ---- an update made with it, signed -------------------------------------------------------
"$ZUMSAMPLE" "$WORK/old" --version 3.0.7 --release 0 >/dev/null || fail "zumsample old"
"$ZUMSAMPLE" "$WORK/new" --version 3.0.7.1 --release 1 >/dev/null || fail "zumsample new"
"$ZUMPACK" build --old "$WORK/old" --new "$WORK/new" --stub "$STUB" -o "$WORK/unsigned.exe" \
  >/dev/null || fail "zumpack build with $STUB"
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=ZUM test vendor" \
  -keyout "$WORK/key.pem" -out "$WORK/cert.pem" >/dev/null 2>&1 || fail "openssl req"
osslsigncode sign -certs "$WORK/cert.pem" -key "$WORK/key.pem" -n "ZUM update" \
  -in "$WORK/unsigned.exe" -out "$WORK/signed.exe" >/dev/null || fail "osslsigncode sign"
rm -f "$WORK/key.pem"
osslsigncode verify -CAfile "$WORK/cert.pem" -in "$WORK/signed.exe" >"$WORK/verify.out" 2>&1 ||
  fail "osslsigncode verify: $(tail -3 "$WORK/verify.out")"
"$ZUMPACK" verify "$WORK/signed.exe" >/dev/null || fail "zumpack verify refuses the signed update"
"$ZUMPACK" list "$WORK/signed.exe" | grep -q "3.0.7.1" || fail "zumpack list cannot read the signed update"
cp "$WORK/signed.exe" "$WORK/flipped.exe"
at=$(($(stat -c %s "$WORK/unsigned.exe") - 200))
printf '\x5a' | dd of="$WORK/flipped.exe" bs=1 seek="$at" conv=notrunc status=none
! osslsigncode verify -CAfile "$WORK/cert.pem" -in "$WORK/flipped.exe" >/dev/null 2>&1 ||
  fail "osslsigncode accepts a changed package"
! "$ZUMPACK" verify "$WORK/flipped.exe" >/dev/null 2>&1 || fail "zumpack accepts a changed package"
say "update $(stat -c %s "$WORK/unsigned.exe") bytes with a stub of $(stat -c %s "$STUB"); signed," \
  "verified by osslsigncode and zumpack; a changed byte fails both"
say "passed"
