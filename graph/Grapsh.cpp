#include "Grapsh.h"

#include <QComboBox>
#include <QDateEdit>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimeEdit>
#include <vector>

#include "Chart.h"
#include "res/Strings.h"
#include "store/OleDate.h"

namespace norvo {
namespace {

QString Ui(int id) { return QString::fromStdString(UIString(id)); }
QString Text(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

std::string SpanText(const QDate& d, const QTime& t) {
  return QString::asprintf("%d-%02d-%02d %d:%02d:%02d", d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second())
      .toStdString();
}

double Ole(const QDate& d, const QTime& t) {
  return ToOleDate({d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()});
}

}  // namespace

Grapsh::Grapsh(std::string database_path, QWidget* parent, QDateTime now)
    : QDialog(parent),
      store_([this](const std::string& error) {
        QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kAppTitle.data(), kAppTitle.size()),
                        QString::fromStdString(error), QMessageBox::Ok, this);
        box.exec();
      }),
      database_path_(std::move(database_path)) {
  setObjectName("132");
  setWindowTitle(Ui(225));
  chart_ = new CTchart1(this);
  auto* start_label = new QLabel(Ui(234), this);
  start_label->setObjectName("1131");
  auto* end_label = new QLabel(Ui(235), this);
  end_label->setObjectName("1132");
  const auto date_edit = [this](const char* id) {
    auto* e = new QDateEdit(this);
    e->setObjectName(id);
    e->setDisplayFormat("yyyy-MM-dd");
    e->setAlignment(Qt::AlignRight);
    return e;
  };
  const auto time_edit = [this](const char* id) {
    auto* e = new QTimeEdit(this);
    e->setObjectName(id);
    e->setDisplayFormat("HH:mm:ss");
    e->setAlignment(Qt::AlignRight);
    return e;
  };
  start_date_ = date_edit("1040");
  start_time_ = time_edit("1041");
  end_date_ = date_edit("1042");
  end_time_ = time_edit("1043");
  quantity_ = new QComboBox(this);
  quantity_->setObjectName("1006");
  select_ = new QPushButton(Ui(223), this);
  select_->setObjectName("1005");
  exit_ = new QPushButton(Ui(217), this);
  exit_->setObjectName("1037");
  const GraphTexts& extras = GraphExtras();
  reset_ = new QPushButton(Text(extras.reset), this);
  reset_->setObjectName("reset-chart");
  save_ = new QPushButton(Text(extras.save), this);
  save_->setObjectName("save-chart");

  auto* grid = new QGridLayout;
  grid->addWidget(start_label, 0, 0);
  grid->addWidget(start_date_, 0, 1);
  grid->addWidget(start_time_, 0, 2);
  grid->addWidget(quantity_, 0, 3);
  grid->addWidget(select_, 0, 5);
  grid->addWidget(exit_, 0, 6);
  grid->addWidget(end_label, 1, 0);
  grid->addWidget(end_date_, 1, 1);
  grid->addWidget(end_time_, 1, 2);
  grid->addWidget(reset_, 1, 5);
  grid->addWidget(save_, 1, 6);
  grid->setColumnStretch(4, 1);
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(chart_, 1);
  resize(920, 520);

  // The default span is the last hour, also across midnight.
  const QDateTime start = now.addSecs(-3600);
  start_date_->setDate(start.date());
  start_time_->setTime(start.time());
  end_date_->setDate(now.date());
  end_time_->setTime(now.time());
  quantity_->addItem(Ui(201));
  quantity_->addItem(Ui(202));
  quantity_->setCurrentIndex(0);
  // Until the first Select the time axis shows the span the pickers propose.
  chart_->SetTimeAxisRange(Ole(start_date_->date(), start_time_->time()), Ole(end_date_->date(), end_time_->time()));
  chart_->Replot();

  connect(select_, &QPushButton::clicked, this, &Grapsh::Select);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
  connect(reset_, &QPushButton::clicked, chart_, &CTchart1::ResetView);
  connect(save_, &QPushButton::clicked, this, &Grapsh::SaveChart);
}

void Grapsh::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, Text(kAppTitle), text, QMessageBox::Ok, this);
  box.exec();
}

void Grapsh::SaveChart() {
  const GraphTexts& extras = GraphExtras();
  const QStringList filters = {Text(extras.png_filter), Text(extras.pdf_filter), Text(extras.csv_filter)};
  const QStringList suffixes = {"png", "pdf", "csv"};
  QString name = chart_->Header().trimmed();
  if (name.isEmpty()) name = "graph";
  QString title = Text(extras.save);
  while (title.endsWith(QLatin1Char('.'))) title.chop(1);
  QFileDialog dialog(this, title, QDir::home().filePath(name + ".png"));
  dialog.setObjectName("save-chart-file");
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setNameFilters(filters);
  dialog.setDefaultSuffix(suffixes[0]);
  connect(&dialog, &QFileDialog::filterSelected, &dialog,
          [&](const QString& filter) { dialog.setDefaultSuffix(suffixes.value(filters.indexOf(filter), "png")); });
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return;
  QString path = dialog.selectedFiles().constFirst();
  QString format = QFileInfo(path).suffix().toLower();
  if (!suffixes.contains(format)) {
    // A name without a known suffix takes the chosen filter's format, and
    // its suffix when it has none at all.
    format = suffixes.value(filters.indexOf(dialog.selectedNameFilter()), "png");
    if (QFileInfo(path).suffix().isEmpty()) path += "." + format;
  }
  const bool written = format == "pdf"   ? chart_->SavePdf(path)
                       : format == "csv" ? chart_->SaveCsv(path)
                                         : chart_->SavePng(path);
  if (!written) ShowError(Text(extras.write_error) + "\n" + QDir::toNativeSeparators(path));
}

bool Grapsh::Draw(int series, const std::string& start, const std::string& end, const char* column, int count) {
  if (count <= 0) return true;
  if (store_.Connect(database_path_) < 0) return false;
  if (store_.QueryRecords(start, end, column) != 0) return false;
  std::vector<double> dates(static_cast<std::size_t>(count)), values(static_cast<std::size_t>(count));
  int n = 0;
  double time;
  float value;
  // A table that grew since the count never writes past the arrays.
  while (n < count && store_.NextRow(&time, &value)) {
    dates[static_cast<std::size_t>(n)] = time;
    values[static_cast<std::size_t>(n)] = static_cast<double>(value);
    ++n;
  }
  chart_->AddArrays(series, n, values.data(), dates.data());
  return true;
}

void Grapsh::Select() {
  const QDate sd = start_date_->date(), ed = end_date_->date();
  const QTime st = start_time_->time(), et = end_time_->time();
  const std::string start = SpanText(sd, st), end = SpanText(ed, et);
  const double from = Ole(sd, st), to = Ole(ed, et);
  if (to < from) {
    ShowError(Ui(248));
    return;
  }
  for (int i = 0; i < CTchart1::kSeries; ++i) chart_->ClearSeries(i);
  chart_->SetValueAxisAutomatic(false);
  chart_->SetTimeAxisAutomatic(false);
  chart_->SetTimeAxisRange(from, to);

  int counts[3] = {0, 0, 0};
  const char* columns[3] = {"Temperature", "DewPoint", "Heatindex"};
  const auto count = [&](const char* column) {
    if (store_.Connect(database_path_) < 0 || store_.CountRecords(start, end, column) != 0) return -1;
    return store_.Count();
  };
  const int view = quantity_->currentIndex();
  if (view == 0) {
    chart_->SetHeaderLine(0, Ui(201));
    chart_->SetSeriesTitle(0, Ui(201));
    chart_->SetSeriesTitle(1, Ui(293));
    chart_->SetSeriesTitle(2, Ui(229));
    chart_->SetSeriesShown(0, true);
    chart_->SetSeriesShown(1, true);
    chart_->SetSeriesShown(2, true);
    chart_->SetSeriesShown(3, false);
    for (int i = 0; i < 3; ++i) {
      counts[i] = count(columns[i]);
      if (counts[i] < 0) break;  // reported; draw what there is
    }
    chart_->SetValueAxisTitle(unit_label_);
    chart_->SetValueAxisAutomatic(true);
  } else if (view == 1) {
    columns[0] = "Humidity";
    chart_->SetHeaderLine(0, Ui(202));
    chart_->SetSeriesTitle(0, Ui(202));
    chart_->SetSeriesShown(0, true);
    for (int i = 1; i < CTchart1::kSeries; ++i) chart_->SetSeriesShown(i, false);
    counts[0] = count("Humidity");
    chart_->SetValueAxisTitle(" (%)");
    chart_->SetValueAxisAutomatic(true);
  } else {
    chart_->Replot();
    return;
  }
  for (int i = 0; i < 3; ++i) {
    if (counts[i] < 0 || !Draw(i, start, end, columns[i], counts[i])) break;
  }
  chart_->Replot();
}

}  // namespace norvo
