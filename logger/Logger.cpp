#include "Logger.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

#include "AlarmState.h"
#include "Notify.h"
#include "domain/AlarmRows.h"
#include "device/Encodings.h"
#include "device/Payload.h"
#include "session/PollLoop.h"
#include "session/SharedUnit.h"
#include "settings/DataFolder.h"

namespace norvo::logger {

std::vector<HidInterfaceInfo> PinnedTransport::Enumerate() {
  std::vector<HidInterfaceInfo> all;
  {
    std::lock_guard lock(mutex_);
    all = base_.Enumerate();
  }
  std::vector<HidInterfaceInfo> mine;
  for (NamedUnit& u : NameUnits(all, id_path_)) {
    if (u.name == name_) mine.push_back(std::move(u.info));
  }
  std::lock_guard lock(paths_mutex_);
  paths_.clear();
  for (const HidInterfaceInfo& info : mine) paths_.push_back(info.path);
  return mine;
}

std::unique_ptr<HidDevice> PinnedTransport::Open(const std::string& path) {
  {
    std::lock_guard lock(paths_mutex_);
    if (std::find(paths_.begin(), paths_.end(), path) == paths_.end()) return nullptr;
  }
  std::unique_ptr<HidDevice> device;
  {
    std::lock_guard lock(mutex_);
    device = base_.Open(path);
  }
  if (device) {
    std::lock_guard lock(paths_mutex_);
    opened_ = path;
  }
  return device;
}

std::string PinnedTransport::Opened() const {
  std::lock_guard lock(paths_mutex_);
  return opened_;
}

// One unit: its shared unit and the thread that polls it.
class Logger::UnitWorker {
 public:
  UnitWorker(Logger& logger, std::string name)
      : logger_(logger),
        name_(std::move(name)),
        alarms_(name_),
        alarm_log_((logger.options_.data_folder / kDatabaseFile).string()),
        transport_(logger.transport_, logger.transport_mutex_, name_, logger.options_.id_path) {
    UnitSession::Options o;
    o.lock_unit = true;
    o.lock_folder = logger.options_.lock_folder;
    o.time_scale = logger.options_.time_scale;
    unit_ = std::make_unique<SharedUnit>(transport_, logger.options_.data_folder, o);
    unit_->SetLostHandler([this] { OnLost(); });
  }

  ~UnitWorker() { Stop(); }

  void Start() {
    loop_.Start([this] { return Turn(); }, [this] { return lost_.load() && !unit_->Connected(); });
  }

  // Any thread but the worker's: the session's Stop releases every wait of a
  // poll in progress, so the thread ends at once. It never overlaps an Open
  // of the session, which may be starting the session's own threads.
  void Stop() {
    loop_.AskStop();
    {
      std::lock_guard lock(open_mutex_);
      unit_->Stop();
    }
    loop_.Stop();
  }

 private:
  // The link lost the unit (reader thread, or this worker's own inside a
  // poll). The worker wakes and polls at once rather than at the end of its
  // period: the poll fails without waiting, the unit is shown away and
  // looked for again. Only the worker writes the unit's status.
  // The worker's wait ends early when the unit is lost (a loss of an
  // earlier connection, told late, does not count).
  void OnLost() {
    lost_.store(true);
    loop_.Wake();
  }
  bool TakeLost() { return lost_.exchange(false); }
  bool Stopping() const { return loop_.Stopping(); }

  // Only the unit's holder speaks for it over MQTT: reached through the
  // process that holds it, the unit is that process's to publish.
  bool Publishes() const { return logger_.mqtt_ && !unit_->Attached(); }

  // Where the unit is: the path this process opened, or, reached through
  // its holder, the path whose lock the holder has and whose socket it
  // offers (the holder opened the same device).
  std::string DevicePath() const {
    return unit_->Attached() ? unit_->DevicePath() : transport_.Opened();
  }

  // level: a priority prefix of Notify.h.
  void Note(const char* level, const std::string& text) { logger_.note_(level + name_ + ": " + text); }

  void Away(const std::string& why) {
    logger_.status_.Lost(name_, why);
    logger_.alarms_.Forget(name_);
    if (Publishes()) logger_.mqtt_->Availability(name_, false);
    if (why != last_note_) Note(kWarning, why);
    last_note_ = why;
  }

  bool Open() {
    OpenState state = OpenState::kNoUnit;
    {
      std::lock_guard lock(open_mutex_);
      if (Stopping()) return false;
      state = unit_->Open();
    }
    if (state != OpenState::kOpened) {
      Away(unit_->StateMessage());
      return false;
    }
    double gap = 0;
    const bool again = logger_.status_.Connected(name_, DevicePath(), &gap);
    if (Publishes()) logger_.mqtt_->Availability(name_, true);
    std::string note = "connected";
    if (again) note = std::string("back after ").append(FixedText(gap, 1)).append(" s");
    Note(kInfo, note);
    last_note_.clear();
    return true;
  }

  // One turn of the worker: open the unit if it is away, poll it; the next
  // turn is a period after this poll began, or a retry interval after the
  // unit was found away.
  PollLoop::Clock::time_point Turn() {
    using Clock = PollLoop::Clock;
    if (!connected_) {
      TakeLost();  // a loss told late, after the unit was already away
      connected_ = Open();
      if (!connected_) return Clock::now() + logger_.options_.retry;
    }
    const Clock::time_point start = Clock::now();
    const PollSnapshot snapshot = unit_->PollOnce();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (Stopping()) return start;
    if (snapshot.live_read) {
      const LivePoll poll = ToLivePoll(snapshot, name_);
      logger_.status_.Polled(name_, snapshot.identification, poll, seconds);
      logger_.writer_->Push(poll);
      if (Publishes()) logger_.mqtt_->Publish(poll, snapshot.identification, transport_.Opened());
      Alarms(snapshot);
    } else {
      logger_.status_.PollFailed(name_);
      logger_.alarms_.Forget(name_);
      // Unplugged, or not answering: look for it again at once.
      if (TakeLost()) Away(kLostText);
      connected_ = Open();
      if (!connected_) return Clock::now() + logger_.options_.retry;
    }
    // Polls never overlap: a poll longer than the period is followed at once.
    return PollLoop::After(start, logger_.options_.period);
  }

  // The alarm evaluation of every answered poll. Only the unit's holder
  // writes the alarm log and speaks for the unit over MQTT; a refused write
  // is kept and tried again with the next poll.
  void Alarms(const PollSnapshot& snapshot) {
    AlarmTracker::Outcome out = alarms_.Poll(snapshot);
    if (!alarms_.HasLimits()) return;
    for (const AlarmEvent& e : out.events) {
      const std::string text = AlarmStatusText(e.record, 0);
      Note(e.kind == AlarmEvent::kEnter ? kWarning : kInfo,
           e.kind == AlarmEvent::kEnter ? "alarm: " + text : "alarm over: " + text + ", peak " +
                                                                ValueText(e.record.quantity, e.record.peak, 0));
    }
    if (!unit_->Attached() && (!out.rows.empty() || out.facts || alarm_log_.Waiting())) {
      std::string error;
      const bool ok = alarm_log_.Write(std::move(out.rows), std::move(out.facts), &error);
      if (!ok && !alarm_log_failing_) Note(kError, "cannot write the alarm log, keeping it and trying again: " + error);
      if (ok && alarm_log_failing_) Note(kInfo, "the record store takes the alarm log again");
      alarm_log_failing_ = !ok;
    }
    logger_.alarms_.Update(name_, alarms_.Limits(), alarms_.Active());
    if (Publishes()) {
      const auto units = logger_.alarms_.Units();
      if (const auto found = units.find(name_); found != units.end()) {
        logger_.mqtt_->PublishAlarms(name_, AlarmStatePayload(name_, found->second));
      }
    }
  }

  Logger& logger_;
  std::string name_;  // the unit's name (UnitIdentity.h)
  AlarmTracker alarms_;        // worker thread only
  AlarmLogWriter alarm_log_;   // worker thread only
  bool alarm_log_failing_ = false;  // worker thread only
  PinnedTransport transport_;
  std::unique_ptr<SharedUnit> unit_;
  std::string last_note_;  // worker thread only

  static constexpr const char* kLostText = "unit lost (unplugged, or it failed a read or write)";

  std::mutex open_mutex_;  // serialises the unit's Open (worker) and its Stop (Stop)
  std::atomic<bool> lost_{false};  // the link lost the unit since the worker last looked
  bool connected_ = false;  // worker thread only: the unit is open
  PollLoop loop_;
};

Logger::Logger(Transport& transport, LoggerOptions options, NoteFn note)
    : transport_(transport), options_(std::move(options)), note_(std::move(note)) {}

Logger::~Logger() { Stop(); }

Logger::StartError Logger::Start(std::string* error) {
  const std::string database = (options_.data_folder / kDatabaseFile).string();
  writer_ = std::make_unique<LiveWriter>(
      database, options_.retention_days,
      [this](const std::string& unit, std::uint64_t polls) { status_.Dropped(unit, polls); },
      [this](const std::string& message) { note_(message); }, options_.store_retry, options_.max_queued);
  if (!writer_->Start(error)) {
    writer_.reset();
    return StartError::kStore;
  }
  if (options_.metrics) {
    metrics_ = std::make_unique<MetricsServer>([this] { return Metrics(); });
    if (!metrics_->Start(options_.metrics_host, options_.metrics_port, error)) {
      metrics_.reset();
      Stop();
      return StartError::kMetrics;
    }
  }
  if (!options_.mqtt.host.empty()) {
    MqttOptions mqtt = options_.mqtt;
    if (mqtt.version.empty()) mqtt.version = options_.version;
    // Three periods without a state message, and never less than 10 s.
    const double period_s = std::chrono::duration<double>(options_.period).count();
    mqtt.expire_after_s = static_cast<int>(std::max(10.0, std::ceil(3 * period_s)));
    mqtt_ = std::make_unique<MqttPublisher>(mqtt, note_, [this] { status_.MqttFailed(); });
    if (!mqtt_->Start(error)) {
      Stop();
      return StartError::kMqtt;
    }
  }
  return StartError::kNone;
}

void Logger::StartUnits() {
  // A unit named is served, and shown, from the start, present or not.
  for (const std::string& selector : options_.units) {
    if (!IsDevicePath(selector)) AddUnit(selector);
  }
  Rescan();
}

void Logger::AddUnit(const std::string& name) {
  std::lock_guard lock(workers_mutex_);
  if (stopped_ || status_.Has(name)) return;
  status_.Add(name);
  workers_.push_back(std::make_unique<UnitWorker>(*this, name));
  workers_.back()->Start();
}

void Logger::Rescan() {
  std::vector<HidInterfaceInfo> present;
  {
    std::lock_guard lock(transport_mutex_);
    present = transport_.Enumerate();
  }
  const std::vector<NamedUnit> units = NameUnits(present, options_.id_path);
  if (options_.units.empty()) {
    for (const NamedUnit& u : units) AddUnit(u.name);
    return;
  }
  // A device path, or a link to one (a udev rule's /dev/norvo-kitchen),
  // selects the unit found there; from then on it is followed by its name.
  for (const std::string& selector : options_.units) {
    if (!IsDevicePath(selector)) continue;
    std::error_code ec;
    const std::string target = std::filesystem::canonical(selector, ec).string();
    for (const NamedUnit& u : units) {
      if (u.info.path == selector || (!ec && u.info.path == target)) AddUnit(u.name);
    }
  }
}

void Logger::Stop() {
  std::vector<std::unique_ptr<UnitWorker>> workers;
  {
    std::lock_guard lock(workers_mutex_);
    stopped_ = true;
    workers.swap(workers_);
  }
  for (auto& w : workers) w->Stop();
  workers.clear();
  if (writer_) writer_->Stop();
  if (mqtt_) mqtt_->Stop();
  if (metrics_) metrics_->Stop();
}

std::string Logger::Metrics() const {
  std::vector<UnitStatus> units = status_.Units();
  if (writer_) {
    const auto waiting = writer_->Waiting();
    for (UnitStatus& u : units) {
      const auto w = waiting.find(u.name);
      u.store_waiting = w == waiting.end() ? 0 : w->second;
    }
  }
  MetricsGlobals g;
  g.version = options_.version;
  g.mqtt_errors = status_.MqttErrors();
  g.store_failures = writer_ ? writer_->Failures() : 0;
  if (mqtt_) g.mqtt_state = MqttStateName(mqtt_->State());
  return RenderMetrics(units, g) + RenderAlarmMetrics(alarms_.Units());
}

}  // namespace norvo::logger
