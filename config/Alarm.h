#pragma once
// The Alarm dialog: the temperature and humidity alarm switches, a high and a
// low limit per channel for each, and an enable box for every limit.

#include <array>
#include <string>
#include <utility>

#include "ParameterBlocks.h"
#include "UnitDialog.h"

class QComboBox;
class QLineEdit;
class QCheckBox;
class QGridLayout;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QPushButton;

namespace norvo {

class Alarm : public UnitDialog {
  Q_OBJECT
 public:
  Alarm(Unit& unit, QWidget* parent);

  // After every poll: alarm blocks A, B, C and D, the connection they were
  // read in and whether the unit answered their reads.
  void SetCopies(const Payload& a, const Payload& b, const Payload& c, const Payload& d, std::uint64_t connection = 0,
                 bool read = true);

  int Run();

 private:
  std::pair<QGroupBox*, QGridLayout*> MakeGroup(int group_id, int label_id, QComboBox* list, int high_id, int low_id);
  QHBoxLayout* BuildGroups();
  void ChainTabs();
  void Open() override;
  void SetTexts();
  // Fills the fields and switches from blocks A, C and D and notes what they opened with.
  void ShowBlocks(const Payload& a, const Payload& c, const Payload& d);
  void SwitchChanged();
  void Save();
  AlarmSwitches SwitchesShown() const;
  bool CheckLimits(int unit);
  void LimitsShown(int unit, AlarmTemperatureWords& words, AlarmHumidityBytes& bytes) const;

  Payload block_a_{}, block_b_{}, block_c_{}, block_d_{};

  QComboBox* temperature_switch_;
  QComboBox* humidity_switch_;
  // Index c - 1: [0] high, [1] low.
  std::array<std::array<QLineEdit*, 8>, 2> temperature_{};
  std::array<std::array<QLineEdit*, 8>, 2> humidity_{};
  std::array<std::array<QCheckBox*, 8>, 2> temperature_enable_{};
  std::array<std::array<QCheckBox*, 8>, 2> humidity_enable_{};
  std::array<QLabel*, 16> unit_labels_{};
  // The texts as the dialog opened: a limit whose text is unchanged is sent
  // back exactly as the unit reported it.
  std::array<std::array<QString, 8>, 2> temperature_opening_{};
  std::array<std::array<QString, 8>, 2> humidity_opening_{};
  QPushButton* save_;
  QPushButton* exit_;
};

}  // namespace norvo
