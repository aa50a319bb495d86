#pragma once
// The one polling loop of the program: a thread that runs a turn, then waits
// until the turn says the next one is due, until its wake condition holds, or
// until it is stopped. The console's poller, an attached process's poll
// subscription and serve's unit workers are turns over it.
//
// A stop ends a wait at once; a turn in progress finishes first (its owner
// releases whatever the turn blocks on, e.g. the session's Stop).

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace norvo {

class PollLoop {
 public:
  using Clock = std::chrono::steady_clock;
  // One turn; returns when the next one is due.
  using TurnFn = std::function<Clock::time_point()>;
  // Asked under the loop's lock whenever the loop is woken: true ends the
  // wait early. It must not take a lock held by a caller of Wake.
  using WakeFn = std::function<bool()>;

  PollLoop() = default;
  ~PollLoop() { Stop(); }
  PollLoop(const PollLoop&) = delete;
  PollLoop& operator=(const PollLoop&) = delete;

  // Starts the thread, whose first turn runs at once. Once; never after a stop.
  void Start(TurnFn turn, WakeFn wake = nullptr);
  bool Started() const { return started_.load(); }
  // Makes a waiting loop ask its wake condition again. Any thread.
  void Wake();
  // The loop ends after the turn in progress, a wait ends at once. Any thread.
  void AskStop();
  // AskStop, then waits for the thread. Idempotent; not from a turn.
  void Stop();
  bool Stopping() const { return stop_.load(); }

  // The next turn of a loop with a period: a period after the last one began,
  // or at once when that one took longer (turns never overlap).
  static Clock::time_point After(Clock::time_point began, Clock::duration period) {
    return std::max(began + period, Clock::now());
  }

 private:
  void Run();

  TurnFn turn_;
  WakeFn wake_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> started_{false};
  std::mutex mutex_;  // pairs the wait with stop_ and the wake condition
  std::condition_variable cv_;
  std::mutex thread_mutex_;  // guards thread_ between Start and Stop
  std::thread thread_;
};

// The once-a-second tick of a loop that is woken for other things in between:
// due a second after it started, then every second; a tick missed by more
// than a second is not made up.
class SecondTick {
 public:
  void Begin(std::chrono::microseconds second) {
    second_ = second;
    next_ = PollLoop::Clock::now() + second_;
  }
  // True when the tick is due now; the next one is then a second later.
  bool Due() {
    const auto now = PollLoop::Clock::now();
    if (now < next_) return false;
    next_ += second_;
    if (next_ < now) next_ = now + second_;
    return true;
  }
  PollLoop::Clock::time_point Next() const { return next_; }

 private:
  std::chrono::microseconds second_{1000000};
  PollLoop::Clock::time_point next_;
};

}  // namespace norvo
