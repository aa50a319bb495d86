#include "PollLoop.h"

namespace norvo {

void PollLoop::Start(TurnFn turn, WakeFn wake) {
  std::lock_guard lock(thread_mutex_);
  if (started_.load() || stop_.load()) return;
  turn_ = std::move(turn);
  wake_ = std::move(wake);
  started_.store(true);
  thread_ = std::thread(&PollLoop::Run, this);
}

void PollLoop::Wake() {
  // Taken so that a wake between the loop's check and its wait is not lost.
  std::lock_guard lock(mutex_);
  cv_.notify_all();
}

void PollLoop::AskStop() {
  {
    std::lock_guard lock(mutex_);
    stop_.store(true);
  }
  cv_.notify_all();
}

void PollLoop::Stop() {
  AskStop();
  std::lock_guard lock(thread_mutex_);
  if (thread_.joinable()) thread_.join();
}

void PollLoop::Run() {
  while (!stop_.load()) {
    const Clock::time_point due = turn_();
    std::unique_lock lock(mutex_);
    cv_.wait_until(lock, due, [this] { return stop_.load() || (wake_ && wake_()); });
  }
}

}  // namespace norvo
