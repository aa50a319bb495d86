#pragma once
// Every answered poll as one JSON state message per unit over MQTT
// (libmosquitto), with Home Assistant discovery so that each channel's
// temperature, humidity and dew point appear as sensors of a device named
// after the unit.
//
// Topics (PREFIX default "norvo", UNIT the device path with every character
// other than a letter, digit, "-" or "_" made "_"):
//   PREFIX/status                  "online" / "offline", retained; the broker
//                                  sends "offline" itself (last will) when
//                                  the logger vanishes
//   PREFIX/UNIT/availability       "online" while the unit is connected, retained
//   PREFIX/UNIT/state              {"time", "device", "identification", "channels": [...]}
//   DISCOVERY/sensor/norvo_UNIT/chN_QUANTITY/config   retained, per channel and quantity
//
// Messages are only handed to the library while the broker connection
// stands, so nothing piles up while the broker is away; on every
// (re)connection the retained topics are sent again. The library's own
// thread reconnects with a doubling delay (1 s up to 30 s).

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>

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
};

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

  // Any thread. A unit's answered poll: discovery when its identification
  // is new, then the state message.
  void Publish(const LivePoll& poll, const std::string& identification);
  // Any thread. The unit came or went.
  void Availability(const std::string& unit, bool online);

  static std::string UnitId(const std::string& device_path);
  std::string StatusTopic() const { return options_.prefix + "/status"; }
  std::string StateTopic(const std::string& unit) const { return options_.prefix + "/" + UnitId(unit) + "/state"; }
  std::string AvailabilityTopic(const std::string& unit) const {
    return options_.prefix + "/" + UnitId(unit) + "/availability";
  }

 private:
  struct Unit {
    std::string identification;
    bool online = false;
  };
  static void OnConnect(mosquitto* m, void* self, int rc);
  static void OnDisconnect(mosquitto* m, void* self, int rc);
  void Send(const std::string& topic, const std::string& payload, bool retain);
  void SendDiscovery(const std::string& unit, const std::string& identification);
  void SendAll();

  MqttOptions options_;
  NoteFn note_;
  ErrorFn error_;
  mosquitto* client_ = nullptr;
  std::atomic<bool> connected_{false};
  std::atomic<bool> stopping_{false};
  std::atomic<bool> announced_lost_{false};  // the loss was told once; no line per retry
  std::atomic<bool> ever_connected_{false};

  std::mutex mutex_;  // guards units_ and serialises the retained sends
  std::map<std::string, Unit> units_;

  std::mutex state_mutex_;  // with state_cv_: waits for the disconnect at Stop
  std::condition_variable state_cv_;
};

}  // namespace norvo::logger
