#include "Card.h"

#include <algorithm>

#include "Wire.h"

namespace norvo::card {
namespace {

// Index of the last byte that is not zero: a command's closing "}".
std::size_t LastNonZero(const Payload& frame) {
  std::size_t last = 0;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    if (frame[i] != 0) last = i;
  }
  return last;
}

// "{" code ... "@" "}" with the "}" at close.
bool Framed(const Payload& frame, std::uint8_t command, std::size_t close) {
  return frame[0] == kFrameOpen && frame[kCommandAt] == command && close >= 3 &&
         frame[close] == kFrameClose && frame[close - 1] == kFrameAt;
}

std::string_view Cut(std::string_view text, std::size_t max) {
  return text.substr(0, std::min(text.size(), max));
}

}  // namespace

Payload EncodeEndMarker() {
  Payload end{};
  end[end_marker::kOpenAt] = kFrameOpen;
  end[end_marker::kAtAt] = kFrameAt;
  end[end_marker::kCloseAt] = kFrameClose;
  return end;
}

bool IsEndMarker(const Payload& report) {
  return report[end_marker::kOpenAt] == kFrameOpen && report[end_marker::kAtAt] == kFrameAt &&
         report[end_marker::kCloseAt] == kFrameClose;
}

Payload EncodeListCommand() { return BuildCommandFrame(code::kListFiles); }

Payload EncodeListEntry(std::string_view name, std::uint32_t size) {
  const std::string_view n = Cut(name, list_entry::kMaxName);
  Payload entry{};
  entry[0] = kFrameOpen;
  std::copy(n.begin(), n.end(), entry.begin() + list_entry::kNameAt);
  entry[list_entry::SeparatorAt(n.size())] = list_entry::kSeparator;
  wire::PutBe32(entry, list_entry::SizeAt(n.size()), size);
  return entry;
}

std::optional<ListEntry> DecodeListEntry(const Payload& report) {
  if (IsEndMarker(report)) return std::nullopt;
  const auto name_begin = report.begin() + list_entry::kNameAt;
  const auto comma = std::find(name_begin, report.end(), list_entry::kSeparator);
  if (comma == report.end()) return std::nullopt;
  const auto name_len = static_cast<std::size_t>(comma - name_begin);
  if (list_entry::SizeAt(name_len) + kSizeBytes > kPayloadSize) return std::nullopt;  // no room for a size
  return ListEntry{std::string(name_begin, comma), wire::Be32(report, list_entry::SizeAt(name_len))};
}

Payload EncodeReadCommand(std::string_view name, std::uint32_t start, std::uint32_t end) {
  const std::string_view n = Cut(name, kMaxName);
  Payload frame{};
  frame[0] = kFrameOpen;
  frame[kCommandAt] = code::kReadFile;
  std::copy(n.begin(), n.end(), frame.begin() + read_command::kNameAt);
  wire::PutBe32(frame, read_command::StartAt(n.size()), start);
  wire::PutBe32(frame, read_command::EndAt(n.size()), end);
  frame[read_command::AtAt(n.size())] = kFrameAt;
  frame[read_command::CloseAt(n.size())] = kFrameClose;
  return frame;
}

std::optional<ReadCommand> DecodeReadCommand(const Payload& frame) {
  const std::size_t close = LastNonZero(frame);
  if (close < read_command::CloseAt(0) || !Framed(frame, code::kReadFile, close)) return std::nullopt;
  const std::size_t name_len = close - read_command::CloseAt(0);
  const auto name_begin = frame.begin() + read_command::kNameAt;
  return ReadCommand{std::string(name_begin, name_begin + static_cast<long>(name_len)),
                     wire::Be32(frame, read_command::StartAt(name_len)),
                     wire::Be32(frame, read_command::EndAt(name_len))};
}

Payload EncodeChunk(std::string_view text) {
  const std::string_view t = Cut(text, chunk::kMaxText);
  Payload report{};
  report[0] = kFrameOpen;
  std::copy(t.begin(), t.end(), report.begin() + chunk::kTextAt);
  report[chunk::CloseAt(t.size())] = kFrameClose;
  return report;
}

DataReport DecodeDataReport(const Payload& report) {
  const auto zero = std::find(report.begin(), report.end(), std::uint8_t{0});
  const auto close = std::find(report.begin(), zero, kFrameClose);
  std::string text;
  if (close != zero) {
    std::copy_if(report.begin(), close, std::back_inserter(text),
                 [](std::uint8_t c) { return c != kFrameOpen; });
  }
  if (!text.empty() && static_cast<std::uint8_t>(text[0]) == kFrameAt) return DataReport{true, {}};
  return DataReport{false, std::move(text)};
}

Payload EncodeDeleteCommand(std::string_view name) {
  const std::string_view n = Cut(name, kMaxName);
  return BuildCommandFrame(code::kDeleteFile, {reinterpret_cast<const std::uint8_t*>(n.data()), n.size()});
}

std::optional<std::string> DecodeDeleteCommand(const Payload& frame) {
  const std::size_t close = LastNonZero(frame);
  if (close < delete_command::CloseAt(0) || !Framed(frame, code::kDeleteFile, close)) return std::nullopt;
  const auto name_begin = frame.begin() + delete_command::kNameAt;
  return std::string(
      name_begin,
      frame.begin() + static_cast<long>(delete_command::AtAt(close - delete_command::CloseAt(0))));
}

}  // namespace norvo::card
