#!/usr/bin/env bash
# Pacing, latency, cost and scale of the cameras as applications see them:
# installs the built TELVOR.AX into a scratch folder of the build tree's Wine
# prefix, feeds cameras with telvor-feed and measures them with
# telvor-capture, then unregisters. See bench/README.md.
#
#   bench/pacing/run-pacing.sh [--build DIR] [--seconds S] [--module PATH] [--live-slots N]
#                              [video|audio|scale|all]...
# --live-slots N is passed to every telvor-feed (the producer's default otherwise).
set -u
build=build/windows
seconds=60
module=
live_slots=()
cases=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --live-slots) live_slots=(--live-slots "$2"); shift 2 ;;
    video|audio|scale|all) cases+=("$1"); shift ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
[ ${#cases[@]} -eq 0 ] && cases=(all)
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "$build" && pwd)
module=${module:-$build/src/dll/TELVOR.AX}
feed=$build/tools/feed/telvor-feed.exe
capture=$build/tools/capture/telvor-capture.exe
run() { "$root/scripts/wine-run" --prefix "$build/wineprefix" "$@"; }
winpath() { echo "Z:$1" | tr / '\\'; }

work=$(mktemp -d "$build/bench-pacing.XXXXXX")
results=$work/results
mkdir -p "$results"
cp "$module" "$work/TELVOR.AX"
export TELVOR_LOG=$(winpath "$work/telvor.log")

# Cameras (index N is "FILTER.*.NN" with NN = N + 1):
#   0  1920x1080 RGB32          1  1280x720 YV12, scale style 2
#   2  audio only               10..17  1280x720 YUY2, 10..13 with audio
{
  echo "[CONFIG]"
  echo "FILTERS=18"
  camera() {  # index name colourspace width height style
    local n; n=$(printf %02d $(($1 + 1)))
    echo "FILTER.VIDEO.NAME.$n=$2"
    echo "FILTER.COLORSPACE.$n=$3"
    echo "FILTER.DEFAULT.OUTPUT.W.$n=$4"
    echo "FILTER.DEFAULT.OUTPUT.H.$n=$5"
    echo "FILTER.FPS.$n=30"
    echo "FILTER.SCALE.STYLE.$n=$6"
  }
  camera 0 "TELVOR bench 1080p" RGB32 1920 1080 0
  camera 1 "TELVOR bench 720p" YV12 1280 720 2
  echo "FILTER.AUDIO.NAME.03=TELVOR bench mic"
  for i in 10 11 12 13 14 15 16 17; do
    camera $i "TELVOR bench scale $i" YUY2 1280 720 0
    [ $i -lt 14 ] && echo "FILTER.AUDIO.NAME.$(printf %02d $((i + 1)))=TELVOR bench scale mic $i"
  done
} | sed 's/$/\r/' > "$work/TELVOR.INI"

run regsvr32 /s "$(winpath "$work/TELVOR.AX")" || { echo "registration failed" >&2; exit 1; }
trap 'run regsvr32 /u /s "$(winpath "$work/TELVOR.AX")"' EXIT
run "$capture" --list

lead=3                          # feed runs this long before a capture starts
feed_for=$((seconds + lead + 15))

# Starts telvor-feed in the background: camera, then feed options.
start_feed() {
  local cam=$1; shift
  run "$feed" --camera "$cam" --status 0 --duration "$feed_for" "${live_slots[@]}" "$@" > "$results/feed-$cam.txt" 2>&1 &
}

# Runs telvor-capture; output in $results/<name>.txt.
capture_to() {
  local name=$1; shift
  run "$capture" --duration "$seconds" "$@" > "$results/$name.txt" 2>&1
}

# Prints key=value figures of a result file on one line, then the checks.
value() { sed -n "s/^$2=//p" "$results/$1.txt" | tr -d '\r'; }
check() {  # name description awk-condition
  if awk "BEGIN { exit !($3) }"; then echo "  met:    $2"; else echo "  MISSED: $2"; fi
}

# Stamps against the stream time of arrival, beside latency and jitter:
# offsets of a live source stay at or above 0, and nothing comes before Run.
offsets() {  # result-name video|audio
  local v="$1" k="$2"
  echo "  $k offset (arrival stream time - start) p50/p99/max/min: $(value "$v" "${k}_offset_p50_ms")/$(value "$v" "${k}_offset_p99_ms")/$(value "$v" "${k}_offset_max_ms")/$(value "$v" "${k}_offset_min_ms") ms"
  local before; before=$(value "$v" "${k}_before_run")
  check "$v" "$k samples before Run: ${before} = 0" "\"${before}\" == \"0\""
}

video_case() {  # name camera-name format size
  local name=$1 device=$2 format=$3 size=$4
  start_feed "$5" --format yuy2 --size 1920x1080 --fps 30 --stamp --no-audio
  sleep "$lead"
  # The clock alone in the same minute: what the camera's jitter is set against.
  capture_to "$name-clock" --clock &
  capture_to "$name" --video "$device" --format "$format" --size "$size"
  wait
  grep '^telvor-capture:' "$results/$name.txt" "$results/$name-clock.txt" | sed 's/^[^:]*://'
  local expected=$((30 * seconds))
  local samples delivered jitter latency
  samples=$(value "$name" samples); delivered=$(value "$name" frames_delivered_pct)
  jitter=$(value "$name" jitter_p99_ms); latency=$(value "$name" latency_p99_ms)
  # No stamped frame seen means no latency was measured, which is not a pass.
  [ "$(value "$name" latency_count)" = 0 ] && latency=
  check "$name" "samples $samples within 1 of $expected" "${samples:-0} >= $expected - 1 && ${samples:-0} <= $expected + 1"
  check "$name" "distinct frames ${delivered}% >= 99%" "${delivered:-0} >= 99"
  check "$name" "jitter p99 ${jitter} ms <= 2 ms" "${jitter:-999} <= 2"
  check "$name" "latency p99 ${latency} ms <= 66.7 ms" "${latency:-999} <= 66.67"
  echo "  jitter p50/p99/max: $(value "$name" jitter_p50_ms)/${jitter}/$(value "$name" jitter_max_ms) ms; latency p50/p99/max: $(value "$name" latency_p50_ms)/${latency}/$(value "$name" latency_max_ms) ms; first picture $(value "$name" video_first_frame_delay_ms) ms after its write"
  offsets "$name" video
  echo "  cpu per delivered frame: $(value "$name" cpu_ms_per_frame) ms"
}

audio_case() {  # name with-producer
  local name=$1
  [ "$2" = yes ] && start_feed 2 --no-video
  sleep "$lead"
  capture_to "$name" --audio "TELVOR bench mic"
  wait
  grep '^telvor-capture:' "$results/$name.txt"
  local rate; rate=$(value "$name" rate_per_s)
  check "$name" "rate $rate/s within 0.1% of 48000" "${rate:-0} >= 47952 && ${rate:-0} <= 48048"
  offsets "$name" audio
}

scale_case() {
  local i
  for i in 10 11 12 13 14 15 16 17; do
    if [ $i -lt 14 ]; then start_feed $i --format yuy2 --size 1280x720 --fps 30 --stamp
    else start_feed $i --format yuy2 --size 1280x720 --fps 30 --stamp --no-audio; fi
  done
  sleep "$lead"
  for i in 10 11 12 13 14 15 16 17; do
    capture_to "scale-$i" --video "TELVOR bench scale $i" &
    [ $i -lt 14 ] && capture_to "scale-mic-$i" --audio "TELVOR bench scale mic $i" &
  done
  wait
  local expected=$((30 * seconds))
  for i in 10 11 12 13 14 15 16 17; do
    grep '^telvor-capture:' "$results/scale-$i.txt" || cat "$results/scale-$i.txt"
    local samples distinct; samples=$(value "scale-$i" samples); distinct=$(value "scale-$i" frames_distinct)
    check "scale-$i" "samples $samples within 1% of $expected" "${samples:-0} >= $expected * 0.99 && ${samples:-0} <= $expected * 1.01"
    check "scale-$i" "distinct frames $distinct within 1% of $expected" "${distinct:-0} >= $expected * 0.99"
    offsets "scale-$i" video
    if [ $i -lt 14 ]; then
      grep '^telvor-capture:' "$results/scale-mic-$i.txt" || cat "$results/scale-mic-$i.txt"
      local rate; rate=$(value "scale-mic-$i" rate_per_s)
      check "scale-mic-$i" "rate $rate/s within 1% of 48000" "${rate:-0} >= 47520 && ${rate:-0} <= 48480"
      offsets "scale-mic-$i" audio
    fi
  done
}

for c in "${cases[@]}"; do
  case $c in
    video|all)
      echo "== 1080p30 YUY2 producer -> 1920x1080 RGB32 capture, ${seconds} s"
      video_case rgb32-1080p "TELVOR bench 1080p" rgb32 1920x1080 0
      echo "== 1080p30 YUY2 producer -> 1280x720 YV12 capture (scale style 2), ${seconds} s"
      video_case yv12-720p "TELVOR bench 720p" yv12 1280x720 1 ;;&
    audio|all)
      echo "== audio 48 kHz with the producer, ${seconds} s"
      audio_case audio-fed yes
      echo "== audio 48 kHz without a producer, ${seconds} s"
      audio_case audio-silent no ;;&
    scale|all)
      echo "== scale: eight 720p30 cameras, four with audio, fed and captured at once, ${seconds} s"
      scale_case ;;
  esac
done
echo "results and module log: $work"
