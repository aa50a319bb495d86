#include "History.h"

#include <QCloseEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMouseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QFile>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTableView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "ui/UiHelpers.h"
#include "device/Encodings.h"
#include "graph/Grapsh.h"
#include "res/Strings.h"

#include <cerrno>
#include <chrono>
#include <cstring>

namespace fs = std::filesystem;

namespace norvo {
namespace {

QString FromLatin1(const std::string& bytes) {
  return QString::fromStdString(Latin1ToUtf8(bytes));
}

QStringList Titles(const std::vector<std::string>& titles) {
  QStringList list;
  for (const std::string& t : titles) list << QString::fromStdString(t);
  return list;
}

// Bytes per second, the same in every locale: "512 B", "12.5 KB", "1.25 MB".
QString RateText(double bytes_per_second) {
  if (bytes_per_second < 1024) return QString::number(static_cast<qint64>(bytes_per_second)) + " B";
  if (bytes_per_second < 1024 * 1024) return QString::number(bytes_per_second / 1024, 'f', 1) + " KB";
  return QString::number(bytes_per_second / 1024 / 1024, 'f', 2) + " MB";
}

QByteArray CsvField(const QString& text) {
  QByteArray bytes = text.toUtf8();
  if (bytes.contains(',') || bytes.contains('"') || bytes.contains('\n') || bytes.contains('\r')) {
    bytes.replace("\"", "\"\"");
    bytes = '"' + bytes + '"';
  }
  return bytes;
}

qint64 SteadyMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Day before month in the user's short date format decides ambiguous dates.
DayOrder LocaleDayOrder() {
  const QString format = QLocale::system().dateFormat(QLocale::ShortFormat);
  const qsizetype d = format.indexOf('d'), m = format.indexOf('M');
  return d >= 0 && m >= 0 && d < m ? DayOrder::kDayFirst : DayOrder::kMonthFirst;
}

}  // namespace

// ---- RecordModel ---------------------------------------------------------------

void RecordModel::SetRows(std::shared_ptr<const std::vector<DisplayRow>> rows, bool three_fields) {
  SetRows(rows ? std::make_shared<MemoryRows>(*rows) : std::shared_ptr<const LogRows>(), three_fields);
}

void RecordModel::SetRows(std::shared_ptr<const LogRows> rows, bool three_fields) {
  beginResetModel();
  rows_ = std::move(rows);
  three_fields_ = three_fields;
  endResetModel();
}

void RecordModel::SetTitles(const QStringList& titles) {
  beginResetModel();
  titles_ = titles;
  endResetModel();
}

int RecordModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() || !rows_ ? 0 : static_cast<int>(rows_->size());
}

int RecordModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : static_cast<int>(titles_.size()); }

QVariant RecordModel::data(const QModelIndex& index, int role) const {
  if (role == Qt::TextAlignmentRole) return int(Qt::AlignCenter);
  if (role != Qt::DisplayRole || !rows_ || !index.isValid() || index.row() >= static_cast<int>(rows_->size())) return {};
  ++data_calls_;
  const int column = index.column();
  if (column < 0 || column > 4 || (three_fields_ && column > 2)) return {};
  const DisplayRow row = rows_->Row(static_cast<std::size_t>(index.row()));
  const auto& slot = row.slot[static_cast<std::size_t>(column)];
  return QString::fromLatin1(slot.data(), static_cast<qsizetype>(strnlen(slot.data(), slot.size())));
}

QVariant RecordModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < titles_.size()) return titles_[section];
  return QAbstractTableModel::headerData(section, orientation, role);
}

// ---- HistoryState ----------------------------------------------------------------

HistoryState::HistoryState(Unit& unit, fs::path data_folder, QObject* parent)
    : QObject(parent), data_folder_(std::move(data_folder)), unit_(unit) {}

HistoryState::~HistoryState() {
  cancel_.store(true);
  JoinWorker();
}

void HistoryState::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

void HistoryState::StartImport(const std::string& name, DayOrder order) {
  JoinWorker();
  importing_.store(true);
  cancel_.store(false);
  DownloadJob job = UnitDownloadJob(unit_, data_folder_, list_, name, date_format_.load());
  // Called on the worker thread: signals cross to the window queued.
  job.hooks = {[this](int range) { emit ProgressRange(range); },
               [this](int position) { emit ProgressPosition(position); },
               [this](const std::string& text) { emit DoneLabel(QString::fromStdString(text)); },
               [this](std::int64_t done, std::int64_t wanted) { emit Bytes(done, wanted); }};
  job.cancel = &cancel_;
  worker_ = std::thread([this, job = std::move(job), name, order] {
    const auto post = [this](const std::string& text) {
      const QString message = QString::fromStdString(text);
      QMetaObject::invokeMethod(this, [this, message] { emit Message(message); }, Qt::QueuedConnection);
    };
    ImportResult result;
    bool imported = false;
    try {
      const DownloadOutcome download = DownloadToLocalCopy(job);
      if (!download.notice.empty()) post(download.notice);
      if (!download.message.empty()) post(download.message);
      if (download.ImportFollows()) {
        RecordStore store([post](const std::string& error) { post(error); });
        result = ImportLocalCopy(name, data_folder_ / name, DatabasePath(), order, store, {},
                                 download.status == DownloadStatus::kDone);
        if (!result.message.empty()) post(result.message);
        // The table follows the store: only a committed import replaces the
        // rows and titles, so table, store and chart show the same file.
        imported = result.opened && result.stored;
      }
    } catch (const std::bad_alloc&) {
      // The copy and the store are as a failed block leaves them.
      result = ImportResult{};
      imported = false;
      post(UiText(ui::kOutOfMemoryNotImported).arg(QString::fromStdString(Latin1ToUtf8(name))).toStdString());
    }
    // Every exit gives the buttons back: no failure leaves the dialog unusable.
    auto shared = std::make_shared<ImportResult>(std::move(result));
    QMetaObject::invokeMethod(
        this, [this, imported, shared] { FinishOnUi(imported, true, std::move(*shared)); }, Qt::QueuedConnection);
  });
}

void HistoryState::FinishOnUi(bool imported, bool enable_buttons, ImportResult result) {
  JoinWorker();  // its last act was to post this call
  if (imported) {
    rows_ = std::move(result.rows);
    three_fields_ = result.three_fields;
    unit_label_ = QString::fromStdString(result.unit_label);
  }
  importing_.store(false);
  emit Finished(imported, enable_buttons);
}

// ---- History ----------------------------------------------------------------------

History::History(HistoryState& state, QWidget* parent) : QDialog(parent), state_(state) {
  setObjectName("136");
  setWindowTitle(UiText(ui::kSdCardFile));
  QHBoxLayout* top = BuildTopRow();
  QHBoxLayout* lists = BuildLists();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(lists, 1);
  resize(1000, 560);

  WireSignals();
  RequestList();
}

// The file's name and size, the buttons, the download's progress and rate.
QHBoxLayout* History::BuildTopRow() {
  auto* select_label = new QLabel(UiText(ui::kSelect), this);
  select_label->setObjectName("1130");
  selected_name_ = new QLabel(this);
  selected_name_->setObjectName("1039");
  selected_name_->setMinimumWidth(110);
  size_label_ = new QLabel(this);
  size_label_->setObjectName("1085");
  size_label_->hide();
  select_ = new QPushButton(UiText(ui::kSelect), this);
  select_->setObjectName("1005");
  delete_ = new QPushButton(UiText(ui::kDelete), this);
  delete_->setObjectName("1007");
  graph_ = new QPushButton(UiText(ui::kGraph), this);
  graph_->setObjectName("1006");
  progress_ = new QProgressBar(this);
  progress_->setObjectName("1004");
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  rate_ = new QLabel(this);
  rate_->setObjectName("rate");
  rate_->setMinimumWidth(120);
  cancel_ = new QPushButton(UiText(ui::kCancel), this);
  cancel_->setObjectName("cancel");
  cancel_->setEnabled(false);
  export_csv_ = new QPushButton(UiText(ui::kExportCsv), this);
  export_csv_->setObjectName("export-csv");
  auto* top = new QHBoxLayout;
  top->addWidget(select_label);
  top->addWidget(selected_name_);
  top->addWidget(select_);
  top->addWidget(delete_);
  top->addWidget(graph_);
  top->addWidget(progress_, 1);
  top->addWidget(rate_);
  top->addWidget(cancel_);
  top->addWidget(export_csv_);
  return top;
}

// The card's files beside the chosen file's records.
QHBoxLayout* History::BuildLists() {
  files_ = new QTreeWidget(this);
  files_->setObjectName("1002");
  files_->setRootIsDecorated(false);
  files_->setColumnCount(2);
  files_->setHeaderLabels({UiText(ui::kFileName), UiText(ui::kSize)});
  files_->header()->setDefaultAlignment(Qt::AlignCenter);
  files_->setColumnWidth(0, 110);
  files_->setColumnWidth(1, 80);
  files_->setFixedWidth(215);

  model_ = new RecordModel(this);
  model_->SetTitles({UiText(ui::kTime), UiText(ui::kTemperature), UiText(ui::kHumidity), UiText(ui::kDewPoint), UiText(ui::kHeatIndex)});
  records_ = new QTableView(this);
  records_->setObjectName("1003");
  records_->setModel(model_);
  records_->setSelectionBehavior(QAbstractItemView::SelectRows);
  records_->verticalHeader()->hide();
  records_->verticalHeader()->setDefaultSectionSize(20);
  records_->horizontalHeader()->setDefaultSectionSize(110);
  records_->setColumnWidth(0, 150);
  records_->setShowGrid(true);

  auto* lists = new QHBoxLayout;
  lists->addWidget(files_);
  lists->addWidget(records_, 1);
  return lists;
}

void History::WireSignals() {
  connect(select_, &QPushButton::clicked, this, &History::SelectFile);
  connect(delete_, &QPushButton::clicked, this, &History::DeleteFile);
  connect(graph_, &QPushButton::clicked, this, &History::ShowGraph);
  connect(cancel_, &QPushButton::clicked, this, &History::CancelDownload);
  connect(export_csv_, &QPushButton::clicked, this, &History::ChooseCsvFile);
  // The highlighted row is the selection, whether the mouse or the keyboard moved it.
  connect(files_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    if (item) ClickRow(files_->indexOfTopLevelItem(item));
  });
  connect(files_, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { ClickRow(files_->indexOfTopLevelItem(item)); });
  files_->viewport()->installEventFilter(this);
  connect(&state_, &HistoryState::Bytes, this, &History::ShowRate);
  connect(&state_, &HistoryState::ProgressRange, this, [this](int range) { progress_->setRange(0, std::max(range, 1)); });
  connect(&state_, &HistoryState::ProgressPosition, this,
          [this](int position) { progress_->setValue(std::clamp(position, 0, progress_->maximum())); });
  connect(&state_, &HistoryState::DoneLabel, size_label_, &QLabel::setText);
  connect(&state_, &HistoryState::Message, this, [this](const QString& text) { ShowMessage(this, text); });
  connect(&state_, &HistoryState::Finished, this, &History::OnFinished);
}

void History::RequestList() {
  // A fresh list from the unit at every opening, read on the background
  // thread; the buttons wait for it.
  state_.SetList({});
  if (state_.TheUnit().Connected()) {
    SetButtons(false);
    cancel_->setEnabled(false);
    SetListing(true);
    Unit& unit = state_.TheUnit();
    RunAsync(this, [&unit] { return unit.ListCardFiles(); }, [this](CardList list) {
      SetListing(false);
      SetButtons(true);
      ShowList(list);
    });
  }
}

void History::SetListing(bool listing) {
  listing_ = listing;
  // Findable like the controls: scripts and tests wait for it to clear.
  setProperty("busy", listing_ || state_.Importing());
}

void History::ShowList(const CardList& list) {
  // A list without its end marker is no list: the unit went silent or away.
  if (!list.complete) {
    ShowMessage(this, UiText(ui::kFileListIncomplete));
    return;
  }
  state_.SetList(list);
  for (const CardFile& file : list.files) {
    auto* item = new QTreeWidgetItem({FromLatin1(file.name), QString::fromStdString(SizeText(static_cast<std::int32_t>(file.size)))});
    item->setData(0, Qt::UserRole, QByteArray::fromStdString(file.name));
    item->setTextAlignment(0, Qt::AlignCenter);
    item->setTextAlignment(1, Qt::AlignCenter);
    files_->addTopLevelItem(item);
  }
}

void History::ClickRow(int row) {
  QTreeWidgetItem* item = row >= 0 ? files_->topLevelItem(row) : nullptr;
  selected_ = item ? row : -1;
  selected_name_->setText(item ? item->text(0) : QString());
  size_label_->setText(item ? item->text(1) : QString());
  if (files_->currentItem() != item) {
    const QSignalBlocker quiet(files_);
    files_->setCurrentItem(item);
    if (item == nullptr) files_->clearSelection();
  }
}

bool History::eventFilter(QObject* watched, QEvent* event) {
  // A click below the last row chooses no file.
  if (watched == files_->viewport() && event->type() == QEvent::MouseButtonPress) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    if (files_->itemAt(mouse->position().toPoint()) == nullptr) {
      ClickRow(-1);
      return true;
    }
  }
  return QDialog::eventFilter(watched, event);
}

void History::SetButtons(bool enabled) {
  select_->setEnabled(enabled);
  graph_->setEnabled(enabled);
  delete_->setEnabled(enabled);
  export_csv_->setEnabled(enabled);
  cancel_->setEnabled(!enabled);
}

void History::SelectFile() {
  if (state_.Importing() || listing_) return;
  QTreeWidgetItem* item = selected_ >= 0 ? files_->topLevelItem(selected_) : nullptr;
  if (item == nullptr || selected_name_->text().isEmpty()) {
    ShowMessage(this, UiText(ui::kSelectFile));
    return;
  }
  SetButtons(false);
  progress_->setValue(0);
  rate_->clear();
  started_ms_ = SteadyMs();
  // The record list keeps its rows until an import replaces them: a download
  // that stops early leaves them in place.
  state_.StartImport(item->data(0, Qt::UserRole).toByteArray().toStdString(), LocaleDayOrder());
}

void History::CancelDownload() {
  if (state_.Importing()) state_.Cancel();
}

void History::ShowRate(qint64 done, qint64 wanted) {
  const qint64 elapsed = std::max<qint64>(SteadyMs() - started_ms_, 1);
  const int percent = wanted > 0 ? static_cast<int>(std::min<qint64>(100, done * 100 / wanted)) : 100;
  rate_->setText(UiText(ui::kDownloadRate).arg(percent).arg(RateText(static_cast<double>(done) * 1000.0 / elapsed)));
}

void History::OnFinished(bool imported, bool enable_buttons) {
  if (imported) {
    model_->SetTitles(Titles(ColumnTitles(state_.ThreeFields(), state_.UnitLabel().toStdString())));
    model_->SetRows(state_.Rows(), state_.ThreeFields());
    // A column is never narrower than its title ("Luftfeuchtigkeit(%)").
    QHeaderView* header = records_->horizontalHeader();
    for (int c = 0; c < model_->columnCount({}); ++c) {
      const int title = header->fontMetrics().horizontalAdvance(model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString()) + 16;
      if (header->sectionSize(c) < title) header->resizeSection(c, title);
    }
  }
  SetButtons(enable_buttons);
}

void History::ChooseCsvFile() {
  const QString path = QFileDialog::getSaveFileName(this, UiText(ui::kExportCsv), QString(), "CSV (*.csv)");
  if (!path.isEmpty()) ExportCsv(path);
}

bool History::ExportCsv(const QString& path) {
  const QByteArray native = QFile::encodeName(path);
  errno = 0;
  std::FILE* out = std::fopen(native.constData(), "wb");
  bool ok = out != nullptr;
  const int columns = model_->columnCount();
  QByteArray line;
  for (int c = 0; ok && c < columns; ++c) {
    line += (c ? "," : "") + CsvField(model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
  }
  line += "\r\n";
  ok = ok && std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), out) == static_cast<std::size_t>(line.size());
  for (int r = 0; ok && r < model_->rowCount(); ++r) {
    line.clear();
    for (int c = 0; c < columns; ++c) line += (c ? "," : "") + CsvField(model_->data(model_->index(r, c), Qt::DisplayRole).toString());
    line += "\r\n";
    ok = std::fwrite(line.constData(), 1, static_cast<std::size_t>(line.size()), out) == static_cast<std::size_t>(line.size());
  }
  // The reason of the first failure: a small export fails only when the
  // buffer reaches the disk at fclose, and errno may be stale before that.
  int error = ok ? 0 : errno;
  if (out != nullptr && std::fclose(out) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    ShowMessage(this, UiText(ui::kCsvNotWritten).arg(path + ": " + QString::fromLocal8Bit(std::strerror(error ? error : EIO))));
  }
  return ok;
}

QString History::DeleteQuestion(const QString& name) { return UiText(ui::kDeleteQuestion) + "\n" + UiText(ui::kNamedFile).arg(name); }

void History::ShowGraph() {
  Grapsh graph(state_.DatabasePath(), this);
  graph.SetUnitLabel(state_.UnitLabel());
  graph.exec();
}

void History::DeleteFile() {
  QTreeWidgetItem* item = selected_ >= 0 ? files_->topLevelItem(selected_) : nullptr;
  if (item == nullptr || selected_name_->text().isEmpty()) {
    ShowMessage(this, UiText(ui::kSelectFile));
    select_->setEnabled(true);
    return;
  }
  const std::string name = item->data(0, Qt::UserRole).toByteArray().toStdString();
  QMessageBox confirm(QMessageBox::Warning, QString::fromUtf8(kAppTitle.data(), kAppTitle.size()),
                      DeleteQuestion(item->text(0)),
                      QMessageBox::Ok | QMessageBox::Cancel, this);
  confirm.setDefaultButton(QMessageBox::Cancel);
  if (confirm.exec() != QMessageBox::Ok) return;
  if (const std::string reason = UnsafeNameReason(name); !reason.empty() || IsConsoleOwnFile(name)) {
    ShowMessage(this, QString::fromStdString(reason.empty() ? OwnFileText(name) : reason));
    return;
  }
  // The card first; the local copy and the records go only once the unit
  // has been asked, in the order the user sees them go.
  SetButtons(false);
  cancel_->setEnabled(false);
  SetListing(true);
  Unit& unit = state_.TheUnit();
  RunAsync(this, [&unit, name] { unit.DeleteCardFile(name); }, [this, name] {
    SetListing(false);
    SetButtons(true);
    if (const std::string problem = RemoveLocalCopy(state_.DataFolder(), name); !problem.empty()) {
      ShowMessage(this, QString::fromStdString(problem));
    }
    for (int i = 0; i < files_->topLevelItemCount(); ++i) {
      if (files_->topLevelItem(i)->data(0, Qt::UserRole).toByteArray().toStdString() == name) {
        const QSignalBlocker quiet(files_);
        delete files_->takeTopLevelItem(i);
        break;
      }
    }
    // The first remaining file becomes the target, and the highlight with it.
    ClickRow(files_->topLevelItemCount() > 0 ? 0 : -1);
    RecordStore store([this](const std::string& error) { ShowMessage(this, QString::fromStdString(error)); });
    if (store.Connect(state_.DatabasePath()) >= 0) store.DeleteAllRecords();
  });
}

void History::closeEvent(QCloseEvent* event) {
  // No thread may touch a window that is gone: no closing during an import.
  if (state_.Importing() || listing_) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void History::reject() {
  if (!state_.Importing() && !listing_) QDialog::reject();
}

}  // namespace norvo
