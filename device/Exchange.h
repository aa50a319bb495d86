#pragma once
// The command/response handshake and the fixed sequences built on it.
//
// A sender waits for the exchange event, resets it, stores the pending
// response type, writes one report and waits again; the reader thread stores
// the answer, clears the type and sets the event. A time-out is never an
// error: the sender carries on and the old data stays in place.

#include <atomic>
#include <cstdint>
#include <span>

#include "DeviceLink.h"
#include "Payload.h"

namespace norvo {

// One exchange: wait before, reset, pending type, write, wait after (none
// when 0). True when the answer signalled the event within the wait after.
bool Exchange(DeviceLink& link, const Payload& frame, int type, int wait_before_ms, int wait_after_ms);
// The same for a read command without data.
void Exchange(DeviceLink& link, std::uint8_t command, int type, int wait_before_ms,
              int wait_after_ms);

// Leaves the exchange event signalled for the next sequence.
void ReleaseExchange(DeviceLink& link);

// The polling worker's read sequences, in the order it runs them.
void ReadSettingsSequence(DeviceLink& link);
void ReadAlarmSequence(DeviceLink& link);
void ReadCalibrationSequence(DeviceLink& link);
void ReadLiveSequence(DeviceLink& link);

enum class WriteOutcome {
  kNotConnected,  // nothing sent
  kRefused,       // the unit is not on its main screen: only "{Q@}" was sent
  kWritten,       // data frames sent; the unit never confirms them
};

struct WriteTiming {
  int first_wait_ms;
  int closing_wait_ms;
  bool end_frame;  // "{/@}" after the data frames
};

constexpr WriteTiming kDialogWrite{5000, 500, true};
constexpr WriteTiming kClockWrite{3000, 1000, false};

// Permission query, then the data frames if the unit accepts writes. The
// permission byte is the caller's own copy, read 50 ms after "{Q@}".
WriteOutcome RunWriteSequence(DeviceLink& link, const WriteTiming& timing,
                              std::span<const Payload> frames, const std::atomic<int>& permission);

// Set Interval's single exchange: no permission query, no end frame.
void RunSingleWrite(DeviceLink& link, const Payload& frame);

}  // namespace norvo
