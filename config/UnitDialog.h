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

class QLabel;

namespace norvo {

// What the user is told when a write did not reach the unit or the unit reads
// back otherwise (block names the block); empty when it was written.
QString WriteFailureText(WriteOutcome outcome, const std::string& block = {});

// "-0.1" has no code of its own: the unit reads FF FF as "no value".
QString MinusTenthText();

class UnitDialog : public QDialog {
  Q_OBJECT
 public:
  UnitDialog(UnitSession& session, QWidget* parent);

 protected:
  // The write sequence off the user-interface thread, verified by reading
  // back what the unit offers a read of; shows UI 236 when the unit refuses
  // and a message of its own for no answer or a difference. Returns what
  // happened.
  WriteOutcome WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing = kDialogWrite);

  // The dialog's copies of the unit's blocks came from the poll of this
  // connection, all answered (read), or not.
  void NoteCopies(std::uint64_t connection, bool read) {
    copies_connection_ = connection;
    copies_read_ = read;
  }
  bool CopiesCurrent() const { return copies_read_ && copies_connection_ == link_.Connection(); }
  // On opening while connected: when the copies are not the unit's own in
  // this connection (just plugged, no poll yet), read them now with read
  // (off the user-interface thread) and take them with take. False when they
  // could not be read: the dialog then shows the note and keeps Save off.
  bool EnsureCurrentCopies(const std::function<bool(UnitSession&)>& read, const std::function<void()>& take);
  // The line under the fields that says why Save is off; hidden otherwise.
  QLabel* Note();

  UnitSession& session_;
  DeviceLink& link_;

 private:
  std::uint64_t copies_connection_ = 0;
  bool copies_read_ = false;
  QLabel* note_ = nullptr;
};

}  // namespace norvo
