#include "PollingWorker.h"


namespace norvo {

PollingWorker::PollingWorker(DeviceLink& link, CycleFn cycle, PolledFn on_polled, SecondFn on_second)
    : link_(link), cycle_(std::move(cycle)), on_polled_(std::move(on_polled)), on_second_(std::move(on_second)) {}

PollingWorker::~PollingWorker() { Stop(); }

void PollingWorker::Start() {
  if (!thread_.joinable()) thread_ = std::thread(&PollingWorker::Run, this);
}

void PollingWorker::Stop() {
  {
    std::lock_guard lock(stop_mutex_);
    stop_ = true;
  }
  stop_cv_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void PollingWorker::PollCycle() {
  poll_lock_.Reset();
  const PollSnapshot snapshot = cycle_();
  ++polls_;
  if (on_polled_) on_polled_(snapshot);
  poll_lock_.Set();
}

void PollingWorker::Run() {
  PollScheduler scheduler;
  for (;;) {
    if (scheduler.Tick(link_.Connected() == 1, busy_.load())) PollCycle();
    {
      std::unique_lock lock(stop_mutex_);
      const auto second = second_.count() > 0 ? second_ : link_.Scaled(1000);
      if (stop_cv_.wait_for(lock, second, [this] { return stop_; })) return;
    }
    if (on_second_) on_second_();
  }
}

}  // namespace norvo
