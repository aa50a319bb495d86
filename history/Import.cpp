#include "Import.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>

#include "device/Encodings.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

bool Absent(const std::string& field) { return field.find("--") != std::string::npos; }

float Number(const std::string& field) {
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

}  // namespace

std::vector<std::string> SplitFields(const std::string& line, int n) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (int i = 0; i < n - 1; ++i) {
    const std::size_t comma = line.find(',', start);
    if (comma == std::string::npos) {
      fields.push_back(start <= line.size() ? line.substr(start) : "");
      start = line.size() + 1;
    } else {
      fields.push_back(line.substr(start, comma - start));
      start = comma + 1;
    }
  }
  fields.push_back(start <= line.size() ? line.substr(start) : "");
  return fields;
}

std::string UnitLabel(const std::string& header) {
  const std::vector<std::string> fields = SplitFields(header, 3);
  std::string label = fields[1];
  const std::size_t paren = label.find('(');
  if (paren != std::string::npos) label = label.substr(paren);
  // Bytes from the file are taken one for one as characters.
  label = Latin1ToUtf8(reinterpret_cast<const std::uint8_t*>(label.c_str()), label.size());
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
  const std::vector<std::string> f = SplitFields(line, three_fields ? 3 : 5);
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
  std::ifstream in(local_path, std::ios::binary);
  if (!in) {
    result.message = "Open Error2";
    return result;
  }
  result.opened = true;
  TempRecords temp;
  if (temp.File() == nullptr) {
    result.message = "Create Error: temporary record file";
    return result;
  }

  // Text mode: CR LF reads as LF; any other CR stays in its field.
  const auto read_line = [&in](std::string& line) {
    if (!std::getline(in, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
  };
  std::string line;
  const std::string header = read_line(line) ? line : std::string();
  result.unit_label = UnitLabel(header);
  result.three_fields = file_name.find("IN") != std::string::npos;
  const int n = result.three_fields ? 3 : 5;

  bool temp_ok = true;
  while (read_line(line)) {
    DisplayRow row;
    const std::vector<std::string> fields = SplitFields(line, n);
    for (int i = 0; i < n; ++i) {
      const std::string& text = fields[static_cast<std::size_t>(i)];
      std::memcpy(row.slot[static_cast<std::size_t>(i)].data(), text.data(), std::min<std::size_t>(text.size(), 79));
    }
    result.rows.push_back(row);
    const LogRecord record = ParseLine(line, result.three_fields, order);
    temp_ok = temp_ok && std::fwrite(&record, sizeof record, 1, temp.File()) == 1;
  }
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
