#include "ServeConfig.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <functional>
#include <map>

namespace norvo::logger {
namespace {

std::string Trim(const std::string& s) {
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

Setter Text(std::string ServeOptions::*field) {
  return [field](const std::string& v, ServeOptions* o) {
    o->*field = v;
    return true;
  };
}

const std::map<std::string, Setter>& Setters() {
  static const std::map<std::string, Setter> setters = {
      {"data-dir", Text(&ServeOptions::data_dir)},
      {"unit", [](const std::string& v, ServeOptions* o) {
         o->units.push_back(v);
         return !v.empty();
       }},
      {"simulate", [](const std::string& v, ServeOptions* o) { return Integer(v, &o->simulate); }},
      {"period", [](const std::string& v, ServeOptions* o) { return Number(v, &o->period_s); }},
      {"retention", [](const std::string& v, ServeOptions* o) { return Number(v, &o->retention_days); }},
      {"metrics", Text(&ServeOptions::metrics_address)},
      {"no-metrics", [](const std::string& v, ServeOptions* o) {
         bool off = false;
         if (!Boolean(v, &off)) return false;
         o->metrics = !off;
         return true;
       }},
      {"mqtt", Text(&ServeOptions::mqtt)},
      {"mqtt-prefix", Text(&ServeOptions::mqtt_prefix)},
      {"mqtt-discovery-prefix", Text(&ServeOptions::mqtt_discovery_prefix)},
      {"mqtt-client-id", Text(&ServeOptions::mqtt_client_id)},
      {"mqtt-user", Text(&ServeOptions::mqtt_user)},
      {"mqtt-password-file", Text(&ServeOptions::mqtt_password_file)},
      {"mqtt-cafile", Text(&ServeOptions::mqtt_ca_file)},
  };
  return setters;
}

}  // namespace

bool ApplyServeConfig(const std::string& text, const std::set<std::string>& given, ServeOptions* o, std::string* error) {
  int number = 0;
  bool units_cleared = false;
  for (std::size_t at = 0; at <= text.size();) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = Trim(text.substr(at, end - at));
    at = end + 1;
    ++number;
    if (line.empty() || line[0] == '#') continue;
    const auto fail = [&](const std::string& why) {
      if (error) *error = "line " + std::to_string(number) + ": " + why;
      return false;
    };
    const std::size_t eq = line.find('=');
    if (eq == std::string::npos) return fail("not OPTION = VALUE: \"" + line + "\"");
    const std::string key = Trim(line.substr(0, eq));
    std::string value = Trim(line.substr(eq + 1));
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') value = value.substr(1, value.size() - 2);
    const auto setter = Setters().find(key);
    if (setter == Setters().end()) return fail("no option \"" + key + "\"");
    // The command line wins; the global options count as given once set.
    if (given.count(key) || (key == "data-dir" && !o->data_dir.empty()) ||
        (key == "simulate" && o->simulate != 0)) {
      continue;
    }
    if (key == "unit" && !units_cleared) {
      o->units.clear();
      units_cleared = true;
    }
    if (!setter->second(value, o)) return fail("bad value for " + key + ": \"" + value + "\"");
  }
  return true;
}

bool ReadServeConfig(const std::string& file, const std::set<std::string>& given, ServeOptions* o, std::string* error) {
  const auto fail = [&](const std::string& why) {
    if (error) *error = file + ": " + why;
    return false;
  };
  const int fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(std::strerror(errno));
  struct stat st {};
  std::string text;
  std::string why;
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    why = "not a regular file";
  } else if (static_cast<std::size_t>(st.st_size) > kMaxConfigFile) {
    why = "larger than " + std::to_string(kMaxConfigFile) + " bytes";
  } else {
    text.resize(static_cast<std::size_t>(st.st_size));
    const ssize_t n = ::read(fd, text.data(), text.size());
    if (n < 0) why = std::strerror(errno);
    text.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (!why.empty()) return fail(why);
  std::string message;
  if (!ApplyServeConfig(text, given, o, &message)) return fail(message);
  return true;
}

}  // namespace norvo::logger
