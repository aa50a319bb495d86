// The command line of norvoctl: options and commands on CLI11, the checks
// that need no unit, then the unit and the command itself.

#include "Commands.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <optional>

#include "AlarmCommands.h"
#include "Interrupt.h"
#include "Internal.h"
#include "device/Encodings.h"
#include "logger/ServeCommand.h"
#include "res/Strings.h"
#include "settings/DataFolder.h"
#include "settings/Printable.h"
#include "store/LiveStore.h"

#ifndef NORVO_VERSION
#error "NORVO_VERSION comes from the project version in CMake"
#endif

namespace norvo::cli {
namespace {

constexpr const char* kDescription =
    "norvoctl reads and configures the eight-channel temperature and humidity unit over USB, works with the\n"
    "files on its SD card and exports the console's record store, from the command line and from scripts.\n";

// The commands with their arguments: the top-level help lists these instead
// of bare names, so that one page (and the manual page made from it) shows
// every command's use.
constexpr const char* kCommands =
    "\nCommands:\n"
    "  live [--json|--csv] [--watch SECONDS]\n"
    "                      the eight channels: temperature, humidity, dew point\n"
    "  settings [--json]   the unit's settings block and logging interval\n"
    "  alarms [--json]     alarm switches, limits and enables per channel\n"
    "  calibration [--json]\n"
    "                      calibration offsets per channel\n"
    "  set interval MINUTES\n"
    "                      logging interval, 5 to 240 minutes\n"
    "  set language English|Deutsch\n"
    "                      Main.ini and the unit's language\n"
    "  sync-time           set the unit's clock to this computer's local time\n"
    "  sd list [--json]    the files on the unit's SD card\n"
    "  sd get NAME [--import]\n"
    "                      download a card file into the data folder (resumes a partial copy)\n"
    "  sd rm NAME          delete a card file, its local copy and the stored records\n"
    "  export --from TIME --to TIME [--column NAMES|--live [--unit NAME] [--channel N] [--every 5m|1h|1d]] [--csv|--json]\n"
    "                      stored readings after --from up to and including --to\n"
    "  serve [--simulate N|--unit PATH...] [--period SECONDS] [--metrics HOST:PORT] [--mqtt HOST[:PORT]]\n"
    "                      poll units unattended into the record store, Prometheus and MQTT\n"
    "  alarms --log [--from TIME --to TIME] [--json|--csv]\n"
    "                      the alarm log of the record store\n"
    "  report --from TIME --to TIME [--unit NAME] [--channel N...] [--mkt-activation KELVIN] -o FILE.pdf|.csv|.json\n"
    "                      a report of recorded readings: figures, excursions, charts\n"
    "  backup FILE         save the unit's settings, interval, alarms and calibration as JSON\n"
    "  restore FILE [--dry-run]\n"
    "                      write a backup back to the unit and verify it\n"
    "\n"
    "norvoctl COMMAND --help describes a command.\n";

constexpr const char* kFooter =
    "TIME is \"YYYY-MM-DD hh:mm:ss\" in local time; a \"T\" may stand for the blank, the seconds may\n"
    "be left out, a bare date is its midnight, and ISO 8601 with an offset (+01:00) or Z is converted\n"
    "to local time. Data goes to standard output, messages to standard error. FILE \"-\" is standard\n"
    "output or input.\n"
    "\n"
    "Exit status:\n"
    "  0    done\n"
    "  1    no unit found, or the unit does not answer\n"
    "  2    the unit refused a write, or what it reads back differs from what was written\n"
    "  3    bad arguments or input\n"
    "  4    a store or file error, or the output could not be written\n"
    "  5    the unit is in use by another process\n"
    "  130  interrupted (SIGINT); 143 terminated (SIGTERM)\n"
    "\n"
    "Environment:\n"
    "  NORVO_TIME_SCALE   stretches or shrinks every wait of the protocol (0.0001 to 100; tests)\n"
    "  NORVO_RUNTIME_DIR  folder of the locks and share sockets (default: /run/norvo for root, else $XDG_RUNTIME_DIR/norvo)\n";

// The help fits 80 columns (and so does the manual page help2man makes of
// it): descriptions are wrapped beside their column, and an option whose
// name reaches into that column has its description on the next line.
class HelpFormatter : public CLI::Formatter {
 public:
  static constexpr std::size_t kWidth = 80;

  std::string make_subcommands(const CLI::App* app, CLI::AppFormatMode mode) const override {
    if (app->get_parent() == nullptr) return kCommands;
    return CLI::Formatter::make_subcommands(app, mode);
  }

  std::string make_option(const CLI::Option* opt, bool is_positional) const override {
    const std::size_t column = get_column_width();
    std::string text = "  " + make_option_name(opt, is_positional) + make_option_opts(opt);
    const std::string description = make_option_desc(opt);
    if (description.empty()) return text + "\n";
    if (text.size() + 2 > column) {
      text += "\n" + std::string(column, ' ');
    } else {
      text.resize(column, ' ');
    }
    std::size_t used = column;
    bool first = true;
    for (std::size_t at = 0; at < description.size();) {
      const std::size_t end = std::min(description.find(' ', at), description.size());
      const std::string word = description.substr(at, end - at);
      if (!first && used + 1 + word.size() > kWidth) {
        text += "\n" + std::string(column, ' ');
        used = column;
        first = true;
      }
      if (!first) {
        text += ' ';
        ++used;
      }
      text += word;
      used += word.size();
      first = false;
      at = end + 1;
    }
    return text + "\n";
  }
};

struct Commands {
  CLI::App* live;
  CLI::App* settings;
  CLI::App* alarms;
  CLI::App* calibration;
  CLI::App* set_interval;
  CLI::App* set_language;
  CLI::App* sync_time;
  CLI::App* sd_list;
  CLI::App* sd_get;
  CLI::App* sd_rm;
  CLI::App* export_;
  CLI::App* backup;
  CLI::App* restore;
};

CLI::App* Command(CLI::App& parent, const char* name, const char* description, const char* footer = "") {
  CLI::App* command = parent.add_subcommand(name, description);
  command->footer(footer);
  return command;
}

void JsonFlag(CLI::App* command, Options& o, const char* what) {
  command->add_flag("--json", o.json, std::string("print ") + what + " as JSON on one line");
}

// live, settings, alarms and calibration: what the unit holds, read only.
void DefineReadCommands(CLI::App& app, Options& o, std::string& watch, Commands* c) {
  c->live = Command(app, "live", "the eight channels: temperature, humidity, dew point",
                    "Temperatures in the unit's display unit with one decimal, humidity in percent. With --watch\n"
                    "every reading starts with its local time (ISO 8601 with offset); --json adds \"time\",\n"
                    "--csv has a time column. Ctrl-C ends the watch.");
  JsonFlag(c->live, o, "each reading");
  CLI::Option* csv = c->live->add_flag("--csv", o.csv, "print the readings as CSV, one row per channel, with a header");
  c->live->get_option("--json")->excludes(csv);
  c->live->add_option("--watch", watch, "read again every SECONDS seconds until interrupted")->type_name("SECONDS");

  c->settings = Command(app, "settings", "the unit's settings block and logging interval");
  JsonFlag(c->settings, o, "the settings");
  c->alarms = Command(app, "alarms", "alarm switches, limits and enables per channel");
  JsonFlag(c->alarms, o, "the alarms");
  c->calibration = Command(app, "calibration", "calibration offsets per channel");
  JsonFlag(c->calibration, o, "the offsets");
}

// set interval, set language and sync-time.
void DefineSetCommands(CLI::App& app, Options& o, Commands* c) {
  CLI::App* set = Command(app, "set", "write the logging interval or the language");
  set->require_subcommand(1);
  c->set_interval = Command(*set, "interval", "set the unit's logging interval");
  c->set_interval->add_option("MINUTES", o.value, "5 to 240; blanks around the number are allowed")
      ->type_name("")
      ->required();
  c->set_language = Command(*set, "language", "set the console's (Main.ini) and the unit's language",
                            "Main.ini is written first: a unit that refuses still leaves the console switched.");
  c->set_language->add_option("LANGUAGE", o.value, "English or Deutsch")->type_name("")
      ->required()
      ->check(CLI::IsMember({"English", "Deutsch"}));

  c->sync_time = Command(app, "sync-time", "set the unit's clock to this computer's local time");
}

// sd list, sd get and sd rm.
void DefineCardCommands(CLI::App& app, Options& o, Commands* c) {
  CLI::App* sd = Command(app, "sd", "the files on the unit's SD card");
  sd->require_subcommand(1);
  c->sd_list = Command(*sd, "list", "list the files on the card with their sizes");
  JsonFlag(c->sd_list, o, "the list");
  c->sd_get = Command(*sd, "get", "download a card file into the data folder",
                      "A partial local copy is resumed, not started again. An incomplete download exits with\n"
                      "status 4 and keeps what arrived; the next sd get resumes it. The path of the complete\n"
                      "copy goes to standard output.");
  c->sd_get->add_option("NAME", o.name, "the file's name as sd list shows it")->type_name("")->required();
  c->sd_get->add_flag("--import", o.import, "import the complete copy into the record store");
  c->sd_rm = Command(*sd, "rm", "delete a card file, its local copy and the stored records",
                     "Only a file the card lists is deleted; the card is listed again afterwards, and a file\n"
                     "still listed exits with status 2, keeping the local copy and the records.");
  c->sd_rm->add_option("NAME", o.name, "the file's name as sd list shows it")->type_name("")->required();
}

void DefineExportCommand(CLI::App& app, Options& o, Commands* c) {
  c->export_ = Command(app, "export", "stored readings of a time span",
                       "Rows after --from up to and including --to, each value exactly as stored. One column\n"
                       "gives the fields time and the column (CSV) or \"time\" and \"value\" (JSON); several\n"
                       "give one field per column, empty (CSV) or null (JSON) where a row has no value.");
  c->export_->add_option("--from", o.from, "start of the span, not included")->type_name("TIME")->required();
  c->export_->add_option("--to", o.to, "end of the span, included")->type_name("TIME")->required();
  c->export_->add_option("--column", o.column,
                         "Temperature (default), Humidity, DewPoint, Heatindex, a comma-separated list of them, or all")
      ->type_name("NAMES");
  CLI::Option* export_csv = c->export_->add_flag("--csv", o.csv, "CSV with a header line (default)");
  c->export_->add_flag("--json", o.json, "a JSON list of objects")->excludes(export_csv);
}

// backup and restore.
void DefineBackupCommands(CLI::App& app, Options& o, Commands* c) {
  c->backup = Command(app, "backup", "save the unit's configuration as JSON",
                      "Model, identification, interval, settings, alarms and calibration, each value beside\n"
                      "its raw bytes in hex. The file is replaced whole or not at all.");
  c->backup->add_option("FILE", o.file, "the backup file, or - for standard output")->type_name("")->required();
  c->restore = Command(app, "restore", "write a backup back to the unit",
                       "The unit must be of the backup's model (eight-area or five-area). The raw bytes are\n"
                       "written in the dialogs' write sequences (settings; alarms; calibration; interval), then\n"
                       "read back: a block that differs exits with status 2 and is named.");
  c->restore->add_option("FILE", o.file, "the backup file, or - for standard input")->type_name("")->required();
  c->restore->add_flag("--dry-run", o.dry_run, "print the frames a restore sends, one per line in hex; open no unit");
}

Commands Define(CLI::App& app, Options& o, std::string& watch) {
  Commands c{};
  DefineReadCommands(app, o, watch, &c);
  DefineSetCommands(app, o, &c);
  DefineCardCommands(app, o, &c);
  DefineExportCommand(app, o, &c);
  DefineBackupCommands(app, o, &c);
  return c;
}

// CLI11's message in this program's words, with the help that fits. Where
// a command is missing because a word was not understood in its place
// ("norvoctl bogus", "norvoctl -V", "norvoctl sd bogus"), that word is named.
std::string ParseMessage(const CLI::App& app, const CLI::ParseError& error) {
  std::string message = error.what();
  std::string command = "norvoctl";
  const CLI::App* level = &app;
  while (!level->get_subcommands().empty()) {
    level = level->get_subcommands().front();
    command += " " + level->get_name();
  }
  // Options fall through to the command above, and so do the words a level
  // did not take: the first of them is the one not understood.
  const std::vector<std::string> unknown = app.remaining(true);
  if (dynamic_cast<const CLI::RequiredError*>(&error) != nullptr && message.find("subcommand") != std::string::npos &&
      !unknown.empty()) {
    message = (unknown.front().rfind('-', 0) == 0 ? "unknown option: " : "unknown command: ") + unknown.front();
  }
  for (std::size_t at; (at = message.find("subcommand")) != std::string::npos;) message.replace(at, 10, "command");
  if (!message.empty() && message[0] == 'A') message[0] = 'a';
  // A value an option of norvoctl's own refused (--lang, --data-dir) is
  // described in norvoctl's help, not in the command's.
  if (message.rfind("--", 0) == 0 && level->get_option_no_throw(message.substr(0, message.find(':'))) == nullptr) {
    return message + " (norvoctl --help describes it)";
  }
  return message + (command == "norvoctl" ? " (norvoctl --help lists the commands)" : " (" + command + " --help describes it)");
}

// The data folder (made when named) and the messages in the language asked
// for. --lang needs no data folder: even a folder that fails is told in that
// language.
fs::path PrepareDataFolder(const Options& o) {
  if (!o.lang.empty()) LoadUIStrings(LanguageIdFor(o.lang));
  const fs::path data_folder = o.data_dir.empty() ? ChooseDataFolder() : fs::path(o.data_dir);
  if (!o.data_dir.empty()) {
    std::error_code ec;
    fs::create_directories(data_folder, ec);
    if (!fs::is_directory(data_folder)) {
      // Something else in its place is "not a folder"; a folder that could
      // not be made says why (no permission, a read-only file system, ...).
      std::error_code exists_error;
      if (fs::exists(data_folder, exists_error) || !ec) {
        throw Failure(kStoreError, o.data_dir + UIString(ui::kNotAFolder));
      }
      throw Failure(kStoreError, o.data_dir + UIString(ui::kCannotCreateFolder) +
                                     ec.message());
    }
  }
  if (o.lang.empty()) LoadUIStrings(LanguageIdFor(ReadLanguageSetting(data_folder)));
  return data_folder;
}

// export, the alarm log and report read the record store alone; nothing for
// the commands that need the unit.
std::optional<int> RunWithoutUnit(const Options& o, const Commands& c, const AlarmOptions& a,
                                  const fs::path& data_folder, std::FILE* out) {
  if (*c.export_) {
    const ExportSpan span = CheckExport(o);
    if (o.live) {
      return ExportLiveReadings(o, span, data_folder, out);
    }
    return Export(o, data_folder, out);
  }
  if (*c.alarms && a.log) return AlarmLogCommand(o, data_folder, out);
  if (*a.report) return ReportCommand(o, a, data_folder, out);
  return std::nullopt;
}

// The command on the opened unit: minutes and backup are its arguments, checked.
int RunOnUnit(const Options& o, const Commands& c, int minutes, const std::optional<UnitConfiguration>& backup,
              const fs::path& data_folder, std::FILE* out, std::FILE* err) {
  CommandUnit unit(o, data_folder);
  if (*c.live) Live(o, unit, out);
  if (*c.settings) Settings(o, unit, out);
  if (*c.alarms) Alarms(o, unit, out);
  if (*c.calibration) Calibration(o, unit, out);
  if (*c.sd_list) ListFiles(o, unit, out);
  if (*c.sync_time) return SyncTime(unit, err);
  if (*c.set_interval) return SetInterval(minutes, unit, err);
  if (*c.set_language) return SetLanguage(o.value, unit, data_folder, err);
  if (*c.sd_get) return GetFile(o, unit, data_folder, out, err);
  if (*c.sd_rm) return RemoveFile(o, unit, data_folder, err);
  if (*c.backup) return Backup(o, unit, out, err);
  if (*c.restore) return Restore(*backup, o.file, unit, err);
  return kOk;
}

int Execute(const Options& o, const Commands& c, const AlarmOptions& a, const std::string& watch, std::FILE* out,
            std::FILE* err) {
  const fs::path data_folder = PrepareDataFolder(o);
  if (!watch.empty() && (o.watch < 1 || std::to_string(o.watch) != watch)) {
    throw Failure(kBadInput, UIString(ui::kWatchSeconds));
  }

  // What needs no unit, and every check that can be made before it is opened.
  if (const std::optional<int> status = RunWithoutUnit(o, c, a, data_folder, out)) return *status;
  if (*c.alarms && (!o.from.empty() || !o.to.empty() || o.csv)) {
    throw Failure(kBadInput, UIString(ui::kAlarmLogOptions));
  }
  const int minutes = *c.set_interval ? IntervalMinutes(o.value) : 0;
  if (*c.sd_get || *c.sd_rm) CheckCardName(o.name);
  std::optional<UnitConfiguration> backup;
  if (*c.restore) {
    backup = ReadBackupFile(o.file);
    if (o.dry_run) return PrintRestoreFrames(*backup, out);
  }
  return RunOnUnit(o, c, minutes, backup, data_folder, out, err);
}

// The options every command takes, before or after its name.
void DefineGlobalOptions(CLI::App& app, Options& o) {
  auto formatter = std::make_shared<HelpFormatter>();
  formatter->column_width(22);
  formatter->label("SUBCOMMAND", "COMMAND");
  app.formatter(formatter);
  // Options before the command may also follow it.
  app.fallthrough();
  app.require_subcommand(1);
  app.set_help_flag("-h,--help", "print this help and exit");
  app.set_version_flag("--version", std::string("norvoctl ") + NORVO_VERSION, "print the version and exit");
  app.add_flag("--simulate", o.simulate, "work with a simulated unit instead of the USB device");
  app.add_option("--data-dir", o.data_dir, "the data folder (default: /var/lib/Tarvik, else ~/.local/share/Tarvik)")
      ->type_name("DIR");
  app.add_option("--lang", o.lang, "language of the messages: English or Deutsch (default: from Main.ini)")
      ->type_name("LANGUAGE")
      ->check(CLI::IsMember({"English", "Deutsch"}));
  app.add_option("--sim-fault", o.fault, "with --simulate, a misbehaving unit")
      ->type_name("FAULT")
      ->check(CLI::IsMember({"unplugged", "silent", "refuse", "short-block", "ignore-writes", "open-failure", "odd-names"}));
}

// export --live and the options that only go with it.
void DefineLiveExport(CLI::App* export_command, Options& o) {
  CLI::Option* live = export_command->add_flag("--live", o.live, "the live readings the console or norvoctl serve recorded (every column)")
      ->excludes(export_command->get_option("--column"));
  export_command->add_option("--unit", o.unit, "with --live, only this unit's rows (its recorded name)")->type_name("NAME")->needs(live);
  export_command->add_option("--channel", o.channel, "with --live, only this channel")->type_name("1-8")->check(CLI::Range(1, 8))->needs(live);
  export_command->add_option("--every", o.every, "with --live, one row per bucket: count, min, min time, max, max time, mean")
      ->type_name("5m|1h|1d")
      ->check(CLI::IsMember({"5m", "1h", "1d"}))
      ->needs(live);
}

// Parses the command line; true when it asked for help or the version,
// which are then printed. A malformed line throws its Failure.
bool ParseOrAnswer(CLI::App& app, const std::vector<std::string>& args, std::FILE* out) {
  try {
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    app.parse(reversed);
    return false;
  } catch (const CLI::CallForHelp&) {
    std::fputs(app.help().c_str(), out);
  } catch (const CLI::CallForAllHelp&) {
    std::fputs(app.help("", CLI::AppFormatMode::All).c_str(), out);
  } catch (const CLI::CallForVersion& e) {
    std::fprintf(out, "%s\n", e.what());
  } catch (const CLI::ParseError& e) {
    throw Failure(kBadInput, ParseMessage(app, e));
  }
  CheckOutput(out, true);
  return true;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  interrupt::Guard guard;
  Options o;
  std::string watch;
  CLI::App app(kDescription, "norvoctl");
  DefineGlobalOptions(app, o);
  const Commands commands = Define(app, o, watch);
  DefineLiveExport(commands.export_, o);
  AlarmOptions alarm_options;
  DefineAlarmCommands(app, commands.alarms, o, alarm_options);
  logger::ServeOptions serve_options;
  CLI::App* serve = logger::DefineServeCommand(app, serve_options);
  // Set last: commands would inherit it.
  app.footer(kFooter);

  int status = kOk;
  bool reported = false;
  try {
    if (ParseOrAnswer(app, args, out)) return kOk;
    // Checked once the language is loaded.
    if (!watch.empty()) o.watch = LeadingInteger(watch);
    if (*serve) {
      // A service ends by a signal: that is its status 0.
      serve_options.data_dir = o.data_dir;
      serve_options.sim_fault = o.fault;
      if (o.simulate && serve_options.simulate == 0) serve_options.simulate = 1;
      serve_options.version = NORVO_VERSION;
      serve_options.signalled = [] { return interrupt::Signal(); };
      return logger::RunServe(serve_options, out, err);
    }
    status = Execute(o, commands, alarm_options, watch, out, err);
    CheckOutput(out, true);
  } catch (const Failure& f) {
    // A failure that the interrupt caused (a read cut short) is the interrupt.
    // Messages quote names and lines from the unit and from files: shown
    // escaped, they never reach the terminal as control characters.
    std::fprintf(err, "norvoctl: %s\n", PrintableText(interrupt::Requested() ? Interrupted{}.message : f.Message()).c_str());
    status = f.Code();
    reported = true;
  } catch (const Interrupted& i) {
    std::fprintf(err, "norvoctl: %s\n", PrintableText(i.message).c_str());
    reported = true;
  }
  if (const int signal = interrupt::Signal(); signal != 0) {
    if (!reported) std::fprintf(err, "norvoctl: %s\n", Interrupted{}.message.c_str());
    std::fflush(out);
    return 128 + signal;
  }
  return status;
}

}  // namespace norvo::cli
