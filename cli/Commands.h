#pragma once
// norvoctl: read and configure the unit, work with its SD card and export the
// record store from scripts. Data goes to `out`, messages to `err`.
//
// Exit status: 0 done; 1 no unit found; 2 the unit refused a write; 3 bad
// arguments or input; 4 a store or file error; 5 another process holds the
// unit.

#include <cstdio>
#include <string>
#include <vector>

#include "settings/ExitStatus.h"

namespace norvo::cli {

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace norvo::cli
