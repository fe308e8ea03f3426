// Times each per-frame pixel primitive at every processor level, beside
// libyuv (or libswscale where libyuv has no such conversion) doing the same
// job on the same input restricted to the same instruction sets, and beside a
// memcpy of the output's bytes. Prints milliseconds per frame and the ratios.
#include <libyuv.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ReferenceLevels.h"
#include "imaging/Pixel.h"

namespace {

// Processor time of this thread by default: on a machine shared with other
// jobs the wall clock also counts the time slices given to them.
bool g_wallClock = false;
int g_rounds = 15;

double NowMs() {
  if (g_wallClock) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
  }
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// One timed call and what it needs set first (a processor level), untimed.
struct Contender {
  std::function<void()> prepare;
  std::function<void()> call;
};

// Best batch of many, taken in turns with the competitors so that a busy
// moment on a shared machine slows every contender alike.
std::vector<double> BestMilliseconds(const std::vector<Contender>& contenders) {
  std::vector<double> best(contenders.size(), 1e9);
  for (const auto& c : contenders) {  // warm caches and page in the buffers
    c.prepare();
    c.call();
  }
  for (int round = 0; round < g_rounds; ++round) {
    // Each round starts one contender later, so that none always follows the
    // same one (what ran before moves the next one's time by 10 % here).
    for (std::size_t turn = 0; turn < contenders.size(); ++turn) {
      const std::size_t i = (turn + round) % contenders.size();
      constexpr int kCalls = 5;
      contenders[i].prepare();
      const double start = NowMs();
      for (int k = 0; k < kCalls; ++k) {
        // Below AVX2, as the frame converter does before each frame: legacy
        // SSE code waits on whatever the wide registers' upper parts hold.
        ClearUpperVectorState();
        contenders[i].call();
      }
      best[i] = std::min(best[i], (NowMs() - start) / kCalls);
    }
  }
  return best;
}

std::vector<std::string> g_only;  // job names picked on the command line; empty: all

// Offset of every picture buffer from a 64-byte boundary (--offset N). A large
// malloc block starts 16 bytes past a page boundary, so by default each 64-byte
// vector access straddles two cache lines, for libyuv and for us alike.
std::size_t g_offset = 16;

template <typename T>
struct OffsetAllocator {
  using value_type = T;
  OffsetAllocator() = default;
  template <typename U>
  OffsetAllocator(const OffsetAllocator<U>&) {}
  T* allocate(std::size_t n) {
    auto* block = static_cast<std::uint8_t*>(std::aligned_alloc(64, (n * sizeof(T) + 64 + 63) / 64 * 64 + 64));
    if (!block) throw std::bad_alloc();
    block[g_offset + 63] = static_cast<std::uint8_t>(g_offset);  // the byte before the data says where the block starts
    return reinterpret_cast<T*>(block + g_offset + 64);
  }
  void deallocate(T* p, std::size_t) {
    auto* data = reinterpret_cast<std::uint8_t*>(p);
    std::free(data - 64 - data[-1]);
  }
  bool operator==(const OffsetAllocator&) const { return true; }
  bool operator!=(const OffsetAllocator&) const { return false; }
};
using Bytes = std::vector<std::uint8_t, OffsetAllocator<std::uint8_t>>;

struct Buffers {
  Buffers(int w, int h) : width(w), height(h) {
    std::mt19937 rng(7);
    bgra.resize(std::size_t(w) * h * 4);
    yuy2.resize(std::size_t(w) * h * 2);
    y.resize(std::size_t(w) * h);
    u.resize(std::size_t(w / 2) * (h / 2));
    v2.resize(u.size());
    for (auto* buf : {&bgra, &yuy2, &y, &u, &v2}) {
      for (auto& b : *buf) b = static_cast<std::uint8_t>(rng());
    }
    out.resize(std::size_t(w) * h * 4 + 64);
    outY.resize(y.size());
    outU.resize(u.size());
    outV.resize(u.size());
  }
  int width, height;
  Bytes bgra, yuy2, y, u, v2, out, outY, outU, outV;
};

struct Job {
  const char* name;
  const char* reference;
  std::size_t outBytes;
  std::function<void()> ours;
  std::function<void()> theirs;  // runs restricted to the level in force (RestrictReferences)
};

// libswscale picks its code when a context is made: one per level.
SwsContext* g_yuyvToBgr24[kPxLevelCount];

std::vector<Job> Jobs(Buffers& b) {
  const int w = b.width, h = b.height;
  const PxSize size{w, h};
  const std::size_t px = std::size_t(w) * h;
  const std::uint8_t* planar[3] = {b.y.data(), b.u.data(), b.v2.data()};
  static std::int32_t planarStride[3];
  planarStride[0] = w;
  planarStride[1] = planarStride[2] = w / 2;
  static const std::uint8_t* planes[3];
  std::copy(planar, planar + 3, planes);
  static std::uint8_t* outPlanes[3];
  outPlanes[0] = b.outY.data();
  outPlanes[1] = b.outU.data();
  outPlanes[2] = b.outV.data();
  std::uint8_t* o = b.out.data();
  return {
      {"PxCopyPlane", "CopyPlane", px, [=, &b] { PxCopyPlane(b.y.data(), w, o, w, size); },
       [=, &b] { libyuv::CopyPlane(b.y.data(), w, o, w, w, h); }},
      {"PxCopyPacked422", "CopyPlane", px * 2, [=, &b] { PxCopyPacked422(b.yuy2.data(), 2 * w, o, 2 * w, size); },
       [=, &b] { libyuv::CopyPlane(b.yuy2.data(), 2 * w, o, 2 * w, 2 * w, h); }},
      {"PxYuy2ToYv12", "YUY2ToI420", px * 3 / 2,
       [=, &b] { PxYuy2ToYv12(b.yuy2.data(), 2 * w, outPlanes, planarStride, size); },
       [=, &b] {
         libyuv::YUY2ToI420(b.yuy2.data(), 2 * w, b.outY.data(), w, b.outV.data(), w / 2, b.outU.data(), w / 2, w, h);
       }},
      {"PxInterleavePlanes", "MergeUVPlane", px / 2,
       [=, &b] { PxInterleavePlanes(b.u.data(), w / 2, b.v2.data(), w / 2, o, w, PxSize{w / 2, h / 2}); },
       [=, &b] { libyuv::MergeUVPlane(b.u.data(), w / 2, b.v2.data(), w / 2, o, w, w / 2, h / 2); }},
      {"PxYuy2ToBgr", "sws YUYV->BGR24", px * 3, [=, &b] { PxYuy2ToBgr(b.yuy2.data(), 2 * w, o, 3 * w, size); },
       [=, &b] {
         const std::uint8_t* src[1] = {b.yuy2.data()};
         const int srcStride[1] = {2 * w};
         std::uint8_t* dst[1] = {o};
         const int dstStride[1] = {3 * w};
         sws_scale(g_yuyvToBgr24[CpuLevel()], src, srcStride, 0, h, dst, dstStride);
       }},
      {"PxYuy2ToBgra", "YUY2ToARGB", px * 4, [=, &b] { PxYuy2ToBgra(b.yuy2.data(), 2 * w, o, 4 * w, size, 255); },
       [=, &b] { libyuv::YUY2ToARGB(b.yuy2.data(), 2 * w, o, 4 * w, w, h); }},
      {"PxYv12ToYuy2", "I420ToYUY2", px * 2, [=] { PxYv12ToYuy2(planes, planarStride, o, 2 * w, size); },
       [=, &b] { libyuv::I420ToYUY2(b.y.data(), w, b.v2.data(), w / 2, b.u.data(), w / 2, o, 2 * w, w, h); }},
      {"PxI420ToBgr", "I420ToRGB24", px * 3, [=] { PxI420ToBgr(planes, planarStride, o, 3 * w, size); },
       [=, &b] { libyuv::I420ToRGB24(b.y.data(), w, b.u.data(), w / 2, b.v2.data(), w / 2, o, 3 * w, w, h); }},
      {"PxI420ToBgra", "I420ToARGB", px * 4, [=] { PxI420ToBgra(planes, planarStride, o, 4 * w, size, 255); },
       [=, &b] { libyuv::I420ToARGB(b.y.data(), w, b.u.data(), w / 2, b.v2.data(), w / 2, o, 4 * w, w, h); }},
      {"PxCopyBgra", "ARGBCopy", px * 4, [=, &b] { PxCopyBgra(b.bgra.data(), 4 * w, o, 4 * w, size); },
       [=, &b] { libyuv::ARGBCopy(b.bgra.data(), 4 * w, o, 4 * w, w, h); }},
      {"PxBgraToBgr", "ARGBToRGB24", px * 3, [=, &b] { PxBgraToBgr(b.bgra.data(), 4 * w, o, 3 * w, size); },
       [=, &b] { libyuv::ARGBToRGB24(b.bgra.data(), 4 * w, o, 3 * w, w, h); }},
      {"PxBgraToYuy2", "ARGBToYUY2", px * 2, [=, &b] { PxBgraToYuy2(b.bgra.data(), 4 * w, o, 2 * w, size); },
       [=, &b] { libyuv::ARGBToYUY2(b.bgra.data(), 4 * w, o, 2 * w, w, h); }},
      {"PxBgraToI420", "ARGBToI420", px * 3 / 2,
       [=, &b] { PxBgraToI420(b.bgra.data(), 4 * w, outPlanes, planarStride, size); },
       [=, &b] {
         libyuv::ARGBToI420(b.bgra.data(), 4 * w, b.outY.data(), w, b.outU.data(), w / 2, b.outV.data(), w / 2, w, h);
       }},
  };
}

std::vector<int> g_levels;  // levels to time (--levels), all this processor runs by default

void RunSize(int w, int h) {
  Buffers b(w, h);
  for (int level : g_levels) {
    bench::RestrictReferences(level);
    g_yuyvToBgr24[level] =
        sws_getContext(w, h, AV_PIX_FMT_YUYV422, w, h, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
  }
  bench::UnrestrictReferences();
  Bytes copySrc(std::size_t(w) * h * 4), copyDst(copySrc.size());
  std::printf("\n%dx%d  (ms per frame; each level: the reference restricted to its instruction sets, ours, "
              "ours / reference; * above the reference, ^ slower than plain)\n",
              w, h);
  std::printf("%-18s %-16s %7s |", "primitive", "reference", "memcpy");
  for (int level : g_levels) std::printf("  L%d ref    ours  /ref   |", level);
  std::printf("\n");
  for (Job& job : Jobs(b)) {
    if (!g_only.empty() && std::find(g_only.begin(), g_only.end(), job.name) == g_only.end()) continue;
    const std::size_t n = job.outBytes;
    std::vector<Contender> contenders = {{[] {}, [&] { std::memcpy(copyDst.data(), copySrc.data(), n); }}};
    for (int level : g_levels) {
      // The level in force also picks the libswscale context.
      contenders.push_back({[level] { bench::RestrictReferences(level); ForceCpuLevel(level); }, job.theirs});
      contenders.push_back({[level] { ForceCpuLevel(level); }, job.ours});
    }
    const std::vector<double> ms = BestMilliseconds(contenders);
    bench::UnrestrictReferences();
    std::printf("%-18s %-16s %7.3f |", job.name, job.reference, ms[0]);
    const double plain = g_levels.front() == 0 ? ms[2] : 0;
    for (std::size_t i = 1; i + 1 < ms.size(); i += 2) {
      const double ratio = ms[i + 1] / ms[i];
      const bool slowerThanPlain = plain > 0 && i > 1 && ms[i + 1] > plain;
      std::printf(" %7.3f %7.3f %5.2f%c%c |", ms[i], ms[i + 1], ratio, ratio > 1.0 ? '*' : ' ',
                  slowerThanPlain ? '^' : ' ');
    }
    std::printf("\n");
    std::fflush(stdout);
  }
  for (int level : g_levels) sws_freeContext(g_yuyvToBgr24[level]);
}

}  // namespace

// telvor_bench_pixels [--wall] [--rounds N] [--offset N] [--levels 013] [--size WxH ...] [PxName ...]
int main(int argc, char** argv) {
  std::vector<std::pair<int, int>> sizes;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--levels" && i + 1 < argc) {
      for (const char* c = argv[++i]; *c; ++c) {
        if (*c >= '0' && *c <= '0' + DetectCpuLevel()) g_levels.push_back(*c - '0');
      }
      std::sort(g_levels.begin(), g_levels.end());
    } else if (arg == "--wall") {
      g_wallClock = true;
    } else if (arg == "--offset" && i + 1 < argc) {
      g_offset = static_cast<std::size_t>(std::atoi(argv[++i])) % 64;
    } else if (arg == "--rounds" && i + 1 < argc) {
      g_rounds = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--size" && i + 1 < argc) {
      // Even sizes up to 4K: the 4:2:0 rows take whole 2 x 2 blocks.
      int width = 0, height = 0;
      if (std::sscanf(argv[++i], "%dx%d", &width, &height) == 2 && width >= 2 && height >= 2 && width <= 4096 &&
          height <= 4096) {
        sizes.emplace_back(width & ~1, height & ~1);
      }
    } else {
      g_only.push_back(arg);
    }
  }
  std::printf("timing: %s, best of %d batches of 5 calls; buffers %zu bytes past a 64-byte boundary\n",
              g_wallClock ? "wall clock" : "processor time of the thread", g_rounds, g_offset);
  std::printf("processor level detected: %d (0 plain, 1 SSE2, 2 SSE4.1, 3 AVX2, 4 AVX-512BW)\n", DetectCpuLevel());
  if (g_levels.empty()) {
    for (int level = 0; level <= DetectCpuLevel(); ++level) g_levels.push_back(level);
  }
  if (sizes.empty()) sizes = {{1920, 1080}, {1280, 720}};
  for (const auto& [width, height] : sizes) RunSize(width, height);
  return 0;
}
