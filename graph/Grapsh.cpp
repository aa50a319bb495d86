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
#include <QSaveFile>
#include <QTimeEdit>
#include <memory>
#include <vector>

#include "Chart.h"
#include "res/Strings.h"
#include "store/OleDate.h"
#include "ui/UiHelpers.h"

namespace norvo {
namespace {

QString Ui(int id) { return QString::fromStdString(UIString(id)); }
QString Text(std::string_view text) { return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())); }

double Ole(const QDate& d, const QTime& t) {
  return ToOleDate({d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second()});
}

template <typename Edit>
Edit* Picker(QWidget* parent, const char* id, const char* format) {
  auto* e = new Edit(parent);
  e->setObjectName(id);
  e->setDisplayFormat(format);
  e->setAlignment(Qt::AlignRight);
  return e;
}

}  // namespace

Grapsh::Grapsh(std::string database_path, QWidget* parent, QDateTime now)
    : QDialog(parent), database_path_(std::move(database_path)) {
  setObjectName("132");
  setWindowTitle(Ui(225));
  chart_ = new CTchart1(this);
  QGridLayout* grid = BuildControls();
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(grid);
  layout->addWidget(chart_, 1);
  resize(920, 520);

  ProposeSpan(now);
  WireSignals();
}

void Grapsh::WireSignals() {
  connect(quantity_, &QComboBox::currentIndexChanged, this, [this](int view) {
    if (drawn_) return;
    LabelSeries(view, ViewTitles(view));
    chart_->Replot();
  });
  connect(select_, &QPushButton::clicked, this, &Grapsh::Select);
  connect(exit_, &QPushButton::clicked, this, &QDialog::reject);
  connect(reset_, &QPushButton::clicked, chart_, &CTchart1::ResetView);
  connect(save_, &QPushButton::clicked, this, &Grapsh::SaveChart);
  connect(whole_, &QPushButton::clicked, this, &Grapsh::ShowWholeFile);
}

// The span pickers, the quantity and the buttons, in two rows.
QGridLayout* Grapsh::BuildControls() {
  auto* start_label = new QLabel(Ui(234), this);
  start_label->setObjectName("1131");
  auto* end_label = new QLabel(Ui(235), this);
  end_label->setObjectName("1132");
  start_date_ = Picker<QDateEdit>(this, "1040", "yyyy-MM-dd");
  start_time_ = Picker<QTimeEdit>(this, "1041", "HH:mm:ss");
  end_date_ = Picker<QDateEdit>(this, "1042", "yyyy-MM-dd");
  end_time_ = Picker<QTimeEdit>(this, "1043", "HH:mm:ss");
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
  whole_ = new QPushButton(Text(extras.whole_file), this);
  whole_->setObjectName("whole-file");

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
  grid->addWidget(whole_, 1, 3);
  grid->addWidget(reset_, 1, 5);
  grid->addWidget(save_, 1, 6);
  grid->setColumnStretch(4, 1);
  return grid;
}

void Grapsh::ProposeSpan(const QDateTime& now) {
  // The default span is the last hour, also across midnight.
  const QDateTime start = now.addSecs(-3600);
  start_date_->setDate(start.date());
  start_time_->setTime(start.time());
  end_date_->setDate(now.date());
  end_time_->setTime(now.time());
  quantity_->addItem(Ui(201));
  quantity_->addItem(Ui(202));
  quantity_->setCurrentIndex(0);
  // Before the first Select the legend names the series of the chosen view.
  LabelSeries(0, ViewTitles(0));
  // Until the first Select the time axis shows the span the pickers propose.
  chart_->SetTimeAxisRange(Ole(start_date_->date(), start_time_->time()), Ole(end_date_->date(), end_time_->time()));
  chart_->Replot();
}

QStringList Grapsh::ViewTitles(int view) {
  if (view == 0) return {Ui(201), Ui(293), Ui(229)};
  if (view == 1) return {Ui(202)};
  return {};
}

void Grapsh::LabelSeries(int view, const QStringList& titles) {
  for (int i = 0; i < CTchart1::kSeries; ++i) {
    const bool shown = i < titles.size() && view >= 0 && view <= 1;
    if (shown) chart_->SetSeriesTitle(i, titles[i]);
    chart_->SetSeriesShown(i, shown);
  }
}

void Grapsh::ShowWholeFile() {
  struct Span {
    bool found = false;
    double first = 0, last = 0;
    std::string error;
  };
  SetBusy(true);
  RunAsync(
      this,
      [path = database_path_] {
        Span span;
        span.found = StoredSpan(path, &span.first, &span.last, &span.error);
        return span;
      },
      [this](Span span) {
        SetBusy(false);
        if (!span.error.empty()) {
          ShowStoreError(span.error);
          return;
        }
        if (span.found) {
          // A reading belongs when start < Time <= end, and the pickers hold
          // whole seconds: the start goes back and the end forward to one.
          const auto at = [](double ole) {
            const DateTime t = FromOleDate(ole);
            return QDateTime(QDate(t.year, t.month, t.day), QTime(t.hour, t.minute, t.second), Qt::UTC);
          };
          QDateTime start = at(span.first), end = at(span.last);
          if (Ole(start.date(), start.time()) >= span.first) start = start.addSecs(-1);
          if (Ole(end.date(), end.time()) < span.last) end = end.addSecs(1);
          start_date_->setDate(start.date());
          start_time_->setTime(start.time());
          end_date_->setDate(end.date());
          end_time_->setTime(end.time());
        }
        Select();
      });
}

void Grapsh::ShowError(const QString& text) {
  QMessageBox box(QMessageBox::Critical, Text(kAppTitle), text, QMessageBox::Ok, this);
  box.exec();
}

// The store's own messages come in a plain box, as every store user shows them.
void Grapsh::ShowStoreError(const std::string& text) {
  QMessageBox box(QMessageBox::NoIcon, Text(kAppTitle), QString::fromStdString(text), QMessageBox::Ok, this);
  box.exec();
}

void Grapsh::SetBusy(bool busy) {
  setProperty("busy", busy);
  select_->setEnabled(!busy);
  whole_->setEnabled(!busy);
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
  if (format == "csv" && drawn_) {
    WriteCsv(path);
    return;
  }
  const bool written = format == "pdf"   ? chart_->SavePdf(path)
                       : format == "csv" ? chart_->SaveCsv(path)
                                         : chart_->SavePng(path);
  if (!written) ShowError(Text(extras.write_error) + "\n" + QDir::toNativeSeparators(path));
  emit Saved();
}

// The chart holds at most two points per pixel column; the file gets every
// reading of the drawn span straight from the store.
void Grapsh::WriteCsv(const QString& path) {
  const Drawing drawing = *drawn_;
  const QString unit = chart_->ValueAxisTitle().trimmed();
  QString header = QStringLiteral("time");
  for (const QString& title : drawing.titles) {
    header += QLatin1Char(',') + CsvField(unit.isEmpty() ? title.trimmed() : title.trimmed() + QLatin1Char(' ') + unit);
  }
  struct Outcome {
    bool written = false;
    std::string error;
  };
  RunAsync(
      this,
      [path, header, request = drawing.request] {
        Outcome outcome;
        QSaveFile file(path);
        if (!file.open(QIODevice::WriteOnly)) return outcome;
        QByteArray chunk = header.toUtf8() + '\n';
        bool failed = false;
        outcome.error = ForEachSeriesRow(request, [&](double time, const std::vector<double>& values) {
          QString line = CsvTime(time);
          for (const double v : values) line += QLatin1Char(',') + CsvValue(v);
          chunk += line.toUtf8() + '\n';
          if (chunk.size() >= (1 << 20)) {
            failed = file.write(chunk) != chunk.size();
            chunk.clear();
          }
          return !failed;
        });
        if (!failed && outcome.error.empty() && file.write(chunk) == chunk.size()) {
          outcome.written = file.commit();
        } else {
          file.cancelWriting();
        }
        return outcome;
      },
      [this, path](Outcome outcome) {
        if (!outcome.error.empty()) {
          ShowStoreError(outcome.error);
        } else if (!outcome.written) {
          ShowError(Text(GraphExtras().write_error) + "\n" + QDir::toNativeSeparators(path));
        }
        emit Saved();
      });
}

void Grapsh::Select() {
  const QDate sd = start_date_->date(), ed = end_date_->date();
  const QTime st = start_time_->time(), et = end_time_->time();
  const double from = Ole(sd, st), to = Ole(ed, et);
  if (to < from) {
    ShowError(Ui(248));
    return;
  }
  Drawing drawing;
  drawing.view = quantity_->currentIndex();
  drawing.request.database_path = database_path_;
  drawing.request.start = from;
  drawing.request.end = to;
  drawing.request.pixel_columns = chart_->PlotWidth();
  drawing.titles = ViewTitles(drawing.view);
  if (drawing.view == 0) {
    drawing.request.columns = {"Temperature", "DewPoint", "Heatindex"};
  } else if (drawing.view == 1) {
    drawing.request.columns = {"Humidity"};
  } else {
    Show(drawing, {});  // no quantity chosen: an empty chart of the span
    return;
  }
  const int generation = ++generation_;
  SetBusy(true);
  RunAsync(
      this, [request = drawing.request] { return QuerySeries(request); },
      [this, generation, drawing](SeriesResult result) {
        if (generation != generation_) return;  // a later Select draws
        SetBusy(false);
        Show(drawing, result);
        if (!result.ok()) ShowStoreError(result.error);
        emit Drawn();
      });
}

// Every drawing starts from scratch, so repeated Selects never mix points.
void Grapsh::Show(const Drawing& drawing, const SeriesResult& result) {
  for (int i = 0; i < CTchart1::kSeries; ++i) chart_->ClearSeries(i);
  chart_->SetValueAxisAutomatic(false);
  chart_->SetTimeAxisAutomatic(false);
  chart_->SetTimeAxisRange(drawing.request.start, drawing.request.end);
  if (drawing.view == 0 || drawing.view == 1) {
    chart_->SetHeaderLine(0, drawing.view == 0 ? Ui(201) : Ui(202));
    LabelSeries(drawing.view, drawing.titles);
    chart_->SetValueAxisTitle(drawing.view == 0 ? unit_label_ : QString(" (%)"));
  } else {
    chart_->Replot();
    return;
  }
  chart_->SetValueAxisWholeNumbers(drawing.view == 1);
  chart_->SetValueAxisAutomatic(true);
  for (std::size_t i = 0; i < result.lines.size(); ++i) {
    const SeriesLine& line = result.lines[i];
    if (line.dates.empty()) continue;  // no valid readings: the series stays cleared
    chart_->AddArrays(static_cast<int>(i), static_cast<int>(line.dates.size()), line.values.data(), line.dates.data());
  }
  drawn_ = drawing;
  chart_->Replot();
}

}  // namespace norvo
