#include "DeviceWatcher.h"

#include <QMetaObject>
#include <QSocketNotifier>


#if defined(__linux__)
#include <libudev.h>

#include <cstring>
#endif

#if defined(_WIN32)
#include <QAbstractNativeEventFilter>
#include <QCoreApplication>
#include <windows.h>
#include <dbt.h>
#include <hidsdi.h>
#endif

namespace norvo {

#if defined(__linux__)
UdevWatcher::UdevWatcher(QObject* parent) : DeviceWatcher(parent) {
  udev_ = udev_new();
  if (udev_ == nullptr) return;
  monitor_ = udev_monitor_new_from_netlink(udev_, "udev");
  if (monitor_ == nullptr) return;
  udev_monitor_filter_add_match_subsystem_devtype(monitor_, "hidraw", nullptr);
  if (udev_monitor_enable_receiving(monitor_) < 0) return;
  notifier_ = new QSocketNotifier(udev_monitor_get_fd(monitor_), QSocketNotifier::Read, this);
  connect(notifier_, &QSocketNotifier::activated, this, &UdevWatcher::OnReadable);
}

UdevWatcher::~UdevWatcher() {
  delete notifier_;
  if (monitor_) udev_monitor_unref(monitor_);
  if (udev_) udev_unref(udev_);
}

void UdevWatcher::OnReadable() {
  udev_device* device = udev_monitor_receive_device(monitor_);
  if (device == nullptr) return;
  const char* action = udev_device_get_action(device);
  if (action != nullptr) {
    if (std::strcmp(action, "add") == 0) emit DeviceChanged(true);
    if (std::strcmp(action, "remove") == 0) emit DeviceChanged(false);
  }
  udev_device_unref(device);
}
#endif

#if defined(_WIN32)
class WindowsWatcher::Filter : public QAbstractNativeEventFilter {
 public:
  explicit Filter(WindowsWatcher* owner) : owner_(owner) {}
  bool nativeEventFilter(const QByteArray& type, void* message, qintptr* result) override {
    if (type != "windows_generic_MSG") return false;
    const MSG* msg = static_cast<const MSG*>(message);
    if (msg->message != WM_DEVICECHANGE || msg->lParam == 0) return false;
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(msg->lParam);
    if (header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE) return false;
    if (msg->wParam == DBT_DEVICEARRIVAL) emit owner_->DeviceChanged(true);
    if (msg->wParam == DBT_DEVICEREMOVECOMPLETE) emit owner_->DeviceChanged(false);
    *result = TRUE;
    return true;
  }

 private:
  WindowsWatcher* owner_;
};

WindowsWatcher::WindowsWatcher(QObject* parent) : DeviceWatcher(parent), filter_(new Filter(this)) {
  QCoreApplication::instance()->installNativeEventFilter(filter_);
}

WindowsWatcher::~WindowsWatcher() {
  QCoreApplication::instance()->removeNativeEventFilter(filter_);
  if (registration_) UnregisterDeviceNotification(registration_);
  delete filter_;
}

void WindowsWatcher::Register(void* window_handle) {
  DEV_BROADCAST_DEVICEINTERFACE_W filter{};
  filter.dbcc_size = sizeof filter;
  filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  HidD_GetHidGuid(&filter.dbcc_classguid);
  registration_ = RegisterDeviceNotificationW(static_cast<HWND>(window_handle), &filter,
                                              DEVICE_NOTIFY_WINDOW_HANDLE);
}
#endif

}  // namespace norvo
