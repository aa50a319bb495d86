// Restore input: any text given to norvoctl restore. It is either refused
// with a reason or gives a configuration that keeps to the dialogs' ranges
// and reads back the same from its own backup text.

#include <cstdint>
#include <string_view>

#include "config/Backup.h"

using namespace norvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const BackupParse parsed = ParseBackupJson(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!parsed.config) {
    if (parsed.error.empty()) __builtin_trap();  // a refusal always says why
    return 0;
  }
  if (CheckConfiguration(*parsed.config)) __builtin_trap();
  const BackupParse again = ParseBackupJson(BackupJson(*parsed.config));
  if (!again.config || !DifferingBlocks(*parsed.config, *again.config).empty()) __builtin_trap();
  for (const RestoreSequence& sequence : RestoreSequences(*parsed.config)) {
    if (sequence.frames.empty()) __builtin_trap();
  }
  return 0;
}
