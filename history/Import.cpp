#include "Import.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>

#include "device/Encodings.h"
#include "Transfer.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

bool Absent(std::string_view field) { return field.find("--") != std::string_view::npos; }

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
  for (std::size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size())) {
    s.replace(at, from.size(), to);
  }
}

// Longest line kept whole; the rest of a longer line is skipped, since no
// field shows more than 79 characters anyway.
constexpr std::size_t kMaxLine = 1 << 16;
constexpr std::size_t kRowsPerMark = 256;

// Reads lines of a text-mode copy with a fixed buffer: CR LF reads as LF, any
// other CR stays in its field.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd) {}
  // Position in the file of the next line.
  std::int64_t Position() const { return position_; }
  void Seek(std::int64_t at) {
    ::lseek(fd_, at, SEEK_SET);
    position_ = at;
    begin_ = end_ = 0;
    failed_ = false;
  }
  bool Failed() const { return failed_; }
  // Whether the last line Next gave ended with its line feed: only the last
  // line of a file can lack one.
  bool Terminated() const { return terminated_; }
  bool Next(std::string_view* line) {
    line_.clear();
    terminated_ = false;
    bool any = false;
    for (;;) {
      if (begin_ == end_ && !Fill()) break;
      any = true;
      const char* start = buffer_.data() + begin_;
      const auto* lf = static_cast<const char*>(std::memchr(start, '\n', end_ - begin_));
      const std::size_t take = lf ? static_cast<std::size_t>(lf - start) : end_ - begin_;
      if (line_.size() < kMaxLine) line_.append(start, std::min(take, kMaxLine - line_.size()));
      begin_ += take;
      position_ += static_cast<std::int64_t>(take);
      if (lf) {
        ++begin_;
        ++position_;
        if (!line_.empty() && line_.back() == '\r' && take <= kMaxLine) line_.pop_back();
        *line = line_;
        terminated_ = true;
        return true;
      }
    }
    if (!any) return false;
    *line = line_;
    return true;
  }

 private:
  bool Fill() {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer_.data(), buffer_.size());
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) failed_ = true;
      begin_ = 0;
      end_ = n > 0 ? static_cast<std::size_t>(n) : 0;
      return n > 0;
    }
  }

  int fd_;
  std::array<char, 1 << 16> buffer_;
  std::size_t begin_ = 0, end_ = 0;
  std::int64_t position_ = 0;
  std::string line_;
  bool failed_ = false;
  bool terminated_ = false;
};

DisplayRow MakeRow(const std::string_view* fields, int n) {
  DisplayRow row;
  for (int i = 0; i < n; ++i) {
    const std::string_view text = fields[i];
    if (!text.empty()) std::memcpy(row.slot[static_cast<std::size_t>(i)].data(), text.data(), std::min<std::size_t>(text.size(), 79));
  }
  return row;
}

int Present(std::string_view line, int n) {
  return static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(n), std::count(line.begin(), line.end(), ',') + 1));
}

// The rows of a copy, read back from it through positions of every 256th line.
class FileRows : public LogRows {
 public:
  FileRows(int fd, int fields) : fd_(fd), fields_(fields) {}
  ~FileRows() override { ::close(fd_); }
  FileRows(const FileRows&) = delete;
  FileRows& operator=(const FileRows&) = delete;

  void Mark(std::size_t index, std::int64_t at) {
    if (index % kRowsPerMark == 0) marks_.push_back(at);
    count_ = index + 1;
  }
  std::size_t size() const override { return count_; }
  DisplayRow Row(std::size_t index) const override {
    if (index >= count_) return {};
    std::lock_guard lock(mutex_);
    const std::size_t mark = index / kRowsPerMark;
    if (cached_mark_ != mark) {
      cached_.clear();
      cached_mark_ = static_cast<std::size_t>(-1);
      LineReader reader(fd_);
      reader.Seek(marks_[mark]);
      std::string_view line, fields[5];
      for (std::size_t i = 0; i < kRowsPerMark && mark * kRowsPerMark + i < count_ && reader.Next(&line); ++i) {
        SplitFields(line, fields_, fields);
        cached_.push_back(MakeRow(fields, fields_));
      }
      cached_mark_ = mark;
    }
    const std::size_t at = index % kRowsPerMark;
    return at < cached_.size() ? cached_[at] : DisplayRow{};
  }

 private:
  int fd_;
  int fields_;
  std::vector<std::int64_t> marks_;
  std::size_t count_ = 0;
  mutable std::mutex mutex_;  // guards cached_ and cached_mark_
  mutable std::vector<DisplayRow> cached_;
  mutable std::size_t cached_mark_ = static_cast<std::size_t>(-1);
};

std::string MixedDatesText(const fs::path& local_path, std::size_t data_line) {
  std::string text(UIString(ui::kDatesOf));
  text.append(local_path.filename().string());
  text.append(UIString(ui::kDatesFitNoOrder));
  text.append(std::to_string(data_line));
  text.append(UIString(ui::kFileNotImportedStoreKept));
  return text;
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
  std::vector<std::string> titles = {UIString(ui::kTime), UIString(ui::kTemperature) + unit_label, UIString(ui::kHumidity) + "(%)"};
  if (!three_fields) {
    titles.push_back(UIString(ui::kDewPoint) + unit_label);
    titles.push_back(UIString(ui::kHeatIndex) + unit_label);
  }
  return titles;
}

namespace {

// "inf", "nan", a number beyond the double range, or 1e6 and more in size:
// no reading the unit can have taken. *leading: the field's LeadingNumber
// when it was read on the way, else NaN.
bool Absurd(std::string_view field, double* leading_out) {
  *leading_out = std::nan("");
  std::size_t i = 0;
  while (i < field.size() && (field[i] == ' ' || field[i] == '\t')) ++i;
  if (i < field.size() && field[i] == '+') ++i;
  double v = 0;
  const auto [end, ec] = std::from_chars(field.data() + i, field.data() + field.size(), v);
  if (ec == std::errc::result_out_of_range) {
    // An underflow ("1e-400") is a zero, an overflow absurd.
    const std::string_view token(field.data() + i, static_cast<std::size_t>(end - field.data()) - i);
    return token.find("e-") == std::string_view::npos && token.find("E-") == std::string_view::npos;
  }
  if (ec != std::errc()) return false;
  if (!std::isfinite(v) || std::fabs(v) >= 1e6) return true;
  const double leading = LeadingNumber(field);
  *leading_out = leading;
  return !std::isfinite(leading) || std::fabs(leading) >= 1e6;
}

}  // namespace

float FieldNumber(std::string_view field) {
  double leading = 0;
  if (Absent(field) || Absurd(field, &leading)) return kInvalidTemperature;
  return static_cast<float>(std::isnan(leading) ? LeadingNumber(field) : leading);
}

std::int32_t FieldInteger(std::string_view field) {
  double leading = 0;
  if (Absent(field) || Absurd(field, &leading)) return kInvalidHumidity;
  return LeadingInteger(field);
}

LogRecord ParseLine(const std::string& line, bool three_fields, DayOrder order) {
  std::string_view f[5];
  const int n = three_fields ? 3 : 5;
  SplitFields(line, n, f);
  return ParseFields(f, three_fields, order, Present(line, n));
}

LogRecord ParseFields(const std::string_view* f, bool three_fields, DayOrder order, int present) {
  LogRecord r{};
  r.Time = ParseLogTime(f[0], order);
  r.Temperature = present > 1 ? FieldNumber(f[1]) : kInvalidTemperature;
  r.Humidity = present > 2 ? FieldInteger(f[2]) : kInvalidHumidity;
  r.Dewpoint = three_fields || present <= 3 ? kInvalidTemperature : FieldNumber(f[3]);
  r.Heatindex = three_fields || present <= 4 ? kInvalidTemperature : FieldNumber(f[4]);
  return r;
}

CopyOrder CopyDayOrder(const fs::path& local_path, bool /*three_fields: the time field leads either way*/,
                       DayOrder fallback) {
  // The file's own dates first: a day or a month above 12 settles it, and no
  // note can overrule what the file shows.
  CopyOrder found{fallback, false};
  const int fd = OpenDataFile(local_path, O_RDONLY, nullptr);
  if (fd >= 0) {
    LineReader reader(fd);
    std::string_view line;
    reader.Next(&line);  // the header
    while (!found.from_dates && reader.Next(&line)) {
      // Only the time field counts: the line up to its first comma.
      if (const auto clue = DateOrderClue(line.substr(0, line.find(',')))) found = {*clue, true};
    }
    ::close(fd);
  }
  if (found.from_dates) return found;
  switch (ReadDateFormatNote(local_path)) {
    case 1: return {DayOrder::kMonthFirst, false};
    case 2: return {DayOrder::kDayFirst, false};
    default: return found;  // year first (0) or no note: the order never matters or nothing says
  }
}

namespace {

// Records parsed on a thread of their own while the importing thread stores
// them: the parsing and the store's work overlap. At most kChunksAhead chunks
// wait, so memory stays bounded whatever the copy's length.
class ParsedChunks {
 public:
  static constexpr std::size_t kChunk = 4096;
  static constexpr std::size_t kChunksAhead = 4;

  // Parser: false when the importer gave up (no more chunks wanted).
  bool Push(std::vector<LogRecord>&& chunk) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return abandoned_ || unbounded_ || chunks_.size() < kChunksAhead; });
    if (abandoned_) return false;
    chunks_.push_back(std::move(chunk));
    changed_.notify_all();
    return true;
  }
  // Parser: no more chunks.
  void Finish() {
    std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }
  // Importer: the next chunk; false when the parser finished and none is left.
  bool Pop(std::vector<LogRecord>* chunk) {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return finished_ || !chunks_.empty(); });
    if (chunks_.empty()) return false;
    *chunk = std::move(chunks_.front());
    chunks_.pop_front();
    changed_.notify_all();
    return true;
  }
  // Importer: the parser may stop.
  void Abandon() {
    std::lock_guard lock(mutex_);
    abandoned_ = true;
    changed_.notify_all();
  }
  // Without a parser thread the parse runs first, whole.
  void Unbound() {
    std::lock_guard lock(mutex_);
    unbounded_ = true;
  }

 private:
  std::mutex mutex_;  // guards chunks_ and the flags below
  std::condition_variable changed_;
  std::deque<std::vector<LogRecord>> chunks_;
  bool finished_ = false, abandoned_ = false, unbounded_ = false;
};

// What the parser found besides the records.
struct ParseOutcome {
  std::string header;
  std::string message;  // the copy's dates fit neither order
  bool read_failed = false;
  bool out_of_memory = false;
};

// Reads the copy after its day order is known: the header, then every line
// as a display row position and a record, chunk by chunk.
void ParseCopy(int fd, const fs::path& local_path, bool three_fields, DayOrder fallback, bool whole_copy,
               FileRows& rows, ParsedChunks& chunks, ParseOutcome& outcome) {
  try {
    const int n = three_fields ? 3 : 5;
    const CopyOrder copy_order = CopyDayOrder(local_path, three_fields, fallback);
    const DayOrder order = copy_order.order;
    LineReader reader(fd);
    std::string_view line;
    if (reader.Next(&line)) outcome.header = std::string(line);
    std::string_view fields[5];
    std::size_t count = 0;
    std::vector<LogRecord> chunk;
    chunk.reserve(ParsedChunks::kChunk);
    bool wanted = true;
    for (std::int64_t at = reader.Position(); wanted && reader.Next(&line); at = reader.Position()) {
      // A copy that stopped in the middle of a line holds only the start of
      // it ("21.8,5" of "21.8,58"): that line waits for the resume.
      if (!whole_copy && !reader.Terminated()) break;
      SplitFields(line, n, fields);
      if (copy_order.from_dates) {
        // Dates that only the other order can read: the file fits neither.
        if (const auto clue = DateOrderClue(fields[0]); clue && *clue != order) {
          outcome.message = MixedDatesText(local_path, count + 1);
          break;
        }
      }
      rows.Mark(count++, at);
      chunk.push_back(ParseFields(fields, three_fields, order, Present(line, n)));
      if (chunk.size() == ParsedChunks::kChunk) {
        wanted = chunks.Push(std::move(chunk));
        chunk = {};
        chunk.reserve(ParsedChunks::kChunk);
      }
    }
    if (wanted && !chunk.empty()) chunks.Push(std::move(chunk));
    outcome.read_failed = reader.Failed();
  } catch (const std::bad_alloc&) {
    outcome.out_of_memory = true;
  }
  chunks.Finish();
}

// The store is emptied and refilled in one transaction, chunk by chunk as
// the copy is parsed: an error on the way leaves its previous contents.
// false: the store refused a step, or stop() asked to stop (stopped).
bool FillStore(RecordStore& store, const std::string& database_path, ParsedChunks& chunks,
               const std::function<bool()>& stop, bool& stopped) {
  bool ok = store.Connect(database_path) >= 0 && store.OpenRecordTable("SELECT * FROM Records") == 0 &&
            store.DeleteAllRecords() == 0;
  LogRecord record{};
  store.SetRecord(&record);
  std::size_t count = 0;
  std::vector<LogRecord> chunk;
  while (ok && chunks.Pop(&chunk)) {
    for (const LogRecord& parsed : chunk) {
      record = parsed;
      ok = store.AppendRecord() == 0;
      if (stop && ++count % ParsedChunks::kChunk == 0 && stop()) {
        stopped = true;
        ok = false;
      }
      if (!ok) break;
    }
  }
  store.SetRecord(nullptr);
  return ok;
}

// What the parser found after a copy the store took whole. false: the
// import fails with message.
bool AcceptOutcome(const ParseOutcome& outcome, const fs::path& local_path, std::string& message) {
  if (outcome.out_of_memory) throw std::bad_alloc();
  bool ok = true;
  if (!outcome.message.empty()) {
    message = outcome.message;
    ok = false;
  }
  if (outcome.read_failed) {
    message = "Open Error2 (" + local_path.string() + ": " + std::strerror(EIO) + ")";
    ok = false;
  }
  return ok;
}

// Runs `parse` on a thread of its own (on this one when no thread can be had)
// while `take` hands its chunks to the store; true when the store took every
// record the parser gave. Whichever way this is left, the parser is told and
// waited for.
bool ParseWhileStoring(const std::function<void(ParsedChunks&)>& parse,
                       const std::function<bool(ParsedChunks&)>& take) {
  ParsedChunks chunks;
  std::thread parser;
  try {
    parser = std::thread([&] { parse(chunks); });
  } catch (const std::system_error&) {
    chunks.Unbound();
    parse(chunks);
  }
  struct JoinParser {
    ParsedChunks& chunks;
    std::thread& thread;
    ~JoinParser() {
      chunks.Abandon();
      if (thread.joinable()) thread.join();
    }
  } join_parser{chunks, parser};
  return take(chunks);
}

}  // namespace

ImportResult ImportLocalCopy(const std::string& file_name, const fs::path& local_path,
                             const std::string& database_path, DayOrder fallback, RecordStore& store,
                             const std::function<bool()>& stop, bool whole_copy) {
  ImportResult result;
  try {
    std::string why;
    const int fd = OpenDataFile(local_path, O_RDONLY, &why);
    if (fd < 0) {
      result.message = errno == ENOENT ? "Open Error2" : "Open Error2 (" + why + ")";
      return result;
    }
    const struct CloseFd {
      int fd;
      ~CloseFd() { ::close(fd); }
    } close_fd{fd};
    result.opened = true;
    result.three_fields = file_name.find("IN") != std::string::npos;
    auto rows = std::make_shared<FileRows>(::dup(fd), result.three_fields ? 3 : 5);

    ParseOutcome outcome;
    // The store took every record the parser gave, or it stopped taking
    // them: then what the parser found further on was never reached.
    const bool all_taken = ParseWhileStoring(
        [&](ParsedChunks& chunks) {
          ParseCopy(fd, local_path, result.three_fields, fallback, whole_copy, *rows, chunks, outcome);
        },
        [&](ParsedChunks& chunks) { return FillStore(store, database_path, chunks, stop, result.stopped); });
    result.unit_label = UnitLabel(outcome.header);
    const bool ok = all_taken && AcceptOutcome(outcome, local_path, result.message);
    if (ok) {
      result.stored = store.CloseRecordTable();
    } else {
      store.Close();  // rolls the open transaction back: the previous contents stay
    }
    result.rows = std::move(rows);
  } catch (const std::bad_alloc&) {
    result.stored = false;
    result.message = UIString(ui::kOutOfMemoryImporting);
    result.message.append(local_path.string());
    result.message.append(UIString(ui::kStoreKeepsContents));
  }
  return result;
}

}  // namespace norvo
