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

class QHBoxLayout;
class QPushButton;

namespace norvo {

QString UiText(int id);
QString Utf8(const std::string& text);

// A plain message box: OK button, the application's name as caption.
void ShowMessage(QWidget* parent, const QString& text);

// Runs work on a thread of its own and keeps serving the window's events (but
// not user input) until it is done.
void RunOffUiThread(const std::function<void()>& work);

// The Save and Exit buttons at the bottom right of a dialog.
QHBoxLayout* ButtonRow(QPushButton* save, QPushButton* exit);

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
