#include "LiveReadings.h"

#include <cmath>

namespace norvo {

LiveReadings DecodeLiveReadings(const Payload& block) {
  LiveReadings r;
  for (int k = 0; k < kChannels; ++k) {
    const std::size_t at = live::kFirstChannel + live::kChannelStride * k;
    r.temperature[k] = DecodeTemperatureWord(block[at], block[at + 1]);
    r.humidity[k] = DecodeHumidityByte(block[at + 2]);
  }
  for (int k = 0; k < kChannels; ++k) {
    if (r.temperature[k] < -40.0f || r.temperature[k] > 60.0f) r.temperature[k] = kInvalidTemperature;
    if (r.humidity[k] < 1 || r.humidity[k] > 99) r.humidity[k] = kInvalidHumidity;
  }
  return r;
}

float DewPoint(float temperature, int humidity) {
  if (humidity == kInvalidHumidity) return kInvalidTemperature;
  const double t = temperature;
  const double a = 7.6 * t / (t + 240.7);
  // Saturation vapour pressure in kPa, then the inversion; the float steps
  // are the values as the unit's formula stores them.
  const float es = static_cast<float>(6.107 * std::pow(10.0, a) / 10);
  const float g = static_cast<float>(std::log(es * static_cast<float>(humidity) / 100 / 0.61078));
  const float td = static_cast<float>(241.88 * g / (17.558 - g));
  if (td > 60 || td < -40) return kInvalidTemperature;
  return td;
}

}  // namespace norvo
