#include "Serve.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "Logger.h"
#include <stdexcept>

#include "session/UnitSession.h"
#include "settings/DataFolder.h"
#include "settings/ExitStatus.h"
#include "sim/Rig.h"

namespace fs = std::filesystem;

namespace norvo::logger {
namespace {

constexpr int kOk = 0;

// How often the logger looks for units plugged in since it started.
constexpr std::chrono::milliseconds kRescanEvery{2000};

// The password file's first line, without its line end.
std::optional<std::string> ReadPassword(const std::string& file) {
  std::ifstream in(file);
  if (!in) return std::nullopt;
  std::string line;
  std::getline(in, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

}  // namespace

bool ParseHostPort(const std::string& text, int default_port, std::string* host, int* port) {
  std::string h = text, p;
  if (!text.empty() && text[0] == '[') {
    const std::size_t close = text.find(']');
    if (close == std::string::npos) return false;
    h = text.substr(1, close - 1);
    const std::string rest = text.substr(close + 1);
    if (!rest.empty()) {
      if (rest[0] != ':') return false;
      p = rest.substr(1);
      if (p.empty()) return false;
    }
  } else if (const std::size_t colon = text.rfind(':'); colon != std::string::npos) {
    if (text.find(':') != colon) return false;  // a bare IPv6 address needs brackets
    h = text.substr(0, colon);
    p = text.substr(colon + 1);
    if (p.empty()) return false;
  }
  if (h.empty()) return false;
  int value = default_port;
  if (!p.empty()) {
    if (p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos) return false;
    value = std::atoi(p.c_str());
    if (value > 65535) return false;
  }
  *host = h;
  *port = value;
  return true;
}

int RunServe(const ServeOptions& options, std::FILE* out, std::FILE* err) {
  const auto fail = [&](int status, const std::string& message) {
    std::fprintf(err, "norvoctl: %s\n", message.c_str());
    return status;
  };

  LoggerOptions o;
  if (!std::isfinite(options.period_s) || options.period_s <= 0 || options.period_s > 86400) {
    return fail(kBadInput, "--period takes seconds, more than 0 and at most 86400");
  }
  o.period = std::chrono::milliseconds(static_cast<long long>(std::llround(options.period_s * 1000)));
  if (!std::isfinite(options.retention_days) || options.retention_days < 0) {
    return fail(kBadInput, "--retention takes days, 0 (keep everything) or more");
  }
  o.retention_days = options.retention_days;
  if (options.simulate < 0 || options.simulate > 64) return fail(kBadInput, "--simulate takes 1 to 64 units");
  if (options.simulate > 0 && !options.units.empty()) {
    return fail(kBadInput, "--unit names USB devices; the simulated units are found by themselves");
  }
  if (!options.sim_fault.empty() && options.simulate == 0) return fail(kBadInput, "--sim-fault goes with --simulate");
  o.units = options.units;
  o.metrics = options.metrics;
  if (options.metrics &&
      !ParseHostPort(options.metrics_address, kMetricsPort, &o.metrics_host, &o.metrics_port)) {
    return fail(kBadInput, "--metrics takes HOST:PORT, not \"" + options.metrics_address + "\"");
  }
  if (!options.mqtt.empty()) {
    if (!ParseHostPort(options.mqtt, 1883, &o.mqtt.host, &o.mqtt.port) || o.mqtt.port == 0) {
      return fail(kBadInput, "--mqtt takes HOST or HOST:PORT, not \"" + options.mqtt + "\"");
    }
    if (options.mqtt_prefix.empty() || options.mqtt_prefix.find_first_of("#+") != std::string::npos ||
        options.mqtt_discovery_prefix.empty() || options.mqtt_discovery_prefix.find_first_of("#+") != std::string::npos) {
      return fail(kBadInput, "MQTT topic prefixes are not empty and hold no \"#\" or \"+\"");
    }
    o.mqtt.prefix = options.mqtt_prefix;
    o.mqtt.discovery_prefix = options.mqtt_discovery_prefix;
    o.mqtt.client_id = options.mqtt_client_id;
    o.mqtt.username = options.mqtt_user;
    o.mqtt.ca_file = options.mqtt_ca_file;
    if (!options.mqtt_password_file.empty()) {
      const std::optional<std::string> password = ReadPassword(options.mqtt_password_file);
      if (!password) return fail(kBadInput, options.mqtt_password_file + ": cannot read the password");
      o.mqtt.password = *password;
    } else if (const char* password = std::getenv("NORVO_MQTT_PASSWORD")) {
      o.mqtt.password = password;
    }
  }
  std::string scale_error;
  const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
  if (!scale) return fail(kBadInput, scale_error);
  o.time_scale = *scale;
  o.version = options.version.empty() ? NORVO_VERSION : options.version;

  o.data_folder = options.data_dir.empty() ? ChooseDataFolder() : fs::path(options.data_dir);
  if (!options.data_dir.empty()) {
    std::error_code ec;
    fs::create_directories(o.data_folder, ec);
    if (!fs::is_directory(o.data_folder)) return fail(kStoreError, options.data_dir + ": not a folder");
  }

  // The units: simulated ones on a transport of their own, or the USB devices.
  sim::Rig rig;
  try {
    sim::RigOptions rig_options;
    rig_options.simulate = options.simulate;
    rig_options.fault = options.sim_fault;
    rig_options.time_scale = *scale;
    rig_options.numbered_paths = true;
    rig = sim::MakeRig(rig_options);
  } catch (const std::invalid_argument& e) {
    return fail(kBadInput, e.what());
  }
  Transport* transport = rig.transport.get();
  Logger logger(*transport, o, [err](const std::string& line) {
    std::fprintf(err, "%s\n", line.c_str());
    std::fflush(err);
  });
  std::string error;
  switch (logger.Start(&error)) {
    case Logger::StartError::kNone:
      break;
    case Logger::StartError::kStore:
      return fail(kStoreError, error);
    case Logger::StartError::kMetrics:
    case Logger::StartError::kMqtt:
      return fail(kBadInput, error);
  }
  std::fprintf(err, "serving %s every %g s into %s", o.units.empty() ? "every unit found" : "the named units",
               options.period_s, (o.data_folder / kDatabaseFile).string().c_str());
  if (o.metrics) {
    const std::string host = o.metrics_host.find(':') == std::string::npos ? o.metrics_host : "[" + o.metrics_host + "]";
    std::fprintf(err, "; metrics on http://%s:%d/metrics", host.c_str(), logger.MetricsPort());
  }
  if (!o.mqtt.host.empty()) std::fprintf(err, "; MQTT %s:%d under %s/", o.mqtt.host.c_str(), o.mqtt.port, o.mqtt.prefix.c_str());
  std::fprintf(err, "\n");
  std::fflush(err);
  logger.StartUnits();

  const auto wait = options.wait ? options.wait : [](std::chrono::milliseconds d) {
    std::this_thread::sleep_for(d);
    return true;
  };
  while (wait(kRescanEvery)) logger.Rescan();

  std::fprintf(err, "stopping\n");
  logger.Stop();
  for (const UnitStatus& u : logger.Status().Units()) {
    std::fprintf(out, "%s: %llu polls, %llu poll errors, %llu write errors, %llu reconnects\n", u.path.c_str(),
                 static_cast<unsigned long long>(u.polls), static_cast<unsigned long long>(u.poll_errors),
                 static_cast<unsigned long long>(u.write_errors), static_cast<unsigned long long>(u.reconnects));
  }
  std::fflush(out);
  return kOk;
}

}  // namespace norvo::logger
