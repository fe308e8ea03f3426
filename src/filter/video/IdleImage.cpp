#include "filter/video/IdleImage.h"

#include <windows.h>
#include <wincodec.h>

#include <algorithm>
#include <new>

#include "base/Handle.h"
#include "base/Log.h"
#include "base/ModuleThread.h"
#include "framework/ComPtr.h"
#include "imaging/Pixel.h"

namespace {

constexpr wchar_t kUnit[] = L"IdleImage";
constexpr wchar_t kLoad[] = L"LoadIdleImage";
constexpr wchar_t kAcquire[] = L"IdlePicture::Acquire";
// Rows converted at a time: the whole picture is never held as BGRA.
constexpr std::uint32_t kStripRows = 16;

// COM for the imaging components on whatever thread negotiates; a thread that
// already has an apartment keeps it.
class ComApartment {
 public:
  ComApartment() : initialised_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComApartment() {
    if (initialised_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool initialised_;
};

bool Failed(HRESULT hr, const std::wstring& path, const wchar_t* step) {
  if (SUCCEEDED(hr)) return false;
  TELVOR_ERROR_AT(kUnit, kLoad) << L"picture " << path << L" not shown: " << step << L" failed, hr=0x" << std::hex
                                << static_cast<unsigned long>(hr) << L", black instead";
  return true;
}

// Decodes into image->yuy2, a strip of BGRA rows at a time.
bool Convert(IWICBitmapSource* source, std::uint32_t width, std::uint32_t height, const std::wstring& path,
             IdleImage* image) {
  const std::uint32_t even = width + (width & 1);
  const std::uint32_t stripStride = even * 4;
  std::vector<std::uint8_t> strip(static_cast<std::size_t>(stripStride) * kStripRows);
  image->yuy2.assign(static_cast<std::size_t>(even) * 2 * height, 0);
  for (std::uint32_t y = 0; y < height; y += kStripRows) {
    const std::uint32_t rows = std::min(kStripRows, height - y);
    const WICRect rect = {0, static_cast<INT>(y), static_cast<INT>(width), static_cast<INT>(rows)};
    if (Failed(source->CopyPixels(&rect, stripStride, stripStride * rows, strip.data()), path, L"decoding")) return false;
    for (std::uint32_t r = 0; r < rows && even != width; ++r) {
      std::uint8_t* row = strip.data() + static_cast<std::size_t>(r) * stripStride;
      std::copy_n(row + 4 * (width - 1), 4, row + 4 * width);
    }
    const PxSize size = {static_cast<std::int32_t>(even), static_cast<std::int32_t>(rows)};
    PxBgraToYuy2(strip.data(), static_cast<std::int32_t>(stripStride),
                 image->yuy2.data() + static_cast<std::size_t>(y) * even * 2, static_cast<std::int32_t>(even * 2), size);
  }
  image->width = static_cast<std::int32_t>(even);
  image->height = static_cast<std::int32_t>(height);
  return true;
}

}  // namespace

bool LoadIdleImage(const std::wstring& path, IdleImage* image) {
  *image = IdleImage();
  const ULONGLONG start = GetTickCount64();
  ComApartment apartment;
  ComPtr<IWICImagingFactory> factory;
  if (Failed(CoCreateInstance(CLSID_WICImagingFactory1, nullptr, CLSCTX_INPROC_SERVER, IID_IWICImagingFactory,
                              factory.PutVoid()),
             path, L"the imaging components"))
    return false;
  ComPtr<IWICBitmapDecoder> decoder;
  if (Failed(factory->CreateDecoderFromFilename(path.c_str(), nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                decoder.Put()),
             path, L"opening"))
    return false;
  ComPtr<IWICBitmapFrameDecode> frame;
  if (Failed(decoder->GetFrame(0, frame.Put()), path, L"reading its first frame")) return false;
  UINT width = 0, height = 0;
  if (Failed(frame->GetSize(&width, &height), path, L"reading its size")) return false;
  if (width < 1 || height < 1 || width > kMaxIdleImageSide || height > kMaxIdleImageSide ||
      std::uint64_t{width} * height > kMaxIdleImagePixels) {
    TELVOR_ERROR_AT(kUnit, kLoad) << L"picture " << path << L" not shown: " << width << L"x" << height
                                  << L" is beyond " << kMaxIdleImagePixels << L" pixels or " << kMaxIdleImageSide
                                  << L" a side, black instead";
    return false;
  }
  ComPtr<IWICFormatConverter> converter;
  if (Failed(factory->CreateFormatConverter(converter.Put()), path, L"the format converter")) return false;
  // Premultiplied: transparent parts come out black, like the camera's bands.
  if (Failed(converter->Initialize(frame.Get(), GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr, 0.0,
                                   WICBitmapPaletteTypeCustom),
             path, L"converting to BGRA"))
    return false;
  try {
    if (!Convert(converter.Get(), width, height, path, image)) {
      *image = IdleImage();
      return false;
    }
  } catch (const std::bad_alloc&) {
    *image = IdleImage();
    return !Failed(E_OUTOFMEMORY, path, L"allocating");
  }
  telvor::Info() << L"Idle picture " << path << L" " << width << L"x" << height << L" decoded in "
                 << GetTickCount64() - start << L" ms";
  return true;
}

std::wstring IdleImagePath(const std::wstring& setting, const std::wstring& folder) {
  const bool absolute = (setting.size() > 1 && setting[1] == L':') || (!setting.empty() && (setting[0] == L'\\' || setting[0] == L'/'));
  if (setting.empty()) return setting;
  std::wstring path = absolute || folder.empty() ? setting : folder + (folder.back() == L'\\' ? L"" : L"\\") + setting;
  // Without the prefix the system cuts names at MAX_PATH; with it, it takes
  // them as they are, so they must be whole first (no "..", no "/").
  if (path.size() < MAX_PATH || path.compare(0, 4, L"\\\\?\\") == 0) return path;
  std::wstring full(32768, L'\0');
  const DWORD length = GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
  if (length == 0 || length >= full.size()) return path;
  full.resize(length);
  if (full.compare(0, 2, L"\\\\") == 0) return L"\\\\?\\UNC" + full.substr(1);
  return L"\\\\?\\" + full;
}

namespace {

// The pictures pins hold, one per camera and file; an entry whose picture
// went with its last pin is dropped at the next acquisition.
struct Shared {
  int camera;
  std::wstring path;
  std::weak_ptr<IdlePicture> picture;
};
CCritSec g_sharedLock;
std::vector<Shared> g_shared;

bool SamePath(const std::wstring& a, const std::wstring& b) {
  return CompareStringOrdinal(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()), TRUE) ==
         CSTR_EQUAL;
}

}  // namespace

std::shared_ptr<IdlePicture> IdlePicture::Acquire(int camera, const std::wstring& path) {
  std::shared_ptr<IdlePicture> picture;
  std::unique_ptr<std::shared_ptr<IdlePicture>> decoding;
  try {
    CAutoLock lock(&g_sharedLock);
    const auto gone = [](const Shared& s) { return s.picture.expired(); };
    g_shared.erase(std::remove_if(g_shared.begin(), g_shared.end(), gone), g_shared.end());
    for (const Shared& s : g_shared) {
      if (s.camera == camera && SamePath(s.path, path) && (picture = s.picture.lock())) return picture;
    }
    picture = std::make_shared<IdlePicture>(path);
    decoding = std::make_unique<std::shared_ptr<IdlePicture>>(picture);
    g_shared.push_back({camera, path, picture});
  } catch (const std::bad_alloc&) {
    TELVOR_ERROR_AT(kUnit, kAcquire) << L"no memory for camera " << camera + 1 << L"'s idle picture, black instead";
    return nullptr;
  }
  // The thread owns its reference: a file that never answers keeps the
  // thread and the picture, never a pin or the host.
  UniqueHandle thread(telvor::CreateModuleThread(&IdlePicture::Decode, decoding.get(), nullptr));
  if (!thread) {
    TELVOR_ERROR_AT(kUnit, kAcquire) << L"camera " << camera + 1 << L": no thread to decode " << path
                                     << L", err=" << GetLastError() << L", black instead";
    picture->state_.store(kFailed, std::memory_order_release);
    return picture;
  }
  decoding.release();
  TELVOR_TRACE_AT(kUnit, kAcquire) << L"camera " << camera + 1 << L": decoding " << path
                                   << L", black until it is ready";
  return picture;
}

unsigned long __stdcall IdlePicture::Decode(void* context) {
  std::unique_ptr<std::shared_ptr<IdlePicture>> held(static_cast<std::shared_ptr<IdlePicture>*>(context));
  IdlePicture& picture = **held;
  const bool decoded = LoadIdleImage(picture.path_, &picture.image_);
  picture.state_.store(decoded ? kDecoded : kFailed, std::memory_order_release);
  return 0;
}
