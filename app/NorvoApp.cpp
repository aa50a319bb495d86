#include "NorvoApp.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QDir>
#include <QLocale>
#include <QEvent>
#include <QProcess>

#include "Dialogs.h"
#include "QuitSignals.h"
#include "simui/SimWatcher.h"
#include "settings/DataFolder.h"
#include <cstdio>
#include <stdexcept>

#include "session/SharedUnit.h"
#include "settings/ExitStatus.h"
#include "history/Transfer.h"
#include "monitor/DeviceWatcher.h"
#include "monitor/MainWindow.h"
#include "res/Strings.h"
#include "sim/Rig.h"
#include "ui/UiHelpers.h"

#ifndef NORVO_SHARE_DIR
#define NORVO_SHARE_DIR "/usr/local/share/norvo"
#endif

namespace norvo {
namespace {

// Closing the main window ends the application whenever it comes: while the
// application's loop runs, while a local loop runs inside it (exit() ends
// them all), or before the application's loop has started (a close during
// the first reads, which wait in a local loop; the loop is then not run).
class QuitOnClose : public QObject {
 public:
  using QObject::QObject;
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() == QEvent::Close) {
      closed_ = true;
      QCoreApplication::exit(0);
    }
    return QObject::eventFilter(watched, event);
  }
  bool Closed() const { return closed_; }

 private:
  bool closed_ = false;
};

}  // namespace

std::vector<std::filesystem::path> InstallationFolders() {
  return {QCoreApplication::applicationDirPath().toStdString(), NORVO_SHARE_DIR};
}


bool AsksOnlyForText(const QStringList& arguments) {
  for (qsizetype i = 1; i < arguments.size(); ++i) {
    const QString& a = arguments[i];
    if (a == "--") break;
    if (a == "-h" || a == "-?" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version") return true;
  }
  return false;
}

CommandLine ParseCommandLine(const QStringList& arguments) {
  // Before Main.ini is read (that may create the data folder) the help
  // follows the desktop's language.
  LoadUIStrings(QLocale::system().language() == QLocale::German ? kLanguageGerman : kLanguageEnglish);
  QCommandLineParser parser;
  parser.setApplicationDescription(UiText(ui::kAppDescription));
  const QCommandLineOption help = parser.addHelpOption();
  const QCommandLineOption version = parser.addVersionOption();
  const QCommandLineOption simulate(
      "simulate", UiText(ui::kSimulateOptionHelp));
  const QCommandLineOption fault(
      "sim-fault",
      UiText(ui::kFaultOptionHelp),
      "name");
  parser.addOption(simulate);
  parser.addOption(fault);
  CommandLine line;
  if (!parser.parse(arguments)) {
    line.exit = true;
    line.status = kBadInput;
    line.err = "norvo: " + parser.errorText() + "\n" + UiText(ui::kTryHelp) + "\n";
    return line;
  }
  if (parser.isSet(help) || parser.isSet("help-all")) {
    line.exit = true;
    // Without an application object Qt cannot name the program.
    line.out = parser.helpText().replace("<executable_name>", "norvo");
    return line;
  }
  if (parser.isSet(version)) {
    line.exit = true;
    line.out = QCoreApplication::applicationName() + " " + QCoreApplication::applicationVersion() + "\n";
    return line;
  }
  if (!parser.positionalArguments().isEmpty()) {
    line.exit = true;
    line.status = kBadInput;
    line.err = "norvo: " + UiText(ui::kUnexpectedArgument) + " \"" +
               parser.positionalArguments().constFirst() + "\"\n";
    return line;
  }
  line.options.simulate = parser.isSet(simulate);
  line.options.sim_fault = parser.value(fault).toStdString();
  return line;
}

CMyNorvoApp::CMyNorvoApp(QStringList arguments, ConsoleOptions options)
    : arguments_(std::move(arguments)), options_(std::move(options)) {}

CMyNorvoApp::~CMyNorvoApp() {
  window_.reset();
  watcher_.reset();
  unit_.reset();
}

int CMyNorvoApp::InitInstance() {
  // First of all, so that a quit signal at any moment of the start is seen by
  // the event loop below rather than killing the process with its lock.
  QuitSignals quit_signals;
  if (!TakeLock()) return 0;

  data_folder_ = ChooseDataFolder();
  PrepareDataFolder(InstallationFolders(), data_folder_);
  // What a crash during a download or an import left behind (this is the
  // only console of this user, so nothing of another one is in progress).
  RemoveStaleTemporaries(data_folder_);
  LoadUIStrings(LanguageIdFor(ReadLanguageSetting(data_folder_)));

  if (!OpenUnit()) return kBadInput;
  OpenWindow();

  QuitOnClose quit_on_close;
  window_->installEventFilter(&quit_on_close);
  window_->show();

  // The application's own event loop: closing the main window (its close
  // box, Alt+F4, Quit) ends it, as does SIGTERM, SIGINT or SIGHUP.
  QApplication::setQuitOnLastWindowClosed(true);
  const int status = quit_on_close.Closed() ? 0 : QApplication::exec();
  window_->removeEventFilter(&quit_on_close);
  window_->Shutdown();
  return status;
}

// One console per user: a second start ends at once (it says why on
// stderr). The lock dies with its process, so a crashed console never
// keeps the next one out; a lock file that cannot be opened at all (made
// by someone else, a symlink) only costs the single-instance check.
// false: another console runs.
bool CMyNorvoApp::TakeLock() {
  const std::filesystem::path lock_path = ConsoleLockPath();
  switch (lock_.Take(lock_path)) {
    case FileLock::Result::kHeld:
      break;
    case FileLock::Result::kBusy:
      if (lock_.Holder() > 0) {
        std::fprintf(stderr, "norvo: already running (process %d)\n", static_cast<int>(lock_.Holder()));
      } else {
        std::fprintf(stderr, "norvo: already running\n");
      }
      return false;
    case FileLock::Result::kUnavailable:
      std::fprintf(stderr, "norvo: cannot use the lock file %s; starting without the single-instance check\n",
                   lock_path.c_str());
      break;
  }
  return true;
}

// The unit, real or simulated. false: bad options (said on stderr).
bool CMyNorvoApp::OpenUnit() {
  std::string scale_error;
  const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
  if (!scale) {
    std::fprintf(stderr, "norvo: %s\n", scale_error.c_str());
    return false;
  }
  sim::RigOptions rig_options;
  rig_options.simulate = options_.simulate ? 1 : 0;
  rig_options.fault = options_.sim_fault;
  try {
    rig_ = sim::MakeRig(rig_options);
  } catch (const std::invalid_argument& e) {
    std::fprintf(stderr, "norvo: %s\n", e.what());
    return false;
  }
  if (rig_.sim) {
    watcher_ = std::make_unique<SimWatcher>(*rig_.sim);
  } else {
#if defined(__linux__)
    watcher_ = std::make_unique<UdevWatcher>();
#endif
  }
  // A unit another process holds (the logger service) is reached through it.
  unit_ = std::make_unique<SharedUnit>(*rig_.transport, data_folder_, UnitSession::SessionOptions(*scale));
  return true;
}

void CMyNorvoApp::OpenWindow() {
  CMyNorvoDlg::Options options;
  options.data_folder = data_folder_;
  options.restart = [this] { Restart(); };
  InstallRecording(&options);
  // The alarm log names the unit as serve does when it has a serial number.
  for (const HidInterfaceInfo& info : rig_.transport->Enumerate()) {
    options.unit_name = info.serial.empty() ? info.path : info.serial;
    break;
  }
  if (!rig_.units.empty()) options.extend_menu = [unit = rig_.units.front().get()](QMenuBar* bar) { AddSimulationMenu(bar, *unit); };
  window_ = std::make_unique<CMyNorvoDlg>(*unit_, watcher_.get(), options);
  InstallDialogs(*window_);
}

void CMyNorvoApp::InstallRecording(CMyNorvoDlg::Options* options) {
  recorder_ = std::make_unique<ConsoleRecorder>(*rig_.transport, [unit = unit_.get()] { return unit->DevicePath(); },
                                                data_folder_);
  options->record = [recorder = recorder_.get()](const PollSnapshot& snapshot) { recorder->Record(snapshot); };
  options->recording_trouble = [recorder = recorder_.get()] { return recorder->Trouble(); };
  options->recording = ReadRecordingSetting(data_folder_);
  options->recording_changed = [folder = data_folder_](bool on) {
    if (!WriteRecordingSetting(folder, on)) qWarning("Main.ini could not be written: the recording switch is not remembered");
  };
  options->open_trends = [this] { OpenTrends(); };
}

void CMyNorvoApp::OpenTrends() {
  if (!trends_) {
    trends_ = new TrendsWindow(TrendsDatabases(data_folder_));
    trends_->setAttribute(Qt::WA_DeleteOnClose);
    trends_->setWindowIcon(AppIcon());
    QObject::connect(window_.get(), &CMyNorvoDlg::Polled, trends_, [this] {
      trends_->OnPoll(window_->LastPoll(), unit_->UnitFlag());
    });
  }
  trends_->SetUnit(recorder_->LastName());
  trends_->OnPoll(unit_->Blocks(), unit_->UnitFlag());
  trends_->show();
  trends_->raise();
}

std::vector<std::string> TrendsDatabases(const std::filesystem::path& data_folder) {
  std::vector<std::string> databases = {(data_folder / kDatabaseFile).string()};
  // The logger's store, when the console's folder is another one.
  const std::filesystem::path logger = std::filesystem::path("/var/lib/Tarvik") / kDatabaseFile;
  std::error_code ec;
  if (!std::filesystem::equivalent(logger.parent_path(), data_folder, ec) && std::filesystem::exists(logger, ec)) {
    databases.push_back(logger.string());
  }
  return databases;
}

void CMyNorvoApp::Restart() {
  // The unit and the lock go first, so that the new console finds both free;
  // then this one ends.
  window_->Shutdown();
  lock_.Release();
  QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments_);
  window_->close();
  QCoreApplication::exit(0);
}

}  // namespace norvo
