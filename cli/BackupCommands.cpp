// backup FILE and restore FILE [--dry-run]: the unit's configuration to and
// from a JSON file ("-" is standard output or input).

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "Interrupt.h"
#include "Internal.h"
#include "Restore.h"
#include "res/Strings.h"
#include "session/UnitSession.h"
#include "settings/NamedFile.h"
#include "settings/Printable.h"

namespace norvo::cli {
namespace {

std::string Reason() { return errno ? std::strerror(errno) : UIString(ui::kWriteErrorReason); }

// "cannot write PATH: WHY" in the loaded language.
std::string CannotWrite(const fs::path& path, const std::string& why) {
  return FillText(UIString(ui::kCannotWriteFile), {path.string(), why});
}

std::string Shown(const std::string& file, bool input) {
  if (file != "-") return PrintableText(file);
  return std::string(input ? UIString(ui::kStandardInput) : UIString(ui::kStandardOutput));
}

// A FIFO, terminal or character device named as FILE (/dev/stdout, a named
// pipe) takes the text as it is: a rename would replace the node itself. It
// is opened without blocking, so a FIFO that no process reads is refused at
// once, and a reader that stops reading does not hold norvoctl past a signal.
// A folder, a socket or a block device is never written.
void WriteStream(const fs::path& path, mode_t kind, const std::string& text) {
  if (!S_ISFIFO(kind) && !S_ISCHR(kind)) throw Failure(kBadInput, CannotWrite(path, WrongKindReason(kind)));
  const int fd = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    const std::string why = errno == ENXIO ? UIString(ui::kNoReader) : Reason();
    throw Failure(kStoreError, CannotWrite(path, why));
  }
  errno = 0;
  bool written = true;
  for (std::size_t at = 0; written && at < text.size();) {
    if (interrupt::Requested()) {
      ::close(fd);
      throw Interrupted{};
    }
    pollfd p{fd, POLLOUT, 0};
    if (::poll(&p, 1, 200) <= 0) continue;
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    written = n > 0;
    if (written) at += static_cast<std::size_t>(n);
  }
  const std::string reason = Reason();
  if (::close(fd) != 0 || !written) throw Failure(kStoreError, CannotWrite(path, reason));
}

// A symbolic link is followed only when the caller owns it: in a shared
// folder another user may have planted one to make the backup replace a
// file of theirs choosing.
fs::path Target(const fs::path& named) {
  struct stat link {};
  if (::lstat(named.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return named;
  if (link.st_uid != ::geteuid()) {
    throw Failure(kStoreError, CannotWrite(named, UIString(ui::kForeignSymlink)));
  }
  std::error_code ec;
  fs::path target = fs::canonical(named, ec);
  if (ec) {
    // A dangling link of the caller's: its target is made.
    target = fs::read_symlink(named, ec);
    if (ec) throw Failure(kStoreError, CannotWrite(named, ec.message()));
    if (target.is_relative()) target = named.parent_path() / target;
    if (::lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      throw Failure(kStoreError, CannotWrite(named, UIString(ui::kSymlinkChain)));
    }
  }
  return target;
}

// A temporary beside the target, made by this call alone: O_EXCL refuses
// anything already there, O_NOFOLLOW a link in its place.
int CreateTemporary(const fs::path& path, fs::path* temporary, mode_t mode) {
  std::random_device random;
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[32];
    std::snprintf(suffix, sizeof suffix, ".tmp-%d-%08x", static_cast<int>(::getpid()), random());
    *temporary = path.string() + suffix;
    const int fd = ::open(temporary->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  errno = EEXIST;
  return -1;
}

// The whole text lands or nothing does: a temporary file beside the target,
// renamed over it once written and synced. The caller's own symbolic link
// stays and its target is replaced; a new file gets the mode every new file
// of the caller gets (0666 less the umask), a replaced one keeps its mode.
void WriteWhole(const fs::path& named, const std::string& text) {
  const fs::path path = Target(named);
  struct stat existing {};
  const bool exists = ::lstat(path.c_str(), &existing) == 0;
  if (exists && !S_ISREG(existing.st_mode) && !S_ISLNK(existing.st_mode)) return WriteStream(path, existing.st_mode, text);
  fs::path temporary;
  const int fd = CreateTemporary(path, &temporary, 0666);
  if (fd < 0) throw Failure(kStoreError, CannotWrite(path, Reason()));
  errno = 0;
  bool written = !exists || !S_ISREG(existing.st_mode) || ::fchmod(fd, existing.st_mode & 0777) == 0;
  for (std::size_t at = 0; written && at < text.size();) {
    const ssize_t n = ::write(fd, text.data() + at, text.size() - at);
    if (n < 0 && errno == EINTR) continue;
    written = n > 0;
    if (written) at += static_cast<std::size_t>(n);
  }
  written = written && ::fsync(fd) == 0;
  const std::string reason = Reason();
  const bool closed = ::close(fd) == 0;
  std::error_code ec;
  if (!written || !closed) {
    fs::remove(temporary, ec);
    throw Failure(kStoreError, CannotWrite(path, reason));
  }
  fs::rename(temporary, path, ec);
  if (ec) {
    std::error_code ignored;
    fs::remove(temporary, ignored);
    throw Failure(kStoreError, CannotWrite(path, ec.message()));
  }
}

// A backup is a few kilobytes; /dev/zero or a wrong file named by mistake is
// refused at this size instead of filling the memory.
constexpr std::size_t kMaxBackupBytes = 1 << 20;

}  // namespace

UnitConfiguration ReadBackupFile(const std::string& file) {
  const std::string shown = Shown(file, true);
  NamedFileLimits limits;
  limits.max_bytes = kMaxBackupBytes;
  limits.stop = [] { return interrupt::Requested(); };
  const NamedFileText read = file == "-" ? ReadDescriptor(STDIN_FILENO, limits) : ReadNamedFile(file, limits);
  if (read.stopped) throw Interrupted{};
  if (!read.text) {
    // A directory, a FIFO or /dev/zero is the wrong argument; a file that
    // cannot be opened is a file error.
    throw Failure(read.wrong_kind ? kBadInput : kStoreError,
                  FillText(UIString(ui::kCannotReadFile), {shown, read.error}) +
                      (read.wrong_kind ? UIString(ui::kNotABackup) : std::string()));
  }
  const BackupParse parsed = ParseBackupJson(*read.text);
  if (!parsed.config) throw Failure(kBadInput, shown + ": " + parsed.error);
  return *parsed.config;
}

int Backup(const Options& o, CommandUnit& s, std::FILE* out, std::FILE* err) {
  s.ReadSettings();
  s.ReadAlarms();
  s.ReadCalibration();
  const UnitConfiguration config = StoredConfiguration(s.TheUnit());
  const std::string text = BackupJson(config);
  if (o.file == "-") {
    std::fputs(text.c_str(), out);
    CheckOutput(out, true);
  } else {
    WriteWhole(o.file, text);
  }
  const std::string warning(UIString(ui::kCliWarning));
  if (config.interval < 5 || config.interval > 240) {
    std::fprintf(err, "%s%s%d%s\n", warning.c_str(),
                 UIString(ui::kUnitReportsInterval)
                     .c_str(),
                 config.interval,
                 UIString(ui::kMinutesRestoreRefuses).c_str());
  } else if (const auto bad = CheckConfiguration(config)) {
    std::fprintf(err, "%s%s%s: %s%s\n", warning.c_str(), UIString(ui::kUnitHolds).c_str(),
                 bad->field.c_str(), bad->reason.c_str(),
                 UIString(ui::kRestoreRefuses).c_str());
  }
  std::fprintf(err, "%s%s%s%s\n", UIString(ui::kSavedConfigurationOf).c_str(),
               ModelName(config.EightArea()), UIString(ui::kSavedConfigurationTo).c_str(),
               Shown(o.file, false).c_str());
  return kOk;
}

int PrintRestoreFrames(const UnitConfiguration& backup, std::FILE* out) {
  for (const RestoreSequence& sequence : RestoreSequences(backup)) {
    for (const Payload& frame : sequence.frames) std::fprintf(out, "%s\n", FrameHex(frame).c_str());
  }
  return kOk;
}

int Restore(const UnitConfiguration& backup, const std::string& file, CommandUnit& s, std::FILE* err) {
  const RestoreReport report = RestoreConfiguration(s.TheUnit(), backup, [] { return interrupt::Requested(); });
  if (report.interrupted || (report.status != kOk && interrupt::Requested())) throw Interrupted{report.message};
  if (report.status != kOk) throw Failure(report.status, "restore: " + report.message);
  std::fprintf(err, "%s%s%s\n",
               UIString(ui::kRestoredFrom).c_str(),
               Shown(file, true).c_str(),
               UIString(ui::kReadsBackSame).c_str());
  return kOk;
}

}  // namespace norvo::cli
