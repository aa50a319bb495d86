#include "SimTransport.h"

#include <atomic>

namespace norvo::sim {
namespace {

class SimDevice : public HidDevice {
 public:
  SimDevice(SimUnit& unit, std::uint64_t session) : unit_(unit), session_(session) { unit_.CountHandle(1); }
  ~SimDevice() override { unit_.CountHandle(-1); }
  SimDevice(const SimDevice&) = delete;
  SimDevice& operator=(const SimDevice&) = delete;

  bool Write(const std::uint8_t (&report)[kReportSize]) override {
    return unit_.HandleReport(session_, report, kReportSize);
  }

  int Read(Payload& payload, int timeout_ms) override {
    return unit_.ReadAnswer(session_, payload, timeout_ms, cancelled_);
  }

  bool CancelReads() override {
    cancelled_.store(true);
    return unit_.WakeReads();
  }

 private:
  SimUnit& unit_;
  std::uint64_t session_;
  std::atomic<bool> cancelled_{false};
};

}  // namespace

void SimTransport::AddUnit(SimUnit* unit, std::string path, std::uint16_t vendor_id,
                           std::uint16_t product_id) {
  std::lock_guard lock(mutex_);
  entries_.push_back({{std::move(path), vendor_id, product_id, unit->SerialNumber()}, unit});
  unit->SetHotplugListener([this](bool arrived) { Notify(arrived); });
}

void SimTransport::PlugForeign(std::string path, std::uint16_t vendor_id, std::uint16_t product_id) {
  {
    std::lock_guard lock(mutex_);
    entries_.push_back({{std::move(path), vendor_id, product_id, ""}, nullptr});
  }
  Notify(true);
}

void SimTransport::UnplugForeign(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    std::erase_if(entries_, [&](const Entry& e) { return e.unit == nullptr && e.info.path == path; });
  }
  Notify(false);
}

void SimTransport::SetHotplugListener(HotplugListener listener) {
  std::lock_guard lock(mutex_);
  listener_ = std::move(listener);
}

void SimTransport::Notify(bool arrived) {
  HotplugListener listener;
  {
    std::lock_guard lock(mutex_);
    listener = listener_;
  }
  if (listener) listener(arrived);
}

std::vector<HidInterfaceInfo> SimTransport::Enumerate() {
  std::lock_guard lock(mutex_);
  std::vector<HidInterfaceInfo> present;
  for (const Entry& e : entries_) {
    if (e.unit == nullptr || e.unit->Plugged()) present.push_back(e.info);
  }
  return present;
}

std::unique_ptr<HidDevice> SimTransport::Open(const std::string& path) {
  std::lock_guard lock(mutex_);
  for (const Entry& e : entries_) {
    if (e.info.path != path) continue;
    if (e.unit == nullptr || !e.unit->Plugged() || e.unit->OpenFailure()) return nullptr;
    return std::make_unique<SimDevice>(*e.unit, e.unit->Session());
  }
  return nullptr;
}

}  // namespace norvo::sim
