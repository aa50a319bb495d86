#pragma once
// Telling systemd how the service is doing, by the notify protocol itself
// (no libsystemd): one datagram per message to the AF_UNIX socket named in
// $NOTIFY_SOCKET ("@" first: the abstract namespace). READY=1 once serving,
// WATCHDOG=1 at half the $WATCHDOG_USEC interval while the main loop runs,
// STOPPING=1 at the stop. Without $NOTIFY_SOCKET every call does nothing.
//
// And the journal's priorities: with standard error connected to the
// journal ($JOURNAL_STREAM names its device and inode), each line starts
// with "<3>" (error), "<4>" (warning) or "<6>" (information), which
// journald takes as the line's priority; on a terminal or a file the lines
// stay plain.

#include <chrono>
#include <cstdio>
#include <string>

namespace norvo::logger {

// The priority prefixes a message may start with.
inline constexpr const char* kError = "<3>";
inline constexpr const char* kWarning = "<4>";
inline constexpr const char* kInfo = "<6>";

// The line as it goes to standard error: its prefix kept (one of
// information added) for the journal, removed otherwise.
std::string JournalLine(const std::string& message, bool journal);

// True when the stream is the one $JOURNAL_STREAM names.
bool IsJournal(std::FILE* stream);

class Notifier {
 public:
  Notifier();  // reads the environment
  // Zero without a watchdog for this process.
  std::chrono::microseconds WatchdogInterval() const { return watchdog_; }
  // False when the message could not be sent.
  bool Send(const std::string& message) const;

 private:
  std::string socket_;
  std::chrono::microseconds watchdog_{0};
};

}  // namespace norvo::logger
