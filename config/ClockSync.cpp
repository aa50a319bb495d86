#include "ClockSync.h"

#include <QDateTime>
#include <QMessageBox>
#include <chrono>

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

void SyncClock(QWidget* parent, Unit& unit, std::function<ClockFields()> clock, std::function<void()> done) {
  QMessageBox confirm(QMessageBox::Warning, UiText(ui::kSyncTime), UiText(ui::kSyncTimeQuestion), QMessageBox::Ok | QMessageBox::Cancel, parent);
  confirm.setDefaultButton(QMessageBox::Cancel);
  if (confirm.exec() != QMessageBox::Ok) {
    if (done) done();
    return;
  }
  const auto wait = std::chrono::microseconds(static_cast<std::int64_t>(3'000'000 * unit.TimeScale()));
  RunAsync(
      parent,
      [&unit, clock = std::move(clock), wait] {
        unit.WaitPollIdle(wait);
        if (!unit.Connected()) return WriteOutcome::kNotConnected;
        const Payload frames[] = {BuildClockFrame(clock())};
        return unit.Write(frames, kClockWrite);
      },
      [parent, done = std::move(done)](WriteOutcome outcome) {
        const QString failure = WriteFailureText(outcome);
        ShowMessage(parent, failure.isEmpty() ? UiText(ui::kSyncTimeSuccess) : failure);
        if (done) done();
      });
}

}  // namespace norvo
