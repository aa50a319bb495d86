#include "NorvoApp.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QProcess>

#include "Dialogs.h"
#include "SimWatcher.h"
#include "settings/DataFolder.h"
#include <cstdio>

#include "session/UnitSession.h"
#include "device/HidapiTransport.h"
#include "monitor/DeviceWatcher.h"
#include "monitor/MainWindow.h"
#include "res/Strings.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

#ifndef NORVO_SHARE_DIR
#define NORVO_SHARE_DIR "/usr/local/share/norvo"
#endif

namespace norvo {

std::vector<std::filesystem::path> InstallationFolders() {
  return {QCoreApplication::applicationDirPath().toStdString(), NORVO_SHARE_DIR};
}

QString CMyNorvoApp::LockPath() { return QDir::temp().filePath("tarvik"); }

CMyNorvoApp::CMyNorvoApp(QStringList arguments) : arguments_(std::move(arguments)) {
  simulate_ = arguments_.contains("--simulate");
}

CMyNorvoApp::~CMyNorvoApp() {
  window_.reset();
  watcher_.reset();
  session_.reset();
}

int CMyNorvoApp::InitInstance() {
  // One instance: a second start ends silently. The lock of an instance that
  // crashed is stale (its process is gone) and is taken over.
  lock_ = std::make_unique<QLockFile>(LockPath());
  lock_->setStaleLockTime(0);
  if (!lock_->tryLock(0)) return 0;

  data_folder_ = ChooseDataFolder();
  PrepareDataFolder(InstallationFolders(), data_folder_);
  LoadUIStrings(LanguageIdFor(ReadLanguageSetting(data_folder_)));

  if (simulate_) {
    sim_unit_ = std::make_unique<sim::SimUnit>();
    auto transport = std::make_unique<sim::SimTransport>();
    transport->AddUnit(sim_unit_.get(), "sim:unit");
    watcher_ = std::make_unique<SimWatcher>(*transport);
    transport_ = std::move(transport);
  } else {
    transport_ = std::make_unique<HidapiTransport>();
#if defined(__linux__)
    watcher_ = std::make_unique<UdevWatcher>();
#endif
  }
  std::string scale_error;
  const std::optional<double> scale = TimeScaleFromEnvironment(&scale_error);
  if (!scale) {
    std::fprintf(stderr, "norvo: %s\n", scale_error.c_str());
    return 3;
  }
  session_ = std::make_unique<UnitSession>(*transport_, data_folder_, UnitSession::SessionOptions(*scale));

  CMyNorvoDlg::Options options;
  options.data_folder = data_folder_;
  options.restart = [this] { Restart(); };
  if (sim_unit_) options.extend_menu = [unit = sim_unit_.get()](QMenuBar* bar) { AddSimulationMenu(bar, *unit); };
  window_ = std::make_unique<CMyNorvoDlg>(*session_, watcher_.get(), options);
  InstallDialogs(*window_);
  window_->show();

  QEventLoop loop;
  QObject::connect(qApp, &QApplication::lastWindowClosed, &loop, &QEventLoop::quit);
  loop.exec();
  window_->Shutdown();
  return 0;
}

void CMyNorvoApp::Restart() {
  lock_->unlock();
  QProcess::startDetached(QCoreApplication::applicationFilePath(), arguments_);
  window_->close();
}

}  // namespace norvo
