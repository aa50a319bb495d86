#pragma once
// The alarm state of the units this logger holds, as the last answered poll
// left it: the limits that count and the alarms that last. The unit workers
// write it; the /metrics handler and MQTT read copies. No Qt.
//
// Metrics:
//   norvo_alarm_active{unit,channel,quantity,bound}   1 in alarm, 0 not; one
//                                                     series per limit that counts
//   norvo_alarm_limit_celsius{unit,channel,bound}     the temperature limits
//   norvo_alarm_limit_percent{unit,channel,bound}     the humidity limits
// MQTT (retained, sent again when it changes and on every reconnection):
//   PREFIX/UNIT/alarm  {"unit", "alarm", "channels": [{"channel", "alarm",
//                      "active": [{"quantity", "bound", "limit", "since", "peak"}],
//                      "limits": {"temperature_high": 35.3, ...}}, ...]}

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "domain/Alarms.h"

namespace norvo::logger {

struct UnitAlarms {
  AlarmLimits limits;
  std::vector<AlarmRecord> active;
};

class AlarmStates {
 public:
  void Update(const std::string& unit, const AlarmLimits& limits, std::vector<AlarmRecord> active);
  // The unit is away or its poll was not answered: no series for it.
  void Forget(const std::string& unit);
  std::map<std::string, UnitAlarms> Units() const;

 private:
  mutable std::mutex mutex_;  // guards units_
  std::map<std::string, UnitAlarms> units_;
};

// The three families above, for every unit with a state.
std::string RenderAlarmMetrics(const std::map<std::string, UnitAlarms>& units);

// The retained alarm message of one unit (Unix seconds shown as local time).
std::string AlarmStatePayload(const std::string& unit, const UnitAlarms& alarms);

}  // namespace norvo::logger
