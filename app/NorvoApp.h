#pragma once
// The application object: one instance at a time, the data folder and its
// files, the language from Main.ini, then the main window until it closes.

#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>

#include "settings/FileLock.h"
#include "sim/Rig.h"

namespace norvo {

class CMyNorvoDlg;
class SharedUnit;
class DeviceWatcher;
class Transport;
namespace sim {
class SimUnit;
class SimTransport;
}  // namespace sim

class CMyNorvoApp {
 public:
  // arguments: the program's own arguments (without the program name);
  // "--simulate" runs against the simulated unit.
  explicit CMyNorvoApp(QStringList arguments);
  ~CMyNorvoApp();

  // Runs the console until its window closes or a quit signal comes;
  // returns the process exit code. A second instance returns 0 at once.
  int InitInstance();

  // After the Language dialog: lets a new instance start, starts it, closes.
  void Restart();

  const std::filesystem::path& DataFolder() const { return data_folder_; }

 private:
  QStringList arguments_;
  bool simulate_ = false;
  std::filesystem::path data_folder_;
  FileLock lock_;  // ConsoleLockPath()
  sim::Rig rig_;
  std::unique_ptr<SharedUnit> session_;
  std::unique_ptr<DeviceWatcher> watcher_;
  std::unique_ptr<CMyNorvoDlg> window_;
};

// Folders that may hold the installation's Main.ini and Norvo.mdb: the
// executable's folder, then the installed share folder.
std::vector<std::filesystem::path> InstallationFolders();

}  // namespace norvo
