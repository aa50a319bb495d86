// The chart and the Graph dialog over a real store.

#include <gtest/gtest.h>

#include <qcustomplot.h>

#include <QComboBox>
#include <QDateEdit>
#include <QTemporaryDir>
#include <QTimeEdit>

#include "QtTestSupport.h"
#include "graph/Chart.h"
#include "graph/Grapsh.h"
#include "res/Strings.h"
#include "store/OleDate.h"
#include "store/RecordStore.h"

namespace norvo {
namespace {

using testing::Child;
using testing::MessageBoxes;
using testing::SaveScreenshot;

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
}

TEST_F(GraphFixture, TemperatureViewSpanBoundariesAndSelectTwice) {
  Grapsh g(db);
  g.SetUnitLabel("(\u00B0C)");
  const QDate day(2026, 12, 7);
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(10, 30, 0));
  g.Select();
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
  g.Select();
  EXPECT_EQ(chart->PointCount(0), 30);  // never doubled

  // End equal to start: no message, empty series.
  SetSpan(g, day, QTime(10, 5, 0), day, QTime(10, 5, 0));
  g.Select();
  EXPECT_EQ(chart->PointCount(0), 0);
  EXPECT_TRUE(boxes.texts.isEmpty());

  // End one second before start: "Time Error", the chart keeps its drawing.
  SetSpan(g, day, QTime(10, 0, 0), day, QTime(11, 0, 0));
  g.Select();
  ASSERT_EQ(chart->PointCount(0), 60);
  SetSpan(g, day, QTime(10, 5, 0), day, QTime(10, 4, 59));
  g.Select();
  EXPECT_EQ(boxes.texts, QStringList{"Time Error"});
  EXPECT_EQ(chart->PointCount(0), 60);
}

TEST_F(GraphFixture, HumidityViewInGermanWithAnEmptyUnitLabel) {
  LoadUIStrings(kLanguageGerman);
  Grapsh g(db);
  const QDate day(2026, 12, 7);
  SetSpan(g, day, QTime(9, 0, 0), day, QTime(12, 0, 0));
  g.Select();
  EXPECT_EQ(g.Chart()->LegendTitles(), (QStringList{"Temperatur", "Taupunkt", "Wärmeindex"}));
  EXPECT_EQ(g.Chart()->ValueAxisTitle(), "");
  Child<QComboBox>(&g, 1006)->setCurrentIndex(1);
  g.Select();
  EXPECT_EQ(g.Chart()->PointCount(0), 61);
  EXPECT_EQ(g.Chart()->LegendTitles(), QStringList{"Luftfeuchtigkeit"});
  EXPECT_EQ(g.Chart()->Header(), "Luftfeuchtigkeit");
  EXPECT_EQ(g.Chart()->ValueAxisTitle(), " (%)");
  EXPECT_EQ(g.Chart()->Plot()->graph(0)->data()->at(0)->value, 40.0);
  g.resize(900, 500);
  SaveScreenshot(&g, "graph_humidity_german");
  LoadUIStrings(kLanguageEnglish);
}

}  // namespace
}  // namespace norvo
