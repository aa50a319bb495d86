#pragma once
// The Calibration dialog: a temperature offset (tenths) and a humidity offset
// (whole percent) per channel, checked against the live readings of the moment
// the dialog opens.

#include <array>

#include "UnitDialog.h"
#include "device/LiveReadings.h"

class QLineEdit;
class QLabel;
class QPushButton;

namespace norvo {

class Calib : public UnitDialog {
  Q_OBJECT
 public:
  Calib(Unit& unit, QWidget* parent);

  // After every poll: the calibration block, the connection it was read in
  // and whether the unit answered its read.
  void SetCopy(const Payload& calibration, std::uint64_t connection = 0, bool read = true) {
    calibration_ = calibration;
    NoteCopies(connection, read);
  }
  // The live readings of the moment the menu command runs.
  void SetLive(const LiveReadings& live) { live_ = live; }

  int Run();

 private:
  void Open() override;
  void Save();

  Payload calibration_{};
  LiveReadings live_;
  std::array<QLineEdit*, 8> temperature_{};
  std::array<QLineEdit*, 8> humidity_{};
  std::array<QLabel*, 8> units_{};
  std::array<QString, 8> temperature_opening_{};
  std::array<QString, 8> humidity_opening_{};
  QPushButton* save_;
  QPushButton* exit_;
};

}  // namespace norvo
