#include "Ini.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <vector>

#include "RegularFile.h"

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

// At most kIniReadLimit bytes from the start of the file.
bool ReadPrefix(int fd, std::string* text) {
  text->assign(kIniReadLimit, '\0');
  std::size_t have = 0;
  while (have < text->size()) {
    const ssize_t n = ::pread(fd, text->data() + have, text->size() - have, static_cast<off_t>(have));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    have += static_cast<std::size_t>(n);
  }
  text->resize(have);
  return true;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    lines.push_back(std::move(line));
    at = end + 1;
  }
  return lines;
}

bool WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::pwrite(fd, text.data() + done, text.size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
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

// The file is updated in place, so that its mode, owner and links stay as
// they are; a missing file is created (*created says so).
int OpenForUpdate(const std::filesystem::path& file, bool* created) {
  int fd = OpenRegularFile(file, O_RDWR);
  if (fd < 0 && errno == ENOENT) {
    fd = OpenRegularFile(file, O_RDWR | O_CREAT | O_EXCL, 0666);
    *created = fd >= 0;
  }
  return fd;
}

// The whole text of a file this program may change. A read-only settings
// file stays as it is (root could write it anyway), and so does one too
// large to be ours: it would be cut.
bool ReadOwnText(int fd, std::string* text) {
  struct stat st {};
  const bool readable = ::fstat(fd, &st) == 0 && ReadPrefix(fd, text);
  return readable && (st.st_mode & S_IWUSR) != 0 && st.st_size <= static_cast<off_t>(text->size());
}

// key=value in place of the section's entry of that key; else after the
// section's last non-blank line; else in a new section at the end.
void SetEntry(std::vector<std::string>* lines, const std::string& section, const std::string& key,
              const std::string& value) {
  const std::string entry = key + "=" + value;
  bool in_section = false;
  std::size_t section_end = lines->size();
  bool section_found = false;
  for (std::size_t i = 0; i < lines->size(); ++i) {
    std::string name, k, v;
    if (SectionName((*lines)[i], &name)) {
      if (in_section) {
        section_end = i;
        break;
      }
      in_section = SameName(name, section);
      if (in_section) section_found = true;
    } else if (in_section && KeyValue((*lines)[i], &k, &v) && SameName(k, key)) {
      (*lines)[i] = entry;
      return;
    }
  }
  if (section_found) {
    std::size_t at = section_end;
    while (at > 0 && Trim((*lines)[at - 1]).empty()) --at;
    lines->insert(lines->begin() + static_cast<long>(at), entry);
  } else {
    lines->push_back("[" + section + "]");
    lines->push_back(entry);
  }
}

// Room first, so that a full disk fails before a byte changes; then the
// text, the length and the disk. A write that fails half-way puts the old
// text back (it fits where it was).
bool ReplaceText(int fd, const std::string& old_text, const std::string& text) {
  bool ok = text.size() <= old_text.size() || ::posix_fallocate(fd, 0, static_cast<off_t>(text.size())) == 0;
  if (ok) {
    ok = WriteAll(fd, text) && ::ftruncate(fd, static_cast<off_t>(text.size())) == 0 && ::fsync(fd) == 0;
    if (!ok) {
      WriteAll(fd, old_text);
      [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(old_text.size()));
    }
  } else {
    [[maybe_unused]] const int cut = ::ftruncate(fd, static_cast<off_t>(old_text.size()));
  }
  return ok;
}

}  // namespace

std::string ReadIniValue(const std::filesystem::path& file, const std::string& section,
                         const std::string& key, const std::string& fallback) {
  const int fd = OpenRegularFile(file, O_RDONLY);
  if (fd < 0) return fallback;
  std::string text;
  const bool ok = ReadPrefix(fd, &text);
  ::close(fd);
  if (!ok) return fallback;
  bool in_section = false;
  for (const std::string& line : SplitLines(text)) {
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
  bool created = false;
  const int fd = OpenForUpdate(file, &created);
  if (fd < 0) return false;
  std::string old_text;
  if (!ReadOwnText(fd, &old_text)) {
    ::close(fd);
    return false;
  }
  std::vector<std::string> lines = SplitLines(old_text);
  SetEntry(&lines, section, key, value);
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  const bool ok = ReplaceText(fd, old_text, text);
  ::close(fd);
  if (!ok && created) {
    std::error_code ec;
    std::filesystem::remove(file, ec);
  }
  return ok;
}

}  // namespace norvo
