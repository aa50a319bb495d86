#pragma once
// norvoctl alarms --log and norvoctl report: the alarm log and reports from
// the record store; neither opens a unit.

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace norvo::cli {

struct Options;

struct AlarmOptions {
  bool log = false;         // alarms --log
  CLI::App* report = nullptr;
  std::string unit;         // report --unit
  std::vector<int> channels;
  double mkt_activation = 10000;
  std::string output;       // report -o
};

// The options of alarms --log on the alarms command, and the report command.
void DefineAlarmCommands(CLI::App& app, CLI::App* alarms, Options& o, AlarmOptions& a);
int AlarmLogCommand(const Options& o, const std::filesystem::path& data_folder, std::FILE* out);
int ReportCommand(const Options& o, const AlarmOptions& a, const std::filesystem::path& data_folder, std::FILE* out);

}  // namespace norvo::cli
