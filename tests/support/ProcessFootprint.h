// What this process holds, for tests that check that repeated work gives
// everything back: handles, heap in use, committed private memory, threads.
#pragma once

#include <windows.h>

#include <tlhelp32.h>

#include <cstdint>
#include <vector>

namespace stavora_test {

// The handles this process holds, found by asking for the flags of every
// handle value up to 0x10000 (values are multiples of 4). GetProcessHandleCount
// answers 0 under Wine, and Wine's system handle table did not list the
// semaphores that the POSIX-threads runtime leaks, while this probe sees them.
// A test process holds a few hundred handles at most.
inline long CountOwnHandles() {
  long count = 0;
  DWORD flags = 0;
  for (ULONG_PTR value = 4; value < 0x10000; value += 4) {
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

// Bytes in use in all of the process's heaps, by HeapWalk.
inline std::int64_t HeapBytesInUse() {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  heaps.resize(GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data()));
  std::int64_t used = 0;
  for (HANDLE heap : heaps) {
    if (!HeapLock(heap)) continue;
    PROCESS_HEAP_ENTRY entry{};
    while (HeapWalk(heap, &entry)) {
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) used += entry.cbData;
    }
    HeapUnlock(heap);
  }
  return used;
}

// Committed private memory of the process, by a VirtualQuery walk: catches
// what the library or its runtime takes outside the heaps.
inline std::int64_t CommittedPrivateBytes() {
  std::int64_t committed = 0;
  MEMORY_BASIC_INFORMATION region;
  const char* address = nullptr;
  while (VirtualQuery(address, &region, sizeof region) == sizeof region) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) committed += region.RegionSize;
    const char* next = static_cast<const char*>(region.BaseAddress) + region.RegionSize;
    if (next <= address) break;
    address = next;
  }
  return committed;
}

struct Footprint {
  long handles;
  std::int64_t heapBytes;
  std::int64_t privateBytes;
};

inline Footprint Measure() { return Footprint{CountOwnHandles(), HeapBytesInUse(), CommittedPrivateBytes()}; }

// Threads of this process, from a Toolhelp snapshot.
inline long CountOwnThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  long count = 0;
  THREADENTRY32 entry;
  entry.dwSize = sizeof entry;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

}  // namespace stavora_test
