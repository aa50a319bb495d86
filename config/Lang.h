#pragma once
// The Language dialog: writes Main.ini, tells the unit, and ends with OK so
// that the program restarts in the new language.

#include <filesystem>

#include "UnitDialog.h"

class QComboBox;
class QPushButton;

namespace norvo {

class Lang : public UnitDialog {
  Q_OBJECT
 public:
  Lang(Unit& unit, std::filesystem::path data_folder, QWidget* parent);
  int Run();

 private:
  void Open() override;
  void Save();

  std::filesystem::path data_folder_;
  QComboBox* list_;
  QPushButton* save_;
  QPushButton* exit_;
};

}  // namespace norvo
