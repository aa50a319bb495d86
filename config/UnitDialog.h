#pragma once
// What the configuration dialogs share: texts from the string table, plain
// message boxes, the dialog's own copy of the permission byte, and the write
// sequence run off the user-interface thread so that the window keeps
// painting while the exchange waits.

#include <QDialog>
#include <QString>
#include <atomic>
#include <functional>
#include <span>
#include <string>

#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Responses.h"
#include "ui/UiHelpers.h"

namespace norvo {

class UnitDialog : public QDialog {
  Q_OBJECT
 public:
  UnitDialog(DeviceLink& link, ResponseStore& store, QWidget* parent);

 protected:
  // The write sequence with this dialog's permission byte; shows UI 236 when
  // the unit refuses. Returns what happened.
  WriteOutcome WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing = kDialogWrite);

  DeviceLink& link_;
  std::atomic<int> permission_{0};  // this dialog's copy of the permission byte
};

}  // namespace norvo
