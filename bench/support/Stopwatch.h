// Elapsed time read from QueryPerformanceCounter, started at construction
// or at Restart.
#pragma once

#include <windows.h>

namespace stavora_bench {

class Stopwatch {
 public:
  Stopwatch() noexcept {
    QueryPerformanceFrequency(&m_frequency);
    Restart();
  }

  void Restart() noexcept { QueryPerformanceCounter(&m_start); }

  double Seconds() const noexcept {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(m_frequency.QuadPart);
  }
  double Milliseconds() const noexcept { return Seconds() * 1e3; }
  double Microseconds() const noexcept { return Seconds() * 1e6; }

 private:
  LARGE_INTEGER m_frequency;
  LARGE_INTEGER m_start;
};

}  // namespace stavora_bench
