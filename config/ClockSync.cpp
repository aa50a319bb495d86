#include "ClockSync.h"

#include <QDateTime>
#include <QMessageBox>

#include "UnitDialog.h"
#include "device/Exchange.h"
#include "res/Strings.h"

namespace norvo {

ClockFields LocalClock() {
  const QDateTime now = QDateTime::currentDateTime();
  const QDate d = now.date();
  const QTime t = now.time();
  return {d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), d.dayOfWeek() % 7};
}

void SyncClock(QWidget* parent, UnitSession& session, const std::function<void()>& wait_for_poll,
               const std::function<ClockFields()>& clock) {
  QMessageBox confirm(QMessageBox::Warning, UiText(ui::kSyncTime), UiText(ui::kSyncTimeQuestion), QMessageBox::Ok | QMessageBox::Cancel, parent);
  confirm.setDefaultButton(QMessageBox::Cancel);
  if (confirm.exec() != QMessageBox::Ok) return;
  if (wait_for_poll) wait_for_poll();
  if (!session.Connected()) {
    ShowMessage(parent, UiText(ui::kUnconnected));
    return;
  }
  // The time sent is the time read before the permission query.
  const Payload frames[] = {BuildClockFrame(clock())};
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  RunOffUiThread([&] { outcome = session.Write(frames, kClockWrite); });
  const QString failure = WriteFailureText(outcome);
  ShowMessage(parent, failure.isEmpty() ? UiText(ui::kSyncTimeSuccess) : failure);
}

}  // namespace norvo
