// The video pin of a camera filter: what it offers and accepts, how it paces
// and fills samples from the producer's frames, the channel thread feeding
// it, and its control interfaces.
//
// Threads and locks:
//   graph / application threads  negotiation, IAMStreamConfig, the control
//                                interface; under the filter's state lock
//   streaming thread             the framework's paced loop, FillBuffer; takes
//                                the state lock only by trying (Inactive holds
//                                it while it waits for this thread)
//   channel thread               opens and closes the channel
//   channel reader thread        the two handlers; holds the producer's mutex
// What each sample shows (the frame queue, the converter, black) is the frame
// source's, with its own locks and their order (VideoFrameSource.h).
#pragma once

#include <windows.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "base/AccessGuard.h"
#include "base/Handle.h"
#include "filter/CapturePinCategory.h"
#include "filter/ChannelSourceStream.h"
#include "filter/video/FrameQueue.h"
#include "filter/video/ICorvaneVideoStream.h"
#include "filter/ProducerPacing.h"
#include "filter/video/VideoFrameSource.h"
#include "filter/video/VideoMediaTypes.h"
#include "filter/video/VideoOffer.h"
#include "framework/MediaType.h"
#include "settings/CameraTable.h"
#include "settings/ModulePaths.h"
#include "transport/SlotHeader.h"
#include "transport/WatchStatus.h"

class SwScaler;
namespace telvor {
class SharedChannel;
class SharedVideo;
}

// The bitmap header of a VIDEOINFOHEADER or VIDEOINFOHEADER2 type whose
// format block holds it whole; null otherwise.
const BITMAPINFOHEADER* VideoBitmapHeader(const AM_MEDIA_TYPE& type);
// biSizeImage as the header's size defines it, in 64 bits; -1 when beyond
// what one buffer can hold.
std::int64_t DibImageBytes(const BITMAPINFOHEADER& header);

// Buffers the video pin asks of an allocator (see DecideBufferSize).
inline constexpr long kVideoBufferCount = 4;

// A frame rate the pin can divide by: (0, 1000] frames per second.
bool UsableFrameRate(double fps);

class CorvaneVideoStream : public ChannelSourceStream,
                           public IAMStreamConfig,
                           public telvor::CapturePinCategory,
                           public ICorvaneVideoStream,
                           public ISpecifyPropertyPages,
                           private telvor::ProducerPacing::Items {
 public:
  CorvaneVideoStream(HRESULT* hr, CSource* filter, const wchar_t* pinName, UINT cameraIndex, const FilterEntry* entry,
                     const CameraSite& site);
  ~CorvaneVideoStream() override;

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // --- negotiation (CorvaneVideoNegotiation.cpp) ---
  using ChannelSourceStream::GetMediaType;
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
  bool ClientMayCountFromRun() override;
  void OnDelivered() override;
  void WarmDeliveryBuffer();
  void ResetScaler();
  void UseOutputFormat(const OutputFormat& format);

  // --- channel (CorvaneVideoChannel.cpp) ---
  int KAVOShared_OnFormatChanged(std::uint32_t fourcc, std::uint32_t width, std::uint32_t height,
                                 std::int32_t reserved, double frameRate);

  // For tests and the property page: the lists built at construction.
  const std::vector<CMediaType>& OfferedTypes() const { return m_Offer.types; }
  const std::vector<std::pair<UINT, UINT>>& SupportedSizes() const { return m_Offer.sizes; }
  OutputFormat CurrentOutputFormat() const { return m_OutputFormat; }
  // Live pins of this kind in the process.
  static long Instances() { return s_Instances.load(); }

 private:
  // negotiation helpers
  bool HasCurrentType() const;
  const CMediaType* ModelType() const;
  bool AcceptsSubtype(REFGUID subtype) const;

  // production helpers
  void ApplySampleMediaType(IMediaSample* sample);

  // --- ProducerPacing::Items ---
  std::int64_t RunPeriod() override { return m_OutputFormat.frameDuration; }
  int PlacingArrivals(const telvor::ProducerPacing& pacing, std::int64_t* arrivals, int max,
                      std::int64_t* period) override;
  void PlacedLater(bool newestDue) override;

  // --- ChannelSourceStream ---
  telvor::SharedChannel* OpenChannel(bool quiet) override;
  void CloseChannel() override;
  void ForgetChannel() override;

  // channel callbacks
  static std::int32_t OnFormatChanged(telvor::SharedVideo* channel, const telvor::SlotHeader& header, void* user);
  static std::int32_t OnVideoPreview(telvor::SharedVideo* channel, double sampleTime, const std::uint8_t* payload,
                                     std::uint32_t length, void* user);
  void ProbeChannelFrameRate();
  void UseIdleImageSetting();

  std::wstring CameraKey(const wchar_t* pattern) const;

  static std::atomic<long> s_Instances;

  // identity
  const UINT m_CameraIndex;
  const FilterEntry* const m_pEntry;
  const HostInfo m_Host;
  const ModulePaths* const m_Paths;  // the module's, for the settings and the format file
  double m_CameraFps = 30.0;

  // negotiation
  OutputFormat m_OutputFormat = {};
  VideoOffer m_Offer;
  std::unique_ptr<CMediaType> m_pForcedType;
  // An application's SetFormat binds the connections that follow until it
  // sets a null type (m_mt holds the type).
  bool m_FormatSet = false;

  // control
  UINT m_SetWidth = 0;
  UINT m_SetHeight = 0;

  // when each deadline is due against the producer's frames
  telvor::ProducerPacing m_Pacing;
  telvor::WatchPublisher m_Watch;  // streaming thread
  std::optional<telvor::AccessGuardUse> m_GuardUse;  // the streaming thread's

  // what each deadline shows; the producer format's rate and the slots'
  // capacity as the channel's reader announced them
  VideoFrameSource m_Frames;
  std::int32_t m_SourceReserved = 0;
  double m_SourceFrameRate = 30.0;
  std::uint32_t m_SourceCapacity = 0;

  // Created and deleted only on the channel thread.
  std::unique_ptr<telvor::SharedVideo> m_pChannel;
};
