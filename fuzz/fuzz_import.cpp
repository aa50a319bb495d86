// The whole log-file import on arbitrary contents. The first byte picks the
// layout (a name with or without "IN"), the day order and whether the copy
// is whole or cut off.

#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>

#include "history/Import.h"

namespace fs = std::filesystem;
using namespace norvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  static const fs::path folder = fs::temp_directory_path() / ("norvo-fuzz-import-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  const std::string name = data[0] & 1 ? "IN0001.CSV" : "LOG0001.CSV";
  const DayOrder order = data[0] & 2 ? DayOrder::kDayFirst : DayOrder::kMonthFirst;
  {
    std::ofstream out(folder / name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data + 1), static_cast<std::streamsize>(size - 1));
  }
  // An in-memory store: the same SQL, without a disk sync per input.
  RecordStore store;
  const ImportResult r = ImportLocalCopy(name, folder / name, ":memory:", order, store, {}, (data[0] & 4) == 0);
  for (std::size_t i = 0; i < r.rows->size(); ++i) {
    const DisplayRow row = r.rows->Row(i);
    for (const auto& slot : row.slot) {
      if (slot[79] != 0) __builtin_trap();  // every slot stays zero-terminated
    }
  }
  // A file on a working disk lands whole, or is refused with a message (dates of both orders).
  if (r.opened && !r.stored && r.message.empty()) __builtin_trap();
  return 0;
}
