// Times full loads of generated INI files through the real profile service
// and prints one row per file size: median time and the service calls made.
//   load_bench [largest section count, default 5000]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "store/CriticalSection.h"
#include "store/ProfileSourceWin32.h"
#include "store/Loader.h"

namespace {

using stavora::WString;

constexpr int kKeysPerSection = 10;

class CountingSource final : public stavora::IProfileSource {
 public:
  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString& path) override {
    ++calls;
    return m_real.GetString(section, key, buffer, size, path);
  }
  std::int64_t GetFileSize(const WString& path) override { return m_real.GetFileSize(path); }
  stavora::FileState GetFileState(const WString& path) override {
    return m_real.GetFileState(path);
  }

  long calls = 0;

 private:
  stavora::ProfileSourceWin32 m_real;
};

WString TempPath(const std::string& name) {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  WString path(reinterpret_cast<const char16_t*>(buffer), length);
  path.append(name.begin(), name.end());
  return path;
}

// Sections "Section<n>" of keys "Key<k>" with short values, CR LF lines.
bool WriteIni(const WString& path, int sections) {
  std::string text;
  for (int s = 0; s < sections; ++s) {
    text += "[Section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < kKeysPerSection; ++k) {
      text += "Key" + std::to_string(k) + "=value " + std::to_string(s) + "." +
              std::to_string(k) + "\r\n";
    }
  }
  std::ofstream out(std::filesystem::path(reinterpret_cast<const wchar_t*>(path.c_str())),
                    std::ios::binary | std::ios::trunc);
  out.write(text.data(), static_cast<std::streamsize>(text.size()));
  out.close();
  return out.good();
}

}  // namespace

int main(int argc, char** argv) {
  const int largest = argc > 1 ? std::atoi(argv[1]) : 5000;
  struct Row {
    int sections;
    int runs;
  };
  const Row rows[] = {{10, 9}, {100, 7}, {1000, 3}, {5000, 1}};

  std::printf("%9s %7s %5s %12s %8s %8s\n", "sections", "keys", "runs", "median ms", "calls",
              "stored");
  stavora::CriticalSection lock;
  for (const Row& row : rows) {
    if (row.sections > largest) break;
    const WString path = TempPath("stavora-load-bench-" + std::to_string(row.sections) + ".ini");
    if (!WriteIni(path, row.sections)) {
      std::fprintf(stderr, "cannot write the INI file for %d sections\n", row.sections);
      return 1;
    }
    std::vector<double> times;
    long calls = 0;
    std::size_t stored = 0;
    for (int run = 0; run < row.runs; ++run) {
      CountingSource source;
      stavora::SectionMap sections;
      const auto start = std::chrono::steady_clock::now();
      stavora::ServedStore served(sections, lock);
      stavora::LoadStore(served, source, path);
      const auto stop = std::chrono::steady_clock::now();
      times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
      calls = source.calls;
      stored = 0;
      for (const auto& entry : sections) stored += entry.second.size();
    }
    std::sort(times.begin(), times.end());
    std::printf("%9d %7d %5d %12.1f %8ld %8zu\n", row.sections, row.sections * kKeysPerSection,
                row.runs, times[times.size() / 2], calls, stored);
    std::fflush(stdout);
    DeleteFileW(reinterpret_cast<const wchar_t*>(path.c_str()));
  }
  return 0;
}
