// One full poll cycle (settings, alarms, calibration, live) against the
// responsive simulated unit paced like a full-speed USB device, against the
// floor the protocol sets: 8 commands x 10 ms write pause. Each answer is one
// report, paced at 1 ms, that arrives while its write pause still runs.

#include <chrono>
#include <cstdio>

#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Responses.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

int main(int argc, char** argv) {
  using namespace norvo;
  using Clock = std::chrono::steady_clock;
  const int cycles = argc > 1 ? std::atoi(argv[1]) : 20;

  sim::SimUnit unit{sim::SimUnit::Options{.strict = false}};  // pacing on: one report per millisecond
  sim::SimTransport transport;
  transport.AddUnit(&unit, "sim:unit");
  DeviceLink link(transport);
  ResponseStore store;
  Dispatcher dispatcher(link, store);
  link.SetReportHandler([&](const Payload& p, int n) { dispatcher.Dispatch(p, n); });
  if (link.OpenDevice() != 1) return 1;

  double total_ms = 0, worst_ms = 0;
  for (int i = 0; i < cycles; ++i) {
    const auto start = Clock::now();
    ReadSettingsSequence(link);
    ReadAlarmSequence(link);
    ReadCalibrationSequence(link);
    ReadLiveSequence(link);
    const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    total_ms += ms;
    worst_ms = std::max(worst_ms, ms);
  }
  link.Stop();
  const double mean = total_ms / cycles;
  const double floor_ms = 8 * 10;
  std::printf("poll cycle: mean %.1f ms, worst %.1f ms over %d cycles\n", mean, worst_ms, cycles);
  std::printf("baseline (protocol floor, 8 commands x 10 ms write pause): %.1f ms\n", floor_ms);
  std::printf("ratio to floor: %.3f (goal <= 1.2)\n", mean / floor_ms);
  return 0;
}
