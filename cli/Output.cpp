// Output helpers: JSON on one line, numbers as exact texts, time stamps and
// the check that the output really was written.

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

#include "Internal.h"
#include "res/Strings.h"

namespace norvo::cli {
namespace {

std::string Dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

// The shortest text that reads back as the same double; a whole number keeps
// ".0" so that it still reads as a floating-point value.
std::string FloatText(double value) {
  if (!std::isfinite(value)) return "null";
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value).ptr;
  std::string out(text, end);
  if (out.find_first_of(".e") == std::string::npos) out += ".0";
  return out;
}

void Put(std::string& line, const Json& value) {
  if (value.is_object()) {
    line += '{';
    bool first = true;
    for (auto it = value.begin(); it != value.end(); ++it) {
      if (!first) line += ", ";
      first = false;
      line += Dump(Json(it.key()));
      line += ": ";
      Put(line, it.value());
    }
    line += '}';
  } else if (value.is_array()) {
    line += '[';
    for (std::size_t i = 0; i < value.size(); ++i) {
      if (i) line += ", ";
      Put(line, value[i]);
    }
    line += ']';
  } else if (value.is_number_float()) {
    line += FloatText(value.get<double>());
  } else {
    line += Dump(value);
  }
}

}  // namespace

std::string JsonLine(const Json& value) {
  std::string line;
  Put(line, value);
  return line;
}

Json OneDecimal(double value) {
  if (!std::isfinite(value)) return nullptr;
  char text[64];
  const auto end = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1).ptr;
  double exact = 0;
  std::from_chars(text, end, exact);
  return exact;
}

std::string ShortestText(float value) {
  if (!std::isfinite(value)) return {};
  char text[64];
  return std::string(text, std::to_chars(text, text + sizeof text, value).ptr);
}

Json ShortestJson(float value) {
  if (!std::isfinite(value)) return nullptr;
  const std::string text = ShortestText(value);
  if (text.find_first_of(".e") == std::string::npos) {
    long long whole = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), whole).ec == std::errc()) return whole;
  }
  // A double that prints as exactly this text (shortest round trip of a
  // decimal with at most nine digits).
  double exact = 0;
  std::from_chars(text.data(), text.data() + text.size(), exact);
  return exact;
}

std::string LocalTimeStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  const long offset = local.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', magnitude / 60,
                magnitude % 60);
  return text;
}

void CheckOutput(std::FILE* out, bool flush) {
  // A write that failed earlier left its errno; a flush that fails now sets its own.
  bool failed = std::ferror(out) != 0;
  int error = failed ? errno : 0;
  if (flush && !failed) {
    errno = 0;
    failed = std::fflush(out) != 0 || std::ferror(out) != 0;
    error = errno;
  }
  if (failed) {
    throw Failure(kStoreError, UIString(ui::kCannotWriteOutputBecause) +
                                   (error ? std::strerror(error) : UIString(ui::kWriteErrorReason)));
  }
}

}  // namespace norvo::cli
