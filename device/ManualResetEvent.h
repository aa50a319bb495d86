#pragma once
// A manual-reset event: once set it stays set, releasing every waiter, until
// somebody resets it. The exchange with the unit uses one as a single token
// with time-outs.

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace norvo {

class ManualResetEvent {
 public:
  explicit ManualResetEvent(bool initially_set) : set_(initially_set) {}

  void Set() {
    {
      std::lock_guard lock(mutex_);
      set_ = true;
    }
    cv_.notify_all();
  }

  void Reset() {
    std::lock_guard lock(mutex_);
    set_ = false;
  }

  bool IsSet() const {
    std::lock_guard lock(mutex_);
    return set_;
  }

  // Returns true when the event was set within the time-out.
  template <class Rep, class Period>
  bool Wait(std::chrono::duration<Rep, Period> timeout) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, timeout, [this] { return set_; });
  }

  void Wait() {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return set_; });
  }

 private:
  mutable std::mutex mutex_;  // guards set_
  std::condition_variable cv_;
  bool set_;
};

}  // namespace norvo
