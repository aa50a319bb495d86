#pragma once
// The chart control of the Graph dialog: four line series over a time axis
// whose x values are OLE Automation dates, a header line and a legend above
// the plot. Built on QCustomPlot; offers the operations the dialog drives.

#include <QString>
#include <QWidget>
#include <array>

class QCustomPlot;
class QCPGraph;
class QCPTextElement;

namespace norvo {

class CTchart1 : public QWidget {
  Q_OBJECT
 public:
  static constexpr int kSeries = 4;

  explicit CTchart1(QWidget* parent = nullptr);

  // ---- series by index, 0..3 ----
  void ClearSeries(int index);
  void SetSeriesTitle(int index, const QString& title);
  // A series marked not shown leaves no trace in the plot or the legend.
  void SetSeriesShown(int index, bool shown);
  // count points at once, point n = (dates[n], values[n]); dates are OLE dates.
  void AddArrays(int index, int count, const double* values, const double* dates);
  int PointCount(int index) const;
  bool SeriesShown(int index) const;
  QString SeriesTitle(int index) const;

  // ---- header ----
  void SetHeaderLine(int line, const QString& text);
  QString Header() const;

  // ---- axes ----
  void SetValueAxisAutomatic(bool automatic);
  void SetValueAxisTitle(const QString& title);
  QString ValueAxisTitle() const;
  void SetTimeAxisAutomatic(bool automatic);
  // Fixed range of the time axis, as OLE dates.
  void SetTimeAxisRange(double start, double end);
  double TimeAxisStart() const;  // OLE date
  double TimeAxisEnd() const;

  // Lays out the legend in series order and redraws.
  void Replot();

  QCustomPlot* Plot() const { return plot_; }
  // Legend entries, in order: the titles of the shown series.
  QStringList LegendTitles() const;

 private:
  void RebuildLegend();

  QCustomPlot* plot_;
  QCPTextElement* header_;
  std::array<QCPGraph*, kSeries> series_{};
  std::array<bool, kSeries> shown_{true, true, true, true};
  bool value_automatic_ = true;
};

// OLE Automation date <-> the chart's key (seconds, local time read as UTC).
double OleToKey(double ole_date);
double KeyToOle(double key);

}  // namespace norvo
