// Printing the benchmark table: header, rows, and cell formatting.
#include "bench/support/BenchTable.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace stavora_bench {

bool RowsOnly(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rows") == 0) return true;
  }
  return false;
}

void PrintHeader() {
  std::printf("| measurement | conditions | result |\n");
  std::printf("|---|---|---|\n");
  std::fflush(stdout);
}

void PrintRow(const std::string& measurement, const std::string& conditions, const std::string& result) {
  std::printf("| %s | %s | %s |\n", measurement.c_str(), conditions.c_str(), result.c_str());
  // Rows show as they are measured when several programs feed one table.
  std::fflush(stdout);
}

std::string Format(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  std::string text;
  if (length > 0) {
    std::vector<char> buffer(static_cast<std::size_t>(length) + 1);
    std::vsnprintf(buffer.data(), buffer.size(), format, args);
    text.assign(buffer.data(), static_cast<std::size_t>(length));
  }
  va_end(args);
  return text;
}

}  // namespace stavora_bench
