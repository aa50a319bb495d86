#include "Transfer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "device/Card.h"
#include "device/Encodings.h"
#include "res/Strings.h"
#include "settings/RegularFile.h"

namespace fs = std::filesystem;

using norvo::card::kBlockSize;

namespace norvo {
namespace {

// What a local copy holds of its card file. The copy is text mode: CR LF
// reads as LF, any other CR is a card byte. A CR at the very end is cut off:
// it may be the first half of a line feed whose LF never reached the disk,
// and fetching that one byte again is always right.
struct CopyScan {
  std::int64_t card_bytes = 0;  // card bytes held
  std::int64_t keep = 0;        // bytes on disk that hold them
  std::string tail;             // card bytes of the last (partial) block held
  bool ok = true;
};

CopyScan ScanCopy(std::FILE* file) {
  CopyScan scan;
  std::rewind(file);
  bool cr = false;  // a CR seen, its meaning decided by the next byte
  std::int64_t disk = 0;
  const auto put = [&](char c) {
    if (scan.card_bytes % kBlockSize == 0) scan.tail.clear();
    scan.tail += c;
    ++scan.card_bytes;
  };
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) {
    for (std::size_t i = 0; i < n; ++i) {
      const char c = buf[i];
      ++disk;
      if (cr) {
        cr = false;
        if (c == '\n') {
          put('\n');
          scan.keep = disk;
          continue;
        }
        put('\r');
        scan.keep = disk - 1;
      }
      if (c == '\r') {
        cr = true;
      } else {
        put(c);
        scan.keep = disk;
      }
    }
  }
  scan.ok = std::ferror(file) == 0;
  return scan;
}

std::string Notice(const std::string& name) {
  return UIString(ui::kLocalCopyOf) + name +
         UIString(ui::kLocalCopyMismatch);
}

}  // namespace

std::string OwnFileText(const std::string& name) {
  return name + UIString(ui::kConsoleOwnFile);
}

namespace {

std::string WriteErrorText(const fs::path& path, int error) {
  return UIString(ui::kWriteErrorAt) + path.string() + ": " +
         std::strerror(error ? error : EIO);
}

bool SameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

bool EndsWithIgnoringCase(const std::string& s, const std::string& end) {
  return s.size() >= end.size() && SameIgnoringCase(s.substr(s.size() - end.size()), end);
}

constexpr const char* kTemporarySuffix = ".norvotmp";
constexpr const char* kNoteSuffix = ".datefmt";

std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return Latin1ToUtf8(out);
}

}  // namespace

std::string SizeText(std::int32_t size) {
  // Two decimals with a point in every locale.
  char buf[64];
  const bool kilo = size <= 1048576;
  const double value = kilo ? size / 1024.0 : size / 1024.0 / 1024.0;
  char* end = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 2).ptr;
  return std::string(buf, end) + (kilo ? " KB" : " MB");
}

bool IsConsoleOwnFile(const std::string& name) {
  for (const char* own : {"Norvo.mdb", "Norvo.mdb-journal", "Norvo.mdb-wal", "Norvo.mdb-shm", "Main.ini", "Main.ini.lock"}) {
    if (SameIgnoringCase(name, own)) return true;
  }
  return EndsWithIgnoringCase(name, kTemporarySuffix) || EndsWithIgnoringCase(name, kNoteSuffix);
}

fs::path DateFormatNote(const fs::path& local_copy) {
  fs::path note = local_copy;
  note += kNoteSuffix;
  return note;
}

int ReadDateFormatNote(const fs::path& local_copy) {
  std::string why;
  const int fd = OpenDataFile(DateFormatNote(local_copy), O_RDONLY, &why);
  if (fd < 0) return -1;
  char c = 0;
  const ssize_t n = ::read(fd, &c, 1);
  ::close(fd);
  return n == 1 && c >= '0' && c <= '2' ? c - '0' : -1;
}

std::string RemoveLocalCopy(const fs::path& data_folder, const std::string& name) {
  if (std::string reason = UnsafeNameReason(name); !reason.empty()) return reason;
  if (IsConsoleOwnFile(name)) return OwnFileText(name);
  const fs::path local = data_folder / name;
  std::error_code ec;
  fs::remove(DateFormatNote(local), ec);
  ec.clear();
  if (!fs::remove(local, ec) && ec && ec != std::errc::no_such_file_or_directory) return local.string() + ": " + ec.message();
  return {};
}

int OpenDataFile(const fs::path& path, int flags, std::string* why) {
  const int fd = OpenRegularFile(path, flags);
  if (fd >= 0 || why == nullptr) return fd;
  const int error = errno;
  if (error == ELOOP) {
    *why = path.string() + UIString(ui::kCopyIsSymlink);
  } else if (error == ENOTSUP) {
    *why = path.string() + UIString(ui::kCopyNotRegular);
  } else {
    *why = path.string() + ": " + std::strerror(error);
  }
  errno = error;
  return -1;
}

int RemoveStaleTemporaries(const fs::path& data_folder) {
  int removed = 0;
  std::error_code ec;
  std::vector<fs::path> stale;
  for (fs::directory_iterator it(data_folder, ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    const bool temporary = EndsWithIgnoringCase(name, kTemporarySuffix);
    bool orphan_note = false;
    if (EndsWithIgnoringCase(name, kNoteSuffix)) {
      std::error_code e;
      const fs::path copy = data_folder / name.substr(0, name.size() - std::strlen(kNoteSuffix));
      orphan_note = !fs::exists(fs::symlink_status(copy, e));
    }
    std::error_code e;
    if ((temporary || orphan_note) && !fs::is_directory(it->symlink_status(e))) stale.push_back(it->path());
  }
  for (const fs::path& p : stale) {
    std::error_code e;
    if (fs::remove(p, e)) ++removed;
  }
  return removed;
}

std::string UnsafeNameReason(const std::string& name) {
  const auto refuse = [&](int text) {
    return UIString(text) + " \"" + Printable(name) + "\"";
  };
  if (name.empty()) return refuse(ui::kCardNameEmpty);
  if (name.size() > card::kMaxName) {
    return refuse(ui::kCardNameTooLong);
  }
  const bool separator = name.find('/') != std::string::npos || name.find('\\') != std::string::npos;
  const bool control = std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
  const bool drive = name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
  const bool dots = name.find("..") != std::string::npos || name == ".";
  if (separator || control || drive || dots) {
    return refuse(ui::kCardNameUnsafe);
  }
  return {};
}

namespace {

// Appends card bytes to a text-mode copy: each line feed goes out as CR LF.
// 0 when every byte reached the stream, else the errno of the failure.
int AppendTextMode(std::FILE* file, const std::string& bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 16);
  for (char c : bytes) {
    if (c == '\n') out += '\r';
    out += c;
  }
  errno = 0;
  if (std::fwrite(out.data(), 1, out.size(), file) != out.size() || std::fflush(file) != 0 || std::ferror(file)) {
    return errno ? errno : EIO;
  }
  return 0;
}


// The local copy one download writes. A copy that is the start of the card
// file is appended to; any other is replaced, but only once the card has sent
// something to replace it with: a download that yields nothing leaves the
// copy there was, and makes none where there was none.
class LocalCopy {
 public:
  LocalCopy(const DownloadJob& job, fs::path local) : job_(job), local_(std::move(local)) {}
  ~LocalCopy() { Close(); }
  LocalCopy(const LocalCopy&) = delete;
  LocalCopy& operator=(const LocalCopy&) = delete;

  // Opens the copy there is and finds where the card file resumes: the last
  // block it holds is read again and compared. A copy longer than the card
  // file, or one that differs, is to be started afresh (offset 0). The
  // failure, or nullopt.
  std::optional<DownloadOutcome> Resume() {
    const int fd = OpenDataFile(local_, O_RDWR, &why_);
    file_ = fd < 0 ? nullptr : ::fdopen(fd, "r+b");
    if (file_ == nullptr) {
      if (fd >= 0) ::close(fd);
      return DownloadOutcome{DownloadStatus::kOpenError, fd < 0 ? "Open Error1 (" + why_ + ")" : std::string("Open Error1")};
    }
    CopyScan scan = ScanCopy(file_);
    std::fflush(file_);
    const auto on_disk = static_cast<std::int64_t>(::lseek(fd, 0, SEEK_END));
    if (scan.ok && scan.keep < on_disk) scan.ok = ::ftruncate(fd, scan.keep) == 0;
    if (!scan.ok) {
      const int error = errno;
      return DownloadOutcome{DownloadStatus::kOpenError, "Open Error1 (" + WriteErrorText(local_, error) + ")"};
    }
    offset_ = scan.card_bytes;
    afresh_ = offset_ > job_.total;
    if (!afresh_ && offset_ > 0) {
      const std::int64_t start = (offset_ - 1) / kBlockSize * kBlockSize;
      std::string again;
      if (!job_.read(start, offset_, &again)) return DownloadOutcome{DownloadStatus::kBlockFailed, UIString(ui::kFileErrors)};
      afresh_ = again != scan.tail;
    }
    if (afresh_) offset_ = 0;
    made_ = !afresh_;
    std::fseek(file_, 0, SEEK_END);
    return std::nullopt;
  }

  // Card bytes the copy holds that are the card file's.
  std::int64_t Offset() const { return offset_; }
  const std::string& NoticeText() const { return notice_; }

  // Opens the copy to write to, once: a new file for a fresh start (rows of
  // an earlier import that still read the old copy keep reading it), with
  // the note of the date format the unit wrote it in. kDone on success.
  DownloadOutcome Make() {
    if (made_) return {DownloadStatus::kDone};
    if (afresh_) {
      notice_ = Notice(job_.name);
      Close();
      std::error_code removed;
      fs::remove(local_, removed);
      fs::remove(DateFormatNote(local_), removed);
    }
    const int fresh = OpenDataFile(local_, O_RDWR | O_CREAT | O_TRUNC, &why_);
    file_ = fresh < 0 ? nullptr : ::fdopen(fresh, "r+b");
    if (file_ == nullptr) {
      if (fresh >= 0) ::close(fresh);
      return {afresh_ ? DownloadStatus::kRecreateError : DownloadStatus::kCreateError, UIString(ui::kCreateError) + " (" + why_ + ")",
              notice_};
    }
    made_ = true;
    return WriteNote();
  }

  // 0 when every byte reached the disk, else the errno.
  int Append(const std::string& bytes) { return AppendTextMode(file_, bytes); }

  // A failed close is a write error.
  bool Close() {
    const bool ok = file_ == nullptr || std::fclose(file_) == 0;
    file_ = nullptr;
    return ok;
  }

 private:
  // The note says in which format the unit wrote this copy's dates.
  DownloadOutcome WriteNote() {
    if (job_.date_format < 0 || job_.date_format > 2) return {DownloadStatus::kDone};
    const fs::path note = DateFormatNote(local_);
    const int nfd = OpenDataFile(note, O_WRONLY | O_CREAT | O_TRUNC, &why_);
    const char c = static_cast<char>('0' + job_.date_format);
    const bool ok = nfd >= 0 && ::write(nfd, &c, 1) == 1;
    const int error = errno;
    if (nfd >= 0 && ::close(nfd) != 0 && ok) return {DownloadStatus::kWriteError, WriteErrorText(note, errno), notice_};
    if (!ok) return {DownloadStatus::kWriteError, nfd < 0 ? why_ : WriteErrorText(note, error), notice_};
    return {DownloadStatus::kDone};
  }

  const DownloadJob& job_;
  fs::path local_;
  std::FILE* file_ = nullptr;
  std::int64_t offset_ = 0;
  bool afresh_ = false;
  bool made_ = false;  // the copy to append to is open
  std::string notice_;
  std::string why_;
};

// Why a job cannot start, before anything in the folder is touched; or nullopt.
std::optional<DownloadOutcome> Refused(const DownloadJob& job) {
  if (std::string reason = UnsafeNameReason(job.name); !reason.empty()) {
    return DownloadOutcome{DownloadStatus::kUnsafeName, reason};
  }
  if (IsConsoleOwnFile(job.name)) return DownloadOutcome{DownloadStatus::kUnsafeName, OwnFileText(job.name)};
  // An unlisted name leaves no empty copy behind.
  if (job.total < 0) return DownloadOutcome{DownloadStatus::kNotListed, " m_FilenameSize Error."};
  return std::nullopt;
}

// One download's run over its blocks, and what it tells its hooks on the way.
// Each block reaches the disk before the next is asked for: a write error
// (disk full, I/O error) or a cancel ends the download with what was written
// intact. A block that fails keeps what of it arrived, as the unit sent it,
// and the resume checks it again.
class BlockRun {
 public:
  BlockRun(const DownloadJob& job, LocalCopy& copy, const fs::path& local, std::int64_t offset)
      : job_(job),
        copy_(copy),
        local_(local),
        wanted_(job.total - offset),
        remaining_(static_cast<std::int32_t>(static_cast<std::uint32_t>(job.total - offset))) {
    if (job_.hooks.progress_range) job_.hooks.progress_range(remaining_);
    Progress(0);
    if (job_.hooks.bytes) job_.hooks.bytes(0, wanted_);
  }

  bool Cancelled() const { return job_.cancel != nullptr && job_.cancel->load(); }

  DownloadOutcome Ended(DownloadStatus status, std::string message = {}) const {
    DownloadOutcome outcome{status, std::move(message), copy_.NoticeText()};
    outcome.written = written_;
    return outcome;
  }

  // Reads [offset, end) into the copy; an outcome when the download ends there.
  std::optional<DownloadOutcome> Block(std::int64_t offset, std::int64_t end) {
    block_.clear();
    const bool whole = job_.read(offset, end, &block_) && static_cast<std::int64_t>(block_.size()) == end - offset;
    if (!block_.empty()) {
      if (DownloadOutcome opened = copy_.Make(); opened.status != DownloadStatus::kDone) return opened;
      if (const int error = copy_.Append(block_); error != 0) {
        return Ended(DownloadStatus::kWriteError, WriteErrorText(local_, error));
      }
    }
    written_ += static_cast<std::int64_t>(block_.size());
    if (job_.hooks.bytes) job_.hooks.bytes(written_, wanted_);
    if (!whole) {
      // A cancel asked while the block was on its way is what the user
      // sees end the download, not the block the unit then left unfinished.
      if (Cancelled()) return Ended(DownloadStatus::kCancelled);
      Progress(remaining_);
      return Ended(DownloadStatus::kBlockFailed, UIString(ui::kFileErrors));
    }
    Progress(static_cast<int>(std::min<std::int64_t>(written_, remaining_)));
    return std::nullopt;
  }

  // Every block arrived: an empty card file has its empty copy now.
  DownloadOutcome Finish() {
    if (DownloadOutcome opened = copy_.Make(); opened.status != DownloadStatus::kDone) return opened;
    errno = 0;
    if (!copy_.Close()) return Ended(DownloadStatus::kWriteError, WriteErrorText(local_, errno));
    if (job_.hooks.done_label) job_.hooks.done_label("ok...");
    return Ended(DownloadStatus::kDone);
  }

 private:
  void Progress(int position) const {
    if (job_.hooks.progress_position) job_.hooks.progress_position(position);
  }

  const DownloadJob& job_;
  LocalCopy& copy_;
  const fs::path& local_;
  const std::int64_t wanted_;
  const std::int32_t remaining_;  // in the progress bar's units, as the dialog has always counted
  std::int64_t written_ = 0;
  std::string block_;
};

}  // namespace

DownloadOutcome DownloadToLocalCopy(const DownloadJob& job) {
  if (std::optional<DownloadOutcome> refused = Refused(job)) return *refused;
  const fs::path local = job.data_folder / job.name;
  LocalCopy copy(job, local);
  std::error_code ec;
  if (fs::exists(fs::symlink_status(local, ec))) {
    if (std::optional<DownloadOutcome> failed = copy.Resume()) return *failed;
  }
  std::int64_t offset = copy.Offset();
  BlockRun run(job, copy, local, offset);
  // The last request may be empty (a copy already whole): the unit still
  // ends it with its marker.
  for (bool more = true; more;) {
    if (run.Cancelled()) return run.Ended(DownloadStatus::kCancelled);
    const std::int64_t end = std::min<std::int64_t>(offset + kBlockSize, job.total);
    more = end < job.total;
    if (std::optional<DownloadOutcome> stopped = run.Block(offset, end)) return *stopped;
    offset = end;
    if (run.Cancelled() && more) return run.Ended(DownloadStatus::kCancelled);
  }
  return run.Finish();
}

DownloadJob UnitDownloadJob(Unit& unit, const fs::path& data_folder, const CardList& list, const std::string& name,
                            int date_format) {
  DownloadJob job;
  job.data_folder = data_folder;
  job.name = name;
  job.total = list.SizeOf(name);
  job.date_format = date_format;
  job.read = [&unit, name](std::int64_t start, std::int64_t end, std::string* into) {
    return unit.ReadCardRange(name, start, end, into);
  };
  return job;
}

}  // namespace norvo
