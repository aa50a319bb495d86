#pragma once
// The write map: which read answer shows what a write frame wrote, and which
// of its bytes. Frame byte k + kFrameShift carries answer byte k, for k from
// first to last (last depends on the model for the settings). A write is
// verified by reading that answer back and comparing these bytes. Frames the
// unit offers no read of (language, clock) have no entry. Header-only.

#include <cstddef>
#include <cstdint>

#include "Blocks.h"
#include "Frames.h"
#include "Payload.h"
#include "Wire.h"

namespace norvo {

struct WrittenBlock {
  std::uint8_t write_command;
  std::uint8_t read_command;  // the read whose answer holds the written bytes
  int response_type;          // where that answer is stored
  const char* name;           // as a user is told which block differs
  std::size_t first;          // first answer byte the frame carries
  std::size_t last_five_area;
  std::size_t last_eight_area;
  // Temperature words start at first and recur every word_stride bytes
  // (0: the block has none); "no value" reads back as FF FF or 7F FF.
  std::size_t word_stride;

  constexpr std::size_t Last(bool eight_area) const { return eight_area ? last_eight_area : last_five_area; }
  constexpr bool IsWordAt(std::size_t k) const {
    return word_stride != 0 && k >= first && (k - first) % word_stride == 0;
  }
};

inline constexpr WrittenBlock kWriteMap[] = {
    {code::kWriteSettings, code::kSettings, response::kSettings, "settings", settings::kGraphType,
     settings::LastWritten(false), settings::LastWritten(true), 0},
    {code::kWriteCalibration, code::kCalibration, response::kCalibration, "calibration",
     calibration::TemperatureAt(1), calibration::kWrittenBytes, calibration::kWrittenBytes, 3},
    {code::kWriteAlarmSwitches, code::kAlarmA, response::kAlarmA, "alarm switches", alarm_a::kHumiditySwitch,
     alarm_a::kWrittenBytes, alarm_a::kWrittenBytes, 0},
    {code::kWriteAlarmTemperature, code::kAlarmC, response::kAlarmC, "temperature alarm limits",
     alarm_limits::TemperatureHighAt(1), alarm_limits::kTemperatureBytes, alarm_limits::kTemperatureBytes, 2},
    {code::kWriteAlarmHumidity, code::kAlarmD, response::kAlarmD, "humidity alarm limits",
     alarm_limits::HumidityHighAt(1), alarm_limits::kHumidityBytes, alarm_limits::kHumidityBytes, 0},
    // The interval answer carries the minutes at byte 1, the frame at byte 2.
    {code::kSetInterval, code::kInterval, response::kInterval, "interval", kAnswerValueAt, kAnswerValueAt,
     kAnswerValueAt, 0},
};

// Every entry's frame keeps room for "@" "}"; the word strides match the block tables.
static_assert([] {
  for (const WrittenBlock& w : kWriteMap) {
    if (w.first < 1 || w.Last(true) < w.Last(false) || w.Last(true) + kFrameShift + 2 >= kPayloadSize)
      return false;
  }
  return true;
}());
static_assert(calibration::TemperatureAt(2) - calibration::TemperatureAt(1) == 3);
static_assert(alarm_limits::TemperatureLowAt(1) - alarm_limits::TemperatureHighAt(1) == 2 &&
              alarm_limits::TemperatureHighAt(2) - alarm_limits::TemperatureLowAt(1) == 2);

// The entry of a write command, or nullptr when its effect cannot be read back.
constexpr const WrittenBlock* FindWrittenBlock(std::uint8_t write_command) {
  for (const WrittenBlock& w : kWriteMap) {
    if (w.write_command == write_command) return &w;
  }
  return nullptr;
}

// The frame's fields into the answer block it writes (the simulated unit).
constexpr void ApplyWritten(const WrittenBlock& w, const Payload& frame, Payload& block, bool eight_area) {
  for (std::size_t k = w.first; k <= w.Last(eight_area); ++k) block[k] = frame[k + kFrameShift];
}

// True when a read-back answer holds what the frame wrote; two "no value"
// temperature words count as the same.
constexpr bool HoldsWritten(const WrittenBlock& w, const Payload& frame, const Payload& answer,
                            bool eight_area) {
  for (std::size_t k = w.first; k <= w.Last(eight_area); ++k) {
    if (w.IsWordAt(k) && k + 1 <= w.Last(eight_area)) {
      if (!wire::SameTemperatureWord(&answer[k], &frame[k + kFrameShift])) return false;
      ++k;
    } else if (answer[k] != frame[k + kFrameShift]) {
      return false;
    }
  }
  return true;
}

}  // namespace norvo
