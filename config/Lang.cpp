#include "Lang.h"

#include <QComboBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

#include "ParameterBlocks.h"
#include "res/Strings.h"
#include "settings/DataFolder.h"

namespace norvo {

Lang::Lang(Unit& unit, std::filesystem::path data_folder, QWidget* parent)
    : UnitDialog(unit, parent), data_folder_(std::move(data_folder)) {
  setObjectName("155");
  auto* label = new QLabel(this);
  label->setObjectName("1133");
  list_ = new QComboBox(this);
  list_->setObjectName("1006");
  save_ = new QPushButton(this);
  save_->setObjectName("1005");
  exit_ = new QPushButton(this);
  exit_->setObjectName("1037");
  auto* row = new QHBoxLayout;
  row->addWidget(label);
  row->addWidget(list_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(row);
  layout->addLayout(ButtonRow(save_, exit_));
  connect(save_, &QPushButton::clicked, this, &Lang::Save);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
}

int Lang::Run() {
  Open();
  return exec();
}

void Lang::Open() {
  setWindowTitle(UiText(ui::kLanguage));
  findChild<QLabel*>("1133")->setText(UiText(ui::kLanguage));
  save_->setText(UiText(ui::kSave));
  exit_->setText(UiText(ui::kExit));
  list_->clear();
  list_->addItems({"Deutsch", "English"});
  // What the file says now, not the language the program runs in.
  list_->setCurrentIndex(ReadLanguageSetting(data_folder_) == "Deutsch" ? 0 : 1);
}

void Lang::Save() {
  const bool english = list_->currentText() == "English";
  // Main.ini first: a refusal by the unit or a missing unit still switches
  // the program. A failed write is not reported; the restart then comes up in
  // the language the file still names.
  WriteLanguageSetting(data_folder_, english ? "English" : "Deutsch");
  if (unit_.Connected()) {
    const Payload frames[] = {BuildLanguageFrame(english)};
    WriteToUnit(frames, kDialogWrite, [this](WriteOutcome) { accept(); });
    return;
  }
  accept();
}

}  // namespace norvo
