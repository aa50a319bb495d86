#pragma once
// Byte order and "no value" markers, as every block and command of the unit
// uses them. Multi-byte values travel high byte first. A temperature word of
// FF FF or 7F FF, and a humidity byte of FF, mean "no value"; the console
// itself writes FF FF. Header-only: no I/O, no state.

#include <cstddef>
#include <cstdint>

#include "Payload.h"

namespace norvo::wire {

// ---- big-endian 16 and 32 bit ---------------------------------------------------

constexpr std::uint16_t Be16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] << 8 | at[1]);
}
constexpr std::uint32_t Be32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} << 24 | std::uint32_t{at[1]} << 16 | std::uint32_t{at[2]} << 8 |
         std::uint32_t{at[3]};
}
constexpr void PutBe16(std::uint8_t* at, std::uint16_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 8);
  at[1] = static_cast<std::uint8_t>(v);
}
constexpr void PutBe32(std::uint8_t* at, std::uint32_t v) {
  at[0] = static_cast<std::uint8_t>(v >> 24);
  at[1] = static_cast<std::uint8_t>(v >> 16);
  at[2] = static_cast<std::uint8_t>(v >> 8);
  at[3] = static_cast<std::uint8_t>(v);
}

// The same at an offset of a payload; the value must lie inside it.
constexpr std::uint16_t Be16(const Payload& p, std::size_t at) { return Be16(p.data() + at); }
constexpr std::uint32_t Be32(const Payload& p, std::size_t at) { return Be32(p.data() + at); }
constexpr void PutBe16(Payload& p, std::size_t at, std::uint16_t v) { PutBe16(p.data() + at, v); }
constexpr void PutBe32(Payload& p, std::size_t at, std::uint32_t v) { PutBe32(p.data() + at, v); }

static_assert(Be32(Payload{0x00, 0x10, 0x00, 0x01}, 0) == 0x00100001u);
static_assert(Be16(Payload{0xFF, 0x38}, 0) == 0xFF38u);

// ---- "no value" ----------------------------------------------------------------

constexpr std::size_t kWordSize = 2;
// What the console writes for "no value", as a 16-bit word and as its bytes.
constexpr std::uint16_t kNoValueWord = 0xFFFF;
constexpr std::uint8_t kNoValueByte = 0xFF;
// The second marker the unit itself may send for a temperature.
constexpr std::uint16_t kAltNoValueWord = 0x7FFF;

constexpr bool IsNoValueWord(std::uint16_t word) { return word == kNoValueWord || word == kAltNoValueWord; }
constexpr bool IsNoValueWord(std::uint8_t high, std::uint8_t low) {
  return IsNoValueWord(static_cast<std::uint16_t>(high << 8 | low));
}
constexpr bool IsNoValueByte(std::uint8_t value) { return value == kNoValueByte; }

// Two temperature words say the same: equal, or both "no value" (a unit may
// read FF FF back as 7F FF).
constexpr bool SameTemperatureWord(const std::uint8_t* a, const std::uint8_t* b) {
  return (a[0] == b[0] && a[1] == b[1]) || (IsNoValueWord(a[0], a[1]) && IsNoValueWord(b[0], b[1]));
}

static_assert(IsNoValueWord(0xFF, 0xFF) && IsNoValueWord(0x7F, 0xFF) && !IsNoValueWord(0x7F, 0xFE) &&
              !IsNoValueWord(0xFF, 0x7F));

}  // namespace norvo::wire
