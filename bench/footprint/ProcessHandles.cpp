// Counting this process's handles with NtQuerySystemInformation
// (SystemExtendedHandleInformation), filtered by process id.
#include "bench/footprint/ProcessHandles.h"

#include <windows.h>

#include <vector>

namespace stavora_bench {
namespace {

constexpr ULONG kSystemExtendedHandleInformation = 64;
constexpr LONG kStatusInfoLengthMismatch = static_cast<LONG>(0xC0000004);

// One row of the extended handle table, as the system lays it out.
struct HandleEntry {
  void* object;
  ULONG_PTR processId;
  ULONG_PTR handleValue;
  ULONG grantedAccess;
  USHORT creatorBackTraceIndex;
  USHORT objectTypeIndex;
  ULONG handleAttributes;
  ULONG reserved;
};

struct HandleTable {
  ULONG_PTR count;
  ULONG_PTR reserved;
  HandleEntry entries[1];
};

using QuerySystemInformation = LONG(WINAPI*)(ULONG infoClass, void* buffer, ULONG size, ULONG* needed);

}  // namespace

long CountProcessHandles() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  if (ntdll == nullptr) return -1;
  auto query = reinterpret_cast<QuerySystemInformation>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "NtQuerySystemInformation")));
  if (query == nullptr) return -1;

  std::vector<unsigned char> buffer(1 << 16);
  for (int attempt = 0; attempt < 16; ++attempt) {
    ULONG needed = 0;
    const LONG status = query(kSystemExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                              &needed);
    if (status == kStatusInfoLengthMismatch) {
      // The table grows between calls: ask for more than was needed.
      buffer.resize(needed > buffer.size() ? needed + needed / 2 : buffer.size() * 2);
      continue;
    }
    if (status < 0) return -1;
    const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
    const ULONG_PTR self = GetCurrentProcessId();
    long count = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i) {
      if (table->entries[i].processId == self) ++count;
    }
    return count;
  }
  return -1;
}

}  // namespace stavora_bench
