// Connection, negotiation, enumeration and object lifetime of our pins,
// against Wine's real memory allocator; owning media types and their dump.
#include <gtest/gtest.h>

#include <dshow.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <string>

#include "framework/ClassFactory.h"
#include "framework/MediaTypeDump.h"
#include "support/TestSource.h"
#include "support/LogCapture.h"

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

// Pin and filter answers on one unconnected source whose pin name is longer
// than PIN_INFO holds: exact codes and reference counts, the name cut, the
// enumerator noticing a changed type list, and the module held while any of
// it lives.
TEST_F(ConnectionTest, UnconnectedPinAndFilterAnswerExactCodesAndCounts) {
  const std::wstring longName(200, L'p');
  TestSource* source = TestSource::Create(longName.c_str()).Detach();  // exactly one reference, ours
  TestStream* stream = source->stream;
  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(2u, source->AddRef());
  EXPECT_EQ(1u, source->Release());

  PIN_INFO info;
  ASSERT_EQ(S_OK, stream->QueryPinInfo(&info));
  EXPECT_EQ(std::wstring(MAX_PIN_NAME - 1, L'p'), info.achName);
  EXPECT_EQ(PINDIR_OUTPUT, info.dir);
  EXPECT_EQ(static_cast<IBaseFilter*>(source), info.pFilter);
  info.pFilter->Release();
  LPWSTR id = nullptr;
  ASSERT_EQ(S_OK, stream->QueryId(&id));
  EXPECT_EQ(longName, id);
  CoTaskMemFree(id);
  ComPtr<IPin> found;
  EXPECT_EQ(S_OK, source->FindPin(longName.c_str(), found.Put()));
  EXPECT_EQ(VFW_E_NOT_FOUND, source->FindPin(L"missing", found.Put()));

  IEnumPins* pins = nullptr;
  ASSERT_EQ(S_OK, source->EnumPins(&pins));
  IPin* pin = nullptr;
  ULONG fetched = 0;
  ASSERT_EQ(S_OK, pins->Next(1, &pin, &fetched));
  EXPECT_EQ(static_cast<IPin*>(stream), pin);
  EXPECT_EQ(S_FALSE, pins->Next(1, &pin, &fetched));
  EXPECT_EQ(0u, fetched);
  EXPECT_EQ(4u, pin->AddRef()) << "a pin counts on its filter: ours, the enumerator's, two on the pin";
  pin->Release();
  EXPECT_EQ(2u, pin->Release());
  EXPECT_EQ(0u, pins->Release());

  ComPtr<IEnumMediaTypes> types;
  ASSERT_EQ(S_OK, stream->EnumMediaTypes(types.Put()));
  AM_MEDIA_TYPE* got[2] = {};
  EXPECT_EQ(E_INVALIDARG, types->Next(2, got, nullptr));
  stream->BumpTypeVersion();
  fetched = 7;
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
  types.Reset();

  EXPECT_EQ(E_UNEXPECTED, stream->EndOfStream());
  EXPECT_EQ(E_UNEXPECTED, stream->BeginFlush());
  EXPECT_EQ(E_UNEXPECTED, stream->EndFlush());
  CMediaType ours = FrameType(), other = FrameType(32);
  EXPECT_EQ(S_OK, stream->QueryAccept(&ours));
  EXPECT_EQ(S_FALSE, stream->QueryAccept(&other));
  EXPECT_EQ(E_POINTER, stream->QueryAccept(nullptr));
  ComPtr<IQualityControl> quality;
  ASSERT_EQ(S_OK, stream->QueryInterface(IID_IQualityControl, quality.PutVoid()));
  EXPECT_EQ(E_NOTIMPL, quality->Notify(source, Quality{}));
  quality.Reset();
  for (REFIID iid : {IID_IBaseFilter, IID_IMediaFilter, IID_IPersist, IID_IAMovieSetup, IID_IUnknown}) {
    IUnknown* unknown = nullptr;
    ASSERT_EQ(S_OK, source->QueryInterface(iid, reinterpret_cast<void**>(&unknown)));
    EXPECT_EQ(1u, unknown->Release());
  }
  IUnknown* none = reinterpret_cast<IUnknown*>(1);
  EXPECT_EQ(E_NOINTERFACE, source->QueryInterface(IID_IPin, reinterpret_cast<void**>(&none)));
  EXPECT_EQ(nullptr, none);
  FILTER_STATE state;
  EXPECT_EQ(S_OK, source->GetState(0, &state));
  EXPECT_EQ(State_Stopped, state);
  EXPECT_EQ(E_POINTER, source->GetState(0, nullptr));

  EXPECT_EQ(S_FALSE, DllCanUnloadNow());
  EXPECT_EQ(0u, source->Release());
  EXPECT_EQ(S_OK, DllCanUnloadNow());
}

// Owning media types: a copy has a block of its own, a type with a length
// but no block (as a careless peer sends) becomes a valid one without a
// block, and a partial type matches on the identifiers it names.
TEST(CMediaType, CopiesOwnTheirBlockAndPartialTypesMatchWhatTheyName) {
  CMediaType original = FrameType();
  CMediaType copy = original;
  ASSERT_NE(original.Format(), copy.Format());
  EXPECT_TRUE(copy == original);
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
}

// Which header each format type is read as, and that a client's block is
// never read past its declared length, nor when it is missing; what each
// field prints is the dump's own business.
TEST(DumpMediaType, EachBlockAsItsHeaderAndNeverPastItsLength) {
  const struct {
    const GUID* format;
    ULONG length;
    bool block;
    const wchar_t* second;  // how the second line begins
  } cases[] = {
      {&FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), true, L"[TELVOR] VIDEOINFOHEADER = {"},
      {&FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER2), true, L"[TELVOR] VIDEOINFOHEADER2 = {"},
      {&FORMAT_WaveFormatEx, sizeof(WAVEFORMATEX), true, L"[TELVOR] WAVEFORMATEX = {"},
      {&GUID_NULL, sizeof(VIDEOINFOHEADER2), true, L"[TELVOR] }"},
      {&FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER) - 8, true, L"[TELVOR] }"},
      {&FORMAT_VideoInfo2, sizeof(VIDEOINFOHEADER), true, L"[TELVOR] }"},
      {&FORMAT_WaveFormatEx, sizeof(WAVEFORMATEX) - 1, true, L"[TELVOR] }"},
      {&FORMAT_VideoInfo, sizeof(VIDEOINFOHEADER), false, L"[TELVOR] }"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    CMediaType type(&MEDIATYPE_Video);
    type.SetFormatType(c.format);
    type.AllocFormatBuffer(c.length);
    AM_MEDIA_TYPE shallow = type;
    if (!c.block) shallow.pbFormat = nullptr;
    LogCapture capture;
    DumpMediaType(&shallow);
    const auto lines = capture.Texts();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind(L"[TELVOR] AM_MEDIA_TYPE = {MEDIATYPE_Video ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind(c.second, 0), 0u) << lines[1];
  }
  DumpMediaType(nullptr);
}

}  // namespace
}  // namespace telvor::test
