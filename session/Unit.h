#pragma once
// The one door to a unit. Every front end (console, dialogs, History,
// norvoctl, serve) talks to the unit through this interface and nothing else:
// the link, the response store, the dispatcher and the card reader stay
// inside the implementation. UnitSession owns the device in this process;
// a RemoteUnit reaches the unit through the process that owns it.
//
// Every call but the accessors runs whole exchange sequences and may block
// for seconds: call them off the user-interface thread. All are safe to call
// from any thread; the implementation serialises the sequences.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "Operations.h"
#include "PollingWorker.h"
#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Payload.h"

namespace norvo {

class Unit {
 public:
  virtual ~Unit() = default;

  // ---- state (cheap, any thread) ----
  // Finds and opens the unit again (plug events, retries): kOpened when it is
  // reachable now, directly or through the process that owns it.
  virtual OpenState Open() = 0;
  virtual OpenState State() const = 0;
  virtual bool Connected() const = 0;
  // Why the unit is not connected, in words a user can act on; "" when it is.
  virtual std::string StateMessage() const = 0;
  // Through which process the unit is reached: "" when this process owns it.
  virtual std::string Via() const = 0;
  // 0 = Celsius, non-zero = Fahrenheit, as the last settings read said.
  virtual int UnitFlag() const = 0;
  // The waits of the protocol are multiplied by this (tests shrink them).
  virtual double TimeScale() const = 0;

  // Stops polling and every wait, and lets the unit go. Idempotent.
  virtual void Stop() = 0;

  // ---- operations (Operations.h) ----
  // Runs one operation and answers with the reply to that same operation; a
  // unit that cannot run it answers the operation's failure.
  virtual Answer Execute(const Request& request) = 0;

  template <class Op>
  typename Op::Result Run(Op op) {
    Answer answer = Execute(Request(std::move(op)));
    if (auto* reply = std::get_if<Reply<Op>>(&answer)) return std::move(reply->value);
    return Unanswered<Op>(false);
  }

  // The typed calls of the front ends.
  PollSnapshot PollOnce() { return Run(op::PollOnce{}); }
  // Every unit-owned block as the last reads left it (no exchange).
  PollSnapshot Blocks() { return Run(op::Blocks{}); }
  bool ReadSettings() { return Run(op::ReadSettings{}); }
  bool ReadAlarms() { return Run(op::ReadAlarms{}); }
  bool ReadCalibration() { return Run(op::ReadCalibration{}); }
  bool ReadLive() { return Run(op::ReadLive{}); }
  // Permission query, data frames, end frame as timing says.
  WriteOutcome Write(std::span<const Payload> frames, const WriteTiming& timing = kDialogWrite) {
    return Run(op::Write{timing, {frames.begin(), frames.end()}});
  }
  // The same, then every block the frames wrote is read back and compared
  // with what was sent: kDifferent or kUnverified name the block in *block.
  WriteOutcome WriteVerified(std::span<const Payload> frames, const WriteTiming& timing, std::string* block) {
    WriteResult r = Run(op::WriteVerified{timing, {frames.begin(), frames.end()}});
    if (block && r.outcome != WriteOutcome::kWritten) *block = std::move(r.block);
    return r.outcome;
  }
  CardList ListCardFiles() { return Run(op::ListCardFiles{}); }
  // Bytes [start, end) of a card file into *into, one read command per
  // kMaxCardRange bytes (an empty range is one command too). True when the
  // unit answered every command with exactly its bytes and its end marker.
  bool ReadCardRange(const std::string& name, std::int64_t start, std::int64_t end, std::string* into) {
    if (name.size() > kMaxCardNameBytes || start < 0 || end < start) return false;
    std::int64_t at = start;
    do {
      const std::int64_t to = std::min(end, at + kMaxCardRange);
      CardRange r = Run(op::ReadCardRange{name, at, to});
      if (into) *into += r.data;
      if (!r.ok) return false;
      at = to;
    } while (at < end);
    return true;
  }
  // The unit never answers a delete; only a new list tells whether it took it.
  void DeleteCardFile(const std::string& name) {
    if (name.size() <= kMaxCardNameBytes) Run(op::DeleteCardFile{name});
  }

  // ---- polling ----
  // Starts polling once. on_polled gets every poll cycle's snapshot (for a
  // remote unit: the owner's polls); on_second is called once a second. Both
  // run on a worker thread and must hand over to the UI thread themselves.
  virtual void StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                            std::chrono::microseconds second = std::chrono::microseconds(0)) = 0;
  // While busy no poll cycle of this process starts.
  virtual void SetBusy(bool busy) = 0;
  // Waits up to timeout for a running poll cycle of this process to end.
  virtual void WaitPollIdle(std::chrono::microseconds timeout) = 0;
  virtual int PollCount() const = 0;
};

}  // namespace norvo
