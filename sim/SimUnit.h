#pragma once
// The simulated unit: a complete model of the monitoring unit behind the same
// transport interface as the real one. It answers every read command from its
// own state, applies every write frame to that state (so the next poll reads
// the change back), keeps an SD card with log files, can pace its answers like
// a full-speed USB device and can be told to misbehave.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/Payload.h"

namespace norvo::sim {

struct CardFile {
  std::string name;
  std::string content;
};

// Log file in the unit's layout: a header and one line per reading, LF line
// ends. Three fields (time, temperature, humidity) or five (plus dew point and
// heat index). Every tenth line of a five-field file has no heat index ("--").
std::string MakeLogFile(bool three_fields, int lines, int first_hour = 8);

class SimUnit {
 public:
  struct Options {
    bool eight_area = true;
    bool pacing = true;  // one answer report per millisecond
    std::uint32_t seed = 1;
    bool default_card = true;
    // As strict as the real unit: every answer comes a few to tens of
    // milliseconds late, the permission answer up to 200 ms, identification
    // slower still; parameter writes count only between an accepted "{Q@}"
    // and "{/@}". Off only for benchmarks that measure against the protocol's
    // floor.
    bool strict = true;
  };

  SimUnit();
  explicit SimUnit(Options options);

  // The USB serial number the unit reports: fixed by its seed, "SIM00001"
  // for seed 1, so a simulated unit keeps its name from run to run.
  const std::string& SerialNumber() const { return serial_; }

  // ---- transport side -------------------------------------------------------
  // A session is one connection; unplugging ends every open session.
  std::uint64_t Session() const;
  bool Plugged() const;
  // Takes one output report (65 bytes, report id first). False when the
  // session is no longer current.
  bool HandleReport(std::uint64_t session, const std::uint8_t* report, std::size_t size);
  // Next answer for the session: payload size, 0 on time-out or once
  // cancelled is set, -1 when gone.
  int ReadAnswer(std::uint64_t session, Payload& payload, int timeout_ms, const std::atomic<bool>& cancelled);
  // Wakes every read so that it sees its cancel flag; false when reads
  // cannot be cancelled.
  bool WakeReads();
  // Open handles on the unit go up and down by one (the transport's devices).
  void CountHandle(int delta) { open_handles_.fetch_add(delta); }

  void Plug();
  void Unplug();
  // Told true on arrival and false on removal; called on the thread that
  // plugs or unplugs (the reader thread for an unplug in the middle of a block).
  void SetHotplugListener(std::function<void(bool arrived)> listener);

  // ---- faults -----------------------------------------------------------------
  void SetSilent(bool silent) { silent_.store(silent); }
  // Not on its main screen: the permission answer is 1 and writes are ignored.
  void SetRefuseWrites(bool refuse) { refuse_writes_.store(refuse); }
  // The next n block reads lose their last data report.
  void SetShortBlocks(int n) { short_blocks_.store(n); }
  // Unplug after this many more data reports, counted across blocks (-1: off).
  void SetUnplugAfterReports(int n) { unplug_after_reports_.store(n); }
  void SetPacing(bool pacing) { pacing_.store(pacing); }
  // On another screen without even saying so: "{Q@}" goes unanswered and no
  // write of any kind is applied; reads are answered as usual.
  void SetIgnoreWrites(bool ignore) { ignore_writes_.store(ignore); }
  // The device node cannot be opened (no permission: no udev rule).
  void SetOpenFailure(bool fail) { open_failure_.store(fail); }
  // A fault by its command-line name: unplugged, silent, refuse, short-block,
  // ignore-writes, open-failure, odd-names (card files named with control
  // characters); "" is none. False for an unknown name.
  bool ApplyFault(const std::string& name);
  // The next n write frames (of any kind) are lost on the way in.
  void SetDropWrites(int n) { drop_writes_.store(n); }
  bool OpenFailure() const { return open_failure_.load(); }
  // Fixed delays (ms) instead of the strict profile's random ones; -1 goes
  // back to random. The identification delay may exceed the exchange's wait.
  void SetPermissionDelay(int ms) { permission_delay_ms_.store(ms); }
  void SetIdentificationDelay(int ms) { identification_delay_ms_.store(ms); }
  // The calibration block's answer comes after this delay (ms), e.g. after
  // the host's wait for it is over; -1 as the profile gives it.
  void SetCalibrationDelay(int ms) { calibration_delay_ms_.store(ms); }
  // Shrinks the unit's answer delays with the link's time scale, so that a
  // test that shortens every wait keeps the same relation of delays to waits.
  void SetTimeScale(double scale) { time_scale_.store(scale); }
  // Parameter writes the unit took (applied at "{/@}"), for tests.
  int AppliedWrites() const { return applied_writes_.load(); }

  // Reads wait, past their time-out, until released or cancelled: a test
  // holds the link's reader inside a read.
  void SetHoldReads(bool hold);
  // No cancel ends a read, as with hidapi, whose read runs its whole slice.
  void SetUncancellableReads(bool uncancellable) { uncancellable_reads_.store(uncancellable); }
  // Reads in progress and handles open on the unit, for tests.
  int ReadsInProgress() const { return reads_in_progress_.load(); }
  int OpenHandles() const { return open_handles_.load(); }

  // ---- state, for tests and for a look from outside -----------------------------
  Payload SettingsBlock() const;
  void SetSettingsBlock(const Payload& block);
  Payload CalibrationBlock() const;
  Payload AlarmBlock(char which) const;  // 'A', 'C' or 'D'
  int Interval() const;
  int Language() const;  // 1 English, 0 German, -1 never set
  std::vector<std::uint8_t> Clock() const;  // the 8 data bytes of the last clock frame
  std::string Identification() const;
  bool EightArea() const;
  void SetIdentification(const std::string& text);
  // Raw sensor values before calibration; tenths of a degree / percent,
  // kInvalidMarker for a channel without sensor.
  void SetSensor(int channel, int tenths, int humidity);
  void SetDrift(bool drift);

  std::vector<CardFile> Files() const;
  void SetFiles(std::vector<CardFile> files);
  void AddFile(std::string name, std::string content);
  bool HasFile(const std::string& name) const;

  // The last kReceivedKept output payloads received, oldest first (for tests
  // that pin the wire); a unit served for days keeps no more than these.
  static constexpr std::size_t kReceivedKept = 4096;
  std::vector<Payload> Received() const;
  // When each of Received() came in, in the same order.
  std::vector<std::chrono::steady_clock::time_point> ReceivedTimes() const;
  // When the host read each "{@}" marker (the end of a list or of a block),
  // oldest first; at most kReceivedKept.
  std::vector<std::chrono::steady_clock::time_point> MarkerTimes() const;
  void ClearReceived();

 private:
  void Queue(const Payload& payload, std::chrono::microseconds delay = std::chrono::microseconds(0));
  // The strict profile's answer delay: fixed when set, else jitter in [low, high].
  std::chrono::microseconds Delay(int fixed_ms, int low, int high);
  void QueueUnplug();
  void Answer(const Payload& frame);
  Payload LivePayload();
  void AnswerList(std::chrono::microseconds latency);
  void AnswerRead(const Payload& frame, std::chrono::microseconds latency);
  void ApplyWrite(const Payload& frame);
  void ApplyParameterFrame(const Payload& frame);
  void Notify(bool arrived);

  struct Pending {
    std::chrono::steady_clock::time_point ready;
    Payload payload;
    bool unplug = false;
  };

  const std::string serial_;  // fixed at construction
  mutable std::mutex mutex_;  // guards everything below except the atomics
  std::condition_variable cv_;
  std::deque<Pending> answers_;
  std::chrono::steady_clock::time_point last_ready_{};
  std::uint64_t session_ = 1;
  bool plugged_ = true;
  std::function<void(bool)> listener_;

  bool eight_area_;
  Payload settings_{};
  Payload calibration_{};
  Payload alarm_a_{};
  Payload alarm_c_{};
  Payload alarm_d_{};
  int interval_ = 10;
  int language_ = -1;
  std::vector<std::uint8_t> clock_;
  std::string identification_;
  int sensor_tenths_[8];
  int sensor_humidity_[8];
  bool drift_ = true;
  std::uint32_t rng_;
  std::vector<CardFile> files_;
  std::deque<Payload> received_;  // at most kReceivedKept
  std::deque<std::chrono::steady_clock::time_point> received_at_;  // beside received_
  std::deque<std::chrono::steady_clock::time_point> marker_at_;    // "{@}" reports read by the host
  bool hold_reads_ = false;
  bool strict_;
  bool write_open_ = false;           // an accepted "{Q@}" came, "{/@}" not yet
  std::vector<Payload> staged_;       // parameter frames waiting for "{/@}"

  std::atomic<bool> pacing_;
  std::atomic<bool> silent_{false};
  std::atomic<bool> refuse_writes_{false};
  std::atomic<int> short_blocks_{0};
  std::atomic<int> unplug_after_reports_{-1};
  std::atomic<bool> ignore_writes_{false};
  std::atomic<bool> open_failure_{false};
  std::atomic<int> drop_writes_{0};
  std::atomic<int> permission_delay_ms_{-1};
  std::atomic<int> identification_delay_ms_{-1};
  std::atomic<int> calibration_delay_ms_{-1};
  std::atomic<int> applied_writes_{0};
  std::atomic<double> time_scale_{1.0};
  std::atomic<bool> uncancellable_reads_{false};
  std::atomic<int> reads_in_progress_{0};
  std::atomic<int> open_handles_{0};
};

}  // namespace norvo::sim
