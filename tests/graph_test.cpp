// The chart and the Graph dialog over a real store.

#include <gtest/gtest.h>

#include <qcustomplot.h>

#include <QComboBox>
#include <QLineEdit>
#include <QDateEdit>
#include <QFile>
#include <QFileDialog>
#include <QImage>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QWheelEvent>
#include <cmath>
#include <limits>

#include "QtTestSupport.h"
#include "graph/Chart.h"
#include "graph/Grapsh.h"
#include "res/Strings.h"
#include "store/OleDate.h"
#include "store/RecordStore.h"
#include "store/SeriesQuery.h"

namespace norvo {
namespace {

using testing::Child;
using testing::MessageBoxes;
using testing::OnDialog;
using testing::SaveScreenshot;
using testing::ScopedEnv;
using testing::WaitFor;

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

QCPRange ValueRange(CTchart1* chart) { return chart->Plot()->yAxis->range(); }
QCPRange TimeRange(CTchart1* chart) { return chart->Plot()->xAxis->range(); }

// Select, then wait until the readings are drawn (they are read off the
// user-interface thread).
void SelectAndWait(Grapsh& g) {
  g.Select();
  ASSERT_TRUE(WaitFor([&] { return !g.property("busy").toBool(); }, 10000));
}

QString ReadText(const QString& path) { return QString::fromStdString(testing::ReadFile(path.toStdString())); }

TEST(Chart, InitialStateAndOperations) {
  CTchart1 chart;
  EXPECT_EQ(chart.Header(), " ");
  for (int i = 0; i < 4; ++i) EXPECT_EQ(chart.PointCount(i), 0);
  EXPECT_EQ(chart.LegendTitles(), (QStringList{" ", " ", " ", " "}));
  // Legend above the plot: header, legend, axis rectangle, top to bottom.
  QCPLayoutGrid* layout = chart.Plot()->plotLayout();
  EXPECT_EQ(layout->element(1, 0), chart.Plot()->legend);
  EXPECT_EQ(layout->element(2, 0), chart.Plot()->axisRect());
  EXPECT_EQ(chart.Plot()->graph(0)->pen().color(), QColor(255, 0, 0));
  EXPECT_EQ(chart.Plot()->graph(1)->pen().color(), QColor(0, 128, 0));
  EXPECT_EQ(chart.Plot()->graph(2)->pen().color(), QColor(0, 128, 255));
  EXPECT_EQ(chart.Plot()->graph(3)->pen().color(), QColor(255, 128, 0));

  const double dates[] = {46363.5, 46363.6, 46363.7};
  const double values[] = {20.0, 21.5, 19.0};
  chart.AddArrays(0, 3, values, dates);
  EXPECT_EQ(chart.PointCount(0), 3);
  EXPECT_DOUBLE_EQ(KeyToOle(chart.Plot()->graph(0)->data()->at(1)->key), 46363.6);
  EXPECT_EQ(chart.Plot()->graph(0)->data()->at(2)->value, 19.0);
  chart.ClearSeries(0);
  chart.ClearSeries(0);  // harmless on an empty series
  EXPECT_EQ(chart.PointCount(0), 0);

  chart.SetSeriesTitle(0, "Humidity");
  chart.SetSeriesTitle(3, "Hidden");
  chart.SetSeriesShown(1, false);
  chart.SetSeriesShown(2, false);
  chart.SetSeriesShown(3, false);
  EXPECT_EQ(chart.LegendTitles(), QStringList{"Humidity"});
  EXPECT_FALSE(chart.Plot()->graph(3)->visible());

  chart.SetTimeAxisRange(46363.0, 46363.25);
  chart.Replot();
  EXPECT_NEAR(chart.TimeAxisStart(), 46363.0, 1e-9);
  EXPECT_NEAR(chart.TimeAxisEnd(), 46363.25, 1e-9);
}

// The value axis writes its ticks with a point whatever the desktop's locale
// (the rest of the console does too).
TEST(Chart, TickLabelsWithAPointInAGermanLocale) {
  const QLocale before;
  QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
  CTchart1 chart;
  const double values[] = {20.0, 22.5}, dates[] = {46363.0, 46363.1};
  chart.AddArrays(0, 2, values, dates);
  chart.Replot();
  const QVector<QString> labels = chart.Plot()->yAxis->tickVectorLabels();
  QLocale::setDefault(before);
  ASSERT_FALSE(labels.isEmpty());
  bool fraction = false;
  for (const QString& label : labels) {
    EXPECT_FALSE(label.contains(',')) << label.toStdString();
    fraction = fraction || label.contains('.');
  }
  EXPECT_TRUE(fraction) << "no tick with a fraction to look at";
}

// What reaches the value axis: only finite values of shown series, padded;
// nothing scalable gives the neutral axis.
TEST(Chart, ValueAxisFitsFiniteValuesOnly) {
  struct Case {
    const char* name;
    std::vector<double> values;
    std::vector<double> dates;
    int points;
    double lower, upper;
  };
  const std::vector<Case> cases = {
      {"plain", {20.0, 22.0, 21.0}, {1, 2, 3}, 3, 19.5, 22.5},
      {"wide", {0.0, 100.0}, {1, 2}, 2, -5.0, 105.0},
      {"one value", {-7.0}, {1}, 1, -7.5, -6.5},
      {"infinities and NaN are gaps, not points", {kInf, 20.0, kNaN, -kInf, 22.0}, {1, 2, 3, 4, 5}, 2, 19.5, 22.5},
      {"non-finite dates are left out", {20.0, 99.0, 22.0}, {1, kNaN, 3}, 2, 19.5, 22.5},
      {"infinite date", {20.0, 99.0, 22.0}, {1, -kInf, 3}, 2, 19.5, 22.5},
      {"nothing finite", {kNaN, kInf}, {1, 2}, 0, 0.0, 100.0},
      {"too far apart to scale", {-1e300, 1e300}, {1, 2}, 2, 0.0, 100.0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CTchart1 chart;
    std::vector<double> dates;
    for (double d : c.dates) dates.push_back(46363.0 + d / 1440.0);
    chart.AddArrays(0, static_cast<int>(c.values.size()), c.values.data(), dates.data());
    chart.Replot();
    EXPECT_EQ(chart.PointCount(0), c.points);
    EXPECT_NEAR(ValueRange(&chart).lower, c.lower, 1e-9);
    EXPECT_NEAR(ValueRange(&chart).upper, c.upper, 1e-9);
  }
  // A hidden series does not stretch the axis.
  CTchart1 chart;
  const double dates[] = {46363.0, 46363.1};
  const double low[] = {10.0, 12.0}, high[] = {500.0, 600.0};
  chart.AddArrays(0, 2, low, dates);
  chart.AddArrays(3, 2, high, dates);
  chart.SetSeriesShown(3, false);
  chart.Replot();
  EXPECT_NEAR(ValueRange(&chart).upper, 12.5, 1e-9);
}

TEST(Chart, TimeAxisOfOneMomentAndBadInput) {
  CTchart1 chart;
  const double moment = ToOleDate({2026, 12, 7, 10, 5, 0});
  chart.SetTimeAxisRange(moment - 1, moment + 1);
  chart.SetTimeAxisRange(moment, moment);
  EXPECT_NEAR(TimeRange(&chart).lower, OleToKey(moment) - 30, 1e-6);
  EXPECT_NEAR(TimeRange(&chart).upper, OleToKey(moment) + 30, 1e-6);
  for (const auto& [start, end] : std::vector<std::pair<double, double>>{
           {kNaN, moment}, {moment, kInf}, {-kInf, moment}, {moment + 1, moment}}) {
    chart.SetTimeAxisRange(start, end);
    EXPECT_NEAR(TimeRange(&chart).lower, OleToKey(moment) - 30, 1e-6);
  }
}

struct GraphFixture : ::testing::Test {
  QTemporaryDir dir;
  std::string db;
  MessageBoxes boxes;

  static double At(int day, int hour, int minute, int second = 0) { return ToOleDate({2026, 12, day, hour, minute, second}); }

  void SetUp() override {
    db = (dir.path() + "/Norvo.mdb").toStdString();
    RecordStore store;
    ASSERT_EQ(store.Connect(db), 0);
    ASSERT_EQ(store.OpenRecordTable("SELECT * FROM Records"), 0);
    LogRecord r{};
    store.SetRecord(&r);
    // 10:00 .. 11:00 every minute; dew point and heat index never valid.
    for (int m = 0; m <= 60; ++m) {
      r = {At(7, 10 + m / 60, m % 60), 20.0f + m * 0.1f, 40 + m % 10, 65535.0f, 65535.0f};
      ASSERT_EQ(store.AppendRecord(), 0);
    }
    ASSERT_TRUE(store.CloseRecordTable());
  }

  static void SetSpan(Grapsh& g, QDate sd, QTime st, QDate ed, QTime et) {
    Child<QDateEdit>(&g, 1040)->setDate(sd);
    Child<QTimeEdit>(&g, 1041)->setTime(st);
    Child<QDateEdit>(&g, 1042)->setDate(ed);
    Child<QTimeEdit>(&g, 1043)->setTime(et);
  }
};

TEST_F(GraphFixture, DefaultSpanIsTheLastHourAcrossMidnight) {
  Grapsh g(db, nullptr, QDateTime(QDate(2026, 12, 8), QTime(0, 30, 0)));
  EXPECT_EQ(Child<QDateEdit>(&g, 1040)->date(), QDate(2026, 12, 7));
  EXPECT_EQ(Child<QTimeEdit>(&g, 1041)->time(), QTime(23, 30, 0));
  EXPECT_EQ(Child<QDateEdit>(&g, 1042)->date(), QDate(2026, 12, 8));
  EXPECT_EQ(Child<QTimeEdit>(&g, 1043)->time(), QTime(0, 30, 0));
  EXPECT_EQ(Child<QComboBox>(&g, 1006)->currentText(), "Temperature");
  EXPECT_EQ(g.Chart()->Header(), " ");
  // Before the first Select the time axis already shows that span.
  EXPECT_NEAR(g.Chart()->TimeAxisStart(), At(7, 23, 30), 1e-9);
  EXPECT_NEAR(g.Chart()->TimeAxisEnd(), At(8, 0, 30), 1e-9);
  EXPECT_EQ(ValueRange(g.Chart()), QCPRange(0, 100));
  // The legend names the series of the chosen view before any Select.
  EXPECT_EQ(g.Chart()->LegendTitles(), (QStringList{"Temperature", "DewPoint", "HeatIndex"}));
  Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
  EXPECT_EQ(g.Chart()->LegendTitles(), QStringList{"Humidity"});
}

// "Whole file" sets the pickers around every stored reading and draws them;
// the default span stays the last hour. Over an empty store the pickers keep
// their span.
TEST_F(GraphFixture, WholeFileDrawsTheImportedSpanInOneClick) {
  struct Case {
    int language;
    const char* button;
    QStringList legend;
    bool empty_store;
  };
  const Case cases[] = {
      {kLanguageEnglish, "Whole file", {"Temperature", "DewPoint", "HeatIndex"}, false},
      {kLanguageGerman, "Ganze Datei", {"Temperatur", "Taupunkt", "Wärmeindex"}, false},
      {kLanguageEnglish, "Whole file", {"Temperature", "DewPoint", "HeatIndex"}, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.button + std::string(c.empty_store ? " (empty store)" : ""));
    LoadUIStrings(c.language);
    QTemporaryDir empty;
    Grapsh g(c.empty_store ? (empty.path() + "/Norvo.mdb").toStdString() : db, nullptr,
             QDateTime(QDate(2026, 12, 9), QTime(8, 0, 0)));
    g.resize(900, 500);
    EXPECT_EQ(g.Chart()->LegendTitles(), c.legend);
    if (!c.empty_store) {
      SaveScreenshot(&g, QString("graph_before_select_") + (c.language == kLanguageGerman ? "german" : "english"));
    }
    auto* whole = g.findChild<QPushButton*>("whole-file");
    ASSERT_NE(whole, nullptr);
    EXPECT_EQ(whole->text(), c.button);
    whole->click();
    ASSERT_TRUE(WaitFor([&] { return !g.property("busy").toBool(); }, 10000));
    const QDateTime start(Child<QDateEdit>(&g, 1040)->date(), Child<QTimeEdit>(&g, 1041)->time());
    const QDateTime end(Child<QDateEdit>(&g, 1042)->date(), Child<QTimeEdit>(&g, 1043)->time());
    if (c.empty_store) {
      EXPECT_EQ(start, QDateTime(QDate(2026, 12, 9), QTime(7, 0, 0)));
      EXPECT_EQ(end, QDateTime(QDate(2026, 12, 9), QTime(8, 0, 0)));
      EXPECT_EQ(g.Chart()->PointCount(0), 0);
      continue;
    }
    // 10:00:00 .. 11:00:00 stored: the start one second before the first.
    EXPECT_EQ(start, QDateTime(QDate(2026, 12, 7), QTime(9, 59, 59)));
    EXPECT_EQ(end, QDateTime(QDate(2026, 12, 7), QTime(11, 0, 0)));
    EXPECT_EQ(g.Chart()->PointCount(0), 61);
    EXPECT_EQ(g.Chart()->LegendTitles(), c.legend);
    SaveScreenshot(&g, QString("graph_whole_file_") + (c.language == kLanguageGerman ? "german" : "english"));
  }
  EXPECT_TRUE(boxes.texts.isEmpty());
  LoadUIStrings(kLanguageEnglish);
}

// A drawing without points still sets the time axis to its span and resets
// the value axis: no scale of the previous quantity under the new title.
TEST_F(GraphFixture, EmptyDrawingsResetTheAxes) {
  Grapsh g(db);
  g.SetUnitLabel("(\u00B0C)");
  CTchart1* chart = g.Chart();
  const QDate day(2026, 12, 7);
  Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(11, 0, 0));
  SelectAndWait(g);
  ASSERT_EQ(chart->PointCount(0), 60);
  EXPECT_NEAR(ValueRange(chart).lower, 40.0 - 0.5, 1e-9);  // humidity 40..49
  EXPECT_NEAR(ValueRange(chart).upper, 49.0 + 0.5, 1e-9);

  struct Case {
    const char* name;
    QTime start, end;
    double axis_start, axis_end;
  };
  const Case cases[] = {
      {"span without readings", QTime(12, 0, 0), QTime(13, 0, 0), At(7, 12, 0), At(7, 13, 0)},
      {"start equals end", QTime(10, 5, 0), QTime(10, 5, 0), At(7, 10, 4, 30), At(7, 10, 5, 30)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
    SetSpan(g, day, QTime(10, 0, 0), day, QTime(11, 0, 0));
    SelectAndWait(g);
    Child<QComboBox>(&g, 1006)->setCurrentIndex(0);
    SetSpan(g, day, c.start, day, c.end);
    SelectAndWait(g);
    EXPECT_EQ(chart->PointCount(0), 0);
    EXPECT_EQ(chart->ValueAxisTitle(), "(\u00B0C)");
    EXPECT_EQ(ValueRange(chart), QCPRange(0, 100));
    EXPECT_NEAR(chart->TimeAxisStart(), c.axis_start, 1e-9);
    EXPECT_NEAR(chart->TimeAxisEnd(), c.axis_end, 1e-9);
  }
  EXPECT_TRUE(boxes.texts.isEmpty());
  g.resize(900, 500);
  SaveScreenshot(&g, "graph_empty_moment");
}

// Wheel zooms, dragging pans, a double click or "reset-chart" goes back.
TEST_F(GraphFixture, ZoomPanAndResetWithTheMouse) {
  Grapsh g(db);
  const QDate day(2026, 12, 7);
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(11, 0, 0));
  g.resize(900, 500);
  g.show();
  SelectAndWait(g);
  QCustomPlot* plot = g.Chart()->Plot();
  ASSERT_TRUE(WaitFor([&] { return plot->axisRect()->width() > 100; }));
  const QCPRange time = TimeRange(g.Chart()), value = ValueRange(g.Chart());
  const QPointF centre = plot->axisRect()->rect().center();
  const QPointF global = plot->mapToGlobal(centre.toPoint());

  QWheelEvent wheel(centre, global, QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
  QApplication::sendEvent(plot, &wheel);
  EXPECT_LT(TimeRange(g.Chart()).size(), time.size() * 0.95);
  EXPECT_GT(TimeRange(g.Chart()).lower, time.lower);
  EXPECT_LT(TimeRange(g.Chart()).upper, time.upper);

  const QCPRange zoomed = TimeRange(g.Chart());
  const QPointF to = centre + QPointF(100, 0);
  QMouseEvent press(QEvent::MouseButtonPress, centre, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QMouseEvent move(QEvent::MouseMove, to, plot->mapToGlobal(to.toPoint()), Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, to, plot->mapToGlobal(to.toPoint()), Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(plot, &press);
  QApplication::sendEvent(plot, &move);
  QApplication::sendEvent(plot, &release);
  EXPECT_LT(TimeRange(g.Chart()).lower, zoomed.lower);  // dragged right: earlier times come in
  EXPECT_NEAR(TimeRange(g.Chart()).size(), zoomed.size(), 1e-6);

  QMouseEvent twice(QEvent::MouseButtonDblClick, centre, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(plot, &twice);
  EXPECT_EQ(TimeRange(g.Chart()), time);
  EXPECT_EQ(ValueRange(g.Chart()), value);

  QApplication::sendEvent(plot, &wheel);
  ASSERT_LT(TimeRange(g.Chart()).size(), time.size());
  g.findChild<QPushButton*>("reset-chart")->click();
  EXPECT_EQ(TimeRange(g.Chart()), time);
  EXPECT_EQ(ValueRange(g.Chart()), value);
}

// "save-chart" asks for a file and writes PNG, PDF or CSV by its suffix, or by
// the chosen filter when the name has none; a file that cannot be written is
// reported.
TEST_F(GraphFixture, SaveChartAsPngPdfAndCsv) {
  // The file dialog starts in the home folder and keeps its history in the
  // configuration folder: both are this test's own.
  QTemporaryDir out;
  ScopedEnv home("HOME", qPrintable(out.path())), config("XDG_CONFIG_HOME", qPrintable(out.filePath("config")));
  Grapsh g(db);
  g.SetUnitLabel("(\u00B0C)");
  const QDate day(2026, 12, 7);
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(10, 3, 0));
  g.resize(900, 500);
  g.show();
  SelectAndWait(g);
  QPushButton* save = g.findChild<QPushButton*>("save-chart");
  ASSERT_NE(save, nullptr);
  EXPECT_EQ(save->text(), "Save Chart...");
  QStringList opened_in;
  // name: typed into the dialog, which opens in the home folder.
  const auto save_as = [&](const QString& name, int filter) {
    OnDialog("save-chart-file", [&opened_in, name, filter](QDialog* d) {
      auto* files = static_cast<QFileDialog*>(d);
      opened_in << files->directory().path();
      // Picks the file type the way a user does, through the type list.
      auto* types = files->findChild<QComboBox*>("fileTypeCombo");
      ASSERT_NE(types, nullptr);
      types->setCurrentIndex(filter);
      emit types->activated(filter);  // what the list sends on a user's choice
      emit types->textActivated(types->itemText(filter));
      // Typed into the name field: selectFile() leaves the field alone
      // while it has the focus, which the dialog may or may not have yet.
      auto* edit = files->findChild<QLineEdit*>("fileNameEdit");
      ASSERT_NE(edit, nullptr);
      edit->setText(name);
      d->accept();  // the Save button
    });
    bool saved = false;
    const QMetaObject::Connection c = QObject::connect(&g, &Grapsh::Saved, [&saved] { saved = true; });
    save->click();
    EXPECT_TRUE(WaitFor([&] { return saved; }, 10000)) << name.toStdString();
    QObject::disconnect(c);
  };

  save_as("chart.png", 0);
  const QImage image(out.filePath("chart.png"));
  EXPECT_EQ(image.size(), g.Chart()->Plot()->size());

  save_as("chart.pdf", 0);  // the suffix wins over the filter
  QFile pdf(out.filePath("chart.pdf"));
  ASSERT_TRUE(pdf.open(QIODevice::ReadOnly));
  EXPECT_TRUE(pdf.read(5) == "%PDF-");

  save_as("readings", 2);  // no suffix: the CSV filter's
  EXPECT_EQ(ReadText(out.filePath("readings.csv")),
            "time,Temperature (\u00B0C),DewPoint (\u00B0C),HeatIndex (\u00B0C)\n"
            "2026-12-07T10:01:00,20.1,,\n"
            "2026-12-07T10:02:00,20.2,,\n"
            "2026-12-07T10:03:00,20.3,,\n");

  Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
  SelectAndWait(g);
  save_as("humidity.CSV", 0);
  EXPECT_EQ(ReadText(out.filePath("humidity.CSV")),
            "time,Humidity (%)\n2026-12-07T10:01:00,41\n2026-12-07T10:02:00,42\n2026-12-07T10:03:00,43\n");
  EXPECT_TRUE(boxes.texts.isEmpty());

  save_as("no-such-folder/chart.png", 0);
  EXPECT_EQ(boxes.texts, QStringList{"Could not write the file:\n" + out.filePath("no-such-folder/chart.png")});
  EXPECT_FALSE(QFile::exists(out.filePath("no-such-folder")));
  EXPECT_EQ(opened_in.size(), 5);
  EXPECT_EQ(opened_in.value(0), out.path());
}

TEST(Chart, CsvKeepsEveryPointAndQuotesTitles) {
  QTemporaryDir out;
  CTchart1 chart;
  const double t = ToOleDate({2026, 12, 7, 10, 0, 0});
  const double dates[] = {t, t, t + 1.0 / 1440};
  const double values[] = {1.5, 2.5, kInf};
  chart.AddArrays(0, 3, values, dates);
  const double other[] = {7.0};
  chart.AddArrays(1, 1, other, dates + 2);
  chart.SetSeriesTitle(0, "a, b");
  chart.SetSeriesTitle(1, "c \"d\"");
  chart.SetSeriesShown(2, false);
  chart.SetSeriesShown(3, false);
  ASSERT_TRUE(chart.SaveCsv(out.filePath("x.csv")));
  EXPECT_EQ(ReadText(out.filePath("x.csv")),
            "time,\"a, b\",\"c \"\"d\"\"\"\n"
            "2026-12-07T10:00:00,1.5,\n"
            "2026-12-07T10:00:00,2.5,\n"
            "2026-12-07T10:01:00,,7\n");
  EXPECT_FALSE(chart.SaveCsv(out.filePath("missing/x.csv")));
  EXPECT_FALSE(chart.SavePng(out.filePath("missing/x.png")));
  EXPECT_FALSE(chart.SavePdf(out.filePath("missing/x.pdf")));
  // Never shown: exported at the design size.
  ASSERT_TRUE(chart.SavePng(out.filePath("x.png")));
  EXPECT_EQ(QImage(out.filePath("x.png")).size(), QSize(800, 369));
}

TEST_F(GraphFixture, TemperatureViewSpanBoundariesAndSelectTwice) {
  Grapsh g(db);
  g.SetUnitLabel("(\u00B0C)");
  const QDate day(2026, 12, 7);
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(10, 30, 0));
  SelectAndWait(g);
  CTchart1* chart = g.Chart();
  EXPECT_EQ(chart->PointCount(0), 30);  // 10:00 excluded, 10:30 included
  EXPECT_EQ(chart->PointCount(1), 0);   // dew point never valid: no points, still shown
  EXPECT_EQ(chart->PointCount(2), 0);
  EXPECT_EQ(chart->LegendTitles(), (QStringList{"Temperature", "DewPoint", "HeatIndex"}));
  EXPECT_EQ(chart->Header(), "Temperature");
  EXPECT_EQ(chart->ValueAxisTitle(), "(\u00B0C)");
  EXPECT_NEAR(chart->TimeAxisStart(), At(7, 10, 0), 1e-9);
  EXPECT_NEAR(chart->TimeAxisEnd(), At(7, 10, 30), 1e-9);
  EXPECT_NEAR(KeyToOle(chart->Plot()->graph(0)->data()->at(0)->key), At(7, 10, 1), 1e-9);
  g.resize(900, 500);
  SaveScreenshot(&g, "graph_temperature");
  SelectAndWait(g);
  EXPECT_EQ(chart->PointCount(0), 30);  // never doubled

  // End equal to start: no message, empty series.
  SetSpan(g, day, QTime(10, 5, 0), day, QTime(10, 5, 0));
  SelectAndWait(g);
  EXPECT_EQ(chart->PointCount(0), 0);
  EXPECT_TRUE(boxes.texts.isEmpty());

  // End one second before start: "Time Error", the chart keeps its drawing.
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(11, 0, 0));
  SelectAndWait(g);
  ASSERT_EQ(chart->PointCount(0), 60);
  SetSpan(g, day, QTime(10, 5, 0), day, QTime(10, 4, 59));
  SelectAndWait(g);
  EXPECT_EQ(boxes.texts, QStringList{"Time Error"});
  EXPECT_EQ(chart->PointCount(0), 60);
}

TEST_F(GraphFixture, HumidityViewInGermanWithAnEmptyUnitLabel) {
  LoadUIStrings(kLanguageGerman);
  Grapsh g(db);
  const QDate day(2026, 12, 7);
  SetSpan(g, day, QTime(9, 0, 0), day, QTime(12, 0, 0));
  SelectAndWait(g);
  EXPECT_EQ(g.Chart()->LegendTitles(), (QStringList{"Temperatur", "Taupunkt", "Wärmeindex"}));
  EXPECT_EQ(g.Chart()->ValueAxisTitle(), "");
  Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
  SelectAndWait(g);
  EXPECT_EQ(g.Chart()->PointCount(0), 61);
  EXPECT_EQ(g.Chart()->LegendTitles(), QStringList{"Luftfeuchtigkeit"});
  EXPECT_EQ(g.Chart()->Header(), "Luftfeuchtigkeit");
  EXPECT_EQ(g.Chart()->ValueAxisTitle(), " (%)");
  EXPECT_EQ(g.Chart()->Plot()->graph(0)->data()->at(0)->value, 40.0);
  EXPECT_EQ(g.findChild<QPushButton*>("save-chart")->text(), "Graphik sichern...");
  EXPECT_EQ(g.findChild<QPushButton*>("reset-chart")->text(), "Ansicht zurücksetzen");
  g.resize(900, 500);
  SaveScreenshot(&g, "graph_humidity_german");
  LoadUIStrings(kLanguageEnglish);
}


// A store of the given readings: (minute after 10:00 on 2026-12-07, value);
// a value of 65535 is an absent reading, in every column.
std::string StoreOf(const QTemporaryDir& dir, const std::vector<std::pair<double, float>>& rows) {
  const std::string db = (dir.path() + "/Series.mdb").toStdString();
  RecordStore store;
  EXPECT_EQ(store.Connect(db), 0);
  EXPECT_EQ(store.DeleteAllRecords(), 0);
  EXPECT_EQ(store.OpenRecordTable("SELECT * FROM Records"), 0);
  LogRecord r{};
  store.SetRecord(&r);
  for (const auto& [minute, value] : rows) {
    r = {ToOleDate({2026, 12, 7, 10, 0, 0}) + minute / 1440.0, value, static_cast<std::int32_t>(value), value, value};
    EXPECT_EQ(store.AppendRecord(), 0);
  }
  EXPECT_TRUE(store.CloseRecordTable());
  return db;
}

// What one pass hands the chart: exact readings while each has a pixel
// column of its own, the lowest and highest per column beyond, and a NaN
// wherever the line breaks.
TEST(SeriesQuery, ReducesBreaksAndOrders) {
  const double t0 = ToOleDate({2026, 12, 7, 10, 0, 0});
  std::vector<std::pair<double, float>> dense;
  for (int i = 1; i <= 6000; ++i) dense.push_back({i / 100.0, static_cast<float>(i % 7)});
  dense[3000].second = 99.0f;
  struct Case {
    const char* name;
    std::vector<std::pair<double, float>> rows;
    int columns;
    std::vector<double> values;  // NaN: a break
    long long readings;
  };
  const std::vector<Case> cases = {
      {"one reading per column; start excluded, end included", {{0, 1}, {1, 2}, {2, 3}, {60, 4}, {61, 5}}, 600,
       {2, 3, kNaN, 4}, 3},
      {"an absent reading breaks the line", {{1, 1}, {2, 65535}, {3, 3}, {4, 4}}, 600, {1, kNaN, 3, 4}, 3},
      {"a hole in time breaks the line", {{1, 1}, {2, 2}, {3, 3}, {20, 4}, {21, 5}}, 600, {1, 2, 3, kNaN, 4, 5}, 5},
      {"appended out of order", {{3, 3}, {1, 1}, {2, 2}}, 600, {1, 2, 3}, 3},
      {"two columns: lowest and highest of each", dense, 2, {0, 6, 0, 99}, 6000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    QTemporaryDir dir;
    const double end = t0 + 60.0 / 1440;
    const SeriesResult r = QuerySeries({StoreOf(dir, c.rows), t0, end, {"Humidity", "heatindex"}, c.columns});
    ASSERT_TRUE(r.ok()) << r.error;
    ASSERT_EQ(r.lines.size(), 2u);
    const SeriesLine& line = r.lines[0];
    EXPECT_EQ(line.readings, c.readings);
    std::vector<double> values = line.values;
    if (c.columns == 2) std::sort(values.begin(), values.begin() + 2), std::sort(values.begin() + 2, values.end());
    ASSERT_EQ(values.size(), c.values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
      EXPECT_TRUE(std::isnan(c.values[i]) ? std::isnan(values[i]) : values[i] == c.values[i]) << i;
    }
    EXPECT_TRUE(std::is_sorted(line.dates.begin(), line.dates.end()));
    EXPECT_EQ(r.lines[1].values.size(), line.values.size());  // a float column reads the same
  }
  // No file yet is an empty store; a file that is not a database is reported
  // and left as it was; an unknown column never reaches the SQL text.
  QTemporaryDir dir;
  const std::string nothing = (dir.path() + "/none.mdb").toStdString();
  EXPECT_TRUE(QuerySeries({nothing, t0, t0 + 1, {"Temperature"}, 800}).ok());
  EXPECT_FALSE(QFile::exists(QString::fromStdString(nothing)));
  testing::WriteFile(dir.path().toStdString() + "/text.mdb", "not a database at all");
  EXPECT_EQ(QuerySeries({dir.path().toStdString() + "/text.mdb", t0, t0 + 1, {"Temperature"}, 800}).error,
            dir.path().toStdString() + "/text.mdb: file is not a database");
  EXPECT_EQ(QuerySeries({nothing, t0, t0 + 1, {"Time; DROP"}, 800}).error, "Unknown column: Time; DROP");
}

// The humidity view: the line breaks at an absent reading, ticks at whole
// percent, the lowest value label clear of the first time label; and the
// store is read while the user-interface thread goes on.
TEST(GraphDialog, GapsWholePercentAndOffTheUserInterfaceThread) {
  QTemporaryDir dir;
  std::vector<std::pair<double, float>> rows;
  for (int m = 1; m <= 60; ++m) rows.push_back({static_cast<double>(m), 40.0f + static_cast<float>(m % 5)});
  for (int m = 20; m < 26; ++m) rows[static_cast<std::size_t>(m)].second = 65535.0f;
  rows.erase(rows.begin() + 40, rows.begin() + 48);  // the unit was off
  Grapsh g(StoreOf(dir, rows));
  Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
  const QDate day(2026, 12, 7);
  GraphFixture::SetSpan(g, day, QTime(10, 0, 0), day, QTime(11, 0, 0));
  g.resize(900, 500);
  g.show();
  g.Select();
  EXPECT_TRUE(g.property("busy").toBool());
  EXPECT_FALSE(Child<QPushButton>(&g, 1005)->isEnabled());
  EXPECT_EQ(g.Chart()->PointCount(0), 0);  // nothing drawn before the readings are in
  ASSERT_TRUE(WaitFor([&] { return !g.property("busy").toBool(); }, 10000));
  EXPECT_TRUE(Child<QPushButton>(&g, 1005)->isEnabled());
  EXPECT_EQ(g.Chart()->PointCount(0), 46);
  int breaks = 0;
  for (const QCPGraphData& p : *g.Chart()->Plot()->graph(0)->data()) breaks += std::isnan(p.value);
  EXPECT_EQ(breaks, 2);
  g.Chart()->Plot()->replot();
  const QVector<double> ticks = g.Chart()->Plot()->yAxis->tickVector();
  ASSERT_FALSE(ticks.isEmpty());
  for (const double t : ticks) EXPECT_EQ(t, std::round(t));
  // The lowest value label, centred on the bottom edge, ends above the time labels.
  const QCPAxis* value = g.Chart()->Plot()->yAxis;
  const QCPAxis* time = g.Chart()->Plot()->xAxis;
  EXPECT_LT(QFontMetrics(value->tickLabelFont()).height() / 2, time->tickLabelPadding() + time->tickLengthOut());
  SaveScreenshot(&g, "graph_humidity_gaps");
}

}  // namespace
}  // namespace norvo
