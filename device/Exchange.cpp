#include "Exchange.h"

#include "Frames.h"

namespace norvo {

bool Exchange(DeviceLink& link, const Payload& frame, int type, int wait_before_ms, int wait_after_ms) {
  link.WaitExchange(wait_before_ms);
  link.ExchangeEvent().Reset();
  link.SetPendingType(type);
  link.WriteReport(frame);
  return wait_after_ms > 0 && link.WaitExchange(wait_after_ms);
}

void Exchange(DeviceLink& link, std::uint8_t command, int type, int wait_before_ms,
              int wait_after_ms) {
  Exchange(link, BuildCommandFrame(command), type, wait_before_ms, wait_after_ms);
}

void ReleaseExchange(DeviceLink& link) {
  link.ExchangeEvent().Reset();
  link.ExchangeEvent().Set();
}

void ReadSettingsSequence(DeviceLink& link) {
  Exchange(link, code::kSettings, response::kSettings, 5000, 5000);
  ReleaseExchange(link);
  Exchange(link, code::kIdentification, response::kIdentification, 1000, 800);
  ReleaseExchange(link);
  Exchange(link, code::kInterval, response::kInterval, 2000, 2000);
  ReleaseExchange(link);
}

void ReadAlarmSequence(DeviceLink& link) {
  if (link.Connected() != 1) return;
  // Inside the sequence the wait after one command is the wait before the next.
  Exchange(link, code::kAlarmA, response::kAlarmA, 1000, 0);
  Exchange(link, code::kAlarmC, response::kAlarmC, 1000, 0);
  Exchange(link, code::kAlarmD, response::kAlarmD, 1000, 1000);
  ReleaseExchange(link);
}

void ReadCalibrationSequence(DeviceLink& link) {
  if (link.Connected() != 1) return;
  Exchange(link, code::kCalibration, response::kCalibration, 2000, 2000);
  ReleaseExchange(link);
}

void ReadLiveSequence(DeviceLink& link) {
  Exchange(link, code::kLive, response::kLive, 2000, 2000);
  ReleaseExchange(link);
}

WriteOutcome RunWriteSequence(DeviceLink& link, const WriteTiming& timing,
                              std::span<const Payload> frames, const std::atomic<int>& permission) {
  if (link.Connected() == 0) return WriteOutcome::kNotConnected;
  link.WaitExchange(timing.first_wait_ms);
  link.ExchangeEvent().Reset();
  link.SetPendingType(response::kPermission);
  link.WriteReport(BuildCommandFrame(code::kPermission));
  link.Pause(50);

  WriteOutcome outcome = WriteOutcome::kRefused;
  if (permission.load() == 0) {
    link.SetPendingType(response::kWrite);
    for (const Payload& frame : frames) {
      link.WriteReport(frame);
      link.Pause(50);
    }
    if (timing.end_frame) {
      link.WriteReport(BuildCommandFrame(code::kEndOfWrite));
      link.Pause(50);
    }
    outcome = WriteOutcome::kWritten;
  }
  link.WaitExchange(timing.closing_wait_ms);
  ReleaseExchange(link);
  return outcome;
}

void RunSingleWrite(DeviceLink& link, const Payload& frame) {
  Exchange(link, frame, response::kWrite, 1000, 1000);
  ReleaseExchange(link);
}

}  // namespace norvo
