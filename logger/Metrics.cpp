#include "Metrics.h"

#include <charconv>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace norvo::logger {
namespace {

std::string Number(double v) { return NumberText(v); }

std::string Number(std::uint64_t v) { return std::to_string(v); }

class Writer {
 public:
  // One family: its HELP and TYPE lines, then the samples added to it.
  void Family(const char* name, const char* type, const char* help) {
    name_ = name;
    text_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
  }
  void Sample(const std::string& labels, const std::string& value) {
    text_ += name_ + (labels.empty() ? "" : "{" + labels + "}") + " " + value + "\n";
  }
  std::string Take() { return std::move(text_); }

 private:
  std::string name_;
  std::string text_;
};

std::string Device(const UnitStatus& u) { return "unit=\"" + LabelValue(u.name) + "\""; }

std::string Channel(const UnitStatus& u, int k) { return Device(u) + ",channel=\"" + std::to_string(k + 1) + "\""; }

// The build, and each unit: what it is and whether it is open.
void WriteIdentity(Writer& w, const std::vector<UnitStatus>& units, const MetricsGlobals& g) {
  w.Family("norvo_build_info", "gauge", "The logger's version; always 1.");
  w.Sample("version=\"" + LabelValue(g.version) + "\"", "1");

  w.Family("norvo_unit_info", "gauge",
           "A served unit: its name, the device path it was last opened at and its identification text; always 1.");
  for (const UnitStatus& u : units) {
    w.Sample(Device(u) + ",device=\"" + LabelValue(u.device) + "\",identification=\"" + LabelValue(u.identification) + "\"",
             "1");
  }

  w.Family("norvo_unit_connected", "gauge", "1 while the unit is open, 0 while it is away or cannot be opened.");
  for (const UnitStatus& u : units) w.Sample(Device(u), u.connected ? "1" : "0");
}

// Readings only from a poll the connected unit answered.
template <typename Value>
void WriteReading(Writer& w, const std::vector<UnitStatus>& units, const char* name, const char* help,
                  Value value) {
  w.Family(name, "gauge", help);
  for (const UnitStatus& u : units) {
    if (!u.connected || !u.readings_current) continue;
    for (int k = 0; k < kLiveChannels; ++k) {
      const std::optional<double> v = value(u.last.channels[static_cast<std::size_t>(k)]);
      if (v) w.Sample(Channel(u, k), Number(*v));
    }
  }
}

void WriteReadings(Writer& w, const std::vector<UnitStatus>& units) {
  WriteReading(w, units, "norvo_temperature_celsius", "Temperature of a channel at the last poll, in degrees Celsius.",
               [](const LiveChannel& c) { return c.temperature; });
  WriteReading(w, units, "norvo_relative_humidity_ratio", "Relative humidity of a channel at the last poll, 0 to 1.",
               [](const LiveChannel& c) -> std::optional<double> {
                 if (!c.humidity) return std::nullopt;
                 return *c.humidity / 100.0;
               });
  WriteReading(w, units, "norvo_dew_point_celsius", "Dew point of a channel at the last poll, in degrees Celsius.",
               [](const LiveChannel& c) { return c.dew_point; });
}

// Each unit's polls, store queue and absences.
void WritePollCounts(Writer& w, const std::vector<UnitStatus>& units) {
  w.Family("norvo_last_poll_timestamp_seconds", "gauge", "Unix time of the unit's last answered poll.");
  for (const UnitStatus& u : units) {
    if (u.last_good_poll > 0) w.Sample(Device(u), Number(u.last_good_poll));
  }
  w.Family("norvo_last_poll_duration_seconds", "gauge", "How long the unit's last answered poll took.");
  for (const UnitStatus& u : units) {
    if (u.polls > 0) w.Sample(Device(u), Number(u.last_poll_seconds));
  }
  w.Family("norvo_polls_total", "counter", "Polls the unit answered.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.polls));
  w.Family("norvo_poll_errors_total", "counter", "Polls the unit did not answer in full.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.poll_errors));
  w.Family("norvo_store_waiting_polls", "gauge", "Answered polls waiting to be written to the record store.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.store_waiting));
  w.Family("norvo_store_dropped_polls_total", "counter",
           "Answered polls that never reached the record store: the queue was full, or the store refused them at stop.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.dropped));
  w.Family("norvo_reconnects_total", "counter", "Times the unit came back after it was lost.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.reconnects));
  w.Family("norvo_disconnected_seconds_total", "counter",
           "Time the unit was away since it was first connected, the current gap included.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.disconnected_seconds));
}

// The logger's own: the broker connection and the store's refusals.
void WriteLoggerCounts(Writer& w, const MetricsGlobals& g) {
  w.Family("norvo_mqtt_publish_errors_total", "counter", "MQTT messages the client library refused to send.");
  w.Sample("", Number(g.mqtt_errors));
  if (!g.mqtt_state.empty()) {
    w.Family("norvo_mqtt_connection_state", "gauge",
             "The broker connection: 1 for its current state (connecting, connected, refused), 0 for the others.");
    for (const char* state : {"connecting", "connected", "refused"}) {
      w.Sample(std::string("state=\"") + state + "\"", g.mqtt_state == state ? "1" : "0");
    }
  }
  w.Family("norvo_store_write_failures_total", "counter",
           "Writes the record store refused; their polls stay queued and are written again.");
  w.Sample("", Number(g.store_failures));
}

}  // namespace

std::string NumberText(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

std::string LabelValue(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string RenderMetrics(const std::vector<UnitStatus>& units, const MetricsGlobals& g) {
  Writer w;
  WriteIdentity(w, units, g);
  WriteReadings(w, units);
  WritePollCounts(w, units);
  WriteLoggerCounts(w, g);
  return w.Take();
}

}  // namespace norvo::logger
