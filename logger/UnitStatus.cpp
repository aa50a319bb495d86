#include "UnitStatus.h"

#include <cmath>

#include "device/Encodings.h"
#include "monitor/Format.h"

namespace norvo::logger {
namespace {

// Readings are tenths on the wire; the float that held them is rounded back.
double Tenths(float value) { return std::round(static_cast<double>(value) * 10.0) / 10.0; }

}  // namespace

double UnixSeconds(std::chrono::system_clock::time_point t) {
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
  return static_cast<double>(ms) / 1000.0;
}

LivePoll ToLivePoll(const PollSnapshot& snapshot, const std::string& unit) {
  LivePoll poll;
  poll.time = UnixSeconds(snapshot.time);
  poll.unit = unit;
  for (int k = 0; k < kLiveChannels; ++k) {
    const auto i = static_cast<std::size_t>(k);
    const float t = snapshot.live.temperature[i];
    const int h = snapshot.live.humidity[i];
    LiveChannel& c = poll.channels[i];
    if (t != kInvalidTemperature) c.temperature = Tenths(t);
    if (h != kInvalidHumidity) c.humidity = h;
    if (t != kInvalidTemperature) {
      const float dew = DewPoint(t, h);
      if (dew != kInvalidTemperature) c.dew_point = Tenths(dew);
    }
  }
  return poll;
}

StatusTable::Entry* StatusTable::Find(const std::string& path) {
  for (Entry& e : units_) {
    if (e.status.name == path) return &e;
  }
  return nullptr;
}

void StatusTable::Add(const std::string& path) {
  std::lock_guard lock(mutex_);
  if (Find(path)) return;
  Entry e;
  e.status.name = path;
  e.status.state_message = "not opened yet";
  e.away_since = Clock::now();
  units_.push_back(std::move(e));
}

bool StatusTable::Has(const std::string& path) const {
  std::lock_guard lock(mutex_);
  for (const Entry& e : units_) {
    if (e.status.name == path) return true;
  }
  return false;
}

bool StatusTable::Connected(const std::string& path, const std::string& device, double* gap_seconds) {
  std::lock_guard lock(mutex_);
  Entry* e = Find(path);
  if (e == nullptr || e->status.connected) return false;
  e->status.device = device;
  // Gaps count from the first connection on: a unit that was never there
  // shows as not connected, not as away.
  const bool again = e->ever_connected;
  const double gap = again ? std::chrono::duration<double>(Clock::now() - e->away_since).count() : 0.0;
  e->closed_gaps += gap;
  e->status.connected = true;
  e->status.state_message.clear();
  e->ever_connected = true;
  if (again) ++e->status.reconnects;
  if (gap_seconds) *gap_seconds = gap;
  return again;
}

void StatusTable::Lost(const std::string& path, const std::string& message) {
  std::lock_guard lock(mutex_);
  Entry* e = Find(path);
  if (e == nullptr) return;
  e->status.state_message = message;
  e->status.readings_current = false;
  if (!e->status.connected) return;
  e->status.connected = false;
  e->away_since = Clock::now();
}

void StatusTable::Polled(const std::string& path, const std::string& identification, const LivePoll& poll,
                         double seconds) {
  std::lock_guard lock(mutex_);
  Entry* e = Find(path);
  if (e == nullptr) return;
  if (!identification.empty()) e->status.identification = identification;
  e->status.last = poll;
  e->status.readings_current = true;
  e->status.last_good_poll = poll.time;
  e->status.last_poll_seconds = seconds;
  e->status.poll_seconds += seconds;
  ++e->status.polls;
}

void StatusTable::PollFailed(const std::string& path) {
  std::lock_guard lock(mutex_);
  Entry* e = Find(path);
  if (e == nullptr) return;
  e->status.readings_current = false;
  ++e->status.poll_errors;
}

void StatusTable::Dropped(const std::string& path, std::uint64_t polls) {
  std::lock_guard lock(mutex_);
  if (Entry* e = Find(path)) e->status.dropped += polls;
}

std::vector<UnitStatus> StatusTable::Units() const {
  std::lock_guard lock(mutex_);
  std::vector<UnitStatus> copy;
  const Clock::time_point now = Clock::now();
  for (const Entry& e : units_) {
    UnitStatus s = e.status;
    s.disconnected_seconds = e.closed_gaps;
    if (!s.connected && e.ever_connected) {
      s.disconnected_seconds += std::chrono::duration<double>(now - e.away_since).count();
    }
    copy.push_back(std::move(s));
  }
  return copy;
}

std::uint64_t StatusTable::MqttErrors() const {
  std::lock_guard lock(mutex_);
  return mqtt_errors_;
}

}  // namespace norvo::logger
