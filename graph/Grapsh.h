#pragma once
// The Graph dialog: the stored readings of a chosen span as line series,
// either the temperature view (temperature, dew point, heat index) or the
// humidity view.

#include <QDateTime>
#include <QDialog>
#include <QStringList>
#include <optional>
#include <string>

#include "store/SeriesQuery.h"

class QDateEdit;
class QTimeEdit;
class QComboBox;
class QGridLayout;
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

  // Draws the chosen span and quantity (the Select button). The store is
  // read on the background thread; the chart changes when the readings are
  // in (Drawn), and property "busy" is true until then.
  void Select();

  // The "save-chart" button: asks for a file and writes the chart as PNG, PDF
  // or CSV, by the file's suffix or else by the chosen filter. CSV holds
  // every stored reading of the drawn span, read on the background thread.
  void SaveChart();

  // The "whole-file" button: the pickers take the span of every stored
  // reading (the last imported file), then Select draws it. A store without
  // readings keeps the pickers and draws their span.
  void ShowWholeFile();

  CTchart1* Chart() const { return chart_; }

 signals:
  void Drawn();
  void Saved();

 private:
  QGridLayout* BuildControls();
  // The pickers, the quantity list, the legend and the time axis before the first Select.
  void ProposeSpan(const QDateTime& now);
  void WireSignals();
  // A drawing: the span, the view and what the store returned. UI thread.
  struct Drawing {
    SeriesRequest request;
    int view = 0;
    QStringList titles;
  };
  void Show(const Drawing& drawing, const SeriesResult& result);
  // The series titles and which series show, for a view (0 temperature, 1 humidity).
  void LabelSeries(int view, const QStringList& titles);
  static QStringList ViewTitles(int view);
  void SetBusy(bool busy);
  void ShowError(const QString& text);
  void ShowStoreError(const std::string& text);
  void WriteCsv(const QString& path);

  std::string database_path_;
  int generation_ = 0;  // of the latest Select; an older result is dropped
  std::optional<Drawing> drawn_;
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
  QPushButton* whole_;
};

}  // namespace norvo
