#pragma once
// The "SDCard File" dialog: the card's files with their sizes, Select
// (download and import on a worker thread), the readings as a table, Graph
// and Delete. HistoryState is the part that lives as long as the main window
// (the imported rows, the unit label, the transfer state); History is the
// window, made anew for each opening.

#include <QAbstractTableModel>
#include <QDialog>
#include <QObject>
#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>
#include <vector>

#include "Import.h"
#include "Transfer.h"
#include "session/Unit.h"

class QHBoxLayout;
class QLabel;
class QPushButton;
class QProgressBar;
class QTreeWidget;
class QTableView;

namespace norvo {

// The record list's model: reads the display rows, copies nothing per row.
class RecordModel : public QAbstractTableModel {
  Q_OBJECT
 public:
  using QAbstractTableModel::QAbstractTableModel;

  void SetRows(std::shared_ptr<const LogRows> rows, bool three_fields);
  // Rows held in memory (benchmarks).
  void SetRows(std::shared_ptr<const std::vector<DisplayRow>> rows, bool three_fields);
  void SetTitles(const QStringList& titles);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  // How many cell texts the view has asked for (for the scrolling benchmark).
  long DataCalls() const { return data_calls_; }

 private:
  std::shared_ptr<const LogRows> rows_;
  bool three_fields_ = false;
  QStringList titles_;
  mutable long data_calls_ = 0;
};

class HistoryState : public QObject {
  Q_OBJECT
 public:
  // unit: the one door to the unit; it outlives this object.
  HistoryState(Unit& unit, std::filesystem::path data_folder, QObject* parent = nullptr);
  ~HistoryState() override;

  Unit& TheUnit() { return unit_; }
  const std::filesystem::path& DataFolder() const { return data_folder_; }
  std::string DatabasePath() const { return (data_folder_ / "Norvo.mdb").string(); }

  // The card's files as the last complete list gave them (sizes for the download).
  void SetList(CardList list) { list_ = std::move(list); }

  // The unit's date format (settings byte 4) from the last poll; -1 unknown.
  void SetDateFormat(int format) { date_format_.store(format); }
  int DateFormat() const { return date_format_.load(); }

  // Starts the download and import of a card file on the worker thread.
  void StartImport(const std::string& name, DayOrder order);
  // Stops a running download before its next block; the copy resumes later.
  void Cancel() { cancel_.store(true); }
  bool Importing() const { return importing_.load(); }
  // Waits for a finished worker thread (user-interface thread).
  void JoinWorker();

  // The last import's results; they stay until the next import.
  std::shared_ptr<const LogRows> Rows() const { return rows_; }
  bool ThreeFields() const { return three_fields_; }
  const QString& UnitLabel() const { return unit_label_; }

 signals:
  void ProgressRange(int range);
  void ProgressPosition(int position);
  void DoneLabel(const QString& text);
  // Card bytes of the download so far, of how many.
  void Bytes(qint64 done, qint64 wanted);
  // User-interface thread, in order: a message, then the end of the work.
  void Message(const QString& text);
  // enable_buttons: whether Select, Graph and Delete come back.
  void Finished(bool imported, bool enable_buttons);

 private:
  void FinishOnUi(bool imported, bool enable_buttons, ImportResult result);

  std::filesystem::path data_folder_;
  Unit& unit_;
  CardList list_;
  std::atomic<bool> cancel_{false};
  std::thread worker_;
  std::atomic<bool> importing_{false};
  std::atomic<int> date_format_{-1};
  std::shared_ptr<const LogRows> rows_ = std::make_shared<MemoryRows>(std::vector<DisplayRow>{});
  bool three_fields_ = false;
  QString unit_label_;
};

class History : public QDialog {
  Q_OBJECT
 public:
  History(HistoryState& state, QWidget* parent = nullptr);

  void SelectFile();  // button 1005
  void ShowGraph();   // button 1006
  void DeleteFile();  // button 1007
  void ClickRow(int row);  // -1: below the last row
  void CancelDownload();  // button "cancel"
  // Writes the shown records as CSV; false after a reported failure.
  bool ExportCsv(const QString& path);
  // The confirmation text of Delete for a file.
  static QString DeleteQuestion(const QString& name);

  RecordModel* Records() const { return model_; }
  QTableView* RecordView() const { return records_; }

  // Refused while an import runs (Escape, the close box, anything).
  void reject() override;

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QHBoxLayout* BuildTopRow();
  QHBoxLayout* BuildLists();
  void WireSignals();
  void RequestList();
  void SetButtons(bool enabled);
  void OnFinished(bool imported, bool enable_buttons);
  void ShowRate(qint64 done, qint64 wanted);
  void ChooseCsvFile();
  void ShowList(const CardList& list);
  void SetListing(bool listing);

  HistoryState& state_;
  int selected_ = -1;
  QLabel* selected_name_;
  QLabel* size_label_;  // hidden: the selected file's size, "ok..." after a download
  QPushButton* select_;
  QPushButton* delete_;
  QPushButton* graph_;
  QProgressBar* progress_;
  QLabel* rate_;
  QPushButton* cancel_;
  QPushButton* export_csv_;
  qint64 started_ms_ = 0;
  bool listing_ = false;  // a list or delete on the background thread  // steady clock at the start of the download
  QTreeWidget* files_;
  QTableView* records_;
  RecordModel* model_;
};

}  // namespace norvo
