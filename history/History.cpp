#include "History.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
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

// Day before month in the user's short date format decides ambiguous dates.
DayOrder LocaleDayOrder() {
  const QString format = QLocale::system().dateFormat(QLocale::ShortFormat);
  const qsizetype d = format.indexOf('d'), m = format.indexOf('M');
  return d >= 0 && m >= 0 && d < m ? DayOrder::kDayFirst : DayOrder::kMonthFirst;
}

}  // namespace

// ---- RecordModel ---------------------------------------------------------------

void RecordModel::SetRows(std::shared_ptr<const std::vector<DisplayRow>> rows, bool three_fields) {
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
  const auto& slot = (*rows_)[static_cast<std::size_t>(index.row())].slot[static_cast<std::size_t>(column)];
  return QString::fromLatin1(slot.data(), static_cast<qsizetype>(strnlen(slot.data(), slot.size())));
}

QVariant RecordModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation == Qt::Horizontal && role == Qt::DisplayRole && section < titles_.size()) return titles_[section];
  return QAbstractTableModel::headerData(section, orientation, role);
}

// ---- HistoryState ----------------------------------------------------------------

HistoryState::HistoryState(CardTransfer& transfer, fs::path data_folder, QObject* parent)
    : QObject(parent), data_folder_(std::move(data_folder)), transfer_(transfer) {
  // Called on the reader and worker threads: signals cross to the window queued.
  transfer_.SetHooks({[this](int range) { emit ProgressRange(range); },
                       [this](int position) { emit ProgressPosition(position); },
                       [this](const std::string& text) { emit DoneLabel(QString::fromStdString(text)); }});
}

HistoryState::~HistoryState() {
  JoinWorker();
  transfer_.SetHooks({});
}

void HistoryState::JoinWorker() {
  if (worker_.joinable()) worker_.join();
}

void HistoryState::StartImport(const std::string& name, DayOrder order) {
  JoinWorker();
  importing_.store(true);
  transfer_.ResetReceived();
  worker_ = std::thread([this, name, order] {
    const auto post = [this](const std::string& text) {
      const QString message = QString::fromStdString(text);
      QMetaObject::invokeMethod(this, [this, message] { emit Message(message); }, Qt::QueuedConnection);
    };
    const DownloadOutcome download = transfer_.DownloadFile(name);
    if (!download.message.empty()) post(download.message);
    ImportResult result;
    bool imported = false;
    if (download.ImportFollows()) {
      RecordStore store([post](const std::string& error) { post(error); });
      result = ImportLocalCopy(name, transfer_.LocalPath(name), DatabasePath(), order, store);
      if (!result.message.empty()) post(result.message);
      imported = result.opened;
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
    rows_ = std::make_shared<const std::vector<DisplayRow>>(std::move(result.rows));
    three_fields_ = result.three_fields;
    unit_label_ = QString::fromStdString(result.unit_label);
  }
  importing_.store(false);
  emit Finished(imported, enable_buttons);
}

// ---- History ----------------------------------------------------------------------

History::History(HistoryState& state, QWidget* parent) : QDialog(parent), state_(state) {
  setObjectName("136");
  setWindowTitle(UiText(222));
  auto* select_label = new QLabel(UiText(223) + ":", this);
  select_label->setObjectName("1130");
  selected_name_ = new QLabel(this);
  selected_name_->setObjectName("1039");
  selected_name_->setMinimumWidth(110);
  size_label_ = new QLabel(this);
  size_label_->setObjectName("1085");
  size_label_->hide();
  select_ = new QPushButton(UiText(223), this);
  select_->setObjectName("1005");
  delete_ = new QPushButton(UiText(224), this);
  delete_->setObjectName("1007");
  graph_ = new QPushButton(UiText(225), this);
  graph_->setObjectName("1006");
  progress_ = new QProgressBar(this);
  progress_->setObjectName("1004");
  progress_->setTextVisible(false);
  progress_->setRange(0, 100);
  progress_->setValue(0);

  files_ = new QTreeWidget(this);
  files_->setObjectName("1002");
  files_->setRootIsDecorated(false);
  files_->setColumnCount(2);
  files_->setHeaderLabels({UiText(226), UiText(227)});
  files_->header()->setDefaultAlignment(Qt::AlignCenter);
  files_->setColumnWidth(0, 110);
  files_->setColumnWidth(1, 80);
  files_->setFixedWidth(215);

  model_ = new RecordModel(this);
  model_->SetTitles({UiText(228), UiText(201), UiText(202), UiText(293), UiText(229)});
  records_ = new QTableView(this);
  records_->setObjectName("1003");
  records_->setModel(model_);
  records_->setSelectionBehavior(QAbstractItemView::SelectRows);
  records_->verticalHeader()->hide();
  records_->verticalHeader()->setDefaultSectionSize(20);
  records_->horizontalHeader()->setDefaultSectionSize(110);
  records_->setColumnWidth(0, 150);
  records_->setShowGrid(true);

  auto* top = new QHBoxLayout;
  top->addWidget(select_label);
  top->addWidget(selected_name_);
  top->addWidget(select_);
  top->addWidget(delete_);
  top->addWidget(graph_);
  top->addWidget(progress_, 1);
  auto* lists = new QHBoxLayout;
  lists->addWidget(files_);
  lists->addWidget(records_, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(top);
  layout->addLayout(lists, 1);
  resize(900, 560);

  connect(select_, &QPushButton::clicked, this, &History::SelectFile);
  connect(delete_, &QPushButton::clicked, this, &History::DeleteFile);
  connect(graph_, &QPushButton::clicked, this, &History::ShowGraph);
  connect(files_, &QTreeWidget::itemClicked, this,
          [this](QTreeWidgetItem* item) { ClickRow(files_->indexOfTopLevelItem(item)); });
  connect(&state_, &HistoryState::ProgressRange, this, [this](int range) { progress_->setRange(0, std::max(range, 1)); });
  connect(&state_, &HistoryState::ProgressPosition, this,
          [this](int position) { progress_->setValue(std::clamp(position, 0, progress_->maximum())); });
  connect(&state_, &HistoryState::DoneLabel, size_label_, &QLabel::setText);
  connect(&state_, &HistoryState::Message, this, [this](const QString& text) { ShowMessage(this, text); });
  connect(&state_, &HistoryState::Finished, this, &History::OnFinished);

  // A fresh list from the unit at every opening.
  CardTransfer& transfer = state_.Transfer();
  transfer.ClearList();
  if (state_.Link().Connected() == 1) {
    RunOffUiThread([&transfer] { transfer.RequestFileList(); });
    for (int i = 0; i < transfer.Count(); ++i) {
      auto* item = new QTreeWidgetItem({FromLatin1(transfer.Name(i)), QString::fromStdString(transfer.SizeTextAt(i))});
      item->setData(0, Qt::UserRole, QByteArray::fromStdString(transfer.Name(i)));
      item->setTextAlignment(0, Qt::AlignCenter);
      item->setTextAlignment(1, Qt::AlignCenter);
      files_->addTopLevelItem(item);
    }
  }
}

void History::ClickRow(int row) {
  selected_ = row;
  QTreeWidgetItem* item = row >= 0 ? files_->topLevelItem(row) : nullptr;
  selected_name_->setText(item ? item->text(0) : QString());
  size_label_->setText(item ? item->text(1) : QString());
  if (item) files_->setCurrentItem(item);
}

void History::SetButtons(bool enabled) {
  select_->setEnabled(enabled);
  graph_->setEnabled(enabled);
  delete_->setEnabled(enabled);
}

void History::SelectFile() {
  if (state_.Importing()) return;
  QTreeWidgetItem* item = selected_ >= 0 ? files_->topLevelItem(selected_) : nullptr;
  if (item == nullptr || selected_name_->text().isEmpty()) {
    ShowMessage(this, UiText(243));
    return;
  }
  SetButtons(false);
  progress_->setValue(0);
  // The record list stays empty until the import has filled its rows.
  model_->SetRows(nullptr, false);
  state_.StartImport(item->data(0, Qt::UserRole).toByteArray().toStdString(), LocaleDayOrder());
}

void History::OnFinished(bool imported, bool enable_buttons) {
  if (imported) {
    model_->SetTitles(Titles(ColumnTitles(state_.ThreeFields(), state_.UnitLabel().toStdString())));
    model_->SetRows(state_.Rows(), state_.ThreeFields());
  }
  SetButtons(enable_buttons);
}

void History::ShowGraph() {
  Grapsh graph(state_.DatabasePath(), this);
  graph.SetUnitLabel(state_.UnitLabel());
  graph.exec();
}

void History::DeleteFile() {
  QTreeWidgetItem* item = selected_ >= 0 ? files_->topLevelItem(selected_) : nullptr;
  if (item == nullptr || selected_name_->text().isEmpty()) {
    ShowMessage(this, UiText(243));
    select_->setEnabled(true);
    return;
  }
  const std::string name = item->data(0, Qt::UserRole).toByteArray().toStdString();
  QMessageBox confirm(QMessageBox::Warning, QString::fromUtf8(kAppTitle.data(), kAppTitle.size()), UiText(247),
                      QMessageBox::Ok | QMessageBox::Cancel, this);
  confirm.setDefaultButton(QMessageBox::Cancel);
  if (confirm.exec() != QMessageBox::Ok) return;
  if (const std::string reason = UnsafeNameReason(name); !reason.empty()) {
    ShowMessage(this, QString::fromStdString(reason));
    return;
  }
  CardTransfer& transfer = state_.Transfer();
  RunOffUiThread([&transfer, &name] { transfer.DeleteCardFile(name); });
  std::error_code ec;
  fs::remove(transfer.LocalPath(name), ec);  // a missing copy is no error
  delete files_->takeTopLevelItem(selected_);
  selected_ = 0;
  QTreeWidgetItem* first = files_->topLevelItem(0);
  selected_name_->setText(first ? first->text(0) : QString());
  RecordStore store([this](const std::string& error) { ShowMessage(this, QString::fromStdString(error)); });
  if (store.Connect(state_.DatabasePath()) >= 0) store.DeleteAllRecords();
}

void History::closeEvent(QCloseEvent* event) {
  // No thread may touch a window that is gone: no closing during an import.
  if (state_.Importing()) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);
}

void History::reject() {
  if (!state_.Importing()) QDialog::reject();
}

}  // namespace norvo
