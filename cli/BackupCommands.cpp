// backup FILE and restore FILE [--dry-run]: the unit's configuration to and
// from a JSON file ("-" is standard output or input).

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

#include "Interrupt.h"
#include "Internal.h"
#include "Restore.h"
#include "session/UnitSession.h"

namespace norvo::cli {
namespace {

std::string Reason() { return errno ? std::strerror(errno) : "write error"; }

// A device, FIFO or terminal named as FILE (/dev/stdout, a named pipe) takes
// the text as it is: a rename would replace the node itself.
void WriteStream(const fs::path& path, const std::string& text) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) throw Failure(kStoreError, "cannot write " + path.string() + ": " + Reason());
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0;
  const std::string reason = Reason();
  if (std::fclose(file) != 0 || !written) throw Failure(kStoreError, "cannot write " + path.string() + ": " + reason);
}

// The whole text lands or nothing does: a temporary file beside the target,
// renamed over it once written and synced. A symbolic link stays and its
// target is replaced.
void WriteWhole(const fs::path& named, const std::string& text) {
  std::error_code ec;
  const fs::file_status status = fs::status(named, ec);
  if (fs::exists(status) && !fs::is_regular_file(status)) return WriteStream(named, text);
  fs::path path = named;
  if (fs::is_symlink(fs::symlink_status(named, ec))) {
    if (fs::path target = fs::canonical(named, ec); !ec) path = target;
  }
  const fs::path temporary = path.string() + ".tmp-" + std::to_string(::getpid());
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (file == nullptr) throw Failure(kStoreError, "cannot write " + path.string() + ": " + Reason());
  errno = 0;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() && std::fflush(file) == 0 &&
                       ::fsync(::fileno(file)) == 0;
  const std::string reason = Reason();
  const bool closed = std::fclose(file) == 0;
  if (!written || !closed) {
    fs::remove(temporary, ec);
    throw Failure(kStoreError, "cannot write " + path.string() + ": " + reason);
  }
  fs::rename(temporary, path, ec);
  if (ec) {
    fs::remove(temporary, ec);
    throw Failure(kStoreError, "cannot write " + path.string() + ": " + ec.message());
  }
}

// A backup is a few kilobytes; /dev/zero or a wrong file named by mistake is
// refused at this size instead of filling the memory.
constexpr std::size_t kMaxBackupBytes = 1 << 20;

}  // namespace

UnitConfiguration ReadBackupFile(const std::string& file) {
  const std::string shown = file == "-" ? "standard input" : file;
  std::ifstream opened;
  if (file != "-") {
    opened.open(file, std::ios::binary);
    if (!opened) throw Failure(kStoreError, "cannot read " + file + ": " + Reason());
  }
  std::istream& in = file == "-" ? std::cin : opened;
  std::string text(kMaxBackupBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (in.bad()) throw Failure(kStoreError, "cannot read " + shown);
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (text.size() > kMaxBackupBytes) {
    throw Failure(kBadInput, shown + ": larger than " + std::to_string(kMaxBackupBytes) + " bytes, not a backup");
  }
  const BackupParse parsed = ParseBackupJson(text);
  if (!parsed.config) throw Failure(kBadInput, shown + ": " + parsed.error);
  return *parsed.config;
}

int Backup(const Options& o, Session& s, std::FILE* out, std::FILE* err) {
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
  if (config.interval < 5 || config.interval > 240) {
    std::fprintf(err, "norvoctl: warning: the unit reports a logging interval of %d minutes, which restore refuses\n",
                 config.interval);
  }
  std::fprintf(err, "saved the configuration of the %s unit to %s\n", ModelName(config.EightArea()),
               o.file == "-" ? "standard output" : o.file.c_str());
  return kOk;
}

int PrintRestoreFrames(const UnitConfiguration& backup, std::FILE* out) {
  for (const RestoreSequence& sequence : RestoreSequences(backup)) {
    for (const Payload& frame : sequence.frames) std::fprintf(out, "%s\n", FrameHex(frame).c_str());
  }
  return kOk;
}

int Restore(const UnitConfiguration& backup, const std::string& file, Session& s, std::FILE* err) {
  const RestoreReport report = RestoreConfiguration(s.TheUnit(), backup, [] { return interrupt::Requested(); });
  if (report.interrupted || (report.status != kOk && interrupt::Requested())) throw Interrupted{report.message};
  if (report.status != kOk) throw Failure(report.status, "restore: " + report.message);
  std::fprintf(err, "restored settings, alarms, calibration and interval from %s; the unit reads back the same\n",
               file == "-" ? "standard input" : file.c_str());
  return kOk;
}

}  // namespace norvo::cli
