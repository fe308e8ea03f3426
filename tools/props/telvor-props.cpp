// telvor-props: opens a camera's video property page in the system's
// property frame, so the colour space and size can be chosen without a
// capture application.
//
//   telvor-props <camera number>
//
// The camera number is the one users see in TELVOR.INI, where key suffixes
// count from 01 (FILTER.VIDEO.NAME.01 is camera 1); it is the camera index + 1.
#include <windows.h>
#include <dshow.h>
#include <olectl.h>

#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

#include "CommandLine.h"
#include "framework/ComPtr.h"

namespace {

constexpr int kCameraCount = 64;

enum ExitCode : int { kOk = 0, kUsage = 1, kNoFilter = 2, kNoPage = 3 };

// The camera's video filter: a fixed identifier whose last byte is the
// camera index.
CLSID VideoFilterClass(int cameraIndex) {
  CLSID id = {0x992DFFB6, 0x575E, 0x47D4, {0xA9, 0xCE, 0xD7, 0x63, 0xD7, 0xFF, 0x3B, 0x00}};
  id.Data4[7] = static_cast<BYTE>(cameraIndex);
  return id;
}

std::wstring ClassText(const CLSID& id) {
  wchar_t text[40] = {};
  StringFromGUID2(id, text, 40);
  return text;
}

// The name registration gave the filter's class, for the frame's caption.
std::wstring RegisteredName(const std::wstring& classText, int cameraNumber) {
  const std::wstring key = L"CLSID\\" + classText;
  wchar_t name[256] = {};
  DWORD bytes = sizeof(name);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, name, &bytes) ==
          ERROR_SUCCESS &&
      name[0]) {
    return name;
  }
  return L"TELVOR camera " + std::to_wstring(cameraNumber);
}

// The module of this program's own bitness: the one whose registration a
// program of this bitness sees.
#if defined(_WIN64)
#define TELVOR_MODULE_FILE L"TELVOR.AX"
#else
#define TELVOR_MODULE_FILE L"TELVOR32.AX"
#endif

int Usage(std::FILE* to, int exitCode) {
  std::fprintf(to,
               "usage: telvor-props <camera number>\n"
               "Opens the video property page of a TELVOR camera.\n"
               "The camera number is 1 to %d, as in the TELVOR.INI key suffixes\n"
               "(FILTER.VIDEO.NAME.01 names camera 1).\n",
               kCameraCount);
  return exitCode;
}

int ReportCreateFailure(int cameraNumber, const std::wstring& classText, HRESULT hr) {
  if (hr == REGDB_E_CLASSNOTREG) {
    std::fwprintf(stderr,
                  L"telvor-props: camera %d is not registered (no class %ls).\n"
                  L"Configure the camera in TELVOR.INI beside " TELVOR_MODULE_FILE L", then run: regsvr32 " TELVOR_MODULE_FILE L"\n",
                  cameraNumber, classText.c_str());
  } else if (hr == CLASS_E_CLASSNOTAVAILABLE) {
    std::fwprintf(stderr,
                  L"telvor-props: " TELVOR_MODULE_FILE L" no longer has a video filter for camera %d.\n"
                  L"Check the camera's entries in TELVOR.INI and register the module again.\n",
                  cameraNumber);
  } else {
    std::fwprintf(stderr, L"telvor-props: the video filter of camera %d could not be created (hr=0x%08lX).\n",
                  cameraNumber, static_cast<unsigned long>(hr));
  }
  return kNoFilter;
}

int ShowPages(int cameraNumber) {
  const CLSID filterClass = VideoFilterClass(cameraNumber - 1);
  const std::wstring classText = ClassText(filterClass);
  ComPtr<IBaseFilter> filter;
  HRESULT hr = CoCreateInstance(filterClass, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter, filter.PutVoid());
  if (FAILED(hr)) return ReportCreateFailure(cameraNumber, classText, hr);

  ComPtr<ISpecifyPropertyPages> specify;
  CAUUID pages = {};
  hr = filter->QueryInterface(IID_ISpecifyPropertyPages, specify.PutVoid());
  if (SUCCEEDED(hr)) hr = specify->GetPages(&pages);
  if (FAILED(hr) || pages.cElems == 0) {
    CoTaskMemFree(pages.pElems);
    std::fwprintf(stderr, L"telvor-props: camera %d names no property page (hr=0x%08lX).\n", cameraNumber,
                  static_cast<unsigned long>(hr));
    return kNoPage;
  }

  const std::wstring caption = RegisteredName(classText, cameraNumber);
  IUnknown* objects[] = {filter.Get()};
  // Modal: returns when the user closes the frame.
  hr = OleCreatePropertyFrame(nullptr, 0, 0, caption.c_str(), 1, objects, pages.cElems, pages.pElems,
                              GetUserDefaultLCID(), 0, nullptr);
  CoTaskMemFree(pages.pElems);
  if (FAILED(hr)) {
    std::fwprintf(stderr, L"telvor-props: the property frame for camera %d could not be shown (hr=0x%08lX).\n",
                  cameraNumber, static_cast<unsigned long>(hr));
    return kNoPage;
  }
  return kOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  std::uint32_t cameraNumber = 0;
  bool help = false;
  std::string error;
  const bool read = tools::ReadCommandLine(argc, argv, {}, help, error, [&](const wchar_t* word) {
    return cameraNumber == 0 && tools::ReadCount(word, 1, kCameraCount, cameraNumber);
  });
  if (!read) tools::RefuseCommandLine("telvor-props", error, kUsage);
  if (read && help) return Usage(stdout, kOk);
  if (!read || cameraNumber == 0) return Usage(stderr, kUsage);
  // The frame and the page's dialog need an OLE single-threaded apartment.
  if (FAILED(OleInitialize(nullptr))) {
    std::fwprintf(stderr, L"telvor-props: OLE could not be initialised.\n");
    return kNoFilter;
  }
  const int result = ShowPages(static_cast<int>(cameraNumber));
  OleUninitialize();
  return result;
}
