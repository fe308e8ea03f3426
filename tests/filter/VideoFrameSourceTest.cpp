// The frame source's choice of picture, deadline by deadline, without a
// graph: the test lays out the slots and queues them as the channel's reader
// would (the channel is real only for the mutex Fill holds). And the idle
// picture's loader against good and hostile files.
#include <gtest/gtest.h>
#include <windows.h>
#include <dshow.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "filter/video/IdleImage.h"
#include "filter/video/VideoFrameSource.h"
#include "support/VideoPinFixture.h"
#include "imaging/SwScaler.h"
#include "support/CameraIndexes.h"
#include "support/LogCapture.h"
#include "support/Watchdog.h"
#include "support/WinTestSupport.h"
#include "support/FakeRing.h"
#include "transport/SharedVideo.h"

namespace telvor::test {
namespace {

constexpr std::int32_t kWidth = 16, kHeight = 8;
constexpr std::uint32_t kCapacity = 256;  // one 16 x 8 YUY2 frame
constexpr int kSlots = 8;
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

OutputFormat Output(REFGUID subtype, int width, int height) {
  return DescribeVideoType(VideoType(subtype, width, height, 30.0));
}

enum Op { kQueue, kWrite, kShow, kBlack, kKeepNewest, kClose, kCloseUnderProducer, kAnnounce, kRestart };
struct Step {
  Op op;
  int slot;
  std::uint64_t sequence;
  bool whole;  // the frame's length covers a whole picture
};
// The producer writes frame `n` into a slot and the reader queues it.
constexpr Step Q(int slot, std::uint64_t n, bool whole = true) { return {kQueue, slot, n, whole}; }
// The producer writes frame `n` into a slot; the reader has not queued it (yet).
constexpr Step W(int slot, std::uint64_t n, bool whole = true) { return {kWrite, slot, n, whole}; }
// The next deadline shows frame `n`, or black.
constexpr Step S(std::uint64_t n) { return {kShow, 0, n, true}; }
constexpr Step Do(Op op) { return {op, 0, 0, true}; }
constexpr Step kB = Do(kBlack);

class VideoFrameSourceTest : public ::testing::Test {
 protected:
  // Announced, the reader idles and leaves the mutex to Fill.
  void SetUp() override {
    ring = std::make_unique<FakeRing>(kVideoNames, kVideoPinCameras + 2, 4096);
    ASSERT_TRUE(ring->Ok());
    ring->SetVideoFormat(kFourCcYuy2, kWidth, kHeight, 30.0, kCapacity);
    channel.index = kVideoPinCameras + 2;
    // Fill must find the mutex free: a reader held up on a busy machine while
    // it announces would make a deadline pass.
    channel.on_format_changed = [](SharedVideo*, const SlotHeader&, void* user) { return SetEvent(user) ? 0 : 1; };
    channel.user = announced.Get();
    ASSERT_TRUE(channel.Create());
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(announced.Get(), 10000));
    ring->Lock();
    ring->Unlock();
  }
  void TearDown() override { channel.Close(); }

  void Start(std::uint32_t fourcc, const OutputFormat& output, std::uint32_t capacity = kCapacity) {
    fourcc_ = fourcc;
    capacity_ = capacity;
    output_ = output;
    mode_ = fourcc == kFourCcYuy2 ? kConverterYuy2 : kConverterYv12;
    slots_.assign(kSlots * (kSlotHeaderSize + kCapacity), 0);
    source = std::make_unique<VideoFrameSource>(this);
    source->SetOutput(output);
    Run(Do(kAnnounce));
  }
  static std::uint8_t Pattern(std::uint64_t n, std::uint32_t i) {
    return static_cast<std::uint8_t>(n * 53 + i * 7 + (i >> 4) * 29);
  }
  FrameEntry Write(int slot, std::uint64_t n, bool whole) {
    std::uint8_t* payload = slots_.data() + slot * (kSlotHeaderSize + kCapacity) + kSlotHeaderSize;
    for (std::uint32_t i = 0; i < kCapacity; ++i) payload[i] = Pattern(n, i);
    SlotHeader header = HeaderBeforePayload(payload);
    header.video_sequence = n;
    header.payload_length = static_cast<std::uint32_t>(SwScaler::SourceBytes(mode_, kWidth, kHeight)) - !whole;
    std::memcpy(payload - kSlotHeaderSize, &header, sizeof header);
    return {static_cast<std::int64_t>(n), payload, header.payload_length, n, &channel};
  }
  long PictureSize() const { return static_cast<long>(PictureBytes(output_)); }
  std::vector<std::uint8_t> Black() const {
    std::vector<std::uint8_t> picture(PictureSize());
    FillBlack(output_, picture.data());
    return picture;
  }
  // Frame `n` through a converter of its own.
  std::vector<std::uint8_t> Converted(std::uint64_t n) const {
    std::vector<std::uint8_t> frame(kCapacity), picture(PictureSize());
    for (std::uint32_t i = 0; i < kCapacity; ++i) frame[i] = Pattern(n, i);
    SwScaler converter(mode_, kWidth, kHeight, FindVideoSubtype(output_.subtype)->outputKind,
                       static_cast<std::int32_t>(output_.width), static_cast<std::int32_t>(output_.height),
                       output_.bottomUp, 2, 0);
    converter.Scale(frame.data(), mode_ == kConverterYuy2 ? 2 * kWidth : kWidth, picture.data(),
                    static_cast<std::int32_t>(output_.stride));
    return picture;
  }
  std::vector<std::uint8_t> Fill() {
    std::vector<std::uint8_t> picture(PictureSize());
    EXPECT_EQ(PictureSize(), source->Fill(picture.data(), PictureSize(), nullptr));
    return picture;
  }
  void Run(const Step& step) {
    int closed = 0;
    switch (step.op) {
      case kQueue: source->Queue(Write(step.slot, step.sequence, step.whole)); break;
      case kWrite: Write(step.slot, step.sequence, step.whole); break;
      case kShow: {
        const std::vector<std::uint8_t> picture = Fill();
        EXPECT_TRUE(picture == Converted(step.sequence))
            << "not frame " << step.sequence << (picture == Black() ? " but black" : "");
        break;
      }
      case kBlack: EXPECT_TRUE(Fill() == Black()) << "not black"; break;
      case kKeepNewest: source->KeepNewest(); break;
      case kClose:
      case kCloseUnderProducer: {
        // The producer is another thread: a mutex lets its own holder in again.
        std::atomic<int> producer{step.op == kCloseUnderProducer ? 0 : 2};
        std::thread holder([&] {
          if (producer == 2) return;
          ring->Lock();
          for (producer = 1; producer == 1;) Sleep(1);
          ring->Unlock();
        });
        while (producer == 0) Sleep(1);
        source->CloseChannel([](void* count) { ++*static_cast<int*>(count); }, &closed);
        producer = 2;
        holder.join();
        EXPECT_EQ(1, closed);
        break;
      }
      case kAnnounce: source->SetSource(fourcc_, kWidth, kHeight, capacity_); break;
      case kRestart: source->Restart(); break;
    }
  }

  std::unique_ptr<FakeRing> ring;
  UniqueHandle announced{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  SharedVideo channel;
  std::unique_ptr<VideoFrameSource> source;

 private:
  std::uint32_t fourcc_ = 0, capacity_ = 0;
  std::int32_t mode_ = 0;
  OutputFormat output_ = {};
  std::vector<std::uint8_t> slots_;
};

// Each case from a new source, every deadline against a converter of the
// test's own or the black picture; then what cannot be written whole, and a
// producer keeping its mutex.
TEST_F(VideoFrameSourceTest, DeadlinesShowFramesInProducerOrderAndNothingTorn) {
  const Step K = Do(kKeepNewest), C = Do(kClose), CP = Do(kCloseUnderProducer), A = Do(kAnnounce), R = Do(kRestart);
  const struct Case {
    const char* name;
    std::vector<Step> steps;
  } cases[] = {
      {"nothing queued", {kB, kB}},
      {"oldest first, then the last again", {Q(0, 1), Q(1, 2), Q(2, 3), S(1), S(2), S(3), S(3)}},
      {"five at most, the oldest gives way",
       {Q(0, 1), Q(1, 2), Q(2, 3), Q(3, 4), Q(4, 5), Q(5, 6), S(2), S(3), S(4), S(5), S(6), S(6)}},
      {"a rewritten slot gives way to the oldest whole frame",
       {Q(0, 1), Q(1, 2), Q(2, 3), W(0, 4), Q(0, 4), S(2), S(3), S(4)}},
      {"rewritten slots in a row", {Q(0, 1), Q(1, 2), Q(2, 3), W(0, 4), W(1, 5), S(3), Q(0, 4), Q(1, 5), S(4), S(5)}},
      {"no whole frame left: the slot's newer one, and what it overtook is skipped",
       {Q(0, 1), W(0, 3), S(3), Q(1, 2), Q(0, 3), Q(2, 4), S(4)}},
      {"a slot whose number fell", {Q(0, 5), W(0, 2), kB, kB}},
      {"a short frame: the last good one", {Q(0, 1), S(1), Q(1, 2, false), S(1), Q(2, 3), S(3)}},
      {"a short frame and no good one", {Q(0, 1, false), kB}},
      {"a short frame, the good one's slot rewritten whole", {Q(0, 1), S(1), W(0, 3), Q(1, 2, false), S(3)}},
      {"a short frame, the good one's slot rewritten short", {Q(0, 1), S(1), W(0, 3, false), Q(1, 2, false), kB}},
      {"the run keeps the newest", {Q(0, 1), Q(1, 2), Q(2, 3), K, S(3), S(3)}},
      {"a closed channel keeps its last picture a moment, until a producer announces itself",
       {Q(0, 1), S(1), Q(1, 2), C, S(1), Q(2, 3), S(1), A, Q(3, 4), S(4)}},
      {"a new stream shows no held picture", {Q(0, 1), S(1), C, R, kB}},
      {"a producer keeping the slots at the close: nothing read under it to hold", {Q(0, 1), S(1), CP, kB}},
      {"a new stream numbers anew", {Q(0, 5), S(5), R, kB, Q(1, 2), S(2)}},
      {"numbers wrap past 2^64",
       {Q(0, kMax - 1), Q(1, kMax), Q(2, 0), Q(3, 1), S(kMax - 1), S(kMax), S(0), S(1), Q(0, kMax), S(1)}},
      {"a slot rewritten across the wrap is newer", {Q(0, kMax), W(0, 0), S(0)}},
  };
  const struct Pair {
    std::uint32_t fourcc;
    OutputFormat output;
  } pairs[] = {{kFourCcYuy2, Output(MEDIASUBTYPE_RGB24, 10, 6)}, {kFourCcYv12, Output(MEDIASUBTYPE_YUY2, 16, 8)}};
  for (const Pair& pair : pairs) {
    for (const Case& c : cases) {
      Start(pair.fourcc, pair.output);
      for (size_t i = 0; i < c.steps.size(); ++i) {
        SCOPED_TRACE(testing::Message() << c.name << ", step " << i << ", source " << std::hex << pair.fourcc);
        Run(c.steps[i]);
      }
    }
  }

  // A format that does not fit its slot would be read past its end; a sample
  // too small, or a format the camera does not write, is left alone. Said once.
  LogCapture log;
  Start(kFourCcYuy2, Output(MEDIASUBTYPE_YUY2, 16, 8), kCapacity - 1);
  for (std::uint64_t n = 1; n <= 2; ++n) {
    Run(Q(0, n));
    Run(kB);
  }
  EXPECT_EQ(1u, log.Count(L"frame 16x8 does not fit a slot of 255 bytes, no converter"));

  OutputFormat wide = Output(MEDIASUBTYPE_RGB24, 16, 8);
  wide.width = 40;  // a client's picture wider than its rows
  const struct {
    OutputFormat output;
    long size;
  } refused[] = {{Output(MEDIASUBTYPE_YUY2, 16, 8), 16 * 8 * 2 - 1},
                 {wide, 1 << 20},
                 {Output(MEDIASUBTYPE_RGB565, 16, 8), 1 << 20}};
  for (const auto& c : refused) {
    Start(kFourCcYuy2, c.output);
    Run(Q(0, 1));
    std::vector<std::uint8_t> buffer(c.size, 0xEE);
    for (int deadline = 0; deadline < 2; ++deadline) EXPECT_EQ(-1, source->Fill(buffer.data(), c.size, nullptr));
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xEE; }));
  }
  EXPECT_EQ(1u, log.Count(L"sample of 255 bytes cannot hold 256, picture left out"));

  // A mutex busy past a frame period lets a few deadlines pass (a busy machine
  // must not flash black); kept longer, black, said once.
  Start(kFourCcYuy2, Output(MEDIASUBTYPE_YUY2, 16, 8));
  Run(Q(0, 1));
  UniqueHandle held(CreateEventW(nullptr, TRUE, FALSE, nullptr)), done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::thread producer([&] {
    ring->Lock();
    SetEvent(held.Get());
    WaitForSingleObject(done.Get(), INFINITE);
    ring->Unlock();
  });
  WaitForSingleObject(held.Get(), INFINITE);
  std::vector<std::uint8_t> picture(PictureSize());
  for (int deadline = 0; deadline < 3; ++deadline)
    EXPECT_EQ(VideoFrameSource::kSkipped, source->Fill(picture.data(), PictureSize(), nullptr));
  Run(kB);
  Run(kB);
  SetEvent(done.Get());
  producer.join();
  Run(S(1));
  EXPECT_EQ(1u, log.Count(L"producer kept its mutex over 33 ms, black picture sent"));
}

void Put32(std::string& file, size_t at, std::uint32_t value) { std::memcpy(&file[at], &value, 4); }

// A 24-bit BMP header for width x height, then `bytes` of black pixels.
std::string Bmp(std::uint32_t width, std::uint32_t height, size_t bytes) {
  std::string file(54 + bytes, '\0');
  file[0] = 'B', file[1] = 'M', file[26] = 1, file[28] = 24;
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10, 54), Put32(file, 14, 40), Put32(file, 18, width), Put32(file, 22, height);
  return file;
}

// An 8-bit run-length BMP that ends at once: tiny, but decodes to width x height.
std::string RleBmp(std::int32_t width, std::int32_t height) {
  std::string file(54 + 8 + 2, '\0');
  file[0] = 'B', file[1] = 'M', file[26] = 1, file[28] = 8, file[30] = 1, file[46] = 2, file[63] = 1;
  Put32(file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(file, 10, 62), Put32(file, 14, 40), Put32(file, 18, static_cast<std::uint32_t>(width));
  Put32(file, 22, static_cast<std::uint32_t>(height)), Put32(file, 34, 2);
  return file;
}

// Each file the loader cannot use gives one error line naming it, and no picture.
TEST(IdleImage, TakesWhatFitsAndRefusesTheRestWithOneLine) {
  const struct {
    const char* what;
    std::string content;  // "missing": no file at all
    bool usable;
  } kCases[] = {
      {"missing", "", false},
      {"empty", "", false},
      {"text", "not a picture at all\r\n", false},
      {"truncated", Bmp(4, 4, 6), false},
      {"absurd width", Bmp(static_cast<std::uint32_t>(-5), 4, 48), false},
      {"zero height", Bmp(4, 0, 0), false},
      {"huge and short", Bmp(0x7FFFFFFF, 0x7FFFFFFF, 48), false},
      {"side beyond the limit", RleBmp(20000, 2), false},
      {"pixels beyond the limit", RleBmp(6000, 6000), false},
      {"large, within the limits", RleBmp(4000, 3000), true},
      {"small", Bmp(4, 4, 48), true},
  };
  TempDir dir;
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.what);
    const std::wstring path = dir.File(UniqueName(L"idle") + L".bmp");
    if (std::string(c.what) != "missing") WriteTextFile(path, c.content);
    LogCapture log;
    IdleImage image;
    EXPECT_EQ(LoadIdleImage(path, &image), c.usable);
    EXPECT_EQ(image.yuy2.size(), c.usable ? 2u * image.width * image.height : 0u);
    EXPECT_EQ(log.Count(L"[ERROR]"), c.usable ? 0u : 1u);
    EXPECT_EQ(log.Count(path), 1u);
  }
  EXPECT_EQ(IdleImagePath(L"idle.png", L"C:\\TELVOR"), L"C:\\TELVOR\\idle.png");
  EXPECT_EQ(IdleImagePath(L"\\\\server\\idle.png", L"C:\\TELVOR"), L"\\\\server\\idle.png");
}

// The whole address space of a 32-bit process taken, but for a hole of
// `hole` bytes that OpenHole frees; given back at the end of the scope.
class AddressSpaceTaken {
 public:
  explicit AddressSpaceTaken(SIZE_T hole) : hole_(VirtualAlloc(nullptr, hole, MEM_RESERVE, PAGE_NOACCESS)) {
    taken_.reserve(1 << 16);
    for (SIZE_T size = SIZE_T{1} << 30; size >= 65536 && taken_.size() < taken_.capacity();) {
      if (void* block = VirtualAlloc(nullptr, size, MEM_RESERVE, PAGE_NOACCESS))
        taken_.push_back(block);
      else
        size /= 2;
    }
    EXPECT_TRUE(hole_);
  }
  ~AddressSpaceTaken() {
    OpenHole();
    for (void* block : taken_) VirtualFree(block, 0, MEM_RELEASE);
  }
  void OpenHole() {
    if (hole_) VirtualFree(hole_, 0, MEM_RELEASE);
    hole_ = nullptr;
  }

 private:
  void* hole_;
  std::vector<void*> taken_;
};

// Short of memory (a 32-bit host whose address space is taken), rendering
// the idle picture for a new format fails whole: black, one line, and the
// picture again a moment after memory is back.
TEST(IdleImage, ShortOfMemoryGivesBlackWithOneLineAndThePictureOnceMemoryIsBack) {
  if (sizeof(void*) != 4) GTEST_SKIP() << "only a 32-bit process runs out of address space";
  TempDir dir;
  const std::wstring path = dir.File(L"white.bmp");
  std::string white = Bmp(4, 4, 48);
  std::fill(white.begin() + 54, white.end(), '\xFF');
  WriteTextFile(path, white);
  VideoFrameSource frames(nullptr);
  frames.WaitForLateFrames(false);
  frames.SetIdleImage(kVideoPinCameras + 7, path);
  const OutputFormat small = Output(MEDIASUBTYPE_YUY2, 16, 8), large = Output(MEDIASUBTYPE_YUY2, 1920, 1080);
  frames.SetOutput(small);
  const std::shared_ptr<IdlePicture> shared = IdlePicture::Acquire(kVideoPinCameras + 7, path);  // the same
  for (int i = 0; i < 500 && !shared->Image(); ++i) Sleep(10);
  std::vector<std::uint8_t> picture(PictureBytes(large));
  auto shows = [&](const OutputFormat& output, std::uint8_t y) {
    const long size = static_cast<long>(PictureBytes(output));
    return frames.Fill(picture.data(), size, nullptr) == size && picture[0] == y && picture[size - 1] == 128;
  };
  EXPECT_TRUE(shows(small, 235));
  bool black;
  LogCapture log;
  {
    // All the address space taken but one block the picture fits: the converter finds none.
    AddressSpaceTaken taken(4 << 20);
    taken.OpenHole();
    frames.SetOutput(large);
    black = shows(large, 16);
  }
  EXPECT_TRUE(black);
  EXPECT_EQ(1u, log.Count(L"no memory for the idle picture at 1920x1080, black until there is"));
  Sleep(1100);
  EXPECT_TRUE(shows(large, 235));
}

// Short of memory, the frame converter for a new format is not made whole:
// black rather than whatever the sample's buffer held, one line, and the
// producer's frames again a moment after memory is back.
TEST_F(VideoFrameSourceTest, ConverterShortOfMemoryGivesBlackWithOneLineAndFramesOnceMemoryIsBack) {
  if (sizeof(void*) != 4) GTEST_SKIP() << "only a 32-bit process runs out of address space";
  const OutputFormat large = Output(MEDIASUBTYPE_RGB32, 1920, 1080);
  const long size = static_cast<long>(PictureBytes(large));
  std::vector<std::uint8_t> picture(size, 0x55);
  LogCapture log;
  long filled;
  {
    AddressSpaceTaken taken(256 << 10);
    taken.OpenHole();
    Start(kFourCcYuy2, large);
    Run(Q(0, 1));
    // A deadline that finds the producer's mutex busy is skipped, as on a
    // busy machine; the next one tries again.
    int skipped = 0;
    do {
      filled = source->Fill(picture.data(), size, nullptr);
    } while (filled == VideoFrameSource::kSkipped && ++skipped < 20);
  }
  EXPECT_EQ(filled, size);
  EXPECT_TRUE(picture == Black()) << "not black";
  EXPECT_EQ(1u, log.Count(L"no memory for the converter 16x8 ==> 1920x1080, black frames until there is"));
  Sleep(1100);
  Run(Q(1, 2));
  Run(S(2));
}

// The reader queues while the deadlines take, as fast as they can: every
// deadline shows a whole frame and never one older than the last, and the
// last frame written is shown in the end (a queue whose count the two
// threads tore loses frames or loops for good).
TEST_F(VideoFrameSourceTest, QueueingRacingTakingKeepsOrderAndLosesNothingAtTheEnd) {
  Start(kFourCcYuy2, Output(MEDIASUBTYPE_YUY2, kWidth, kHeight));
  source->WaitForLateFrames(false);
  constexpr std::uint64_t kFrames = 20000;
  Watchdog dog("queueing racing taking", 60);
  std::thread reader([&] {
    for (std::uint64_t n = 1; n <= kFrames; ++n) {
      ring->Lock();
      const FrameEntry entry = Write(static_cast<int>(n % kSlots), n, true);
      std::memcpy(const_cast<std::uint8_t*>(entry.data), &n, sizeof n);  // the copy shows it whole
      ring->Unlock();
      // Queued outside the producer's mutex, which would otherwise keep
      // most deadlines out of the race.
      source->Queue(entry);
    }
  });
  std::uint64_t last = 0;
  std::string wrong;
  const auto shown = [&] {
    std::vector<std::uint8_t> picture(PictureSize());
    // A deadline whose slots stayed busy (the writer preempted holding the
    // mutex on a loaded machine) shows nothing: no order to check.
    if (source->Fill(picture.data(), PictureSize(), nullptr) == VideoFrameSource::kSkipped) return last;
    std::uint64_t n = 0;
    std::memcpy(&n, picture.data(), sizeof n);
    if (picture == Black()) return last;
    bool whole = n <= kFrames && n >= last;
    for (std::uint32_t i = sizeof n; whole && i < picture.size(); ++i) whole = picture[i] == Pattern(n, i);
    if (!whole && wrong.size() < 200) wrong += " after " + std::to_string(last) + ": " + std::to_string(n);
    return whole ? n : last;
  };
  for (int fills = 0; fills < 100000 && last < kFrames / 2; ++fills) last = shown();
  reader.join();
  for (int fills = 0; fills < 200 && last < kFrames; ++fills) last = shown();
  EXPECT_EQ(wrong, "");
  EXPECT_EQ(last, kFrames);
}

}  // namespace
}  // namespace telvor::test
