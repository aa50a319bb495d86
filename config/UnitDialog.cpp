#include "UnitDialog.h"

#include <vector>

#include "res/Strings.h"

namespace norvo {

UnitDialog::UnitDialog(DeviceLink& link, ResponseStore& store, QWidget* parent) : QDialog(parent), link_(link) {
  store.AddPermissionReader(&permission_);
}

WriteOutcome UnitDialog::WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing) {
  const std::vector<Payload> copy(frames.begin(), frames.end());
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  RunOffUiThread([&] { outcome = RunWriteSequence(link_, timing, copy, permission_); });
  if (outcome == WriteOutcome::kRefused) ShowMessage(this, UiText(236));
  return outcome;
}

}  // namespace norvo
