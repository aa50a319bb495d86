#pragma once
// Plug and unplug notifications for any HID interface, delivered on the
// user-interface thread. On Linux a libudev monitor on subsystem "hidraw"; on
// Windows WM_DEVICECHANGE through a native event filter. The application adds
// a watcher for the simulated unit's hot-plug events.

#include <QObject>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace norvo {

class DeviceWatcher : public QObject {
  Q_OBJECT
 public:
  using QObject::QObject;

 signals:
  // arrived: true for an arrival, false for a removal.
  void DeviceChanged(bool arrived);
};

#if defined(__linux__)
class UdevWatcher : public DeviceWatcher {
  Q_OBJECT
 public:
  explicit UdevWatcher(QObject* parent = nullptr);
  ~UdevWatcher() override;

 private:
  void OnReadable();

  udev* udev_ = nullptr;
  udev_monitor* monitor_ = nullptr;
  QSocketNotifier* notifier_ = nullptr;
};
#endif

#if defined(_WIN32)
class WindowsWatcher : public DeviceWatcher {
  Q_OBJECT
 public:
  explicit WindowsWatcher(QObject* parent = nullptr);
  ~WindowsWatcher() override;
  // Registers a window for HID-class interface notifications.
  void Register(void* window_handle);

 private:
  class Filter;
  Filter* filter_;
  void* registration_ = nullptr;
};
#endif

}  // namespace norvo
