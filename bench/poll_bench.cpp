// One full poll cycle (settings, alarms, calibration, live) against the
// strict simulated unit, the profile the tests use: every answer comes a few
// to tens of milliseconds late, identification later still. The baseline is
// the unit's own answer times in the same cycles: per command the longer of
// the 10 ms write pause and the time from the command's write to the last
// report of its answer, as seen at the transport. The ratio is what the
// console adds on top of the unit. Usage: poll_bench [cycles]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "BenchSupport.h"
#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Responses.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace {

using namespace norvo;
using Clock = std::chrono::steady_clock;
constexpr double kWritePauseMs = 10;

// The floor the unit sets, summed over the commands written through it.
class AnswerClock {
 public:
  void Wrote() {
    std::lock_guard lock(mutex_);
    Close();
    written_ = Clock::now();
    answered_ = written_;
    open_ = true;
  }
  void Answered() {
    std::lock_guard lock(mutex_);
    answered_ = Clock::now();
  }
  // The floor so far, the last command included; starts a new sum.
  double TakeMs() {
    std::lock_guard lock(mutex_);
    Close();
    const double sum = sum_ms_;
    sum_ms_ = 0;
    return sum;
  }

 private:
  void Close() {
    if (!open_) return;
    open_ = false;
    sum_ms_ += std::max(kWritePauseMs, std::chrono::duration<double, std::milli>(answered_ - written_).count());
  }
  std::mutex mutex_;  // guards every field: Write runs on the caller's thread, Read on the reader's
  Clock::time_point written_, answered_;
  bool open_ = false;
  double sum_ms_ = 0;
};

class TimedDevice : public HidDevice {
 public:
  TimedDevice(std::unique_ptr<HidDevice> device, AnswerClock& clock) : device_(std::move(device)), clock_(clock) {}
  bool Write(const std::uint8_t (&report)[kReportSize]) override {
    clock_.Wrote();
    return device_->Write(report);
  }
  int Read(Payload& payload, int timeout_ms) override {
    const int n = device_->Read(payload, timeout_ms);
    if (n > 0) clock_.Answered();
    return n;
  }

 private:
  std::unique_ptr<HidDevice> device_;
  AnswerClock& clock_;
};

class TimedTransport : public Transport {
 public:
  TimedTransport(Transport& inner, AnswerClock& clock) : inner_(inner), clock_(clock) {}
  std::vector<HidInterfaceInfo> Enumerate() override { return inner_.Enumerate(); }
  std::unique_ptr<HidDevice> Open(const std::string& path) override {
    auto device = inner_.Open(path);
    return device ? std::make_unique<TimedDevice>(std::move(device), clock_) : nullptr;
  }

 private:
  Transport& inner_;
  AnswerClock& clock_;
};

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 20;
  if (cycles < 1) {
    std::fprintf(stderr, "usage: poll_bench [cycles]\n");
    return 2;
  }
  sim::SimUnit unit;  // strict, paced: one report per millisecond
  sim::SimTransport sim_transport;
  sim_transport.AddUnit(&unit, "sim:unit");
  AnswerClock answers;
  TimedTransport transport(sim_transport, answers);
  DeviceLink link(transport);
  ResponseStore store;
  Dispatcher dispatcher(link, store);
  link.SetReportHandler([&](const Payload& p, int n) { dispatcher.Dispatch(p, n); });
  if (link.OpenDevice() != 1) {
    std::fprintf(stderr, "poll_bench: the simulated unit did not open\n");
    return 2;
  }
  double total_ms = 0, worst_ms = 0, floor_ms = 0;
  bool complete = true;
  answers.TakeMs();
  for (int i = 0; i < cycles; ++i) {
    const auto start = Clock::now();
    complete = ReadSettingsSequence(link) && complete;
    complete = ReadAlarmSequence(link) && complete;
    complete = ReadCalibrationSequence(link) && complete;
    complete = ReadLiveSequence(link) && complete;
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    floor_ms += answers.TakeMs();
    total_ms += ms;
    worst_ms = std::max(worst_ms, ms);
  }
  link.Stop();
  const double mean = total_ms / cycles, floor_mean = floor_ms / cycles;
  const double ratio = mean / floor_mean;
  constexpr double kGoal = 1.2;
  std::printf("poll cycle against the strict simulated unit: mean %.1f ms, worst %.1f ms over %d cycles%s\n", mean,
              worst_ms, cycles, complete ? "" : " (A SEQUENCE FAILED)");
  std::printf("baseline (the unit's own answer times: per command the longer of the 10 ms write pause and its "
              "answer's arrival): mean %.1f ms\n",
              floor_mean);
  std::printf("ratio ours/baseline: %.3f (goal <= %.1f)\n", ratio, kGoal);
  bench::Report("poll cycle", std::to_string(cycles) + " cycles", mean, floor_mean, "ms", ratio <= kGoal && complete,
                "ratio <= 1.2");
  if (!complete) return 2;
  return ratio <= kGoal ? 0 : 1;
}
