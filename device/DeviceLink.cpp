#include "DeviceLink.h"

#include <algorithm>

namespace norvo {

DeviceLink::DeviceLink(Transport& transport) : transport_(transport) {}

DeviceLink::~DeviceLink() { Stop(); }

void DeviceLink::SetReportHandler(ReportHandler handler) { handler_ = std::move(handler); }

void DeviceLink::SetLostHandler(LostHandler handler) {
  std::lock_guard lock(device_mutex_);
  lost_handler_ = std::move(handler);
}

std::string DeviceLink::DevicePath() const {
  std::lock_guard lock(device_mutex_);
  return device_path_;
}

std::chrono::microseconds DeviceLink::Scaled(int ms) const {
  return std::chrono::microseconds(static_cast<std::int64_t>(ms * 1000.0 * time_scale_.load()));
}

// After Stop no sender waits any more, so a poll cycle in progress ends at once.
bool DeviceLink::WaitExchange(int ms) {
  if (!running_.load() || connected_.load() == 0) return false;
  return handshake_.Wait(Scaled(ms)) && connected_.load() == 1;
}

void DeviceLink::Pause(int ms) const {
  if (running_.load()) std::this_thread::sleep_for(Scaled(ms));
}

void DeviceLink::PauseUntil(std::chrono::steady_clock::time_point until) const {
  if (running_.load()) std::this_thread::sleep_until(until);
}

void DeviceLink::SignalReadEvent() {
  {
    std::lock_guard lock(read_mutex_);
    ++read_generation_;
  }
  read_cv_.notify_all();
}

int DeviceLink::OpenDevice() {
  std::lock_guard open_lock(open_mutex_);
  if (!running_.load()) return 0;
  if (first_start_) {
    reader_ = std::thread(&DeviceLink::ReaderLoop, this, gate_);
    first_start_ = false;
  }

  // Handles of an earlier connection are released, never reused. The reader
  // may still hold the old device for the rest of its current read slice.
  {
    std::lock_guard lock(device_mutex_);
    connected_.store(0);
    device_.reset();
  }

  OpenState state = OpenState::kNoUnit;
  for (const HidInterfaceInfo& info : transport_.Enumerate()) {
    {
      std::lock_guard lock(device_mutex_);
      device_path_ = info.path;
    }
    if (info.vendor_id != kVendorId || info.product_id != kProductId) continue;
    if (claim_ && !claim_(info.path)) {
      state = OpenState::kInUse;
      break;
    }
    // A unit that cannot be opened is not connected: nothing could reach it,
    // and a write to it must not be reported as done.
    std::shared_ptr<HidDevice> device = transport_.Open(info.path);
    if (!device) {
      state = OpenState::kOpenFailed;
      break;
    }
    state = OpenState::kOpened;
    ++connection_;
    {
      std::lock_guard lock(device_mutex_);
      device_ = std::move(device);
      connected_.store(1);
    }
    SignalReadEvent();
    break;
  }
  open_state_.store(state);
  return connected_.load() == 1 ? 1 : 0;
}

std::optional<std::chrono::steady_clock::time_point> DeviceLink::WriteReport(const Payload& payload) {
  std::uint8_t report[kReportSize] = {0};
  std::copy(payload.begin(), payload.end(), report + 1);
  if (connected_.load() == 0) return std::nullopt;
  std::shared_ptr<HidDevice> device;
  {
    std::lock_guard lock(device_mutex_);
    device = device_;
  }
  if (!device) return std::nullopt;
  // A failed write means the unit is gone (hidraw: ENODEV, EIO); the sender
  // learns it from the connected flag and its waits ending at once.
  if (!device->Write(report)) {
    Lose(device);
    return std::nullopt;
  }
  const auto sent = std::chrono::steady_clock::now();
  Pause(10);
  return sent;
}

// The reader holds the gate except inside a read, so Stop, once it has the
// gate, finds the reader either parked, gone, or inside a read.
void DeviceLink::ReaderLoop(std::shared_ptr<ReaderGate> gate) {
  std::unique_lock gate_lock(gate->mutex);
  while (running_.load()) {
    std::shared_ptr<HidDevice> device;
    std::uint64_t generation;
    {
      std::lock_guard lock(read_mutex_);
      generation = read_generation_;
    }
    if (connected_.load() == 1) {
      std::lock_guard lock(device_mutex_);
      device = device_;
    }
    if (device) {
      Payload payload{};
      gate->reading = device;
      gate_lock.unlock();
      const int n = device->Read(payload, kReadSliceMs);
      gate_lock.lock();
      gate->reading.reset();
      // Stopped inside a read that could not be cancelled: the link may be
      // gone. Letting go of device closes it, now that nobody reads it.
      if (gate->abandoned) return;
      if (n > 0) {
        if (handler_) handler_(payload, std::min<int>(n, kPayloadSize));
        continue;
      }
      if (n == 0) continue;  // read slice over: look at the flags again
      Lose(device);             // unplugged: hidraw fails every read from now on
    }
    // Parked: no unit, or the unit went away. OpenDevice or Stop wakes us.
    std::unique_lock lock(read_mutex_);
    read_cv_.wait(lock, [&] { return read_generation_ != generation || !running_.load(); });
  }
}

void DeviceLink::Lose(const std::shared_ptr<HidDevice>& device) {
  LostHandler handler;
  {
    std::lock_guard lock(device_mutex_);
    if (device_ != device) return;  // already lost, reopened or stopped
    connected_.store(0);
    device_.reset();  // closed once the reader or writer still holding it lets go
    handler = lost_handler_;
  }
  handshake_.Wake();  // a sender waiting for an answer goes on
  if (handler && running_.load()) handler();
}

void DeviceLink::Stop() {
  std::lock_guard open_lock(open_mutex_);
  running_.store(false);
  {
    std::lock_guard lock(device_mutex_);
    connected_.store(0);
  }
  handshake_.Wake();  // releases a sender waiting for an answer
  SignalReadEvent();
  if (reader_.joinable()) {
    std::unique_lock gate_lock(gate_->mutex);
    if (gate_->reading && !gate_->reading->CancelReads()) {
      // hidapi cannot wake its read: the reader finishes the slice on its
      // own and closes the device then; a one-shot command does not wait.
      gate_->abandoned = true;
      gate_lock.unlock();
      reader_.detach();
    } else {
      gate_lock.unlock();
      reader_.join();
    }
  }
  connected_.store(0);
  std::lock_guard lock(device_mutex_);
  device_.reset();
}

}  // namespace norvo
