#pragma once
// The exit statuses of every program of the console (norvo, norvoctl and
// its serve command), one table. A signal ends a command with 128 + signal.

namespace norvo {

enum Exit {
  kOk = 0,          // done, and true of what the unit or the disk did
  kNoUnit = 1,      // no unit, or it does not answer
  kRefused = 2,     // the unit refused, or reads back otherwise
  kBadInput = 3,    // a wrong option, argument or input file
  kStoreError = 4,  // the record store, a local copy or another file could not be written
  kInUse = 5,       // another process holds the unit and does not share it
};

}  // namespace norvo
