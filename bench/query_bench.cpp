// CountRecords + QueryRecords over one day of an N-row store (one reading a
// minute; N the first argument, 1,000,000 by default), against a full scan
// of the table for the same day without the index on Time. The day lies in
// the middle of the stored readings (all of them when they span less), so
// the span always holds data.

#include <sqlite3.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "BenchSupport.h"
#include "store/OleDate.h"
#include "store/RecordStore.h"

namespace fs = std::filesystem;
using namespace norvo;

int main(int argc, char** argv) {
  const int rows = argc > 1 ? std::atoi(argv[1]) : 1000000;
  const fs::path dir = fs::temp_directory_path() / ("norvo-query-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string db = (dir / "Norvo.mdb").string();
  const double first = ToOleDate({2025, 1, 1, 0, 0, 0});
  {
    RecordStore store;
    store.Connect(db);
    store.OpenRecordTable("SELECT * FROM Records");
    LogRecord r{};
    store.SetRecord(&r);
    for (int i = 0; i < rows; ++i) {
      r = {first + i / 1440.0, 20.0f + (i % 100) * 0.1f, 40 + i % 30, 10.0f, i % 10 == 0 ? 65535.0f : 21.0f};
      store.AppendRecord();
    }
    store.CloseRecordTable();
  }
  if (rows < 1) {
    std::fprintf(stderr, "usage: query_bench [rows]\n");
    return 2;
  }
  const double days = rows / 1440.0;
  const double day = days > 1 ? first + std::floor((days - 1) / 2) : first - 1.0 / 1440;
  const std::string start = FormatSpanTime(day), end = FormatSpanTime(day + 1);
  int count = 0, walked = 0;
  const double ours = bench::BestOf(10, [&] {
    RecordStore store;
    store.Connect(db);
    store.CountRecords(start, end, "Temperature");
    count = store.Count();
    store.Connect(db);
    store.QueryRecords(start, end, "Temperature");
    double t;
    float v;
    walked = 0;
    while (store.NextRow(&t, &v)) ++walked;
  });
  sqlite3* raw = nullptr;
  sqlite3_open(db.c_str(), &raw);
  const double baseline = bench::BestOf(3, [&] {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(raw, "SELECT Time, Temperature FROM Records NOT INDEXED WHERE Time > ?1 AND Time <= ?2 "
                            "AND Temperature <> 65535 ORDER BY Time", -1, &s, nullptr);
    sqlite3_bind_double(s, 1, day);
    sqlite3_bind_double(s, 2, day + 1);
    while (sqlite3_step(s) == SQLITE_ROW) {
    }
    sqlite3_finalize(s);
  });
  sqlite3_close(raw);
  fs::remove_all(dir);
  std::printf("one day of %d rows (%d counted, %d walked): ours %.2f ms (connect, count, connect, query, walk)\n", rows,
              count, walked, ours);
  std::printf("baseline: the same day by a full table scan, no index: %.2f ms\n", baseline);
  if (count == 0 || walked != count) {
    std::printf("the span holds %d rows, %d walked: no ratio\n", count, walked);
    return 1;
  }
  std::printf("ratio ours/baseline: %.3f; goal: ours under 20 ms\n", ours / baseline);
  return 0;
}
