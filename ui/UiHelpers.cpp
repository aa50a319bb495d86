#include "UiHelpers.h"

#include <QApplication>
#include <QEventLoop>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <atomic>
#include <thread>

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
  QEventLoop loop;
  std::atomic<bool> done{false};
  QApplication::setOverrideCursor(Qt::WaitCursor);
  std::thread worker([&] {
    work();
    done.store(true);
    // The loop object outlives this call: the UI thread joins before leaving.
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  if (!done.load()) loop.exec(QEventLoop::ExcludeUserInputEvents);
  worker.join();
  QApplication::restoreOverrideCursor();
}

}  // namespace norvo
