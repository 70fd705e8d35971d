// An object's life in time: creation (CoCreateInstance, which loads the INI
// file) against the file's size, and the final Release that stops its watcher.
//   lifetime_bench [--rows]
// Needs Stavora.dll registered: objects are made by CoCreateInstance.
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "bench/support/BenchIni.h"
#include "bench/support/BenchTable.h"
#include "bench/support/LookupObject.h"
#include "bench/support/Samples.h"
#include "bench/support/ScopedIniPath.h"
#include "bench/support/Stopwatch.h"

namespace {

using namespace stavora_bench;

// Wine's profile functions re-read a file younger than about 2 s on every
// call; objects are usually made on a file that has been there a while.
constexpr DWORD kSettleMilliseconds = 2500;
// Time for a new object's watcher to have its first read pending.
constexpr DWORD kWatcherStartMilliseconds = 50;

struct FileCase {
  int sections;
  int runs;
  std::wstring path = {};
  std::size_t bytes = 0;
};

struct Timings {
  std::vector<double> creation;
  std::vector<double> release;
  std::string failure;  // empty when every run served the file
};

// Creates and releases `runs` objects on the file StavoraPath names.
Timings MeasureLifetimes(const CLSID& lookupClass, const FileCase& file) {
  Timings timings;
  const std::wstring section = ProbeSection(file.sections);
  for (int run = 0; run < file.runs; ++run) {
    LookupPtr lookup;
    Stopwatch watch;
    const HRESULT created = CreateLookup(lookupClass, lookup);
    const double creation = watch.Milliseconds();
    if (FAILED(created)) {
      timings.failure = "CoCreateInstance gave " + HresultText(created) + ", expected S_OK";
      return timings;
    }
    HRESULT result = E_FAIL;
    const std::wstring value = GetKeyText(lookup.Get(), section.c_str(), kProbeKey, &result);
    if (result != S_OK || value != L"settled") {
      timings.failure = "GetKey of the probe gave " + HresultText(result) + ", expected S_OK and \"settled\"";
      return timings;
    }
    Sleep(kWatcherStartMilliseconds);
    watch.Restart();
    lookup.Reset();
    timings.release.push_back(watch.Milliseconds());
    timings.creation.push_back(creation);
  }
  return timings;
}

}  // namespace

int main(int argc, char** argv) {
  const bool rowsOnly = RowsOnly(argc, argv);
  ScopedApartment apartment;
  CLSID lookupClass;
  if (!ReadyToCreate(apartment, &lookupClass)) return 1;

  const std::wstring folder = BenchFolder(L"stavora-lifetime-bench");
  std::vector<FileCase> files = {{10, 20}, {100, 10}, {1000, 3}};
  for (FileCase& file : files) {
    file.path = folder + L"\\Sections" + std::to_wstring(file.sections) + L".ini";
    const std::string text = IniText(file.sections, "settled");
    file.bytes = text.size();
    if (const DWORD error = SaveInPlace(file.path, text)) {
      std::fprintf(stderr, "cannot write the INI file of %d sections: error %lu\n", file.sections, error);
      return 1;
    }
  }
  Sleep(kSettleMilliseconds);

  if (!rowsOnly) PrintHeader();
  int status = 0;
  {
    // The first object of the process also loads Stavora.dll and its type library.
    ScopedIniPath path(files.front().path);
    FileCase first = files.front();
    first.runs = 1;
    const Timings timings = MeasureLifetimes(lookupClass, first);
    if (!timings.failure.empty()) {
      std::fprintf(stderr, "first creation: %s\n", timings.failure.c_str());
      return 1;
    }
    PrintRow("first creation in a process (loads Stavora.dll)",
             Format("%d sections of %d keys", first.sections, kKeysPerSection),
             Format("%.2f ms", timings.creation.front()));
  }
  for (const FileCase& file : files) {
    ScopedIniPath path(file.path);
    if (path.Result() != ERROR_SUCCESS) {
      std::fprintf(stderr, "cannot set StavoraPath: error %ld\n", path.Result());
      return 1;
    }
    const Timings timings = MeasureLifetimes(lookupClass, file);
    if (!timings.failure.empty()) {
      std::fprintf(stderr, "%d sections: %s\n", file.sections, timings.failure.c_str());
      status = 1;
      continue;
    }
    const std::string conditions = Format("%d sections of %d keys (%zu KiB), %d objects", file.sections,
                                          kKeysPerSection, (file.bytes + 1023) / 1024, file.runs);
    PrintRow("creation (CoCreateInstance, first load)", conditions, MedianAndTailMs(timings.creation));
    PrintRow("final Release (stops the watcher thread)", conditions, MedianAndTailMs(timings.release));
  }
  for (const FileCase& file : files) DeleteFileW(file.path.c_str());
  RemoveDirectoryW(folder.c_str());
  return status;
}
