#include "Logger.h"

#include <cstdio>
#include <utility>

#include "device/Encodings.h"
#include "device/Payload.h"
#include "session/SharedUnit.h"
#include "settings/DataFolder.h"

namespace norvo::logger {

std::vector<HidInterfaceInfo> PinnedTransport::Enumerate() {
  std::vector<HidInterfaceInfo> all;
  {
    std::lock_guard lock(mutex_);
    all = base_.Enumerate();
  }
  std::erase_if(all, [&](const HidInterfaceInfo& info) { return info.path != path_; });
  return all;
}

std::unique_ptr<HidDevice> PinnedTransport::Open(const std::string& path) {
  if (path != path_) return nullptr;
  std::lock_guard lock(mutex_);
  return base_.Open(path);
}

// One unit: its session and the thread that polls it.
class Logger::UnitWorker {
 public:
  UnitWorker(Logger& logger, std::string path)
      : logger_(logger), path_(std::move(path)), transport_(logger.transport_, logger.transport_mutex_, path_) {
    UnitSession::Options o;
    o.lock_unit = true;
    o.lock_folder = logger.options_.lock_folder;
    o.time_scale = logger.options_.time_scale;
    session_ = std::make_unique<SharedUnit>(transport_, logger.options_.data_folder, o);
    session_->Local().SetLostHandler([this] { OnLost(); });
  }

  ~UnitWorker() { Stop(); }

  void Start() { thread_ = std::thread(&UnitWorker::Run, this); }

  // Any thread but the worker's: the session's Stop releases every wait of a
  // poll in progress, so the thread ends at once.
  void Stop() {
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
    }
    cv_.notify_all();
    session_->Stop();
    if (thread_.joinable()) thread_.join();
  }

 private:
  // The link lost the unit (reader thread, or this worker's own inside a
  // poll). The worker wakes and polls at once rather than at the end of its
  // period: the poll fails without waiting, the unit is shown away and
  // looked for again. Only the worker writes the unit's status.
  void OnLost() {
    {
      std::lock_guard lock(mutex_);
      lost_ = true;
    }
    cv_.notify_all();
  }
  bool TakeLost() {
    std::lock_guard lock(mutex_);
    return std::exchange(lost_, false);
  }

  // False when the worker is to end; returns early when the unit is lost
  // (a loss of an earlier connection, told late, does not count).
  bool SleepUntil(std::chrono::steady_clock::time_point until) {
    std::unique_lock lock(mutex_);
    cv_.wait_until(lock, until, [&] { return stop_ || (lost_ && !session_->Connected()); });
    return !stop_;
  }
  bool Stopping() {
    std::lock_guard lock(mutex_);
    return stop_;
  }

  void Note(const std::string& text) { logger_.note_(path_ + ": " + text); }

  void Away(const std::string& why) {
    logger_.status_.Lost(path_, why);
    if (logger_.mqtt_) logger_.mqtt_->Availability(path_, false);
    if (why != last_note_) Note(why);
    last_note_ = why;
  }

  bool Open() {
    if (session_->Open() != OpenState::kOpened) {
      Away(session_->StateMessage());
      return false;
    }
    double gap = 0;
    const bool again = logger_.status_.Connected(path_, &gap);
    if (logger_.mqtt_) logger_.mqtt_->Availability(path_, true);
    std::string note = "connected";
    if (again) note = std::string("back after ").append(FixedText(gap, 1)).append(" s");
    Note(note);
    last_note_.clear();
    return true;
  }

  void Run() {
    using Clock = std::chrono::steady_clock;
    const auto period = logger_.options_.period;
    const auto retry = logger_.options_.retry;
    bool connected = false;
    while (!Stopping()) {
      if (!connected) {
        TakeLost();  // a loss told late, after the unit was already away
        connected = Open();
        if (!connected) {
          if (!SleepUntil(Clock::now() + retry)) return;
          continue;
        }
      }
      const Clock::time_point start = Clock::now();
      const PollSnapshot snapshot = session_->PollOnce();
      const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
      if (Stopping()) return;
      if (snapshot.live_read) {
        const LivePoll poll = ToLivePoll(snapshot, path_);
        logger_.status_.Polled(path_, snapshot.identification, poll, seconds);
        logger_.writer_->Push(poll);
        if (logger_.mqtt_) logger_.mqtt_->Publish(poll, snapshot.identification);
      } else {
        logger_.status_.PollFailed(path_);
        // Unplugged, or not answering: look for it again at once.
        if (TakeLost()) Away(kLostText);
        connected = Open();
        if (!connected) {
          if (!SleepUntil(Clock::now() + retry)) return;
          continue;
        }
      }
      // Polls never overlap: a poll longer than the period is followed at once.
      if (!SleepUntil(std::max(start + period, Clock::now()))) return;
    }
  }

  Logger& logger_;
  std::string path_;
  PinnedTransport transport_;
  std::unique_ptr<SharedUnit> session_;
  std::string last_note_;  // worker thread only

  static constexpr const char* kLostText = "unit lost (unplugged, or it failed a read or write)";

  std::mutex mutex_;  // guards stop_ and lost_
  std::condition_variable cv_;
  bool stop_ = false;
  bool lost_ = false;  // the link lost the unit since the worker last looked
  std::thread thread_;
};

Logger::Logger(Transport& transport, LoggerOptions options, NoteFn note)
    : transport_(transport), options_(std::move(options)), note_(std::move(note)) {}

Logger::~Logger() { Stop(); }

Logger::StartError Logger::Start(std::string* error) {
  const std::string database = (options_.data_folder / kDatabaseFile).string();
  writer_ = std::make_unique<LiveWriter>(
      database, options_.retention_days,
      [this](const std::string& unit, std::uint64_t polls) { status_.WriteFailed(unit, polls); },
      [this](const std::string& message) { note_(message); });
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
    mqtt_ = std::make_unique<MqttPublisher>(options_.mqtt, note_, [this] { status_.MqttFailed(); });
    if (!mqtt_->Start(error)) {
      Stop();
      return StartError::kMqtt;
    }
  }
  return StartError::kNone;
}

void Logger::StartUnits() {
  if (options_.units.empty()) {
    Rescan();
  } else {
    for (const std::string& path : options_.units) AddUnit(path);
  }
}

void Logger::AddUnit(const std::string& path) {
  std::lock_guard lock(workers_mutex_);
  if (stopped_ || status_.Has(path)) return;
  status_.Add(path);
  workers_.push_back(std::make_unique<UnitWorker>(*this, path));
  workers_.back()->Start();
}

void Logger::Rescan() {
  if (!options_.units.empty()) return;
  std::vector<HidInterfaceInfo> present;
  {
    std::lock_guard lock(transport_mutex_);
    present = transport_.Enumerate();
  }
  for (const HidInterfaceInfo& info : present) {
    if (info.vendor_id == kVendorId && info.product_id == kProductId) AddUnit(info.path);
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

std::string Logger::Metrics() const { return RenderMetrics(status_.Units(), status_.MqttErrors(), options_.version); }

}  // namespace norvo::logger
