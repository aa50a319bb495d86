#pragma once
// Desktop notifications through the freedesktop notifications interface on
// the session bus (org.freedesktop.Notifications, method Notify). The call
// is asynchronous: a desktop without a notification service costs one
// warning, never a wait on the user-interface thread.

#include <QObject>
#include <QString>

namespace norvo {

class DesktopNotifier : public QObject {
  Q_OBJECT
 public:
  explicit DesktopNotifier(QObject* parent = nullptr);

  // urgent: an alarm that starts (critical urgency); else normal.
  void Notify(const QString& title, const QString& body, bool urgent);
  // Calls the service answered, and those it did not (no service, an error).
  int Answered() const { return answered_; }
  int Failed() const { return failed_; }

 private:
  int answered_ = 0;
  int failed_ = 0;
  bool warned_ = false;
};

}  // namespace norvo
