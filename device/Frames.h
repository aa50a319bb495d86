#pragma once
// Command frames: "{", code, optional data, "@", "}", zero fill to 64 bytes.
// Answers carry no frame of their own; the reader routes them by the pending
// response type that the sender stored before writing.

#include <cstdint>
#include <span>

#include "Payload.h"

namespace norvo {

namespace code {
constexpr std::uint8_t kListFiles = 0x01;
constexpr std::uint8_t kReadFile = 0x02;
constexpr std::uint8_t kLive = 0x03;
constexpr std::uint8_t kSettings = 0x04;
constexpr std::uint8_t kCalibration = 0x05;
constexpr std::uint8_t kAlarmA = 0x06;
constexpr std::uint8_t kAlarmC = 0x08;
constexpr std::uint8_t kAlarmD = 0x09;
constexpr std::uint8_t kSetLanguage = 0x0B;
constexpr std::uint8_t kWriteSettings = 0x10;
constexpr std::uint8_t kWriteCalibration = 0x11;
constexpr std::uint8_t kWriteAlarmSwitches = 0x12;
constexpr std::uint8_t kWriteAlarmTemperature = 0x14;
constexpr std::uint8_t kWriteAlarmHumidity = 0x15;
constexpr std::uint8_t kDeleteFile = 0x20;
constexpr std::uint8_t kEndOfWrite = 0x2F;
constexpr std::uint8_t kSetClock = 0x30;
constexpr std::uint8_t kSetInterval = 0x40;
constexpr std::uint8_t kInterval = 0x41;
constexpr std::uint8_t kPermission = 0x51;
constexpr std::uint8_t kIdentification = 0xFE;
}  // namespace code

// Where the reader thread puts the next input report.
namespace response {
constexpr int kNone = 0;
constexpr int kSettings = 1;
constexpr int kSettingsAlt = 2;  // never set by a sender
constexpr int kCalibration = 3;
constexpr int kAlarmA = 4;
constexpr int kAlarmB = 5;  // never set by a sender
constexpr int kAlarmC = 6;
constexpr int kAlarmD = 7;
constexpr int kLive = 8;
constexpr int kFileList = 9;
constexpr int kFileData = 10;
constexpr int kInterval = 11;
constexpr int kPermission = 12;
constexpr int kIdentification = 13;
constexpr int kWrite = 19;  // answer, if any, is dropped
}  // namespace response

// Where things sit in a frame and in the one-value answers.
constexpr std::size_t kCommandAt = 1;      // the command code, after "{"
constexpr std::size_t kDataAt = 2;         // a write frame's data, after the code
constexpr std::size_t kAnswerValueAt = 1;  // interval and permission answers: one byte after "{"
constexpr std::size_t kClockBytes = 8;     // year (2), month, day, hour, minute, second, weekday
// The card's read command: name at kDataAt, then start and end (4 bytes each,
// big-endian), "@", "}": a frame whose "}" is at n carries a name of n - 11.
constexpr std::size_t kReadFrameOverhead = 11;

constexpr std::uint8_t kFrameOpen = 0x7B;   // "{"
constexpr std::uint8_t kFrameAt = 0x40;     // "@"
constexpr std::uint8_t kFrameClose = 0x7D;  // "}"

// Largest data part that still leaves room for "{", code, "@", "}".
constexpr std::size_t kMaxFrameData = kPayloadSize - 4;

// Builds "{" code data "@" "}" followed by zeros. Data longer than
// kMaxFrameData is cut; callers that can see such data refuse it first.
Payload BuildCommandFrame(std::uint8_t command, std::span<const std::uint8_t> data = {});

}  // namespace norvo
