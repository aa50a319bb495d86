#include "UnitLock.h"

#include <cctype>

namespace norvo {

std::string UnitLockName(const std::string& device_path) {
  std::string name = "norvo-unit-";
  for (unsigned char c : device_path) name += std::isalnum(c) ? static_cast<char>(c) : '_';
  return name + ".lock";
}

}  // namespace norvo
