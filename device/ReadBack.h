#pragma once
// The one read-back rule: whether a block the unit offers back holds what a
// write put there. Compared are the bytes the write carries, over the block's
// written range; two "no value" temperature words (FF FF and 7F FF, which
// the unit may hand back for each other) count as the same. Used by every
// verified write and by the restore of a backup alike.

#include <cstddef>
#include <cstdint>

#include "Blocks.h"
#include "Payload.h"

namespace norvo {

// The blocks a write can be checked against, in block layout (answer offsets).
enum class WrittenBlockKind { kSettings, kCalibration, kAlarmSwitches, kAlarmTemperature, kAlarmHumidity };

constexpr bool IsNoValueWord(const Payload& p, std::size_t at) {
  return (p[at] == 0xFF || p[at] == 0x7F) && p[at + 1] == 0xFF;
}

// True when the temperature word at (block offset) at is one of the block's words.
constexpr bool IsTemperatureWordAt(WrittenBlockKind kind, std::size_t at) {
  for (int c = 1; c <= 8; ++c) {
    if (kind == WrittenBlockKind::kCalibration && at == calibration::TemperatureAt(c)) return true;
    if (kind == WrittenBlockKind::kAlarmTemperature &&
        (at == alarm_limits::TemperatureHighAt(c) || at == alarm_limits::TemperatureLowAt(c))) {
      return true;
    }
  }
  return false;
}

// The last block byte a write of this kind carries (from byte 1).
constexpr std::size_t LastWrittenByte(WrittenBlockKind kind, bool eight_area) {
  switch (kind) {
    case WrittenBlockKind::kSettings: return settings::LastWritten(eight_area);
    case WrittenBlockKind::kCalibration: return calibration::kWrittenBytes;
    case WrittenBlockKind::kAlarmSwitches: return alarm_a::kWrittenBytes;
    case WrittenBlockKind::kAlarmTemperature: return alarm_limits::kTemperatureBytes;
    case WrittenBlockKind::kAlarmHumidity: return alarm_limits::kHumidityBytes;
  }
  return 0;
}

// wanted and read are both in block layout; shift says at which offset of
// wanted block byte 1 stands (1 for a block, 1 + kFrameShift for a frame).
inline bool SameAsWritten(WrittenBlockKind kind, const Payload& wanted, std::size_t shift, const Payload& read,
                          bool eight_area) {
  const std::size_t last = LastWrittenByte(kind, eight_area);
  for (std::size_t k = 1; k <= last; ++k) {
    const std::size_t w = k - 1 + shift;
    if (k < last && IsTemperatureWordAt(kind, k)) {
      const bool both_none = IsNoValueWord(wanted, w) && IsNoValueWord(read, k);
      if (!both_none && (wanted[w] != read[k] || wanted[w + 1] != read[k + 1])) return false;
      ++k;
      continue;
    }
    if (wanted[w] != read[k]) return false;
  }
  return true;
}

}  // namespace norvo
