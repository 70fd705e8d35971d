// Save-to-serve time: how long after a save of the INI file a live object
// serves the new value, saved in place and by rename, for 10 and 100 sections.
//   reload_bench [--rows] [saves per case; default 20, and 10 for 100 sections]
// Needs Stavora.dll registered: the object is made by CoCreateInstance.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
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

// A save not served by then counts as missed.
constexpr double kGiveUpMilliseconds = 15000;
// Before each save the object is left alone for the last save-to-serve time
// and at least this long, so that reloads the previous save started are over.
constexpr double kLeastSettleMilliseconds = 300;

enum class SaveMode { kInPlace, kByRename };

struct Outcome {
  std::vector<double> milliseconds;
  int missed = 0;
  std::string failure;  // empty when the case ran
};

std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }

// Polls GetKey (about once a millisecond) until it gives `expected`; the
// time taken, or a negative value after kGiveUpMilliseconds.
double WaitUntilServed(IStavoraLookup* lookup, const std::wstring& section, const std::wstring& expected) {
  Stopwatch watch;
  for (;;) {
    HRESULT result = E_FAIL;
    const std::wstring value = GetKeyText(lookup, section.c_str(), kProbeKey, &result);
    const double elapsed = watch.Milliseconds();
    if (result == S_OK && value == expected) return elapsed;
    if (elapsed > kGiveUpMilliseconds) return -1;
    Sleep(1);
  }
}

Outcome MeasureSaves(const CLSID& lookupClass, int sections, SaveMode mode, int saves) {
  Outcome outcome;
  const std::wstring folder = BenchFolder(L"stavora-reload-bench");
  const std::wstring ini = folder + L"\\Stavora.ini";
  const std::wstring section = ProbeSection(sections);
  if (const DWORD error = SaveInPlace(ini, IniText(sections, "start"))) {
    outcome.failure = Format("cannot write the INI file: error %lu", error);
    return outcome;
  }
  {
    ScopedIniPath path(ini);
    if (path.Result() != ERROR_SUCCESS) {
      outcome.failure = Format("cannot set StavoraPath: error %ld", path.Result());
      return outcome;
    }
    LookupPtr lookup;
    const HRESULT created = CreateLookup(lookupClass, lookup);
    if (FAILED(created)) {
      outcome.failure = "CoCreateInstance gave " + HresultText(created) + ", expected S_OK";
      return outcome;
    }
    double settle = kLeastSettleMilliseconds;
    if (WaitUntilServed(lookup.Get(), section, L"start") < 0) {
      outcome.failure = "the new object never served the first value";
      return outcome;
    }
    for (int save = 1; save <= saves; ++save) {
      Sleep(static_cast<DWORD>(settle));
      const std::string probe = "saved " + std::to_string(save);
      const std::string text = IniText(sections, probe);
      const DWORD error = mode == SaveMode::kInPlace ? SaveInPlace(ini, text) : SaveByRename(ini, text);
      if (error != 0) {
        outcome.failure = Format("save %d failed: error %lu", save, error);
        break;
      }
      const double served = WaitUntilServed(lookup.Get(), section, Widen(probe));
      if (served < 0) {
        ++outcome.missed;
        settle = kLeastSettleMilliseconds;
      } else {
        outcome.milliseconds.push_back(served);
        settle = served > kLeastSettleMilliseconds ? served : kLeastSettleMilliseconds;
      }
    }
  }
  // Leftovers only cost disk space in the prefix's temporary folder.
  DeleteFileW(ini.c_str());
  RemoveDirectoryW(folder.c_str());
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  const bool rowsOnly = RowsOnly(argc, argv);
  int chosenSaves = 0;
  for (int i = 1; i < argc; ++i) {
    if (argv[i][0] != '-') chosenSaves = std::atoi(argv[i]);
  }

  ScopedApartment apartment;
  CLSID lookupClass;
  if (!ReadyToCreate(apartment, &lookupClass)) return 1;

  if (!rowsOnly) PrintHeader();
  struct Case {
    int sections;
    SaveMode mode;
    const char* measurement;
    int saves;  // a reload of 100 sections right after a save takes seconds under Wine
  };
  const Case cases[] = {
      {10, SaveMode::kInPlace, "save until served, in place", 20},
      {10, SaveMode::kByRename, "save until served, by rename", 20},
      {100, SaveMode::kInPlace, "save until served, in place", 10},
      {100, SaveMode::kByRename, "save until served, by rename", 10},
  };
  int status = 0;
  for (const Case& c : cases) {
    const int saves = chosenSaves > 0 ? chosenSaves : c.saves;
    const Outcome outcome = MeasureSaves(lookupClass, c.sections, c.mode, saves);
    if (!outcome.failure.empty()) {
      std::fprintf(stderr, "%s, %d sections: %s\n", c.measurement, c.sections, outcome.failure.c_str());
      status = 1;
      continue;
    }
    std::string result = MedianAndTailMs(outcome.milliseconds);
    if (outcome.missed > 0) {
      result += Format("; %d of %d not served within %.0f s", outcome.missed, saves, kGiveUpMilliseconds / 1e3);
    }
    PrintRow(c.measurement, Format("%d sections of %d keys, %d saves", c.sections, kKeysPerSection, saves), result);
  }
  return status;
}
