#pragma once
// The command/response handshake and the fixed sequences built on it.
//
// A sender waits for the exchange token, takes it naming the response type it
// expects (Handshake), writes one report and waits again; the reader thread
// stores the answer and gives the token back. A time-out is never an error:
// the sender carries on and the old data stays in place.

#include <atomic>
#include <cstdint>
#include <span>

#include "DeviceLink.h"
#include "Payload.h"
#include "Responses.h"

namespace norvo {

// One exchange: wait before, expect the type, write, wait after (none
// when 0). True when the answer signalled the event within the wait after.
bool Exchange(DeviceLink& link, const Payload& frame, int type, int wait_before_ms, int wait_after_ms);
// The same for a read command without data.
void Exchange(DeviceLink& link, std::uint8_t command, int type, int wait_before_ms,
              int wait_after_ms);

// Leaves the exchange token set for the next sequence.
void ReleaseExchange(DeviceLink& link);

// The polling worker's read sequences, in the order it runs them. Each
// returns true when every command of it was answered in time.
bool ReadSettingsSequence(DeviceLink& link);
bool ReadAlarmSequence(DeviceLink& link);
bool ReadCalibrationSequence(DeviceLink& link);
bool ReadLiveSequence(DeviceLink& link);

enum class WriteOutcome {
  kNotConnected,  // nothing sent
  kRefused,       // the unit is not on its main screen: only "{Q@}" was sent
  kNoAnswer,      // "{Q@}" went unanswered: nothing more was sent
  kWritten,       // data frames sent; the unit never confirms them
  kDifferent,     // sent, but what the unit reads back differs (only from a verified write)
  kUnverified,    // sent, but the read-back went unanswered (only from a verified write)
};

// How long the permission answer may take. A unit answers within tens of
// milliseconds; one that is busy with its own display can take a few hundred.
constexpr int kPermissionWaitMs = 1000;
// The unit reads no data frame sooner than this after "{Q@}", whenever its
// answer came.
constexpr int kPermissionPauseMs = 50;
// How much longer than its 800 ms the identification answer may take.
constexpr int kSlowIdentificationMs = 1200;

struct WriteTiming {
  int first_wait_ms;
  int closing_wait_ms;
  bool end_frame;  // "{/@}" after the data frames
};

constexpr WriteTiming kDialogWrite{5000, 500, true};
constexpr WriteTiming kClockWrite{3000, 1000, false};
// Set Interval: one data frame in a single exchange, no end frame.
constexpr WriteTiming kIntervalWrite{1000, 1000, false};

// Permission query, then the data frames if the unit accepts writes. The
// sender waits for the answer to this very query (up to kPermissionWaitMs);
// an old answer in the store never counts. The first data frame follows the
// answer, and the query by at least kPermissionPauseMs. A lone interval frame is the
// exception: it is written in one exchange without the query.
WriteOutcome RunWriteSequence(DeviceLink& link, ResponseStore& store, const WriteTiming& timing,
                              std::span<const Payload> frames);

}  // namespace norvo
