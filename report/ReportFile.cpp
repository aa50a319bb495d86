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

// A report the store could not give: its status and what the store said.
ReportResult StoreError(ReportResult result, std::string message) {
  result.status = ReportResult::kStoreError;
  result.message = std::move(message);
  return result;
}

// The usual time between polls of each unit in the span, from its first polls.
bool PollIntervals(const std::string& db, const SpanQuery& query, std::map<std::string, double>* intervals,
                   std::string* error) {
  std::vector<std::pair<std::string, std::vector<double>>> first_times;
  if (!SpanUnitTimes(db, query, 1000, &first_times, error)) return false;
  for (auto& [unit, times] : first_times) (*intervals)[unit] = MedianInterval(times);
  return true;
}

// One builder per unit, in the order the units first come, each starting
// from the unit's facts as its alarm log holds them at the span's end. The
// rows bring a unit's rows one after another, so the last unit is kept at hand.
class UnitBuilders {
 public:
  UnitBuilders(const std::string& db, double at, const ReportOptions& options, std::map<std::string, double> intervals)
      : at_(at), options_(options), intervals_(std::move(intervals)), have_log_(log_.OpenReadOnly(db, nullptr)) {}

  UnitReportBuilder& For(const std::string& unit) {
    if (current_ != nullptr && unit == current_name_) return *current_;
    current_name_ = unit;
    auto found = builders_.find(unit);
    if (found == builders_.end()) found = Add(unit, intervals_[unit]);
    current_ = found->second.get();
    return *current_;
  }

  // The rows start over: what was built from them is dropped.
  void Clear() {
    builders_.clear();
    order_.clear();
    current_ = nullptr;
  }

  bool Empty() const { return order_.empty(); }

  // A unit without readings: its page says so.
  void AddEmpty(const std::string& unit) { Add(unit, 0); }

  std::vector<UnitReport> Finish() {
    std::vector<UnitReport> units;
    for (const std::string& unit : order_) units.push_back(builders_[unit]->Finish());
    return units;
  }

 private:
  using Builders = std::map<std::string, std::unique_ptr<UnitReportBuilder>>;

  Builders::iterator Add(const std::string& unit, double interval) {
    UnitFacts facts;
    if (have_log_) {
      if (auto row = log_.Facts(unit, at_, nullptr)) facts = FactsFromRow(*row);
    }
    order_.push_back(unit);
    return builders_.emplace(unit, std::make_unique<UnitReportBuilder>(unit, facts, options_, interval)).first;
  }

  double at_;
  ReportOptions options_;
  std::map<std::string, double> intervals_;
  AlarmLog log_;
  bool have_log_;
  Builders builders_;
  std::vector<std::string> order_;
  UnitReportBuilder* current_ = nullptr;
  std::string current_name_;
};

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
    return StoreError(std::move(result), db + UIString(ui::kNoRecordStoreAt));
  }
  const SpanQuery query{request.from, request.to, request.unit};
  std::map<std::string, double> intervals;
  std::string error;
  if (!PollIntervals(db, query, &intervals, &error)) return StoreError(std::move(result), error);
  UnitBuilders builders(db, request.to, report.options, std::move(intervals));
  const bool ok = ReadSpanRows(
      db, query, [&](const SpanRow& r) { builders.For(*r.unit).Add(r.time, r.channel, r.temperature, r.humidity); },
      [&] { builders.Clear(); }, &error);
  if (!ok) return StoreError(std::move(result), error);
  // A unit asked for by name gets its page, saying it has no readings.
  if (builders.Empty() && !request.unit.empty()) builders.AddEmpty(request.unit);
  report.units = builders.Finish();
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
