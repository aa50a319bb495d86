#pragma once
// What the norvoctl commands share: the parsed options, the failure that ends
// a command with its exit status, the unit it works with, and the output
// helpers. Not part of any other folder's interface.

#include <cstdio>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "Commands.h"
#include "config/Backup.h"
#include "device/Exchange.h"
#include "res/Strings.h"
#include "session/Unit.h"
#include "sim/Rig.h"

namespace norvo {
class UnitSession;
}  // namespace norvo

namespace norvo::cli {

namespace fs = std::filesystem;
using Json = nlohmann::ordered_json;

struct Options {
  // Before the command.
  bool simulate = false;
  std::string data_dir;
  std::string lang;
  std::string fault;  // simulated unit only
  // The command's own.
  bool json = false;
  bool csv = false;
  bool import = false;
  bool dry_run = false;
  bool live = false;  // export --live: the table norvoctl serve fills
  std::string unit;   // export --live --unit: one unit's rows
  int channel = 0;    // export --live --channel: 1..8, 0 every channel
  std::string every;  // export --live --every 5m|1h|1d: roll-up rows
  int watch = 0;  // seconds; 0: one reading
  std::string from, to;
  std::string column = "Temperature";
  std::string name;     // sd get, sd rm
  std::string value;    // set interval, set language
  std::string file;     // backup, restore
};

// Ends a command: the message goes to standard error after "norvoctl: ".
class Failure {
 public:
  Failure(int code, std::string message) : code_(code), message_(std::move(message)) {}
  int Code() const { return code_; }
  const std::string& Message() const { return message_; }

 private:
  int code_;
  std::string message_;
};

// Ends a command because SIGINT or SIGTERM arrived; the status is 128 + signal.
struct Interrupted {
  std::string message = UIString(ui::kInterrupted);
};

// The transport (real or simulated) and the one unit a command works with over it.
class CommandUnit {
 public:
  CommandUnit(const Options& options, const fs::path& data_folder);
  ~CommandUnit();
  CommandUnit(const CommandUnit&) = delete;
  CommandUnit& operator=(const CommandUnit&) = delete;

  norvo::Unit& TheUnit() { return *unit_; }
  // Every block as the last reads left them.
  PollSnapshot Blocks() const { return unit_->Blocks(); }

  // The read sequences; a unit that does not answer ends the command with
  // status 1, an interrupt with its own status.
  void ReadSettings();
  void ReadAlarms();
  void ReadCalibration();
  void ReadLive();

 private:
  sim::Rig rig_;
  std::unique_ptr<norvo::Unit> unit_;
};

// Ends the command when a read was not answered: interrupted, or status 1.
void RequireAnswer(bool answered);
// A write that did not reach the unit ends the command: refused 2, no answer 1.
void RequireWritten(WriteOutcome outcome, const std::string& before = "");
// Writes, then reads back what the unit offers a read of: refused or read
// back otherwise 2, no answer (to the write or its check) 1.
void WriteChecked(CommandUnit& s, std::span<const Payload> frames, const WriteTiming& timing);

// ---- output --------------------------------------------------------------------

// One line of JSON with ", " and ": " between members.
std::string JsonLine(const Json& value);
// A number with one decimal as "%.1f" prints it, as a JSON number.
Json OneDecimal(double value);
// A stored float as the shortest text that reads back as the same float
// (std::to_chars); "" for a value that is not finite.
std::string ShortestText(float value);
// The same as a JSON number: exactly that text; null when not finite.
Json ShortestJson(float value);
// Local time with its offset: 2026-12-08T10:15:00+01:00.
std::string LocalTimeStamp();
// Ends the command with status 4 when the output could not be written (full
// disk, closed pipe). Cheap without flush: a check after each row; with
// flush, what is buffered goes out first.
void CheckOutput(std::FILE* out, bool flush = false);

// ---- commands --------------------------------------------------------------------

void Live(const Options& o, CommandUnit& s, std::FILE* out);
void Settings(const Options& o, CommandUnit& s, std::FILE* out);
void Alarms(const Options& o, CommandUnit& s, std::FILE* out);
void Calibration(const Options& o, CommandUnit& s, std::FILE* out);
// The minutes of "set interval", checked before the unit is opened: leading
// and trailing blanks are dropped, the rest must be a whole number from 5 to 240.
int IntervalMinutes(const std::string& text);
int SetInterval(int minutes, CommandUnit& s, std::FILE* err);
int SetLanguage(const std::string& language, CommandUnit& s, const fs::path& data_folder, std::FILE* err);
int SyncTime(CommandUnit& s, std::FILE* err);

// A name sd get and sd rm refuse before anything is touched: unsafe as a file
// name, or the name of one of the console's own files in the data folder.
// A card file name as typed (UTF-8, as sd list shows it) in the card's own
// Latin-1; ASCII and text that is not such UTF-8 stay as they are.
std::string CardNameArgument(const std::string& typed);
void CheckCardName(const std::string& name);
void ListFiles(const Options& o, CommandUnit& s, std::FILE* out);
int GetFile(const Options& o, CommandUnit& s, const fs::path& data_folder, std::FILE* out, std::FILE* err);
int RemoveFile(const Options& o, CommandUnit& s, const fs::path& data_folder, std::FILE* err);

// Checked before anything is read: the times, their order, the columns.
// The span as the stores take it ("%d-%02d-%02d %d:%02d:%02d", local time).
struct ExportSpan {
  std::string from, to;
};
ExportSpan CheckExport(const Options& o);
// export --live: the recorded polls or, with --every, their roll-ups.
int ExportLiveReadings(const Options& o, const ExportSpan& span, const fs::path& data_folder, std::FILE* out);
int Export(const Options& o, const fs::path& data_folder, std::FILE* out);

int Backup(const Options& o, CommandUnit& s, std::FILE* out, std::FILE* err);
// Read and checked before the unit is opened; "-" is standard input.
UnitConfiguration ReadBackupFile(const std::string& file);
// restore --dry-run: the frames, one per line in hex; no unit is opened.
int PrintRestoreFrames(const UnitConfiguration& backup, std::FILE* out);
int Restore(const UnitConfiguration& backup, const std::string& file, CommandUnit& s, std::FILE* err);

}  // namespace norvo::cli
