#include "Import.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "device/Encodings.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

bool Absent(std::string_view field) { return field.find("--") != std::string_view::npos; }

float Number(std::string_view field) {
  return Absent(field) ? kInvalidTemperature : static_cast<float>(LeadingNumber(field));
}

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

// The temporary record file: "Tarv" + a unique suffix in the temp folder,
// removed when this goes out of scope.
class TempRecords {
 public:
  TempRecords() {
    std::error_code ec;
    std::string path = (fs::temp_directory_path(ec) / "TarvXXXXXX").string();
    const int fd = ::mkstemp(path.data());
    if (fd < 0) return;
    path_ = path;
    file_ = ::fdopen(fd, "w+b");
  }
  ~TempRecords() {
    if (file_) std::fclose(file_);
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  TempRecords(const TempRecords&) = delete;
  TempRecords& operator=(const TempRecords&) = delete;
  std::FILE* File() const { return file_; }

 private:
  std::string path_;
  std::FILE* file_ = nullptr;
};

// The display rows of a large file take tens of megabytes that are written
// once, front to back: huge pages spare most of the page faults.
void AdviseHugePages(void* data, std::size_t bytes) {
#if defined(MADV_HUGEPAGE)
  constexpr std::uintptr_t kHuge = 2u << 20;
  const auto begin = (reinterpret_cast<std::uintptr_t>(data) + kHuge - 1) & ~(kHuge - 1);
  const auto end = (reinterpret_cast<std::uintptr_t>(data) + bytes) & ~(kHuge - 1);
  if (end > begin) ::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
  (void)data;
  (void)bytes;
#endif
}

}  // namespace

void SplitFields(std::string_view line, int n, std::string_view* fields) {
  std::size_t start = 0;
  for (int i = 0; i < n - 1; ++i) {
    const std::size_t comma = start <= line.size() ? line.find(',', start) : std::string_view::npos;
    if (comma == std::string_view::npos) {
      fields[i] = start <= line.size() ? line.substr(start) : std::string_view();
      start = line.size() + 1;
    } else {
      fields[i] = line.substr(start, comma - start);
      start = comma + 1;
    }
  }
  fields[n - 1] = start <= line.size() ? line.substr(start) : std::string_view();
}

std::vector<std::string> SplitFields(const std::string& line, int n) {
  std::vector<std::string_view> views(static_cast<std::size_t>(n));
  SplitFields(line, n, views.data());
  return {views.begin(), views.end()};
}

std::string UnitLabel(const std::string& header) {
  std::string_view fields[3];
  SplitFields(header, 3, fields);
  std::string label(fields[1]);
  const std::size_t paren = label.find('(');
  if (paren != std::string::npos) label = label.substr(paren);
  // Bytes from the file are taken one for one as characters.
  label = Latin1ToUtf8(label);
  ReplaceAll(label, "C", "\u00B0C");
  ReplaceAll(label, "F", "\u00B0F");
  return label;
}

std::vector<std::string> ColumnTitles(bool three_fields, const std::string& unit_label) {
  std::vector<std::string> titles = {UIString(228), UIString(201) + unit_label, UIString(202) + "(%)"};
  if (!three_fields) {
    titles.push_back(UIString(293) + unit_label);
    titles.push_back(UIString(229) + unit_label);
  }
  return titles;
}

LogRecord ParseLine(const std::string& line, bool three_fields, DayOrder order) {
  std::string_view f[5];
  SplitFields(line, three_fields ? 3 : 5, f);
  return ParseFields(f, three_fields, order);
}

LogRecord ParseFields(const std::string_view* f, bool three_fields, DayOrder order) {
  LogRecord r{};
  r.Time = ParseLogTime(f[0], order);
  r.Temperature = Number(f[1]);
  r.Humidity = Absent(f[2]) ? kInvalidHumidity : LeadingInteger(f[2]);
  r.Dewpoint = three_fields ? kInvalidTemperature : Number(f[3]);
  r.Heatindex = three_fields ? kInvalidTemperature : Number(f[4]);
  return r;
}

ImportResult ImportLocalCopy(const std::string& file_name, const fs::path& local_path,
                             const std::string& database_path, DayOrder order, RecordStore& store) {
  ImportResult result;
  std::FILE* in = std::fopen(local_path.c_str(), "rb");
  if (in == nullptr) {
    result.message = "Open Error2";
    return result;
  }
  result.opened = true;
  TempRecords temp;
  if (temp.File() == nullptr) {
    std::fclose(in);
    result.message = "Create Error: temporary record file";
    return result;
  }

  // One display row per line: count the lines first so that the rows are
  // laid out once, without copies as they grow.
  std::size_t lines = 0;
  {
    char buf[1 << 16];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, in)) > 0;) lines += std::count(buf, buf + n, '\n');
    std::rewind(in);
  }
  result.rows.reserve(lines + 1);
  AdviseHugePages(result.rows.data(), result.rows.capacity() * sizeof(DisplayRow));

  // Text mode: CR LF reads as LF; any other CR stays in its field.
  char* buffer = nullptr;
  std::size_t capacity = 0;
  std::string_view line;
  const auto read_line = [&]() {
    const ssize_t n = ::getline(&buffer, &capacity, in);
    if (n < 0) return false;
    std::size_t len = static_cast<std::size_t>(n);
    if (len > 0 && buffer[len - 1] == '\n') {
      --len;
      if (len > 0 && buffer[len - 1] == '\r') --len;
    }
    line = std::string_view(buffer, len);
    return true;
  };
  const std::string header = read_line() ? std::string(line) : std::string();
  result.unit_label = UnitLabel(header);
  result.three_fields = file_name.find("IN") != std::string::npos;
  const int n = result.three_fields ? 3 : 5;

  bool temp_ok = true;
  std::string_view fields[5];
  while (read_line()) {
    SplitFields(line, n, fields);
    DisplayRow& row = result.rows.emplace_back();
    for (int i = 0; i < n; ++i) {
      const std::string_view text = fields[i];
      if (!text.empty()) {
        std::memcpy(row.slot[static_cast<std::size_t>(i)].data(), text.data(), std::min<std::size_t>(text.size(), 79));
      }
    }
    const LogRecord record = ParseFields(fields, result.three_fields, order);
    temp_ok = temp_ok && std::fwrite(&record, sizeof record, 1, temp.File()) == 1;
  }
  std::free(buffer);
  std::fclose(in);
  if (!temp_ok || std::fflush(temp.File()) != 0) {
    result.message = "Create Error: temporary record file (disk full?)";
    return result;
  }

  // The store is emptied and refilled in one transaction: an error on the way
  // leaves its previous contents.
  std::rewind(temp.File());
  if (store.Connect(database_path) < 0) return result;
  if (store.OpenRecordTable("SELECT * FROM Records") != 0) return result;
  store.DeleteAllRecords();
  LogRecord record{};
  store.SetRecord(&record);
  bool appended = true;
  while (std::fread(&record, sizeof record, 1, temp.File()) == 1) {
    appended = store.AppendRecord() == 0 && appended;
  }
  store.SetRecord(nullptr);
  result.stored = store.CloseRecordTable() && appended;
  return result;
}

}  // namespace norvo
