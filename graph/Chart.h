#pragma once
// The chart control of the Graph dialog: four line series over a time axis
// whose x values are OLE Automation dates, a header line and a legend above
// the plot. Built on QCustomPlot; offers the operations the dialog drives,
// plus zoom (mouse wheel), pan (drag), a reset to the drawn span (double
// click) and export as PNG, PDF or CSV.

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
  // The value axis of a chart without points (before the first drawing and
  // after an empty one): wide enough for a humidity or a room temperature.
  static constexpr double kEmptyValueLower = 0.0;
  static constexpr double kEmptyValueUpper = 100.0;
  // A span of one moment (start = end) is shown this many seconds either side.
  static constexpr double kMomentHalfWidthSeconds = 30.0;

  explicit CTchart1(QWidget* parent = nullptr);

  // ---- series by index, 0..3 ----
  void ClearSeries(int index);
  void SetSeriesTitle(int index, const QString& title);
  // A series marked not shown leaves no trace in the plot or the legend.
  void SetSeriesShown(int index, bool shown);
  // count points at once, point n = (dates[n], values[n]); dates are OLE dates.
  // A value that is not finite becomes a gap in the line; a point whose date
  // is not finite has no place on the time axis and is left out.
  void AddArrays(int index, int count, const double* values, const double* dates);
  // The points that are drawn: gaps are not counted.
  int PointCount(int index) const;
  bool SeriesShown(int index) const;
  QString SeriesTitle(int index) const;

  // ---- header ----
  void SetHeaderLine(int line, const QString& text);
  QString Header() const;

  // ---- axes ----
  void SetValueAxisAutomatic(bool automatic);
  void SetValueAxisTitle(const QString& title);
  // Ticks of the value axis only at whole numbers (a humidity in percent).
  void SetValueAxisWholeNumbers(bool whole);
  QString ValueAxisTitle() const;
  void SetTimeAxisAutomatic(bool automatic);
  // Fixed range of the time axis, as OLE dates; start = end shows the moment
  // kMomentHalfWidthSeconds either side. Non-finite or reversed input is ignored.
  void SetTimeAxisRange(double start, double end);
  double TimeAxisStart() const;  // OLE date
  double TimeAxisEnd() const;

  // Lays out the legend in series order, fits the value axis (when automatic)
  // to the finite values of the shown series, and redraws. The fitted ranges
  // become the view that ResetView returns to.
  void Replot();

  // Back to the drawn span and fitted values after zooming or panning.
  void ResetView();

  // Export of what the chart shows. PNG and PDF are the current view at the
  // chart's size; CSV holds every point of the shown series, one row per
  // time, "time" then one column per series titled with the series title
  // and the value-axis unit. Each returns false when the file could not be
  // written completely.
  bool SavePng(const QString& path) const;
  bool SavePdf(const QString& path) const;
  bool SaveCsv(const QString& path) const;

  QCustomPlot* Plot() const { return plot_; }
  // Legend entries, in order: the titles of the shown series.
  QStringList LegendTitles() const;
  // The width of the plot area in pixels, or the design's before the chart
  // was laid out.
  int PlotWidth() const;

 private:
  void RebuildLegend();
  void FitValueAxis();

  QCustomPlot* plot_;
  QCPTextElement* header_;
  std::array<QCPGraph*, kSeries> series_{};
  std::array<bool, kSeries> shown_{true, true, true, true};
  bool value_automatic_ = true;
  // The ranges of the last drawing, in the plot's coordinates (keys in seconds).
  double home_time_lower_ = 0, home_time_upper_ = 0;
  double home_value_lower_ = kEmptyValueLower, home_value_upper_ = kEmptyValueUpper;
};

// OLE Automation date <-> the chart's key (seconds, local time read as UTC).
double OleToKey(double ole_date);
double KeyToOle(double key);

// The pieces of the CSV export: a field quoted where it must be, a time as
// "yyyy-MM-ddTHH:mm:ss" of its second, and a value with seven digits.
QString CsvField(const QString& text);
QString CsvTime(double ole_date);
QString CsvValue(double value);

}  // namespace norvo
