#include "UnitDialog.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <vector>

#include "res/Strings.h"

namespace norvo {
namespace {
// How long a dialog waits before it reads the unit's values again.
constexpr int kReadAgainMs = 2000;
}  // namespace


QString WriteFailureText(WriteOutcome outcome, const std::string& block) {
  switch (outcome) {
    case WriteOutcome::kWritten:
      return {};
    case WriteOutcome::kRefused:
      return UiText(ui::kSwitchToMainScreen);
    case WriteOutcome::kNoAnswer:
      return Utf8(UIString(ui::kDidNotAnswerNothingWritten));
    case WriteOutcome::kNotConnected:
      return UiText(ui::kUnconnected);
    case WriteOutcome::kDifferent:
      return Utf8(UIString(ui::kUnitDidNotTake) + block +
                  UIString(ui::kReadsBackOtherwise));
    case WriteOutcome::kUnverified:
      return Utf8(UIString(ui::kWrittenButUnchecked) +
                  block + ".");
  }
  return {};
}

QString MinusTenthText(TemperatureKind kind, int unit_flag) {
  if (unit_flag == 0) {
    return Utf8(UIString(ui::kMinusTenthCelsius));
  }
  // The nearest values on either side, as the dialog shows them in °F: the
  // tenths 0 and -2 of a degree Celsius.
  const bool german = LoadedLanguage() == kLanguageGerman;
  const auto shown = [&](int tenths) {
    const double f = tenths * 0.18 + (kind == TemperatureKind::kLimit ? 32.0 : 0.0);
    QString text = QString::number(f, 'f', 1);
    return german ? text.replace('.', ',') : text;
  };
  return Utf8(UIString(ui::kMinusTenthFahrenheit))
      .arg(shown(0), shown(-2));
}

UnitDialog::UnitDialog(Unit& unit, QWidget* parent) : QDialog(parent), unit_(unit) {}

void UnitDialog::SetWorking(bool working) {
  working_ = working;
  setEnabled(!working);
  SetBusyProperty();
}

void UnitDialog::SetBusyProperty() {
  // Findable like the controls: scripts and tests wait for it to clear.
  setProperty("busy", working_ || reading_);
}

void UnitDialog::reject() {
  if (!working_) QDialog::reject();
}

void UnitDialog::closeEvent(QCloseEvent* event) {
  // A write on its way finishes with this dialog still there to report it.
  if (working_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void UnitDialog::WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing,
                             std::function<void(WriteOutcome)> then) {
  std::vector<Payload> copy(frames.begin(), frames.end());
  struct Result {
    WriteOutcome outcome;
    std::string block;
  };
  SetWorking(true);
  Unit& unit = unit_;
  RunAsync(
      this,
      [&unit, copy = std::move(copy), timing] {
        Result r{WriteOutcome::kNotConnected, {}};
        r.outcome = unit.WriteVerified(copy, timing, &r.block);
        return r;
      },
      [this, then = std::move(then)](Result r) {
        SetWorking(false);
        if (const QString failure = WriteFailureText(r.outcome, r.block); !failure.isEmpty()) ShowMessage(this, failure);
        if (then) then(r.outcome);
      });
}

bool UnitDialog::EnsureCurrentCopies(std::function<bool(Unit&)> read, std::function<void(const PollSnapshot&)> take) {
  if (!unit_.Connected()) {
    AwaitUnit();
    return false;
  }
  Note()->hide();
  if (CopiesCurrent()) return true;
  if (reading_) return false;
  reading_ = true;
  SetBusyProperty();
  const std::uint64_t connection = unit_.Blocks().connection;
  Unit& unit = unit_;
  RunAsync(
      this, [&unit, read = std::move(read)] { return read(unit); },
      [this, connection, take = std::move(take)](bool ok) {
        reading_ = false;
        SetBusyProperty();
        const PollSnapshot blocks = unit_.Blocks();
        if (ok && blocks.connection == connection) {
          take(blocks);
          NoteCopies(connection, true);
          Open();
          return;
        }
        Note()->setText(Utf8(UIString(ui::kValuesNotReadYet)));
        Note()->show();
        // Read again while the dialog is open, so that Save comes on once
        // the unit answers.
        ReadAgainLater();
      });
  return false;
}

void UnitDialog::AwaitUnit() {
  Note()->setText(Utf8(UIString(ui::kNoUnitFound)));
  Note()->show();
  ReadAgainLater();
}

void UnitDialog::ReadAgainLater() {
  if (looking_) return;
  looking_ = true;
  QTimer::singleShot(kReadAgainMs, this, [this] {
    looking_ = false;
    if (!isVisible() || working_ || reading_) return;
    if (!unit_.Connected()) {
      // Unplugged: look again until it is back. (The copies of the last
      // connection still count as current until then.)
      setProperty("looks", property("looks").toInt() + 1);  // scripts and tests can wait on it
      ReadAgainLater();
      return;
    }
    if (!CopiesCurrent()) Open();
  });
}

bool UnitDialog::CopiesStillCurrent() {
  if (unit_.Connected() && CopiesCurrent()) return true;
  if (!unit_.Connected()) {
    ShowMessage(this, UiText(ui::kUnconnected));
    reject();
    return false;
  }
  ShowMessage(this, Utf8(UIString(ui::kPluggedInAgain)));
  Open();
  return false;
}

QLabel* UnitDialog::Note() {
  if (note_ == nullptr) {
    note_ = new QLabel(this);
    note_->setObjectName("note");
    note_->setWordWrap(true);
    note_->hide();
  }
  return note_;
}

}  // namespace norvo
