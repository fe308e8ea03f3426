// The picture a camera shows while no producer feeds it: an image file named
// in the camera's settings, decoded through the system's imaging components
// (so the module needs no image library of its own) into a YUY2 picture,
// which the frame converter then places like a producer's frame.
//
// The file may be huge, on a share that stopped answering, or a pipe nobody
// writes, so it is never read on a client's call: each camera's picture is
// decoded once per process on a thread of its own (the camera sends black
// until it is ready) and shared by every pin of that camera that shows it.
// Memory: one decoded picture per camera and process, at most
// kMaxIdleImagePixels * 2 bytes (50 MB) however many filters show it, freed
// with the last of them (while it decodes, the system's decoder may hold a
// frame of its own too); each pin adds one rendering at its output format.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

struct IdleImage {
  std::int32_t width = 0;  // even: an odd picture gets its last column twice
  std::int32_t height = 0;
  std::vector<std::uint8_t> yuy2;  // rows of 2 * width bytes, top-down
};

// A file may decode to no more than this: the camera's pins keep the picture
// for as long as they live, and the converter takes no longer side.
inline constexpr std::uint32_t kMaxIdleImageSide = 16384;
inline constexpr std::uint64_t kMaxIdleImagePixels = 25000000;

// Decodes `path` (BMP, PNG, or whatever else the system decodes; the first
// frame, transparency over black). False for a missing, unreadable, oversize
// or undecodable file, with one error line that names the file and why.
bool LoadIdleImage(const std::wstring& path, IdleImage* image);

// The file a setting names: relative names are taken from `folder`. A name
// as long as MAX_PATH or longer comes whole and in the form (\\?\) that
// opens it whatever its length.
std::wstring IdleImagePath(const std::wstring& setting, const std::wstring& folder);

// One camera's decoded idle picture, shared by its pins in this process.
class IdlePicture {
 public:
  // The picture of `path` for `camera`: the one a pin of that camera already
  // holds, or a new one whose decoding starts now on a thread of its own.
  // Never waits for the file. Null only when even that could not be set up.
  static std::shared_ptr<IdlePicture> Acquire(int camera, const std::wstring& path);

  // The decoded picture once the decoding succeeded; null before and after a failure.
  const IdleImage* Image() const { return state_.load(std::memory_order_acquire) == kDecoded ? &image_ : nullptr; }

  explicit IdlePicture(std::wstring path) : path_(std::move(path)) {}
  IdlePicture(const IdlePicture&) = delete;
  IdlePicture& operator=(const IdlePicture&) = delete;

 private:
  enum State { kDecoding, kDecoded, kFailed };
  static unsigned long __stdcall Decode(void* context);

  const std::wstring path_;
  IdleImage image_;  // written once, by the decoding thread, before state_ says so
  std::atomic<int> state_{kDecoding};
};
