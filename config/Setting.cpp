#include "Setting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <vector>

#include "ParameterBlocks.h"
#include "Ranges.h"
#include "res/Strings.h"

namespace norvo {
namespace {

QComboBox* List(QWidget* parent, int id) {
  auto* list = new QComboBox(parent);
  list->setObjectName(QString::number(id));
  return list;
}

QLabel* Label(QWidget* parent, int id) {
  auto* label = new QLabel(parent);
  if (id != 0) label->setObjectName(QString::number(id));
  return label;
}

void Select(QComboBox* list, int position) {
  list->setCurrentIndex(position >= 0 && position < list->count() ? position : -1);
}

constexpr int kSpans[] = {12, 24, 48, 72};

}  // namespace

Setting::Setting(Unit& unit, QWidget* parent) : UnitDialog(unit, parent) {
  setObjectName("129");
  graph_type_ = List(this, 1006);
  span_ = List(this, 1007);
  time_format_ = List(this, 1008);
  date_format_ = List(this, 1009);
  dst_ = List(this, 1010);
  time_zone_ = List(this, 1011);
  temperature_unit_ = List(this, 1012);
  area_ = List(this, 1038);
  interval_edit_ = new QLineEdit(this);
  interval_edit_->setObjectName("1039");
  interval_edit_->setMaximumWidth(60);
  set_interval_ = new QPushButton(this);
  set_interval_->setObjectName("1087");
  save_ = new QPushButton(this);
  save_->setObjectName("1005");
  exit_ = new QPushButton(this);
  exit_->setObjectName("1037");

  const int label_ids[] = {1089, 1090, 1093, 1094, 0, 1091, 1095, 1092, 1096, 0, 0};
  for (std::size_t i = 0; i < labels_.size(); ++i) labels_[i] = Label(this, label_ids[i]);

  auto* grid = new QGridLayout;
  QComboBox* lists[] = {graph_type_, span_, time_format_, date_format_, dst_, time_zone_, temperature_unit_};
  for (int i = 0; i < 7; ++i) {
    grid->addWidget(labels_[static_cast<std::size_t>(i)], i / 2, (i % 2) * 2);
    grid->addWidget(lists[i], i / 2, (i % 2) * 2 + 1);
  }
  auto* interval_row = new QHBoxLayout;
  interval_row->addWidget(labels_[7]);
  interval_row->addWidget(interval_edit_);
  interval_row->addWidget(labels_[8]);
  interval_row->addWidget(set_interval_);
  interval_row->addStretch();

  QGridLayout* areas = BuildAreas();

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addLayout(interval_row);
  layout->addLayout(areas);
  layout->addWidget(Note());
  layout->addLayout(ButtonRow(save_, exit_));

  set_interval_->setAutoDefault(false);
  ChainTabs();

  connect(area_, &QComboBox::currentIndexChanged, this, [this] {
    if (!initialising_) AreaChanged();
  });
  connect(save_, &QPushButton::clicked, this, &Setting::Save);
  connect(set_interval_, &QPushButton::clicked, this, &Setting::SetInterval);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
}

// The area list with its three rows of channel boxes.
QGridLayout* Setting::BuildAreas() {
  auto* areas = new QGridLayout;
  areas->addWidget(area_, 0, 0);
  for (int c = 1; c <= 8; ++c) {
    auto* head = new QLabel(QString("CH%1").arg(c), this);
    head->setAlignment(Qt::AlignCenter);
    areas->addWidget(head, 0, c);
  }
  const int row_labels[] = {1097, 1098, 1099};
  for (int r = 0; r < 3; ++r) {
    areas->addWidget(Label(this, row_labels[r]), r + 1, 0);
    for (int c = 1; c <= 8; ++c) {
      auto* box = new QCheckBox(this);
      box->setObjectName(QString::number(1013 + 8 * r + c - 1));
      boxes_[static_cast<std::size_t>(8 * r + c - 1)] = box;
      areas->addWidget(box, r + 1, c, Qt::AlignCenter);
    }
  }
  return areas;
}

void Setting::ChainTabs() {
  std::vector<QWidget*> chain{graph_type_, span_, time_format_, date_format_, dst_, time_zone_, temperature_unit_,
                              interval_edit_, set_interval_, area_};
  chain.insert(chain.end(), boxes_.begin(), boxes_.end());
  chain.push_back(save_);
  chain.push_back(exit_);
  SetTabChain(chain);
}

void Setting::SetCopies(const Payload& settings, int interval, const std::string& identification,
                        std::uint64_t connection, bool read) {
  settings_copy_ = settings;
  interval_ = interval;
  identification_ = identification;
  NoteCopies(connection, read);
}

int Setting::Run() {
  Open();
  return exec();
}

void Setting::SetTexts() {
  setWindowTitle(UiText(ui::kSetup));
  const int texts[] = {206, 207, 208, 209, 0, 211, 210, 213, 214};
  for (int i = 0; i < 9; ++i) labels_[static_cast<std::size_t>(i)]->setText(texts[i] ? UiText(texts[i]) : "DST");
  findChild<QLabel*>("1097")->setText(UiText(ui::kTemperature));
  findChild<QLabel*>("1098")->setText(UiText(ui::kDewPoint));
  findChild<QLabel*>("1099")->setText(UiText(ui::kHeatIndex));
  set_interval_->setText(UiText(ui::kSetInterval));
  save_->setText(UiText(ui::kSave));
  exit_->setText(UiText(ui::kExit));

  for (QComboBox* list : {graph_type_, span_, time_format_, date_format_, dst_, time_zone_, temperature_unit_, area_}) list->clear();
  graph_type_->addItems({UiText(ui::kTemperature), UiText(ui::kHumidity), UiText(ui::kDewPoint), UiText(ui::kHeatIndex)});
  span_->addItems({"12H", "24H", "48H", "72H"});
  dst_->addItems({"OFF", "ON"});
  for (int zone = -12; zone <= 12; ++zone) time_zone_->addItem(QString::number(zone));
  time_format_->addItems({"h:mm:ss", "AM h:mm:ss", "h:mm:ss AM"});
  date_format_->addItems({"YYYY-MM-DD", "MM-DD-YYYY", "DD-MM-YYYY"});
  temperature_unit_->addItems({"\u00B0C", "\u00B0F"});
  for (int a = 1; a <= 5; ++a) area_->addItem(QString("CH Area%1").arg(a));
}

void Setting::Open() {
  current_area_ = 0;
  initialising_ = true;
  SetTexts();
  const bool current = EnsureCurrentCopies([](Unit& u) { return u.ReadSettings(); },
                                           [this](const PollSnapshot& b) {
                                             settings_copy_ = b.settings;
                                             interval_ = b.interval;
                                             identification_ = b.identification;
                                           });
  if (current) {
    ShowCopies();
  } else {
    for (QComboBox* list : {graph_type_, span_, time_format_, date_format_, dst_, time_zone_, temperature_unit_, area_}) {
      list->setCurrentIndex(0);
    }
    save_->setEnabled(false);
    interval_edit_->setText("5");
    AreaChanged();
  }
  initialising_ = false;
}

void Setting::ShowCopies() {
  eight_area_ = IsEightAreaModel(identification_) ? 1 : 0;
  if (eight_area_) {
    for (int a = 6; a <= 8; ++a) area_->addItem(QString("CH Area%1").arg(a));
  }
  area_->setCurrentIndex(0);
  const Payload& s = settings_copy_;
  Select(graph_type_, s[settings::kGraphType]);
  const int span = s[settings::kGraphSpan];
  Select(span_, span == 12 ? 0 : span == 24 ? 1 : span == 48 ? 2 : 3);
  Select(time_format_, s[settings::kTimeFormat]);
  Select(date_format_, s[settings::kDateFormat]);
  Select(dst_, s[settings::kDst]);
  Select(time_zone_, static_cast<std::int8_t>(s[settings::kTimeZone]) + 12);
  Select(temperature_unit_, s[settings::kUnit]);
  const int areas = eight_area_ ? settings::kEightAreas : settings::kFiveAreas;
  for (int a = 0; a < areas; ++a) {
    masks_[static_cast<std::size_t>(a)] = ReadMask(s, settings::kFirstMask + settings::kMaskSize * a);
  }
  AreaChanged();
  interval_edit_->setText(QString::number(interval_));
  save_->setEnabled(true);
}

std::uint32_t Setting::MaskFromBoxes() const {
  std::uint32_t mask = 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 1; c <= 8; ++c) {
      if (boxes_[static_cast<std::size_t>(8 * r + c - 1)]->isChecked()) mask |= 1u << (3 * (c - 1) + r);
    }
  }
  return mask;
}

void Setting::AreaChanged() {
  if (!initialising_ && current_area_ >= 0 && current_area_ < 8) {
    masks_[static_cast<std::size_t>(current_area_)] = MaskFromBoxes();
  }
  current_area_ = area_->currentIndex();
  const std::uint32_t mask = current_area_ >= 0 ? masks_[static_cast<std::size_t>(current_area_)] : 0;
  for (int r = 0; r < 3; ++r) {
    for (int c = 1; c <= 8; ++c) {
      QCheckBox* box = boxes_[static_cast<std::size_t>(8 * r + c - 1)];
      box->setChecked((mask >> (3 * (c - 1) + r)) & 1u);
      // "CH Area1" shows only CH1's values: the other channels' boxes stay as stored, disabled.
      box->setEnabled(current_area_ != 0 || c == 1);
    }
  }
}

void Setting::Save() {
  if (current_area_ >= 0) masks_[static_cast<std::size_t>(current_area_)] = MaskFromBoxes();
  SettingsFields f;
  f.graph_type = graph_type_->currentIndex();
  f.graph_span = span_->currentIndex() >= 0 ? kSpans[span_->currentIndex()] : 0;
  f.time_format = time_format_->currentIndex();
  f.date_format = date_format_->currentIndex();
  f.dst = dst_->currentIndex();
  f.time_zone = time_zone_->currentIndex() - 12;
  f.unit = temperature_unit_->currentIndex();
  f.masks = masks_;
  const Payload frames[] = {BuildSettingsFrame(f, eight_area_ == 1)};
  // The unit went away, or came back, while the dialog was open: nothing is
  // written from old copies.
  if (!CopiesStillCurrent()) return;
  WriteToUnit(frames, kDialogWrite, [this](WriteOutcome) { accept(); });
}

void Setting::SetInterval() {
  const int v = LeadingInteger(interval_edit_->text().trimmed().toStdString());
  if (!ranges::kIntervalMinutes.Holds(v)) {
    ShowMessage(this, UiText(ui::kIntervalRange));
    return;
  }
  if (!unit_.Connected()) {
    ShowMessage(this, UiText(ui::kUnconnected));
    return;
  }
  const Payload frames[] = {BuildIntervalFrame(v)};
  WriteToUnit(frames, kIntervalWrite, [this](WriteOutcome outcome) {
    if (outcome == WriteOutcome::kWritten) ShowMessage(this, UiText(ui::kSetIntervalSuccess));
  });
}

}  // namespace norvo
