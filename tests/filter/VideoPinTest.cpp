// What applications see of a camera filter and its video pin (the filter's
// interfaces, IAMStreamConfig and the control interface), and the pin in
// Wine's graph: pacing, stamps and the phase lock, and a producer racing the
// pin. Which picture each deadline shows is VideoFrameSourceTest's;
// producers coming and going, StreamingCameraTest's.
#include <gtest/gtest.h>

#include <dshow.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/Percentile.h"
#include "filter/GraphSound.h"
#include "support/TestSource.h"
#include "module/ModuleStartup.h"
#include "settings/ModulePaths.h"
#include "support/LogCapture.h"
#include "support/WinTestSupport.h"
#include "support/Watchdog.h"
#include "telvor_producer.h"
#include "support/FakeRing.h"
#include "support/VideoPinFixture.h"

namespace telvor::test {
namespace {

constexpr int kWidth = 160;
constexpr int kHeight = 120;
constexpr size_t kBytes = kWidth * kHeight * 2;

class VideoPin : public SinkGraphTest {
 protected:
  void TearDown() override {
    video.Reset();
    config.Reset();
    camera = Camera();
    SinkGraphTest::TearDown();
  }
  // The camera and its interfaces, its settings beside this program (or in its registry key).
  void Create(int cameraIndex, int defaultWidth = 0, int defaultHeight = 0, double fps = 30.0) {
    StartModule(nullptr);
    entry = MakeVideoEntry(cameraIndex, fps, defaultWidth, defaultHeight);
    camera = Camera::Create(cameraIndex, &entry);
    ASSERT_TRUE(camera.pin);
    ASSERT_EQ(S_OK, camera.filter.QueryInto(IID_ICorvaneVideoStream, video.PutVoid()));
    ASSERT_EQ(S_OK, camera.pin->QueryInterface(IID_IAMStreamConfig, config.PutVoid()));
  }
  // The camera at `fps`, connected in YUY2 at kWidth x kHeight.
  void Build(int cameraIndex, double fps) {
    ASSERT_NO_FATAL_FAILURE(Create(cameraIndex, 0, 0, fps));
    const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, fps);
    Connect(camera.filter.Get(), camera.pin, &type);
  }

  FilterEntry entry = {};
  Camera camera;
  ComPtr<ICorvaneVideoStream> video;
  ComPtr<IAMStreamConfig> config;
};

OutputFormat Describe(AM_MEDIA_TYPE* type) {
  const OutputFormat format = DescribeVideoType(*type);
  DeleteMediaType(type);
  return format;
}

// IAMStreamConfig through the pin's states. GetStreamCaps at odd indexes
// gives the fixed type wherever the pin has one (the offer's: HostileClient).
TEST_F(VideoPin, StreamConfigThroughThePinsStatesAndATypeAttachedToASample) {
  Create(kVideoPinCameras + 8, 1281, 720);
  struct Row {
    int index;
    HRESULT result;
    const GUID* subtype = nullptr;
    LONG capsWidth = 0;  // 0: the type's width
  };
  auto check = [&](const char* state, int count, std::initializer_list<Row> rows) {
    SCOPED_TRACE(state);
    int n = 0, size = 0;
    ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&n, &size));
    EXPECT_TRUE(n == count && size == 128) << n;
    for (const Row& row : rows) {
      SCOPED_TRACE(row.index);
      AM_MEDIA_TYPE* type = nullptr;
      VIDEO_STREAM_CONFIG_CAPS caps = {};
      EXPECT_EQ(row.result, config->GetStreamCaps(row.index, &type, reinterpret_cast<BYTE*>(&caps)));
      if (row.result != S_OK || !type) continue;
      const OutputFormat format = Describe(type);
      EXPECT_TRUE(*row.subtype == format.subtype && caps.guid == FORMAT_VideoInfo && caps.MinFrameInterval == 333333);
      EXPECT_TRUE(caps.MaxOutputSize.cx == (row.capsWidth ? row.capsWidth : LONG(format.width)) &&
                  caps.MinOutputSize.cy == LONG(format.height));
    }
  };
  auto current = [&] {
    AM_MEDIA_TYPE* type = nullptr;
    EXPECT_EQ(S_OK, config->GetFormat(&type));
    return type ? Describe(type).subtype : GUID_NULL;
  };
  const GUID *yuy2 = &MEDIASUBTYPE_YUY2, *rgb24 = &MEDIASUBTYPE_RGB24;
  // YV12, YUY2, RGB32, RGB24, I420, NV12 at the default size, its width padded.
  check("offer", 6, {{1, S_OK, yuy2, 1282}, {3, S_OK, rgb24, 1282}, {5, S_OK, &MEDIASUBTYPE_NV12, 1282}});
  // OpenCV edits GetFormat's YV12 type to RGB24 640x480 and leaves YV12's
  // compression, bit count and image size behind: the subtype decides.
  AM_MEDIA_TYPE* edited = nullptr;
  ASSERT_EQ(S_OK, config->GetFormat(&edited));
  auto* info = reinterpret_cast<VIDEOINFOHEADER*>(edited->pbFormat);
  edited->subtype = MEDIASUBTYPE_RGB24;
  edited->lSampleSize = 640 * 480 * 3;
  info->bmiHeader.biWidth = 640;
  info->bmiHeader.biHeight = 480;
  SetRectEmpty(&info->rcSource);
  ASSERT_EQ(S_OK, config->SetFormat(edited));
  DeleteMediaType(edited);
  ASSERT_EQ(S_OK, config->GetFormat(&edited));
  info = reinterpret_cast<VIDEOINFOHEADER*>(edited->pbFormat);
  EXPECT_TRUE(info->bmiHeader.biBitCount == 24 && info->bmiHeader.biCompression == BI_RGB &&
              info->bmiHeader.biSizeImage == 921600 && edited->lSampleSize == 921600);
  DeleteMediaType(edited);
  // The list stays what it was: applications read it again to choose anew.
  check("set", 6, {{-1, S_FALSE}, {INT_MIN, S_FALSE}, {9, S_FALSE}, {3, S_OK, rgb24, 1282}});
  EXPECT_EQ(MEDIASUBTYPE_RGB24, current());
  // The set format is the only one proposed and accepted until a null type.
  CMediaType proposed, other = VideoType(MEDIASUBTYPE_YUY2, 640, 480, 30.0);
  EXPECT_TRUE(camera.pin->GetMediaType(0, &proposed) == S_OK && proposed.subtype == MEDIASUBTYPE_RGB24);
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, camera.pin->GetMediaType(1, &proposed));
  EXPECT_EQ(S_FALSE, camera.pin->CheckMediaType(&other));
  // A type without a picture has no size to bind.
  CMediaType bare;
  bare.SetType(&MEDIATYPE_Video);
  bare.SetSubtype(&MEDIASUBTYPE_YUY2);
  bare.SetFormatType(&FORMAT_None);
  EXPECT_EQ(E_INVALIDARG, config->SetFormat(&bare));
  ASSERT_EQ(S_OK, config->SetFormat(nullptr));
  EXPECT_EQ(MEDIASUBTYPE_YV12, current());
  EXPECT_EQ(S_OK, camera.pin->CheckMediaType(&other));

  // A type without a frame duration connects at the camera's rate.
  TestSinkOptions options;
  options.acceptedTypes = {VideoType(MEDIASUBTYPE_YUY2, 1280, 720, 0.0)};
  sink = TestSink::Create(options);
  ASSERT_EQ(S_OK, camera.pin->Connect(sink->InputPin(), &options.acceptedTypes[0]));
  EXPECT_EQ(333333, camera.pin->CurrentOutputFormat().frameDuration);
  check("connected", 6, {});
  GUID subtype;
  UINT width = 0, height = 0;
  ASSERT_EQ(S_OK, video->GetSubType(&subtype));
  ASSERT_EQ(S_OK, video->GetOutputSize(&width, &height));
  EXPECT_TRUE(subtype == MEDIASUBTYPE_YUY2 && width == 1280 && height == 720);
  ASSERT_EQ(S_OK, camera.pin->GetMediaType(0, &proposed));
  EXPECT_TRUE(proposed == camera.pin->CurrentMediaType()) << "the connected type first";
  EXPECT_EQ(E_INVALIDARG, camera.pin->GetMediaType(-1, &proposed));
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, camera.pin->GetMediaType(7, &proposed));
  camera.pin->Disconnect();
  sink->InputPin()->Disconnect();

  ASSERT_EQ(S_OK, video->SetSubType(MEDIASUBTYPE_YUY2));
  ASSERT_EQ(S_OK, config->SetFormat(nullptr));
  check("forced", 1, {{-1, S_OK, yuy2}, {INT_MIN, S_OK, yuy2}, {0, S_OK, yuy2}, {1, S_FALSE}});

  // A type downstream attaches to a sample: that very sample is filled in it
  // (black: no producer), and nothing beyond.
  const CMediaType qvga = VideoType(MEDIASUBTYPE_YUY2, 320, 240, 30.0);
  ASSERT_EQ(S_OK, camera.pin->SetMediaType(&qvga));
  ComPtr<IMemAllocator> allocator;
  ComPtr<IMediaSample> sample;
  ALLOCATOR_PROPERTIES request = {0, 0, 1, 0};  // the memory allocator takes no alignment of 0
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   allocator.PutVoid()));
  ASSERT_EQ(S_OK, camera.pin->DecideBufferSize(allocator.Get(), &request));
  ASSERT_EQ(S_OK, allocator->Commit());
  ASSERT_EQ(S_OK, allocator->GetBuffer(sample.Put(), nullptr, nullptr, 0));
  BYTE* data = nullptr;
  ASSERT_EQ(S_OK, sample->GetPointer(&data));
  std::fill(data, data + sample->GetSize(), BYTE{0xEE});
  CMediaType rgb32 = VideoType(MEDIASUBTYPE_RGB32, 160, 120, 30.0);
  ASSERT_EQ(S_OK, sample->SetMediaType(&rgb32));

  ASSERT_EQ(S_OK, camera.pin->FillBuffer(sample.Get()));
  const OutputFormat now = camera.pin->CurrentOutputFormat();
  EXPECT_TRUE(now.subtype == MEDIASUBTYPE_RGB32 && now.width == 160u);
  constexpr long kPicture = 160 * 120 * 4;
  ASSERT_EQ(kPicture, sample->GetActualDataLength());
  EXPECT_TRUE(std::all_of(data, data + kPicture, [](BYTE b) { return b == 0; }));
  EXPECT_TRUE(std::all_of(data + kPicture, data + sample->GetSize(), [](BYTE b) { return b == 0xEE; }));
  EXPECT_TRUE(sample->IsSyncPoint() == S_OK && sample->IsDiscontinuity() == S_OK);
  sample.Reset();
  allocator->Decommit();
}

// Applications call into the camera from their Receive (OBS asks the filter
// for IKsPropertySet on every sample) while their own thread may stop the
// graph at any moment: none of those calls may wait for the stop, which
// waits for this very Receive to return.
TEST_F(VideoPin, CallsFromReceiveNeverWaitForAStopInProgress) {
  ASSERT_NO_FATAL_FAILURE(Create(kVideoPinCameras + 12));
  UniqueHandle inside(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  std::atomic<bool> stopping{false};
  std::atomic<int> answered{0};
  TestSinkOptions options;
  IBaseFilter* filter = camera.filter.Get();
  IPin* pin = camera.pin;
  IAMStreamConfig* streamConfig = config.Get();
  options.onReceive = [&](IMediaSample*) {
    if (stopping || WaitForSingleObject(inside.Get(), 0) == WAIT_OBJECT_0) return;
    SetEvent(inside.Get());
    while (!stopping) Sleep(1);
    Sleep(50);  // the stop now holds whatever it holds while it waits for us
    ComPtr<IKsPropertySet> properties;
    FILTER_STATE state;
    AM_MEDIA_TYPE connected = {};
    AM_MEDIA_TYPE* format = nullptr;
    ComPtr<IEnumPins> pins;
    FILTER_INFO info = {};
    int count = 0, size = 0;
    filter->QueryInterface(IID_IKsPropertySet, properties.PutVoid());  // the pin's, not the filter's
    ++answered;
    if (SUCCEEDED(filter->GetState(0, &state))) ++answered;
    if (SUCCEEDED(pin->ConnectionMediaType(&connected))) ++answered;
    FreeMediaType(connected);
    if (SUCCEEDED(streamConfig->GetFormat(&format))) ++answered;
    DeleteMediaType(format);
    if (SUCCEEDED(streamConfig->GetNumberOfCapabilities(&count, &size))) ++answered;
    if (SUCCEEDED(filter->EnumPins(pins.Put()))) ++answered;
    if (SUCCEEDED(filter->QueryFilterInfo(&info))) ++answered;
    if (info.pGraph) info.pGraph->Release();
  };
  const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, 30.0);
  Connect(camera.filter.Get(), camera.pin, &type, options);
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(inside.Get(), 4000));
  Watchdog dog("Stop while the sink calls back from Receive", 20);
  stopping = true;
  EXPECT_EQ(S_OK, control->Stop());
  EXPECT_EQ(7, answered.load());
}

// The page and the pin's control interface through the filter. A size set
// forces the only capability (kept in the settings: PageTest), a forced
// subtype narrows the proposals. Numbers entered as REG_DWORD, as users are
// told to, come from the camera's own registry keys (this program has no
// settings file).
TEST_F(VideoPin, FilterGivesItsPageAndAControlThatForcesTheOnlyCapability) {
  Create(kVideoPinCameras + 10);
  ComPtr<ISpecifyPropertyPages> pages;
  ASSERT_EQ(S_OK, camera.filter.QueryInto(IID_ISpecifyPropertyPages, pages.PutVoid()));
  CAUUID ids = {};
  ASSERT_EQ(S_OK, pages->GetPages(&ids));
  EXPECT_TRUE(ids.cElems == 1 && ids.pElems[0] == PropertyPageId(kVideoPinCameras + 10));
  CoTaskMemFree(ids.pElems);
  EXPECT_EQ(E_POINTER, pages->GetPages(nullptr));
  ComPtr<ICorvaneVideoStream> fromPin;
  ASSERT_EQ(S_OK, camera.pin->QueryInterface(IID_ICorvaneVideoStream, fromPin.PutVoid()));
  EXPECT_EQ(fromPin.Get(), video.Get());

  UINT width = 7, height = 7;
  ASSERT_EQ(S_OK, video->GetOutputSize(&width, &height));
  EXPECT_TRUE(width == 0 && height == 0) << "no default size and nothing set yet";
  ASSERT_EQ(S_OK, video->SetOutputSize(640, 480));
  int count = 0, size = 0;
  ASSERT_EQ(S_OK, config->GetNumberOfCapabilities(&count, &size));
  ASSERT_EQ(S_OK, video->GetOutputSize(&width, &height));
  EXPECT_TRUE(count == 1 && width == 640u);

  ASSERT_EQ(S_OK, video->SetSubType(MEDIASUBTYPE_RGB32));
  CMediaType proposed;
  ASSERT_EQ(S_OK, camera.pin->GetMediaType(0, &proposed));
  EXPECT_TRUE(proposed.subtype == MEDIASUBTYPE_RGB32 && DescribeVideoType(proposed).width == 640);
  EXPECT_EQ(VFW_S_NO_MORE_ITEMS, camera.pin->GetMediaType(1, &proposed));
  const CMediaType other = VideoType(MEDIASUBTYPE_RGB32, 320, 240, 30.0);
  EXPECT_EQ(S_FALSE, camera.pin->CheckMediaType(&other));
  EXPECT_EQ(S_OK, camera.pin->CheckMediaType(&proposed));
  ASSERT_EQ(S_OK, video->GetSupportedSize(0, &width, &height));
  EXPECT_EQ(1280u, width);  // the fallback size of a camera without sizes
  LONG value = 0;
  EXPECT_EQ(E_NOTIMPL, video->GetInput(&width));
  EXPECT_EQ(E_NOTIMPL, video->GetProperty(235, &value));

  const std::wstring ini = GetModulePaths().iniPath;
  const std::wstring key = L"Software\\TELVOR\\" + ini.substr(ini.rfind(L'\\') + 1) + L"\\CONFIG";
  const DWORD two = 2;
  RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"FILTER.DEINTERLACING.36", REG_DWORD, &two, 4);
  LogCapture log;
  UINT style = 9, mode = 9;
  ASSERT_EQ(S_OK, video->SetScaleStyle(1));
  ASSERT_EQ(S_OK, video->GetScaleStyle(&style));
  ASSERT_EQ(S_OK, video->GetDeinterlacing(&mode));
  EXPECT_TRUE(style == 1 && mode == 2);
  EXPECT_EQ(0u, log.Count(L"[TELVOR][ERROR]"));
  RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"FILTER.DEINTERLACING.36");
  ASSERT_EQ(S_OK, video->GetDeinterlacing(&mode));
  EXPECT_EQ(1u, mode) << "its default, with no value";
  RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), L"FILTER.SCALE.STYLE.36");
}


// AMCap's preview: a Smart Tee copies each sample into a buffer from the
// allocator its input had when its outputs connected. A reconnect (what
// SetFormat on a connected pin runs) must keep that one working.
TEST_F(VideoPin, KeepsStreamingThroughASmartTeeAfterAReconnect) {
  ASSERT_NO_FATAL_FAILURE(Create(kVideoPinCameras + 3));
  const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, 30.0);
  ComPtr<IBaseFilter> tee;
  ComPtr<IPin> in, preview;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_SmartTee, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, tee.PutVoid()));
  ASSERT_TRUE(tee->FindPin(L"Input", in.Put()) == S_OK && tee->FindPin(L"Preview", preview.Put()) == S_OK);
  sink = TestSink::Create();
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, graph.PutVoid()));
  for (IBaseFilter* filter : {camera.filter.Get(), tee.Get(), static_cast<IBaseFilter*>(sink.Get())})
    ASSERT_EQ(S_OK, graph->AddFilter(filter, nullptr));
  ASSERT_EQ(S_OK, graph->ConnectDirect(camera.pin, in.Get(), &type));
  ASSERT_EQ(S_OK, graph->ConnectDirect(preview.Get(), sink->InputPin(), nullptr));
  ASSERT_EQ(S_OK, graph->Reconnect(camera.pin));
  ASSERT_EQ(S_OK, graph.As(&control));
  ASSERT_TRUE(SUCCEEDED(control->Run()));
  EXPECT_TRUE(sink->WaitForSamples(10, 4000)) << sink->SampleCount() << " samples";
}

// Each frame goes into one slot in two halves with a pause between: a
// conversion outside the producer's mutex would mostly catch a torn frame.
TEST_F(VideoPin, RacingProducerNeitherTearsNorGoesBack) {
  const int index = kVideoPinCameras + 14;
  FakeRing ring(kVideoNames, index, RingBytes(kVideoSlotCount, kBytes));
  ASSERT_TRUE(ring.Ok());
  ring.SetVideoFormat(kFourCcYuy2, kWidth, kHeight, 30.0, kBytes);
  SlotHeader* slot = ring.Header(kBytes, 0);
  ASSERT_NO_FATAL_FAILURE(Build(index, 50.0));
  EXPECT_FALSE(GraphCarriesSound(graph.Get())) << "no count from Run to keep";
  ASSERT_EQ(S_OK, control->Run());
  ASSERT_TRUE(sink->WaitForSamples(1, 4000));
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    auto* payload = reinterpret_cast<std::uint8_t*>(slot + 1);
    for (std::uint64_t n = 1; n <= 240 && !stop; ++n) {
      ring.Lock();
      std::memset(payload, static_cast<int>(n), kBytes / 2);
      Sleep(3);
      std::memset(payload + kBytes / 2, static_cast<int>(n), kBytes / 2);
      slot->video_sequence = n;
      slot->payload_length = kBytes;
      ring.Unlock();
      Sleep(1);
    }
  });
  const std::vector<ReceivedSample> samples = Next(sink->SampleCount(), 30);
  stop = true;
  writer.join();
  ASSERT_EQ(30u, samples.size());
  int previous = 0, converted = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    const std::vector<BYTE>& data = samples[i].data;
    ASSERT_EQ(kBytes, data.size());
    if (data[0] == 16 && data[1] == 128) continue;  // black
    ASSERT_TRUE(std::all_of(data.begin(), data.end(), [&](BYTE b) { return b == data[0]; })) << i << " is torn";
    EXPECT_GE(data[0], previous) << "sample " << i << " went back in time";
    previous = data[0];
    ++converted;
  }
  EXPECT_GE(converted, 10);
}

// The rows of the pin's timing log, one per deadline: late, the steps
// (buffer, frame, slots, convert, deliver), arrival ("-" where no frame
// came) and shift, in ms.
std::vector<std::vector<std::string>> LoggedRows(const std::wstring& path) {
  std::vector<std::vector<std::string>> rows;
  std::istringstream file(ReadFileBytes(path));
  bool inRows = false;
  for (std::string line; std::getline(file, line); inRows = inRows || line.rfind("late buffer", 0) == 0) {
    std::istringstream fields(line);
    std::vector<std::string> row{std::istream_iterator<std::string>(fields), std::istream_iterator<std::string>()};
    if (inRows && row.size() == 8) rows.push_back(std::move(row));
  }
  return rows;
}

// The arrival and shift columns; an arrival of -1000 where no frame came.
std::vector<std::pair<double, double>> LoggedPhases(const std::wstring& path) {
  std::vector<std::pair<double, double>> phases;
  for (const auto& row : LoggedRows(path)) {
    phases.emplace_back(row[6] == "-" ? -1000.0 : std::atof(row[6].c_str()), std::atof(row[7].c_str()));
  }
  return phases;
}

// Median of the arrivals logged in rows [from, to). `late[i]` (100 ns) is
// how late the test's own writer wrote row i's frame on a busy machine; the
// deadlines follow the writes as they come, so a row counts as late as its
// write was beyond the window's usual (median) lateness, no more.
double MedianArrival(const std::vector<std::pair<double, double>>& rows, size_t from, size_t to,
                     const std::vector<REFERENCE_TIME>& late, double* usualLateMs) {
  std::vector<double> lateness, values;
  for (size_t i = from; i < to && i < late.size(); ++i) lateness.push_back(late[i] / 10000.0);
  std::sort(lateness.begin(), lateness.end());
  *usualLateMs = lateness.empty() ? 0.0 : NearestRank(lateness, 50);
  for (size_t i = from; i < to && i < rows.size(); ++i) {
    if (rows[i].first <= -1000.0) continue;
    values.push_back(rows[i].first + (i < late.size() ? late[i] / 10000.0 - *usualLateMs : 0.0));
  }
  std::sort(values.begin(), values.end());
  return values.empty() ? -1000.0 : NearestRank(values, 50);
}

// A 25 fps camera in the fixture's graph, with the pin's timing log, paused
// and then run at a start time of the test's own (the writes' place in the
// periods must not depend on when the test runs), while a producer writes
// frames 1..count, each all of byte k, at start + offset(k) by the graph's
// clock. `late[k]` is how late the test's own writer was on a busy machine.
class ScheduledRun {
 public:
  ScheduledRun(IFilterGraph* graph, IMediaControl* control, int index, int count,
               const std::function<REFERENCE_TIME(int)>& offset)
      : graphControl(control), late(count + 2, 0) {
    SetEnvironmentVariableW(L"TELVOR_PACING_LOG", logPath.c_str());
    const telvor_video_format format = {TELVOR_FOURCC_YUY2, kWidth, kHeight, 25.0, 0, 0};
    opened = telvor_open_video(index, 0, &format, &producer) == TELVOR_OK;
    paused = opened && graph->QueryInterface(IID_IMediaFilter, media.PutVoid()) == S_OK && control->Pause() == S_OK &&
             media->GetSyncSource(clock.Put()) == S_OK && clock && clock->GetTime(&start) == S_OK;
    if (!paused) return;
    start += 3000000;
    writer = std::thread([this, count, offset] {
      std::vector<std::uint8_t> frame(kBytes);
      for (int k = 1; k <= count; ++k) {
        const REFERENCE_TIME due = start + offset(k);
        REFERENCE_TIME t = 0;
        while (clock->GetTime(&t), t < due) Sleep(1);
        late[k] = t - due;
        std::memset(frame.data(), k, kBytes);
        telvor_write(producer, frame.data(), kBytes, TELVOR_TIMESTAMP_NOW);
      }
    });
  }
  ~ScheduledRun() {
    Join();
    graphControl->Stop();
    if (producer) telvor_close(producer);
    SetEnvironmentVariableW(L"TELVOR_PACING_LOG", nullptr);
  }
  void Join() {
    if (writer.joinable()) writer.join();
  }

  IMediaControl* graphControl;
  TempDir dir;
  const std::wstring logPath = dir.File(std::wstring(250, L'p') + L".txt");  // longer than MAX_PATH whole
  telvor_channel* producer = nullptr;
  ComPtr<IMediaFilter> media;
  ComPtr<IReferenceClock> clock;
  REFERENCE_TIME start = 0;
  std::vector<REFERENCE_TIME> late;
  std::thread writer;
  bool opened = false, paused = false;
};

// A producer writing 15 ms into each 40 ms period since before Run, 4 ms
// later from its 50th frame, then not at all. The deadlines are placed after
// its frames before the first sample, so no later move lets a frame be
// overtaken; they follow the change by steps and stay when it stops. (A
// producer appearing mid-stream moves them once: PhaseLock's table.)
TEST_F(VideoPin, DeadlinesPlacedAfterTheProducerBeforeRunThenFollowItBySteps) {
  constexpr REFERENCE_TIME kPeriod = 400000;
  constexpr int kFrames = 95, kChange = 50, kFirstShown = 7;  // frame 7 in the first period
  const int index = kVideoPinCameras + 13;
  ASSERT_NO_FATAL_FAILURE(Build(index, 25.0));
  ScheduledRun run(graph.Get(), control.Get(), index, kFrames,
                   [](int k) { return 150000 + (k - kFirstShown) * kPeriod + (k >= kChange ? 40000 : 0); });
  ASSERT_TRUE(run.opened && run.paused);
  EXPECT_EQ(S_OK, run.media->Run(run.start));
  const std::vector<ReceivedSample> first = Next(0, 14, 10000);
  run.Join();
  const ULONGLONG stoppedAt = GetTickCount64();
  ASSERT_EQ(20u, Next(sink->SampleCount(), 20).size());  // 800 ms without frames
  EXPECT_GE(GetTickCount64() - stoppedAt, 720u) << "nineteen periods of 40 ms at least";
  control->Stop();
  const std::vector<REFERENCE_TIME>& late = run.late;
  const std::wstring& pacingPath = run.logPath;

  ASSERT_EQ(14u, first.size());
  for (size_t i = 0; i < first.size(); ++i) {
    const ReceivedSample& s = first[i];
    ASSERT_TRUE(!s.data.empty() && s.data[0] &&
                std::all_of(s.data.begin(), s.data.end(), [&](BYTE b) { return b == s.data[0]; }))
        << "sample " << i << " is no producer frame";
    const int value = s.data[0], previous = i ? first[i - 1].data[0] : 0;
    if (i && std::all_of(late.begin() + previous, late.begin() + value + 2, [](REFERENCE_TIME l) { return l < 40000; })) {
      EXPECT_EQ(s.mediaStart - first[i - 1].mediaStart, value - previous) << "sample " << i;
    }
  }
  // On the grid throughout; a deadline woken late on a busy machine is a gap.
  const std::vector<ReceivedSample> samples = sink->Samples();
  for (size_t i = 0; i < samples.size(); ++i) {
    const ReceivedSample& s = samples[i];
    EXPECT_TRUE(s.hasTime && s.start == s.mediaStart * kPeriod && s.stop == s.start + kPeriod) << i;
    EXPECT_TRUE(i == 0 || s.mediaStart > samples[i - 1].mediaStart) << i;
  }
  // Row i is the deadline that shows frame 7 + i, but for the few a busy machine let go.
  const std::vector<std::pair<double, double>> rows = LoggedPhases(pacingPath);
  ASSERT_GE(rows.size(), size_t{kFrames - kFirstShown + 5});
  std::string shifts;
  size_t moves = 0;
  for (size_t i = 1; i < rows.size(); ++i) {
    moves += std::fabs(rows[i].second - rows[i - 1].second) > 1.0 ? 1 : 0;
    shifts += std::to_string(rows[i].second).substr(0, 5) + " ";
  }
  // Steps are 0.25 ms, a few in one row where a held picture left no row. A
  // busy machine may cost a move twice: writes too late before Run to place
  // on (the stamps above are checked only where they were on time), and a
  // stall longer than the lock's window.
  EXPECT_LE(moves, 2u) << "shifts: " << shifts;
  // Placed, and once the change is followed, frames arrive shortly before their deadlines.
  const std::vector<REFERENCE_TIME> rowLate(late.begin() + kFirstShown, late.end());
  const std::pair<size_t, size_t> windows[] = {{1, kChange - kFirstShown},
                                               {kChange - kFirstShown + 20, kFrames - kFirstShown}};
  for (const auto& [from, to] : windows) {
    double usualLate = 0;
    EXPECT_NEAR(2.5, MedianArrival(rows, from, to, rowLate, &usualLate), 2.5)
        << "rows " << from << "-" << to << ", writes late by " << usualLate << " ms (median); shifts: " << shifts;
  }
  EXPECT_EQ(rows[rows.size() - 15].second, rows.back().second) << "a producer that stopped leaves them";
}

// A producer writing 1 ms before each 40 ms period since before Run: the
// first deadline is placed a little later, just after a frame already queued,
// and shows it at once. (Placed later, the deadline once took the queued
// frames away as a period old, and that frame went out only after every
// wait for a newer one: 7 ms late.)
TEST_F(VideoPin, FirstDeadlinePlacedJustAfterAQueuedFrameShowsItAtOnce) {
  constexpr REFERENCE_TIME kPeriod = 400000, kBefore = 10000;
  constexpr int kFrames = 10, kFirstShown = 7;
  const int index = kVideoPinCameras + 11;
  ASSERT_NO_FATAL_FAILURE(Build(index, 25.0));
  ScheduledRun run(graph.Get(), control.Get(), index, kFrames,
                   [](int k) { return (k - kFirstShown) * kPeriod - kBefore; });
  ASSERT_TRUE(run.opened && run.paused);
  EXPECT_EQ(S_OK, run.media->Run(run.start));
  const std::vector<ReceivedSample> first = Next(0, 3, 10000);
  run.Join();
  control->Stop();
  ASSERT_EQ(3u, first.size());
  const std::vector<std::vector<std::string>> rows = LoggedRows(run.logPath);
  ASSERT_FALSE(rows.empty());
  // A busy machine that held the writer or the channel's reader back past
  // the deadline proves nothing: the frame was not there to show.
  if (run.late[kFirstShown] >= kBefore || rows[0][6] == "-" || std::atof(rows[0][6].c_str()) <= 0) {
    GTEST_SKIP() << "frame 7 queued after its deadline";
  }
  EXPECT_EQ(kFirstShown, first[0].data.empty() ? 0 : first[0].data[0]);
  EXPECT_LT(std::atof(rows[0][2].c_str()), 3.0) << "ms waited for a frame at the first deadline";
}

// A 24-bit BMP of one colour.
std::string SolidBmp(std::uint32_t width, std::uint32_t height, BYTE blue, BYTE green, BYTE red) {
  const std::uint32_t row = (width * 3 + 3) & ~3u, bytes = 54 + row * height;
  std::string file(bytes, '\0');
  const std::uint32_t fields[][2] = {{2, bytes}, {10, 54}, {14, 40}, {18, width}, {22, height}, {26, 1 | 24 << 16}};
  for (const auto& f : fields) std::memcpy(&file[f[0]], &f[1], 4);
  file[0] = 'B', file[1] = 'M';
  for (std::uint32_t y = 0; y < height; ++y)
    for (std::uint32_t x = 0; x < width; ++x)
      file.replace(54 + y * row + x * 3, 3, {char(blue), char(green), char(red)});
  return file;
}

// A camera filter connected in YUY2 in a graph of its own, and running.
struct RunningCamera {
  explicit RunningCamera(int index, const CameraSite& site = ProcessCameraSite())
      : entry(MakeVideoEntry(index)), camera(Camera::Create(index, &entry, site)) {
    const CMediaType type = VideoType(MEDIASUBTYPE_YUY2, kWidth, kHeight, 30.0);
    sink = TestSink::Create();
    const ULONGLONG start = GetTickCount64();
    connected = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterGraph, graph.PutVoid()) ==
                    S_OK && graph->AddFilter(camera.filter.Get(), nullptr) == S_OK &&
                graph->AddFilter(sink.Get(), nullptr) == S_OK &&
                graph->ConnectDirect(camera.pin, sink->InputPin(), &type) == S_OK;
    connectMs = GetTickCount64() - start;
    running = connected && graph.As(&control) == S_OK && SUCCEEDED(control->Run());
  }
  ~RunningCamera() {
    if (control) control->Stop();
  }
  // Whether a whole sample of Y, 128 arrives within 4 s.
  bool Shows(BYTE y) {
    const ULONGLONG end = GetTickCount64() + 4000;
    for (size_t seen = 0; GetTickCount64() < end && sink->WaitForSamples(seen + 1, 4000); ++seen) {
      const std::vector<BYTE> data = sink->Samples()[seen].data;
      bool all = data.size() == kBytes;
      for (size_t i = 0; all && i < data.size(); ++i) all = data[i] == (i % 2 ? 128 : y);
      if (all) return true;
    }
    return false;
  }
  FilterEntry entry;
  Camera camera;
  ComPtr<TestSink> sink;
  ComPtr<IFilterGraph> graph;
  ComPtr<IMediaControl> control;
  bool connected = false, running = false;
  ULONGLONG connectMs = 0;
};

// The idle picture is read off the client's calls and once per camera in the
// process: Connect and Run return, and black goes out, while a picture of 25
// million pixels is still decoding (Wine's imaging components refuse a pipe at
// once, so no path here blocks for good), and the filters of one camera share
// one decoding, which goes with the last of them.
TEST_F(VideoPin, IdlePictureNeverHoldsUpConnectAndIsDecodedOncePerCamera) {
  StartModule(nullptr);
  const std::wstring ini = GetModulePaths().iniPath;
  const std::wstring key = L"Software\\TELVOR\\" + ini.substr(ini.rfind(L'\\') + 1) + L"\\CONFIG";
  auto setIdle = [&](int index, const std::wstring& path) {
    const std::wstring name = L"FILTER.IDLE.IMAGE." + std::to_wstring(index + 1);
    RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name.c_str(), REG_SZ, path.c_str(),
                    static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
  };
  const int large = kVideoPinCameras + 5, shared = kVideoPinCameras + 6;
  TempDir dir;
  // 8-bit run-length coded, ended at once: a tiny file of 5000 x 5000 pixels.
  std::string rle = SolidBmp(1, 1, 0, 0, 0) + std::string(10, '\0');
  const std::uint32_t fields[][2] = {{2, 64}, {10, 62}, {18, 5000}, {22, 5000}, {28, 8}, {30, 1}, {46, 2}, {62, 256}};
  for (const auto& f : fields) std::memcpy(&rle[f[0]], &f[1], 4);
  const std::wstring big = dir.File(L"big.bmp");
  WriteTextFile(big, rle.substr(0, 64));
  setIdle(large, big);
  LogCapture log;
  // The decoding thread is held at its last step, its line, so a Connect
  // that waited for it would take the whole hold.
  constexpr std::chrono::milliseconds kHold{8000};
  log.HoldLinesContaining(big + L" 5000x5000", kHold);
  {
    RunningCamera camera(large);
    EXPECT_TRUE(camera.running) << camera.connectMs << " ms";
    EXPECT_LT(camera.connectMs, 4000u);
    EXPECT_TRUE(camera.Shows(16)) << "black while the picture decodes";
    log.Release();
    for (int i = 0; i < 300 && log.Count(big + L" 5000x5000") == 0; ++i) Sleep(50);
    EXPECT_EQ(1u, log.Count(big + L" 5000x5000"));
  }
  const std::wstring white = dir.File(L"white.bmp");
  WriteTextFile(white, SolidBmp(64, 32, 255, 255, 255));
  setIdle(shared, white);
  for (size_t round = 1; round <= 2; ++round) {
    RunningCamera first(shared), second(shared);
    EXPECT_TRUE(first.running && second.running && first.Shows(235) && second.Shows(235));
    EXPECT_EQ(round, log.Count(white + L" 64x32"));
  }
  for (int index : {large, shared})
    RegDeleteKeyValueW(HKEY_CURRENT_USER, key.c_str(), (L"FILTER.IDLE.IMAGE." + std::to_wstring(index + 1)).c_str());
}

// A camera made for another module's site keeps its settings in that
// module's file: its idle picture (named relative to that module's folder)
// and what its control interface sets.
TEST_F(VideoPin, KeepsItsSettingsInTheFileOfItsSite) {
  TempDir dir;
  ModulePaths paths = {};
  DeriveSettingsPaths(dir.File(L"SITE.AX").c_str(), &paths);
  const int index = kVideoPinCameras + 9;
  const std::string number = std::to_string(index + 1);
  WriteTextFile(paths.iniPath, "[CONFIG]\r\nFILTER.IDLE.IMAGE." + number + "=idle.bmp\r\n");
  WriteTextFile(dir.File(L"idle.bmp"), SolidBmp(64, 32, 255, 255, 255));
  RunningCamera camera(index, {HostInfo{}, &paths});
  EXPECT_TRUE(camera.running && camera.Shows(235));
  ComPtr<ICorvaneVideoStream> control;
  ASSERT_EQ(S_OK, camera.camera.filter.QueryInto(IID_ICorvaneVideoStream, control.PutVoid()));
  ASSERT_TRUE(control->SetScaleStyle(2) == S_OK && control->SetOutputSize(320, 240) == S_OK);
  for (const auto& [key, value] :
       {std::pair{L"SCALE.STYLE", 2}, {L"DEFAULT.OUTPUT.W", 320}, {L"DEFAULT.OUTPUT.H", 240}}) {
    const std::wstring name = L"FILTER." + std::wstring(key) + L"." + std::to_wstring(index + 1);
    EXPECT_EQ(value, static_cast<int>(GetPrivateProfileIntW(L"CONFIG", name.c_str(), -1, paths.iniPath))) << name;
  }
}

}  // namespace
}  // namespace telvor::test
