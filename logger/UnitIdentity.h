#pragma once
// The name a served unit goes by, stable across replugs and reboots where
// /dev/hidrawN is not: its USB serial number; for a unit without one (or
// with one that another present unit has too), the udev ID_PATH of its
// node, which names the USB port; the device path only when neither is
// known. The same name is the unit's MQTT topic part and unique ids, its
// Prometheus label and its Unit column in the live table; the device path
// is kept as information only.

#include <functional>
#include <string>
#include <vector>

#include "device/Transport.h"

namespace norvo::logger {

struct NamedUnit {
  HidInterfaceInfo info;
  std::string name;
};

// The ID_PATH of a device node ("" when it has none), or a stand-in.
using IdPathFn = std::function<std::string(const std::string& device_path)>;

// The units among the interfaces (vendor and product id), with their names.
std::vector<NamedUnit> NameUnits(const std::vector<HidInterfaceInfo>& interfaces, const IdPathFn& id_path);

// udev's ID_PATH of the hidraw node or of one of its parents; else the
// USB port path of its USB device ("usb-1-1.4"); "" for anything that is not
// a device node (a simulated unit).
std::string UdevIdPath(const std::string& device_path);

// True for a --unit that names a device node (or a link to one) rather
// than a unit's name.
inline bool IsDevicePath(const std::string& selector) { return !selector.empty() && selector[0] == '/'; }

}  // namespace norvo::logger
