#pragma once
// A backup of the unit's configuration as a JSON text, and the write
// sequences that put it back. No Qt here.
//
// Every field is kept twice: as the value a person reads (names, degrees
// Celsius, percent, channel lists) and as the raw bytes or words of the block
// in hex, high byte first. A restore writes the raw bytes only, so a backup
// restored onto the same unit sends the very frames an unchanged save of the
// dialogs sends; the readable value must still agree with its raw bytes, so
// an edit of only one of them is refused rather than silently dropped.
//
// Key order is fixed: model, identification, interval, settings, alarms,
// calibration.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "device/Exchange.h"
#include "device/Payload.h"
#include "Ranges.h"

namespace norvo {

// What a backup holds: the unit's blocks as the read sequences store them
// (answer offsets), its identification text (UTF-8, as the response store
// holds it) and its logging interval.
struct UnitConfiguration {
  std::string identification;
  int interval = 0;
  Payload settings{};
  Payload alarm_a{};
  Payload alarm_c{};
  Payload alarm_d{};
  Payload calibration{};

  bool EightArea() const;
};

// "eight-area" or "five-area".
const char* ModelName(bool eight_area);

// What a display area shows, from its mask: "CH1 temperature, CH1 dew point",
// or "-" for nothing. Bits 24 to 31 carry nothing shown.
std::string AreaContents(std::uint32_t mask);

// The backup text: indented JSON with a final line feed.
std::string BackupJson(const UnitConfiguration& config);

struct BackupParse {
  std::optional<UnitConfiguration> config;
  std::string error;  // why the text is not a usable backup, naming the field
};
// Reads a backup text. Only the fields a restore writes are filled in. Any
// text gives a configuration or an error; values outside the ranges the
// dialogs keep to (config/Ranges.h) are errors naming the field.
BackupParse ParseBackupJson(std::string_view text);

// The first field of a configuration outside the dialogs' ranges.
std::optional<ranges::OutOfRange> CheckConfiguration(const UnitConfiguration& config);

// One write sequence of a restore: the frames the matching dialog sends in
// one permission query ... end frame pair (the interval alone, as Set
// Interval sends it).
struct RestoreSequence {
  std::string block;  // "settings", "alarms", "calibration", "interval"
  WriteTiming timing;
  std::vector<Payload> frames;
};
// Settings 0x10; alarms 0x12, 0x14, 0x15; calibration 0x11; interval 0x40.
std::vector<RestoreSequence> RestoreSequences(const UnitConfiguration& config);

// The blocks whose written fields differ between what a restore wrote and
// what the unit offers back, in the order of RestoreSequences. Both invalid
// temperature words (FF FF, 7F FF) count as the same "no value".
std::vector<std::string> DifferingBlocks(const UnitConfiguration& wanted, const UnitConfiguration& read);

// The frame as hex pairs separated by blanks ("7B 40 3C 40 7D 00 ...").
std::string FrameHex(const Payload& frame);

}  // namespace norvo
