// Summing the private regions of this process's address space.
#include "bench/footprint/PrivateMemory.h"

#include <windows.h>

namespace stavora_bench {

PrivateMemory MeasurePrivateMemory() {
  PrivateMemory memory;
  SYSTEM_INFO system;
  GetSystemInfo(&system);
  auto* address = static_cast<unsigned char*>(system.lpMinimumApplicationAddress);
  auto* const end = static_cast<unsigned char*>(system.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION region;
  while (address < end && VirtualQuery(address, &region, sizeof(region)) == sizeof(region)) {
    if (region.Type == MEM_PRIVATE) {
      if (region.State == MEM_COMMIT) memory.committed += region.RegionSize;
      if (region.State != MEM_FREE) memory.reserved += region.RegionSize;
    }
    address = static_cast<unsigned char*>(region.BaseAddress) + region.RegionSize;
  }
  return memory;
}

}  // namespace stavora_bench
