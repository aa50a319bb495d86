// The configuration of norvoctl serve, and the escaping of text on its way to
// a terminal, on arbitrary bytes. A configuration either applies or is
// refused naming its line, and the refusal never quotes the file: it holds
// no byte outside printable ASCII. An accepted text sets every option but
// `unit` at most once and holds no NUL. Escaped text holds no control
// character, is UTF-8, and escaping it again changes nothing.

#include <cstdint>
#include <set>
#include <string>

#include "logger/ServeConfig.h"
#include "settings/Printable.h"

using namespace norvo;

namespace {

bool ValidUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  const std::string shown = PrintableText(text);
  for (std::size_t i = 0; i < shown.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(shown[i]);
    if (c < 0x20 || c == 0x7F) __builtin_trap();
    // C1 controls as UTF-8 (C2 80..C2 9F) never pass.
    if (c == 0xC2 && i + 1 < shown.size() && static_cast<unsigned char>(shown[i + 1]) < 0xA0) __builtin_trap();
  }
  if (!ValidUtf8(shown) || PrintableText(shown) != shown) __builtin_trap();

  logger::ServeOptions options;
  std::string error;
  if (!logger::ApplyServeConfig(text, {}, &options, &error)) {
    if (error.rfind("line ", 0) != 0) __builtin_trap();
    for (const unsigned char c : error) {
      if (c < 0x20 || c >= 0x7F) __builtin_trap();
    }
    return 0;
  }
  if (text.find('\0') != std::string::npos) __builtin_trap();
  // Each option but `unit` once: the same text with its lines doubled is refused.
  if (!text.empty() && text.find('=') != std::string::npos) {
    logger::ServeOptions again;
    const std::string doubled = text + "\n" + text;
    bool only_units = true;
    for (std::size_t at = 0; at < text.size();) {
      std::size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      const std::string line = text.substr(at, end - at);
      const std::size_t first = line.find_first_not_of(" \t\r");
      if (first != std::string::npos && line[first] != '#' && line.compare(first, 4, "unit") != 0) only_units = false;
      at = end + 1;
    }
    if (!only_units && logger::ApplyServeConfig(doubled, {}, &again, nullptr)) __builtin_trap();
  }
  return 0;
}
