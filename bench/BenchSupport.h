#pragma once
// Small helpers for the benchmark programs: wall-clock timing and peak memory.

#include <sys/resource.h>

#include <chrono>
#include <functional>

namespace norvo::bench {

inline double Milliseconds(const std::function<void()>& work) {
  const auto start = std::chrono::steady_clock::now();
  work();
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

// Best of n runs, which is the least disturbed by the rest of the machine.
inline double BestOf(int n, const std::function<void()>& work) {
  double best = 1e300;
  for (int i = 0; i < n; ++i) best = std::min(best, Milliseconds(work));
  return best;
}

inline long PeakKilobytes(int who = RUSAGE_SELF) {
  rusage usage{};
  getrusage(who, &usage);
  return usage.ru_maxrss;
}

}  // namespace norvo::bench
