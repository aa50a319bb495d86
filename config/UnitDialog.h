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

#include "device/Exchange.h"
#include "session/UnitSession.h"
#include "ui/UiHelpers.h"

namespace norvo {

// What the user is told when a write did not reach the unit; empty when it did.
QString WriteFailureText(WriteOutcome outcome);

class UnitDialog : public QDialog {
  Q_OBJECT
 public:
  UnitDialog(UnitSession& session, QWidget* parent);

 protected:
  // The write sequence off the user-interface thread; shows UI 236 when the
  // unit refuses and a message of its own when it does not answer. Returns
  // what happened.
  WriteOutcome WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing = kDialogWrite);

  UnitSession& session_;
  DeviceLink& link_;
};

}  // namespace norvo
