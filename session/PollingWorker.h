#pragma once
// The polling worker: once a second it decides by the counter rule whether to
// run a poll cycle (settings, alarms, calibration, live), hands a copy of what
// was read to its owner, and asks for a repaint. It never touches a widget:
// both callbacks are called on the worker thread and must hand over to the
// user-interface thread themselves.

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

#include "Operations.h"
#include "PollLoop.h"
#include "PollScheduler.h"
#include "device/DeviceLink.h"
#include "device/LiveReadings.h"
#include "device/ManualResetEvent.h"
#include "device/Payload.h"

namespace norvo {

class PollingWorker {
 public:
  using CycleFn = std::function<PollSnapshot()>;
  using PolledFn = std::function<void(const PollSnapshot&)>;
  using SecondFn = std::function<void()>;

  // cycle runs one poll cycle (the session's PollOnce); link gives the
  // connected flag and the time scale.
  PollingWorker(DeviceLink& link, CycleFn cycle, PolledFn on_polled, SecondFn on_second);
  ~PollingWorker();
  PollingWorker(const PollingWorker&) = delete;
  PollingWorker& operator=(const PollingWorker&) = delete;

  void Start();
  // Finishes the cycle in progress, then ends the thread. Idempotent.
  void Stop();

  // Non-signalled while a poll cycle runs.
  ManualResetEvent& PollLock() { return poll_lock_; }

  // While busy (a menu command's dialog or message is up) no cycle starts.
  void SetBusy(bool busy) { busy_.store(busy); }
  bool Busy() const { return busy_.load(); }

  int PollCount() const { return polls_.load(); }

  // The length of the worker's second; tests shorten it. Set before Start.
  void SetSecond(std::chrono::microseconds second) { second_ = second; }

 private:
  // One second of the worker: the tick of the second that ended, then the
  // counter rule's poll cycle.
  PollLoop::Clock::time_point Turn();
  void PollCycle();

  DeviceLink& link_;
  CycleFn cycle_;
  PolledFn on_polled_;
  SecondFn on_second_;
  ManualResetEvent poll_lock_{true};
  std::atomic<bool> busy_{false};
  std::atomic<int> polls_{0};
  std::chrono::microseconds second_{0};  // 0: a second of the link's time scale
  PollScheduler scheduler_;  // worker thread only
  bool ticked_ = false;      // worker thread only: a second has passed
  PollLoop loop_;
};

}  // namespace norvo
