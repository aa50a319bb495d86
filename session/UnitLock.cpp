#include "UnitLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <string>

namespace norvo {

std::filesystem::path UnitLockFolder() {
  for (const char* name : {"NORVO_RUNTIME_DIR", "XDG_RUNTIME_DIR"}) {
    const char* dir = std::getenv(name);
    if (dir != nullptr && *dir != '\0') return dir;
  }
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : temp;
}

std::string UnitLockName(const std::string& device_path) {
  std::string name = "norvo-unit-";
  for (unsigned char c : device_path) name += std::isalnum(c) ? static_cast<char>(c) : '_';
  return name + ".lock";
}

namespace {

void NoteHolder(int fd, const std::string& text) {
  if (text.empty()) {
    [[maybe_unused]] const int cut = ::ftruncate(fd, 0);
    return;
  }
  [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
}

}  // namespace

bool UnitLock::TryLock(const std::filesystem::path& file) {
  if (fd_ >= 0 && file == file_) return true;
  Release();
  holder_ = 0;
  // O_NOFOLLOW: a symlink planted in a shared folder is not written through.
  const int fd = ::open(file.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    char text[32] = {0};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n > 0) holder_ = static_cast<pid_t>(std::strtol(text, nullptr, 10));
    ::close(fd);
    return false;
  }
  // The note of who holds the unit; the lock holds even when it cannot be
  // written (a full disk), the message then names no process.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (::ftruncate(fd, 0) == 0) NoteHolder(fd, pid);
  fd_ = fd;
  file_ = file;
  return true;
}

void UnitLock::Release() {
  if (fd_ < 0) return;
  // Empty the note first: a reader between the two steps sees no holder.
  NoteHolder(fd_, "");
  ::close(fd_);
  fd_ = -1;
}

}  // namespace norvo
