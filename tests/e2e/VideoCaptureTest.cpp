// FFmpeg captures a camera fed by telvor-feed, and every captured frame is
// compared with the imaging library's plain conversion of the source frame
// that telvor-feed dumped.
//
// Tolerances: the YUV outputs are exact (the vector resamplers and YUV
// repacking match the plain ones bit for bit); the RGB outputs may differ by
// one per byte, because the vector colour conversions round differently from
// the plain ones.

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>

#include "Clients.h"
#include "ImageFiles.h"
#include "imaging/Pixel.h"
#include "imaging/SwScaler.h"

namespace {

using namespace telvor::e2e;

constexpr int kFrames = 12;          // captured per pixel format and run
constexpr int kConvertedFrames = 5;  // at least, after the black ones of the start
constexpr int kProducerWidth = 320, kProducerHeight = 240;
constexpr size_t kProducerFrameBytes = kProducerWidth * kProducerHeight * 2;
// The camera's own rate: the pin falling behind on a loaded machine while the
// producer rewrites the slots it has queued must still give whole frames in
// feeding order.
constexpr int kProducerFps = 30;
constexpr int kOtherWidth = 448, kOtherHeight = 252;  // wider aspect, so Fill and Fit differ from Stretch
// An odd width: its types are 642 pixels wide (the picture 641), and RGB24
// rows of 1926 bytes are padded to 1928 as a bitmap's.
constexpr int kOddWidth = 641, kOddHeight = 361;

// FFmpeg's names for the output formats, and how its raw output lays them out.
struct Output {
  const char* pixelFormat;
  std::int32_t kind;
  int pixelBytes;  // of the first plane
  int tolerance;
  bool Rgb() const { return kind == kOutputRgb24 || kind == kOutputRgb32; }
  bool Planar420() const { return kind == kOutputYv12 || kind == kOutputNv12; }
};
constexpr Output kOutputs[] = {{"yuyv422", kOutputYuy2, 2, 0}, {"yuv420p", kOutputYv12, 1, 0},
                               {"nv12", kOutputNv12, 1, 0},    {"bgr24", kOutputRgb24, 3, 1},
                               {"bgr0", kOutputRgb32, 4, 1}};
constexpr size_t kFirstRgbOutput = 3;

// A dw x dh picture as FFmpeg sees it: rows of the type's biWidth pixels
// (dw padded to a multiple of 4 minus its remainder: 641 gives 642), of which
// the first dw are the picture.
struct Shape {
  Output out;
  int dw, dh;
  int Width() const { return dw + dw % 4; }
  size_t Row() const { return static_cast<size_t>(out.pixelBytes) * Width(); }
  size_t Bytes() const { return Row() * dh + (out.Planar420() ? size_t{2} * (Width() / 2) * (dh / 2) : 0); }
  // The pin's rows: RGB ones padded to 4 bytes, as a bitmap's.
  std::int32_t PinStride() const { return static_cast<std::int32_t>(out.Rgb() ? (Row() + 3) & ~size_t{3} : Row()); }
  bool InPicture(size_t i) const { return out.Planar420() || i % Row() < size_t{1} * out.pixelBytes * dw; }
};

// What the pin delivers for one source frame, in the layout FFmpeg writes:
// RGB rows top-down again (the pin writes them bottom-up, FFmpeg flips them)
// and without their padding, planar chroma as Cb, Cr (the pin writes YV12's
// Cr first, FFmpeg swaps back). NV12 is laid out alike on both sides.
std::vector<std::uint8_t> Expected(SwScaler& scaler, std::int32_t mode, int sw, const std::uint8_t* source,
                                   const Shape& shape) {
  const std::int32_t stride = shape.PinStride();
  std::vector<std::uint8_t> pin(std::max(shape.Bytes(), static_cast<size_t>(stride) * shape.dh));
  scaler.Scale(source, mode == kConverterYuy2 ? 2 * sw : sw, pin.data(), stride);
  if (shape.out.kind == kOutputYuy2 || shape.out.kind == kOutputNv12) return pin;
  std::vector<std::uint8_t> out(shape.Bytes());
  const size_t h = shape.dh, row = shape.Row();
  if (shape.out.kind == kOutputYv12) {
    const size_t luma = row * h, chroma = static_cast<size_t>(shape.Width() / 2) * (h / 2);
    std::memcpy(out.data(), pin.data(), luma);
    std::memcpy(out.data() + luma, pin.data() + luma + chroma, chroma);
    std::memcpy(out.data() + luma + chroma, pin.data() + luma, chroma);
    return out;
  }
  for (size_t y = 0; y < h; ++y) std::memcpy(out.data() + y * row, pin.data() + (h - 1 - y) * stride, row);
  return out;
}

// The pin's black picture: Y 16 and chroma 128, or RGB all zero (fourth byte included).
std::vector<std::uint8_t> Black(const Shape& shape) {
  std::vector<std::uint8_t> black(shape.Bytes(), 0);
  for (size_t i = 0; !shape.out.Rgb() && i < black.size(); ++i)
    black[i] = (shape.out.kind == kOutputYuy2 ? i % 2 == 0 : i < shape.Row() * shape.dh) ? 16 : 128;
  return black;
}

// Largest difference over the picture's bytes, stopping early once it exceeds `limit`.
int MaxDifference(const std::uint8_t* a, const std::uint8_t* b, const Shape& shape, int limit) {
  int worst = 0;
  for (size_t i = 0; i < shape.Bytes(); ++i) {
    if (!shape.InPicture(i)) continue;
    const int d = std::abs(a[i] - b[i]);
    if (d > worst && (worst = d) > limit) break;
  }
  return worst;
}

const std::uint8_t* Frame(const std::string& frames, size_t index, size_t frameBytes) {
  return reinterpret_cast<const std::uint8_t*>(frames.data()) + index * frameBytes;
}

// Until the channel thread hands over the first frame the pin sends its
// black picture; after that every captured frame must be a conversion of a
// source frame, in feeding order (a repeat is allowed when the producer lags).
void CheckCapture(const std::string& captured, const Shape& shape, std::int32_t mode, int style,
                  const std::string& source, size_t sourceBytes) {
  const size_t frameBytes = shape.Bytes(), sourceFrames = source.size() / sourceBytes;
  ASSERT_EQ(captured.size(), frameBytes * kFrames);
  SwScaler scaler(mode, kProducerWidth, kProducerHeight, shape.out.kind, shape.dw, shape.dh, shape.out.Rgb(), 2,
                  style);
  // The source frame whose conversion equals `frame`, searched from `start`
  // to the last, then from `start` - 1 down to the first; sourceFrames when none.
  auto find = [&](size_t start, const std::uint8_t* frame) {
    for (size_t step = 0; step < sourceFrames; ++step) {
      const size_t k = start + step < sourceFrames ? start + step : sourceFrames - 1 - step;
      const auto expected = Expected(scaler, mode, kProducerWidth, Frame(source, k, sourceBytes), shape);
      if (MaxDifference(expected.data(), frame, shape, shape.out.tolerance) <= shape.out.tolerance) return k;
    }
    return sourceFrames;
  };
  const std::vector<std::uint8_t> black = Black(shape);
  int f = 0;
  while (f < kFrames && MaxDifference(black.data(), Frame(captured, f, frameBytes), shape, 0) == 0) ++f;
  EXPECT_LE(f, kFrames - kConvertedFrames) << "too few fed frames reached the client";
  size_t previous = sourceFrames > 40 ? sourceFrames - 40 : 0;  // captures come from the latest frames
  for (const int first = f; f < kFrames; ++f) {
    const size_t match = find(previous, Frame(captured, f, frameBytes));
    ASSERT_LT(match, sourceFrames) << "captured frame " << f << " is no conversion of any fed frame";
    if (f > first) {
      EXPECT_GE(match, previous) << "captured frame " << f;
    }
    previous = match;
  }
}

class VideoCapture : public ::testing::Test {
 protected:
  void SetUp() override { ForceCpuLevel(0); }

  // Camera `index` with the producer's size first in its offer and the other
  // sizes in its format file, so FFmpeg may ask for any.
  static std::string Settings(int index, int style) {
    return CameraSettings(index, Name(index), "", kProducerWidth, kProducerHeight, 30) + "FILTER.SCALE.STYLE." +
           std::to_string(index + 1) + "=" + std::to_string(style) + "\r\n";
  }
  static std::string Name(int index) { return "TELVOR e2e capture " + std::to_string(index); }

  void Install(int index) {
    module_ = std::make_unique<InstalledModule>(Settings(index, 0));
    module_->WriteFormatFile(index, "FILTER.OUTPUT.W.01=" + std::to_string(kOtherWidth) +
                                        "\r\nFILTER.OUTPUT.H.01=" + std::to_string(kOtherHeight) +
                                        "\r\nFILTER.OUTPUT.W.02=" + std::to_string(kOddWidth) +
                                        "\r\nFILTER.OUTPUT.H.02=" + std::to_string(kOddHeight) + "\r\n");
    const auto registered = module_->Register();
    ASSERT_EQ(registered.exitCode, 0) << registered.output;
  }

  // One FFmpeg process per output format from kOutputs[first] on, all at once
  // and all at dw x dh (asked for at the type's width); the recordings by
  // output format. One process with several inputs and a frame count per
  // output stops reading the others once one output is full when the machine
  // is busy, with every camera still delivering.
  std::vector<std::string> CaptureEveryFormat(int index, int dw, int dh, size_t first = 0) {
    std::vector<std::unique_ptr<BackgroundProcess>> clients;
    for (size_t i = first; i < std::size(kOutputs); ++i) {
      DeleteFileW(Recording(i).c_str());  // a client that fails must not leave an earlier run's recording
      const std::wstring input = VideoInput(Name(index), Shape{kOutputs[0], dw, dh}.Width(), dh, kOutputs[i].pixelFormat);
      clients.push_back(std::make_unique<BackgroundProcess>(
          module_->Dir(), FfmpegCommand(L"-loglevel error" + input + RawOutput(kFrames, Recording(i)))));
    }
    for (auto& client : clients) {
      EXPECT_EQ(client->WaitForExit(60000), 0) << client->Output() << "module log ends:\n" << LogTail();
    }
    std::vector<std::string> recordings(std::size(kOutputs));
    for (size_t i = first; i < std::size(kOutputs); ++i) recordings[i] = ReadFileBytes(Recording(i));
    return recordings;
  }
  std::string LogTail() const {
    const std::string log = ReadFileBytes(module_->Dir().File(L"telvor.log"));
    return log.substr(log.size() > 4000 ? log.size() - 4000 : 0);
  }
  std::wstring Recording(size_t output) const { return module_->Dir().File(Widen(kOutputs[output].pixelFormat)); }

  // telvor-feed with its standard input a pipe: `input` goes in, `meanwhile`
  // runs with the pipe still open, then the pipe's end ends the feed.
  ProcessResult FeedThroughPipe(int index, const std::wstring& arguments, const std::string& input,
                                const std::function<void()>& meanwhile = [] {}) {
    HANDLE read = nullptr, write = nullptr;
    SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
    EXPECT_TRUE(CreatePipe(&read, &write, &inherit, 0));
    SetHandleInformation(write, HANDLE_FLAG_INHERIT, 0);  // else the feed would hold its own input open
    FeedProcess feed(module_->Dir(), index, arguments, read);
    CloseHandle(read);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(write, input.data(), static_cast<DWORD>(input.size()), &written, nullptr));
    meanwhile();
    CloseHandle(write);
    return {feed.WaitForExit(10000), feed.Output()};  // braces: evaluated in this order
  }

  std::unique_ptr<InstalledModule> module_;
};

// The writer stalls after two and a half frames while FFmpeg records: the
// feed goes on writing the last whole one, and only closing the pipe ends it,
// leaving the half frame out. Sound through a pipe ends likewise, after ten
// packets or none at all.
TEST_F(VideoCapture, PipedFramesAndSoundReachTheCameraAndAStalledPipeRepeatsTheLast) {
  const int index = kEndToEndCameras + 5;
  Install(index);
  std::string frames(kProducerFrameBytes * 5 / 2, '\0');  // noise
  std::mt19937 random(3);
  for (char& byte : frames) byte = static_cast<char>(random());
  std::vector<std::string> recordings;
  const auto fed = FeedThroughPipe(index, L"--size 320x240 --fps 30 --yuv - --no-audio", frames, [&] {
    recordings = CaptureEveryFormat(index, kProducerWidth, kProducerHeight);
  });
  ASSERT_EQ(fed.exitCode, 0) << fed.output;
  EXPECT_NE(fed.output.find("end of input 76800 bytes into a record of 153600"), fed.output.npos) << fed.output;
  const size_t written = fed.output.rfind(" s: ");  // the closing status line's frame count
  ASSERT_NE(written, std::string::npos) << fed.output;
  EXPECT_GT(std::stoul(fed.output.substr(written + 4)), 30u) << fed.output;
  for (size_t o = 0; o < std::size(kOutputs); ++o) {
    SCOPED_TRACE(kOutputs[o].pixelFormat);
    CheckCapture(recordings[o], {kOutputs[o], kProducerWidth, kProducerHeight}, kConverterYuy2, 0,
                 frames.substr(0, 2 * kProducerFrameBytes), kProducerFrameBytes);
  }
  for (const size_t bytes : {size_t{0}, size_t{10 * 1920}}) {
    SCOPED_TRACE(testing::Message() << bytes << " bytes of sound");
    const auto sound = FeedThroughPipe(index, L"--no-video --pcm -", frames.substr(0, bytes));
    EXPECT_EQ(sound.exitCode, 0) << sound.output;
    EXPECT_NE(sound.output.find("audio input ended: end of input\r\n"), std::string::npos) << sound.output;
  }
}

// No producer, a picture named in the settings (relative to the module): once
// the camera has decoded it (black until then, a moment after Connect) every
// frame shows it placed by the camera's style, in every output format.
TEST_F(VideoCapture, WithoutProducerShowsTheIdlePictureInEveryFormatAndStyle) {
  const int index = kEndToEndCameras + 6;
  Install(index);
  constexpr int kWidth = 201, kHeight = 101, kEven = kWidth + 1;  // the last column is doubled
  std::vector<std::uint8_t> rgb(kWidth * kHeight * 3), bgra(kEven * kHeight * 4, 255), yuy2(kEven * kHeight * 2);
  std::mt19937 random(6);
  for (std::uint8_t& value : rgb) value = static_cast<std::uint8_t>(random());
  for (int y = 0; y < kHeight; ++y)
    for (int x = 0; x < kEven; ++x)
      for (int c = 0; c < 3; ++c) bgra[(y * kEven + x) * 4 + c] = rgb[(y * kWidth + std::min(x, kWidth - 1)) * 3 + 2 - c];
  PxBgraToYuy2(bgra.data(), kEven * 4, yuy2.data(), kEven * 2, {kEven, kHeight});
  const std::vector<std::uint8_t> png = capture::EncodePng(kWidth, kHeight, rgb);
  telvor::test::WriteTextFile(module_->Dir().File(L"idle.png"), std::string(png.begin(), png.end()));
  SetEnvironmentVariableW(L"TELVOR_CPU_LEVEL", L"0");  // the module converts as the plain reference does
  for (int style : {0, 1, 2}) {
    SCOPED_TRACE(testing::Message() << "style " << style);
    module_->WriteSettings(Settings(index, style) + "FILTER.IDLE.IMAGE." + std::to_string(index + 1) + "=idle.png\r\n");
    const std::vector<std::string> recordings = CaptureEveryFormat(index, kOtherWidth, kOtherHeight);
    for (size_t o = 0; o < std::size(kOutputs); ++o) {
      SCOPED_TRACE(kOutputs[o].pixelFormat);
      const Shape shape = {kOutputs[o], kOtherWidth, kOtherHeight};
      SwScaler scaler(kConverterYuy2, kEven, kHeight, shape.out.kind, kOtherWidth, kOtherHeight, shape.out.Rgb(), 2,
                      style);
      const auto expected = Expected(scaler, kConverterYuy2, kEven, yuy2.data(), shape), black = Black(shape);
      ASSERT_EQ(recordings[o].size(), shape.Bytes() * kFrames);
      int f = 0;
      while (f < kFrames && MaxDifference(black.data(), Frame(recordings[o], f, shape.Bytes()), shape, 0) == 0) ++f;
      EXPECT_LE(f, kFrames - 3) << "black frames";
      for (; f < kFrames; ++f)
        EXPECT_EQ(MaxDifference(expected.data(), Frame(recordings[o], f, shape.Bytes()), shape, 0), 0) << "frame " << f;
    }
  }
  SetEnvironmentVariableW(L"TELVOR_CPU_LEVEL", nullptr);
}

// Each source format at its own size and scaled by each style, captured in
// every format. The 4:2:0 conversions leave an odd last column out, so only
// YUY2 to RGB gives the whole odd-width picture.
TEST_F(VideoCapture, EachSourceAtItsOwnSizeAndScaledByEachStyleInEveryFormat) {
  const int index = kEndToEndCameras + 4;
  Install(index);
  const struct { const char* fourcc; int style, dw, dh; size_t firstOutput; } kRuns[] = {
      {"yuy2", 0, kProducerWidth, kProducerHeight, 0}, {"yv12", 0, kProducerWidth, kProducerHeight, 0},
      {"yuy2", 0, kOtherWidth, kOtherHeight, 0},       {"yuy2", 1, kOtherWidth, kOtherHeight, 0},
      {"yuy2", 2, kOtherWidth, kOtherHeight, 0},       {"yv12", 0, kOtherWidth, kOtherHeight, 0},
      {"yv12", 1, kOtherWidth, kOtherHeight, 0},       {"yv12", 2, kOtherWidth, kOtherHeight, 0},
      {"yuy2", 1, kOddWidth, kOddHeight, kFirstRgbOutput}};
  for (const auto& run : kRuns) {
    SCOPED_TRACE(testing::Message() << run.fourcc << " style " << run.style << " to " << run.dw << "x" << run.dh);
    module_->WriteSettings(Settings(index, run.style));
    const std::wstring dump = module_->Dir().File(telvor::test::UniqueName(L"source"));
    const std::int32_t mode = std::string(run.fourcc) == "yv12" ? kConverterYv12 : kConverterYuy2;
    const size_t sourceBytes = static_cast<size_t>(SwScaler::SourceBytes(mode, kProducerWidth, kProducerHeight));
    std::vector<std::string> recordings;
    {
      FeedProcess feed(module_->Dir(), index,
                       L"--format " + Widen(run.fourcc) + L" --size 320x240 --fps " + std::to_wstring(kProducerFps) +
                           L" --deterministic --no-audio --duration 60 --dump-frames 100000 --dump " + Quoted(dump));
      // Should this producer find the last one's ring still open, the message names who holds it.
      ASSERT_TRUE(feed.WaitForFileSize(dump, sourceBytes, 10000))
          << feed.Output() << "held by:\n" << feed.RingHolders(true) << "module log ends:\n" << LogTail();
      if (&run == kRuns) {
        EXPECT_NE(feed.RingHolders(true).find("telvor-feed.exe"), std::string::npos) << feed.RingHolders(true);
      }
      recordings = CaptureEveryFormat(index, run.dw, run.dh, run.firstOutput);
    }
    const std::string source = ReadFileBytes(dump);
    ASSERT_GE(source.size(), sourceBytes);
    for (size_t o = run.firstOutput; o < std::size(kOutputs); ++o) {
      SCOPED_TRACE(kOutputs[o].pixelFormat);
      CheckCapture(recordings[o], {kOutputs[o], run.dw, run.dh}, mode, run.style, source, sourceBytes);
    }
  }
}

}  // namespace
