#include "TrendsWindow.h"

#include "report/ReportFile.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeEdit>
#include <QFileDialog>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QTableWidget>
#include <QThreadPool>
#include <QTimer>
#include <QVBoxLayout>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <qcustomplot.h>

#include "device/Blocks.h"
#include "device/Encodings.h"
#include "monitor/Format.h"
#include "res/Strings.h"

namespace norvo {
namespace {

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

constexpr std::array<QRgb, kLiveChannels> kColours = {0xd62728, 0x1f77b4, 0x2ca02c, 0xff7f0e,
                                                       0x9467bd, 0x8c564b, 0xe377c2, 0x17becf};
constexpr std::int64_t kSpanSeconds[] = {3600, 86400, 7 * 86400, 30 * 86400, 365 * 86400};

std::int64_t Now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

QString ShownTime(std::int64_t t) { return QDateTime::fromSecsSinceEpoch(t).toString("yyyy-MM-dd HH:mm:ss"); }

// Runs work on the thread pool and done(result) on the user-interface
// thread, unless the window is gone by then.
template <typename Work, typename Done>
void OffThread(QObject* window, Work work, Done done) {
  QPointer<QObject> guard(window);
  QThreadPool::globalInstance()->start([guard, work = std::move(work), done = std::move(done)]() mutable {
    auto result = work();
    QMetaObject::invokeMethod(
        qApp, [guard, done = std::move(done), result = std::move(result)]() mutable {
          if (guard) done(std::move(result));
        },
        Qt::QueuedConnection);
  });
}

}  // namespace

TrendsWindow::TrendsWindow(std::vector<std::string> databases, QWidget* parent)
    : QWidget(parent, Qt::Window), databases_(std::move(databases)) {
  const TrendsTexts& t = Trends();
  setWindowTitle(Q(t.trends));
  setObjectName("trends-window");
  resize(900, 640);

  QGridLayout* controls = BuildControls();
  BuildChart();
  note_ = new QLabel(this);
  note_->setObjectName("note");
  BuildFigures();

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(controls);
  layout->addWidget(plot_, 1);
  layout->addWidget(note_);
  layout->addWidget(table_);

  WireSignals();

  span_->setCurrentIndex(k24Hours);
  SpanChanged();
  RefreshUnits();
}

QGridLayout* TrendsWindow::BuildControls() {
  const TrendsTexts& t = Trends();
  auto* controls = new QGridLayout;
  unit_ = new QComboBox(this);
  unit_->setObjectName("unit");
  unit_->setMinimumContentsLength(16);
  quantity_ = new QComboBox(this);
  quantity_->setObjectName("quantity");
  for (const int id : {ui::kTemperature, ui::kHumidity, ui::kDewPoint}) quantity_->addItem(Q(UIString(id)));
  span_ = new QComboBox(this);
  span_->setObjectName("span");
  for (const std::string_view s : t.spans) span_->addItem(Q(s));
  start_ = new QDateTimeEdit(this);
  end_ = new QDateTimeEdit(this);
  start_->setObjectName("start");
  end_->setObjectName("end");
  for (QDateTimeEdit* e : {start_, end_}) {
    e->setDisplayFormat("yyyy-MM-dd HH:mm");
    e->setCalendarPopup(true);
  }
  controls->addWidget(new QLabel(Q(t.unit), this), 0, 0);
  controls->addWidget(unit_, 0, 1);
  controls->addWidget(new QLabel(Q(t.quantity), this), 0, 2);
  controls->addWidget(quantity_, 0, 3);
  controls->addWidget(new QLabel(Q(t.span), this), 0, 4);
  controls->addWidget(span_, 0, 5);
  controls->addWidget(new QLabel(Q(UIString(ui::kStartTime)), this), 1, 4);
  controls->addWidget(start_, 1, 5);
  controls->addWidget(new QLabel(Q(UIString(ui::kEndTime)), this), 1, 6);
  controls->addWidget(end_, 1, 7);
  controls->addLayout(BuildChannelRow(), 2, 0, 1, 8);
  return controls;
}

// The channel boxes, each in its line's colour, and the button row.
QHBoxLayout* TrendsWindow::BuildChannelRow() {
  const TrendsTexts& t = Trends();
  auto* boxes = new QHBoxLayout;
  boxes->addWidget(new QLabel(Q(t.channels), this));
  for (int k = 0; k < kLiveChannels; ++k) {
    auto* box = new QCheckBox(QString("CH%1").arg(k + 1), this);
    box->setObjectName(QString("ch%1").arg(k + 1));
    box->setChecked(k == 0);
    QPalette p = box->palette();
    p.setColor(QPalette::WindowText, QColor(kColours[static_cast<std::size_t>(k)]));
    box->setPalette(p);
    channels_[static_cast<std::size_t>(k)] = box;
    boxes->addWidget(box);
  }
  boxes->addStretch(1);
  buttons_ = new QHBoxLayout;
  save_ = new QPushButton(Q(UIString(ui::kSave)), this);
  save_->setObjectName("save");
  buttons_->addWidget(save_);
  report_ = new QPushButton(Q(t.report), this);
  report_->setObjectName("report");
  buttons_->addWidget(report_);
  boxes->addLayout(buttons_);
  return boxes;
}

void TrendsWindow::BuildChart() {
  plot_ = new QCustomPlot(this);
  plot_->setObjectName("trends-chart");
  plot_->setMinimumHeight(300);
  QSharedPointer<QCPAxisTickerDateTime> ticker(new QCPAxisTickerDateTime);
  ticker->setDateTimeFormat("yyyy-MM-dd\nHH:mm");  // as the table below gives times
  ticker->setTickCount(8);
  plot_->xAxis->setTicker(ticker);
  plot_->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
  plot_->axisRect()->setRangeDrag(Qt::Horizontal);
  plot_->axisRect()->setRangeZoom(Qt::Horizontal);
  plot_->setToolTip(Q(GraphExtras().hint));
  for (int k = 0; k < kLiveChannels; ++k) {
    const QColor colour(kColours[static_cast<std::size_t>(k)]);
    QCPGraph* line = plot_->addGraph();
    line->setPen(QPen(colour, 1.5));
    QCPGraph* low = plot_->addGraph();
    QCPGraph* high = plot_->addGraph();
    QColor band = colour;
    band.setAlpha(50);
    low->setPen(Qt::NoPen);
    high->setPen(Qt::NoPen);
    high->setBrush(band);
    high->setChannelFillGraph(low);
    // A faint band needs no smoothed edge: filled with one, a month of
    // hourly bands took four times as long to draw.
    high->setAntialiasedFill(false);
  }
  // One polyline per line rather than a segment at a time: a third of the
  // drawing time for a month of eight channels, with the same look.
  plot_->setPlottingHint(QCP::phFastPolylines, true);
}

void TrendsWindow::BuildFigures() {
  const TrendsTexts& t = Trends();
  table_ = new QTableWidget(0, 7, this);
  table_->setObjectName("figures");
  table_->setHorizontalHeaderLabels({Q(t.channel), Q(t.minimum), Q(t.at), Q(t.maximum), Q(t.at), Q(t.mean), Q(t.count)});
  table_->verticalHeader()->hide();
  table_->horizontalHeader()->setSectionResizeMode(QHeaderView::ResizeToContents);
  table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  table_->setMaximumHeight(130);
}

void TrendsWindow::WireSignals() {
  for (QCheckBox* box : channels_) connect(box, &QCheckBox::toggled, this, [this] { Query(); });
  requery_ = new QTimer(this);
  requery_->setSingleShot(true);
  requery_->setInterval(200);
  connect(requery_, &QTimer::timeout, this, [this] {
    QueryRange(static_cast<std::int64_t>(std::floor(plot_->xAxis->range().lower)),
               static_cast<std::int64_t>(std::ceil(plot_->xAxis->range().upper)));
  });
  connect(plot_->xAxis, qOverload<const QCPRange&>(&QCPAxis::rangeChanged), this, [this] {
    if (!drawing_) requery_->start();
  });
  connect(plot_, &QCustomPlot::mouseDoubleClick, this, [this](QMouseEvent*) { QueryRange(from_, to_); });
  connect(unit_, &QComboBox::currentIndexChanged, this, [this] { Query(); });
  connect(quantity_, &QComboBox::currentIndexChanged, this, [this] { Query(); });
  connect(span_, &QComboBox::currentIndexChanged, this, &TrendsWindow::SpanChanged);
  connect(start_, &QDateTimeEdit::dateTimeChanged, this, [this] {
    if (span_->currentIndex() == kCustom) Query();
  });
  connect(end_, &QDateTimeEdit::dateTimeChanged, this, [this] {
    if (span_->currentIndex() == kCustom) Query();
  });
  connect(save_, &QPushButton::clicked, this, &TrendsWindow::AskSave);
  connect(report_, &QPushButton::clicked, this, &TrendsWindow::AskReport);
}

TrendsWindow::~TrendsWindow() = default;

void TrendsWindow::SetUnit(const std::string& name) {
  wanted_unit_ = name;
  const int at = unit_->findText(QString::fromStdString(name));
  if (at >= 0) unit_->setCurrentIndex(at);
}

void TrendsWindow::RefreshUnits() {
  ++pending_;
  OffThread(this, [dbs = databases_] { return trends::RecordedUnits(dbs); },
            [this](std::vector<std::string> units) {
              --pending_;
              const QString current = unit_->currentText();
              QSignalBlocker block(unit_);
              unit_->clear();
              for (const std::string& u : units) unit_->addItem(QString::fromStdString(u));
              int at = unit_->findText(QString::fromStdString(wanted_unit_));
              if (at < 0) at = unit_->findText(current);
              unit_->setCurrentIndex(at < 0 ? 0 : at);
              if (units.empty()) note_->setText(Q(Trends().no_store));
              Query();
            });
}

void TrendsWindow::SpanChanged() {
  const bool custom = span_->currentIndex() == kCustom;
  start_->setEnabled(custom);
  end_->setEnabled(custom);
  Query();
}

void TrendsWindow::SetSpan(Span span) { span_->setCurrentIndex(span); }

void TrendsWindow::SetCustomSpan(std::int64_t from, std::int64_t to) {
  QSignalBlocker a(start_), b(end_);
  start_->setDateTime(QDateTime::fromSecsSinceEpoch(from));
  end_->setDateTime(QDateTime::fromSecsSinceEpoch(to));
  if (span_->currentIndex() == kCustom) Query();
  else span_->setCurrentIndex(kCustom);
}

void TrendsWindow::SetQuantity(LiveQuantity quantity) { quantity_->setCurrentIndex(static_cast<int>(quantity)); }

void TrendsWindow::SetChannel(int channel, bool shown) { channels_[static_cast<std::size_t>(channel - 1)]->setChecked(shown); }

trends::Request TrendsWindow::MakeRequest(std::int64_t from, std::int64_t to) const {
  trends::Request r;
  for (const std::string& db : databases_) {
    if (std::filesystem::exists(db)) r.databases.push_back(db);
  }
  r.unit = unit_->currentText().toStdString();
  r.quantity = static_cast<LiveQuantity>(quantity_->currentIndex());
  for (std::size_t k = 0; k < kLiveChannels; ++k) r.channels[k] = channels_[k]->isChecked();
  r.from = from;
  r.to = to;
  r.width = std::max(100, plot_->axisRect()->width() > 10 ? plot_->axisRect()->width() : plot_->width() - 80);
  return r;
}

void TrendsWindow::Query() {
  const int span = span_->currentIndex();
  if (span == kCustom) {
    from_ = start_->dateTime().toSecsSinceEpoch();
    to_ = end_->dateTime().toSecsSinceEpoch();
  } else if (span != kAll) {
    to_ = Now() + 1;
    from_ = to_ - kSpanSeconds[span];
  }
  if (span != kAll) {
    if (span != kCustom) ShowSpanTimes();
    QueryRange(from_, to_);
    return;
  }
  // All: the unit's first and last poll over every store, found off the window's thread.
  const std::uint64_t generation = ++*generation_;
  ++pending_;
  OffThread(this, [dbs = MakeRequest(0, 0).databases, unit = unit_->currentText().toStdString()] {
    std::pair<std::int64_t, std::int64_t> extent;
    trends::RecordedExtent(dbs, unit, &extent.first, &extent.second);
    return extent;
  }, [this, generation](std::pair<std::int64_t, std::int64_t> extent) {
    --pending_;
    if (generation != generation_->load()) return;  // another span was chosen meanwhile
    from_ = extent.first ? extent.first : Now() - 3600;
    to_ = extent.second ? extent.second + 1 : Now() + 1;
    if (to_ - from_ < 600) from_ = to_ - 600;
    ShowSpanTimes();
    QueryRange(from_, to_);
  });
}

// The pickers show the span a fixed choice stands for.
void TrendsWindow::ShowSpanTimes() {
  QSignalBlocker a(start_), b(end_);
  start_->setDateTime(QDateTime::fromSecsSinceEpoch(from_));
  end_->setDateTime(QDateTime::fromSecsSinceEpoch(to_));
}

void TrendsWindow::QueryRange(std::int64_t from, std::int64_t to) {
  if (to <= from) to = from + 1;
  const trends::Request request = MakeRequest(from, to);
  const std::uint64_t generation = ++*generation_;
  ++pending_;
  note_->setText(Q(Trends().reading));
  OffThread(this, [request, generation, latest = generation_] {
    // A newer request makes this one's work pointless.
    return generation == latest->load() ? trends::Run(request) : trends::Result{};
  }, [this, generation, from, to](trends::Result result) {
    --pending_;
    if (generation != generation_->load()) return;
    Show(result, from, to);
  });
}

double TrendsWindow::Display(double value) const {
  if (!fahrenheit_ || quantity_->currentIndex() == static_cast<int>(LiveQuantity::kHumidity)) return value;
  return value * 9.0 / 5.0 + 32.0;
}

void TrendsWindow::Show(const trends::Result& result, std::int64_t from, std::int64_t to) {
  drawing_ = true;
  shown_from_ = from;
  shown_to_ = to;
  bands_ = result.alarms;
  double low = 1e300, high = -1e300;
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    const trends::Series& s = result.series[k];
    const auto values = [&](const std::vector<double>& v) {
      QVector<double> out;
      out.reserve(static_cast<qsizetype>(v.size()));
      for (const double x : v) {
        out.push_back(Display(x));
        if (std::isfinite(x)) {
          low = std::min(low, Display(x));
          high = std::max(high, Display(x));
        }
      }
      return out;
    };
    const QVector<double> x(s.x.begin(), s.x.end());
    QCPGraph* line = plot_->graph(static_cast<int>(3 * k));
    line->setData(x, values(s.value), true);
    if (s.low.empty()) {
      plot_->graph(static_cast<int>(3 * k + 1))->data()->clear();
      plot_->graph(static_cast<int>(3 * k + 2))->data()->clear();
    } else {
      plot_->graph(static_cast<int>(3 * k + 1))->setData(x, values(s.low), true);
      plot_->graph(static_cast<int>(3 * k + 2))->setData(x, values(s.high), true);
    }
  }
  plot_->xAxis->setRange(static_cast<double>(from), static_cast<double>(to));
  if (low > high) {
    low = 0;
    high = 100;
  }
  const double pad = std::max(0.5, (high - low) * 0.08);
  plot_->yAxis->setRange(low - pad, high + pad);
  const bool humidity = quantity_->currentIndex() == static_cast<int>(LiveQuantity::kHumidity);
  plot_->yAxis->setLabel(humidity ? "%" : (fahrenheit_ ? "\u00B0F" : "\u00B0C"));
  DrawLimits();
  plot_->replot();
  FillTable(result);
  bool any = false;
  for (const LiveStats& s : result.stats) any = any || s.count > 0;
  note_->setText(!result.error.empty() ? QString::fromStdString(result.error) : (any ? QString() : Q(Trends().no_readings)));
  drawing_ = false;
  emit Drawn();
  emit ViewChanged();
}

void TrendsWindow::FillTable(const trends::Result& result) {
  const bool humidity = quantity_->currentIndex() == static_cast<int>(LiveQuantity::kHumidity);
  const double scale = humidity ? 1.0 : 10.0;
  const QString sign = humidity ? " %" : (fahrenheit_ ? " \u00B0F" : " \u00B0C");
  const auto number = [&](double v) { return QString::number(Display(v / scale), 'f', humidity ? 0 : 1) + sign; };
  table_->setRowCount(0);
  for (std::size_t k = 0; k < kLiveChannels; ++k) {
    if (!channels_[k]->isChecked()) continue;
    const LiveStats& s = result.stats[k];
    const int row = table_->rowCount();
    table_->insertRow(row);
    const QStringList cells = {QString("CH%1").arg(k + 1),
                               s.count ? number(s.min) : "--",
                               s.count ? ShownTime(s.min_time) : "",
                               s.count ? number(s.max) : "--",
                               s.count ? ShownTime(s.max_time) : "",
                               s.count ? QString::number(Display(s.Mean() / scale), 'f', humidity ? 1 : 2) + sign : "--",
                               QString::number(s.count)};
    for (int c = 0; c < cells.size(); ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      if (c == 0) item->setForeground(QColor(kColours[k]));
      table_->setItem(row, c, item);
    }
  }
}

void TrendsWindow::OnPoll(const PollSnapshot& snapshot, int unit_flag) {
  const bool fahrenheit = unit_flag != 0;
  const bool changed = fahrenheit != fahrenheit_;
  fahrenheit_ = fahrenheit;
  if (snapshot.alarms_read) {
    limits_ = snapshot;
    has_limits_ = true;
  }
  // The short spans follow the polls: the chart's end is now.
  const int span = span_->currentIndex();
  const bool following = (span == k1Hour || span == k24Hours) && shown_to_ >= to_;
  if (following || changed) Query();
  else if (has_limits_) {
    DrawLimits();
    plot_->replot();
  }
}

void TrendsWindow::DrawLimits() {
  plot_->clearItems();
  // The recorded alarms as bands behind the lines, over the plot's height.
  for (const trends::AlarmBand& b : bands_) {
    const auto k = static_cast<std::size_t>(b.channel - 1);
    if (!channels_[k]->isChecked()) continue;
    auto* band = new QCPItemRect(plot_);
    band->setObjectName("alarm-band");
    band->setLayer("grid");
    band->topLeft->setTypeY(QCPItemPosition::ptAxisRectRatio);
    band->bottomRight->setTypeY(QCPItemPosition::ptAxisRectRatio);
    band->topLeft->setCoords(b.start, 0);
    band->bottomRight->setCoords(b.end > 0 ? b.end : static_cast<double>(shown_to_), 1);
    QColor fill(kColours[k]);
    fill.setAlpha(45);
    band->setBrush(fill);
    band->setPen(Qt::NoPen);
  }
  if (!has_limits_) return;
  const auto q = static_cast<LiveQuantity>(quantity_->currentIndex());
  if (q == LiveQuantity::kDewPoint) return;
  const Payload& a = limits_.alarm_a;
  const bool temperature = q == LiveQuantity::kTemperature;
  // The switch byte: 0 on, 1 off.
  if (a[temperature ? alarm_a::kTemperatureSwitch : alarm_a::kHumiditySwitch] != 0) return;
  for (int c = 1; c <= kLiveChannels; ++c) {
    if (!channels_[static_cast<std::size_t>(c - 1)]->isChecked()) continue;
    const unsigned bit = 1u << (c - 1);
    for (int side = 0; side < 2; ++side) {
      const std::size_t enable = temperature ? (side == 0 ? alarm_a::kTemperatureHigh : alarm_a::kTemperatureLow)
                                             : (side == 0 ? alarm_a::kHumidityHigh : alarm_a::kHumidityLow);
      if (!(a[enable] & bit)) continue;
      double value = 0;
      if (temperature) {
        const std::size_t at = side == 0 ? alarm_limits::TemperatureHighAt(c) : alarm_limits::TemperatureLowAt(c);
        const float v = DecodeTemperatureWord(limits_.alarm_c[at], limits_.alarm_c[at + 1]);
        if (v == kInvalidTemperature) continue;
        value = Display(v);
      } else {
        const std::int32_t v = DecodeHumidityByte(limits_.alarm_d[side == 0 ? alarm_limits::HumidityHighAt(c) : alarm_limits::HumidityLowAt(c)]);
        if (v == kInvalidHumidity) continue;
        value = v;
      }
      auto* line = new QCPItemStraightLine(plot_);
      line->point1->setCoords(0, value);
      line->point2->setCoords(1, value);
      line->setPen(QPen(QColor(kColours[static_cast<std::size_t>(c - 1)]), 1, Qt::DashLine));
      auto* label = new QCPItemText(plot_);
      label->position->setTypeX(QCPItemPosition::ptAxisRectRatio);
      label->position->setCoords(0.99, value);
      label->setPositionAlignment(Qt::AlignRight | Qt::AlignBottom);
      label->setColor(QColor(kColours[static_cast<std::size_t>(c - 1)]));
      label->setText(Q(Trends().limit).arg(c).arg(Q(UIString(side == 0 ? ui::kHigh : ui::kLow))));
      if (value > plot_->yAxis->range().upper) plot_->yAxis->setRangeUpper(value + 1);
      if (value < plot_->yAxis->range().lower) plot_->yAxis->setRangeLower(value - 1);
    }
  }
}

TrendsView TrendsWindow::View() const {
  TrendsView v;
  v.unit = unit_->currentText().toStdString();
  v.quantity = static_cast<LiveQuantity>(quantity_->currentIndex());
  v.from = shown_from_;
  v.to = shown_to_;
  for (int k = 1; k <= kLiveChannels; ++k) {
    if (channels_[static_cast<std::size_t>(k - 1)]->isChecked()) v.channels.push_back(k);
  }
  return v;
}

bool TrendsWindow::SaveTo(const QString& path) {
  const QString lower = path.toLower();
  if (lower.endsWith(".png")) return plot_->savePng(path);
  if (lower.endsWith(".pdf")) return plot_->savePdf(path);
  if (!lower.endsWith(".csv")) return false;
  ++pending_;
  OffThread(this, [request = MakeRequest(shown_from_, shown_to_), path = path.toStdString(), f = fahrenheit_] {
    std::string error;
    return trends::WriteCsv(request, path, f, &error);
  }, [this, path](bool ok) {
    --pending_;
    if (!ok) QMessageBox::warning(this, windowTitle(), Q(GraphExtras().write_error) + "\n" + path);
    emit Saved(ok, path);
  });
  return true;
}

void TrendsWindow::AskSave() {
  const GraphTexts& g = GraphExtras();
  QString filter;
  const QString path = QFileDialog::getSaveFileName(this, Q(UIString(ui::kSave)), QString(),
                                                    Q(g.png_filter) + ";;" + Q(g.pdf_filter) + ";;" + Q(g.csv_filter), &filter);
  if (path.isEmpty()) return;
  QString file = path;
  if (!file.contains('.')) file += filter.contains("pdf") ? ".pdf" : filter.contains("csv") ? ".csv" : ".png";
  if (!SaveTo(file) && !file.toLower().endsWith(".csv")) {
    QMessageBox::warning(this, windowTitle(), Q(g.write_error) + "\n" + file);
  }
}

void TrendsWindow::AskReport() {
  const GraphTexts& g = GraphExtras();
  QString filter;
  const QString path = QFileDialog::getSaveFileName(this, Q(Trends().report), QString(),
                                                    Q(g.pdf_filter) + ";;" + Q(g.csv_filter) + ";;" + Q(Trends().json_filter),
                                                    &filter);
  if (path.isEmpty()) return;
  QString file = path;
  if (!file.contains('.')) file += filter.contains("csv") ? ".csv" : filter.contains("json") ? ".json" : ".pdf";
  ReportTo(file);
}

void TrendsWindow::ReportTo(const QString& path) {
  const TrendsView view = View();
  ReportRequest request;
  request.from = static_cast<double>(view.from);
  request.to = static_cast<double>(view.to);
  request.unit = view.unit;
  request.channels = view.channels;
  request.output = path.toStdString();
  report_->setEnabled(false);
  OffThread(this, [request, databases = databases_]() mutable {
    // The first store that holds the unit's polls in the span (the
    // console's own, else the logger's).
    ReportResult last;
    last.status = ReportResult::kStoreError;
    for (const std::string& database : databases) {
      if (!std::filesystem::exists(database)) continue;
      request.database = database;
      last = MakeReport(request);
      if (last.status != ReportResult::kOk || !last.report.units.empty()) break;
    }
    return last;
  }, [this, path](ReportResult result) {
    report_->setEnabled(true);
    const bool ok = result.status == ReportResult::kOk;
    const QString message = ok ? path : QString::fromStdString(result.message);
    emit Reported(ok, message);
    if (!isVisible()) return;
    // Not modal: the chart stays in use while the box says how it went.
    auto* box = new QMessageBox(ok ? QMessageBox::Information : QMessageBox::Warning, windowTitle(),
                                ok ? Q(Trends().report_done) + "\n" + path : Q(GraphExtras().write_error) + "\n" + message,
                                QMessageBox::Ok, this);
    box->setObjectName("report-result");
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
  });
}

}  // namespace norvo
