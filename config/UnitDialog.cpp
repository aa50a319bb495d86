#include "UnitDialog.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPushButton>
#include <QMessageBox>
#include <atomic>
#include <thread>
#include <vector>

#include "res/Strings.h"

namespace norvo {

QString UiText(int id) { return QString::fromStdString(UIString(id)); }
QString Utf8(const std::string& text) { return QString::fromStdString(text); }

void ShowMessage(QWidget* parent, const QString& text) {
  QMessageBox box(parent);
  box.setWindowTitle(QString::fromUtf8(kAppTitle.data(), static_cast<qsizetype>(kAppTitle.size())));
  box.setText(text);
  box.setStandardButtons(QMessageBox::Ok);
  box.exec();
}

QHBoxLayout* ButtonRow(QPushButton* save, QPushButton* exit) {
  auto* row = new QHBoxLayout;
  row->addStretch();
  row->addWidget(save);
  row->addWidget(exit);
  return row;
}

void RunOffUiThread(const std::function<void()>& work) {
  std::atomic<bool> done{false};
  std::thread worker([&] {
    work();
    done.store(true);
  });
  while (!done.load()) {
    QApplication::processEvents(QEventLoop::ExcludeUserInputEvents, 5);
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  worker.join();
}

UnitDialog::UnitDialog(DeviceLink& link, ResponseStore& store, QWidget* parent) : QDialog(parent), link_(link) {
  store.AddPermissionReader(&permission_);
}

WriteOutcome UnitDialog::WriteToUnit(std::span<const Payload> frames, const WriteTiming& timing) {
  const std::vector<Payload> copy(frames.begin(), frames.end());
  WriteOutcome outcome = WriteOutcome::kNotConnected;
  RunOffUiThread([&] { outcome = RunWriteSequence(link_, timing, copy, permission_); });
  if (outcome == WriteOutcome::kRefused) ShowMessage(this, UiText(236));
  return outcome;
}

}  // namespace norvo
