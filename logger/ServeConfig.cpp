#include "ServeConfig.h"

#include <algorithm>
#include <charconv>
#include <functional>
#include <map>

#include "settings/NamedFile.h"
#include "settings/Printable.h"

namespace norvo::logger {
namespace {

std::string TrimLine(const std::string& s) {
  const std::size_t a = s.find_first_not_of(" \t\r");
  if (a == std::string::npos) return "";
  return s.substr(a, s.find_last_not_of(" \t\r") - a + 1);
}

bool Number(const std::string& v, double* out) {
  const auto r = std::from_chars(v.data(), v.data() + v.size(), *out);
  return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

bool Integer(const std::string& v, int* out) {
  const auto r = std::from_chars(v.data(), v.data() + v.size(), *out);
  return r.ec == std::errc() && r.ptr == v.data() + v.size();
}

bool Boolean(const std::string& v, bool* out) {
  if (v == "yes" || v == "true" || v == "1") {
    *out = true;
  } else if (v == "no" || v == "false" || v == "0") {
    *out = false;
  } else {
    return false;
  }
  return true;
}

using Setter = std::function<bool(const std::string& value, ServeOptions* o)>;

// An option of the file: how it is set, and what its value must be (said
// instead of the value when the value is refused).
struct Option {
  Setter set;
  const char* takes = "";
};

Option Text(std::string ServeOptions::*field) {
  return {[field](const std::string& v, ServeOptions* o) {
            o->*field = v;
            return true;
          },
          ""};
}

const std::map<std::string, Option>& Options() {
  static const std::map<std::string, Option> options = {
      {"data-dir", Text(&ServeOptions::data_dir)},
      {"unit",
       {[](const std::string& v, ServeOptions* o) {
          o->units.push_back(v);
          return !v.empty();
        },
        "a unit's name or device path"}},
      {"simulate", {[](const std::string& v, ServeOptions* o) { return Integer(v, &o->simulate); }, "a whole number"}},
      {"period", {[](const std::string& v, ServeOptions* o) { return Number(v, &o->period_s); }, "a number of seconds"}},
      {"retention", {[](const std::string& v, ServeOptions* o) { return Number(v, &o->retention_days); }, "a number of days"}},
      {"metrics", Text(&ServeOptions::metrics_address)},
      {"no-metrics",
       {[](const std::string& v, ServeOptions* o) {
          bool off = false;
          if (!Boolean(v, &off)) return false;
          o->metrics = !off;
          return true;
        },
        "yes or no"}},
      {"mqtt", Text(&ServeOptions::mqtt)},
      {"mqtt-prefix", Text(&ServeOptions::mqtt_prefix)},
      {"mqtt-discovery-prefix", Text(&ServeOptions::mqtt_discovery_prefix)},
      {"mqtt-client-id", Text(&ServeOptions::mqtt_client_id)},
      {"mqtt-user", Text(&ServeOptions::mqtt_user)},
      {"mqtt-password-file", Text(&ServeOptions::mqtt_password_file)},
      {"mqtt-cafile", Text(&ServeOptions::mqtt_ca_file)},
  };
  return options;
}

// Options that may come more than once, each adding to the last.
bool Repeatable(const std::string& key) { return key == "unit"; }

// A key is named in a message only when it looks like an option: the file
// may be anything (a key file, a shadow file named by mistake), and its
// text is never echoed.
bool OptionLike(const std::string& key) {
  return !key.empty() && key.size() <= 40 &&
         std::all_of(key.begin(), key.end(), [](unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-'; });
}

}  // namespace

bool ApplyServeConfig(const std::string& text, const std::set<std::string>& given, ServeOptions* o, std::string* error) {
  int number = 0;
  bool units_cleared = false;
  std::map<std::string, int> seen;  // option -> the line that set it
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string raw = text.substr(at, end - at);
    at = end + 1;
    ++number;
    const auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    if (raw.find('\0') != std::string::npos) return fail("a NUL byte; a configuration is text");
    const std::string line = TrimLine(raw);
    if (line.empty() || line[0] == '#') continue;
    if (std::any_of(line.begin(), line.end(), [](unsigned char c) { return (c < 0x20 && c != '\t') || c == 0x7F; })) {
      return fail("a control character; a configuration is text");
    }
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("not OPTION = VALUE");
    const std::string key = TrimLine(line.substr(0, eq));
    std::string value = TrimLine(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    const auto option = Options().find(key);
    if (option == Options().end()) return fail(OptionLike(key) ? "no option \"" + key + "\"" : "no such option");
    if (const auto [first, fresh] = seen.emplace(key, number); !fresh && !Repeatable(key)) {
      return fail("\"" + key + "\" again; line " + std::to_string(first->second) + " set it already");
    }
    // The command line wins; the global options count as given once set.
    if (given.count(key) || (key == "data-dir" && !o->data_dir.empty()) ||
        (key == "simulate" && o->simulate != 0)) {
      continue;
    }
    if (key == "unit" && !units_cleared) {
      o->units.clear();
      units_cleared = true;
    }
    if (!option->second.set(value, o)) return fail("bad value for " + key + "; it takes " + option->second.takes);
  }
  return true;
}

bool ReadServeConfig(const std::string& file, const std::set<std::string>& given, ServeOptions* o, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = PrintableText(file) + ": " + why;
    return false;
  };
  NamedFileLimits limits;
  limits.max_bytes = kMaxConfigFile;
  const NamedFileText read = ReadNamedFile(file, limits);
  if (!read.text) return fail(read.error);
  std::string message;
  if (!ApplyServeConfig(*read.text, given, o, &message)) return fail(message);
  return true;
}

}  // namespace norvo::logger
