#pragma once
// The answer to the live command (0x03): temperature and humidity of CH1..CH8.
//
// Block layout: byte 0 not used; channel k (0..7) at bytes 1+3k (temperature
// high), 2+3k (temperature low), 3+3k (humidity); bytes 25..63 not used.

#include <array>
#include <cstdint>

#include "Encodings.h"
#include "Payload.h"

namespace norvo {

constexpr int kChannels = 8;

namespace live {
constexpr std::size_t kFirstChannel = 1;
constexpr std::size_t kChannelStride = 3;
constexpr std::size_t kEnd = kFirstChannel + kChannels * kChannelStride;
static_assert(kEnd == 25);
}  // namespace live

// Temperatures in degrees Celsius, humidity in percent; 65535 marks a missing
// or out-of-range value. A ninth pair always holds the invalid marker.
struct LiveReadings {
  std::array<float, kChannels + 1> temperature;
  std::array<std::int32_t, kChannels + 1> humidity;

  LiveReadings() {
    temperature.fill(kInvalidTemperature);
    humidity.fill(kInvalidHumidity);
  }
};

// Valid temperatures lie in -40.0..60.0, valid humidities in 1..99; anything
// else becomes the invalid marker.
LiveReadings DecodeLiveReadings(const Payload& block);

// Magnus-type dew point in °C with each stored step rounded to float, or
// 65535.0 when the humidity is missing or the result lies outside -40..60.
float DewPoint(float temperature, int humidity);

}  // namespace norvo
