#include "Chart.h"

#include <qcustomplot.h>

#include <QVBoxLayout>

namespace norvo {
namespace {

// 1970-01-01 as an OLE Automation date.
constexpr double kUnixEpochOle = 25569.0;

const QColor kColours[CTchart1::kSeries] = {QColor(255, 0, 0), QColor(0, 128, 0), QColor(0, 128, 255),
                                            QColor(255, 128, 0)};

}  // namespace

double OleToKey(double ole_date) { return (ole_date - kUnixEpochOle) * 86400.0; }
double KeyToOle(double key) { return key / 86400.0 + kUnixEpochOle; }

CTchart1::CTchart1(QWidget* parent) : QWidget(parent), plot_(new QCustomPlot(this)) {
  setObjectName("1007");
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
  QVector<double> keys(count), ys(count);
  for (int n = 0; n < count; ++n) {
    keys[n] = OleToKey(dates[n]);
    ys[n] = values[n];
  }
  series_.at(static_cast<std::size_t>(index))->addData(keys, ys, true);
}

int CTchart1::PointCount(int index) const { return series_.at(static_cast<std::size_t>(index))->dataCount(); }

void CTchart1::SetHeaderLine(int line, const QString& text) {
  if (line == 0) header_->setText(text);
}

QString CTchart1::Header() const { return header_->text(); }

void CTchart1::SetValueAxisAutomatic(bool automatic) { value_automatic_ = automatic; }

void CTchart1::SetValueAxisTitle(const QString& title) { plot_->yAxis->setLabel(title); }

QString CTchart1::ValueAxisTitle() const { return plot_->yAxis->label(); }

void CTchart1::SetTimeAxisAutomatic(bool) {}

void CTchart1::SetTimeAxisRange(double start, double end) { plot_->xAxis->setRange(OleToKey(start), OleToKey(end)); }

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

void CTchart1::Replot() {
  RebuildLegend();
  if (value_automatic_) {
    bool found = false;
    QCPRange range;
    for (int i = 0; i < kSeries; ++i) {
      const std::size_t s = static_cast<std::size_t>(i);
      if (!shown_[s] || series_[s]->dataCount() == 0) continue;
      bool ok = false;
      const QCPRange r = series_[s]->getValueRange(ok);
      if (!ok) continue;
      range = found ? QCPRange(std::min(range.lower, r.lower), std::max(range.upper, r.upper)) : r;
      found = true;
    }
    if (found) {
      const double pad = std::max((range.upper - range.lower) * 0.05, 0.5);
      plot_->yAxis->setRange(range.lower - pad, range.upper + pad);
    }
  }
  plot_->replot();
}

}  // namespace norvo
