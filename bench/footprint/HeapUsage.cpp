// Walking every heap of the process and summing its busy blocks.
#include "bench/footprint/HeapUsage.h"

#include <windows.h>

#include <vector>

namespace stavora_bench {

std::size_t MeasureHeapInUse() {
  std::vector<HANDLE> heaps(64);
  DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  if (count > heaps.size()) {
    heaps.resize(count);
    count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  }
  std::size_t inUse = 0;
  for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
    // A heap that cannot be locked is skipped rather than walked while it changes.
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry;
    entry.lpData = nullptr;
    while (HeapWalk(heaps[i], &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) inUse += entry.cbData;
    }
    HeapUnlock(heaps[i]);
  }
  return inUse;
}

}  // namespace stavora_bench
