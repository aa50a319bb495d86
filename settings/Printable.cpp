#include "Printable.h"

#include <cstdint>
#include <cstdio>

namespace norvo {
namespace {

// The length of the UTF-8 sequence at text[at] and its code point; 0 when
// the bytes there are not one (overlong forms and surrogates included).
std::size_t Sequence(std::string_view text, std::size_t at, std::uint32_t* code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = 0;
  std::uint32_t value = 0, minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    value = value << 6 | (byte(at + i) & 0x3Fu);
  }
  if (value < minimum || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return 0;
  *code = value;
  return length;
}

// C1 controls, and the marks that reorder or break a line without being seen.
bool Invisible(std::uint32_t code) {
  return (code >= 0x80 && code <= 0x9F) || code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069);
}

}  // namespace

std::string PrintableText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  char escape[16];
  for (std::size_t at = 0; at < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
      ++at;
    } else if (c == '\n' || c == '\r' || c == '\t') {
      out += c == '\n' ? "\\n" : c == '\r' ? "\\r" : "\\t";
      ++at;
    } else if (c < 0x80) {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
      ++at;
    } else if (std::uint32_t code = 0; const std::size_t length = Sequence(text, at, &code)) {
      if (Invisible(code)) {
        std::snprintf(escape, sizeof escape, "\\u%04x", static_cast<unsigned>(code));
        out += escape;
      } else {
        out.append(text.substr(at, length));
      }
      at += length;
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
      out += escape;
      ++at;
    }
  }
  return out;
}

}  // namespace norvo
