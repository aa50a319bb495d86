#pragma once
// What every dialog of the console shares: texts from the string table, plain
// message boxes, the Save/Exit row, and work run off the user-interface thread
// while the window keeps painting.

#include <QString>
#include <functional>
#include <string>

class QHBoxLayout;
class QPushButton;
class QWidget;

namespace norvo {

QString UiText(int id);
QString Utf8(const std::string& text);

// A plain message box: OK button, the application's name as caption.
void ShowMessage(QWidget* parent, const QString& text);

// Runs work on a thread of its own and returns when it is done. Meanwhile a
// local event loop serves the window's events (not user input) and the wait
// cursor is shown; nothing polls.
void RunOffUiThread(const std::function<void()>& work);

// The Save and Exit buttons at the bottom right of a dialog.
QHBoxLayout* ButtonRow(QPushButton* save, QPushButton* exit);

}  // namespace norvo
