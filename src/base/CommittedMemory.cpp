#include "base/CommittedMemory.h"

#include <windows.h>

namespace telvor {

std::size_t CommittedBytes(const void* address) {
  MEMORY_BASIC_INFORMATION region = {};
  if (!address || VirtualQuery(address, &region, sizeof region) == 0) return 0;
  if (region.State != MEM_COMMIT || (region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) != 0) return 0;
  const auto offset = static_cast<std::size_t>(static_cast<const char*>(address) -
                                               static_cast<const char*>(region.BaseAddress));
  return region.RegionSize - offset;
}

}  // namespace telvor
