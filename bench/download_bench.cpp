// Download of a card file from the simulated unit paced at one report per
// millisecond, against the protocol's floor: the reports needed x 1 ms plus
// the 10 ms write pause of each block's read command.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "BenchSupport.h"
#include "history/Transfer.h"
#include "session/UnitSession.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace fs = std::filesystem;
using namespace norvo;

int main(int argc, char** argv) {
  const long bytes = argc > 1 ? std::atol(argv[1]) : 1048576;
  const fs::path dir = fs::temp_directory_path() / ("norvo-download-bench-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  std::string content = sim::MakeLogFile(false, static_cast<int>(bytes / 20) + 1);  // more than enough text
  content.resize(static_cast<std::size_t>(bytes));

  sim::SimUnit unit(sim::SimUnit::Options{.eight_area = true, .pacing = true, .seed = 1, .default_card = false, .strict = false});
  unit.SetFiles({{"BIG.CSV", content}});
  sim::SimTransport transport;
  transport.AddUnit(&unit, "sim:unit");
  // The console's and norvoctl's path: the session, its card reader, the download loop.
  UnitSession::Options options;
  options.lock_unit = false;
  UnitSession session(transport, dir, options);
  if (session.Open() != OpenState::kOpened) return 2;
  const CardList list = session.ListCardFiles();

  DownloadStatus status = DownloadStatus::kBlockFailed;
  std::string message;
  const double ms = bench::Milliseconds([&] {
    const DownloadOutcome outcome = DownloadToLocalCopy(UnitDownloadJob(session, dir, list, "BIG.CSV", -1));
    status = outcome.status;
    message = outcome.message;
  });
  if (!message.empty()) std::printf("download: %s\n", message.c_str());
  session.Stop();
  fs::remove_all(dir);

  const long blocks = (bytes + 4095) / 4096;
  long reports = 0;
  for (long b = 0; b < blocks; ++b) {
    const long len = std::min<long>(4096, bytes - b * 4096);
    reports += (len + 61) / 62 + 1;  // 62 characters per report, then the end marker
  }
  const double floor_ms = reports * 1.0 + blocks * 10.0;
  std::printf("download of %ld bytes: %.0f ms (%s), %.1f KB/s\n", bytes, ms,
              status == DownloadStatus::kDone ? "complete" : "FAILED", bytes / 1024.0 / (ms / 1000.0));
  std::printf("baseline (protocol floor: %ld reports x 1 ms + %ld blocks x 10 ms): %.0f ms, %.1f KB/s\n", reports,
              blocks, floor_ms, bytes / 1024.0 / (floor_ms / 1000.0));
  std::printf("throughput ratio to the floor: %.3f (goal >= 0.95)\n", floor_ms / ms);
  if (status != DownloadStatus::kDone) return 2;
  const bool met = floor_ms / ms >= 0.95;
  bench::Report("card download", std::to_string(bytes) + " bytes", ms, floor_ms, "ms", met,
                "ratio <= 1.053 (throughput >= 0.95)");
  return met ? 0 : 1;
}
