#pragma once
// The Graph dialog: the stored readings of a chosen span as line series,
// either the temperature view (temperature, dew point, heat index) or the
// humidity view.

#include <QDateTime>
#include <QDialog>
#include <string>

#include "store/RecordStore.h"

class QDateEdit;
class QTimeEdit;
class QComboBox;
class QPushButton;

namespace norvo {

class CTchart1;

class Grapsh : public QDialog {
  Q_OBJECT
 public:
  // now: the moment the dialog is made; the default span is the hour before.
  Grapsh(std::string database_path, QWidget* parent = nullptr, QDateTime now = QDateTime::currentDateTime());

  // The temperature unit label of the last import, e.g. "(°C)"; the value-axis title.
  void SetUnitLabel(const QString& label) { unit_label_ = label; }

  // Draws the chosen span and quantity (the Select button).
  void Select();

  // The "save-chart" button: asks for a file and writes the chart as PNG, PDF
  // or CSV, by the file's suffix or else by the chosen filter.
  void SaveChart();

  CTchart1* Chart() const { return chart_; }

 private:
  bool Draw(int series, const std::string& start, const std::string& end, const char* column, int count);
  void ShowError(const QString& text);

  RecordStore store_;
  std::string database_path_;
  QString unit_label_;
  CTchart1* chart_;
  QDateEdit* start_date_;
  QTimeEdit* start_time_;
  QDateEdit* end_date_;
  QTimeEdit* end_time_;
  QComboBox* quantity_;
  QPushButton* select_;
  QPushButton* exit_;
  QPushButton* reset_;
  QPushButton* save_;
};

}  // namespace norvo
