#pragma once
// One process per unit: a file lock named after the unit's device path.

#include <filesystem>
#include <string>

#include "settings/FileLock.h"

namespace norvo {

using UnitLock = FileLock;

// The folder of the unit locks, shared by every user and service of the
// machine (a unit is one device whoever opens it): $NORVO_RUNTIME_DIR when
// set (tests), else /run/lock, else the temp folder.
std::filesystem::path UnitLockFolder();

// What keeps this process from the unit, after Take gave kBusy or
// kUnavailable: "unit in use by pid N", "unit in use by another process"
// when the holder is unknown, or the lock's own problem (its folder cannot be
// opened, too many open files, ...), never an invented holder.
std::string UnitLockMessage(FileLock::Result result, pid_t holder, const std::string& problem);

// The lock file's name for a device path: every character that is not a
// letter or digit becomes '_'.
std::string UnitLockName(const std::string& device_path);

}  // namespace norvo
