#include "UnitDialog.h"

#include <vector>

#include "res/Strings.h"

namespace norvo {

QString WriteFailureText(WriteOutcome outcome) {
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
  }
  return {};
}

UnitDialog::UnitDialog(UnitSession& session, QWidget* parent)
    : QDialog(parent), session_(session), link_(session.Link()) {}

WriteOutcome UnitDialog::WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing) {
  const std::vector<Payload> copy(frames.begin(), frames.end());
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  RunOffUiThread([&] { outcome = session_.Write(copy, timing); });
  if (const QString failure = WriteFailureText(outcome); !failure.isEmpty()) ShowMessage(this, failure);
  return outcome;
}

}  // namespace norvo
