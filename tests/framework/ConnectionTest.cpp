// Connection, negotiation, enumeration and object lifetime of our pins,
// against Wine's real memory allocator; owning media types and their dump.
#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <cstring>
#include <string>
#include <vector>

#include "framework/ClassFactory.h"
#include "framework/EnumMediaTypes.h"
#include "framework/MediaTypeDump.h"
#include "framework/TestSource.h"
#include "support/LogCapture.h"
#include "support/TestSink.h"

namespace telvor::test {
namespace {

using ConnectionTest = ComTest;

// Without an allocator downstream (as FFmpeg) the memory allocator, sized by
// the source; with one, downstream's and its requirements. And the input pin
// base as a source sees it: exact codes, and a refused sample is not counted
// as processed, so the source knows where delivery stopped.
TEST_F(ConnectionTest, AllocatorIsDownstreamsOrElseTheMemoryAllocatorAndReceiveCodesAreExact) {
  for (const bool offered : {false, true}) {
    SCOPED_TRACE(offered);
    TestSinkOptions options;
    options.offerAllocator = offered;
    options.bufferSize = offered ? kFrameBytes * 2 : 0;
    options.bufferCount = 3;
    options.receiveResult = S_FALSE;
    ComPtr<TestSource> source = TestSource::Create();
    ComPtr<TestSink> sink = TestSink::Create(options);
    IPin* out = source->stream;
    ASSERT_EQ(S_OK, out->Connect(sink->InputPin(), nullptr));
    ComPtr<IMemInputPin> input;
    ASSERT_EQ(S_OK, sink->InputPin()->QueryInterface(IID_IMemInputPin, input.PutVoid()));
    ComPtr<IMemAllocator> allocator = sink->NotifiedAllocator(), downstreams;
    ASSERT_TRUE(allocator);
    EXPECT_EQ(offered ? S_OK : VFW_E_NO_ALLOCATOR, input->GetAllocator(downstreams.Put()));
    EXPECT_EQ(downstreams.Get(), offered ? allocator.Get() : nullptr);
    ALLOCATOR_PROPERTIES props = {};
    ASSERT_EQ(S_OK, allocator->GetProperties(&props));
    EXPECT_EQ(offered ? 3 : 2, props.cBuffers);
    EXPECT_EQ(offered ? kFrameBytes * 2 : kFrameBytes, props.cbBuffer);

    ASSERT_EQ(S_OK, allocator->Commit());
    ComPtr<IMediaSample> first, second;
    ASSERT_EQ(S_OK, allocator->GetBuffer(first.Put(), nullptr, nullptr, 0));
    ASSERT_EQ(S_OK, allocator->GetBuffer(second.Put(), nullptr, nullptr, 0));
    IMediaSample* samples[] = {first.Get(), second.Get()};
    long processed = -1;
    EXPECT_EQ(S_FALSE, input->ReceiveMultiple(samples, 2, &processed));
    EXPECT_EQ(0, processed);
    EXPECT_EQ(E_POINTER, input->ReceiveMultiple(nullptr, 2, &processed));
    EXPECT_EQ(E_POINTER, input->Receive(nullptr));
    EXPECT_EQ(E_POINTER, input->NotifyAllocator(nullptr, FALSE));
    EXPECT_EQ(E_POINTER, input->GetAllocatorRequirements(nullptr));
    EXPECT_EQ(S_FALSE, input->ReceiveCanBlock());
    first.Reset();
    second.Reset();
    allocator->Decommit();

    AM_MEDIA_TYPE type;
    ASSERT_EQ(S_OK, out->ConnectionMediaType(&type));
    EXPECT_TRUE(FrameType() == type);
    FreeMediaType(type);
    ComPtr<IPin> peer;
    ASSERT_EQ(S_OK, sink->InputPin()->ConnectedTo(peer.Put()));
    EXPECT_EQ(out, peer.Get());
    EXPECT_EQ(S_OK, out->Disconnect());
    EXPECT_EQ(S_FALSE, out->Disconnect());
    EXPECT_EQ(VFW_E_NOT_CONNECTED, out->ConnectionMediaType(&type));
    EXPECT_EQ(S_OK, sink->InputPin()->Disconnect());
  }
}

TEST_F(ConnectionTest, ConnectionFailuresReportExactCodes) {
  ComPtr<TestSource> source = TestSource::Create();
  IPin* out = source->stream;

  // Downstream accepts nothing we offer: every type refused.
  TestSinkOptions picky;
  picky.acceptedTypes.push_back(FrameType(32));
  ComPtr<TestSink> refusing = TestSink::Create(picky);
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, out->Connect(refusing->InputPin(), nullptr));
  EXPECT_FALSE(source->stream->IsConnected());

  // A fully specified type that is not ours: refused by our own check.
  ComPtr<TestSink> sink = TestSink::Create();
  CMediaType wide = FrameType(32);
  EXPECT_EQ(VFW_E_TYPE_NOT_ACCEPTED, out->Connect(sink->InputPin(), &wide));
  EXPECT_FALSE(source->stream->IsConnected());

  // A partial type that matches nothing we offer.
  CMediaType audio(&MEDIATYPE_Audio);
  EXPECT_EQ(VFW_E_NO_ACCEPTABLE_TYPES, out->Connect(sink->InputPin(), &audio));

  // Two output pins cannot connect; the specific reason beats "no types".
  ComPtr<TestSource> other = TestSource::Create();
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, out->Connect(other->stream, nullptr));
  CMediaType ours = FrameType();
  EXPECT_EQ(VFW_E_INVALID_DIRECTION, out->Connect(other->stream, &ours));

  ASSERT_EQ(S_OK, out->Connect(sink->InputPin(), nullptr));
  EXPECT_EQ(VFW_E_ALREADY_CONNECTED, out->Connect(sink->InputPin(), nullptr));
  EXPECT_EQ(E_POINTER, out->Connect(nullptr, nullptr));

  ASSERT_EQ(S_OK, source->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, out->Disconnect());
  EXPECT_EQ(S_OK, source->Stop());
  out->Disconnect();
  sink->InputPin()->Disconnect();
  ASSERT_EQ(S_OK, source->Pause());
  EXPECT_EQ(VFW_E_NOT_STOPPED, out->Connect(sink->InputPin(), nullptr));
  EXPECT_EQ(S_OK, source->Stop());
}

TEST_F(ConnectionTest, PinInfoCutsLongNamesAndReportsOwner) {
  const std::wstring longName(200, L'p');
  ComPtr<TestSource> source = TestSource::Create(longName.c_str());
  PIN_INFO info;
  ASSERT_EQ(S_OK, source->stream->QueryPinInfo(&info));
  EXPECT_EQ(std::wstring(MAX_PIN_NAME - 1, L'p'), info.achName);
  EXPECT_EQ(PINDIR_OUTPUT, info.dir);
  EXPECT_EQ(static_cast<IBaseFilter*>(source.Get()), info.pFilter);
  info.pFilter->Release();

  LPWSTR id = nullptr;
  ASSERT_EQ(S_OK, source->stream->QueryId(&id));
  EXPECT_EQ(longName, id);
  CoTaskMemFree(id);
  ComPtr<IPin> found;
  EXPECT_EQ(S_OK, source->FindPin(longName.c_str(), found.Put()));
  EXPECT_EQ(VFW_E_NOT_FOUND, source->FindPin(L"missing", found.Put()));
}

TEST_F(ConnectionTest, MediaTypeEnumeratorDetectsChangedList) {
  ComPtr<TestSource> source = TestSource::Create();
  ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(S_OK, source->stream->EnumMediaTypes(types.Put()));

  AM_MEDIA_TYPE* got[2] = {};
  EXPECT_EQ(E_INVALIDARG, types->Next(2, got, nullptr));
  source->stream->BumpTypeVersion();
  ULONG fetched = 7;
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, types->Next(1, got, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(VFW_E_ENUM_OUT_OF_SYNC, types->Skip(1));

  EXPECT_EQ(S_OK, types->Reset());
  EXPECT_EQ(S_FALSE, types->Next(2, got, &fetched));
  ASSERT_EQ(1u, fetched);
  EXPECT_TRUE(FrameType() == *got[0]);
  DeleteMediaType(got[0]);
  EXPECT_EQ(S_FALSE, types->Next(1, got, &fetched));
  EXPECT_EQ(0u, fetched);
}

TEST_F(ConnectionTest, ReferenceCountsAreExactAndUnloadFollowsLifetime) {
  ComPtr<TestSource> holder = TestSource::Create();
  TestSource* source = holder.Detach();  // exactly one reference, ours
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());

  EXPECT_EQ(2u, source->AddRef());
  EXPECT_EQ(1u, source->Release());

  IEnumPins* pins = nullptr;
  ASSERT_EQ(S_OK, source->EnumPins(&pins));
  IPin* pin = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(S_OK, pins->Next(1, &pin, &fetched));
  EXPECT_EQ(static_cast<IPin*>(source->stream), pin);
  EXPECT_EQ(S_FALSE, pins->Next(1, &pin, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(4u, pin->AddRef()) << "a pin counts on its filter: ours, the enumerator's, two on the pin";
  pin->Release();
  EXPECT_EQ(2u, pin->Release());
  EXPECT_EQ(0u, pins->Release());

  IBaseFilter* filter = nullptr;
  ASSERT_EQ(S_OK, source->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&filter)));
  EXPECT_EQ(1u, filter->Release());
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(0u, source->Release());
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

TEST_F(ConnectionTest, FilterAndPinAnswerTheirInterfacesAndRefuseOthers) {
  ComPtr<TestSource> source = TestSource::Create();
  TestStream* stream = source->stream;
  EXPECT_EQ(E_UNEXPECTED, stream->EndOfStream());
  EXPECT_EQ(E_UNEXPECTED, stream->BeginFlush());
  EXPECT_EQ(E_UNEXPECTED, stream->EndFlush());
  CMediaType ours = FrameType(), other = FrameType(32);
  EXPECT_EQ(S_OK, stream->QueryAccept(&ours));
  EXPECT_EQ(S_FALSE, stream->QueryAccept(&other));
  EXPECT_EQ(E_POINTER, stream->QueryAccept(nullptr));
  ComPtr<IQualityControl> quality;
  ASSERT_EQ(S_OK, stream->QueryInterface(IID_IQualityControl, quality.PutVoid()));
  EXPECT_EQ(E_NOTIMPL, quality->Notify(source.Get(), Quality{}));
  for (REFIID iid : {IID_IBaseFilter, IID_IMediaFilter, IID_IPersist, IID_IAMovieSetup, IID_IUnknown}) {
    ComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, source->QueryInterface(iid, unknown.PutVoid()));
  }
  ComPtr<IUnknown> none;
  EXPECT_EQ(E_NOINTERFACE, source->QueryInterface(IID_IPin, none.PutVoid()));
  EXPECT_EQ(nullptr, none.Get());
  FILTER_STATE state;
  EXPECT_EQ(S_OK, source->GetState(0, &state));
  EXPECT_EQ(State_Stopped, state);
  EXPECT_EQ(E_POINTER, source->GetState(0, nullptr));
}

// Owning media types: a copy has a block of its own, a type with a length
// but no block (as a careless peer sends) becomes a valid one without a
// block, and a partial type matches on the identifiers it names.
TEST(CMediaType, CopiesOwnTheirBlockAndPartialTypesMatchWhatTheyName) {
  CMediaType original = FrameType();
  CMediaType copy = original;
  ASSERT_NE(original.Format(), copy.Format());
  EXPECT_TRUE(copy == original);
  reinterpret_cast<VIDEOINFOHEADER*>(copy.Format())->bmiHeader.biWidth = 99;
  EXPECT_FALSE(copy == original) << "the format block is part of the comparison";
  CMediaType moved = std::move(copy);
  EXPECT_TRUE(copy.Format() == nullptr && copy.FormatLength() == 0u);
  EXPECT_EQ(sizeof(VIDEOINFOHEADER), moved.FormatLength());
  AM_MEDIA_TYPE broken = original;
  broken.pbFormat = nullptr;
  CMediaType fromBroken(broken);
  EXPECT_TRUE(fromBroken.Format() == nullptr && fromBroken.FormatLength() == 0u && fromBroken.IsValid());
  DeleteMediaType(nullptr);
  EXPECT_EQ(nullptr, CreateMediaType(nullptr));
  EXPECT_EQ(E_POINTER, CopyMediaType(nullptr, &original));

  AM_MEDIA_TYPE partial = {};
  EXPECT_TRUE(original.MatchesPartial(partial));
  partial.majortype = MEDIATYPE_Video;
  partial.subtype = MEDIASUBTYPE_YUY2;
  EXPECT_FALSE(original.MatchesPartial(partial));
  partial.subtype = MEDIASUBTYPE_RGB32;
  EXPECT_TRUE(original.MatchesPartial(partial));
  EXPECT_FALSE(CMediaType::IsFullySpecified(partial));
  EXPECT_TRUE(CMediaType::IsFullySpecified(original));
}

// A media type whose format block is a byte vector owned by the test.
struct TestType {
  AM_MEDIA_TYPE type = {};
  std::vector<BYTE> block;

  template <typename Header>
  TestType(const GUID& major, const GUID& sub, const GUID& format, const Header& header, ULONG length = sizeof(Header)) {
    block.resize(sizeof(Header));
    std::memcpy(block.data(), &header, sizeof(Header));
    type.majortype = major;
    type.subtype = sub;
    type.formattype = format;
    type.bFixedSizeSamples = TRUE;
    type.cbFormat = length;
    type.pbFormat = block.data();
  }
};

std::vector<std::wstring> DumpLines(const AM_MEDIA_TYPE* type) {
  LogCapture capture;
  DumpMediaType(type);
  for (const auto& line : capture.Lines()) EXPECT_EQ(line.sink, LogCapture::Sink::kTrace);
  return capture.Texts();
}

const WAVEFORMATEX kStereo = {WAVE_FORMAT_PCM, 2, 48000, 192000, 4, 16, 0};

VIDEOINFOHEADER Yuy2Vga() {
  VIDEOINFOHEADER header = {};
  header.AvgTimePerFrame = 333333;
  header.bmiHeader = {sizeof(BITMAPINFOHEADER), 640, 480, 1, 16, MAKEFOURCC('Y', 'U', 'Y', '2'), 614400, 0, 0, 0, 0};
  return header;
}

// Which header each format type is read as, and that a block is read only
// as far as its declared length reaches; the field-by-field text is the
// dump's own business.
TEST(DumpMediaType, EachBlockAsItsHeaderAndNeverPastItsLength) {
  TestType yuy2(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga());
  VIDEOINFOHEADER2 header = {};
  header.bmiHeader = {sizeof(BITMAPINFOHEADER), 1282, -720, 1, 32, BI_RGB, 3691520, -5, 7, 0, 0};
  TestType rgb(MEDIATYPE_Video, MEDIASUBTYPE_RGB32, FORMAT_VideoInfo2, header);
  TestType pcm(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, kStereo);
  TestType stream(MEDIATYPE_Stream, GUID_NULL, GUID_NULL, Yuy2Vga());  // unknown identifiers, no header
  TestType shortVideo(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga(), 80);
  // A VIDEOINFOHEADER-sized block labelled as VIDEOINFOHEADER2 must not be read past its end.
  TestType shortVideo2(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo2, Yuy2Vga());
  TestType shortWave(MEDIATYPE_Audio, MEDIASUBTYPE_PCM, FORMAT_WaveFormatEx, kStereo, 17);
  TestType noBlock(MEDIATYPE_Video, MEDIASUBTYPE_YUY2, FORMAT_VideoInfo, Yuy2Vga());
  noBlock.type.pbFormat = nullptr;
  const struct {
    TestType* type;
    const wchar_t* first;  // how the first line begins
    const wchar_t* second;
  } cases[] = {
      {&yuy2, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video MEDIASUBTYPE_YUY2 FORMAT_VideoInfo 1,0,",
       L"[TELVOR] VIDEOINFOHEADER = {0,0,0,0 0,0,0,0 0,0,333333 BITMAPINFOHEADER = {40,640,480,1,16,"},
      {&rgb, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video MEDIASUBTYPE_RGB32 FORMAT_VideoInfo2 ",
       L"[TELVOR] VIDEOINFOHEADER2 = {"},
      {&pcm, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Audio MEDIASUBTYPE_PCM FORMAT_WaveFormatEx ",
       L"[TELVOR] WAVEFORMATEX = {1,2,48000,192000,4,16,0}"},
      {&stream, L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_{E436EB83-524F-11CE-9F53-0020AF0BA770} ", L"[TELVOR] }"},
      {&shortVideo, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
      {&shortVideo2, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
      {&shortWave, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
      {&noBlock, L"[TELVOR] AM_MEDIA_TYPE = {", L"[TELVOR] }"},
  };
  for (const auto& c : cases) {
    const auto lines = DumpLines(&c.type->type);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(c.first, 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(c.second, 0), 0u) << lines[1];
  }
  EXPECT_TRUE(DumpLines(nullptr).empty());
}

}  // namespace
}  // namespace telvor::test
