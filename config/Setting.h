#pragma once
// The Setup dialog: graph type and span, time and date formats, DST, time
// zone, temperature unit, the display areas' masks and the logging interval.

#include <array>
#include <cstdint>
#include <string>

#include "UnitDialog.h"

class QComboBox;
class QLineEdit;
class QPushButton;
class QCheckBox;
class QGridLayout;
class QLabel;

namespace norvo {

class Setting : public UnitDialog {
  Q_OBJECT
 public:
  Setting(Unit& unit, QWidget* parent);

  // After every poll: the copies the next opening shows.
  // After every poll: the settings block, interval and identification, the
  // connection they were read in and whether the unit answered their reads.
  void SetCopies(const Payload& settings, int interval, const std::string& identification,
                 std::uint64_t connection = 0, bool read = true);

  // Opens the dialog modally; returns its result.
  int Run();

 private:
  QGridLayout* BuildAreas();
  void ChainTabs();
  void Open() override;
  void SetTexts();
  // Shows the unit's settings, interval and areas from the copies read on opening.
  void ShowCopies();
  void AreaChanged();
  void Save();
  void SetInterval();
  std::uint32_t MaskFromBoxes() const;

  Payload settings_copy_{};
  int interval_ = 0;
  std::string identification_;
  std::array<std::uint32_t, 8> masks_{};  // working copies, kept between openings
  int eight_area_ = 0;
  int current_area_ = 0;
  bool initialising_ = false;

  QComboBox* graph_type_;
  QComboBox* span_;
  QComboBox* time_format_;
  QComboBox* date_format_;
  QComboBox* dst_;
  QComboBox* time_zone_;
  QComboBox* temperature_unit_;
  QComboBox* area_;
  QLineEdit* interval_edit_;
  QPushButton* set_interval_;
  QPushButton* save_;
  QPushButton* exit_;
  std::array<QCheckBox*, 24> boxes_{};  // 1013 + 8 row + (channel - 1)
  std::array<QLabel*, 11> labels_{};
};

}  // namespace norvo
