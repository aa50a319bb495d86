#include "Calib.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <cmath>

#include "ParameterBlocks.h"
#include "Ranges.h"
#include "monitor/Format.h"
#include "res/Strings.h"

namespace norvo {

Calib::Calib(Unit& unit, QWidget* parent) : UnitDialog(unit, parent) {
  setObjectName("134");
  auto* grid = new QGridLayout;
  auto* t_head = new QLabel(this);
  t_head->setObjectName("1128");
  auto* h_head = new QLabel(this);
  h_head->setObjectName("1129");
  grid->addWidget(t_head, 0, 1, 1, 2, Qt::AlignCenter);
  grid->addWidget(h_head, 0, 3, 1, 2, Qt::AlignCenter);
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    grid->addWidget(new QLabel(QString("CH%1:").arg(c), this), c, 0);
    temperature_[i] = new QLineEdit(this);
    temperature_[i]->setObjectName(QString::number(1014 + c));
    temperature_[i]->setFixedWidth(70);
    units_[i] = new QLabel(this);
    units_[i]->setObjectName(QString::number(1076 + c));
    humidity_[i] = new QLineEdit(this);
    humidity_[i]->setObjectName(QString::number(1023 + c));
    humidity_[i]->setFixedWidth(70);
    grid->addWidget(temperature_[i], c, 1);
    grid->addWidget(units_[i], c, 2);
    grid->addWidget(humidity_[i], c, 3);
    grid->addWidget(new QLabel("%", this), c, 4);
  }
  save_ = new QPushButton(this);
  save_->setObjectName("1005");
  exit_ = new QPushButton(this);
  exit_->setObjectName("1006");
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(Note());
  layout->addLayout(ButtonRow(save_, exit_));
  connect(save_, &QPushButton::clicked, this, &Calib::Save);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
}

int Calib::Run() {
  Open();
  return exec();
}

void Calib::Open() {
  setWindowTitle(UiText(ui::kCalibration));
  findChild<QLabel*>("1128")->setText(UiText(ui::kTemperature));
  findChild<QLabel*>("1129")->setText(UiText(ui::kHumidity));
  save_->setText(UiText(ui::kSave));
  exit_->setText(UiText(ui::kExit));
  const bool current = EnsureCurrentCopies([](Unit& u) { return u.ReadCalibration(); },
                                           [this](const PollSnapshot& b) { calibration_ = b.calibration; });
  // Without the unit's own block the fields show zeros; the copy stays.
  Payload shown = calibration_;
  if (!current) shown.fill(0);
  save_->setEnabled(current);
  const int unit = unit_.UnitFlag();
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    units_[i]->setText(unit ? "\u00B0F" : "\u00B0C");
    const std::size_t at = calibration::TemperatureAt(c);
    // FF FF (or 7F FF) is the unit's "no offset": shown as "--".
    const float offset = DecodeTemperatureWord(shown[at], shown[at + 1]);
    temperature_[i]->setText(offset == kInvalidTemperature ? QString("--")
                                                           : Utf8(FormatTemperature(offset, kDifference, unit)));
    humidity_[i]->setText(Utf8(FormatHumidity(static_cast<std::int8_t>(shown[calibration::HumidityAt(c)]), kNumberText)));
    // No offset can be set for a channel without a sensor reading.
    temperature_[i]->setEnabled(live_.temperature[i] != kInvalidTemperature);
    humidity_[i]->setEnabled(live_.humidity[i] != kInvalidHumidity);
    temperature_opening_[i] = temperature_[i]->text();
    humidity_opening_[i] = humidity_[i]->text();
  }
}

void Calib::Save() {
  const int unit = unit_.UnitFlag();
  // Offsets in whole tenths; "--" (no offset) counts as 0.
  const auto tenths = [unit](const QString& text) {
    return text.trimmed() == "--" ? 0 : CheckedTenths(text.toStdString(), TemperatureKind::kOffset, unit);
  };
  // The live reading already holds the old offset: live - old + new must stay
  // within the unit's range. All in integer tenths.
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    if (live_.temperature[i] > 60000) continue;
    if (temperature_[i]->text() == temperature_opening_[i]) continue;
    const long long fresh = tenths(temperature_[i]->text());
    if (fresh == kUnstorableTenths) {
      ShowMessage(this, MinusTenthText(TemperatureKind::kOffset, unit));
      return;
    }
    if (!ranges::CorrectedTemperatureFits(LiveTenths(live_.temperature[i]), tenths(temperature_opening_[i]),
                                          static_cast<int>(fresh))) {
      ShowMessage(this, QString(" CH%1 %2.").arg(c).arg(UiText(ui::kTempOutOfValue)));
      return;
    }
  }
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    if (live_.humidity[i] == kInvalidHumidity) continue;
    if (!ranges::CorrectedHumidityFits(live_.humidity[i], LeadingInteger(humidity_opening_[i].toStdString()),
                                       LeadingInteger(humidity_[i]->text().toStdString()))) {
      ShowMessage(this, QString(" CH%1 %2.").arg(c).arg(UiText(ui::kHumiOutOfValue)));
      return;
    }
  }
  // An offset left as it opened is written back exactly as the unit holds it.
  CalibrationRaw raw;
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    const std::size_t at = calibration::TemperatureAt(c);
    raw.temperature[i] = temperature_[i]->text() == temperature_opening_[i]
                             ? TemperatureWord{calibration_[at], calibration_[at + 1]}
                             : EncodeTemperatureWord(ParseTemperatureText(temperature_[i]->text().toStdString(),
                                                                          TemperatureKind::kOffset, unit));
    raw.humidity[i] = humidity_[i]->text() == humidity_opening_[i]
                          ? calibration_[calibration::HumidityAt(c)]
                          : EncodeHumidityByte(ParseHumidityText(humidity_[i]->text().toStdString()));
  }
  const Payload frames[] = {BuildCalibrationFrame(raw)};
  // The unit went away, or came back, while the dialog was open: nothing is
  // written from old copies.
  if (!CopiesStillCurrent()) return;
  WriteToUnit(frames, kDialogWrite, [this](WriteOutcome) { accept(); });
}

}  // namespace norvo
