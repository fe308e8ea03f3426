// How a pin describes its running stream in its camera's watch status
// (transport/WatchStatus.h).
#pragma once

#include <windows.h>
#include <mmreg.h>

#include "filter/video/VideoMediaTypes.h"
#include "transport/WatchStatus.h"

namespace telvor {

WatchFormat VideoWatchFormat(const OutputFormat& format);
WatchFormat AudioWatchFormat(const WAVEFORMATEX& format);

}  // namespace telvor
