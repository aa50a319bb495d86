#include "AlarmState.h"

#include <nlohmann/json.hpp>

#include "Metrics.h"
#include "store/LiveStore.h"

namespace norvo::logger {
namespace {

using Json = nlohmann::ordered_json;

bool Active(const UnitAlarms& a, int channel, AlarmQuantity q, AlarmBound b) {
  for (const AlarmRecord& r : a.active) {
    if (r.channel == channel && r.quantity == q && r.bound == b) return true;
  }
  return false;
}

}  // namespace

void AlarmStates::Update(const std::string& unit, const AlarmLimits& limits, std::vector<AlarmRecord> active) {
  std::lock_guard lock(mutex_);
  units_[unit] = UnitAlarms{limits, std::move(active)};
}

void AlarmStates::Forget(const std::string& unit) {
  std::lock_guard lock(mutex_);
  units_.erase(unit);
}

std::map<std::string, UnitAlarms> AlarmStates::Units() const {
  std::lock_guard lock(mutex_);
  return units_;
}

std::string RenderAlarmMetrics(const std::map<std::string, UnitAlarms>& units) {
  std::string active =
      "# HELP norvo_alarm_active 1 while a channel is beyond an alarm limit that counts (switch and enable on), else 0.\n"
      "# TYPE norvo_alarm_active gauge\n";
  std::string celsius =
      "# HELP norvo_alarm_limit_celsius An alarm limit of a channel's temperature that counts, in degrees Celsius.\n"
      "# TYPE norvo_alarm_limit_celsius gauge\n";
  std::string percent =
      "# HELP norvo_alarm_limit_percent An alarm limit of a channel's relative humidity that counts, in percent.\n"
      "# TYPE norvo_alarm_limit_percent gauge\n";
  for (const auto& [unit, a] : units) {
    for (int ch = 1; ch <= kChannels; ++ch) {
      for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
        for (AlarmBound b : {AlarmBound::kHigh, AlarmBound::kLow}) {
          const std::optional<int>& limit = a.limits.At(q, b, ch);
          if (!limit) continue;
          const std::string labels = "unit=\"" + LabelValue(unit) + "\",channel=\"" + std::to_string(ch) + "\"";
          active += "norvo_alarm_active{" + labels + ",quantity=\"" + QuantityName(q) + "\",bound=\"" + BoundName(b) +
                    "\"} " + (Active(a, ch, q, b) ? "1" : "0") + "\n";
          (q == AlarmQuantity::kTemperature ? celsius : percent) += std::string(q == AlarmQuantity::kTemperature
                                                                                    ? "norvo_alarm_limit_celsius{"
                                                                                    : "norvo_alarm_limit_percent{") +
                                                                    labels + ",bound=\"" + BoundName(b) + "\"} " +
                                                                    NumberText(LimitValue(q, *limit)) + "\n";
        }
      }
    }
  }
  return active + celsius + percent;
}

std::string AlarmStatePayload(const std::string& unit, const UnitAlarms& a) {
  Json channels = Json::array();
  for (int ch = 1; ch <= kChannels; ++ch) {
    Json active = Json::array();
    for (const AlarmRecord& r : a.active) {
      if (r.channel != ch) continue;
      active.push_back({{"quantity", QuantityName(r.quantity)},
                        {"bound", BoundName(r.bound)},
                        {"limit", r.limit},
                        {"since", LocalIsoTime(r.start)},
                        {"peak", r.peak}});
    }
    Json limits = Json::object();
    for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
      for (AlarmBound b : {AlarmBound::kHigh, AlarmBound::kLow}) {
        const std::optional<int>& limit = a.limits.At(q, b, ch);
        limits[std::string(QuantityName(q)) + "_" + BoundName(b)] = limit ? Json(LimitValue(q, *limit)) : Json(nullptr);
      }
    }
    const bool alarm = !active.empty();
    channels.push_back({{"channel", ch}, {"alarm", alarm}, {"active", active}, {"limits", limits}});
  }
  return Json{{"unit", unit}, {"alarm", !a.active.empty()}, {"channels", channels}}.dump();
}

}  // namespace norvo::logger
