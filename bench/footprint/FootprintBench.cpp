// What each live lookup object holds: handles, threads, heap, committed private
// memory and private address space, measured before, with N live, after release.
//   footprint_bench [--rows]
// Needs Stavora.dll registered: objects are made by CoCreateInstance.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/footprint/HeapUsage.h"
#include "bench/footprint/PrivateMemory.h"
#include "bench/footprint/ProcessHandles.h"
#include "bench/footprint/ProcessThreads.h"
#include "bench/support/BenchIni.h"
#include "bench/support/BenchTable.h"
#include "bench/support/LookupObject.h"
#include "bench/support/ScopedIniPath.h"

namespace {

using namespace stavora_bench;

// Wine's profile functions re-read a file younger than about 2 s on every
// call, which would only make this slower.
constexpr DWORD kSettleMilliseconds = 2500;
// Time for new watchers to have their reads pending, and for ended threads
// to be gone from the process, before counting.
constexpr DWORD kQuietMilliseconds = 300;

struct Footprint {
  long handles = 0;
  long threads = 0;
  std::size_t heap = 0;
  PrivateMemory memory;
};

Footprint Measure() {
  Sleep(kQuietMilliseconds);
  Footprint footprint;
  footprint.handles = CountProcessHandles();
  footprint.threads = CountProcessThreads();
  footprint.heap = MeasureHeapInUse();
  footprint.memory = MeasurePrivateMemory();
  return footprint;
}

std::string Kib(std::size_t bytes) { return Format("%.0f KiB", static_cast<double>(bytes) / 1024); }

void PrintFootprint(const std::string& conditions, int objects, const Footprint& before, const Footprint& live,
                    const Footprint& after) {
  const auto perObject = [objects](double difference) { return difference / objects; };
  PrintRow("handles per live object", conditions,
           Format("%.2f (%ld before, %ld live, %ld after release)",
                  perObject(static_cast<double>(live.handles - before.handles)), before.handles, live.handles,
                  after.handles));
  PrintRow("threads per live object", conditions,
           Format("%.2f (%ld before, %ld live, %ld after release)",
                  perObject(static_cast<double>(live.threads - before.threads)), before.threads, live.threads,
                  after.threads));
  const auto memoryRow = [&](const char* measurement, std::size_t beforeBytes, std::size_t liveBytes,
                             std::size_t afterBytes) {
    const double difference = static_cast<double>(liveBytes) - static_cast<double>(beforeBytes);
    PrintRow(measurement, conditions,
             Format("%.1f KiB (%s before, %s live, %s after release)", perObject(difference) / 1024,
                    Kib(beforeBytes).c_str(), Kib(liveBytes).c_str(), Kib(afterBytes).c_str()));
  };
  memoryRow("heap in use per live object", before.heap, live.heap, after.heap);
  memoryRow("committed private memory per live object", before.memory.committed, live.memory.committed,
            after.memory.committed);
  memoryRow("private address space per live object", before.memory.reserved, live.memory.reserved,
            after.memory.reserved);
}

}  // namespace

int main(int argc, char** argv) {
  const bool rowsOnly = RowsOnly(argc, argv);
  ScopedApartment apartment;
  CLSID lookupClass;
  if (!ReadyToCreate(apartment, &lookupClass)) return 1;
  if (CountProcessHandles() < 0) {
    std::fprintf(stderr, "the system handle table cannot be read\n");
    return 1;
  }

  struct Case {
    int sections;
    int objects;
    std::wstring path = {};
  };
  const std::wstring folder = BenchFolder(L"stavora-footprint-bench");
  std::vector<Case> cases = {{10, 50}, {100, 20}};
  for (Case& c : cases) {
    c.path = folder + L"\\Sections" + std::to_wstring(c.sections) + L".ini";
    if (const DWORD error = SaveInPlace(c.path, IniText(c.sections, "settled"))) {
      std::fprintf(stderr, "cannot write the INI file of %d sections: error %lu\n", c.sections, error);
      return 1;
    }
  }
  Sleep(kSettleMilliseconds);

  if (!rowsOnly) PrintHeader();
  for (const Case& c : cases) {
    ScopedIniPath path(c.path);
    if (path.Result() != ERROR_SUCCESS) {
      std::fprintf(stderr, "cannot set StavoraPath: error %ld\n", path.Result());
      return 1;
    }
    // One object made and released first: the DLL, its type library and the
    // runtime's own caches are then part of the baseline, not of the objects.
    {
      LookupPtr warmUp;
      const HRESULT created = CreateLookup(lookupClass, warmUp);
      if (FAILED(created)) {
        std::fprintf(stderr, "CoCreateInstance gave %s, expected S_OK\n", HresultText(created).c_str());
        return 1;
      }
    }
    const Footprint before = Measure();
    std::vector<LookupPtr> objects(static_cast<std::size_t>(c.objects));
    for (LookupPtr& object : objects) {
      const HRESULT created = CreateLookup(lookupClass, object);
      if (FAILED(created)) {
        std::fprintf(stderr, "CoCreateInstance gave %s, expected S_OK\n", HresultText(created).c_str());
        return 1;
      }
    }
    const Footprint live = Measure();
    objects.clear();
    const Footprint after = Measure();
    PrintFootprint(Format("%d objects on %d sections of %d keys", c.objects, c.sections, kKeysPerSection),
                   c.objects, before, live, after);
  }
  for (const Case& c : cases) DeleteFileW(c.path.c_str());
  RemoveDirectoryW(folder.c_str());
  return 0;
}
