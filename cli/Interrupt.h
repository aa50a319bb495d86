#pragma once
// SIGINT and SIGTERM end a norvoctl command cleanly. The handler only records
// the signal and wakes a watcher thread through a pipe; the watcher stops the
// link of a read or a download in progress, so its waits return at once, and
// wakes a command that sleeps between readings. A write sequence is never cut
// short: the unit would be left between "{Q@}" and "{/@}". SIGPIPE and
// SIGXFSZ are ignored while the guard lives, so a closed pipe or a file size
// limit (ulimit -f) shows as a write error instead of killing the process.

#include <chrono>

namespace norvo {
class Unit;
}

namespace norvo::cli::interrupt {

// Installs the handlers and the watcher; the destructor puts the previous
// handlers back. One at a time.
class Guard {
 public:
  Guard();
  ~Guard();
  Guard(const Guard&) = delete;
  Guard& operator=(const Guard&) = delete;
};

// The first signal that arrived (SIGINT or SIGTERM), or 0.
int Signal();
inline bool Requested() { return Signal() != 0; }

// While it lives, a signal stops this unit at once (reads, listing, download).
class StopUnit {
 public:
  explicit StopUnit(Unit& unit);
  ~StopUnit();
  StopUnit(const StopUnit&) = delete;
  StopUnit& operator=(const StopUnit&) = delete;
};

// Sleeps for at most the duration; false when a signal ended the sleep.
bool Sleep(std::chrono::steady_clock::duration duration);

}  // namespace norvo::cli::interrupt
