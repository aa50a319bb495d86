#include "ReportFile.h"

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>

#include "domain/AlarmRows.h"
#include "res/Strings.h"
#include "store/AlarmLog.h"
#include "store/SpanRows.h"

namespace norvo {
namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return s;
}

// Written beside the target and renamed over it: a failed write leaves the
// old file as it was.
bool WriteWhole(const std::filesystem::path& path, const std::string& text, std::string* error) {
  const std::filesystem::path part = path.string() + ".part";
  {
    std::ofstream out(part, std::ios::binary | std::ios::trunc);
    out << text;
    out.flush();
    if (!out) {
      std::error_code ec;
      std::filesystem::remove(part, ec);
      *error = path.string() + UIString(ui::kCannotBeWritten);
      return false;
    }
  }
  std::error_code ec;
  std::filesystem::rename(part, path, ec);
  if (ec) {
    std::filesystem::remove(part, ec);
    *error = path.string() + ": " + ec.message();
    return false;
  }
  return true;
}

}  // namespace

ReportResult BuildReport(const ReportRequest& request) {
  ReportResult result;
  Report& report = result.report;
  report.options.from = request.from;
  report.options.to = request.to;
  report.options.channels = request.channels;
  report.options.mkt_activation = request.mkt_activation;
  report.made = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  const std::string db = request.database.string();
  if (!std::filesystem::exists(request.database)) {
    result.status = ReportResult::kStoreError;
    result.message = db + UIString(ui::kNoRecordStoreAt);
    return result;
  }
  const SpanQuery query{request.from, request.to, request.unit};
  std::vector<std::pair<std::string, std::vector<double>>> first_times;
  std::string error;
  if (!SpanUnitTimes(db, query, 1000, &first_times, &error)) {
    result.status = ReportResult::kStoreError;
    result.message = error;
    return result;
  }
  std::map<std::string, double> intervals;
  for (auto& [unit, times] : first_times) intervals[unit] = MedianInterval(times);

  AlarmLog log;
  const bool have_log = log.OpenReadOnly(db, nullptr);
  std::map<std::string, std::unique_ptr<UnitReportBuilder>> builders;
  std::vector<std::string> order;
  UnitReportBuilder* current = nullptr;
  std::string current_name;
  const bool ok = ReadSpanRows(
      db, query,
      [&](const SpanRow& r) {
        if (current == nullptr || *r.unit != current_name) {
          current_name = *r.unit;
          auto found = builders.find(current_name);
          if (found == builders.end()) {
            UnitFacts facts;
            if (have_log) {
              if (auto row = log.Facts(current_name, request.to, nullptr)) facts = FactsFromRow(*row);
            }
            found = builders
                        .emplace(current_name, std::make_unique<UnitReportBuilder>(current_name, facts, report.options,
                                                                                   intervals[current_name]))
                        .first;
            order.push_back(current_name);
          }
          current = found->second.get();
        }
        current->Add(r.time, r.channel, r.temperature, r.humidity);
      },
      [&] {
        builders.clear();
        order.clear();
        current = nullptr;
      },
      &error);
  if (!ok) {
    result.status = ReportResult::kStoreError;
    result.message = error;
    return result;
  }
  if (order.empty() && !request.unit.empty()) {
    // A unit asked for by name gets its page, saying it has no readings.
    UnitFacts facts;
    if (have_log) {
      if (auto row = log.Facts(request.unit, request.to, nullptr)) facts = FactsFromRow(*row);
    }
    builders.emplace(request.unit, std::make_unique<UnitReportBuilder>(request.unit, facts, report.options, 0));
    order.push_back(request.unit);
  }
  for (const std::string& unit : order) report.units.push_back(builders[unit]->Finish());
  return result;
}

ReportResult MakeReport(const ReportRequest& request) {
  const std::string suffix = Lower(request.output.extension().string());
  if (suffix != ".pdf" && suffix != ".csv" && suffix != ".json") {
    ReportResult r;
    r.status = ReportResult::kBadInput;
    r.message = request.output.string() +
                UIString(ui::kReportFormats);
    return r;
  }
  ReportResult result = BuildReport(request);
  if (result.status != ReportResult::kOk) return result;
  std::string error;
  bool written = false;
  if (suffix == ".pdf") {
    const std::filesystem::path part = request.output.string() + ".part";
    written = WriteReportPdf(result.report, part, &error);
    if (written) {
      std::error_code ec;
      std::filesystem::rename(part, request.output, ec);
      if (ec) {
        error = request.output.string() + ": " + ec.message();
        written = false;
      }
    }
    if (!written) {
      std::error_code ec;
      std::filesystem::remove(part, ec);
    }
  } else {
    written = WriteWhole(request.output, suffix == ".csv" ? ReportCsv(result.report) : ReportJson(result.report), &error);
  }
  if (!written) {
    result.status = ReportResult::kOutputError;
    result.message = error;
  }
  return result;
}

}  // namespace norvo
