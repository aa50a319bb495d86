#include "Metrics.h"

#include <httplib.h>

#include <charconv>
#include <chrono>
#include <cerrno>
#include <cstring>

namespace norvo::logger {
namespace {

// The shortest text that reads back as the same double; never locale-bound.
std::string Number(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

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

std::string Device(const UnitStatus& u) { return "device=\"" + LabelValue(u.path) + "\""; }

std::string Channel(const UnitStatus& u, int k) { return Device(u) + ",channel=\"" + std::to_string(k + 1) + "\""; }

}  // namespace

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

std::string RenderMetrics(const std::vector<UnitStatus>& units, std::uint64_t mqtt_errors, const std::string& version) {
  Writer w;
  w.Family("norvo_build_info", "gauge", "The logger's version; always 1.");
  w.Sample("version=\"" + LabelValue(version) + "\"", "1");

  w.Family("norvo_unit_info", "gauge", "A served unit: its device path and identification text; always 1.");
  for (const UnitStatus& u : units) w.Sample(Device(u) + ",identification=\"" + LabelValue(u.identification) + "\"", "1");

  w.Family("norvo_unit_connected", "gauge", "1 while the unit is open, 0 while it is away or cannot be opened.");
  for (const UnitStatus& u : units) w.Sample(Device(u), u.connected ? "1" : "0");

  // Readings only from a poll the connected unit answered.
  const auto readings = [&](const char* name, const char* help, auto value) {
    w.Family(name, "gauge", help);
    for (const UnitStatus& u : units) {
      if (!u.connected || !u.readings_current) continue;
      for (int k = 0; k < kLiveChannels; ++k) {
        const std::optional<double> v = value(u.last.channels[static_cast<std::size_t>(k)]);
        if (v) w.Sample(Channel(u, k), Number(*v));
      }
    }
  };
  readings("norvo_temperature_celsius", "Temperature of a channel at the last poll, in degrees Celsius.",
           [](const LiveChannel& c) { return c.temperature; });
  readings("norvo_relative_humidity_ratio", "Relative humidity of a channel at the last poll, 0 to 1.",
           [](const LiveChannel& c) -> std::optional<double> {
             if (!c.humidity) return std::nullopt;
             return *c.humidity / 100.0;
           });
  readings("norvo_dew_point_celsius", "Dew point of a channel at the last poll, in degrees Celsius.",
           [](const LiveChannel& c) { return c.dew_point; });

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
  w.Family("norvo_store_write_errors_total", "counter", "Answered polls the record store could not take.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.write_errors));
  w.Family("norvo_reconnects_total", "counter", "Times the unit came back after it was lost.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.reconnects));
  w.Family("norvo_disconnected_seconds_total", "counter",
           "Time the unit was away since it was first connected, the current gap included.");
  for (const UnitStatus& u : units) w.Sample(Device(u), Number(u.disconnected_seconds));

  w.Family("norvo_mqtt_publish_errors_total", "counter", "MQTT messages the client library refused to send.");
  w.Sample("", Number(mqtt_errors));
  return w.Take();
}

MetricsServer::MetricsServer(RenderFn render) : render_(std::move(render)) {}

MetricsServer::~MetricsServer() { Stop(); }

bool MetricsServer::Start(const std::string& host, int port, std::string* error) {
  auto server = std::make_unique<httplib::Server>();
  // A scrape every few seconds needs no more than a few threads.
  server->new_task_queue = [] { return new httplib::ThreadPool(4); };
  // Headers and body go out in separate writes: without this a kept-alive
  // connection waits for the scraper's delayed ACK (40 ms) on every scrape.
  server->set_tcp_nodelay(true);
  server->Get("/metrics", [this](const httplib::Request&, httplib::Response& response) {
    response.set_content(render_(), "text/plain; version=0.0.4; charset=utf-8");
  });
  errno = 0;
  const int bound = port == 0 ? server->bind_to_any_port(host) : (server->bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    const int cause = errno;
    if (error) {
      *error = "cannot listen on " + host + ":" + std::to_string(port) + (cause ? std::string(": ") + std::strerror(cause) : "");
    }
    return false;
  }
  port_ = bound;
  server_ = std::move(server);
  thread_ = std::thread([s = server_.get()] { s->listen_after_bind(); });
  // Stop() only reaches a server that runs: wait until its accept loop does.
  for (int i = 0; i < 5000 && !server_->is_running(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return true;
}

void MetricsServer::Stop() {
  if (!server_) return;
  server_->stop();
  if (thread_.joinable()) thread_.join();
  server_.reset();
}

}  // namespace norvo::logger
