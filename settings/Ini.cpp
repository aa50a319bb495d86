#include "Ini.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <sstream>
#include <vector>

namespace norvo {
namespace {

std::string Trim(const std::string& s) {
  const auto first = std::find_if_not(s.begin(), s.end(), [](unsigned char c) { return std::isspace(c); });
  const auto last = std::find_if_not(s.rbegin(), s.rend(), [](unsigned char c) { return std::isspace(c); });
  return first < last.base() ? std::string(first, last.base()) : std::string();
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

std::vector<std::string> ReadLines(const std::filesystem::path& file, bool* ok) {
  std::vector<std::string> lines;
  std::ifstream in(file, std::ios::binary);
  *ok = static_cast<bool>(in);
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

// "[name]" gives name; anything else gives nothing.
bool SectionName(const std::string& line, std::string* name) {
  const std::string t = Trim(line);
  if (t.size() < 2 || t.front() != '[') return false;
  const std::size_t close = t.find(']');
  if (close == std::string::npos) return false;
  *name = Trim(t.substr(1, close - 1));
  return true;
}

bool KeyValue(const std::string& line, std::string* key, std::string* value) {
  const std::size_t eq = line.find('=');
  if (eq == std::string::npos) return false;
  *key = Trim(line.substr(0, eq));
  *value = Trim(line.substr(eq + 1));
  return true;
}

}  // namespace

std::string ReadIniValue(const std::filesystem::path& file, const std::string& section,
                         const std::string& key, const std::string& fallback) {
  bool ok = false;
  const std::vector<std::string> lines = ReadLines(file, &ok);
  bool in_section = false;
  for (const std::string& line : lines) {
    std::string name, k, v;
    if (SectionName(line, &name)) {
      in_section = SameName(name, section);
    } else if (in_section && KeyValue(line, &k, &v) && SameName(k, key)) {
      if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front()) {
        v = v.substr(1, v.size() - 2);
      }
      return v.substr(0, 259);
    }
  }
  return fallback;
}

bool WriteIniValue(const std::filesystem::path& file, const std::string& section, const std::string& key,
                   const std::string& value) {
  bool existed = false;
  std::vector<std::string> lines = ReadLines(file, &existed);
  const std::string entry = key + "=" + value;
  bool in_section = false, done = false;
  std::size_t section_end = lines.size();
  bool section_found = false;
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    std::string name, k, v;
    if (SectionName(lines[i], &name)) {
      if (in_section) {
        section_end = i;
        break;
      }
      in_section = SameName(name, section);
      if (in_section) section_found = true;
    } else if (in_section && KeyValue(lines[i], &k, &v) && SameName(k, key)) {
      lines[i] = entry;
      done = true;
    }
  }
  if (!done) {
    if (section_found) {
      // After the section's last non-blank line.
      std::size_t at = section_end;
      while (at > 0 && Trim(lines[at - 1]).empty()) --at;
      lines.insert(lines.begin() + static_cast<long>(at), entry);
    } else {
      lines.push_back("[" + section + "]");
      lines.push_back(entry);
    }
  }
  std::ostringstream text;
  for (const std::string& line : lines) text << line << "\r\n";
  // Write a sibling first and rename it over the file, so that a full disk
  // leaves the old file whole.
  const std::filesystem::path temp = file.string() + ".new";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    if (!out) return false;
    out << text.str();
    out.flush();
    if (!out) {
      out.close();
      std::error_code ec;
      std::filesystem::remove(temp, ec);
      return false;
    }
  }
  std::error_code ec;
  const auto perms = std::filesystem::status(file, ec).permissions();
  if (existed && (perms & std::filesystem::perms::owner_write) == std::filesystem::perms::none) {
    std::filesystem::remove(temp, ec);
    return false;  // a read-only settings file stays as it is
  }
  std::filesystem::rename(temp, file, ec);
  if (ec) {
    std::filesystem::remove(temp, ec);
    return false;
  }
  return true;
}

}  // namespace norvo
