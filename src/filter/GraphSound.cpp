#include "filter/GraphSound.h"

#include <uuids.h>

#include "framework/ComPtr.h"
#include "framework/MediaType.h"

namespace telvor {
namespace {

bool SendsSound(IPin* pin) {
  PIN_DIRECTION direction;
  if (FAILED(pin->QueryDirection(&direction)) || direction != PINDIR_OUTPUT) return false;
  AM_MEDIA_TYPE type = {};
  if (pin->ConnectionMediaType(&type) != S_OK) return false;
  const bool sound = IsEqualGUID(type.majortype, MEDIATYPE_Audio);
  FreeMediaType(type);
  return sound;
}

}  // namespace

bool GraphCarriesSound(IFilterGraph* graph) {
  ComPtr<IEnumFilters> filters;
  if (!graph || FAILED(graph->EnumFilters(filters.Put())) || !filters) return true;
  ComPtr<IBaseFilter> filter;
  while (filters->Next(1, filter.Put(), nullptr) == S_OK) {
    ComPtr<IEnumPins> pins;
    if (FAILED(filter->EnumPins(pins.Put())) || !pins) return true;
    ComPtr<IPin> pin;
    while (pins->Next(1, pin.Put(), nullptr) == S_OK) {
      if (SendsSound(pin.Get())) return true;
    }
  }
  return false;
}

}  // namespace telvor
