#include "DataFolder.h"

#include <unistd.h>

#include <cstdlib>

#include "FileLock.h"
#include "Ini.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

bool Writable(const fs::path& folder) { return ::access(folder.c_str(), W_OK) == 0; }

}  // namespace

fs::path ChooseDataFolder() {
  std::error_code ec;
  if (const char* own = std::getenv("NORVO_DATA_DIR"); own && *own) {
    fs::create_directories(own, ec);
    return own;
  }
  const fs::path machine = "/var/lib/Tarvik";
  fs::create_directories(machine, ec);
  if (fs::is_directory(machine, ec) && Writable(machine)) return machine;

  fs::path base;
  if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg) {
    base = xdg;
  } else if (const char* home = std::getenv("HOME"); home && *home) {
    base = fs::path(home) / ".local" / "share";
  } else {
    base = fs::temp_directory_path(ec);
  }
  const fs::path user = base / "Tarvik";
  fs::create_directories(user, ec);
  return user;
}

fs::path ConsoleLockPath() {
  for (const char* name : {"NORVO_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
    const char* dir = std::getenv(name);
    if (dir != nullptr && *dir != '\0') return fs::path(dir) / "norvo.lock";
  }
  return TempFolder() / ("norvo-" + std::to_string(::getuid()) + ".lock");
}

void PrepareDataFolder(const std::vector<fs::path>& sources, const fs::path& data_folder) {
  std::error_code ec;
  fs::create_directories(data_folder, ec);
  for (const char* name : {kDatabaseFile, kSettingsFile}) {
    const fs::path target = data_folder / name;
    if (fs::exists(target, ec)) continue;  // an existing file is never overwritten
    for (const fs::path& source : sources) {
      if (fs::is_regular_file(source / name, ec)) {
        fs::copy_file(source / name, target, fs::copy_options::skip_existing, ec);
        break;
      }
    }
  }
  // An installed Main.ini may be read-only; the Language dialog must save to it.
  const fs::path settings = data_folder / kSettingsFile;
  if (fs::exists(settings, ec)) {
    fs::permissions(settings, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::add, ec);
  }
}

int LanguageIdFor(const std::string& setting) {
  return setting == "Deutsch" ? kLanguageGerman : kLanguageEnglish;
}

std::string ReadLanguageSetting(const fs::path& data_folder) {
  return ReadIniValue(data_folder / kSettingsFile, "Language", "Language", "");
}

bool WriteLanguageSetting(const fs::path& data_folder, const std::string& language) {
  return WriteIniValue(data_folder / kSettingsFile, "Language", "Language", language);
}

}  // namespace norvo
