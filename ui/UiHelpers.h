#pragma once
// What every dialog of the console shares: texts from the string table, plain
// message boxes, the Save/Exit row, and work run off the user-interface thread
// while the window keeps painting.

#include <QCoreApplication>
#include <QPointer>
#include <QString>
#include <QWidget>
#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

class QHBoxLayout;
class QPushButton;

namespace norvo {

// UIString(id) as a QString: the same lookup by name (ui::kName), nothing more.
QString UiText(int id);
QString Utf8(const std::string& text);

// Qt's own texts (OK, Cancel, key names such as "Ctrl") in the console's
// language: German (1031) installs Qt's German translation, anything else
// removes it. False when German was asked for and no translation was found.
bool UseQtTranslations(int language_id);

// A plain message box: OK button, the application's name as caption.
void ShowMessage(QWidget* parent, const QString& text);

// Every message box of the application is made wide enough for its whole
// title beside the window manager's icon and buttons: Qt sizes a box by its
// text and leaves the title only 50 pixels more, so a short text ("Time
// Error", the About box) left a title bar of "O...x". Installs an event
// filter on the application once; later calls do nothing.
void FitMessageBoxTitles();
// The width a message box needs for its title (the same rule).
int TitleBarWidth(const QWidget* window);

// The console's one background thread for exchanges with the unit started
// from the user-interface thread: work runs there in the order posted. The UI
// thread never waits for it; results come back by queued calls.
namespace background {
void Post(std::function<void()> work);
// Runs what is queued, then ends the thread: called on the user-interface
// thread before the unit session goes. A later Post starts it again.
void Stop();
}  // namespace background

// Runs work on the background thread, then done(result) on the
// user-interface thread, unless receiver is gone by then. The wait cursor is
// shown meanwhile.
void BeginWait();
void EndWait();
template <class Work, class Done>
void RunAsync(QObject* receiver, Work work, Done done) {
  using Result = std::invoke_result_t<Work&>;
  QPointer<QObject> guard(receiver);
  BeginWait();
  background::Post([guard, work = std::move(work), done = std::move(done)]() mutable {
    if constexpr (std::is_void_v<Result>) {
      work();
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [guard, done = std::move(done)]() mutable {
            EndWait();
            if (guard) done();
          },
          Qt::QueuedConnection);
    } else {
      auto result = std::make_shared<Result>(work());
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [guard, done = std::move(done), result]() mutable {
            EndWait();
            if (guard) done(std::move(*result));
          },
          Qt::QueuedConnection);
    }
  });
}

// The Save and Exit buttons at the bottom right of a dialog. Neither becomes
// the default on its own: Enter in a field writes nothing to the unit unless
// the dialog makes its Save the default button, as the Alarm dialog does.
QHBoxLayout* ButtonRow(QPushButton* save, QPushButton* exit);

// Tab moves through the widgets in this order (the order the layout reads).
void SetTabChain(std::initializer_list<QWidget*> chain);
template <typename Range>
void SetTabChain(const Range& chain) {
  QWidget* previous = nullptr;
  for (QWidget* w : chain) {
    if (previous != nullptr) QWidget::setTabOrder(previous, w);
    previous = w;
  }
}

}  // namespace norvo
