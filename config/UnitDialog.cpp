#include "UnitDialog.h"

#include <QLabel>
#include <vector>

#include "res/Strings.h"

namespace norvo {

QString WriteFailureText(WriteOutcome outcome, const std::string& block) {
  switch (outcome) {
    case WriteOutcome::kWritten:
      return {};
    case WriteOutcome::kRefused:
      return UiText(ui::kSwitchToMainScreen);
    case WriteOutcome::kNoAnswer:
      return Utf8(std::string(Localized("The unit did not answer; nothing was written.",
                                        "Das Gerät antwortet nicht; es wurde nichts geschrieben.")));
    case WriteOutcome::kNotConnected:
      return UiText(ui::kUnconnected);
    case WriteOutcome::kDifferent:
      return Utf8(std::string(Localized("The unit did not take the ", "Das Gerät hat nicht übernommen: ")) + block +
                  std::string(Localized(": it reads back otherwise.", " (es meldet andere Werte zurück).")));
    case WriteOutcome::kUnverified:
      return Utf8(std::string(Localized("Written, but the unit did not answer the check of the ",
                                        "Geschrieben, aber das Gerät antwortet nicht auf die Prüfung: ")) +
                  block + ".");
  }
  return {};
}

QString MinusTenthText() {
  return Utf8(std::string(Localized("-0.1 cannot be stored: the unit reads its code as \"no value\". Use 0.0 or -0.2.",
                                    "-0,1 lässt sich nicht speichern: das Gerät liest diesen Code als \"kein Wert\". "
                                    "Verwenden Sie 0,0 oder -0,2.")));
}

UnitDialog::UnitDialog(UnitSession& session, QWidget* parent)
    : QDialog(parent), session_(session), link_(session.Link()) {}

WriteOutcome UnitDialog::WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing) {
  const std::vector<Payload> copy(frames.begin(), frames.end());
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  std::string block;
  RunOffUiThread([&] { outcome = session_.WriteVerified(copy, timing, &block); });
  if (const QString failure = WriteFailureText(outcome, block); !failure.isEmpty()) ShowMessage(this, failure);
  return outcome;
}

bool UnitDialog::EnsureCurrentCopies(const std::function<bool(UnitSession&)>& read, const std::function<void()>& take) {
  Note()->hide();
  if (CopiesCurrent()) return true;
  const std::uint64_t connection = link_.Connection();
  bool ok = false;
  RunOffUiThread([&] { ok = read(session_); });
  if (ok && link_.Connection() == connection) {
    take();
    NoteCopies(connection, true);
    return true;
  }
  Note()->setText(Utf8(std::string(Localized("The unit's values could not be read yet; Save stays off until they are.",
                                             "Die Werte des Geräts konnten noch nicht gelesen werden; Sichern bleibt "
                                             "gesperrt, bis sie vorliegen."))));
  Note()->show();
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
