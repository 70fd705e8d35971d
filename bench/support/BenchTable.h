// The one table every benchmark prints into: markdown rows of what was
// measured, under which conditions, and what came out.
#pragma once

#include <string>

namespace stavora_bench {

// True when the program was started with --rows: scripts/bench prints the
// header once and gathers the rows of several programs under it.
bool RowsOnly(int argc, char** argv);

void PrintHeader();
void PrintRow(const std::string& measurement, const std::string& conditions, const std::string& result);

// printf-style formatting into a string, for the cells.
std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));

}  // namespace stavora_bench
