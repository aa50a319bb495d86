#include "Alarm.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <vector>

#include "ParameterBlocks.h"
#include "Ranges.h"
#include "monitor/Format.h"
#include "res/Strings.h"

namespace norvo {
namespace {

QString Name(int id) { return QString::number(id); }

// A limit that the unit reported as missing shows as "--" followed by two
// blanks; that text, trimmed, stands for the missing value as well.
bool IsMarker(const QString& text) { return text.trimmed() == "--"; }

}  // namespace

Alarm::Alarm(Unit& unit, QWidget* parent) : UnitDialog(unit, parent) {
  setObjectName("135");
  temperature_switch_ = new QComboBox(this);
  temperature_switch_->setObjectName("1006");
  humidity_switch_ = new QComboBox(this);
  humidity_switch_->setObjectName("1007");
  save_ = new QPushButton(this);
  save_->setObjectName("1");
  save_->setDefault(true);
  exit_ = new QPushButton(this);
  exit_->setObjectName("2");

  QHBoxLayout* groups = BuildGroups();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(groups);
  layout->addWidget(Note());
  layout->addLayout(ButtonRow(save_, exit_));

  ChainTabs();

  connect(temperature_switch_, &QComboBox::currentIndexChanged, this, &Alarm::SwitchChanged);
  connect(humidity_switch_, &QComboBox::currentIndexChanged, this, &Alarm::SwitchChanged);
  connect(save_, &QPushButton::clicked, this, &Alarm::Save);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
}

std::pair<QGroupBox*, QGridLayout*> Alarm::MakeGroup(int group_id, int label_id, QComboBox* list, int high_id,
                                                      int low_id) {
  auto* group = new QGroupBox(this);
  group->setObjectName(Name(group_id));
  auto* grid = new QGridLayout(group);
  auto* label = new QLabel(group);
  label->setObjectName(Name(label_id));
  grid->addWidget(label, 0, 0, 1, 2);
  grid->addWidget(list, 0, 2, 1, 3);
  auto* high = new QLabel(group);
  high->setObjectName(Name(high_id));
  auto* low = new QLabel(group);
  low->setObjectName(Name(low_id));
  grid->addWidget(high, 1, 1, 1, 3, Qt::AlignCenter);
  grid->addWidget(low, 1, 4, 1, 3, Qt::AlignCenter);
  return std::pair{group, grid};
}

// The temperature and the humidity group: per channel a high and a low limit,
// each with its switch.
QHBoxLayout* Alarm::BuildGroups() {
  auto [tgroup, tgrid] = MakeGroup(1120, 1122, temperature_switch_, 1124, 1125);
  auto [hgroup, hgrid] = MakeGroup(1121, 1123, humidity_switch_, 1126, 1127);

  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    tgrid->addWidget(new QLabel(QString("CH%1:").arg(c), tgroup), c + 1, 0);
    hgrid->addWidget(new QLabel(QString("CH%1:").arg(c), hgroup), c + 1, 0);
    for (int side = 0; side < 2; ++side) {
      auto* t_enable = new QCheckBox(tgroup);
      t_enable->setObjectName(Name((side == 0 ? 1103 : 1111) + c));
      auto* t_edit = new QLineEdit(tgroup);
      t_edit->setObjectName(Name((side == 0 ? 1014 : 1023) + c));
      t_edit->setFixedWidth(60);
      auto* t_unit = new QLabel(tgroup);
      t_unit->setObjectName(Name((side == 0 ? 1058 : 1067) + c));
      tgrid->addWidget(t_enable, c + 1, 1 + 3 * side);
      tgrid->addWidget(t_edit, c + 1, 2 + 3 * side);
      tgrid->addWidget(t_unit, c + 1, 3 + 3 * side);
      temperature_enable_[static_cast<std::size_t>(side)][i] = t_enable;
      temperature_[static_cast<std::size_t>(side)][i] = t_edit;
      unit_labels_[i + 8 * static_cast<std::size_t>(side)] = t_unit;

      auto* h_enable = new QCheckBox(hgroup);
      h_enable->setObjectName(Name((side == 0 ? 1087 : 1095) + c));
      auto* h_edit = new QLineEdit(hgroup);
      h_edit->setObjectName(Name((side == 0 ? 1032 : 1041) + c));
      h_edit->setFixedWidth(60);
      hgrid->addWidget(h_enable, c + 1, 1 + 3 * side);
      hgrid->addWidget(h_edit, c + 1, 2 + 3 * side);
      hgrid->addWidget(new QLabel("%", hgroup), c + 1, 3 + 3 * side);
      humidity_enable_[static_cast<std::size_t>(side)][i] = h_enable;
      humidity_[static_cast<std::size_t>(side)][i] = h_edit;
    }
  }
  auto* groups = new QHBoxLayout;
  groups->addWidget(tgroup);
  groups->addWidget(hgroup);
  return groups;
}

// Each group as it reads, channel by channel: high, then low.
void Alarm::ChainTabs() {
  std::vector<QWidget*> chain{temperature_switch_};
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t side = 0; side < 2; ++side) {
      chain.push_back(temperature_enable_[side][i]);
      chain.push_back(temperature_[side][i]);
    }
  }
  chain.push_back(humidity_switch_);
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t side = 0; side < 2; ++side) {
      chain.push_back(humidity_enable_[side][i]);
      chain.push_back(humidity_[side][i]);
    }
  }
  chain.push_back(save_);
  chain.push_back(exit_);
  SetTabChain(chain);
}

void Alarm::SetCopies(const Payload& a, const Payload& b, const Payload& c, const Payload& d, std::uint64_t connection,
                      bool read) {
  block_a_ = a;
  block_b_ = b;
  block_c_ = c;
  block_d_ = d;
  NoteCopies(connection, read);
}

int Alarm::Run() {
  Open();
  return exec();
}

void Alarm::SetTexts() {
  setWindowTitle(UiText(ui::kAlarm));
  for (int id : {1120, 1121}) findChild<QGroupBox*>(Name(id))->setTitle(QString());
  findChild<QLabel*>("1122")->setText(UiText(ui::kTemperatureAlarm));
  findChild<QLabel*>("1123")->setText(UiText(ui::kHumidityAlarm));
  for (int id : {1124, 1126}) findChild<QLabel*>(Name(id))->setText(UiText(ui::kHigh));
  for (int id : {1125, 1127}) findChild<QLabel*>(Name(id))->setText(UiText(ui::kLow));
  save_->setText(UiText(ui::kSave));
  exit_->setText(UiText(ui::kExit));
}

void Alarm::Open() {
  SetTexts();
  temperature_switch_->blockSignals(true);
  humidity_switch_->blockSignals(true);
  temperature_switch_->clear();
  humidity_switch_->clear();
  temperature_switch_->addItems({"ON", "OFF"});
  humidity_switch_->addItems({"ON", "OFF"});

  // Without the unit the fields show neutral values; the copies of its blocks
  // stay as they are, and Save stays off.
  const bool current = EnsureCurrentCopies([](Unit& u) { return u.ReadAlarms(); },
                                           [this](const PollSnapshot& b) {
                                             block_a_ = b.alarm_a;
                                             block_b_ = b.alarm_b;
                                             block_c_ = b.alarm_c;
                                             block_d_ = b.alarm_d;
                                           });
  Payload shown_a = block_a_, shown_c = block_c_, shown_d = block_d_;
  if (!current) {
    shown_c.fill(0xFF);
    shown_d.fill(0xFF);
    shown_a.fill(0);
  }
  save_->setEnabled(current);
  ShowBlocks(shown_a, shown_c, shown_d);
  temperature_switch_->blockSignals(false);
  humidity_switch_->blockSignals(false);
  SwitchChanged();
}

void Alarm::ShowBlocks(const Payload& a, const Payload& c_block, const Payload& d) {
  const int unit = unit_.UnitFlag();
  for (QLabel* label : unit_labels_) label->setText(unit ? "\u00B0F" : "\u00B0C");
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    const std::size_t th = alarm_limits::TemperatureHighAt(c), tl = alarm_limits::TemperatureLowAt(c);
    temperature_[0][i]->setText(Utf8(FormatTemperature(DecodeTemperatureWord(c_block[th], c_block[th + 1]), kNumberText, unit)));
    temperature_[1][i]->setText(Utf8(FormatTemperature(DecodeTemperatureWord(c_block[tl], c_block[tl + 1]), kNumberText, unit)));
    humidity_[0][i]->setText(Utf8(FormatHumidity(DecodeHumidityByte(d[alarm_limits::HumidityHighAt(c)]), kNumberText)));
    humidity_[1][i]->setText(Utf8(FormatHumidity(DecodeHumidityByte(d[alarm_limits::HumidityLowAt(c)]), kNumberText)));
    for (std::size_t side = 0; side < 2; ++side) {
      temperature_opening_[side][i] = temperature_[side][i]->text();
      humidity_opening_[side][i] = humidity_[side][i]->text();
    }
    const unsigned bit = 1u << (c - 1);
    humidity_enable_[0][i]->setChecked(a[alarm_a::kHumidityHigh] & bit);
    humidity_enable_[1][i]->setChecked(a[alarm_a::kHumidityLow] & bit);
    temperature_enable_[0][i]->setChecked(a[alarm_a::kTemperatureHigh] & bit);
    temperature_enable_[1][i]->setChecked(a[alarm_a::kTemperatureLow] & bit);
  }
  const int t_switch = a[alarm_a::kTemperatureSwitch], h_switch = a[alarm_a::kHumiditySwitch];
  temperature_switch_->setCurrentIndex(t_switch < 2 ? t_switch : -1);
  humidity_switch_->setCurrentIndex(h_switch < 2 ? h_switch : -1);
}

void Alarm::SwitchChanged() {
  const bool t_on = temperature_switch_->currentIndex() == 0;
  const bool h_on = humidity_switch_->currentIndex() == 0;
  for (std::size_t side = 0; side < 2; ++side) {
    for (std::size_t i = 0; i < 8; ++i) {
      temperature_[side][i]->setEnabled(t_on);
      temperature_enable_[side][i]->setEnabled(t_on);
      humidity_[side][i]->setEnabled(h_on);
      humidity_enable_[side][i]->setEnabled(h_on);
    }
  }
}

AlarmSwitches Alarm::SwitchesShown() const {
  AlarmSwitches switches;
  switches.humidity_switch = humidity_switch_->currentIndex();
  switches.temperature_switch = temperature_switch_->currentIndex();
  for (std::size_t i = 0; i < 8; ++i) {
    const std::uint8_t bit = static_cast<std::uint8_t>(1u << i);
    if (humidity_enable_[0][i]->isChecked()) switches.humidity_high |= bit;
    if (humidity_enable_[1][i]->isChecked()) switches.humidity_low |= bit;
    if (temperature_enable_[0][i]->isChecked()) switches.temperature_high |= bit;
    if (temperature_enable_[1][i]->isChecked()) switches.temperature_low |= bit;
  }
  return switches;
}

// Checks, in channel order, high then low. A field left as it opened keeps
// the unit's own value and is not checked again. False after the message.
bool Alarm::CheckLimits(int unit) {
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t side = 0; side < 2; ++side) {
      const QString text = temperature_[side][i]->text();
      if (text == temperature_opening_[side][i] || IsMarker(text)) continue;
      const int t = CheckedTenths(text.toStdString(), TemperatureKind::kLimit, unit);
      if (t == kUnstorableTenths) {
        ShowMessage(this, MinusTenthText(TemperatureKind::kLimit, unit));
        return false;
      }
      if (!ranges::kAlarmTemperatureTenths.Holds(t)) {
        ShowMessage(this, UiText(ui::kTempError));
        return false;
      }
    }
  }
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t side = 0; side < 2; ++side) {
      const QString text = humidity_[side][i]->text();
      if (text == humidity_opening_[side][i]) continue;
      // "--" is no humidity: 0xFF would be sent as if it were a limit.
      const int h = IsMarker(text) ? kInvalidMarker : LeadingInteger(text.toStdString());
      if (!ranges::kAlarmHumidity.Holds(h)) {
        ShowMessage(this, UiText(ui::kHumiError));
        return false;
      }
    }
  }
  return true;
}

// The limits as the fields show them; a field left as it opened gives the
// unit's own bytes back unchanged.
void Alarm::LimitsShown(int unit, AlarmTemperatureWords& words, AlarmHumidityBytes& bytes) const {
  for (int c = 1; c <= 8; ++c) {
    const std::size_t i = static_cast<std::size_t>(c - 1);
    const std::size_t t_at[2] = {alarm_limits::TemperatureHighAt(c), alarm_limits::TemperatureLowAt(c)};
    const std::size_t h_at[2] = {alarm_limits::HumidityHighAt(c), alarm_limits::HumidityLowAt(c)};
    for (std::size_t side = 0; side < 2; ++side) {
      TemperatureWord& w = side == 0 ? words.high[i] : words.low[i];
      const QString t_text = temperature_[side][i]->text();
      if (t_text == temperature_opening_[side][i]) {
        w = {block_c_[t_at[side]], block_c_[t_at[side] + 1]};
      } else {
        w = EncodeTemperatureWord(IsMarker(t_text) ? kInvalidMarker
                                                   : ParseTemperatureText(t_text.toStdString(), TemperatureKind::kLimit, unit));
      }
      std::uint8_t& b = side == 0 ? bytes.high[i] : bytes.low[i];
      const QString h_text = humidity_[side][i]->text();
      if (h_text == humidity_opening_[side][i]) {
        b = block_d_[h_at[side]];
      } else {
        b = EncodeHumidityByte(IsMarker(h_text) ? kInvalidMarker : ParseHumidityText(h_text.toStdString()));
      }
    }
  }
}

void Alarm::Save() {
  const int unit = unit_.UnitFlag();
  const AlarmSwitches switches = SwitchesShown();
  if (!CheckLimits(unit)) return;
  AlarmTemperatureWords words;
  AlarmHumidityBytes bytes;
  LimitsShown(unit, words, bytes);
  const Payload frames[] = {BuildAlarmSwitchFrame(switches), BuildAlarmTemperatureFrame(words),
                            BuildAlarmHumidityFrame(bytes)};
  // The unit went away, or came back, while the dialog was open: nothing is
  // written from old copies.
  if (!CopiesStillCurrent()) return;
  WriteToUnit(frames, kDialogWrite, [this](WriteOutcome) { accept(); });
}

}  // namespace norvo
