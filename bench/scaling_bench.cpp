// Resamplers and frame-converter paths beside libyuv and libswscale doing the
// same job on the same input, in the same run, each level against the
// reference restricted to that level's instruction sets. Prints milliseconds
// per frame (best of several rounds) and the ratio to the reference library.
//
// The Windows trees build the converter paths alone (no reference libraries
// there) as telvor_bench_converter, to compare the 64-bit and 32-bit builds
// under Wine.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <ctime>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include <emmintrin.h>

#ifndef TELVOR_CONVERTER_ONLY
#include <libyuv.h>
extern "C" {
#include <libswscale/swscale.h>
}

#include "ReferenceLevels.h"
#endif

#include "base/Log.h"
#include "compat/compat.h"
#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"

namespace {

// Processor time of this thread: on a machine shared with other jobs the
// wall clock also counts the time slices given to them.
double CpuMs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

double g_bestCpuMs = 0;  // processor-time figure of the last BestMs

double BestMs(const std::function<void()>& run) {
  run();
  double best = 1e9;
  g_bestCpuMs = 1e9;
  // Many short rounds: on a shared machine the best of them is the one that
  // ran alone.
  for (int round = 0; round < 20; ++round) {
    const int reps = 5;
    const double cpuStart = CpuMs();
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < reps; ++i) run();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count() / reps);
    g_bestCpuMs = std::min(g_bestCpuMs, (CpuMs() - cpuStart) / reps);
  }
  return best;
}

std::vector<std::uint8_t> Random(size_t n) {
  std::mt19937 rng(42);
  std::vector<std::uint8_t> v(n);
  for (auto& b : v) b = static_cast<std::uint8_t>(rng());
  return v;
}

const char* kLevelNames[kPxLevelCount] = {"plain", "sse2", "sse4.1", "avx2", "avx512bw"};

#ifndef TELVOR_CONVERTER_ONLY
// Best processor time per call of each, the contenders taking turns round by
// round so that a busy moment on the shared machine slows them alike.
std::vector<double> BestCpuMsInTurns(const std::vector<std::function<void()>>& runs) {
  std::vector<double> best(runs.size(), 1e9);
  for (const auto& run : runs) run();
  for (int round = 0; round < 15; ++round) {
    // Each round starts one contender later, as in telvor_bench_pixels.
    for (std::size_t turn = 0; turn < runs.size(); ++turn) {
      const std::size_t i = (turn + round) % runs.size();
      const int reps = 5;
      const double start = CpuMs();
      for (int k = 0; k < reps; ++k) {
        ClearUpperVectorState();  // as in telvor_bench_pixels
        runs[i]();
      }
      best[i] = std::min(best[i], (CpuMs() - start) / reps);
    }
  }
  return best;
}

// Per level: the reference restricted to the level's instruction sets, then
// ours; processor time, the figure that matters on a shared machine.
void PrintLevel(int level, double reference, double ours, double plain, const char* name) {
  std::printf("  %-9s %s %.3f ms  ours %.3f ms  %.2fx%s", kLevelNames[level], name, reference, ours, ours / reference,
              ours > reference ? " *" : "");
  if (level > 0) std::printf("   %.2fx plain%s", ours / plain, ours > plain ? " ^" : "");
  std::printf("\n");
}

void PlaneRow(int sw, int sh, int dw, int dh) {
  const auto src = Random(static_cast<size_t>(sw) * sh);
  std::vector<std::uint8_t> dst(static_cast<size_t>(dw) * dh);
  std::int32_t bytes = 0;
  PxResizeBufferSize(ScaleRect{0, 0, sw, sh}, ScaleRect{0, 0, dw, dh}, 1, kPxInterLinear, &bytes);
  std::vector<std::uint8_t> work(bytes);
  std::printf("PxResizePlane %dx%d -> %dx%d beside libyuv ScalePlane bilinear\n", sw, sh, dw, dh);
  double plain = 0;
  for (int level = 0; level < kPxLevelCount; ++level) {
    if (ForceCpuLevel(level) != level) continue;
    bench::RestrictReferences(level);
    const std::vector<double> ms = BestCpuMsInTurns({
        [&] { libyuv::ScalePlane(src.data(), sw, sw, sh, dst.data(), dw, dw, dh, libyuv::kFilterBilinear); },
        [&] {
          PxResizePlane(src.data(), PxSize{sw, sh}, sw, ScaleRect{0, 0, sw, sh}, dst.data(), dw,
                        ScaleRect{0, 0, dw, dh}, static_cast<double>(dw) / sw, static_cast<double>(dh) / sh, 0, 0,
                        kPxInterLinear, work.data());
        },
    });
    if (level == 0) plain = ms[1];
    PrintLevel(level, ms[0], ms[1], plain, "libyuv");
  }
  bench::UnrestrictReferences();
}

void Yuy2Row(int sw, int sh, int dw, int dh) {
  const auto src = Random(static_cast<size_t>(2) * sw * sh);
  std::vector<std::uint8_t> dst(static_cast<size_t>(2) * dw * dh);
  const std::uint8_t* srcPlanes[1] = {src.data()};
  const int srcStrides[1] = {2 * sw};
  std::uint8_t* dstPlanes[1] = {dst.data()};
  const int dstStrides[1] = {2 * dw};
  std::printf("PxResizeYuy2 %dx%d -> %dx%d beside libswscale bilinear YUYV422\n", sw, sh, dw, dh);
  double plain = 0;
  for (int level = 0; level < kPxLevelCount; ++level) {
    if (ForceCpuLevel(level) != level) continue;
    bench::RestrictReferences(level);  // libswscale chooses its code here, in sws_getContext
    SwsContext* sws = sws_getContext(sw, sh, AV_PIX_FMT_YUYV422, dw, dh, AV_PIX_FMT_YUYV422, SWS_BILINEAR, nullptr,
                                     nullptr, nullptr);
    const std::vector<double> ms = BestCpuMsInTurns({
        [&] { sws_scale(sws, srcPlanes, srcStrides, 0, sh, dstPlanes, dstStrides); },
        [&] {
          PxResizeYuy2(src.data(), PxSize{sw, sh}, 2 * sw, ScaleRect{0, 0, sw, sh}, dst.data(), 2 * dw,
                       PxSize{dw, dh}, static_cast<double>(dw) / sw, static_cast<double>(dh) / sh, kPxInterLinear);
        },
    });
    sws_freeContext(sws);
    if (level == 0) plain = ms[1];
    PrintLevel(level, ms[0], ms[1], plain, "libswscale");
  }
  bench::UnrestrictReferences();
}

#endif

constexpr int kSampleBuffers = 4;  // the video pin's allocator count

int OutputBpp(int kind) { return kind == kOutputRgb24 ? 3 : kind == kOutputRgb32 ? 4 : kind == kOutputYuy2 ? 2 : 1; }

// A camera converts one frame per period and idles in between, while other
// programs run: its data has left the caches by the next frame, which the
// back-to-back rounds above never see.
constexpr int kFramePeriodMs = 33;

double PacedMedianMs(const std::function<void()>& run) {
  std::vector<double> took;
  for (int frame = 0; frame < 31; ++frame) {
    std::this_thread::sleep_for(std::chrono::milliseconds(kFramePeriodMs));
    const auto start = std::chrono::steady_clock::now();
    run();
    took.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
  }
  std::nth_element(took.begin(), took.begin() + took.size() / 2, took.end());
  return took[took.size() / 2];
}

// What memory alone costs a frame: each source byte read and each output
// byte written once, by streaming stores, in step as a conversion walks them,
// after one prefetch per output page (as the converter overlaps its walks).
// At a camera's pace no conversion of the same buffers can take less.
constexpr size_t kTouchChunk = 4096;

TELVOR_TARGET("sse2")
void ReadAndWriteOnce(const std::uint8_t* src, size_t srcBytes, std::uint8_t* dst, size_t dstBytes) {
  for (size_t at = 0; at < dstBytes; at += kTouchChunk) _mm_prefetch(reinterpret_cast<const char*>(dst + at), _MM_HINT_T0);
  const size_t chunks = dstBytes / kTouchChunk;
  __m128i sum = _mm_setzero_si128();
  for (size_t c = 0; c < chunks; ++c) {
    const size_t from = c * srcBytes / chunks, to = (c + 1) * srcBytes / chunks;
    for (size_t i = from; i + 16 <= to; i += 16)
      sum = _mm_add_epi8(sum, _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + i)));
    std::uint8_t* out = dst + c * kTouchChunk;
    for (size_t i = 0; i < kTouchChunk; i += 16) _mm_stream_si128(reinterpret_cast<__m128i*>(out + i), sum);
  }
  _mm_sfence();
}

// Frame buffers placed as in a host: the allocator's samples start aligned;
// a producer's frame starts after its slot's 84-byte header, in a section
// that starts on a page. (A 32-bit C runtime's heap aligns to 8 bytes, which
// would split other loads and stores than the host's.)
constexpr size_t kSlotHeaderBytes = 84;

class FrameBuffer {
 public:
  explicit FrameBuffer(size_t bytes, size_t offset = 0)
      : block_(static_cast<std::uint8_t*>(PxAlloc(static_cast<std::int64_t>(bytes + offset)))), offset_(offset),
        size_(bytes) {}
  FrameBuffer(FrameBuffer&& other) noexcept
      : block_(std::exchange(other.block_, nullptr)), offset_(other.offset_), size_(other.size_) {}
  FrameBuffer(const FrameBuffer&) = delete;
  FrameBuffer& operator=(const FrameBuffer&) = delete;
  ~FrameBuffer() { PxFree(block_); }
  std::uint8_t* data() const { return block_ + offset_; }
  size_t size() const { return size_; }

 private:
  std::uint8_t* block_;
  size_t offset_;
  size_t size_;
};

FrameBuffer ProducerSlot(const std::vector<std::uint8_t>& frame) {
  FrameBuffer slot(frame.size(), kSlotHeaderBytes);
  std::memcpy(slot.data(), frame.data(), frame.size());
  return slot;
}

void ConverterRow(const char* name, int mode, int sw, int sh, int kind, int dw, int dh, int style, bool paced) {
  const FrameBuffer src = ProducerSlot(Random(static_cast<size_t>(SwScaler::SourceBytes(mode, sw, sh))));
  const int stride = OutputBpp(kind) * dw;
  FrameBuffer dst(static_cast<size_t>(stride) * dh * 2);
  // RGB bottom-up, as hosts take it (a positive height): its rows step down
  // through memory, which costs about twice as much out of the caches.
  const bool bottomUp = kind == kOutputRgb32 || kind == kOutputRgb24;
  SwScaler scaler(mode, sw, sh, kind, dw, dh, bottomUp, kPxInterLinear, style);
  const int srcStride = mode == kConverterYuy2 ? 2 * sw : sw;
  const double ours = BestMs([&] { scaler.Scale(src.data(), srcStride, dst.data(), stride); });
  const double oursCpu = g_bestCpuMs;
  // As in a host: each frame goes to the next of the allocator's sample
  // buffers, which the client read last (none of them in this core's caches).
  std::vector<FrameBuffer> samples;
  for (int i = 0; i < kSampleBuffers; ++i) samples.emplace_back(dst.size());
  size_t next = 0;
  const double rotating = BestMs([&] {
    scaler.Scale(src.data(), srcStride, samples[next].data(), stride);
    next = (next + 1) % samples.size();
  });
  const double copy = BestMs([&] { std::memcpy(dst.data(), samples[0].data(), static_cast<size_t>(stride) * dh); });
  std::printf("  %-46s %.3f ms  processor time %.3f ms  into %d sample buffers %.3f ms  (memcpy of the output bytes "
              "%.3f ms)\n",
              name, ours, oursCpu, kSampleBuffers, rotating, copy);
  if (paced) {
    // The client's side of a frame as well: FFmpeg's DirectShow input copies
    // each sample it receives, on the thread that delivered it.
    std::vector<std::uint8_t> client(static_cast<size_t>(stride) * dh);
    const auto frame = [&](bool copied) {
      scaler.Scale(src.data(), srcStride, samples[next].data(), stride);
      if (copied) std::memcpy(client.data(), samples[next].data(), client.size());
      next = (next + 1) % samples.size();
    };
    const double alone = PacedMedianMs([&] { frame(false); });
    const double withCopy = PacedMedianMs([&] { frame(true); });
    const size_t outputBytes = static_cast<size_t>(stride) * dh;
    const double memory = PacedMedianMs([&] {
      ReadAndWriteOnce(src.data(), src.size(), samples[next].data(), outputBytes);
      next = (next + 1) % samples.size();
    });
    std::printf("  %-46s %.3f ms at a camera's pace (median, one frame per %d ms), %.3f ms with the client's copy; "
                "memory alone %.3f ms\n",
                "", alone, kFramePeriodMs, withCopy, memory);
  }
}

void Quiet(const wchar_t*) {}

}  // namespace

int main() {
  TraceSink = Quiet;  // the converter logs its placement once per construction
  const int best = DetectCpuLevel();
  std::printf("TELVOR scaling benchmark (%d-bit), best level %s\n\n", static_cast<int>(8 * sizeof(void*)),
              kLevelNames[best]);
#ifndef TELVOR_CONVERTER_ONLY
  PlaneRow(1920, 1080, 1280, 720);
  PlaneRow(1280, 720, 1920, 1080);
  std::printf("\n");
  Yuy2Row(1920, 1080, 1280, 720);
  Yuy2Row(1280, 720, 1920, 1080);
#endif
  for (int level = 0; level <= best; ++level) {
    std::printf("\nFrame converter, level %s\n", kLevelNames[ForceCpuLevel(level)]);
    ConverterRow("YUY2 1920x1080 -> RGB32 1280x720 Stretch", kConverterYuy2, 1920, 1080, kOutputRgb32, 1280, 720, 0, level == best);
    ConverterRow("YUY2 1920x1080 -> RGB32 1280x720 Fill", kConverterYuy2, 1920, 1080, kOutputRgb32, 1280, 720, 1, level == best);
    ConverterRow("YUY2 1920x1080 -> YUY2 1280x720", kConverterYuy2, 1920, 1080, kOutputYuy2, 1280, 720, 0, level == best);
    ConverterRow("YUY2 1920x1080 -> YV12 1280x720 Fit", kConverterYuy2, 1920, 1080, kOutputYv12, 1280, 720, 2, level == best);
    ConverterRow("YUY2 1920x1080 -> YV12 1280x720", kConverterYuy2, 1920, 1080, kOutputYv12, 1280, 720, 0, level == best);
    ConverterRow("YUY2 1920x1080 -> I420 1280x720", kConverterYuy2, 1920, 1080, kOutputI420, 1280, 720, 0, level == best);
    ConverterRow("YUY2 1920x1080 -> NV12 1280x720", kConverterYuy2, 1920, 1080, kOutputNv12, 1280, 720, 0, level == best);
    ConverterRow("YUY2 1280x720 -> RGB32 1920x1080", kConverterYuy2, 1280, 720, kOutputRgb32, 1920, 1080, 0, level == best);
    ConverterRow("YV12 1920x1080 -> RGB32 1280x720", kConverterYv12, 1920, 1080, kOutputRgb32, 1280, 720, 0, level == best);
    ConverterRow("YV12 1920x1080 -> YV12 1280x720", kConverterYv12, 1920, 1080, kOutputYv12, 1280, 720, 0, level == best);
    ConverterRow("YV12 1280x720 -> RGB24 1920x1080 Fit", kConverterYv12, 1280, 720, kOutputRgb24, 1920, 1080, 2, level == best);
    ConverterRow("YUY2 1920x1080 -> RGB32 1920x1080 (same size)", kConverterYuy2, 1920, 1080, kOutputRgb32, 1920,
                 1080, 0, level == best);
    ConverterRow("YV12 1920x1080 -> RGB32 1920x1080 (same size)", kConverterYv12, 1920, 1080, kOutputRgb32, 1920,
                 1080, 0, level == best);
  }
  return 0;
}
