#pragma once
// The SD card's wire vocabulary: the list, read and delete commands, the list
// entries, the file-data chunks and the "{@}" marker that ends both a list
// and a block. One table of offsets per frame kind; the console's decoders
// and the simulated unit's encoders both read them. No I/O, no state.
//
// Names travel as the unit's 8-bit bytes (Latin-1), byte for byte; what is
// shown to a user is converted elsewhere.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Frames.h"
#include "Payload.h"

namespace norvo::card {

// A file is read in blocks of at most this many bytes, one read command each.
constexpr std::uint32_t kBlockSize = 4096;
constexpr std::size_t kOffsetBytes = 4;  // start and end offsets, big-endian
constexpr std::size_t kSizeBytes = 4;    // a list entry's file size, big-endian

// ---- "{@}": the end of the file list, and the end of one block ------------------
namespace end_marker {
constexpr std::size_t kOpenAt = 0;   // "{"
constexpr std::size_t kAtAt = 1;     // "@"
constexpr std::size_t kCloseAt = 2;  // "}"
constexpr std::size_t kSize = 3;
}  // namespace end_marker

Payload EncodeEndMarker();
// The report's text begins with "{@}". A text that only contains it later is
// not the marker (a list entry may hold those bytes in its name).
bool IsEndMarker(const Payload& report);

// ---- list command: "{" 0x01 "@" "}" -----------------------------------------------
Payload EncodeListCommand();

// ---- list entry, one report per file: "{" name "," size ... -------------------------
// Everything after the four size bytes is ignored.
namespace list_entry {
constexpr std::size_t kNameAt = 1;
constexpr std::uint8_t kSeparator = ',';
constexpr std::size_t SeparatorAt(std::size_t name_len) { return kNameAt + name_len; }
constexpr std::size_t SizeAt(std::size_t name_len) { return SeparatorAt(name_len) + 1; }
// The longest name a report has room for.
constexpr std::size_t kMaxName = kPayloadSize - SizeAt(0) - kSizeBytes;
static_assert(kMaxName == 58 && SizeAt(kMaxName) + kSizeBytes == kPayloadSize);
}  // namespace list_entry

struct ListEntry {
  std::string name;    // the bytes before the first comma
  std::uint32_t size;  // file size in bytes (the console holds it as signed 32-bit)
  bool operator==(const ListEntry&) const = default;
};

// A name longer than list_entry::kMaxName is cut.
Payload EncodeListEntry(std::string_view name, std::uint32_t size);
// Empty for what is not an entry: the end marker, a report without a comma,
// or a comma with fewer than four bytes after it.
std::optional<ListEntry> DecodeListEntry(const Payload& report);

// ---- read command: "{" 0x02 name start end "@" "}", zeros ---------------------------
// Answered by data reports carrying exactly end - start bytes, then "{@}".
namespace read_command {
constexpr std::size_t kNameAt = kDataAt;
constexpr std::size_t StartAt(std::size_t name_len) { return kNameAt + name_len; }
constexpr std::size_t EndAt(std::size_t name_len) { return StartAt(name_len) + kOffsetBytes; }
constexpr std::size_t AtAt(std::size_t name_len) { return EndAt(name_len) + kOffsetBytes; }
constexpr std::size_t CloseAt(std::size_t name_len) { return AtAt(name_len) + 1; }
static_assert(CloseAt(0) == kReadFrameOverhead);
}  // namespace read_command

// The longest name that fits the read command, and so the delete command too.
constexpr std::size_t kMaxName = kPayloadSize - 1 - read_command::CloseAt(0);
static_assert(kMaxName == 52 && read_command::CloseAt(kMaxName) == kPayloadSize - 1);

struct ReadCommand {
  std::string name;
  std::uint32_t start;  // first byte of the block
  std::uint32_t end;    // one past its last byte
  bool operator==(const ReadCommand&) const = default;
};

// A name longer than kMaxName is cut.
Payload EncodeReadCommand(std::string_view name, std::uint32_t start, std::uint32_t end);
// Empty for anything but a read command the unit can make sense of: "{",
// 0x02, and "@" "}" as the last two bytes that are not zero, after room for
// both offsets.
std::optional<ReadCommand> DecodeReadCommand(const Payload& frame);

// ---- file data, one report per chunk: "{" text "}", zeros ---------------------------
namespace chunk {
constexpr std::size_t kTextAt = 1;
constexpr std::size_t CloseAt(std::size_t text_len) { return kTextAt + text_len; }
// A full chunk fills the report and has no zero after its "}".
constexpr std::size_t kMaxText = kPayloadSize - 2;
static_assert(CloseAt(kMaxText) == kPayloadSize - 1);
}  // namespace chunk

// text longer than chunk::kMaxText is cut.
Payload EncodeChunk(std::string_view text);

struct DataReport {
  bool end_of_block;  // "{@}" (any text that starts with "@" after the cut)
  std::string text;   // the chunk's bytes; empty for the end of a block
  bool operator==(const DataReport&) const = default;
};

// The report's text up to its first zero byte, cut before its first "}" (no
// "}" leaves nothing), every "{" removed; a text that then begins with "@"
// ends the block. A report without "}" is an empty chunk, not an error.
DataReport DecodeDataReport(const Payload& report);

// ---- delete command: "{" 0x20 name "@" "}", zeros -----------------------------------
// Never answered.
namespace delete_command {
constexpr std::size_t kNameAt = kDataAt;
constexpr std::size_t AtAt(std::size_t name_len) { return kNameAt + name_len; }
constexpr std::size_t CloseAt(std::size_t name_len) { return AtAt(name_len) + 1; }
static_assert(CloseAt(kMaxName) < kPayloadSize);
}  // namespace delete_command

// A name longer than kMaxName is cut.
Payload EncodeDeleteCommand(std::string_view name);
// The name, or empty for anything but a delete command.
std::optional<std::string> DecodeDeleteCommand(const Payload& frame);

}  // namespace norvo::card
