// The SD-card history end to end through the main window's menu against the
// simulated unit: list, Select (download and import), the record table, Graph,
// Delete; and no closing while an import runs.

#include <gtest/gtest.h>

#include <QDateEdit>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTimeEdit>
#include <QTreeWidget>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "QtTestSupport.h"
#include "SimConsole.h"
#include "app/Dialogs.h"
#include "graph/Chart.h"
#include "graph/Grapsh.h"
#include "history/History.h"
#include "monitor/MainWindow.h"
#include "res/Strings.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "store/RecordStore.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using namespace std::chrono_literals;
using testing::Child;
using testing::MessageBoxes;
using testing::OnDialog;
using testing::SaveScreenshot;
using testing::WaitFor;

// An import of a card file into the store, shown in the table.
constexpr int kImportWaitMs = 30000;

struct HistoryFixture : testing::SimConsole {
  HistoryFixture() : SimConsole({.eight_area = true, .pacing = false, .seed = 9, .default_card = true}) {}

  MenuDialogs dialogs{};
  MessageBoxes boxes;

  void SetUp() override {
    CMyNorvoDlg::Options options;
    options.poll_second = 5ms;
    Launch(kLanguageEnglish, 0.05, options);
    dialogs = InstallDialogs(*window);
  }

  fs::path Folder() const { return data.path().toStdString(); }

  int StoredRows() {
    RecordStore store;
    if (store.Connect((Folder() / "Norvo.mdb").string()) < 0) return -1;
    store.CountRecords("1800-01-01 0:00:00", "2100-01-01 0:00:00", "Humidity");
    return store.Count();
  }

  void OpenHistory(std::function<void(History*)> act) {
    bool acted = false;
    OnDialog("136", [&](QDialog* d) {
      act(static_cast<History*>(d));
      acted = true;
      d->reject();
    });
    EXPECT_TRUE(RunAndWait(32775));
    ASSERT_TRUE(acted);
  }
};

struct GermanHistoryFixture : HistoryFixture {
  void SetUp() override {
    CMyNorvoDlg::Options options;
    options.poll_second = 5ms;
    Launch(kLanguageGerman, 0.05, options);
    dialogs = InstallDialogs(*window);
  }
};

// In German, after an import: no English word and no cut-off title in the
// History dialog (the humidity column is the widest) nor in the Graph.
TEST_F(GermanHistoryFixture, ImportAndGraphShowNoEnglishAndCutNothingOff) {
  OpenHistory([&](History* h) {
    h->resize(900, 560);
    h->ClickRow(0);
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return h->Records()->rowCount() == 180; }, kImportWaitMs));
    EXPECT_EQ(h->Records()->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), "Luftfeuchtigkeit(%)");
    EXPECT_EQ(testing::EnglishOrClipped(h), QStringList{});
    SaveScreenshot(h, "german_history_after_import");
    bool looked = false;
    OnDialog("132", [&](QDialog* g) {
      EXPECT_EQ(testing::EnglishOrClipped(g), QStringList{});
      SaveScreenshot(g, "german_graph");
      looked = true;
      g->reject();
    });
    h->ShowGraph();
    EXPECT_TRUE(looked);
  });
}

TEST_F(HistoryFixture, ListSelectTableGraphDelete) {
  OpenHistory([&](History* h) {
    QTreeWidget* files = Child<QTreeWidget>(h, 1002);
    ASSERT_EQ(files->topLevelItemCount(), 3);
    EXPECT_EQ(files->topLevelItem(0)->text(0), "LOG0001.CSV");
    EXPECT_EQ(files->headerItem()->text(1), "Size");
    EXPECT_EQ(h->Records()->rowCount(), 0);

    h->SelectFile();  // nothing chosen yet
    EXPECT_EQ(boxes.texts, QStringList{"Please select a file"});

    h->ClickRow(0);
    EXPECT_EQ(Child<QLabel>(h, 1039)->text(), "LOG0001.CSV");
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return h->Records()->rowCount() == 180; }, kImportWaitMs));
    EXPECT_EQ(Child<QProgressBar>(h, 1004)->value(), Child<QProgressBar>(h, 1004)->maximum());
    EXPECT_EQ(Child<QLabel>(h, 1085)->text(), "ok...");
    EXPECT_EQ(h->Records()->headerData(1, Qt::Horizontal, Qt::DisplayRole).toString(), "Temperature(\u00B0C)");
    EXPECT_EQ(h->Records()->headerData(2, Qt::Horizontal, Qt::DisplayRole).toString(), "Humidity(%)");
    EXPECT_EQ(h->Records()->data(h->Records()->index(0, 0), Qt::DisplayRole).toString(), "2026-12-07 8:00:00");
    EXPECT_EQ(h->Records()->data(h->Records()->index(9, 4), Qt::DisplayRole).toString(), "--");
    EXPECT_TRUE(Child<QPushButton>(h, 1005)->isEnabled());
    EXPECT_EQ(StoredRows(), 180);
    h->resize(900, 560);
    SaveScreenshot(h, "history_after_import");

    // Graph of the imported readings.
    bool drew = false;
    OnDialog("132", [&](QDialog* d) {
      auto* g = static_cast<Grapsh*>(d);
      Child<QDateEdit>(g, 1040)->setDate(QDate(2026, 12, 7));
      Child<QTimeEdit>(g, 1041)->setTime(QTime(7, 0, 0));
      Child<QDateEdit>(g, 1042)->setDate(QDate(2026, 12, 7));
      Child<QTimeEdit>(g, 1043)->setTime(QTime(12, 0, 0));
      g->Select();
      ASSERT_TRUE(testing::WaitIdle(g));  // the store is read off the user-interface thread
      EXPECT_EQ(g->Chart()->PointCount(0), 180);
      EXPECT_EQ(g->Chart()->PointCount(2), 162);  // every tenth line has no heat index
      EXPECT_EQ(g->Chart()->ValueAxisTitle(), "(\u00B0C)");
      SaveScreenshot(g, "graph_from_history");
      drew = true;
      g->reject();
    });
    h->ShowGraph();
    EXPECT_TRUE(drew);

    // The three-field file: dew point and heat index columns stay empty.
    h->ClickRow(1);
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return h->Records()->rowCount() == 120; }, kImportWaitMs));
    EXPECT_EQ(h->Records()->columnCount(), 3);
    EXPECT_FALSE(h->Records()->data(h->Records()->index(0, 3), Qt::DisplayRole).isValid());

    // Delete: the card file, the local copy and the store's rows go.
    ASSERT_TRUE(fs::exists(Folder() / "IN0002.CSV"));
    boxes.texts.clear();
    h->DeleteFile();
    ASSERT_TRUE(testing::WaitIdle(h));
    EXPECT_EQ(boxes.texts, QStringList{"Are you sure to delete the file?\nFile: IN0002.CSV"});
    EXPECT_FALSE(unit.HasFile("IN0002.CSV"));
    EXPECT_FALSE(fs::exists(Folder() / "IN0002.CSV"));
    EXPECT_EQ(StoredRows(), 0);
    EXPECT_EQ(files->topLevelItemCount(), 2);
    EXPECT_EQ(Child<QLabel>(h, 1039)->text(), "LOG0001.CSV");  // the first remaining file
  });

  // Opened again: a fresh list and an empty table.
  OpenHistory([&](History* h) {
    EXPECT_EQ(Child<QTreeWidget>(h, 1002)->topLevelItemCount(), 2);
    EXPECT_EQ(h->Records()->rowCount(), 0);
  });
}

// An import the store cannot take leaves the table on the file the store and
// the Graph still hold: the same rows, the same titles.
TEST_F(HistoryFixture, AStoreErrorLeavesTheShownFileEverywhere) {
  OpenHistory([&](History* h) {
    h->ClickRow(0);
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return h->Records()->rowCount() == 180 && Child<QPushButton>(h, 1005)->isEnabled(); }, kImportWaitMs));
    ASSERT_EQ(StoredRows(), 180);
    // Another writer holds the store while IN0002.CSV is imported.
    RecordStore other;
    ASSERT_EQ(other.Connect((Folder() / "Norvo.mdb").string()), 0);
    ASSERT_EQ(other.OpenRecordTable("SELECT * FROM Records"), 0);
    boxes.texts.clear();
    h->ClickRow(1);
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return !boxes.texts.isEmpty() && Child<QPushButton>(h, 1005)->isEnabled(); }, 10000));
    other.Close();
    EXPECT_EQ(h->Records()->rowCount(), 180);
    EXPECT_EQ(h->Records()->columnCount(), 5);
    EXPECT_EQ(h->Records()->headerData(3, Qt::Horizontal, Qt::DisplayRole).toString(), "DewPoint(\u00B0C)");
    EXPECT_EQ(StoredRows(), 180);
    EXPECT_TRUE(Child<QPushButton>(h, 1005)->isEnabled());
  });
}

TEST_F(HistoryFixture, NoClosingWhileAnImportRunsAndFailuresGiveTheButtonsBack) {
  OpenHistory([&](History* h) {
    unit.SetSilent(true);  // every block now times out (150 ms here)
    h->ClickRow(2);
    h->SelectFile();
    EXPECT_FALSE(Child<QPushButton>(h, 1005)->isEnabled());
    h->reject();
    h->close();
    EXPECT_TRUE(h->isVisible());
    ASSERT_TRUE(WaitFor([&] { return Child<QPushButton>(h, 1005)->isEnabled(); }, kImportWaitMs));
    EXPECT_TRUE(boxes.texts.contains("This file errors"));
    unit.SetSilent(false);
  });
}

TEST_F(HistoryFixture, UnsafeNamesFromTheCardAreRefused) {
  unit.SetFiles({{"../escape.csv", "Time,T(C)\n"}, {"OK.CSV", "Time,T(C)\n"}});
  OpenHistory([&](History* h) {
    h->ClickRow(0);
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return Child<QPushButton>(h, 1005)->isEnabled(); }, kImportWaitMs));
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].contains("not safe")) << boxes.texts[0].toStdString();
    h->DeleteFile();
    ASSERT_TRUE(testing::WaitIdle(h));
    EXPECT_TRUE(unit.HasFile("../escape.csv"));
  });
  EXPECT_FALSE(fs::exists(Folder().parent_path() / "escape.csv"));
}

void Click(QWidget* widget, QPoint at) {
  const QPointF local(at), global(widget->mapToGlobal(at));
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
  QApplication::sendEvent(widget, &release);
}

void Key(QWidget* widget, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
}

// Select and Delete act on the highlighted row, whether the mouse or the
// arrows moved it; Cancel leaves the list and the copy resumable; the shown
// records export as CSV.
TEST_F(HistoryFixture, TheHighlightedRowIsTheTarget) {
  OpenHistory([&](History* h) {
    QTreeWidget* files = Child<QTreeWidget>(h, 1002);
    QLabel* name = Child<QLabel>(h, 1039);
    EXPECT_EQ(Child<QLabel>(h, 1130)->text(), "Select");  // string 223, no colon
    ASSERT_EQ(files->topLevelItemCount(), 3);
    const auto row_text = [&](int row) { return files->topLevelItem(row)->text(0); };

    Click(files->viewport(), files->visualItemRect(files->topLevelItem(0)).center());
    EXPECT_EQ(name->text(), row_text(0));
    Key(files, Qt::Key_Down);
    EXPECT_EQ(name->text(), row_text(1));
    Key(files, Qt::Key_Up);
    EXPECT_EQ(name->text(), row_text(0));

    // Below the last row: no file, and Select says so.
    Click(files->viewport(), QPoint(10, files->viewport()->height() - 3));
    EXPECT_EQ(name->text(), "");
    boxes.texts.clear();
    h->SelectFile();
    EXPECT_EQ(boxes.texts, QStringList{"Please select a file"});

    Click(files->viewport(), files->visualItemRect(files->topLevelItem(0)).center());
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return h->Records()->rowCount() == 180; }, kImportWaitMs));
    QLabel* rate = h->findChild<QLabel*>("rate");
    EXPECT_TRUE(rate->text().startsWith("100 % ")) << rate->text().toStdString();
    EXPECT_TRUE(rate->text().endsWith("/s")) << rate->text().toStdString();

    // Select keeps the rows until an import replaces them; Cancel ends the
    // download without an import.
    Key(files, Qt::Key_Down);
    ASSERT_EQ(name->text(), row_text(1));
    unit.SetSilent(true);
    boxes.texts.clear();
    h->SelectFile();
    EXPECT_EQ(h->Records()->rowCount(), 180);
    QPushButton* cancel = h->findChild<QPushButton*>("cancel");
    EXPECT_TRUE(cancel->isEnabled());
    cancel->click();
    ASSERT_TRUE(WaitFor([&] { return Child<QPushButton>(h, 1005)->isEnabled(); }, kImportWaitMs));
    EXPECT_EQ(h->Records()->rowCount(), 180);
    EXPECT_FALSE(boxes.texts.contains("This file errors"));
    EXPECT_FALSE(cancel->isEnabled());
    unit.SetSilent(false);

    // Export of the shown records.
    const fs::path csv = Folder() / "export.csv";
    EXPECT_TRUE(h->ExportCsv(QString::fromStdString(csv.string())));
    std::ifstream in(csv, std::ios::binary);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "Time,Temperature(\u00B0C),Humidity(%),DewPoint(\u00B0C),HeatIndex(\u00B0C)\r");
    int lines = 1;
    for (std::string line; std::getline(in, line);) ++lines;
    EXPECT_EQ(lines, 181);
    boxes.texts.clear();
    EXPECT_FALSE(h->ExportCsv("/dev/full"));
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("The CSV file could not be written")) << boxes.texts[0].toStdString();

    SaveScreenshot(h, "history_highlight");

    // Delete names the highlighted file; afterwards target and highlight agree.
    boxes.texts.clear();
    h->DeleteFile();
    ASSERT_TRUE(testing::WaitIdle(h));
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].contains(row_text(1) == "" ? "?" : "IN0002.CSV")) << boxes.texts[0].toStdString();
    EXPECT_FALSE(unit.HasFile("IN0002.CSV"));
    ASSERT_NE(files->currentItem(), nullptr);
    EXPECT_EQ(name->text(), files->currentItem()->text(0));
    EXPECT_EQ(name->text(), "LOG0001.CSV");
  });
}

// A CSV export small enough to reach the disk only at its close still names
// the true reason of the failure, whatever errno held before.
TEST_F(HistoryFixture, FailedSmallCsvExportNamesItsReason) {
  unit.AddFile("SHORT.CSV", sim::MakeLogFile(false, 5, 0));
  OpenHistory([&](History* h) {
    QTreeWidget* files = Child<QTreeWidget>(h, 1002);
    for (int i = 0; i < files->topLevelItemCount(); ++i) {
      if (files->topLevelItem(i)->text(0) == "SHORT.CSV") h->ClickRow(i);
    }
    ASSERT_EQ(Child<QLabel>(h, 1039)->text(), "SHORT.CSV");
    h->SelectFile();
    ASSERT_TRUE(WaitFor([&] { return h->Records()->rowCount() == 5; }, kImportWaitMs));
    boxes.texts.clear();
    errno = ENOENT;
    EXPECT_FALSE(h->ExportCsv("/dev/full"));
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_EQ(boxes.texts[0].toStdString(), std::string("The CSV file could not be written: /dev/full: ") + std::strerror(ENOSPC));
  });
}

}  // namespace
}  // namespace norvo
