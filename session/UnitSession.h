#pragma once
// One session with one unit, the same for the console, norvoctl and the
// logger: the device link, the response store, the dispatcher, the card
// reader and the polling worker, wired once. Every exchange sequence of the
// session runs under one lock, so a poll and a write never interleave on the
// wire, and a per-unit lock keeps every other process off the unit.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

#include "PollingWorker.h"
#include "TurnLock.h"
#include "Unit.h"
#include "UnitLock.h"
#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Responses.h"
#include "device/CardReader.h"

namespace norvo {

// NORVO_TIME_SCALE: a finite factor from 0.0001 to 100 that stretches or
// shrinks every wait of the protocol (tests). Unset gives 1; anything else
// gives nullopt and a message in *error.
std::optional<double> TimeScaleFromEnvironment(std::string* error);

class UnitSession : public Unit {
 public:
  struct Options {
    bool lock_unit = true;               // take the per-unit lock before opening
    std::filesystem::path lock_folder;   // empty: UnitLockFolder()
    double time_scale = 1.0;
  };

  static Options SessionOptions(double time_scale) {
    Options o;
    o.time_scale = time_scale;
    return o;
  }

  UnitSession(Transport& transport, std::filesystem::path data_folder, Options options);
  UnitSession(Transport& transport, std::filesystem::path data_folder);
  ~UnitSession() override;
  UnitSession(const UnitSession&) = delete;
  UnitSession& operator=(const UnitSession&) = delete;

  // Finds and opens the unit (again): kOpened when it is connected now. Any
  // thread; the console calls it on plug events.
  OpenState Open() override;
  OpenState State() const override { return link_.LastOpenState(); }
  bool Connected() const override { return link_.Connected() == 1; }
  // Why the unit is not connected, in words a user can act on; "" when it is.
  std::string StateMessage() const override;
  std::string Via() const override { return ""; }
  int UnitFlag() const override { return store_.UnitFlag(); }
  double TimeScale() const override { return link_.TimeScale(); }
  // The process that holds the unit when State() is kInUse (0 when unknown).
  pid_t Holder() const { return holder_.load(); }
  // True when the last claim failed because the lock file could not be used
  // at all (no folder, no descriptors left, a symlink): nobody holds the unit.
  bool LockUnusable() const { return lock_unusable_.load(); }

  // Called once per connection when the link loses the unit (a read or
  // write failed), after the live block was marked "no value"; on the
  // reader's or a writer's thread. It must not run an exchange.
  void SetLostHandler(std::function<void()> handler);

  // Stops the polling worker, then the reader thread, and lets the unit go.
  void Stop() override;

  // ---- operations (any thread but the reader's), each under the session's turn lock ----
  Answer Execute(const Request& request) override;

  // ---- polling worker ----
  // Starts the worker once; it polls through PollOnce.
  void StartPolling(PollingWorker::PolledFn on_polled, PollingWorker::SecondFn on_second,
                    std::chrono::microseconds second = std::chrono::microseconds(0)) override;
  bool Polling() const { return poller_ != nullptr; }
  void SetBusy(bool busy) override;
  void WaitPollIdle(std::chrono::microseconds timeout) override;
  int PollCount() const override;
  const std::filesystem::path& DataFolder() const { return data_folder_; }
  // The path of the unit's interface the last open examined.
  std::string DevicePath() const { return link_.DevicePath(); }

 private:
  bool Claim(const std::string& path);

  // The operations' cases; the caller holds sequence_mutex_.
  PollSnapshot RunPoll();
  // Every unit-owned block as the last reads left it.
  PollSnapshot Snapshot() const;
  bool RunRead(bool (*sequence)(DeviceLink&));
  WriteOutcome RunWrite(const op::Write& write);
  WriteResult RunWriteVerified(const op::WriteVerified& write);
  CardList RunList();
  CardRange RunReadRange(const op::ReadCardRange& range);

  std::filesystem::path data_folder_;
  Options options_;
  DeviceLink link_;
  ResponseStore store_;
  Dispatcher dispatcher_{link_, store_};
  CardReader card_{link_};
  TurnLock sequence_mutex_;  // held for every exchange sequence of the session, taken in turn
  std::mutex lock_mutex_;      // guards unit_lock_ (Open may run on any thread)
  UnitLock unit_lock_;
  std::atomic<pid_t> holder_{0};
  std::atomic<bool> lock_unusable_{false};
  mutable std::mutex claim_mutex_;  // guards claim_message_
  std::string claim_message_;       // why the last claim failed (UnitLockMessage)
  std::unique_ptr<PollingWorker> poller_;
  std::mutex lost_mutex_;  // guards lost_
  std::function<void()> lost_;
};

}  // namespace norvo
