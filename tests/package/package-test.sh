#!/usr/bin/env bash
# The zip a user gets: it holds what the README promises, install.cmd registers
# every camera's classes in the registry view of each module's bitness, a
# developer builds producers from its producer folder alone (MinGW, and LLVM's
# linker for the MSVC import library) that feed the cameras FFmpeg records,
# and uninstall.cmd leaves no class entry behind.
#   package-test.sh <build-dir-64> <build-dir-32> <wine-prefix>
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
b64=$1 b32=$2 prefix=$3
run() { "$root/scripts/wine-run" --prefix "$prefix" "$@"; }
fail() { echo "FAIL: $*" >&2; exit 1; }
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

expected="TELVOR.AX telvor-feed.exe telvor_producer.dll telvor-capture.exe telvor-appcheck.exe telvor-props.exe telvor-doctor.exe
  TELVOR.INI install.cmd uninstall.cmd README.txt producer/include/telvor_producer.h"
producer() { echo "producer/lib/$1/telvor_producer.lib producer/lib/$1/libtelvor_producer.dll.a
  producer/bin/$1/telvor_producer.dll"; }
expected+=" $(producer x64)"
views="64" arches="x64"
if [ -d "$b32" ]; then
  expected+=" TELVOR32.AX telvor-feed32.exe telvor_producer32.dll $(producer x86)"
  if "$root/scripts/runs-32bit"; then
    views="64 32" arches="x64 x86"
  else
    echo "the 32-bit files are checked in the zip only"
  fi
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

pkg=$prefix/drive_c/$top
feeds=telvor-feed.exe
[ "$arches" = x64 ] || feeds+=" telvor-feed32.exe"
for feed in $feeds; do
  [ ! -f "$pkg/$feed" ] || run "C:\\$top\\$feed" --version >/dev/null || fail "$feed does not start beside its DLL"
done
functions=$(grep -o 'TELVOR_CALL telvor_[a-z_]*' "$pkg/producer/include/telvor_producer.h" | cut -d' ' -f2 | sort)
# Row `height / 2` of each of the last 5 frames of a raw YUY2 recording must
# be the fed colour exactly (a placed solid colour stays that colour).
solid() {  # file width height Y U V
  local rows k
  rows=$(( $(stat -c %s "$1") / ($2 * 2) ))
  (( rows >= 5 * $3 )) || return 1
  for k in 1 2 3 4 5; do
    dd if="$1" bs=$(( $2 * 2 )) skip=$(( rows - k * $3 + $3 / 2 )) count=1 status=none | od -An -tu1 -v -w4 |
      awk -v y="$4" -v u="$5" -v v="$6" 'function off(a, b) { return a != b }
        off($1, y) || off($3, y) || off($2, u) || off($4, v) { bad++ } END { exit !(NR > 0 && !bad) }' || return 1
  done
}
for arch in $arches; do
  # c1, c2: the colours (Y U V) fed to cameras 1 and 2; at: kernel32's decorations
  case $arch in
    x64) cc=x86_64-w64-mingw32-gcc target=x86_64-pc-windows-msvc machine=i386:x86-64 at=() c1=(81 90 240) c2=(145 54 34) ;;
    x86) cc=i686-w64-mingw32-gcc target=i686-pc-windows-msvc machine=i386 at=(@4 @20 @4) c1=(41 240 110) c2=(210 16 146) ;;
  esac
  dir=$out/$arch dll=$pkg/producer/bin/$arch/telvor_producer.dll lib=$pkg/producer/lib/$arch
  mkdir -p "$dir" && cp "$dll" "$dir/"
  exports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n '/Ordinal\/Name Pointer/,/^$/s/^\s*\[ *[0-9]*\] //p' | sort)
  [ "$exports" = "$functions" ] || fail "$arch DLL exports differ from the header:"$'\n'"$(diff <(echo "$functions") <(echo "$exports"))"
  imports=$(x86_64-w64-mingw32-objdump -p "$dll" | sed -n 's/^\s*DLL Name: //p' | tr A-Z a-z)
  ! grep -Ev '^(kernel32|advapi32|msvcrt|user32|ntdll)\.dll$' <<<"$imports" || fail "$arch DLL needs the DLLs above"
  flags=(-std=c99 -Wall -Werror -I"$pkg/producer/include")
  "$cc" "${flags[@]}" "$root/tests/package/producer.c" -L"$lib" -ltelvor_producer -o "$dir/linked.exe"
  "$cc" "${flags[@]}" -DTELVOR_LOAD_AT_RUN_TIME "$root/tests/package/producer.c" -o "$dir/loaded.exe"
  # No Windows SDK here: kernel32.lib holds just what the program calls.
  printf 'LIBRARY kernel32.dll\nEXPORTS\nGetStdHandle%s\nWriteFile%s\nExitProcess%s\n' "${at[@]}" >"$dir/k32.def"
  llvm-dlltool -m $machine -k -d "$dir/k32.def" -l "$dir/kernel32.lib"
  clang --target=$target -ffreestanding "${flags[@]}" -c "$root/tests/package/nocrt.c" -o "$dir/nocrt.obj"
  lld-link /nologo /nodefaultlib /entry:Start /subsystem:console /machine:$arch /out:"$dir/nocrt.exe" \
    "$dir/nocrt.obj" "$lib/telvor_producer.lib" "$dir/kernel32.lib"
  said=$(run "$dir/nocrt.exe") && [[ $said == *"3 frames written"* ]] || fail "$arch, linked with telvor_producer.lib: $said"

  # Cameras 1 and 2 of the example TELVOR.INI, one fed by each producer.
  run "$dir/linked.exe" 0 "${c1[@]}" "Z:$dir/linked.ready" >"$dir/linked.log" 2>&1 &
  linked=$!
  run "$dir/loaded.exe" 1 "${c2[@]}" "Z:$dir/loaded.ready" $functions >"$dir/loaded.log" 2>&1 &
  loaded=$!
  for _ in $(seq 600); do
    [ -f "$dir/linked.ready" ] && [ -f "$dir/loaded.ready" ] && break
    kill -0 $linked $loaded 2>/dev/null || break
    sleep 0.1
  done
  run "$b64/third_party/ffmpeg.exe" -loglevel error \
    -f dshow -rtbufsize 512M -video_size 1280x720 -pixel_format yuyv422 -i "video=TELVOR Camera 1" \
    -f dshow -rtbufsize 512M -video_size 640x480 -pixel_format yuyv422 -i "video=TELVOR Camera 2" \
    -map 0:v -frames:v 45 -f rawvideo -y "Z:$dir/camera1.yuv" -map 1:v -frames:v 45 -f rawvideo -y "Z:$dir/camera2.yuv" ||
    fail "$arch: FFmpeg could not record the fed cameras"
  wait $linked || fail "$arch producer linked with libtelvor_producer.dll.a: $(cat "$dir/linked.log")"
  wait $loaded || fail "$arch producer that loads the DLL: $(cat "$dir/loaded.log")"
  solid "$dir/camera1.yuv" 1280 720 "${c1[@]}" || fail "$arch: camera 1 did not show the linked producer's colour"
  solid "$dir/camera2.yuv" 640 480 "${c2[@]}" || fail "$arch: camera 2 did not show the loading producer's colour"
done

run cmd /c "C:\\$top\\uninstall.cmd" || fail "uninstall.cmd exited with $?"
[ -z "$(registered)" ] || fail "left behind by uninstall.cmd: $(registered)"
echo "package test: PASS"
