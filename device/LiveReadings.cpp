#include "LiveReadings.h"

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

}  // namespace norvo
