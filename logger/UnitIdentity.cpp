#include "UnitIdentity.h"

#include <libudev.h>
#include <sys/stat.h>

#include <map>

#include "device/Payload.h"

namespace norvo::logger {

std::vector<NamedUnit> NameUnits(const std::vector<HidInterfaceInfo>& interfaces, const IdPathFn& id_path) {
  std::vector<NamedUnit> units;
  std::map<std::string, int> serials;
  for (const HidInterfaceInfo& info : interfaces) {
    if (info.vendor_id != kVendorId || info.product_id != kProductId) continue;
    units.push_back({info, ""});
    if (!info.serial.empty()) ++serials[info.serial];
  }
  for (NamedUnit& u : units) {
    // A serial two units share names neither: the port tells them apart.
    if (!u.info.serial.empty() && serials[u.info.serial] == 1) {
      u.name = u.info.serial;
    } else {
      u.name = id_path ? id_path(u.info.path) : "";
      if (u.name.empty()) u.name = u.info.path;
    }
  }
  return units;
}

std::string UdevIdPath(const std::string& device_path) {
  struct stat st {};
  if (::stat(device_path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return "";
  udev* u = udev_new();
  if (u == nullptr) return "";
  std::string found;
  if (udev_device* node = udev_device_new_from_devnum(u, 'c', st.st_rdev)) {
    for (udev_device* d = node; d != nullptr && found.empty(); d = udev_device_get_parent(d)) {
      if (const char* v = udev_device_get_property_value(d, "ID_PATH")) found = v;
    }
    if (found.empty()) {
      if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(node, "usb", "usb_device")) {
        if (const char* name = udev_device_get_sysname(usb)) found = std::string("usb-") + name;
      }
    }
    udev_device_unref(node);
  }
  udev_unref(u);
  return found;
}

}  // namespace norvo::logger
