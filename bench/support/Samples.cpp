// Median and percentile of timing samples.
#include "bench/support/Samples.h"

#include <algorithm>
#include <cmath>

#include "bench/support/BenchTable.h"

namespace stavora_bench {

double Percentile(std::vector<double> samples, double fraction) {
  if (samples.empty()) return 0;
  std::sort(samples.begin(), samples.end());
  const double rank = std::ceil(fraction * static_cast<double>(samples.size()));
  const std::size_t index = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
  return samples[std::min(index, samples.size() - 1)];
}

double Median(const std::vector<double>& samples) { return Percentile(samples, 0.5); }

std::string MedianAndTailMs(const std::vector<double>& milliseconds) {
  const char* tail = milliseconds.size() >= 20 ? "95th percentile" : "slowest";
  return Format("median %.2f ms, %s %.2f ms", Median(milliseconds), tail, Percentile(milliseconds, 0.95));
}

}  // namespace stavora_bench
