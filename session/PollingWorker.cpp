#include "PollingWorker.h"


namespace norvo {

PollingWorker::PollingWorker(DeviceLink& link, CycleFn cycle, PolledFn on_polled, SecondFn on_second)
    : link_(link), cycle_(std::move(cycle)), on_polled_(std::move(on_polled)), on_second_(std::move(on_second)) {}

PollingWorker::~PollingWorker() { Stop(); }

void PollingWorker::Start() {
  loop_.Start([this] { return Turn(); });
}

void PollingWorker::Stop() { loop_.Stop(); }

void PollingWorker::PollCycle() {
  poll_lock_.Reset();
  const PollSnapshot snapshot = cycle_();
  ++polls_;
  if (on_polled_) on_polled_(snapshot);
  poll_lock_.Set();
}

PollLoop::Clock::time_point PollingWorker::Turn() {
  if (ticked_ && on_second_) on_second_();
  ticked_ = true;
  if (scheduler_.Tick(link_.Connected() == 1, busy_.load())) PollCycle();
  // The second is counted from the end of the cycle.
  return PollLoop::Clock::now() + (second_.count() > 0 ? second_ : link_.Scaled(1000));
}

}  // namespace norvo
