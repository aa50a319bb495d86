#include "UnitLock.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

namespace norvo {

std::filesystem::path UnitLockFolder() {
  if (const char* dir = std::getenv("NORVO_RUNTIME_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (::access("/run/lock", W_OK | X_OK) == 0) return "/run/lock";
  return TempFolder();
}

std::string UnitLockName(const std::string& device_path) {
  std::string name = "norvo-unit-";
  for (unsigned char c : device_path) name += std::isalnum(c) ? static_cast<char>(c) : '_';
  return name + ".lock";
}

}  // namespace norvo
