#pragma once
// Reading and writing one value of an INI file, with the rules of the
// platform INI services the settings file was made for: section and key names
// match without regard to case, values are trimmed, a missing file, section or
// key gives the default, and writing keeps every other line of the file.

#include <filesystem>
#include <string>

namespace norvo {

// Values longer than 259 characters are cut, as by a 260-character buffer.
std::string ReadIniValue(const std::filesystem::path& file, const std::string& section,
                         const std::string& key, const std::string& fallback);

// Creates the file, section or key when absent. False when the file cannot be
// written (read-only, missing folder, full disk); the file is then unchanged.
bool WriteIniValue(const std::filesystem::path& file, const std::string& section, const std::string& key,
                   const std::string& value);

}  // namespace norvo
