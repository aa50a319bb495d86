#pragma once
// Reading and writing one value of an INI file, with the rules of the
// platform INI services the settings file was made for: section and key names
// match without regard to case, values are trimmed, a missing file, section or
// key gives the default, and writing keeps every other line of the file.

#include <cstddef>
#include <filesystem>
#include <string>

namespace norvo {

// Only the first kIniReadLimit bytes of a file are read: the settings file
// holds one key, and a huge file must not cost every start its size.
inline constexpr std::size_t kIniReadLimit = 64 * 1024;

// Only a regular file is read or written (no symlink, FIFO or device).
// Values longer than 259 characters are cut, as by a 260-character buffer.
std::string ReadIniValue(const std::filesystem::path& file, const std::string& section,
                         const std::string& key, const std::string& fallback);

// Creates the file, section or key when absent; updates the file in place
// (mode, owner and links kept). False when the file cannot be written
// (read-only, missing folder, full disk, larger than kIniReadLimit); the file
// is then unchanged.
bool WriteIniValue(const std::filesystem::path& file, const std::string& section, const std::string& key,
                   const std::string& value);

}  // namespace norvo
