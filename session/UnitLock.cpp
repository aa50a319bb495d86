#include "UnitLock.h"

#include <unistd.h>

#include <cctype>
#include <cstdlib>

#include "res/Strings.h"

namespace norvo {

std::filesystem::path UnitLockFolder() {
  if (const char* dir = std::getenv("NORVO_RUNTIME_DIR"); dir != nullptr && *dir != '\0') return dir;
  if (::access("/run/lock", W_OK | X_OK) == 0) return "/run/lock";
  return TempFolder();
}

std::string UnitLockMessage(FileLock::Result result, pid_t holder, const std::string& problem) {
  if (result == FileLock::Result::kUnavailable) return problem;
  if (holder > 0) return std::string(Localized("unit in use by pid ", "Gerät belegt von Prozess ")) + std::to_string(holder);
  return std::string(Localized("unit in use by another process", "Ger\u00E4t wird von einem anderen Prozess verwendet"));
}

std::string UnitLockName(const std::string& device_path) {
  std::string name = "norvo-unit-";
  for (unsigned char c : device_path) name += std::isalnum(c) ? static_cast<char>(c) : '_';
  return name + ".lock";
}

}  // namespace norvo
