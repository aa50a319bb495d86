#pragma once
// The data folder holds the record database "Norvo.mdb", the settings file
// "Main.ini" and the local copies of the unit's card files.

#include <filesystem>
#include <string>
#include <vector>

namespace norvo {

inline constexpr const char* kDatabaseFile = "Norvo.mdb";
inline constexpr const char* kSettingsFile = "Main.ini";

// $NORVO_DATA_DIR when set (tests and second installations use it); else the
// machine-wide folder "/var/lib/Tarvik" when it exists or can be made and is
// writable; otherwise "$XDG_DATA_HOME/Tarvik" (default
// "~/.local/share/Tarvik"). Created when missing.
std::filesystem::path ChooseDataFolder();

// The console's single-instance lock: "norvo.lock" in the user's runtime
// folder; in the shared temp folder the name carries the user id
// ("norvo-<uid>.lock"), so that each user has a console of their own.
std::filesystem::path ConsoleLockPath();

// Copies the database and the settings file from the first source folder that
// holds them into the data folder when they are missing there, never
// overwriting, then makes the data folder's Main.ini writable. Errors are
// ignored: the parts that open the files report their own.
void PrepareDataFolder(const std::vector<std::filesystem::path>& sources,
                       const std::filesystem::path& data_folder);

// Language ids: exactly "Deutsch" is German (1031), anything else English (1033).
int LanguageIdFor(const std::string& setting);

// The language named by the data folder's Main.ini ("" when absent).
std::string ReadLanguageSetting(const std::filesystem::path& data_folder);
bool WriteLanguageSetting(const std::filesystem::path& data_folder, const std::string& language);

}  // namespace norvo
