// Times each per-frame pixel primitive (and the placeholder conversions) at
// every processor level, beside libyuv (or libswscale where libyuv has no
// such conversion) doing the same job on the same input, and beside a memcpy
// of the output's bytes. Prints milliseconds per frame and the ratios.
#include <libyuv.h>

extern "C" {
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "imaging/Pixel.h"

namespace {

// Best batch of many, taken in turns with the competitors so that a busy
// moment on a shared machine slows every contender alike.
std::vector<double> BestMilliseconds(const std::vector<std::function<void()>>& calls) {
  std::vector<double> best(calls.size(), 1e9);
  for (const auto& call : calls) call();  // warm caches and page in the buffers
  for (int round = 0; round < 15; ++round) {
    for (std::size_t i = 0; i < calls.size(); ++i) {
      constexpr int kCalls = 5;
      const auto start = std::chrono::steady_clock::now();
      for (int k = 0; k < kCalls; ++k) calls[i]();
      const std::chrono::duration<double, std::milli> spent = std::chrono::steady_clock::now() - start;
      best[i] = std::min(best[i], spent.count() / kCalls);
    }
  }
  return best;
}

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
  std::vector<std::uint8_t> bgra, yuy2, y, u, v2, out, outY, outU, outV;
};

struct Job {
  const char* name;
  const char* reference;
  std::size_t outBytes;
  std::function<void()> ours;
  std::function<void()> theirs;
};

std::vector<Job> Jobs(Buffers& b, SwsContext* yuyvToBgr24) {
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
      {"PxYuy2ToBgr", "sws YUYV->BGR24", px * 3, [=, &b] { PxYuy2ToBgr(b.yuy2.data(), 2 * w, o, 3 * w, size); },
       [=, &b] {
         const std::uint8_t* src[1] = {b.yuy2.data()};
         const int srcStride[1] = {2 * w};
         std::uint8_t* dst[1] = {o};
         const int dstStride[1] = {3 * w};
         sws_scale(yuyvToBgr24, src, srcStride, 0, h, dst, dstStride);
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

void RunSize(int w, int h) {
  Buffers b(w, h);
  SwsContext* sws = sws_getContext(w, h, AV_PIX_FMT_YUYV422, w, h, AV_PIX_FMT_BGR24, SWS_POINT, nullptr, nullptr, nullptr);
  std::vector<std::uint8_t> copySrc(std::size_t(w) * h * 4), copyDst(copySrc.size());
  std::printf("\n%dx%d  (ms per frame; ratio = ours / reference, ours / memcpy of the output bytes)\n", w, h);
  std::printf("%-16s %-16s %8s %8s |", "primitive", "reference", "ref ms", "memcpy");
  for (int level = 0; level <= DetectCpuLevel(); ++level) std::printf("   L%d ms  /ref  /mcpy |", level);
  std::printf("\n");
  for (Job& job : Jobs(b, sws)) {
    const std::size_t n = job.outBytes;
    std::vector<std::function<void()>> calls = {job.theirs, [&] { std::memcpy(copyDst.data(), copySrc.data(), n); }};
    for (int level = 0; level <= DetectCpuLevel(); ++level) {
      calls.push_back([level, &job] {
        ForceCpuLevel(level);
        job.ours();
      });
    }
    const std::vector<double> ms = BestMilliseconds(calls);
    std::printf("%-16s %-16s %8.3f %8.3f |", job.name, job.reference, ms[0], ms[1]);
    for (std::size_t i = 2; i < ms.size(); ++i) std::printf(" %7.3f %5.2f %5.2f |", ms[i], ms[i] / ms[0], ms[i] / ms[1]);
    std::printf("\n");
    std::fflush(stdout);
  }
  sws_freeContext(sws);
}

}  // namespace

int main() {
  std::printf("processor level detected: %d (0 plain, 1 SSE2, 2 SSE4.1, 3 AVX2, 4 AVX-512BW)\n", DetectCpuLevel());
  RunSize(1920, 1080);
  RunSize(1280, 720);
  return 0;
}
