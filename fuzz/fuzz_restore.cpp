// Restore input: any text given to norvoctl restore. It is either refused
// with a reason or gives a configuration that keeps to the dialogs' ranges
// and reads back the same from its own backup text. An accepted text has
// no key twice in one object, and a refusal never quotes what the parser
// last read.

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "config/Backup.h"

using namespace norvo;

namespace {

// Finds a key given twice in one object, by nlohmann's own reading.
struct TwiceFinder : nlohmann::json_sax<nlohmann::json> {
  std::vector<std::set<std::string>> objects;
  bool twice = false;
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override {
    objects.emplace_back();
    return true;
  }
  bool key(string_t& k) override {
    twice = twice || !objects.back().insert(k).second;
    return true;
  }
  bool end_object() override {
    objects.pop_back();
    return true;
  }
  bool start_array(std::size_t) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override { return false; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const BackupParse parsed = ParseBackupJson(text);
  if (!parsed.config) {
    if (parsed.error.empty()) __builtin_trap();  // a refusal always says why
    // nlohmann's "last read" is cut off; a key path the file itself wrote
    // may hold the words and is named on purpose.
    if (parsed.error.find("last read") != std::string::npos && text.find("last read") == std::string_view::npos) {
      __builtin_trap();
    }
    return 0;
  }
  if (text.find('\0') != std::string_view::npos) __builtin_trap();
  TwiceFinder finder;
  nlohmann::json::sax_parse(text.begin(), text.end(), &finder);
  if (finder.twice) __builtin_trap();
  if (CheckConfiguration(*parsed.config)) __builtin_trap();
  const BackupParse again = ParseBackupJson(BackupJson(*parsed.config));
  if (!again.config || !DifferingBlocks(*parsed.config, *again.config).empty()) __builtin_trap();
  for (const RestoreSequence& sequence : RestoreSequences(*parsed.config)) {
    if (sequence.frames.empty()) __builtin_trap();
  }
  return 0;
}
