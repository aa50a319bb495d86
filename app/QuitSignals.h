#pragma once
// SIGTERM, SIGINT and SIGHUP end the console the way its Quit does: the
// handler only writes to a pipe; the event loop reads it and quits, so the
// polling stops, the unit is let go and the process exits with status 0.

#include <QObject>

class QSocketNotifier;

namespace norvo {

class QuitSignals : public QObject {
 public:
  // Installs the handlers; at most one object at a time.
  explicit QuitSignals(QObject* parent = nullptr);
  ~QuitSignals() override;

  // The signal that asked to quit (0: none yet).
  static int Received();

 private:
  QSocketNotifier* notifier_ = nullptr;
};

}  // namespace norvo
