#include "MqttPublisher.h"

#include <cstdint>
#include <iterator>

#include "Notify.h"

#include <mosquitto.h>
#include <unistd.h>

#include <chrono>
#include <nlohmann/json.hpp>

namespace norvo::logger {
namespace {

using Json = nlohmann::ordered_json;

constexpr const char* kOnline = "online";
constexpr const char* kOffline = "offline";

struct Quantity {
  const char* key;  // in the state message and the object id
  const char* name;
  const char* device_class;
  const char* unit;
};

constexpr Quantity kQuantities[] = {
    {"temperature", "temperature", "temperature", "\u00B0C"},
    {"humidity", "humidity", "humidity", "%"},
    {"dew_point", "dew point", "temperature", "\u00B0C"},
};

void InitLibrary() {
  static const int once = [] { return mosquitto_lib_init(); }();
  (void)once;
}

std::string DefaultClientId() {
  char host[256] = {};
  if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  std::string id = std::string("norvo-") + host + "-" + std::to_string(::getpid());
  // MQTT 3.1.1 brokers need accept no more than 23 characters.
  return id.size() > 23 ? "norvo-" + std::to_string(::getpid()) : id;
}

Json Value(const std::optional<double>& v) { return v ? Json(*v) : Json(nullptr); }
Json Value(const std::optional<int>& v) { return v ? Json(*v) : Json(nullptr); }

// Bit 3 (channel - 1) + q: quantity q of kQuantities.
constexpr int kQuantityCount = static_cast<int>(std::size(kQuantities));
static_assert(kLiveChannels * kQuantityCount <= 32);
std::uint32_t Bit(int channel, int quantity) { return std::uint32_t{1} << ((channel - 1) * kQuantityCount + quantity); }

// The channels' quantities that hold a value in this poll.
std::uint32_t Reported(const LivePoll& poll) {
  std::uint32_t bits = 0;
  for (int ch = 1; ch <= kLiveChannels; ++ch) {
    const LiveChannel& c = poll.channels[static_cast<std::size_t>(ch - 1)];
    const bool present[] = {c.temperature.has_value(), c.humidity.has_value(), c.dew_point.has_value()};
    static_assert(std::size(present) == std::size(kQuantities));
    for (int q = 0; q < kQuantityCount; ++q) {
      if (present[q]) bits |= Bit(ch, q);
    }
  }
  return bits;
}

}  // namespace

std::string ModelName(const std::string& identification) {
  const std::size_t open = identification.find('{');
  const std::size_t close = open == std::string::npos ? open : identification.find("@}", open);
  if (close != std::string::npos && close > open + 1) return identification.substr(open + 1, close - open - 1);
  return identification;
}

namespace {

// The device block of a unit's sensors: what Home Assistant shows of the unit.
Json DiscoveryDevice(const std::string& unit, const std::string& id, const std::string& identification) {
  Json device = {{"identifiers", Json::array({"norvo_" + id})},
                 {"name", "Ombrix " + unit},
                 {"manufacturer", "Tarvik"},
                 {"model", ModelName(identification)}};
  // The identification text names the model; what follows the model tag, if
  // anything, is the unit's own version.
  if (const std::size_t end = identification.find("@}"); end != std::string::npos) {
    std::string rest = identification.substr(end + 2);
    rest.erase(0, rest.find_first_not_of(" \t\r\n"));
    rest.erase(rest.find_last_not_of(" \t\r\n\0") + 1);
    if (!rest.empty()) device["sw_version"] = rest;
  }
  // A name that is not a path is the serial number or the port path; only
  // the former goes in as the serial number.
  if (unit.find_first_of(":/") == std::string::npos) device["serial_number"] = unit;
  return device;
}

// The origin block: the program that announced the sensors.
Json DiscoveryOrigin(const MqttOptions& options) {
  Json origin = {{"name", "norvoctl serve"}};
  if (!options.version.empty()) origin["sw_version"] = options.version;
  if (!options.support_url.empty()) origin["support_url"] = options.support_url;
  return origin;
}

}  // namespace

const char* MqttStateName(MqttState state) {
  switch (state) {
    case MqttState::kConnected:
      return "connected";
    case MqttState::kRefused:
      return "refused";
    case MqttState::kConnecting:
      break;
  }
  return "connecting";
}

std::string MqttPublisher::UnitId(const std::string& name) {
  std::string id;
  for (const char c : name) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '_';
    id += plain ? c : '_';
  }
  const std::size_t first = id.find_first_not_of('_');
  return first == std::string::npos ? "unit" : id.substr(first);
}

MqttPublisher::MqttPublisher(MqttOptions options, NoteFn note, ErrorFn error)
    : options_(std::move(options)), note_(std::move(note)), error_(std::move(error)) {
  if (options_.client_id.empty()) options_.client_id = DefaultClientId();
}

MqttPublisher::~MqttPublisher() {
  Stop();
  if (client_) mosquitto_destroy(client_);
}

bool MqttPublisher::Start(std::string* error) {
  InitLibrary();
  client_ = mosquitto_new(options_.client_id.c_str(), true, this);
  if (client_ == nullptr) {
    if (error) *error = "MQTT: cannot make a client";
    return false;
  }
  const auto fail = [&](const char* what, int rc) {
    if (error) *error = std::string("MQTT: ") + what + ": " + mosquitto_strerror(rc);
    return false;
  };
  mosquitto_int_option(client_, MOSQ_OPT_PROTOCOL_VERSION, MQTT_PROTOCOL_V311);
  const std::string status = StatusTopic();
  int rc = mosquitto_will_set(client_, status.c_str(), static_cast<int>(std::char_traits<char>::length(kOffline)),
                              kOffline, 1, true);
  if (rc != MOSQ_ERR_SUCCESS) return fail("last will", rc);
  if (!options_.username.empty()) {
    rc = mosquitto_username_pw_set(client_, options_.username.c_str(),
                                   options_.password.empty() ? nullptr : options_.password.c_str());
    if (rc != MOSQ_ERR_SUCCESS) return fail("user name", rc);
  }
  if (!options_.ca_file.empty()) {
    rc = mosquitto_tls_set(client_, options_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    if (rc != MOSQ_ERR_SUCCESS) return fail(("CA file " + options_.ca_file).c_str(), rc);
  }
  mosquitto_reconnect_delay_set(client_, 1, 30, true);
  mosquitto_connect_callback_set(client_, &MqttPublisher::OnConnect);
  mosquitto_disconnect_callback_set(client_, &MqttPublisher::OnDisconnect);
  rc = mosquitto_loop_start(client_);
  if (rc != MOSQ_ERR_SUCCESS) return fail("client thread", rc);
  // A broker that is not there yet is no failure: the client thread keeps trying.
  rc = mosquitto_connect_async(client_, options_.host.c_str(), options_.port, options_.keepalive_s);
  if (rc == MOSQ_ERR_INVAL) return fail("broker address", rc);
  if (rc != MOSQ_ERR_SUCCESS) {
    announced_lost_.store(true);
    note_(kWarning + ("MQTT: " + options_.host) + ":" + std::to_string(options_.port) + " not reachable yet (" +
          mosquitto_strerror(rc) + "), retrying");
  }
  return true;
}

void MqttPublisher::Stop() {
  if (client_ == nullptr || stopping_.exchange(true)) return;
  const bool was_connected = connected_.load();
  if (was_connected) {
    std::map<std::string, Unit> units;
    {
      std::lock_guard lock(mutex_);
      units = units_;
    }
    for (const auto& [unit, u] : units) {
      if (u.online) Send(AvailabilityTopic(unit), kOffline, true);
    }
    Send(StatusTopic(), kOffline, true);
  }
  mosquitto_disconnect(client_);
  // The messages above and the DISCONNECT go out in order on the client
  // thread; a client that is not connected may sit in its reconnect delay.
  bool ended = false;
  if (was_connected) {
    std::unique_lock lock(state_mutex_);
    ended = state_cv_.wait_for(lock, std::chrono::seconds(1), [&] { return !connected_.load(); });
  }
  mosquitto_loop_stop(client_, !ended);
  connected_.store(false);
}

void MqttPublisher::OnConnect(mosquitto*, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  if (rc != 0) {
    // Told once per refusal, not once per retry; the disconnect that follows
    // is no "not reachable".
    p->announced_lost_.store(true);
    if (p->state_.exchange(MqttState::kRefused) != MqttState::kRefused) {
      p->note_(std::string(kError) + "MQTT: the broker refused the connection: " + mosquitto_connack_string(rc) + ", retrying");
    }
    return;
  }
  {
    std::lock_guard lock(p->state_mutex_);
    p->connected_.store(true);
  }
  p->state_.store(MqttState::kConnected);
  p->announced_lost_.store(false);
  p->ever_connected_.store(true);
  p->note_(std::string(kInfo) + "MQTT: connected to " + p->options_.host + ":" + std::to_string(p->options_.port));
  p->SendAll();
}

void MqttPublisher::OnDisconnect(mosquitto*, void* self, int rc) {
  auto* p = static_cast<MqttPublisher*>(self);
  {
    std::lock_guard lock(p->state_mutex_);
    p->connected_.store(false);
  }
  p->state_cv_.notify_all();
  if (p->state_.load() == MqttState::kConnected) p->state_.store(MqttState::kConnecting);
  if (rc != 0 && !p->stopping_.load() && !p->announced_lost_.exchange(true)) {
    p->note_(kWarning + (p->ever_connected_.load() ? std::string("MQTT: connection lost, reconnecting")
                                                   : "MQTT: " + p->options_.host + ":" + std::to_string(p->options_.port) +
                                                         " not reachable yet, retrying"));
  }
}

void MqttPublisher::Send(const std::string& topic, const std::string& payload, bool retain) {
  // QoS 0: a message is either on its way now or not at all, so nothing
  // waits in the client while the broker is away.
  const int rc = mosquitto_publish(client_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                                   retain);
  if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_NO_CONN) error_();
}

std::vector<std::pair<std::string, std::string>> MqttPublisher::Discovery(const std::string& unit,
                                                                         const std::string& identification,
                                                                         std::uint32_t reported) const {
  const std::string id = UnitId(unit);
  std::string entity = "norvo_" + id;
  for (char& c : entity) c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : (c == '-' ? '_' : c);
  const Json device = DiscoveryDevice(unit, id, identification);
  const Json origin = DiscoveryOrigin(options_);
  // The unit's own topic says whether its holder has it; the logger's status
  // carries the broker's last will, so a logger that died takes its sensors
  // with it at once rather than after expire_after.
  const Json availability = Json::array({{{"topic", AvailabilityTopic(unit)}}, {{"topic", StatusTopic()}}});
  std::vector<std::pair<std::string, std::string>> messages;
  for (int ch = 1; ch <= kLiveChannels; ++ch) {
    for (int k = 0; k < kQuantityCount; ++k) {
      if ((reported & Bit(ch, k)) == 0) continue;
      const Quantity& q = kQuantities[k];
      const std::string object = "ch" + std::to_string(ch) + "_" + q.key;
      const Json config = {
          {"name", "CH" + std::to_string(ch) + " " + q.name},
          {"unique_id", "norvo_" + id + "_" + object},
          {"default_entity_id", "sensor." + entity + "_" + object},
          {"state_topic", StateTopic(unit)},
          {"value_template", "{{ value_json.channels[" + std::to_string(ch - 1) + "]." + q.key + " }}"},
          {"device_class", q.device_class},
          {"unit_of_measurement", q.unit},
          {"state_class", "measurement"},
          {"expire_after", options_.expire_after_s},
          {"availability", availability},
          {"availability_mode", "all"},
          {"device", device},
          {"origin", origin},
      };
      messages.emplace_back(options_.discovery_prefix + "/sensor/norvo_" + id + "/" + object + "/config", config.dump());
    }
  }
  return messages;
}

void MqttPublisher::SendDiscovery(const std::string& unit, const std::string& identification, std::uint32_t reported) {
  for (const auto& [topic, payload] : Discovery(unit, identification, reported)) Send(topic, payload, true);
}

void MqttPublisher::SendAll() {
  std::lock_guard lock(mutex_);
  Send(StatusTopic(), kOnline, true);
  for (const auto& [unit, u] : units_) {
    if (!u.identification.empty()) SendDiscovery(unit, u.identification, u.reported);
    Send(AvailabilityTopic(unit), u.online ? kOnline : kOffline, true);
  }
  for (const auto& [unit, payload] : alarm_payloads_) SendAlarms(unit);
}

void MqttPublisher::Publish(const LivePoll& poll, const std::string& identification, const std::string& device) {
  if (client_ == nullptr || stopping_.load()) return;
  {
    std::lock_guard lock(mutex_);
    Unit& u = units_[poll.unit];
    const bool announce = !u.online;
    u.online = true;
    // A sensor is announced once its unit has given a value for it: a
    // channel without a sensor never gets entities that stay unknown.
    const std::uint32_t fresh = Reported(poll) & ~u.reported;
    u.reported |= fresh;
    if (!identification.empty() && identification != u.identification) {
      u.identification = identification;
      if (connected_.load()) SendDiscovery(poll.unit, identification, u.reported);
    } else if (fresh != 0 && !u.identification.empty() && connected_.load()) {
      SendDiscovery(poll.unit, u.identification, fresh);
    }
    if (announce && connected_.load()) Send(AvailabilityTopic(poll.unit), kOnline, true);
  }
  if (!connected_.load()) return;
  Json channels = Json::array();
  for (int k = 0; k < kLiveChannels; ++k) {
    const LiveChannel& c = poll.channels[static_cast<std::size_t>(k)];
    channels.push_back({{"channel", k + 1},
                        {"temperature", Value(c.temperature)},
                        {"humidity", Value(c.humidity)},
                        {"dew_point", Value(c.dew_point)}});
  }
  const Json state = {{"time", LocalIsoTime(poll.time)},
                      {"unit", poll.unit},
                      {"device", device},
                      {"identification", identification},
                      {"channels", channels}};
  Send(StateTopic(poll.unit), state.dump(), false);
}

void MqttPublisher::Availability(const std::string& unit, bool online) {
  if (client_ == nullptr || stopping_.load()) return;
  std::lock_guard lock(mutex_);
  const auto found = units_.find(unit);
  // Never "offline" for a unit another process holds: it is not ours to say.
  if (!online && (found == units_.end() || !found->second.online)) return;
  Unit& u = units_[unit];
  u.online = online;
  if (connected_.load()) Send(AvailabilityTopic(unit), online ? kOnline : kOffline, true);
}

std::vector<std::pair<std::string, std::string>> MqttPublisher::AlarmDiscovery(const std::string& unit,
                                                                              const std::string& identification) const {
  // The same device and origin as the unit's sensors.
  const Json sensor = Json::parse(Discovery(unit, identification).front().second);
  const std::string id = UnitId(unit);
  std::string entity = sensor["default_entity_id"].get<std::string>();
  entity = entity.substr(entity.find('.') + 1, entity.rfind("_ch") - entity.find('.') - 1);
  std::vector<std::pair<std::string, std::string>> messages;
  for (int ch = 1; ch <= kLiveChannels; ++ch) {
    const std::string object = "ch" + std::to_string(ch) + "_alarm";
    const std::string at = "value_json.channels[" + std::to_string(ch - 1) + "]";
    const Json config = {
        {"name", "CH" + std::to_string(ch) + " alarm"},
        {"unique_id", "norvo_" + id + "_" + object},
        {"default_entity_id", "binary_sensor." + entity + "_" + object},
        {"state_topic", AlarmTopic(unit)},
        {"value_template", "{{ 'ON' if " + at + ".alarm else 'OFF' }}"},
        {"json_attributes_topic", AlarmTopic(unit)},
        {"json_attributes_template", "{{ " + at + ".limits | tojson }}"},
        {"device_class", "problem"},
        // No expire_after: the alarm message is sent only when it changes;
        // the unit's availability says when its holder is gone.
        {"availability", sensor["availability"]},
        {"device", sensor["device"]},
        {"origin", sensor["origin"]},
    };
    messages.emplace_back(options_.discovery_prefix + "/binary_sensor/norvo_" + id + "/" + object + "/config",
                          config.dump());
  }
  return messages;
}

void MqttPublisher::SendAlarms(const std::string& unit) {
  const auto u = units_.find(unit);
  const auto a = alarm_payloads_.find(unit);
  if (u == units_.end() || u->second.identification.empty() || a == alarm_payloads_.end()) return;
  for (const auto& [topic, payload] : AlarmDiscovery(unit, u->second.identification)) Send(topic, payload, true);
  Send(AlarmTopic(unit), a->second, true);
}

void MqttPublisher::PublishAlarms(const std::string& unit, const std::string& payload) {
  if (client_ == nullptr || stopping_.load()) return;
  std::lock_guard lock(mutex_);
  std::string& last = alarm_payloads_[unit];
  if (last == payload) return;
  const bool first = last.empty();
  last = payload;
  if (!connected_.load()) return;
  if (first) {
    SendAlarms(unit);
  } else {
    Send(AlarmTopic(unit), payload, true);
  }
}

}  // namespace norvo::logger
