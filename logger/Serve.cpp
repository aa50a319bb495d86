#include "Serve.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>

#include "Logger.h"
#include "Notify.h"
#include "ServeConfig.h"
#include <stdexcept>

#include "session/UnitSession.h"
#include "settings/DataFolder.h"
#include "settings/ExitStatus.h"
#include "settings/NamedFile.h"
#include "settings/Printable.h"
#include "sim/Rig.h"

namespace fs = std::filesystem;

namespace norvo::logger {
namespace {

// SQLite, run as root, gives each journal and WAL file it makes the owner of
// its database (fchown), a call the service's system-call filter forbids.
// Only a file whose owner differs needs the call; one that already has it
// (root's own store) is left without it.
sqlite3_syscall_ptr sqlite_fchown = nullptr;

int FchownWhenNeeded(int fd, uid_t uid, gid_t gid) {
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_uid == uid && st.st_gid == gid) return 0;
  return reinterpret_cast<int (*)(int, uid_t, gid_t)>(sqlite_fchown)(fd, uid, gid);
}

void KeepSqliteFromNeedlessChown() {
  sqlite3_vfs* vfs = sqlite3_vfs_find(nullptr);
  if (vfs == nullptr || vfs->iVersion < 3 || vfs->xGetSystemCall == nullptr || sqlite_fchown != nullptr) return;
  sqlite_fchown = vfs->xGetSystemCall(vfs, "fchown");
  if (sqlite_fchown == nullptr) return;
  vfs->xSetSystemCall(vfs, "fchown", reinterpret_cast<sqlite3_syscall_ptr>(&FchownWhenNeeded));
}

constexpr int kOk = 0;

// SIGINT, SIGTERM and SIGHUP end serve; SIGHUP the same way as SIGTERM.
// They are blocked in the serving thread, and so in every thread it starts,
// and taken synchronously by sigtimedwait: no handler runs, and nothing can
// be lost between a handler and the wait. (With handlers, ThreadSanitizer's
// deferred delivery lost a stop now and then, and serve never ended.)
class StopSignals {
 public:
  StopSignals() {
    sigemptyset(&set_);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set_, s);
    ::pthread_sigmask(SIG_BLOCK, &set_, &old_);
  }
  // Serve has stopped: a SIGHUP that came during the stop, or comes while the
  // process ends, is ignored instead of ending it by its default action.
  ~StopSignals() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGHUP, &ignore, nullptr);
    ::pthread_sigmask(SIG_SETMASK, &old_, nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The stop signal that came within the duration, or 0.
  int Wait(std::chrono::milliseconds duration) {
    const auto s = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const timespec limit{static_cast<time_t>(s.count()),
                         static_cast<long>(std::chrono::nanoseconds(duration - s).count())};
    const int taken = ::sigtimedwait(&set_, nullptr, &limit);
    return taken > 0 ? taken : 0;
  }

 private:
  sigset_t set_{};
  sigset_t old_{};
};

// What the banner says is served: "3 simulated units (SIM00001 to
// SIM00003)", "every unit found", or the units named.
std::string Served(const sim::Rig& rig, const std::vector<std::string>& units) {
  std::string named;
  for (const std::string& unit : units) named.append(named.empty() ? "" : ", ").append(unit);
  const std::size_t simulated = rig.units.size();
  if (simulated == 0) return units.empty() ? "every unit found" : named;
  const std::string count = std::to_string(simulated) + (simulated == 1 ? " simulated unit" : " simulated units");
  if (!units.empty()) return named + " of " + count;
  const std::string& first = rig.units.front()->SerialNumber();
  return count + " (" + (simulated == 1 ? first : first + " to " + rig.units.back()->SerialNumber()) + ")";
}

// How often the logger looks for units plugged in since it started.
constexpr std::chrono::milliseconds kRescanEvery{2000};

// A password file is small: anything larger is not one.
constexpr std::size_t kMaxPasswordFile = 4096;

// The password file's first line, without its line end; "" in *error says
// why not. Only a small regular file of its own is read: a symbolic link in
// its place (another file's first line would go to the broker), a FIFO or a
// device is refused without waiting, and so is a file with a NUL in it,
// which would cut the password short. *warning says when others may read
// or change it.
std::optional<std::string> ReadPassword(const std::string& file, std::string* error, std::string* warning) {
  NamedFileLimits limits;
  limits.max_bytes = kMaxPasswordFile;
  limits.follow_symlink = false;
  const NamedFileText read = ReadNamedFile(file, limits);
  if (!read.text) {
    *error = read.error;
    return std::nullopt;
  }
  if (read.text->find('\0') != std::string::npos) {
    *error = "holds a NUL byte; a password file is text";
    return std::nullopt;
  }
  if (read.mode & (S_IROTH | S_IWOTH | S_IWGRP)) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(read.mode & 07777));
    *warning = PrintableText(file) + ": mode " + mode +
               ((read.mode & (S_IROTH | S_IWOTH)) ? " lets every user read the broker password"
                                                    : " lets the file's group change the broker password") +
               " (chmod 600 keeps it to its owner)";
  }
  std::string text = read.text->substr(0, read.text->find('\n'));
  if (!text.empty() && text.back() == '\r') text.pop_back();
  return text;
}

// The shortest text that reads back as the number, in every locale.
std::string ShortNumber(double v) {
  char buf[32];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
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

namespace {

// A refusal of the options: the exit status and what to say.
struct Refusal {
  int status;
  std::string message;
};

// --period, --retention, --simulate, --unit, --sim-fault and --metrics.
std::optional<Refusal> TakePolling(const ServeOptions& options, LoggerOptions* o) {
  if (!std::isfinite(options.period_s) || options.period_s <= 0 || options.period_s > 86400) {
    return Refusal{kBadInput, "--period takes seconds, more than 0 and at most 86400"};
  }
  o->period = std::chrono::milliseconds(static_cast<long long>(std::llround(options.period_s * 1000)));
  if (!std::isfinite(options.retention_days) || options.retention_days < 0) {
    return Refusal{kBadInput, "--retention takes days, 0 (keep everything) or more"};
  }
  o->retention_days = options.retention_days;
  if (options.simulate < 0 || options.simulate > 64) return Refusal{kBadInput, "--simulate takes 1 to 64 units"};
  for (const std::string& unit : options.units) {
    if (unit.empty()) return Refusal{kBadInput, "--unit takes a unit's name or a device path"};
    if (options.simulate > 0 && IsDevicePath(unit)) {
      return Refusal{kBadInput, "--unit names USB devices by path (" + unit +
                                    "); simulated units go by their names (SIM00001, ...)"};
    }
  }
  if (!options.sim_fault.empty() && options.simulate == 0) return Refusal{kBadInput, "--sim-fault goes with --simulate"};
  o->units = options.units;
  o->metrics = options.metrics;
  if (options.metrics && !ParseHostPort(options.metrics_address, kMetricsPort, &o->metrics_host, &o->metrics_port)) {
    return Refusal{kBadInput, "--metrics takes HOST:PORT, not \"" + options.metrics_address + "\""};
  }
  return std::nullopt;
}

// The broker, its topics and its credentials; *warning says when the
// password file is open to others.
std::optional<Refusal> TakeMqtt(const ServeOptions& options, LoggerOptions* o, std::string* warning) {
  if (options.mqtt.empty()) return std::nullopt;
  if (!ParseHostPort(options.mqtt, 1883, &o->mqtt.host, &o->mqtt.port) || o->mqtt.port == 0) {
    return Refusal{kBadInput, "--mqtt takes HOST or HOST:PORT, not \"" + options.mqtt + "\""};
  }
  if (options.mqtt_prefix.empty() || options.mqtt_prefix.find_first_of("#+") != std::string::npos ||
      options.mqtt_discovery_prefix.empty() || options.mqtt_discovery_prefix.find_first_of("#+") != std::string::npos) {
    return Refusal{kBadInput, "MQTT topic prefixes are not empty and hold no \"#\" or \"+\""};
  }
  o->mqtt.prefix = options.mqtt_prefix;
  o->mqtt.discovery_prefix = options.mqtt_discovery_prefix;
  o->mqtt.client_id = options.mqtt_client_id;
  o->mqtt.username = options.mqtt_user;
  o->mqtt.ca_file = options.mqtt_ca_file;
  if (!options.mqtt_ca_file.empty()) {
    // libmosquitto opens the file itself and would wait on a FIFO: it is
    // looked at here first. A bundle of every public CA is some 200 KB.
    NamedFileLimits limits;
    limits.max_bytes = 4 << 20;
    if (const NamedFileText ca = ReadNamedFile(options.mqtt_ca_file, limits); !ca.text) {
      return Refusal{kBadInput, PrintableText(options.mqtt_ca_file) + ": cannot read the CA certificate: " + ca.error};
    }
  }
  if (!options.mqtt_password_file.empty()) {
    std::string why;
    const std::optional<std::string> password = ReadPassword(options.mqtt_password_file, &why, warning);
    if (!password) {
      return Refusal{kBadInput, PrintableText(options.mqtt_password_file) + ": cannot read the password: " + why};
    }
    o->mqtt.password = *password;
  } else if (const char* password = std::getenv("NORVO_MQTT_PASSWORD")) {
    o->mqtt.password = password;
  }
  return std::nullopt;
}

// The time scale, the version and the data folder (made when named).
std::optional<Refusal> TakeFolder(const ServeOptions& options, LoggerOptions* o) {
  std::string scale_error;
  const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
  if (!scale) return Refusal{kBadInput, scale_error};
  o->time_scale = *scale;
  o->version = options.version.empty() ? NORVO_VERSION : options.version;
  o->data_folder = options.data_dir.empty() ? ChooseDataFolder() : fs::path(options.data_dir);
  if (!options.data_dir.empty()) {
    std::error_code ec;
    fs::create_directories(o->data_folder, ec);
    if (!fs::is_directory(o->data_folder)) {
      std::error_code exists_error;
      if (fs::exists(o->data_folder, exists_error) || !ec) return Refusal{kStoreError, options.data_dir + ": not a folder"};
      return Refusal{kStoreError, options.data_dir + ": cannot create the folder: " + ec.message()};
    }
  }
  return std::nullopt;
}

// What serve says it does once it runs.
std::string Banner(const sim::Rig& rig, const LoggerOptions& o, const ServeOptions& options, int metrics_port) {
  std::string banner = "serving " + Served(rig, o.units) + " every " + ShortNumber(options.period_s) + " s into " +
                       (o.data_folder / kDatabaseFile).string();
  if (o.metrics) {
    const std::string host = o.metrics_host.find(':') == std::string::npos ? o.metrics_host : "[" + o.metrics_host + "]";
    banner.append("; metrics on http://").append(host).append(":").append(std::to_string(metrics_port)).append("/metrics");
  }
  if (!o.mqtt.host.empty()) {
    banner.append("; MQTT ").append(o.mqtt.host).append(":").append(std::to_string(o.mqtt.port));
    banner.append(" under ").append(o.mqtt.prefix).append("/");
  }
  return banner;
}

// Rescans for units and feeds the watchdog until a stop signal; the signal.
int RunUntilStopped(Logger& logger, StopSignals& stops, const ServeOptions& options, const std::string& banner) {
  const Notifier notifier;
  notifier.Send("READY=1\nSTATUS=" + banner);
  // The loop wakes for the rescan and, under a watchdog, at half its interval.
  std::chrono::milliseconds step = kRescanEvery;
  if (notifier.WatchdogInterval().count() > 0) {
    step = std::min(step, std::max(std::chrono::milliseconds(1),
                                   std::chrono::duration_cast<std::chrono::milliseconds>(notifier.WatchdogInterval() / 2)));
  }
  // A stop that the front end's handler took (before the signals were
  // blocked, or in a thread that was started earlier) counts as well.
  int stop_signal = 0;
  const auto stopped = [&] {
    if (options.signalled) stop_signal = options.signalled();
    if (stop_signal == 0) stop_signal = stops.Wait(step);
    return stop_signal != 0;
  };
  using Clock = std::chrono::steady_clock;
  Clock::time_point next_rescan = Clock::now() + kRescanEvery;
  notifier.Send("WATCHDOG=1");
  while (!stopped()) {
    if (Clock::now() >= next_rescan) {
      logger.Rescan();
      next_rescan = Clock::now() + kRescanEvery;
    }
    notifier.Send("WATCHDOG=1");
  }
  notifier.Send("STOPPING=1");
  return stop_signal;
}

// Every option in force: the configuration file first, what the command
// line gave wins. *warning says what to tell even when the options are good.
std::optional<Refusal> TakeOptions(ServeOptions* options, LoggerOptions* o, std::string* warning) {
  if (!options->config_file.empty()) {
    std::string error;
    if (!ReadServeConfig(options->config_file, options->given, options, &error)) return Refusal{kBadInput, error};
  }
  std::optional<Refusal> refused = TakePolling(*options, o);
  if (!refused) refused = TakeMqtt(*options, o, warning);
  if (!refused) refused = TakeFolder(*options, o);
  return refused;
}

// The units: simulated ones on a transport of their own, or the USB devices.
std::optional<Refusal> MakeServeRig(const ServeOptions& options, const LoggerOptions& o, sim::Rig* rig) {
  try {
    sim::RigOptions rig_options;
    rig_options.simulate = options.simulate;
    rig_options.fault = options.sim_fault;
    rig_options.time_scale = o.time_scale;
    rig_options.numbered_paths = true;
    *rig = sim::MakeRig(rig_options);
  } catch (const std::invalid_argument& e) {
    return Refusal{kBadInput, e.what()};
  }
  return std::nullopt;
}

// The store, the metrics endpoint and the broker connection.
std::optional<Refusal> StartLogger(Logger& logger) {
  std::string error;
  switch (logger.Start(&error)) {
    case Logger::StartError::kNone:
      break;
    case Logger::StartError::kStore:
      return Refusal{kStoreError, error};
    case Logger::StartError::kMetrics:
    case Logger::StartError::kMqtt:
      return Refusal{kBadInput, error};
  }
  return std::nullopt;
}

// One line per unit of what the run did, on standard output.
void PrintTotals(Logger& logger, std::FILE* out) {
  for (const UnitStatus& u : logger.Status().Units()) {
    std::fprintf(out, "%s: %llu polls, %llu poll errors, %llu not stored, %llu reconnects\n", u.name.c_str(),
                 static_cast<unsigned long long>(u.polls), static_cast<unsigned long long>(u.poll_errors),
                 static_cast<unsigned long long>(u.dropped), static_cast<unsigned long long>(u.reconnects));
  }
  std::fflush(out);
}

}  // namespace

int RunServe(const ServeOptions& given_options, std::FILE* out, std::FILE* err) {
  const bool journal = IsJournal(err);
  // Lines quote unit names, device paths and file names: escaped, none
  // reaches the terminal or the journal as a control character.
  const auto line = [&](const std::string& message) {
    std::fprintf(err, "%s\n", PrintableText(JournalLine(message, journal)).c_str());
    std::fflush(err);
  };
  const auto fail = [&](const Refusal& refusal) {
    line(kError + ("norvoctl: " + refusal.message));
    return refusal.status;
  };

  // Before any thread starts: they all keep the stop signals blocked.
  StopSignals stops;
  KeepSqliteFromNeedlessChown();

  ServeOptions options = given_options;
  LoggerOptions o;
  std::string warning;
  const std::optional<Refusal> refused = TakeOptions(&options, &o, &warning);
  if (!warning.empty()) line(kWarning + ("norvoctl: warning: " + warning));
  if (refused) return fail(*refused);
  sim::Rig rig;
  if (const std::optional<Refusal> bad_rig = MakeServeRig(options, o, &rig)) return fail(*bad_rig);
  Logger logger(*rig.transport, o, line);
  if (const std::optional<Refusal> not_started = StartLogger(logger)) return fail(*not_started);
  const std::string banner = Banner(rig, o, options, logger.MetricsPort());
  line(kInfo + banner);
  logger.StartUnits();
  const int stop_signal = RunUntilStopped(logger, stops, options, banner);

  line(std::string(kInfo) + (stop_signal == SIGHUP ? "stopping (SIGHUP)" : "stopping"));
  logger.Stop();
  PrintTotals(logger, out);
  // Answered polls that never reached the store make the run a failure.
  if (const std::uint64_t lost = logger.Lost(); lost > 0) {
    return fail({kStoreError, std::to_string(lost) + " answered polls were not stored"});
  }
  return kOk;
}

}  // namespace norvo::logger
