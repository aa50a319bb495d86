#include "Exchange.h"

#include "Frames.h"

namespace norvo {

bool Exchange(DeviceLink& link, const Payload& frame, int type, int wait_before_ms, int wait_after_ms) {
  link.WaitExchange(wait_before_ms);
  link.TheHandshake().Expect(type);
  link.WriteReport(frame);
  return wait_after_ms > 0 && link.WaitExchange(wait_after_ms);
}

void Exchange(DeviceLink& link, std::uint8_t command, int type, int wait_before_ms,
              int wait_after_ms) {
  Exchange(link, BuildCommandFrame(command), type, wait_before_ms, wait_after_ms);
}

void ReleaseExchange(DeviceLink& link) {
  link.TheHandshake().Release();
}

bool ReadSettingsSequence(DeviceLink& link) {
  bool answered = Exchange(link, BuildCommandFrame(code::kSettings), response::kSettings, 5000, 5000);
  ReleaseExchange(link);
  // A unit busy with its display can be slow to identify itself; the late
  // answer is waited for rather than let into the interval's buffer.
  answered &= Exchange(link, BuildCommandFrame(code::kIdentification), response::kIdentification, 1000, 800) ||
              link.WaitExchange(kSlowIdentificationMs);
  ReleaseExchange(link);
  answered &= Exchange(link, BuildCommandFrame(code::kInterval), response::kInterval, 2000, 2000);
  ReleaseExchange(link);
  return answered;
}

bool ReadAlarmSequence(DeviceLink& link) {
  if (link.Connected() != 1) return false;
  // Inside the sequence the wait after one command is the wait before the
  // next: an answer is seen as the event being set when the next one starts.
  bool answered = true;
  Exchange(link, code::kAlarmA, response::kAlarmA, 1000, 0);
  answered &= link.WaitExchange(1000);
  link.TheHandshake().Expect(response::kAlarmC);
  link.WriteReport(BuildCommandFrame(code::kAlarmC));
  answered &= link.WaitExchange(1000);
  link.TheHandshake().Expect(response::kAlarmD);
  link.WriteReport(BuildCommandFrame(code::kAlarmD));
  answered &= link.WaitExchange(1000);
  ReleaseExchange(link);
  return answered;
}

bool ReadCalibrationSequence(DeviceLink& link) {
  if (link.Connected() != 1) return false;
  const bool answered = Exchange(link, BuildCommandFrame(code::kCalibration), response::kCalibration, 2000, 2000);
  ReleaseExchange(link);
  return answered;
}

bool ReadLiveSequence(DeviceLink& link) {
  const bool answered = Exchange(link, BuildCommandFrame(code::kLive), response::kLive, 2000, 2000);
  ReleaseExchange(link);
  return answered;
}

WriteOutcome RunWriteSequence(DeviceLink& link, ResponseStore& store, const WriteTiming& timing,
                              std::span<const Payload> frames) {
  if (link.Connected() == 0) return WriteOutcome::kNotConnected;
  if (frames.size() == 1 && frames[0][kCommandAt] == code::kSetInterval && !timing.end_frame) {
    // The interval frame stands alone: the unit takes it on any screen, so
    // no permission is asked for; the read-back tells whether it took it.
    Exchange(link, frames[0], response::kWrite, timing.first_wait_ms, timing.closing_wait_ms);
    ReleaseExchange(link);
    return link.Connected() == 0 ? WriteOutcome::kNotConnected : WriteOutcome::kWritten;
  }
  link.WaitExchange(timing.first_wait_ms);
  store.SetPermission(ResponseStore::kNoPermissionAnswer);
  link.TheHandshake().Expect(response::kPermission);
  const auto asked = link.WriteReport(BuildCommandFrame(code::kPermission));
  const bool answered = link.WaitExchange(kPermissionWaitMs);

  WriteOutcome outcome = WriteOutcome::kRefused;
  if (!answered || store.Permission() == ResponseStore::kNoPermissionAnswer) {
    // A late answer must not land anywhere.
    link.TheHandshake().Redirect(response::kWrite);
    outcome = link.Connected() == 0 ? WriteOutcome::kNotConnected : WriteOutcome::kNoAnswer;
  } else if (store.Permission() == 0) {
    link.TheHandshake().Redirect(response::kWrite);
    // The pause runs from the query, not from the answer: an answer that
    // took longer than the pause needs none of its own.
    if (asked) link.PauseUntil(*asked + link.Scaled(kPermissionPauseMs));
    for (const Payload& frame : frames) {
      link.WriteReport(frame);
      link.Pause(50);
    }
    if (timing.end_frame) {
      link.WriteReport(BuildCommandFrame(code::kEndOfWrite));
      link.Pause(50);
    }
    outcome = link.Connected() == 0 ? WriteOutcome::kNotConnected : WriteOutcome::kWritten;
  }
  link.WaitExchange(timing.closing_wait_ms);
  ReleaseExchange(link);
  return outcome;
}

}  // namespace norvo
