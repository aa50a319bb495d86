#include "PollingWorker.h"

#include "device/Exchange.h"
#include "device/Frames.h"

namespace norvo {

PollingWorker::PollingWorker(DeviceLink& link, ResponseStore& store, PolledFn on_polled, SecondFn on_second)
    : link_(link), store_(store), on_polled_(std::move(on_polled)), on_second_(std::move(on_second)) {}

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
  ReadSettingsSequence(link_);
  ReadAlarmSequence(link_);
  ReadCalibrationSequence(link_);
  ReadLiveSequence(link_);
  PollSnapshot snapshot;
  snapshot.live = DecodeLiveReadings(store_.Block(response::kLive));
  snapshot.settings = store_.Block(response::kSettings);
  snapshot.calibration = store_.Block(response::kCalibration);
  snapshot.alarm_a = store_.Block(response::kAlarmA);
  snapshot.alarm_b = store_.Block(response::kAlarmB);
  snapshot.alarm_c = store_.Block(response::kAlarmC);
  snapshot.alarm_d = store_.Block(response::kAlarmD);
  snapshot.interval = store_.Interval();
  snapshot.identification = store_.Identification();
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
