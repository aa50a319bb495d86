// Import of a generated 100,000-line five-field log into a fresh store (the
// whole ImportLocalCopy), against the sqlite3 command line's ".import --csv"
// of the same file into a file database on the same disk.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "BenchSupport.h"
#include "history/Import.h"
#include "sim/SimUnit.h"

namespace fs = std::filesystem;
using namespace norvo;

int main(int argc, char** argv) {
  const int lines = argc > 1 ? std::atoi(argv[1]) : 100000;
  const fs::path dir = fs::temp_directory_path() / ("norvo-import-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string card = sim::MakeLogFile(false, lines);
  {
    std::ofstream copy(dir / "LOG0001.CSV", std::ios::binary);  // text mode on disk: CR LF
    for (char c : card) {
      if (c == '\n') copy << '\r';
      copy << c;
    }
    std::ofstream(dir / "plain.csv", std::ios::binary) << card;
  }
  const long rss_before = bench::PeakKilobytes();

  double ours = 1e300;
  for (int run = 0; run < 3; ++run) {
    fs::remove(dir / "Norvo.mdb");
    RecordStore store([](const std::string& e) { std::fprintf(stderr, "store: %s\n", e.c_str()); });
    ours = std::min(ours, bench::Milliseconds([&] {
      const ImportResult r = ImportLocalCopy("LOG0001.CSV", dir / "LOG0001.CSV", (dir / "Norvo.mdb").string(),
                                             DayOrder::kMonthFirst, store);
      if (!r.stored || static_cast<int>(r.rows->size()) != lines) std::fprintf(stderr, "import incomplete\n");
    }));
  }
  const long rss_after = bench::PeakKilobytes();

  double baseline = 1e300;
  for (int run = 0; run < 3; ++run) {
    fs::remove(dir / "baseline.db");
    const std::string command = "sqlite3 " + (dir / "baseline.db").string() +
                                " 'CREATE TABLE Records (Time TEXT, Temperature REAL, Humidity INTEGER, Dewpoint REAL, "
                                "Heatindex REAL);' '.import --csv --skip 1 " +
                                (dir / "plain.csv").string() + " Records'";
    baseline = std::min(baseline, bench::Milliseconds([&] {
      if (std::system(command.c_str()) != 0) std::fprintf(stderr, "sqlite3 failed (is the sqlite3 package installed?)\n");
    }));
  }
  fs::remove_all(dir);
  std::printf("import of %d lines: ours %.1f ms (whole ImportLocalCopy: parse, display rows, store)\n", lines, ours);
  std::printf("baseline: sqlite3 command line .import --csv of the same file: %.1f ms\n", baseline);
  std::printf("ratio ours/baseline: %.3f (goal < 1.0)\n", ours / baseline);
  std::printf("peak memory: %ld KB (%ld KB before the imports)\n", rss_after, rss_before);
  return 0;
}
