#pragma once
// What the logger knows about each unit it serves: connection, the readings
// of the last answered poll and the counters. The unit workers write it, the
// /metrics handler and the end-of-run summary read copies of it.

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "session/PollingWorker.h"
#include "store/LiveStore.h"

namespace norvo::logger {

// A poll's live block as the store, the metrics and MQTT take it: Celsius in
// tenths, humidity in percent, the dew point computed as the console shows
// it; the invalid marker becomes "no value".
LivePoll ToLivePoll(const PollSnapshot& snapshot, const std::string& unit);

double UnixSeconds(std::chrono::system_clock::time_point t);

struct UnitStatus {
  std::string name;    // the unit's name (UnitIdentity.h)
  std::string device;  // the device path it was last opened at, "" before
  std::string identification;  // UTF-8, "" until the first answered poll
  bool connected = false;
  std::string state_message;    // why the unit is not connected
  bool readings_current = false;  // the last poll was answered
  LivePoll last;                  // the readings of the last answered poll
  double last_good_poll = 0;      // Unix seconds; 0: none yet
  std::uint64_t polls = 0;        // answered polls
  double last_poll_seconds = 0;   // how long the last answered poll took
  double poll_seconds = 0;        // all answered polls together
  std::uint64_t poll_errors = 0;  // polls the unit did not answer in full
  std::uint64_t dropped = 0;      // answered polls that never reached the record store
  std::uint64_t store_waiting = 0;  // answered polls waiting for the record store
  std::uint64_t reconnects = 0;   // connections after a loss
  double disconnected_seconds = 0;  // time away since the first connection, the current gap included
};

class StatusTable {
 public:
  using Clock = std::chrono::steady_clock;

  // A unit served from now on, by its name; away until Connected.
  void Add(const std::string& name);
  bool Has(const std::string& name) const;

  // The unit is open at the device path. True when it had been lost before
  // (a reconnection); *gap_seconds is then the time it was away.
  bool Connected(const std::string& name, const std::string& device, double* gap_seconds = nullptr);
  // The unit went away or could not be opened; message says why.
  void Lost(const std::string& path, const std::string& message);
  // seconds: how long the poll's exchanges took.
  void Polled(const std::string& path, const std::string& identification, const LivePoll& poll, double seconds);
  void PollFailed(const std::string& path);
  void Dropped(const std::string& path, std::uint64_t polls);

  void MqttFailed() { std::lock_guard lock(mutex_); ++mqtt_errors_; }

  std::vector<UnitStatus> Units() const;
  std::uint64_t MqttErrors() const;

 private:
  struct Entry {
    UnitStatus status;
    bool ever_connected = false;
    Clock::time_point away_since;
    double closed_gaps = 0;
  };
  Entry* Find(const std::string& name);

  mutable std::mutex mutex_;  // guards units_ and mqtt_errors_
  std::vector<Entry> units_;
  std::uint64_t mqtt_errors_ = 0;
};

}  // namespace norvo::logger
