#pragma once
// The byte layouts of the compact live store and the arithmetic of its
// roll-ups. No SQLite, no Qt: the store reads and writes these blobs.
//
// A poll's Data: 8 temperatures as big-endian int16 in tenths of a degree
// Celsius (kAbsentTemperature: the unit gave none), then 8 humidities as
// uint8 in whole percent (kAbsentHumidity). 24 bytes. The dew point is not
// stored: it follows from the two by the console's own formula.
//
// A roll-up's Data: for channel 1..8 and in each for temperature, humidity
// and dew point (24 entries), the count of present values as a varint; for a
// count above 0 then the minimum (zigzag varint), the maximum less the
// minimum, the minimum's and the maximum's time as seconds after the
// bucket's start, and the sum less count times the minimum (varints).
// Values are tenths for temperatures and dew points, percent for humidity.

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "LiveStore.h"

namespace norvo::live {

constexpr int kQuantities = 3;  // LiveQuantity order
constexpr std::int16_t kAbsentTemperature = INT16_MIN;
constexpr std::uint8_t kAbsentHumidity = 0xFF;
constexpr std::size_t kPollBytes = kLiveChannels * 3;

// The three bucket lengths in seconds, finest first.
constexpr std::array<int, 3> kSpans = {300, 3600, 86400};

using PollData = std::array<unsigned char, kPollBytes>;
// One poll's values as integers: tenths, percent, tenths.
using PollValues = std::array<std::array<std::optional<int>, kQuantities>, kLiveChannels>;

PollData EncodePoll(const LivePoll& poll);
// False when the blob has not the poll's length.
bool DecodePoll(const void* data, int size, PollValues* values);
// The poll as its LiveChannel values, the dew point computed.
void ToChannels(const PollValues& values, std::array<LiveChannel, kLiveChannels>* channels);
// The dew point in tenths from a temperature in tenths and a humidity.
std::optional<int> DewPointTenths(int temperature_tenths, int humidity);

// Adds one value at a time; ties keep the earlier time (the first found).
void Add(LiveStats* s, int value, std::int64_t time);
// Folds b (a later or earlier bucket) into a.
void Merge(LiveStats* a, const LiveStats& b);
void AddPoll(LiveRollup* r, const PollValues& v, std::int64_t time);
void MergeRollup(LiveRollup* a, const LiveRollup& b);

std::string EncodeRollup(const LiveRollup& r);
bool DecodeRollup(const void* data, int size, LiveRollup* r);

inline std::int64_t BucketStart(std::int64_t time, int span) {
  const std::int64_t q = time / span;
  return (time % span < 0 ? q - 1 : q) * span;
}

}  // namespace norvo::live
