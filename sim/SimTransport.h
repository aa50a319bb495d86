#pragma once
// The transport over simulated hardware: one or more simulated units and any
// number of foreign HID interfaces, enumerated in the order they were added.

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "SimUnit.h"
#include "device/Transport.h"

namespace norvo::sim {

class SimTransport : public Transport {
 public:
  // Hot-plug of any HID interface, unit or not: true on arrival.
  using HotplugListener = std::function<void(bool arrived)>;

  void AddUnit(SimUnit* unit, std::string path, std::uint16_t vendor_id = kVendorId,
               std::uint16_t product_id = kProductId);
  void PlugForeign(std::string path, std::uint16_t vendor_id, std::uint16_t product_id);
  void UnplugForeign(const std::string& path);
  void SetHotplugListener(HotplugListener listener);

  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<HidDevice> Open(const std::string& path) override;

 private:
  struct Entry {
    HidInterfaceInfo info;
    SimUnit* unit = nullptr;  // nullptr: a foreign interface, present while listed
  };
  void Notify(bool arrived);

  std::mutex mutex_;  // guards entries_ and listener_
  std::vector<Entry> entries_;
  HotplugListener listener_;
};

}  // namespace norvo::sim
