// The reader during reloads: one object is created on an INI file of 100 or
// 1000 sections, asked once 100 ms later, then asked without pause for a
// key that every version of the file holds with the same value while
// another thread saves the file in place about every 2 s.
//   serving_bench [--rows] [saves per case; default 20]
// Rows: creation; the GetKey 100 ms after it; the median, 99.9th percentile
// and longest GetKey during the saves; the answers that were not the value
// every version holds (a torn or half-read file served).
// Needs Stavora.dll registered: the object is made by CoCreateInstance.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "bench/support/BenchIni.h"
#include "bench/support/BenchTable.h"
#include "bench/support/LookupObject.h"
#include "bench/support/ScopedIniPath.h"
#include "bench/support/Stopwatch.h"
#include "platform/ScopedBstr.h"

namespace {

using namespace stavora_bench;

constexpr DWORD kSaveIntervalMs = 2000;

// GetKey times in a fixed-width histogram: 0.1 us steps up to 1 ms, 10 us
// steps up to 1 s; longer calls are kept one by one. The longest is exact.
class Latencies {
 public:
  void Add(double microseconds) {
    ++m_count;
    m_longest = std::max(m_longest, microseconds);
    if (microseconds < 1000) {
      ++m_fine[static_cast<std::size_t>(microseconds * 10)];
    } else if (microseconds < 1e6) {
      ++m_coarse[static_cast<std::size_t>(microseconds / 10)];
    } else {
      m_long.push_back(microseconds);
    }
  }
  std::uint64_t Count() const { return m_count; }
  double Longest() const { return m_longest; }
  // The upper edge of the bucket holding the sample of nearest rank.
  double Percentile(double fraction) const {
    if (m_count == 0) return 0;
    std::uint64_t rank = static_cast<std::uint64_t>(std::ceil(fraction * static_cast<double>(m_count)));
    if (rank < 1) rank = 1;
    std::uint64_t seen = 0;
    for (std::size_t i = 0; i < m_fine.size(); ++i) {
      seen += m_fine[i];
      if (seen >= rank) return (static_cast<double>(i) + 1) / 10;
    }
    for (std::size_t i = 0; i < m_coarse.size(); ++i) {
      seen += m_coarse[i];
      if (seen >= rank) return (static_cast<double>(i) + 1) * 10;
    }
    std::vector<double> rest = m_long;
    std::sort(rest.begin(), rest.end());
    const std::size_t index = static_cast<std::size_t>(rank - seen - 1);
    return rest.empty() ? m_longest : rest[std::min(index, rest.size() - 1)];
  }

 private:
  std::vector<std::uint64_t> m_fine = std::vector<std::uint64_t>(10000);
  std::vector<std::uint64_t> m_coarse = std::vector<std::uint64_t>(100000);
  std::vector<double> m_long;
  std::uint64_t m_count = 0;
  double m_longest = 0;
};

std::string Time(double microseconds) {
  if (microseconds < 1000) return Format("%.1f us", microseconds);
  return Format("%.2f ms", microseconds / 1e3);
}

struct Outcome {
  double creationMs = 0;
  double firstMs = 0;
  bool firstRight = false;
  Latencies latencies;
  std::uint64_t wrong = 0;
  std::uint64_t empty = 0;
  int saves = 0;
  std::string failure;
};

// The key every version holds with the same value: Key0 of the last section.
std::wstring StableValue(int sections) { return L"value " + std::to_wstring(sections - 1) + L".0"; }

Outcome Measure(const CLSID& lookupClass, int sections, int saves) {
  Outcome outcome;
  const std::wstring folder = BenchFolder(L"stavora-serving-bench");
  const std::wstring ini = folder + L"\\Stavora.ini";
  if (const DWORD error = SaveInPlace(ini, IniText(sections, "start"))) {
    outcome.failure = Format("cannot write the INI file: error %lu", error);
    return outcome;
  }
  // Let the file's first write age, as a file in service has.
  Sleep(2500);
  {
    ScopedIniPath path(ini);
    if (path.Result() != ERROR_SUCCESS) {
      outcome.failure = Format("cannot set StavoraPath: error %ld", path.Result());
      return outcome;
    }
    stavora::ScopedBstr section(SysAllocString(ProbeSection(sections).c_str()));
    stavora::ScopedBstr key(SysAllocString(L"Key0"));
    const std::wstring expected = StableValue(sections);
    LookupPtr lookup;
    Stopwatch creation;
    const HRESULT created = CreateLookup(lookupClass, lookup);
    outcome.creationMs = creation.Milliseconds();
    if (FAILED(created)) {
      outcome.failure = "CoCreateInstance gave " + HresultText(created) + ", expected S_OK";
      return outcome;
    }
    Sleep(100);
    {
      stavora::ScopedBstr value;
      Stopwatch first;
      const HRESULT result = lookup->GetKey(section.Get(), key.Get(), value.Receive());
      outcome.firstMs = first.Milliseconds();
      outcome.firstRight = result == S_OK && value.Get() != nullptr && expected == value.Get();
    }

    std::atomic<bool> done{false};
    std::atomic<int> saved{0};
    std::atomic<DWORD> saveError{0};
    std::thread saver([&] {
      for (int save = 1; save <= saves; ++save) {
        Sleep(kSaveIntervalMs);
        const DWORD error = SaveInPlace(ini, IniText(sections, "saved " + std::to_string(save)));
        if (error != 0) {
          saveError = error;
          break;
        }
        ++saved;
      }
      // The last save's reload has time to run while the reader asks.
      Sleep(kSaveIntervalMs);
      done = true;
    });
    Stopwatch call;
    while (!done.load(std::memory_order_relaxed)) {
      stavora::ScopedBstr value;
      call.Restart();
      const HRESULT result = lookup->GetKey(section.Get(), key.Get(), value.Receive());
      outcome.latencies.Add(call.Microseconds());
      const std::size_t length = value.Length();
      if (result != S_OK || value.Get() == nullptr || expected.compare(0, std::wstring::npos, value.Get(), length) != 0) {
        ++outcome.wrong;
        if (length == 0) ++outcome.empty;
      }
    }
    saver.join();
    outcome.saves = saved;
    if (saveError != 0) outcome.failure = Format("a save failed: error %lu", static_cast<unsigned long>(saveError));
  }
  // Leftovers only cost disk space in the prefix's temporary folder.
  DeleteFileW(ini.c_str());
  RemoveDirectoryW(folder.c_str());
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  const bool rowsOnly = RowsOnly(argc, argv);
  int saves = 20;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') saves = std::atoi(argv[i]);
  }

  ScopedApartment apartment;
  CLSID lookupClass;
  if (!ReadyToCreate(apartment, &lookupClass)) return 1;

  if (!rowsOnly) PrintHeader();
  int status = 0;
  for (int sections : {100, 1000}) {
    const Outcome outcome = Measure(lookupClass, sections, saves);
    if (!outcome.failure.empty()) {
      std::fprintf(stderr, "reader during reloads, %d sections: %s\n", sections, outcome.failure.c_str());
      status = 1;
      if (outcome.latencies.Count() == 0) continue;
    }
    const std::string file = Format("%d sections of %d keys", sections, kKeysPerSection);
    const std::string during =
        Format("%d sections of %d keys, saved in place every %.0f s, %d saves", sections, kKeysPerSection,
               kSaveIntervalMs / 1e3, outcome.saves);
    PrintRow("reader during reloads: creation", file, Format("%.2f ms", outcome.creationMs));
    PrintRow("reader during reloads: GetKey 100 ms after creation", file,
             Format("%.3f ms%s", outcome.firstMs, outcome.firstRight ? "" : " (wrong answer)"));
    PrintRow("reader during reloads: GetKey while the file is saved", during,
             Format("%llu calls: median %s, 99.9th percentile %s, longest %s",
                    static_cast<unsigned long long>(outcome.latencies.Count()),
                    Time(outcome.latencies.Percentile(0.5)).c_str(),
                    Time(outcome.latencies.Percentile(0.999)).c_str(), Time(outcome.latencies.Longest()).c_str()));
    PrintRow("reader during reloads: answers not from a whole version", during,
             Format("%llu of %llu (%llu empty)", static_cast<unsigned long long>(outcome.wrong),
                    static_cast<unsigned long long>(outcome.latencies.Count()),
                    static_cast<unsigned long long>(outcome.empty)));
  }
  return status;
}
