#pragma once
// Small helpers for the benchmark programs: wall-clock timing, peak memory
// and the result line bench/run gathers into its table.
//
// Every bench exits 0 when it meets its goals, 1 when it misses one, and 2
// when it could not measure (a failed import, a unit that did not answer).

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>

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

// One line of bench/run's table: "@|figure|size|ours|baseline|unit|ratio|goal|met".
inline void Report(const std::string& figure, const std::string& size, double ours, double baseline,
                   const std::string& unit, bool met, const std::string& goal) {
  std::printf("@|%s|%s|%.3g|%.3g|%s|%.3f|%s|%s\n", figure.c_str(), size.c_str(), ours, baseline, unit.c_str(),
              baseline > 0 ? ours / baseline : 0.0, goal.c_str(), met ? "met" : "MISSED");
  std::fflush(stdout);
}

}  // namespace norvo::bench
