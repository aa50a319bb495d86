#include "AlarmCommands.h"

#include <CLI/CLI.hpp>
#include <cmath>

#include "Internal.h"
#include "device/Encodings.h"
#include "domain/Alarms.h"
#include "report/ReportFile.h"
#include "settings/DataFolder.h"
#include "store/AlarmLog.h"
#include "store/LiveStore.h"

namespace norvo::cli {
namespace {

// The span as the other store commands take it; none given: everything.
void Span(const Options& o, double* from, double* to) {
  *from = -1e18;
  *to = 1e18;
  if (o.from.empty() && o.to.empty()) return;
  if (o.from.empty() || o.to.empty()) {
    throw Failure(kBadInput, UIString(ui::kFromToTogether));
  }
  Options checked = o;
  checked.column = "Temperature";
  const ExportSpan span = CheckExport(checked);
  if (!ParseLocalTime(span.from, from) || !ParseLocalTime(span.to, to)) {
    throw Failure(kBadInput, UIString(ui::kSpanUnreadable));
  }
}

std::string Plain(double unix_seconds) { return LocalTimeText(unix_seconds, "%Y-%m-%d %H:%M:%S"); }

std::string Pad(std::string text, std::size_t width) {
  // Width in characters, not bytes: "°" takes two.
  std::size_t chars = 0;
  for (unsigned char c : text) chars += (c & 0xC0) != 0x80;
  if (chars < width) text.append(width - chars, ' ');
  return text;
}

}  // namespace

void DefineAlarmCommands(CLI::App& app, CLI::App* alarms, Options& o, AlarmOptions& a) {
  alarms->add_flag("--log", a.log, "the alarm log of the record store instead of the unit's limits (no unit opened)");
  alarms->add_option("--from", o.from, "with --log: alarms that last after this time")->type_name("TIME");
  alarms->add_option("--to", o.to, "with --log: alarms that started up to this time")->type_name("TIME");
  CLI::Option* csv = alarms->add_flag("--csv", o.csv, "with --log: CSV with a header line");
  alarms->get_option("--json")->excludes(csv);

  a.report = app.add_subcommand("report", "a report of recorded readings over a span (PDF, CSV or JSON)");
  a.report->footer(
      "Per unit and channel: count, minimum and maximum with their times, mean, mean kinetic temperature,\n"
      "time above and below each enabled alarm limit, the excursions, and a chart of each quantity. The\n"
      "readings are the recorded polls (norvoctl serve, or the console holding the unit) at full resolution;\n"
      "the limits, identification and interval are the ones the holder last recorded. The PDF is A4 in the\n"
      "console's language, with page numbers and the time it was made.");
  a.report->add_option("--from", o.from, "start of the span, not included")->type_name("TIME")->required();
  a.report->add_option("--to", o.to, "end of the span, included")->type_name("TIME")->required();
  a.report->add_option("--unit", a.unit, "only this unit (default: every unit with readings in the span)")->type_name("NAME");
  a.report->add_option("--channel", a.channels, "only these channels, 1 to 8 (repeatable)")
      ->type_name("N")
      ->check(CLI::Range(1, 8));
  a.report->add_option("--mkt-activation", a.mkt_activation,
                       "activation energy over the gas constant for the mean kinetic temperature (default 10000)")
      ->type_name("KELVIN")
      ->check(CLI::Range(1.0, 1e6));
  a.report->add_option("-o,--output", a.output, "the report file: FILE.pdf, FILE.csv or FILE.json")
      ->type_name("FILE")
      ->required();
}

int AlarmLogCommand(const Options& o, const fs::path& data_folder, std::FILE* out) {
  double from = 0, to = 0;
  Span(o, &from, &to);
  const std::string db = (data_folder / kDatabaseFile).string();
  if (!fs::exists(db)) throw Failure(kStoreError, db + UIString(ui::kNoRecordStoreAt));
  AlarmLog log;
  std::string error;
  if (!log.OpenReadOnly(db, &error)) throw Failure(kStoreError, error);
  std::vector<AlarmLogRow> rows;
  if (!log.Query(from, to, "", [&](const AlarmLogRow& r) { rows.push_back(r); }, &error)) {
    throw Failure(kStoreError, error);
  }
  const auto value = [](const AlarmLogRow& r, double v) {
    return FixedText(v, r.quantity == "temperature" ? 1 : 0);
  };
  if (o.json) {
    Json list = Json::array();
    for (const AlarmLogRow& r : rows) {
      list.push_back({{"unit", r.unit},
                      {"channel", r.channel},
                      {"quantity", r.quantity},
                      {"bound", r.bound},
                      {"limit", OneDecimal(r.limit)},
                      {"start", LocalIsoTime(r.start)},
                      {"end", r.end ? Json(LocalIsoTime(*r.end)) : Json(nullptr)},
                      {"peak", OneDecimal(r.peak)},
                      {"peak_time", LocalIsoTime(r.peak_time)}});
    }
    std::fprintf(out, "%s\n", JsonLine(list).c_str());
  } else if (o.csv) {
    std::fprintf(out, "unit,channel,quantity,bound,limit,start,end,peak,peak_time\n");
    for (const AlarmLogRow& r : rows) {
      std::fprintf(out, "%s,%d,%s,%s,%s,%s,%s,%s,%s\n", r.unit.c_str(), r.channel, r.quantity.c_str(), r.bound.c_str(),
                   value(r, r.limit).c_str(), LocalIsoTime(r.start).c_str(),
                   r.end ? LocalIsoTime(*r.end).c_str() : "", value(r, r.peak).c_str(),
                   LocalIsoTime(r.peak_time).c_str());
      CheckOutput(out);
    }
  } else {
    std::fprintf(out, "%s\n",
                 (Pad("unit", 10) + Pad("channel", 8) + Pad("quantity", 12) + Pad("bound", 6) + Pad("limit", 9) +
                  Pad("start", 21) + Pad("end", 21) + Pad("peak", 9) + "peak time")
                     .c_str());
    for (const AlarmLogRow& r : rows) {
      const std::string unit_sign = r.quantity == "temperature" ? " \u00B0C" : " %";
      std::fprintf(out, "%s\n",
                   (Pad(r.unit, 10) + Pad("CH" + std::to_string(r.channel), 8) + Pad(r.quantity, 12) + Pad(r.bound, 6) +
                    Pad(value(r, r.limit) + unit_sign, 9) + Pad(Plain(r.start), 21) +
                    Pad(r.end ? Plain(*r.end) : UIString(ui::kAlarmLasts), 21) +
                    Pad(value(r, r.peak) + unit_sign, 9) + Plain(r.peak_time))
                       .c_str());
      CheckOutput(out);
    }
  }
  return kOk;
}

int ReportCommand(const Options& o, const AlarmOptions& a, const fs::path& data_folder, std::FILE* out) {
  double from = 0, to = 0;
  Span(o, &from, &to);
  ReportRequest request;
  request.database = data_folder / kDatabaseFile;
  request.from = from;
  request.to = to;
  request.unit = a.unit;
  request.channels = a.channels;
  request.mkt_activation = a.mkt_activation;
  request.output = a.output;
  const ReportResult r = MakeReport(request);
  switch (r.status) {
    case ReportResult::kOk:
      break;
    case ReportResult::kBadInput:
      throw Failure(kBadInput, r.message);
    case ReportResult::kStoreError:
    case ReportResult::kOutputError:
      throw Failure(kStoreError, r.message);
  }
  std::size_t channels = 0;
  for (const UnitReport& u : r.report.units) channels += u.channels.size();
  std::fprintf(out, "%s\n",
               (a.output + ": " + std::to_string(r.report.units.size()) +
                UIString(ui::kUnitsCount) + std::to_string(channels) +
                UIString(ui::kChannelsCount))
                   .c_str());
  return kOk;
}

}  // namespace norvo::cli
