#pragma once
// A mutex that lets its waiters in the order they came (a ticket lock):
// whoever waits for it waits behind those queued before, never behind one
// that came later. The unit's sequences take it, so an owner's poll waits
// behind at most the sequences already queued when it asked.

#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace norvo {

class TurnLock {
 public:
  void lock() {
    std::unique_lock guard(mutex_);
    const std::uint64_t ticket = next_++;
    turn_cv_.wait(guard, [&] { return serving_ == ticket; });
  }
  void unlock() {
    {
      std::lock_guard guard(mutex_);
      ++serving_;
    }
    turn_cv_.notify_all();
  }

 private:
  std::mutex mutex_;  // guards next_ and serving_
  std::condition_variable turn_cv_;
  std::uint64_t next_ = 0;
  std::uint64_t serving_ = 0;
};

}  // namespace norvo
