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

namespace norvo::cli {

enum Exit { kOk = 0, kNoUnit = 1, kRefused = 2, kBadInput = 3, kStoreError = 4, kInUse = 5 };

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err);

}  // namespace norvo::cli
