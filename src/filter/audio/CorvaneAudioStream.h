// The output pin of a camera's audio filter.
//
// It offers one format, 16-bit stereo PCM at 48 kHz, and delivers the
// producer's packets from the camera's shared audio channel at the pace of
// the system reference clock, with silence whenever no packet is there. The
// channel and its thread are kept as ChannelSourceStream.h describes.
#pragma once

#include <windows.h>
#include <mmreg.h>
#include <strmif.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "filter/audio/AudioBuffer.h"
#include "filter/audio/AudioFormat.h"
#include "filter/audio/AudioPacketQueue.h"
#include "filter/CapturePinCategory.h"
#include "filter/ChannelSourceStream.h"
#include "filter/ProducerPacing.h"
#include "framework/MediaType.h"
#include "framework/Source.h"
#include "transport/SharedAudio.h"
#include "transport/SlotHeader.h"
#include "transport/WatchStatus.h"

struct FilterEntry;


class CorvaneAudioStream : public ChannelSourceStream,
                           public IAMStreamConfig,
                           public IAMBufferNegotiation,
                           public telvor::CapturePinCategory,
                           private telvor::ProducerPacing::Items {
 public:
  // `entry` is the camera-table record; it outlives every filter.
  CorvaneAudioStream(HRESULT* hr, CSource* filter, const wchar_t* pinName, int cameraIndex,
                     const FilterEntry* entry);
  ~CorvaneAudioStream() override;

  // Audio pins alive in this process.
  static long Instances() { return s_Instances.load(); }

  DECLARE_IUNKNOWN
  STDMETHODIMP NonDelegatingQueryInterface(REFIID iid, void** out) override;

  // --- IAMStreamConfig ---
  STDMETHODIMP SetFormat(AM_MEDIA_TYPE* type) override;
  STDMETHODIMP GetFormat(AM_MEDIA_TYPE** type) override;
  STDMETHODIMP GetNumberOfCapabilities(int* count, int* size) override;
  STDMETHODIMP GetStreamCaps(int index, AM_MEDIA_TYPE** type, BYTE* caps) override;

  // --- IAMBufferNegotiation (AudioBufferNegotiation.cpp) ---
  // Applications ask for short buffers to keep their latency down (OBS asks
  // for 10 ms). A suggestion is honoured within kMinBufferBytes and
  // kBufferSize per buffer and kMinBufferCount to kMaxBufferCount buffers,
  // rounded to whole sample frames; a packet longer than a buffer goes out
  // over several. Negative members keep the pin's own choice.
  STDMETHODIMP SuggestAllocatorProperties(const ALLOCATOR_PROPERTIES* properties) override;
  // What the allocator granted at the connection; VFW_E_NOT_CONNECTED before.
  STDMETHODIMP GetAllocatorProperties(ALLOCATOR_PROPERTIES* properties) override;

  // --- streaming thread ---
  HRESULT FillBuffer(IMediaSample* sample) override;
  HRESULT OnThreadStartPlay() override;
  HRESULT OnThreadDestroy() override;
  void OnDelivered() override;
  LONGLONG MediaLength(IMediaSample* sample) override;
  REFERENCE_TIME MediaTime(LONGLONG frames) override;
  void OnRunning() override;

  // --- pin ---
  HRESULT CheckMediaType(const CMediaType* type) override;
  HRESULT SetMediaType(const CMediaType* type) override;
  using ChannelSourceStream::GetMediaType;
  HRESULT GetMediaType(CMediaType* type) override;
  HRESULT DecideBufferSize(IMemAllocator* allocator, ALLOCATOR_PROPERTIES* request) override;

  // --- channel thread and channel callbacks ---
  static constexpr UINT kStartChannel = 0x500;
  static constexpr UINT kStopChannel = 0x501;
  std::int32_t KAVOShared_OnFormatChanged(telvor::SharedAudio* channel, std::uint32_t channels,
                                          std::uint32_t bitsPerSample, std::uint32_t samplesPerSecond);

  // The sizes asked of the allocator: room for about a third of a second of
  // audio per buffer, so any sensible producer packet fits whole.
  static constexpr long kBufferCount = 32;
  static constexpr long kBufferSize = 65536;
  static constexpr long kMinBufferBytes = 192;  // 1 ms
  static constexpr long kMinBufferCount = 4;
  static constexpr long kMaxBufferCount = 512;

 private:
  // --- ChannelSourceStream ---
  telvor::SharedChannel* OpenChannel(bool quiet) override;
  void CloseChannel() override;
  void ForgetChannel() override;
  void SkipHistory(telvor::SharedAudio* channel);

  // --- ProducerPacing::Items ---
  std::int64_t RunPeriod() override { return 0; }
  int PlacingArrivals(const telvor::ProducerPacing& pacing, std::int64_t* arrivals, int max,
                      std::int64_t* period) override;

  static std::int32_t OnFormatChanged(telvor::SharedAudio* channel, const telvor::SlotHeader& header, void* user);
  static std::int32_t OnAudioPreview(telvor::SharedAudio* channel, double sampleTime,
                                     const std::uint8_t* payload, std::uint32_t length, void* user);

  static std::atomic<long> s_Instances;

  const int m_CameraIndex;
  const FilterEntry* m_pEntry;  // not owned
  const WORD m_Channels = telvor::kAudioChannels;
  const WORD m_BitsPerSample = telvor::kAudioBitsPerSample;
  const DWORD m_SamplesPerSecond = telvor::kAudioSamplesPerSecond;
  CMediaType m_OfferedType;
  WAVEFORMATEX m_Connected;  // format of the type SetMediaType stored

  // Created and deleted only on the channel thread.
  std::unique_ptr<telvor::SharedAudio> m_pChannel;
  // Set once a producer of our format is announced; FillBuffer waits for
  // packets only then.
  std::atomic<bool> m_PacketsFlowing{false};
  // Reader thread only: packets older than the newest one the ring held as
  // the channel opened are not queued (SkipHistory).
  bool m_SkipHistory = false;
  std::uint32_t m_HistoryEnd = 0;

  // The application's wish and what the allocator granted; info lock.
  ALLOCATOR_PROPERTIES m_Suggested = {-1, -1, -1, -1};
  ALLOCATOR_PROPERTIES m_Granted = {};
  // The buffer size asked for at the connection: a packet is cut at it.
  long m_BufferBytes = kBufferSize;

  telvor::AudioPacketQueue m_Packets;
  bool m_ProducerBusyLogged = false;  // streaming thread only
  int m_BusyWaits = 0;  // streaming thread only: in a row, for the same packet
  // When each deadline is due against the producer's packets.
  telvor::ProducerPacing m_Pacing{this, telvor::PhaseLock::MarginRule::kFixed};
  bool m_StartFromNewest = false;
  // Held shared by the streaming thread while it copies queued packets,
  // exclusively by the channel thread to close a channel whose producer went.
  SRWLOCK m_ChannelUse = SRWLOCK_INIT;
  telvor::WatchPublisher m_Watch;  // streaming thread
};
