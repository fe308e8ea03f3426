// Prints the video types a camera pin offers to the program it runs in. The
// host tests copy it under the names of hosts with their own lists.
#include <windows.h>
#include <dshow.h>

#include <cstdio>

#include "filter/Corvane.h"
#include "filter/CorvaneVideoStream.h"
#include "module/ClassObjects.h"
#include "module/ModuleStartup.h"

int main(int argc, char** argv) {
  const int cameraIndex = argc > 1 ? atoi(argv[1]) : 0;
  CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  StartModule(nullptr);  // records this program's name as the host
  FilterEntry entry = {};
  entry.clsid = VideoFilterId(cameraIndex);
  entry.videoPinName[0] = L'V';
  entry.defaultWidth = 640;
  entry.defaultHeight = 480;
  entry.fps = 30.0;
  entry.subtype = MEDIASUBTYPE_YV12;
  HRESULT hr = S_OK;
  CUnknown* unknown = NewCameraFilter(nullptr, MEDIATYPE_Video, cameraIndex, &entry, &hr);
  if (!unknown || FAILED(hr)) return 2;
  auto* pin = dynamic_cast<CorvaneVideoStream*>(dynamic_cast<Corvane*>(unknown)->GetPin(0));
  for (const CMediaType& type : pin->OfferedTypes()) {
    const OutputFormat format = DescribeVideoType(type);
    const char* name = format.subtype == MEDIASUBTYPE_YV12   ? "YV12"
                       : format.subtype == MEDIASUBTYPE_YUY2 ? "YUY2"
                       : format.subtype == MEDIASUBTYPE_RGB32 ? "RGB32"
                                                              : "RGB24";
    std::printf("%s %ux%u %lld %d\n", name, format.width, format.height,
                static_cast<long long>(format.frameDuration), format.interlaced ? 1 : 0);
  }
  std::printf("sizes %zu\n", pin->SupportedSizes().size());
  // With a forced type, only DVStreamsie takes a proposal of another kind.
  pin->SetSubType(MEDIASUBTYPE_RGB32);
  CMediaType other;
  BuildVideoType(&other, MEDIASUBTYPE_RGB24, 320, 240, 30.0);
  std::printf("check %ld\n", static_cast<long>(pin->CheckMediaType(&other)));
  delete unknown;
  CoUninitialize();
  return 0;
}
