#include "LiveRollup.h"

#include <cmath>

#include "device/Encodings.h"
#include "device/LiveReadings.h"

namespace norvo::live {
namespace {

void PutVarint(std::string* out, std::uint64_t v) {
  while (v >= 0x80) {
    out->push_back(static_cast<char>((v & 0x7F) | 0x80));
    v >>= 7;
  }
  out->push_back(static_cast<char>(v));
}

bool GetVarint(const unsigned char** p, const unsigned char* end, std::uint64_t* v) {
  *v = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (*p == end) return false;
    const unsigned char b = *(*p)++;
    *v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
    if (!(b & 0x80)) return true;
  }
  return false;
}

std::uint64_t Zigzag(std::int64_t v) { return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63); }
std::int64_t Unzigzag(std::uint64_t v) { return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1); }

}  // namespace

PollData EncodePoll(const LivePoll& poll) {
  PollData d{};
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    const LiveChannel& c = poll.channels[k];
    std::int16_t t = kAbsentTemperature;
    if (c.temperature && std::isfinite(*c.temperature)) {
      const long tenths = std::lround(*c.temperature * 10.0);
      if (tenths > INT16_MIN && tenths <= INT16_MAX) t = static_cast<std::int16_t>(tenths);
    }
    const auto u = static_cast<std::uint16_t>(t);
    d[2 * k] = static_cast<unsigned char>(u >> 8);
    d[2 * k + 1] = static_cast<unsigned char>(u & 0xFF);
    d[2 * kLiveChannels + k] =
        c.humidity && *c.humidity >= 0 && *c.humidity < kAbsentHumidity ? static_cast<unsigned char>(*c.humidity) : kAbsentHumidity;
  }
  return d;
}

std::optional<int> DewPointTenths(int temperature_tenths, int humidity) {
  const float dew = DewPoint(static_cast<float>(temperature_tenths / 10.0), humidity);
  if (!std::isfinite(dew) || dew == kInvalidTemperature) return std::nullopt;
  return static_cast<int>(std::lround(static_cast<double>(dew) * 10.0));
}

bool DecodePoll(const void* data, int size, PollValues* values) {
  if (size != static_cast<int>(kPollBytes)) return false;
  const auto* d = static_cast<const unsigned char*>(data);
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    auto& v = (*values)[k];
    const auto t = static_cast<std::int16_t>(static_cast<std::uint16_t>(d[2 * k] << 8 | d[2 * k + 1]));
    const unsigned char h = d[2 * kLiveChannels + k];
    v[0] = t == kAbsentTemperature ? std::nullopt : std::optional<int>(t);
    v[1] = h == kAbsentHumidity ? std::nullopt : std::optional<int>(h);
    v[2] = v[0] && v[1] ? DewPointTenths(*v[0], *v[1]) : std::nullopt;
  }
  return true;
}

void ToChannels(const PollValues& values, std::array<LiveChannel, kLiveChannels>* channels) {
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    LiveChannel& c = (*channels)[k];
    c = LiveChannel{};
    if (values[k][0]) c.temperature = *values[k][0] / 10.0;
    if (values[k][1]) c.humidity = *values[k][1];
    if (values[k][2]) c.dew_point = *values[k][2] / 10.0;
  }
}

void Add(LiveStats* s, int value, std::int64_t time) {
  if (s->count == 0 || value < s->min || (value == s->min && time < s->min_time)) {
    s->min = value;
    s->min_time = time;
  }
  if (s->count == 0 || value > s->max || (value == s->max && time < s->max_time)) {
    s->max = value;
    s->max_time = time;
  }
  ++s->count;
  s->sum += value;
}

void Merge(LiveStats* a, const LiveStats& b) {
  if (b.count == 0) return;
  if (a->count == 0) {
    *a = b;
    return;
  }
  if (b.min < a->min || (b.min == a->min && b.min_time < a->min_time)) {
    a->min = b.min;
    a->min_time = b.min_time;
  }
  if (b.max > a->max || (b.max == a->max && b.max_time < a->max_time)) {
    a->max = b.max;
    a->max_time = b.max_time;
  }
  a->count += b.count;
  a->sum += b.sum;
}

void AddPoll(LiveRollup* r, const PollValues& v, std::int64_t time) {
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    for (std::size_t q = 0; q < kQuantities; ++q) {
      if (v[k][q]) Add(&r->stats[k][q], *v[k][q], time);
    }
  }
}

void MergeRollup(LiveRollup* a, const LiveRollup& b) {
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    for (std::size_t q = 0; q < kQuantities; ++q) Merge(&a->stats[k][q], b.stats[k][q]);
  }
}

std::string EncodeRollup(const LiveRollup& r) {
  std::string out;
  out.reserve(200);
  for (const auto& channel : r.stats) {
    for (const LiveStats& s : channel) {
      PutVarint(&out, s.count);
      if (s.count == 0) continue;
      PutVarint(&out, Zigzag(s.min));
      PutVarint(&out, static_cast<std::uint64_t>(s.max - s.min));
      PutVarint(&out, static_cast<std::uint64_t>(s.min_time - r.start));
      PutVarint(&out, static_cast<std::uint64_t>(s.max_time - r.start));
      PutVarint(&out, static_cast<std::uint64_t>(s.sum - static_cast<std::int64_t>(s.count) * s.min));
    }
  }
  return out;
}

bool DecodeRollup(const void* data, int size, LiveRollup* r) {
  const auto* p = static_cast<const unsigned char*>(data);
  const unsigned char* end = p + size;
  for (auto& channel : r->stats) {
    for (LiveStats& s : channel) {
      std::uint64_t count = 0, min = 0, range = 0, tmin = 0, tmax = 0, excess = 0;
      if (!GetVarint(&p, end, &count)) return false;
      s = LiveStats{};
      if (count == 0) continue;
      if (!GetVarint(&p, end, &min) || !GetVarint(&p, end, &range) || !GetVarint(&p, end, &tmin) ||
          !GetVarint(&p, end, &tmax) || !GetVarint(&p, end, &excess)) {
        return false;
      }
      s.count = static_cast<std::uint32_t>(count);
      s.min = static_cast<int>(Unzigzag(min));
      s.max = s.min + static_cast<int>(range);
      s.min_time = r->start + static_cast<std::int64_t>(tmin);
      s.max_time = r->start + static_cast<std::int64_t>(tmax);
      s.sum = static_cast<std::int64_t>(count) * s.min + static_cast<std::int64_t>(excess);
    }
  }
  return p == end;
}

}  // namespace norvo::live

namespace norvo {

bool operator==(const LiveStats& a, const LiveStats& b) {
  if (a.count != b.count) return false;
  return a.count == 0 || (a.min == b.min && a.max == b.max && a.min_time == b.min_time && a.max_time == b.max_time &&
                          a.sum == b.sum);
}

}  // namespace norvo
