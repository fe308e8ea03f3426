#!/usr/bin/env bash
# Pacing, latency, cost and scale of the cameras as applications see them:
# installs the built TELVOR.AX into a scratch folder of the build tree's Wine
# prefix, feeds cameras with telvor-feed and measures them with
# telvor-capture, then unregisters. See bench/README.md.
#
#   bench/pacing/run-pacing.sh [--build DIR] [--seconds S] [--module PATH] [--live-slots N]
#                              [--feed-format yuy2|yv12] [video|rates|av|audio|scale|all]...
# --live-slots N is passed to every telvor-feed (the producer's default otherwise);
# --feed-format picks the pictures' format of the video cases' producer (yuy2 by default).
set -u
build=build/windows
seconds=60
module=
live_slots=()
feed_format=yuy2
cases=()
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --seconds) seconds=$2; shift 2 ;;
    --module) module=$2; shift 2 ;;
    --live-slots) live_slots=(--live-slots "$2"); shift 2 ;;
    --feed-format) feed_format=$2; shift 2 ;;
    video|rates|av|audio|scale|all) cases+=("$1"); shift ;;
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
#   2  audio only               3  1920x1080 RGB32 at 60 fps
#   4  1280x720 YV12 with audio 10..17  1280x720 YUY2, 10..13 with audio
{
  echo "[CONFIG]"
  echo "FILTERS=18"
  camera() {  # index name colourspace width height style [fps]
    local n; n=$(printf %02d $(($1 + 1)))
    echo "FILTER.VIDEO.NAME.$n=$2"
    echo "FILTER.COLORSPACE.$n=$3"
    echo "FILTER.DEFAULT.OUTPUT.W.$n=$4"
    echo "FILTER.DEFAULT.OUTPUT.H.$n=$5"
    echo "FILTER.FPS.$n=${7:-30}"
    echo "FILTER.SCALE.STYLE.$n=$6"
  }
  camera 0 "TELVOR bench 1080p" RGB32 1920 1080 0
  camera 1 "TELVOR bench 720p" YV12 1280 720 2
  echo "FILTER.AUDIO.NAME.03=TELVOR bench mic"
  camera 3 "TELVOR bench 1080p60" RGB32 1920 1080 0 60
  camera 4 "TELVOR bench av" YV12 1280 720 2
  echo "FILTER.AUDIO.NAME.05=TELVOR bench av mic"
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

# The frame rule of a case: once (every producer frame exactly once), newest
# (the newest frame at each deadline: some are skipped), atleast (none skipped).
frames_check() {  # name rule
  local repeated dropped; repeated=$(value "$1" frames_repeated); dropped=$(value "$1" frames_dropped)
  case $2 in
    once) check "$1" "every frame exactly once: ${repeated} repeated, ${dropped} dropped" "\"${repeated}\" == \"0\" && \"${dropped}\" == \"0\"" ;;
    atleast) check "$1" "every frame at least once: ${dropped} dropped" "\"${dropped}\" == \"0\"" ;;
    newest) echo "  (frames: the newest at each deadline; ${dropped} skipped, ${repeated} repeated)" ;;
  esac
}

# Latency targets of a case, p50 and p99 in ms (empty: none).
latency_check() {  # name p50-target p99-target
  local p50 p99; p50=$(value "$1" latency_p50_ms); p99=$(value "$1" latency_p99_ms)
  [ "$(value "$1" latency_count)" = 0 ] && p50= && p99=
  [ -n "$2" ] && check "$1" "latency p50 ${p50} ms <= $2 ms" "${p50:-999} <= $2"
  check "$1" "latency p99 ${p99} ms <= $3 ms" "${p99:-999} <= $3"
}

# Jitter against the clock alone measured in the same minute: the target
# counts where the clock alone stayed at or under 1 ms p99.
jitter_check() {  # name clock-name
  local jitter clock; jitter=$(value "$1" jitter_p99_ms); clock=$(value "$2" jitter_p99_ms)
  if awk "BEGIN { exit !(${clock:-999} <= 1) }"; then
    check "$1" "jitter p99 ${jitter} ms <= 2 ms (clock alone ${clock} ms)" "${jitter:-999} <= 2"
  else
    echo "  not judged: jitter p99 ${jitter} ms; the clock alone reached ${clock} ms p99 in the same minute"
  fi
}

# name camera-name format size feed-camera feed-fps camera-fps p50-target p99-target frame-rule
video_case() {
  local name=$1 device=$2 format=$3 size=$4 cam=$5 feed_fps=$6 fps=$7
  start_feed "$cam" --format "$feed_format" --size 1920x1080 --fps "$feed_fps" --stamp --no-audio
  sleep "$lead"
  # The clock alone in the same minute: what the camera's jitter is set against.
  capture_to "$name-clock" --clock --fps "$fps" &
  capture_to "$name" --video "$device" --format "$format" --size "$size"
  wait
  grep '^telvor-capture:' "$results/$name.txt" "$results/$name-clock.txt" | sed 's/^[^:]*://'
  local expected; expected=$(awk "BEGIN { print int($fps * $seconds) }")
  local samples; samples=$(value "$name" samples)
  check "$name" "samples $samples within 1 of $expected" "${samples:-0} >= $expected - 1 && ${samples:-0} <= $expected + 1"
  jitter_check "$name" "$name-clock"
  latency_check "$name" "$8" "$9"
  frames_check "$name" "${10}"
  echo "  jitter p50/p99/max: $(value "$name" jitter_p50_ms)/$(value "$name" jitter_p99_ms)/$(value "$name" jitter_max_ms) ms; latency p50/p99/max: $(value "$name" latency_p50_ms)/$(value "$name" latency_p99_ms)/$(value "$name" latency_max_ms) ms; first picture $(value "$name" video_first_frame_delay_ms) ms after its write"
  offsets "$name" video
  echo "  cpu per delivered frame: $(value "$name" cpu_ms_per_frame) ms"
}

# Sound delay of a stamped capture: p99 at most 20 ms, no packet twice or lost.
sound_check() {  # name
  local p99 repeated missing; p99=$(value "$1" sound_delay_p99_ms)
  repeated=$(value "$1" sound_packets_repeated); missing=$(value "$1" sound_packets_missing)
  [ "$(value "$1" sound_delay_count)" = 0 ] && p99=
  echo "  sound delay p50/p99/max: $(value "$1" sound_delay_p50_ms)/${p99}/$(value "$1" sound_delay_max_ms) ms"
  check "$1" "sound delay p99 ${p99} ms <= 20 ms" "${p99:-999} <= 20"
  check "$1" "sound packets: ${repeated} repeated, ${missing} missing" "\"${repeated}\" == \"0\" && \"${missing}\" == \"0\""
}

# Picture and sound of one camera, captured at once by two applications.
av_case() {
  start_feed 4 --format yuy2 --size 1920x1080 --fps 30 --stamp
  sleep "$lead"
  capture_to av-clock --clock &
  capture_to av-mic --audio "TELVOR bench av mic" &
  capture_to av-video --video "TELVOR bench av" --format yv12 --size 1280x720
  wait
  grep '^telvor-capture:' "$results/av-video.txt" "$results/av-mic.txt" "$results/av-clock.txt" | sed 's/^[^:]*://'
  jitter_check av-video av-clock
  latency_check av-video 8 12
  frames_check av-video once
  sound_check av-mic
  # The picture-to-sound offset from the two delays: medians apart, and the
  # worst of one side's p99 against the other's median.
  local v50 v99 s50 s99
  v50=$(value av-video latency_p50_ms); v99=$(value av-video latency_p99_ms)
  s50=$(value av-mic sound_delay_p50_ms); s99=$(value av-mic sound_delay_p99_ms)
  local median worst
  median=$(awk "BEGIN { d = ${s50:-999} - ${v50:-0}; print d }")
  worst=$(awk "BEGIN { a = ${s99:-999} - ${v50:-0}; b = ${v99:-999} - ${s50:-0}; if (a < 0) a = -a; if (b < 0) b = -b; print (a > b ? a : b) }")
  echo "  picture-to-sound offset (sound delay - picture latency): p50 ${median} ms, worst p99 against p50 ${worst} ms"
  check av "picture and sound within 15 ms (p99): ${worst} ms" "${worst} <= 15"
}

audio_case() {  # name with-producer
  local name=$1
  [ "$2" = yes ] && start_feed 2 --no-video --stamp
  sleep "$lead"
  capture_to "$name" --audio "TELVOR bench mic"
  wait
  grep '^telvor-capture:' "$results/$name.txt"
  local rate; rate=$(value "$name" rate_per_s)
  check "$name" "rate $rate/s within 0.1% of 48000" "${rate:-0} >= 47952 && ${rate:-0} <= 48048"
  offsets "$name" audio
  [ "$2" = yes ] && sound_check "$name"
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
    latency_check "scale-$i" "" 12
    frames_check "scale-$i" once
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
      echo "== 1080p30 ${feed_format^^} producer -> 1920x1080 RGB32 capture, ${seconds} s"
      video_case rgb32-1080p "TELVOR bench 1080p" rgb32 1920x1080 0 30 30 5 8 once
      echo "== 1080p30 ${feed_format^^} producer -> 1280x720 YV12 capture (scale style 2), ${seconds} s"
      video_case yv12-720p "TELVOR bench 720p" yv12 1280x720 1 30 30 5 8 once
      echo "== 1080p60 ${feed_format^^} producer -> 1920x1080 RGB32 capture at 60 fps, ${seconds} s"
      video_case rgb32-1080p60 "TELVOR bench 1080p60" rgb32 1920x1080 3 60 60 5 8 once ;;&
    rates|all)
      echo "== 60 fps producer -> 30 fps camera (1920x1080 RGB32), ${seconds} s"
      video_case rate-60-30 "TELVOR bench 1080p" rgb32 1920x1080 0 60 30 "" 21.7 newest
      echo "== 25 fps producer -> 30 fps camera (1920x1080 RGB32), ${seconds} s"
      video_case rate-25-30 "TELVOR bench 1080p" rgb32 1920x1080 0 25 30 "" 45 atleast ;;&
    av|all)
      echo "== picture and sound of one camera: 1080p30 + 48 kHz producer -> 720p YV12 + microphone, ${seconds} s"
      av_case ;;&
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
