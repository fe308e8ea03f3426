#!/usr/bin/env bash
# The zip a user gets: it holds what the README promises, install.cmd registers
# every camera's classes in the registry view of each module's bitness, and
# uninstall.cmd leaves no class entry behind.
#   package-test.sh <build-dir-64> <build-dir-32> <wine-prefix>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
b64=$1 b32=$2 prefix=$3
run() { "$root/scripts/wine-run" --prefix "$prefix" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

expected="TELVOR.AX telvor-feed.exe telvor-capture.exe telvor-props.exe telvor-doctor.exe TELVOR.INI install.cmd
  uninstall.cmd README.txt producer/include/telvor_producer.h producer/lib/x64/libtelvor_producer.a"
views="64"
if [ -d "$b32" ]; then
  expected+=" TELVOR32.AX telvor-feed32.exe producer/lib/x86/libtelvor_producer.a"
  views="64 32"
else
  echo "no 32-bit tree at $b32: checking the 64-bit package only"
fi
zip=$("$root/scripts/package" "$b64" "$b32" "$out" | tail -n1)
top=$(basename "$zip" .zip)
listed=$(unzip -Z1 "$zip" | grep -v '/$' | sort)
want=$(for f in $expected; do echo "$top/$f"; done | sort)
[ "$listed" = "$want" ] || fail "package contents differ:"$'\n'"$(diff <(echo "$want") <(echo "$listed"))"

run --setup-only
rm -rf "$prefix/drive_c/$top"
unzip -q "$zip" -d "$prefix/drive_c"
# Cameras 1 and 2 of the example TELVOR.INI: indexes 0 and 1, free in test prefixes.
ids="{992DFFB6-575E-47D4-A9CE-D763D7FF3B00} {992DFFB6-575E-47D4-A9CE-D763D7FF3C00} {992DFFB6-575E-47D4-A9CE-D763D7FF3B01}"
registered() {  # prints "<view> <id>" for every camera class entry present
  for view in $views; do for id in $ids; do
    run reg query "HKLM\\Software\\Classes\\CLSID\\$id" "/reg:$view" >/dev/null 2>&1 && echo "$view $id"
  done; done; true
}
run cmd /c "C:\\$top\\install.cmd" || fail "install.cmd exited with $?"
[ "$(registered | wc -l)" = $(( $(wc -w <<<"$views") * 3 )) ] || fail "after install.cmd, registered: $(registered)"
run cmd /c "C:\\$top\\uninstall.cmd" || fail "uninstall.cmd exited with $?"
[ -z "$(registered)" ] || fail "left behind by uninstall.cmd: $(registered)"
echo "package test: PASS"
