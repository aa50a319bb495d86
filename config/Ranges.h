#pragma once
// The ranges of every value a writer of the unit's blocks may send: the
// Setup, Alarm and Calibration dialogs, norvoctl's set commands and restore
// all check against these, so a value one of them refuses none of them
// writes. No Qt here.

#include <optional>
#include <string>

#include "device/LiveReadings.h"
#include "device/Payload.h"

namespace norvo::ranges {

struct Range {
  int low, high;
  constexpr bool Holds(long long v) const { return v >= low && v <= high; }
};

constexpr Range kIntervalMinutes{5, 240};
// Alarm limits: tenths of °C, percent.
constexpr Range kAlarmTemperatureTenths{-400, 600};
constexpr Range kAlarmHumidity{1, 99};
// A reading corrected by a calibration offset stays within the unit's range.
constexpr Range kCorrectedTemperatureTenths{-400, 600};
constexpr Range kCorrectedHumidity{0, 99};
// An offset alone can move a reading at most across that whole range.
constexpr Range kOffsetTemperatureTenths{-1000, 1000};
constexpr Range kOffsetHumidity{-99, 99};
// The Setup dialog's lists.
constexpr Range kGraphType{0, 3};
constexpr Range kTimeFormat{0, 2};
constexpr Range kDateFormat{0, 2};
constexpr Range kDst{0, 1};
constexpr Range kTimeZone{-12, 12};
constexpr Range kTemperatureUnit{0, 1};
// The Alarm dialog's ON/OFF lists.
constexpr Range kAlarmSwitch{0, 1};

// 12, 24, 48 or 72 hours.
bool IsGraphSpan(int hours);

// Whether a corrected reading stays in range: live already holds the old
// offset (live - old + new). All in tenths of °C or in percent.
bool CorrectedTemperatureFits(int live_tenths, int old_tenths, int new_tenths);
bool CorrectedHumidityFits(int live_percent, int old_percent, int new_percent);

// The first value of a block outside its range: the field, named as a
// backup names it ("/alarms/channels/2/humidity_high"), and why, in the
// loaded language.
struct OutOfRange {
  std::string field;
  std::string reason;
};
std::optional<OutOfRange> CheckSettingsBlock(const Payload& settings);
std::optional<OutOfRange> CheckAlarmBlocks(const Payload& alarm_a, const Payload& alarm_c, const Payload& alarm_d);
// The offsets alone; CheckCorrectedCalibration adds what the dialog checks
// against the live readings.
std::optional<OutOfRange> CheckCalibrationBlock(const Payload& calibration);
// Channels whose offset changes from `now` to `wanted` and whose live reading
// is valid: the corrected reading must stay in range.
std::optional<OutOfRange> CheckCorrectedCalibration(const Payload& now, const Payload& wanted, const LiveReadings& live);
std::optional<OutOfRange> CheckInterval(int minutes);

}  // namespace norvo::ranges
