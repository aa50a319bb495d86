#pragma once
// The engine of `norvoctl serve`: one worker thread per unit, each with a
// session of its own, polling at the period; the record store writer; the
// Prometheus endpoint; the MQTT publisher. No Qt.
//
// A unit worker holds its unit through the session's per-unit lock, polls
// (the console's poll cycle: settings, alarms, calibration, live) every
// period — or right after the previous poll when a poll takes longer —, and
// hands every answered poll to the store, the metrics and MQTT. A poll the
// unit does not answer makes it look for the unit again: a unit that is gone
// is looked for once per retry interval until it is back, and the time it was
// away is counted. A unit the link loses (a read or write fails: unplugged)
// is polled at once, not at the end of the period; that poll fails without
// waiting, so the unit shows as away within moments of the pull.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AlarmState.h"
#include "LiveWriter.h"
#include "Metrics.h"
#include "MqttPublisher.h"
#include "UnitIdentity.h"
#include "UnitStatus.h"
#include "device/Transport.h"

namespace norvo {
class UnitSession;
}

namespace norvo::logger {

struct LoggerOptions {
  std::filesystem::path data_folder;  // holds Norvo.mdb
  // Unit names (UnitIdentity.h) or device paths (a /dev link included);
  // empty: every unit found, now and later.
  std::vector<std::string> units;
  std::chrono::milliseconds period{20000};
  double retention_days = 0;          // 0: keep every row
  bool metrics = true;
  std::string metrics_host = "127.0.0.1";
  int metrics_port = kMetricsPort;    // 0: any free port
  MqttOptions mqtt;                   // host empty: no MQTT
  double time_scale = 1.0;            // the protocol's waits (tests)
  std::filesystem::path lock_folder;  // empty: the per-unit locks' usual folder
  std::chrono::milliseconds retry{1000};  // looking again for a unit that is away
  std::chrono::milliseconds store_retry{1000};  // writing again after the store refused a write
  std::size_t max_queued = LiveWriter::kMaxQueued;  // polls waiting for the store, at most
  std::string version;
  IdPathFn id_path = UdevIdPath;  // the fallback name of a unit without a serial number
};

using NoteFn = std::function<void(const std::string&)>;

// A transport that shows only the unit of one name of another, shared
// transport; the shared transport is used under one mutex, since hidapi's
// enumeration is not made for several threads at once.
class PinnedTransport : public Transport {
 public:
  PinnedTransport(Transport& base, std::mutex& mutex, std::string name, IdPathFn id_path)
      : base_(base), mutex_(mutex), name_(std::move(name)), id_path_(std::move(id_path)) {}
  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<HidDevice> Open(const std::string& path) override;
  // The device path last opened, "" before.
  std::string Opened() const;

 private:
  Transport& base_;
  std::mutex& mutex_;
  std::string name_;
  IdPathFn id_path_;
  mutable std::mutex paths_mutex_;  // guards paths_ and opened_
  std::vector<std::string> paths_;  // the unit's paths at the last enumeration
  std::string opened_;
};

class Logger {
 public:
  enum class StartError { kNone, kStore, kMetrics, kMqtt };

  Logger(Transport& transport, LoggerOptions options, NoteFn note);
  ~Logger();
  Logger(const Logger&) = delete;
  Logger& operator=(const Logger&) = delete;

  // Opens the store, binds the metrics address, starts MQTT.
  StartError Start(std::string* error);
  // Starts a worker for every unit named, and for every unit found that
  // is selected (all of them when none were named).
  void StartUnits();
  // Every selected unit found that is not served yet gets a worker: all of
  // them when none were named, those a device path points at, those named
  // (at start, found or not). Called at start and then now and then.
  void Rescan();
  // Stops the workers (a poll in progress ends at once), writes what is
  // queued, says "offline" over MQTT. Idempotent.
  void Stop();

  int MetricsPort() const { return metrics_ ? metrics_->Port() : 0; }
  const StatusTable& Status() const { return status_; }
  std::string Metrics() const;
  std::uint64_t Written() const { return writer_ ? writer_->Written() : 0; }
  // Answered polls that never reached the store (a full queue, or refused at Stop).
  std::uint64_t Lost() const { return writer_ ? writer_->Lost() : 0; }

 private:
  class UnitWorker;

  void AddUnit(const std::string& name);

  Transport& transport_;
  std::mutex transport_mutex_;  // serialises the shared transport's Enumerate and Open
  LoggerOptions options_;
  NoteFn note_;
  StatusTable status_;
  AlarmStates alarms_;
  std::unique_ptr<LiveWriter> writer_;
  std::unique_ptr<MetricsServer> metrics_;
  std::unique_ptr<MqttPublisher> mqtt_;

  std::mutex workers_mutex_;  // guards workers_
  std::vector<std::unique_ptr<UnitWorker>> workers_;
  bool stopped_ = false;
};

}  // namespace norvo::logger
