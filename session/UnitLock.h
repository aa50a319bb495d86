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

// The lock file's name for a device path: every character that is not a
// letter or digit becomes '_'.
std::string UnitLockName(const std::string& device_path);

}  // namespace norvo
