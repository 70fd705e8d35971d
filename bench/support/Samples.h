// Summaries of repeated timings as the table shows them: the median and the
// 95th percentile (nearest rank), and both as one cell.
#pragma once

#include <string>
#include <vector>

namespace stavora_bench {

// The value at `fraction` (0 to 1) of the sorted samples, by nearest rank;
// 0 for no samples.
double Percentile(std::vector<double> samples, double fraction);
double Median(const std::vector<double>& samples);

// "median 1.23 ms, 95th percentile 4.56 ms" for samples in milliseconds;
// below 20 samples the 95th percentile is the slowest, and it says so.
std::string MedianAndTailMs(const std::vector<double>& milliseconds);

}  // namespace stavora_bench
