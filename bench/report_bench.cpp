// norvoctl report over a year of one unit's 8 channels polled every 20 s
// (12.6 M rows of the live table), against the SQL aggregate of the same rows
// (count, min, max, mean per channel and quantity) in the same run. Goal: the
// whole report (figures, excursions, charts, the PDF written) under 2 s.
// Exits 1 when it misses the goal.
//
//   report_bench [--days N] [--keep DIR]   (default 365 days, a fresh temporary store)

#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "BenchSupport.h"
#include "report/ReportFile.h"
#include "settings/DataFolder.h"
#include "store/LiveStore.h"

namespace fs = std::filesystem;

int main(int argc, char** argv) {
  int days = 365;
  fs::path folder;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--days") == 0) days = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--keep") == 0) folder = argv[i + 1];
  }
  const bool temporary = folder.empty();
  if (temporary) folder = fs::temp_directory_path() / ("norvo-report-bench-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const fs::path db = folder / norvo::kDatabaseFile;
  constexpr double kPeriod = 20;
  const double start = 1767225600;  // 2026-01-01 00:00:00 UTC
  const long polls = static_cast<long>(days * 86400 / kPeriod);

  if (!fs::exists(db)) {
    // The store as serve writes it (LiveStore), in batches of a day.
    norvo::LiveStore live;
    std::string error;
    if (!live.Open(db.string(), &error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    bool written = true;
    const double fill = norvo::bench::Milliseconds([&] {
      std::vector<norvo::LivePoll> batch;
      for (long i = 0; i < polls; ++i) {
        norvo::LivePoll p;
        p.time = start + kPeriod * static_cast<double>(i);
        p.unit = "NV0012345";
        for (int k = 0; k < 8; ++k) {
          const double t = std::round((5 + 3 * k + 4 * std::sin(static_cast<double>(i) / 4320.0 + k)) * 10) / 10;
          p.channels[static_cast<std::size_t>(k)] = {t, 40 + static_cast<int>((i / 90 + k * 7) % 30),
                                                     std::round((t - 6) * 10) / 10};
        }
        batch.push_back(p);
        if (batch.size() == 4320 || i + 1 == polls) {
          if (!live.Append(batch, &error)) {
            written = false;
            return;
          }
          batch.clear();
        }
      }
    });
    if (!written) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 2;
    }
    std::printf("store: %ld polls x 8 channels written in %.1f s\n", polls, fill / 1000);
  }
  // The whole year, as the report's span.
  const double span_from = start - 1, span_to = start + kPeriod * static_cast<double>(polls);

  // Baseline: the SQL aggregate of the same rows.
  double checksum = 0;
  const double sql = norvo::bench::BestOf(2, [&] {
    sqlite3* h = nullptr;
    sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(h,
                       "SELECT Channel, count(Temperature), min(Temperature), max(Temperature), avg(Temperature), "
                       "count(Humidity), min(Humidity), max(Humidity), avg(Humidity) FROM LiveReadings "
                       "WHERE Time > ? AND Time <= ? AND Unit = 'NV0012345' GROUP BY Channel",
                       -1, &s, nullptr);
    sqlite3_bind_double(s, 1, span_from);
    sqlite3_bind_double(s, 2, span_to);
    while (sqlite3_step(s) == SQLITE_ROW) checksum += sqlite3_column_double(s, 4);
    sqlite3_finalize(s);
    sqlite3_close(h);
  });

  norvo::ReportRequest request;
  request.database = db;
  request.from = span_from;
  request.to = span_to;
  request.unit = "NV0012345";
  request.output = folder / "year.pdf";
  norvo::ReportResult result;
  const double report = norvo::bench::BestOf(2, [&] { result = norvo::MakeReport(request); });
  if (result.status != norvo::ReportResult::kOk) {
    std::fprintf(stderr, "report failed: %s\n", result.message.c_str());
    return 2;
  }
  long rows = 0;
  for (const auto& c : result.report.units.front().channels) rows += c.quantity[0].count;
  std::printf("report over %d days, %ld readings of 8 channels: %.0f ms (PDF %s, %ld KB); SQL aggregate %.0f ms; "
              "ratio %.2f; goal < 2000 ms: %s; peak memory %.1f MB\n",
              days, rows, report, request.output.c_str(), static_cast<long>(fs::file_size(request.output) / 1024), sql,
              report / sql, report < 2000 ? "met" : "MISSED", norvo::bench::PeakKilobytes() / 1024.0);
  norvo::bench::Report("report", std::to_string(days) + " days", report, sql, "ms", report < 2000, "< 2000 ms");
  if (temporary) fs::remove_all(folder);
  return report < 2000 ? 0 : 1;
}
