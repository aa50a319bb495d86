#pragma once
// The application object: one instance at a time, the data folder and its
// files, the language from Main.ini, then the main window until it closes.

#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <string>

#include "settings/FileLock.h"
#include "sim/Rig.h"
#include <QPointer>
#include <vector>

#include "Recording.h"
#include "monitor/MainWindow.h"
#include "trends/TrendsWindow.h"

namespace norvo {

class CMyNorvoDlg;
class SharedUnit;
class DeviceWatcher;
class Transport;
namespace sim {
class SimUnit;
class SimTransport;
}  // namespace sim

// What the command line asks of the console.
struct ConsoleOptions {
  bool simulate = false;  // --simulate: the simulated unit instead of USB
  std::string sim_fault;  // --sim-fault NAME: the simulated unit misbehaves so
};

// The command line of norvo, the program name first: the options, or (exit)
// what to print and the exit status: --help and --version print and end
// with 0, a wrong option ends with kBadInput.
struct CommandLine {
  ConsoleOptions options;
  bool exit = false;
  int status = 0;
  QString out, err;
};
CommandLine ParseCommandLine(const QStringList& arguments);
// True when the command line asks for --help or --version, which need no
// window system.
bool AsksOnlyForText(const QStringList& arguments);

class CMyNorvoApp {
 public:
  // arguments: the program's own arguments (without the program name), kept
  // for a restart.
  CMyNorvoApp(QStringList arguments, ConsoleOptions options);
  ~CMyNorvoApp();

  // Runs the console until its window closes or a quit signal comes;
  // returns the process exit code. A second instance returns 0 at once.
  int InitInstance();

  // After the Language dialog: lets a new instance start, starts it, closes.
  void Restart();

  const std::filesystem::path& DataFolder() const { return data_folder_; }

 private:
  bool TakeLock();
  bool OpenUnit();
  void OpenWindow();
  // Recording of the held unit's polls and the Trends command.
  void InstallRecording(CMyNorvoDlg::Options* options);
  void OpenTrends();

  QStringList arguments_;
  ConsoleOptions options_;
  std::filesystem::path data_folder_;
  FileLock lock_;  // ConsoleLockPath()
  sim::Rig rig_;
  std::unique_ptr<SharedUnit> unit_;
  std::unique_ptr<DeviceWatcher> watcher_;
  std::unique_ptr<ConsoleRecorder> recorder_;  // ends after the window: it writes what is queued
  std::unique_ptr<CMyNorvoDlg> window_;
  QPointer<TrendsWindow> trends_;
};

// The stores the Trends window reads: the console's own, and the logger's in
// /var/lib/Tarvik when that is another folder and holds one.
std::vector<std::string> TrendsDatabases(const std::filesystem::path& data_folder);

// Folders that may hold the installation's Main.ini and Norvo.mdb: the
// executable's folder, then the installed share folder.
std::vector<std::filesystem::path> InstallationFolders();

}  // namespace norvo
