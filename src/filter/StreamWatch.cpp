#include "filter/StreamWatch.h"

#include <cstdio>

namespace telvor {

WatchFormat VideoWatchFormat(const OutputFormat& format) {
  WatchFormat watch = {WatchKind::kVideo, {}, format.width, format.height, 0};
  if (format.frameDuration > 0) watch.rate_milli = static_cast<std::uint32_t>(10000000000ll / format.frameDuration);
  const VideoSubtypeInfo* info = FindVideoSubtype(format.subtype);
  if (!info) {
    std::snprintf(watch.format, sizeof watch.format, "?");
  } else if (info->compression == BI_RGB) {
    std::snprintf(watch.format, sizeof watch.format, "RGB%u", static_cast<unsigned>(info->bitCount));
  } else {
    const DWORD c = info->compression;
    std::snprintf(watch.format, sizeof watch.format, "%c%c%c%c", static_cast<char>(c), static_cast<char>(c >> 8),
                  static_cast<char>(c >> 16), static_cast<char>(c >> 24));
  }
  return watch;
}

WatchFormat AudioWatchFormat(const WAVEFORMATEX& format) {
  return {WatchKind::kAudio, "PCM", format.nChannels, format.wBitsPerSample, format.nSamplesPerSec};
}

}  // namespace telvor
