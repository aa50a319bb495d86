// The report as a PDF on A4: a page per unit with its facts and figures, a
// page with the charts of temperature and humidity, the excursions; every
// page with its number and the time the report was made.

#include <QFont>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPainterPath>
#include <QPdfWriter>
#include <algorithm>
#include <cmath>
#include <functional>
#include <memory>

#include "ReportFile.h"
#include "device/Encodings.h"
#include "res/Strings.h"

namespace norvo {
namespace {

QString Q(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

QString Fill(std::string_view pattern, const QString& one, const QString& two = QString()) {
  QString out = Q(pattern);
  out.replace("%1", one);
  out.replace("%2", two);
  return out;
}

QString LocalText(double unix_seconds, const char* format = "%Y-%m-%d %H:%M:%S") {
  return QString::fromStdString(LocalTimeText(unix_seconds, format));
}

QString Value(AlarmQuantity q, double v) {
  return q == AlarmQuantity::kTemperature ? Q(FixedText(v, 1)) + " \u00B0C" : Q(FixedText(v, 0)) + " %";
}

const QColor kChannelColours[] = {QColor(31, 119, 180), QColor(255, 127, 14), QColor(44, 160, 44),
                                  QColor(214, 39, 40),  QColor(148, 103, 189), QColor(140, 86, 75),
                                  QColor(227, 119, 194), QColor(90, 90, 90)};

// Lays out top to bottom in millimetres; the first pass only counts pages.
class Pages {
 public:
  Pages(QPdfWriter* writer, QPainter* painter, const Report& report, int total)
      : writer_(writer), p_(painter), report_(report), total_(total) {
    if (p_) {
      const double dpmm = writer_->resolution() / 25.4;
      p_->scale(dpmm, dpmm);  // millimetres from here on
    }
    page_ = 1;
    y_ = kTop;
  }
  int Count() const { return page_; }
  double Width() const { return kWidth; }
  double Y() const { return y_; }
  void Skip(double mm) { y_ += mm; }

  void NewPage() {
    Footer();
    if (p_) writer_->newPage();
    ++page_;
    y_ = kTop;
  }
  void Need(double mm) {
    if (y_ + mm > kBottom) NewPage();
  }
  void Finish() { Footer(); }

  // A line of text; bold and size in points.
  void Text(const QString& text, double size = 9, bool bold = false, double x = 0, double width = -1,
            Qt::Alignment align = Qt::AlignLeft) {
    const double h = size * 0.3528 * 1.45;
    Need(h);
    if (p_) {
      Font(size, bold);
      p_->drawText(QRectF(kLeft + x, y_, width < 0 ? kWidth - x : width, h), align | Qt::AlignVCenter, text);
    }
    y_ += h;
  }
  // A row of cells at the given column starts (mm from the left margin).
  void Row(const std::vector<QString>& cells, const std::vector<double>& columns, double size = 8, bool bold = false) {
    const double h = size * 0.3528 * 1.5;
    Need(h);
    if (p_) {
      Font(size, bold);
      for (std::size_t i = 0; i < cells.size() && i < columns.size(); ++i) {
        const double right = i + 1 < columns.size() ? columns[i + 1] : kWidth;
        p_->drawText(QRectF(kLeft + columns[i], y_, right - columns[i] - 1, h), Qt::AlignLeft | Qt::AlignVCenter,
                     cells[i]);
      }
      if (bold) {
        p_->setPen(QPen(Qt::black, 0.2));
        p_->drawLine(QPointF(kLeft, y_ + h), QPointF(kLeft + kWidth, y_ + h));
      }
    }
    y_ += h;
  }
  // A block of the given height drawn by `draw` in a rectangle (mm).
  void Block(double height, const std::function<void(QPainter&, const QRectF&)>& draw) {
    Need(height);
    if (p_) draw(*p_, QRectF(kLeft, y_, kWidth, height));
    y_ += height;
  }

  static constexpr double kLeft = 15, kTop = 15, kWidth = 180, kBottom = 297 - 22;
  // A font's points are turned into device pixels at the writer's 300 dpi
  // and then scaled again by the millimetre transform: divided out here.
  static constexpr double kFontScale = 25.4 / 300;

 private:
  void Font(double size, bool bold) {
    QFont f("Liberation Sans");
    f.setPointSizeF(size * kFontScale);
    f.setBold(bold);
    p_->setFont(f);
    p_->setPen(Qt::black);
  }
  void Footer() {
    if (!p_) return;
    QFont f("Liberation Sans");
    f.setPointSizeF(7 * kFontScale);
    p_->setFont(f);
    p_->setPen(Qt::darkGray);
    const QRectF band(kLeft, 297 - 15, kWidth, 5);
    p_->drawText(band, Qt::AlignLeft | Qt::AlignVCenter,
                 Fill(ReportExtras().made, LocalText(report_.made)));
    p_->drawText(band, Qt::AlignRight | Qt::AlignVCenter,
                 Fill(ReportExtras().page, QString::number(page_), QString::number(total_)));
  }

  QPdfWriter* writer_;
  QPainter* p_;
  const Report& report_;
  int total_;
  int page_ = 1;
  double y_ = kTop;
};

// The value range of a quantity's chart: every channel's readings and limits,
// at least one unit wide, with a margin of 5 % each way. Empty (lo > hi)
// when no channel has a reading.
std::pair<double, double> ValueRange(const UnitReport& unit, std::size_t qi) {
  double lo = 1e300, hi = -1e300;
  for (const ChannelFigures& c : unit.channels) {
    const QuantityFigures& f = c.quantity[qi];
    if (!f.count) continue;
    lo = std::min(lo, f.min);
    hi = std::max(hi, f.max);
    for (const auto& limit : f.limit) {
      if (limit) {
        lo = std::min(lo, *limit);
        hi = std::max(hi, *limit);
      }
    }
  }
  if (lo > hi) return {lo, hi};
  if (hi - lo < 1) {
    lo -= 0.5;
    hi += 0.5;
  }
  const double pad = (hi - lo) * 0.05;
  return {lo - pad, hi + pad};
}

// A chart's plot area and its mapping of time and value to the page.
struct ChartFrame {
  QRectF plot;
  double from, to, lo, hi;
  double X(double time) const { return plot.left() + (time - from) / (to - from) * plot.width(); }
  double Y(double v) const { return plot.bottom() - (v - lo) / (hi - lo) * plot.height(); }
};

// Value axis: five steps; time axis: the span's start, middle and end.
void DrawAxes(QPainter& p, const QRectF& box, const ChartFrame& c, AlarmQuantity q) {
  p.setPen(QPen(QColor(200, 200, 200), 0.15));
  for (int i = 0; i <= 5; ++i) {
    const double v = c.lo + (c.hi - c.lo) * i / 5;
    p.drawLine(QPointF(c.plot.left(), c.Y(v)), QPointF(c.plot.right(), c.Y(v)));
    p.setPen(Qt::black);
    p.drawText(QRectF(box.left(), c.Y(v) - 2, 11, 4), Qt::AlignRight | Qt::AlignVCenter,
               Q(FixedText(v, q == AlarmQuantity::kTemperature ? 1 : 0)));
    p.setPen(QPen(QColor(200, 200, 200), 0.15));
  }
  p.setPen(Qt::black);
  for (int i = 0; i <= 2; ++i) {
    const double time = c.from + (c.to - c.from) * i / 2;
    const Qt::Alignment a = i == 0 ? Qt::AlignLeft : i == 1 ? Qt::AlignHCenter : Qt::AlignRight;
    const double x = c.X(time);
    p.drawText(QRectF(i == 0 ? x : i == 1 ? x - 20 : x - 40, c.plot.bottom() + 1, 40, 4), a | Qt::AlignTop,
               LocalText(time, "%Y-%m-%d %H:%M"));
  }
}

// Each channel's limits as dashed lines and its readings in its colour.
void DrawSeries(QPainter& p, const ChartFrame& c, const UnitReport& unit, std::size_t qi) {
  p.save();
  p.setClipRect(c.plot);
  for (const ChannelFigures& channel : unit.channels) {
    const QuantityFigures& fig = channel.quantity[qi];
    const QColor colour = kChannelColours[(channel.channel - 1) % 8];
    for (const auto& limit : fig.limit) {
      if (!limit) continue;
      QPen pen(colour, 0.3, Qt::DashLine);
      p.setPen(pen);
      p.drawLine(QPointF(c.plot.left(), c.Y(*limit)), QPointF(c.plot.right(), c.Y(*limit)));
    }
    // Each bucket's lowest and highest reading; neighbouring buckets joined,
    // an empty bucket leaves a gap.
    QPainterPath path;
    bool open = false;
    for (const auto& column : fig.chart) {
      if (!column) {
        open = false;
        continue;
      }
      const double x = c.X(column->time);
      if (!open) {
        path.moveTo(x, c.Y(column->max));
      } else {
        path.lineTo(x, c.Y(column->max));
      }
      path.lineTo(x, c.Y(column->min));
      open = true;
    }
    p.setPen(QPen(colour, 0.3));
    p.drawPath(path);
  }
  p.restore();
}

void DrawLegend(QPainter& p, const QRectF& box, double x, const UnitReport& unit, std::size_t qi) {
  for (const ChannelFigures& c : unit.channels) {
    if (!c.quantity[qi].count) continue;
    p.setPen(QPen(kChannelColours[(c.channel - 1) % 8], 0.8));
    p.drawLine(QPointF(x, box.bottom() - 2), QPointF(x + 5, box.bottom() - 2));
    p.setPen(Qt::black);
    p.drawText(QRectF(x + 6, box.bottom() - 4, 12, 4), Qt::AlignLeft | Qt::AlignVCenter,
               "CH" + QString::number(c.channel));
    x += 20;
  }
}

void Chart(QPainter& p, const QRectF& box, const Report& report, const UnitReport& unit, AlarmQuantity q) {
  const ReportTexts& t = ReportExtras();
  const std::size_t qi = static_cast<std::size_t>(q);
  QFont f("Liberation Sans");
  f.setPointSizeF(7 * Pages::kFontScale);
  p.setFont(f);
  p.setPen(Qt::black);
  p.drawText(QRectF(box.left(), box.top(), box.width(), 5), Qt::AlignLeft | Qt::AlignVCenter,
             Q(q == AlarmQuantity::kTemperature ? t.temperature : t.humidity) +
                 (q == AlarmQuantity::kTemperature ? " (\u00B0C)" : " (%)"));
  const QRectF plot(box.left() + 12, box.top() + 6, box.width() - 14, box.height() - 14);
  p.setPen(QPen(Qt::black, 0.25));
  p.setBrush(Qt::NoBrush);
  p.drawRect(plot);
  const auto [lo, hi] = ValueRange(unit, qi);
  if (lo > hi) {
    p.drawText(plot, Qt::AlignCenter, Q(t.no_readings));
    return;
  }
  const ChartFrame frame{plot, report.options.from, report.options.to, lo, hi};
  DrawAxes(p, box, frame, q);
  DrawSeries(p, frame, unit, qi);
  DrawLegend(p, box, plot.left(), unit, qi);
}

// The unit's facts at the head of its first page.
void DrawFacts(Pages& pages, const Report& report, const UnitReport& u) {
  const ReportTexts& t = ReportExtras();
  pages.Text(Q(t.title), 15, true);
  pages.Skip(2);
  const std::vector<double> facts_columns = {0, 40};
  pages.Row({Q(t.unit), QString::fromStdString(u.unit)}, facts_columns, 9);
  pages.Row({Q(t.identification), QString::fromStdString(u.facts.identification)}, facts_columns, 9);
  pages.Row({Q(t.span), Fill(t.to, LocalText(report.options.from), LocalText(report.options.to))}, facts_columns, 9);
  pages.Row({Q(t.interval),
             Fill(t.interval_text, u.facts.interval_minutes ? QString::number(u.facts.interval_minutes) : "--",
                  Q(FixedText(u.poll_interval, 0)))},
            facts_columns, 9);
  pages.Row({"MKT", "ΔH/R = " + Q(FixedText(report.options.mkt_activation, 0)) + " K"}, facts_columns, 9);
  if (!u.facts.limits) pages.Text(Q(t.no_limits), 9);
  pages.Skip(4);
}

// One quantity's table: per channel count, minimum and maximum with their
// times, mean, MKT (temperature) and the time beyond each limit.
void DrawFigures(Pages& pages, const UnitReport& u, AlarmQuantity q) {
  const ReportTexts& t = ReportExtras();
  const std::size_t qi = static_cast<std::size_t>(q);
  const bool temp = q == AlarmQuantity::kTemperature;
  pages.Need(30);
  pages.Text(Q(temp ? t.temperature : t.humidity), 11, true);
  const std::vector<double> cols = {0, 13, 26, 58, 90, 106, 122, 151};
  pages.Row({Q(t.channel), Q(t.count), Q(t.minimum), Q(t.maximum), Q(t.mean),
             temp ? QString("MKT") : QString(), Fill(t.above, ""),
             Fill(t.below, "")},
            cols, 7.5, true);
  for (const ChannelFigures& c : u.channels) {
    const QuantityFigures& f = c.quantity[qi];
    std::vector<QString> cells = {"CH" + QString::number(c.channel), QString::number(f.count)};
    if (f.count) {
      cells.push_back(Value(q, f.min) + "  " + LocalText(f.min_time, "%m-%d %H:%M"));
      cells.push_back(Value(q, f.max) + "  " + LocalText(f.max_time, "%m-%d %H:%M"));
      cells.push_back(Q(FixedText(*f.Mean(), temp ? 2 : 1)));
      cells.push_back(f.mkt ? Q(FixedText(*f.mkt, 2)) : QString());
    } else {
      cells.insert(cells.end(), {"--", "--", "--", QString()});
    }
    for (std::size_t b = 0; b < 2; ++b) {
      cells.push_back(f.limit[b] ? Q(DurationText(f.seconds_beyond[b])) + " (" + Value(q, *f.limit[b]) + ")"
                                 : QString("--"));
    }
    pages.Row(cells, cols, 7.5);
  }
  pages.Skip(4);
}

void DrawExcursions(Pages& pages, const UnitReport& u) {
  const ReportTexts& t = ReportExtras();
  pages.Text(Q(t.excursions), 11, true);
  const std::vector<double> cols = {0, 14, 40, 56, 90, 124, 146};
  pages.Row({Q(t.channel), "", "", Q(t.start), Q(t.end), Q(t.duration), Q(t.peak)}, cols, 7.5, true);
  bool any = false;
  for (const ChannelFigures& c : u.channels) {
    for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
      for (const Excursion& e : c.quantity[static_cast<std::size_t>(q)].excursions) {
        any = true;
        pages.Row({"CH" + QString::number(c.channel),
                   Q(q == AlarmQuantity::kTemperature ? t.temperature : t.humidity),
                   (e.bound == AlarmBound::kHigh ? "> " : "< ") + Value(q, e.limit), LocalText(e.start),
                   e.open ? Q(t.open) : LocalText(e.end), Q(DurationText(e.end - e.start)),
                   Value(q, e.peak) + "  " + LocalText(e.peak_time, "%m-%d %H:%M")},
                  cols, 7.5);
      }
    }
  }
  if (!any) pages.Text(Q(t.none), 8);
}

void Draw(Pages& pages, const Report& report) {
  const ReportTexts& t = ReportExtras();
  bool first = true;
  for (const UnitReport& u : report.units) {
    if (!first) pages.NewPage();
    first = false;
    DrawFacts(pages, report, u);
    for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) DrawFigures(pages, u, q);
    pages.Need(2 * 95);
    for (AlarmQuantity q : {AlarmQuantity::kTemperature, AlarmQuantity::kHumidity}) {
      pages.Block(92, [&](QPainter& p, const QRectF& box) { Chart(p, box, report, u, q); });
      pages.Skip(3);
    }
    DrawExcursions(pages, u);
  }
  if (report.units.empty()) {
    pages.Text(Q(t.title), 15, true);
    pages.Row({Q(t.span), Fill(t.to, LocalText(report.options.from), LocalText(report.options.to))}, {0, 40}, 9);
    pages.Text(Q(t.no_readings), 9);
  }
  pages.Finish();
}

}  // namespace

bool WriteReportPdf(const Report& report, const std::filesystem::path& path, std::string* error) {
  // norvoctl has no Qt application: one on the offscreen platform, for the fonts.
  std::unique_ptr<QGuiApplication> app;
  static int argc = 1;
  static char name[] = "norvoctl";
  static char* argv[] = {name, nullptr};
  if (QCoreApplication::instance() == nullptr) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    app = std::make_unique<QGuiApplication>(argc, argv);
  }
  // The first pass counts the pages for "Page N of M".
  QPdfWriter* none = nullptr;
  Pages count(none, nullptr, report, 0);
  Draw(count, report);
  const int total = count.Count();

  QPdfWriter writer(QString::fromStdString(path.string()));
  writer.setPageSize(QPageSize(QPageSize::A4));
  writer.setPageMargins(QMarginsF(0, 0, 0, 0));
  writer.setResolution(300);
  writer.setTitle(Q(ReportExtras().title));
  writer.setCreator("Ombrix");
  QPainter painter;
  if (!painter.begin(&writer)) {
    *error = path.string() + UIString(ui::kCannotBeWritten);
    return false;
  }
  painter.setRenderHint(QPainter::Antialiasing);
  Pages pages(&writer, &painter, report, total);
  Draw(pages, report);
  if (!painter.end()) {
    *error = path.string() + UIString(ui::kCannotBeWritten);
    return false;
  }
  return true;
}

}  // namespace norvo
