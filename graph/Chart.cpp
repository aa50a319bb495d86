#include "Chart.h"

#include <qcustomplot.h>

#include <QDateTime>
#include <QLocale>
#include <QSaveFile>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>
#include <vector>

#include "res/Strings.h"

namespace norvo {
namespace {

// 1970-01-01 as an OLE Automation date.
constexpr double kUnixEpochOle = 25569.0;
// Size of the chart in the dialog's design, used for export before the chart
// was ever laid out.
constexpr int kDesignWidth = 800;
constexpr int kDesignHeight = 369;

const QColor kColours[CTchart1::kSeries] = {QColor(255, 0, 0), QColor(0, 128, 0), QColor(0, 128, 255),
                                            QColor(255, 128, 0)};

}  // namespace

double OleToKey(double ole_date) { return (ole_date - kUnixEpochOle) * 86400.0; }
double KeyToOle(double key) { return key / 86400.0 + kUnixEpochOle; }

QString CsvField(const QString& text) {
  if (!text.contains(QLatin1Char(',')) && !text.contains(QLatin1Char('"')) && !text.contains(QLatin1Char('\n'))) {
    return text;
  }
  QString quoted = text;
  quoted.replace(QLatin1String("\""), QLatin1String("\"\""));
  return QLatin1Char('"') + quoted + QLatin1Char('"');
}

// Keys are local times read as UTC, so UTC formatting gives the local time back.
QString CsvTime(double ole_date) {
  return QDateTime::fromSecsSinceEpoch(std::llround(OleToKey(ole_date)), Qt::UTC)
      .toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss"));
}

QString CsvValue(double value) { return std::isfinite(value) ? QString::number(value, 'g', 7) : QString(); }

CTchart1::CTchart1(QWidget* parent) : QWidget(parent), plot_(new QCustomPlot(this)) {
  setObjectName("1007");
  plot_->setObjectName("chart-plot");
  // Tick labels with a point, as every other number of the console, in any locale.
  plot_->setLocale(QLocale::c());
  plot_->setToolTip(QString::fromUtf8(GraphExtras().hint.data(), static_cast<qsizetype>(GraphExtras().hint.size())));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(plot_);

  // Header of one blank line, then the legend, then the plot.
  plot_->plotLayout()->insertRow(0);
  header_ = new QCPTextElement(plot_, " ", QFont("Arial", 11, QFont::Bold));
  plot_->plotLayout()->addElement(0, 0, header_);
  plot_->axisRect()->insetLayout()->take(plot_->legend);
  plot_->plotLayout()->insertRow(1);
  plot_->plotLayout()->addElement(1, 0, plot_->legend);
  plot_->plotLayout()->setRowStretchFactor(1, 0.001);
  plot_->legend->setVisible(true);
  plot_->legend->setFillOrder(QCPLayoutGrid::foColumnsFirst);
  plot_->legend->setBorderPen(Qt::NoPen);
  plot_->legend->setMargins(QMargins(4, 0, 4, 0));

  QSharedPointer<QCPAxisTickerDateTime> ticker(new QCPAxisTickerDateTime);
  ticker->setDateTimeFormat("yyyy-MM-dd\nhh:mm:ss");
  ticker->setDateTimeSpec(Qt::UTC);
  ticker->setTickCount(5);
  plot_->xAxis->setTicker(ticker);
  // A value label sits centred on its tick, so the lowest one reaches half
  // a line below the plot; the time labels start below that, and the first
  // of them, at the left edge, never runs into it.
  const int half_line = QFontMetrics(plot_->yAxis->tickLabelFont()).height() / 2;
  plot_->xAxis->setTickLabelPadding(half_line + plot_->xAxis->tickLengthOut() + 3);
  plot_->yAxis->setRange(kEmptyValueLower, kEmptyValueUpper);
  home_time_lower_ = plot_->xAxis->range().lower;
  home_time_upper_ = plot_->xAxis->range().upper;

  // Wheel zooms and dragging pans, both axes; a double click anywhere in the
  // chart returns to the drawn span.
  plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  connect(plot_, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent*) { ResetView(); });

  for (int i = 0; i < kSeries; ++i) {
    QCPGraph* g = plot_->addGraph();
    g->setPen(QPen(kColours[i], 1));
    g->setLineStyle(QCPGraph::lsLine);
    g->setScatterStyle(QCPScatterStyle::ssNone);
    g->setAdaptiveSampling(true);  // points on one pixel column are thinned when drawn
    g->setName(" ");
    series_[static_cast<std::size_t>(i)] = g;
  }
  RebuildLegend();
}

void CTchart1::ClearSeries(int index) { series_.at(static_cast<std::size_t>(index))->data()->clear(); }

void CTchart1::SetSeriesTitle(int index, const QString& title) { series_.at(static_cast<std::size_t>(index))->setName(title); }

QString CTchart1::SeriesTitle(int index) const { return series_.at(static_cast<std::size_t>(index))->name(); }

void CTchart1::SetSeriesShown(int index, bool shown) {
  shown_.at(static_cast<std::size_t>(index)) = shown;
  series_[static_cast<std::size_t>(index)]->setVisible(shown);
  RebuildLegend();
}

bool CTchart1::SeriesShown(int index) const { return shown_.at(static_cast<std::size_t>(index)); }

void CTchart1::AddArrays(int index, int count, const double* values, const double* dates) {
  if (count <= 0) return;
  QVector<double> keys, ys;
  keys.reserve(count);
  ys.reserve(count);
  for (int n = 0; n < count; ++n) {
    if (!std::isfinite(dates[n])) continue;
    keys.push_back(OleToKey(dates[n]));
    ys.push_back(std::isfinite(values[n]) ? values[n] : std::nan(""));  // NaN: QCustomPlot leaves a gap
  }
  series_.at(static_cast<std::size_t>(index))->addData(keys, ys, true);
}

int CTchart1::PointCount(int index) const {
  const QCPGraph* g = series_.at(static_cast<std::size_t>(index));
  return static_cast<int>(std::count_if(g->data()->constBegin(), g->data()->constEnd(),
                                        [](const QCPGraphData& point) { return !std::isnan(point.value); }));
}

int CTchart1::PlotWidth() const {
  const int width = plot_->axisRect()->width();
  return plot_->isVisible() && width > 0 ? width : kDesignWidth;
}

void CTchart1::SetHeaderLine(int line, const QString& text) {
  if (line == 0) header_->setText(text);
}

QString CTchart1::Header() const { return header_->text(); }

void CTchart1::SetValueAxisAutomatic(bool automatic) { value_automatic_ = automatic; }

void CTchart1::SetValueAxisTitle(const QString& title) { plot_->yAxis->setLabel(title); }

void CTchart1::SetValueAxisWholeNumbers(bool whole) {
  if (whole) {
    QSharedPointer<QCPAxisTickerFixed> ticker(new QCPAxisTickerFixed);
    ticker->setTickStep(1.0);
    ticker->setScaleStrategy(QCPAxisTickerFixed::ssMultiples);  // 1, 2, 5, 10 ... percent apart
    ticker->setTickCount(6);
    plot_->yAxis->setTicker(ticker);
  } else {
    plot_->yAxis->setTicker(QSharedPointer<QCPAxisTicker>(new QCPAxisTicker));
  }
}

QString CTchart1::ValueAxisTitle() const { return plot_->yAxis->label(); }

void CTchart1::SetTimeAxisAutomatic(bool) {}

void CTchart1::SetTimeAxisRange(double start, double end) {
  if (!std::isfinite(start) || !std::isfinite(end) || end < start) return;
  double lower = OleToKey(start), upper = OleToKey(end);
  // QCustomPlot refuses an empty range and would keep the previous one.
  if (upper - lower < 1e-3) {
    lower -= kMomentHalfWidthSeconds;
    upper = lower + 2 * kMomentHalfWidthSeconds;
  }
  plot_->xAxis->setRange(lower, upper);
  home_time_lower_ = lower;
  home_time_upper_ = upper;
}

double CTchart1::TimeAxisStart() const { return KeyToOle(plot_->xAxis->range().lower); }
double CTchart1::TimeAxisEnd() const { return KeyToOle(plot_->xAxis->range().upper); }

void CTchart1::RebuildLegend() {
  plot_->legend->clearItems();
  for (int i = 0; i < kSeries; ++i) {
    if (shown_[static_cast<std::size_t>(i)]) series_[static_cast<std::size_t>(i)]->addToLegend();
  }
}

QStringList CTchart1::LegendTitles() const {
  QStringList titles;
  for (int i = 0; i < plot_->legend->itemCount(); ++i) {
    if (auto* item = qobject_cast<QCPPlottableLegendItem*>(plot_->legend->item(i))) titles << item->plottable()->name();
  }
  return titles;
}

void CTchart1::FitValueAxis() {
  bool found = false;
  double lower = 0, upper = 0;
  for (int i = 0; i < kSeries; ++i) {
    const std::size_t s = static_cast<std::size_t>(i);
    if (!shown_[s]) continue;
    for (const QCPGraphData& point : *series_[s]->data()) {
      if (!std::isfinite(point.value)) continue;
      lower = found ? std::min(lower, point.value) : point.value;
      upper = found ? std::max(upper, point.value) : point.value;
      found = true;
    }
  }
  if (found) {
    const double pad = std::max((upper - lower) * 0.05, 0.5);
    lower -= pad;
    upper += pad;
  }
  // No finite value, or values too far apart to scale: the neutral axis.
  if (!found || !std::isfinite(lower) || !std::isfinite(upper) || !QCPRange::validRange(lower, upper)) {
    lower = kEmptyValueLower;
    upper = kEmptyValueUpper;
  }
  plot_->yAxis->setRange(lower, upper);
  home_value_lower_ = lower;
  home_value_upper_ = upper;
}

void CTchart1::Replot() {
  RebuildLegend();
  if (value_automatic_) FitValueAxis();
  plot_->replot();
}

void CTchart1::ResetView() {
  plot_->xAxis->setRange(home_time_lower_, home_time_upper_);
  plot_->yAxis->setRange(home_value_lower_, home_value_upper_);
  plot_->replot();
}

bool CTchart1::SavePng(const QString& path) const {
  const bool laid_out = plot_->isVisible();
  return plot_->savePng(path, laid_out ? 0 : kDesignWidth, laid_out ? 0 : kDesignHeight);
}

bool CTchart1::SavePdf(const QString& path) const {
  const bool laid_out = plot_->isVisible();
  return plot_->savePdf(path, laid_out ? 0 : kDesignWidth, laid_out ? 0 : kDesignHeight, QCP::epAllowCosmetic,
                        QStringLiteral("Ombrix"), header_->text().trimmed());
}

bool CTchart1::SaveCsv(const QString& path) const {
  std::vector<std::size_t> columns;
  for (std::size_t s = 0; s < series_.size(); ++s) {
    if (shown_[s]) columns.push_back(s);
  }
  // One row per second that any shown series has a point at; the cells of
  // series without a point there stay empty. A series with two points in one
  // second gets a second row of that time rather than losing one.
  using Row = std::vector<std::optional<QString>>;
  std::map<qint64, std::vector<Row>> rows;
  for (std::size_t c = 0; c < columns.size(); ++c) {
    for (const QCPGraphData& point : *series_[columns[c]]->data()) {
      std::vector<Row>& same_time = rows[std::llround(point.key)];
      auto row = std::find_if(same_time.begin(), same_time.end(), [c](const Row& r) { return !r[c].has_value(); });
      if (row == same_time.end()) row = same_time.insert(same_time.end(), Row(columns.size()));
      (*row)[c] = CsvValue(point.value);
    }
  }
  const QString unit = plot_->yAxis->label().trimmed();
  QString text = QStringLiteral("time");
  for (const std::size_t s : columns) {
    const QString title = series_[s]->name().trimmed();
    text += QLatin1Char(',') + CsvField(unit.isEmpty() ? title : title + QLatin1Char(' ') + unit);
  }
  text += QLatin1Char('\n');
  for (const auto& [second, same_time] : rows) {
    const QString time = CsvTime(KeyToOle(static_cast<double>(second)));
    for (const Row& row : same_time) {
      text += time;
      for (const std::optional<QString>& cell : row) text += QLatin1Char(',') + cell.value_or(QString());
      text += QLatin1Char('\n');
    }
  }
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return false;
  const QByteArray bytes = text.toUtf8();
  if (file.write(bytes) != bytes.size()) {
    file.cancelWriting();
    return false;
  }
  return file.commit();
}

}  // namespace norvo
