#!/usr/bin/env bash
# telvor-doctor and a capture program run from a folder deeper than MAX_PATH:
# the doctor finds the module beside itself, and the camera names the program
# streaming it by its file name. Wine starts programs there only from its own
# launcher, not from a Windows program, hence a script.
#   deep-folder-test.sh <build-dir> <wine-prefix>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$1 prefix=$2
run() { "$root/scripts/wine-run" --prefix "$prefix" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
# Camera index 50 (kEndToEndCameras + 2), registered from a short folder.
top=telvor-deep-$$ camera=50 name="TELVOR e2e deep folder camera"
deep=$top\\$(printf 'd%.0s' {1..240})
mkdir -p "$prefix/drive_c/${deep//\\//}"
capture=
trap '[ -z "$capture" ] || wait $capture; run regsvr32 /s /u "C:\\$top\\TELVOR.AX"; rm -rf "$prefix/drive_c/$top"' EXIT
printf '[CONFIG]\r\nFILTERS=64\r\nFILTER.VIDEO.NAME.%02d=%s\r\n' $((camera + 1)) "$name" >"$prefix/drive_c/$top/TELVOR.INI"
cp "$build/src/dll/TELVOR.AX" "$prefix/drive_c/$top/"
cp "$build/src/dll/TELVOR.AX" "$build/tools/doctor/telvor-doctor.exe" "$build/tools/capture/telvor-capture.exe" \
  "$prefix/drive_c/${deep//\\//}/"
run regsvr32 /s "C:\\$top\\TELVOR.AX" || fail "regsvr32 exited with $?"

run "C:\\$deep\\telvor-capture.exe" --video "$name" --duration 6 >/dev/null 2>&1 &
capture=$!
for _ in $(seq 20); do
  said=$(run "C:\\$deep\\telvor-doctor.exe" --camera $camera --sample-ms 200 || true)
  [[ $said == *"is reading it right now"* ]] && break
  sleep 0.5
done
[[ $said == *"Module: C:\\$deep\\TELVOR.AX"[[:space:]]* ]] || fail "the doctor did not take the module beside it: $said"
[[ $said == *"watchers: telvor-capture.exe ("*") is reading it right now"* ]] ||
  fail "the camera did not name telvor-capture.exe: $said"

# A registration whose path is longer than 1,024 characters is read whole:
# the doctor names it rather than calling the camera unregistered.
long=$top\\$(printf 'l%.0s' {1..250})
for _ in 1 2 3 4; do long=$long\\$(printf 'm%.0s' {1..250}); done
mkdir -p "$prefix/drive_c/${long//\\//}"
cp "$build/src/dll/TELVOR.AX" "$prefix/drive_c/${long//\\//}/"
clsid='{992DFFB6-575E-47D4-A9CE-D763D7FF3B32}'  # camera 50's video device
run reg add "HKCR\\CLSID\\$clsid\\InprocServer32" /ve /d "C:\\$long\\TELVOR.AX" /f >/dev/null ||
  fail "reg add exited with $?"
said=$(run "C:\\$deep\\telvor-doctor.exe" --module "C:\\$top\\TELVOR.AX" --camera $camera --sample-ms 200 || true)
[[ $said == *"C:\\$long\\TELVOR.AX"* && $said != *"is not registered for 64-bit"* ]] ||
  fail "the doctor did not read the long registration: $said"
echo "deep folder test: PASS"
