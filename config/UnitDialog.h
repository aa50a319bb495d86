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

#include "config/ParameterBlocks.h"
#include "device/Exchange.h"
#include "session/Unit.h"
#include "ui/UiHelpers.h"

class QLabel;

namespace norvo {

// What the user is told when a write did not reach the unit or the unit reads
// back otherwise (block names the block); empty when it was written.
QString WriteFailureText(WriteOutcome outcome, const std::string& block = {});

// "-0.1" °C has no code of its own: the unit reads FF FF as "no value". The
// values proposed instead are in the unit the dialog shows (unit_flag 1: °F).
QString MinusTenthText(TemperatureKind kind, int unit_flag);

class UnitDialog : public QDialog {
  Q_OBJECT
 public:
  UnitDialog(Unit& unit, QWidget* parent);

  // Fills the fields from the dialog's copies (again, after a read).
  virtual void Open() = 0;
  // Refused while a write of the dialog runs: the dialog stays open to
  // report it. The dialog's property "busy" is true while a read or write runs.
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;

  // The write sequence on the background thread, verified by reading back
  // what the unit offers a read of. The dialog's buttons are off meanwhile.
  // Then, on the user-interface thread: UI 236 when the unit refuses, a
  // message of its own for no answer or a difference, and then(outcome).
  void WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing,
                   std::function<void(WriteOutcome)> then);

  // The dialog's copies of the unit's blocks came from the poll of this
  // connection, all answered (read), or not.
  void NoteCopies(std::uint64_t connection, bool read) {
    copies_connection_ = connection;
    copies_read_ = read;
  }
  bool CopiesCurrent() const { return copies_read_ && copies_connection_ == unit_.Blocks().connection; }
  // Save's check before it writes: true when the copies are the unit's own in
  // this connection. Otherwise nothing is written: a unit that is gone gets
  // UI 232 and the dialog closes; one that came back while the dialog was
  // open is read anew (Open runs again) and the user is told to check and
  // save again.
  bool CopiesStillCurrent();
  // On opening: true when the copies are the unit's own in this connection.
  // Otherwise (just plugged, no poll yet) they are read with read on the
  // background thread and the dialog shows its neutral values meanwhile;
  // once read they are taken with take and Open runs again. Failing that the
  // note says why Save stays off. Without the unit the note says so, and the
  // dialog looks for it while it is open; once it is back, Open runs again.
  bool EnsureCurrentCopies(std::function<bool(Unit&)> read, std::function<void(const PollSnapshot&)> take);
  // The line under the fields that says why Save is off; hidden otherwise.
  QLabel* Note();

  Unit& unit_;

 private:
  void SetWorking(bool working);
  void SetBusyProperty();
  void AwaitUnit();
  // Every 2 s while the dialog is open without its copies: Open again once
  // the unit is there. One look is pending at a time.
  void ReadAgainLater();

  std::uint64_t copies_connection_ = 0;
  bool copies_read_ = false;
  QLabel* note_ = nullptr;
  bool working_ = false;
  bool reading_ = false;  // an EnsureCurrentCopies read is on its way
  bool looking_ = false;  // a ReadAgainLater look is pending
};

}  // namespace norvo
