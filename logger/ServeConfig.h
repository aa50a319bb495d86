#pragma once
// The configuration file of `norvoctl serve` (the packaged service reads
// /etc/norvo/serve.conf). One option a line, as `serve --help` names it
// without its dashes, then "=" and the value; "#" starts a comment line;
// blank lines are ignored; a value may be put in double quotes. `unit` may
// come more than once; `no-metrics` takes yes/no (true/false, 1/0).
//
//   # /etc/norvo/serve.conf
//   data-dir = /var/lib/Tarvik
//   period = 20
//   metrics = 127.0.0.1:9782
//   unit = NV0012345
//   mqtt = broker.lan:1883
//
// An option given on the command line wins over the file.

#include <set>
#include <string>

#include "Serve.h"

namespace norvo::logger {

// The file's size limit: a configuration is a few lines.
constexpr std::size_t kMaxConfigFile = 64 * 1024;

// Applies the text's options to *o, skipping those in `given` (long names
// without dashes, as the command line had them). False with a message
// naming the line for an unknown option, a bad value, an option given twice
// (`unit` excepted), a NUL or another control character. The message never
// quotes the file: only an option's name, and only one spelled like one.
bool ApplyServeConfig(const std::string& text, const std::set<std::string>& given, ServeOptions* o, std::string* error);

// Reads the file (opened without blocking; a FIFO, a device or a directory is
// refused at once) and applies it; false with a message when it cannot be
// read or is not a small regular file.
bool ReadServeConfig(const std::string& file, const std::set<std::string>& given, ServeOptions* o, std::string* error);

}  // namespace norvo::logger
