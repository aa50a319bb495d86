#pragma once
// Every answered poll as one JSON state message per unit over MQTT
// (libmosquitto), with Home Assistant discovery so that each channel's
// temperature, humidity and dew point appear as sensors of a device named
// after the unit.
//
// Topics (PREFIX default "norvo", UNIT the unit's name (UnitIdentity.h) with
// every character other than a letter, digit, "-" or "_" made "_"):
//   PREFIX/status                  "online" / "offline", retained; the broker
//                                  sends "offline" itself (last will) when
//                                  the logger vanishes
//   PREFIX/UNIT/availability       "online" while this logger holds the unit
//                                  and it is connected, retained; only the
//                                  unit's holder ever publishes it
//   PREFIX/UNIT/state              {"time", "unit", "device", "identification", "channels": [...]}
//   DISCOVERY/sensor/norvo_UNIT/chN_QUANTITY/config   retained, per channel and quantity
//
// Discovery follows Home Assistant's MQTT discovery as documented today:
// default_entity_id (object_id is gone), an origin block, the device with
// its identifiers, manufacturer, model name and serial number, and
// expire_after from the poll period, so that a unit whose holder vanished
// shows as unavailable even though its availability stays "online".
//
// Messages are only handed to the library while the broker connection
// stands, so nothing piles up while the broker is away; on every
// (re)connection the retained topics are sent again. The library's own
// thread reconnects with a doubling delay (1 s up to 30 s).

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "store/LiveStore.h"

struct mosquitto;

namespace norvo::logger {

struct MqttOptions {
  std::string host;  // empty: no MQTT
  int port = 1883;
  std::string client_id;  // empty: norvo-HOSTNAME-PID
  std::string username;
  std::string password;
  std::string ca_file;  // TLS with this CA when not empty
  std::string prefix = "norvo";
  std::string discovery_prefix = "homeassistant";
  int keepalive_s = 30;
  int expire_after_s = 60;   // a sensor without a state message this long is unavailable
  std::string version;       // the logger's, for the origin block
  std::string support_url;   // for the origin block; "" (the project has no page of its own) leaves it out
};

// The model name in a unit's identification text: "QT7100K" in "{QT7100K@}".
std::string ModelName(const std::string& identification);

// The broker connection as the metrics show it.
enum class MqttState { kConnecting, kConnected, kRefused };
const char* MqttStateName(MqttState state);

class MqttPublisher {
 public:
  // note: one line for the log (connection changes); error: a message the
  // library refused. Both are called on any thread.
  using NoteFn = std::function<void(const std::string&)>;
  using ErrorFn = std::function<void()>;

  MqttPublisher(MqttOptions options, NoteFn note, ErrorFn error);
  ~MqttPublisher();
  MqttPublisher(const MqttPublisher&) = delete;
  MqttPublisher& operator=(const MqttPublisher&) = delete;

  // Starts connecting in the background. False (with a message) only for
  // options the library refuses (a CA file it cannot read, ...): a broker
  // that is away is waited for.
  bool Start(std::string* error);
  // "offline" for every unit and the logger, then an orderly disconnect (no
  // last will). Idempotent.
  void Stop();
  bool Connected() const { return connected_.load(); }
  MqttState State() const { return state_.load(); }

  // Any thread, by the unit's holder only. An answered poll (poll.unit is
  // the unit's name; device its path): discovery when its identification
  // is new, then the state message.
  void Publish(const LivePoll& poll, const std::string& identification, const std::string& device);
  // Any thread, by the unit's holder only. The unit came or went; "offline"
  // goes out only for a unit this publisher had said "online" for.
  void Availability(const std::string& unit, bool online);

  // Every channel's temperature, humidity and dew point (bit 3 (channel - 1)
  // + 0, 1, 2 of a reported mask).
  static constexpr std::uint32_t kEverySensor = (std::uint32_t{1} << (3 * kLiveChannels)) - 1;

  // The discovery messages of a unit for the sensors in reported: topic and
  // payload, as sent.
  std::vector<std::pair<std::string, std::string>> Discovery(const std::string& unit, const std::string& identification,
                                                             std::uint32_t reported = kEverySensor) const;

  // Any thread, by the unit's holder only. The unit's alarm message
  // (AlarmState.h), retained, sent when it differs from the last one; the
  // Home Assistant binary sensors of its channels go out with the first.
  void PublishAlarms(const std::string& unit, const std::string& payload);
  // A binary sensor (device class problem) per channel on the alarm topic,
  // the channel's limits as its attributes.
  std::vector<std::pair<std::string, std::string>> AlarmDiscovery(const std::string& unit,
                                                                  const std::string& identification) const;
  std::string AlarmTopic(const std::string& unit) const { return options_.prefix + "/" + UnitId(unit) + "/alarm"; }

  static std::string UnitId(const std::string& name);
  std::string StatusTopic() const { return options_.prefix + "/status"; }
  std::string StateTopic(const std::string& unit) const { return options_.prefix + "/" + UnitId(unit) + "/state"; }
  std::string AvailabilityTopic(const std::string& unit) const {
    return options_.prefix + "/" + UnitId(unit) + "/availability";
  }

 private:
  struct Unit {
    std::string identification;
    bool online = false;
    std::uint32_t reported = 0;  // the sensors the unit has given a value for (Discovery's mask)
  };
  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnDisconnect(mosquitto* m, void* self, int rc);
  void Send(const std::string& topic, const std::string& payload, bool retain);
  void SendDiscovery(const std::string& unit, const std::string& identification, std::uint32_t reported);
  void SendAll();
  void SendAlarms(const std::string& unit);  // mutex_ held

  MqttOptions options_;
  NoteFn note_;
  ErrorFn error_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> announced_lost_{false};  // the loss was told once; no line per retry
  std::atomic<bool> ever_connected_{false};
  std::atomic<MqttState> state_{MqttState::kConnecting};

  std::mutex mutex_;  // guards units_ and alarm_payloads_, and serialises the retained sends
  std::map<std::string, Unit> units_;
  std::map<std::string, std::string> alarm_payloads_;  // the last alarm message per unit

  std::mutex state_mutex_;  // with state_cv_: waits for the disconnect at Stop
  std::condition_variable state_cv_;
};

}  // namespace norvo::logger
