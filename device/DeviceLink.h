#pragma once
// The one process-wide link to the unit: finds it through a Transport, runs
// the reader thread that hands every input report to the report handler, and
// writes output reports. Also holds what senders and the reader share: the
// handshake (exchange token and pending response type) and the connected flag.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Handshake.h"
#include "Payload.h"
#include "Transport.h"

namespace norvo {

// What the last OpenDevice found.
enum class OpenState {
  kNoUnit,      // no interface with the unit's vendor and product id
  kOpened,      // the unit is open: connected
  kOpenFailed,  // the unit is there but cannot be opened (permissions: no udev rule)
  kInUse,       // another process holds the unit
};

class DeviceLink {
 public:
  // Called on the reader thread with each payload and its byte count.
  using ReportHandler = std::function<void(const Payload& payload, int count)>;

  // How long the reader waits in one read before it looks at its flags again.
  static constexpr int kReadSliceMs = 100;

  explicit DeviceLink(Transport& transport);
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;

  // Set once, before the first OpenDevice starts the reader thread.
  void SetReportHandler(ReportHandler handler);

  // Called once per connection when the unit is lost: a read failed (the
  // unit was unplugged) or a write did. By then the device is closed,
  // Connected() is 0 and the handshake is woken. Runs on the reader
  // thread or on the writer's thread, with no lock of the link held; a later
  // OpenDevice reopens the unit as usual. Not called for Stop. It must not
  // run an exchange itself (the writer may be inside one). Set from any thread.
  using LostHandler = std::function<void()>;
  void SetLostHandler(LostHandler handler);

  // Asked before a unit's interface is opened; false keeps it closed (another
  // process holds it). Set before the first OpenDevice.
  using ClaimFn = std::function<bool(const std::string& path)>;
  void SetClaim(ClaimFn claim) { claim_ = std::move(claim); }

  // Every wait and pause of the exchange is multiplied by this factor; tests
  // shrink the protocol's seconds to milliseconds with it. Set before use.
  void SetTimeScale(double scale) { time_scale_.store(scale); }
  double TimeScale() const { return time_scale_.load(); }

  // Re-enumerates from scratch; the first interface with the unit's vendor and
  // product id wins. Starts the reader thread on the first call. Returns 1
  // when the unit was found and opened, else 0; LastOpenState says why.
  int OpenDevice();
  OpenState LastOpenState() const { return open_state_.load(); }

  // Counts the successful opens: blocks read under another number belong to
  // an earlier connection.
  std::uint64_t Connection() const { return connection_.load(); }

  // Sends one report (report id 0 + payload), then pauses 10 ms. Does nothing
  // at all, not even the pause, while disconnected. A write that fails loses
  // the unit (see SetLostHandler). Returns when the report had left, before
  // the pause; nothing when it was not sent.
  std::optional<std::chrono::steady_clock::time_point> WriteReport(const Payload& payload);

  // Orderly end: stops the reader thread and closes the device; from then on
  // writes do nothing and waits return at once, so a sender on another thread
  // finishes its sequence without delay. Does not wait out the reader's read
  // slice: a read the device can cancel ends at once; one it cannot is left
  // to the reader, which lets go of the device (closing it) when the read
  // returns and touches the link no more. Idempotent.
  void Stop();

  // The exchange's token and pending type; losing the unit and Stop wake it.
  Handshake& TheHandshake() { return handshake_; }

  int Connected() const { return connected_.load(); }
  void SetConnected(int connected) { connected_.store(connected); }

  // Path of the last interface examined by OpenDevice.
  std::string DevicePath() const;

  // Waits on the exchange token for at most ms (scaled); true when it was set
  // while the unit stayed connected. Returns false at once while disconnected:
  // nothing can answer then, and a loss releases a sender that is waiting.
  bool WaitExchange(int ms);
  // Sleeps ms (scaled).
  void Pause(int ms) const;
  // Sleeps until the given moment; at once when it has passed.
  void PauseUntil(std::chrono::steady_clock::time_point until) const;
  std::chrono::microseconds Scaled(int ms) const;

 private:
  // What the link and its reader thread share beyond the link's life: a
  // reader left inside a read that cannot be cancelled finds the gate closed
  // when the read returns, and leaves without touching the link.
  struct ReaderGate {
    std::mutex mutex;  // held by the reader except inside a read; guards reading and abandoned
    std::shared_ptr<HidDevice> reading;  // the device inside a read, else nullptr
    bool abandoned = false;              // the link is gone or going
  };

  void ReaderLoop(std::shared_ptr<ReaderGate> gate);
  void SignalReadEvent();
  // The device failed: closes it and tells the owner, unless it is no longer
  // the link's device (reopened or stopped meanwhile).
  void Lose(const std::shared_ptr<HidDevice>& device);

  Transport& transport_;
  ReportHandler handler_;
  ClaimFn claim_;
  std::atomic<OpenState> open_state_{OpenState::kNoUnit};
  std::atomic<std::uint64_t> connection_{0};
  std::atomic<double> time_scale_{1.0};

  Handshake handshake_;
  std::atomic<int> connected_{0};

  std::mutex open_mutex_;  // serialises OpenDevice and Stop; guards first_start_
  bool first_start_ = true;

  mutable std::mutex device_mutex_;  // guards device_, device_path_ and lost_handler_; connected_ changes under it
  std::shared_ptr<HidDevice> device_;
  std::string device_path_;
  LostHandler lost_handler_;

  // The read event: OpenDevice bumps the generation to wake a parked reader.
  std::mutex read_mutex_;  // guards read_generation_
  std::condition_variable read_cv_;
  std::uint64_t read_generation_ = 0;

  std::atomic<bool> running_{true};
  std::shared_ptr<ReaderGate> gate_ = std::make_shared<ReaderGate>();
  std::thread reader_;
};

}  // namespace norvo
