// The video pin of a camera filter: what it offers and accepts, how it paces
// and fills samples from the producer's frames, the channel thread feeding
// it, and its control interfaces.
//
// Threads and locks:
//   graph / application threads  negotiation, IAMStreamConfig, the control
//                                interface; under the filter's state lock
//   streaming thread             the framework's paced loop, FillBuffer; never
//                                takes the state lock (Inactive holds it
//                                while it waits for this thread)
//   channel thread               opens and closes the channel
//   channel reader thread        the two handlers; holds the producer's mutex
// m_QueueLock guards the frame queue and the last entry; m_ConverterLock the
// converter and the working picture. The two are never held together.
//
// Lock order: the producer's mutex first, then m_QueueLock or m_ConverterLock.
// The reader queues frames and rebuilds the converter holding the producer's
// mutex; FillBuffer converts a queued slot with the producer kept out too
// (the channel's LockSlots: it borrows the reader's idle hold of the mutex or
// takes the mutex itself), so that the producer cannot rewrite the slot
// halfway. FillBuffer therefore locks the slots with neither of its own locks
// held, and only for a bounded time: a producer that keeps its mutex costs a
// black sample, never a stalled stream.
//
// m_ChannelUse comes before all of them: the streaming thread holds it shared
// for each sample, the channel thread exclusively while it closes a channel
// whose producer has gone.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "filter/CapturePinCategory.h"
#include "filter/ChannelThread.h"
#include "filter/FrameQueue.h"
#include "filter/ICorvaneVideoStream.h"
#include "filter/PacingLog.h"
#include "framework/AccessGuard.h"
#include "filter/VideoMediaTypes.h"
#include "framework/Handle.h"
#include "framework/MediaType.h"
#include "framework/SourceStream.h"
#include "module/CameraTable.h"
#include "module/ModulePaths.h"

class SwScaler;
namespace telvor {
class SharedChannel;
class SharedVideo;
}

// What a pin offers, built once from the camera's settings and the host.
struct VideoOffer {
  std::vector<CMediaType> types;
  std::vector<std::pair<UINT, UINT>> sizes;
};

// Offered types and size list for a camera. sourceFps is the producer's rate
// (skype's list uses it), cameraFps the camera's configured rate, formatFile
// the camera's per-camera format file.
VideoOffer BuildVideoOffer(const HostInfo& host, const FilterEntry& entry, double cameraFps, double sourceFps,
                           const wchar_t* formatFile);

// The bitmap header of a VIDEOINFOHEADER or VIDEOINFOHEADER2 type whose
// format block holds it whole; null otherwise.
const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& type);
// biSizeImage as the header's size defines it, in 64 bits; -1 when beyond
// what one buffer can hold.
std::int64_t DibImageBytes(const BITMAPINFOHEADER& header);

// A frame rate the pin can divide by: (0, 1000] frames per second.
bool UsableFrameRate(double fps);

class CorvaneVideoStream : public CSourceStream,
                           public IAMStreamConfig,
                           public telvor::CapturePinCategory,
                           public ICorvaneVideoStream,
                           public ISpecifyPropertyPages {
 public:
  CorvaneVideoStream(HRESULT* hr, CSource* filter, const wchar_t* pinName, UINT cameraIndex,
                     const FilterEntry* entry);
  ~CorvaneVideoStream() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // --- negotiation (CorvaneVideoNegotiation.cpp) ---
  using CSourceStream::GetMediaType;
  HRESULT GetMediaType(int position, CMediaType* type) override;
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT SetMediaType(const CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

  // --- IQualityControl ---
  STDMETHODIMP Notify(IBaseFilter* sender, Quality quality) override;

  // --- IAMStreamConfig (CorvaneVideoStreamConfig.cpp) ---
  STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override;
  STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
  STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

  // --- ICorvaneVideoStream (CorvaneVideoControl.cpp) ---
  STDMETHODIMP GetSubType(GUID* subtype) override;
  STDMETHODIMP GetOutputSize(UINT* width, UINT* height) override;
  STDMETHODIMP GetSupportedSize(INT index, UINT* width, UINT* height) override;
  STDMETHODIMP SetSubType(REFGUID subtype) override;
  STDMETHODIMP SetOutputSize(UINT width, UINT height) override;
  STDMETHODIMP GetInput(UINT* input) override;
  STDMETHODIMP SetInput(UINT input) override;
  STDMETHODIMP Reserved10() override;
  STDMETHODIMP Reserved11() override;
  STDMETHODIMP GetProperty(UINT property, LONG* value) override;
  STDMETHODIMP SetProperty(UINT property, LONG value) override;
  STDMETHODIMP GetScaleStyle(UINT* style) override;
  STDMETHODIMP SetScaleStyle(UINT style) override;
  STDMETHODIMP GetDeinterlacing(UINT* mode) override;
  STDMETHODIMP Reserved17() override;
  STDMETHODIMP Reserved18() override;
  STDMETHODIMP Reserved19() override;
  STDMETHODIMP GetStatistics(UINT* value1, UINT* value2, UINT* value3, UINT* value4, UINT* value5,
                             LONGLONG* value6, UINT* value7, UINT* value8, UINT* value9) override;

  // --- ISpecifyPropertyPages ---
  STDMETHODIMP GetPages(CAUUID* pages) override;

  // --- production (CorvaneVideoProduction.cpp) ---
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadCreate() override;
  HRESULT OnThreadDestroy() override;
  HRESULT OnThreadStartPlay() override;
  REFERENCE_TIME MediaTime(LONGLONG frames) override;
  void OnRunning() override;
  void OnDeadline(REFERENCE_TIME lateness) override;
  void OnDelivered() override;
  void ResetScaler();
  void UseOutputFormat(const OutputFormat& format);

  // --- channel (CorvaneVideoChannel.cpp) ---
  HRESULT Active() override;
  HRESULT Inactive() override;
  static DWORD WINAPI KAVOShared_ThreadProc(void* pin);
  int KAVOShared_OnFormatChanged(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                 std::int32_t reserved, double frameRate);

  // For tests and the property page: the lists built at construction.
  const std::vector<CMediaType>& OfferedTypes() const { return m_Offer.types; }
  const std::vector<std::pair<UINT, UINT>>& SupportedSizes() const { return m_Offer.sizes; }
  OutputFormat CurrentOutputFormat() const { return m_OutputFormat; }
  // Live pins of this kind in the process.
  static LONG Instances();

 private:
  // negotiation helpers
  bool HasCurrentType() const;
  bool HasCapsType() const;
  const CMediaType* ModelType() const;
  bool AcceptsSubtype(REFGUID subtype) const;

  // production helpers
  void ApplySampleMediaType(IMediaSample* sample);
  FrameEntry TakeFrame();
  bool PopUndelivered(FrameEntry* entry);
  bool IsUndelivered(std::uint64_t sequence) const;
  DWORD ProducerWaitMs() const;
  FrameEntry CurrentSlotFrame(const FrameEntry& entry) const;
  FrameEntry OldestWholeFrame(FrameEntry entry);
  void WritePicture(IMediaSample* sample, const FrameEntry& entry);
  void WriteWorkingPicture(IMediaSample* sample, BYTE* buffer);
  void ConvertFrame(IMediaSample* sample, BYTE* buffer, const FrameEntry& entry);
  void MakeWorkingPicture();
  bool SourceFitsSlots(std::uint32_t capacity) const;

  // channel helpers
  static telvor::SharedChannel* StartChannel(void* pin, bool quiet);
  static void StopChannel(void* pin);
  static std::int32_t OnFormatChanged(telvor::SharedVideo* channel, std::uint32_t fourcc, std::uint32_t zero1,
                                      std::uint32_t width, std::uint32_t height, std::uint32_t zero2,
                                      double frameRate, std::uint32_t audioChannels, std::uint32_t audioBits,
                                      std::uint32_t audioRate, void* user);
  static std::int32_t OnVideoPreview(telvor::SharedVideo* channel, double sampleTime, const std::uint8_t* payload,
                                     std::uint32_t length, void* user);
  void ProbeChannelFrameRate();

  std::wstring CameraKey(const wchar_t* pattern) const;

  // identity
  const UINT m_CameraIndex;
  const FilterEntry* const m_pEntry;
  const HostInfo m_Host;
  double m_CameraFps = 30.0;

  // negotiation
  OutputFormat m_OutputFormat = {};
  VideoOffer m_Offer;
  std::unique_ptr<CMediaType> m_pForcedType;

  // control
  UINT m_SetWidth = 0;
  UINT m_SetHeight = 0;
  UINT m_ScaleStyle = 0;

  // pacing
  telvor::PacingLog m_PacingLog;
  std::optional<telvor::AccessGuardUse> m_GuardUse;  // the streaming thread's

  // frames
  CCritSec m_QueueLock;
  FrameQueue m_Queue;
  FrameEntry m_LastEntry = {};
  // Set by the reader for every queued frame: a streaming thread waiting for
  // one takes it at once instead of at the end of its 1 ms wait.
  UniqueHandle m_FrameQueued;
  // Streaming thread only: the producer's number of the newest frame put into
  // a sample; queued frames up to it are stale and skipped.
  std::uint64_t m_NewestDelivered = 0;
  bool m_AnyDelivered = false;
  bool m_ProducerBusyLogged = false;

  // producer format, written by the channel's reader
  std::uint32_t m_SourceFourcc = 0;
  std::uint32_t m_SourceWidth = 0;
  std::uint32_t m_SourceHeight = 0;
  std::int32_t m_SourceReserved = 0;
  double m_SourceFrameRate = 30.0;
  std::uint32_t m_SourceCapacity = 0;

  // picture, under m_ConverterLock
  UniqueHandle m_ConverterLock;
  std::uint8_t* m_pWorkingPicture = nullptr;
  std::int32_t m_InterpolationCode = 2;
  std::uint32_t m_SourceStride = 0;
  std::unique_ptr<SwScaler> m_pConverter;
  std::int64_t m_ConverterSourceBytes = 0;  // bytes Scale reads per frame
  FrameEntry m_LastGoodEntry = {};          // last entry long enough to convert
  bool m_ShortFrameLogged = false;
  bool m_SmallBufferLogged = false;

  // channel
  // Held shared by the streaming thread while it uses queued entries (which
  // point into the channel's view), exclusively by the channel thread to
  // close the channel when its producer has gone.
  SRWLOCK m_ChannelUse = SRWLOCK_INIT;
  telvor::ChannelThread m_ChannelThread;
  telvor::SharedVideo* m_pChannel = nullptr;  // owned; only the channel thread touches it
};
