#include "FileLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "RegularFile.h"
#include "res/Strings.h"

namespace norvo {

std::filesystem::path TempFolder() {
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  return ec ? std::filesystem::path("/tmp") : temp;
}

namespace {

void NoteHolder(int fd, const std::string& text) {
  if (text.empty()) {
    [[maybe_unused]] const int cut = ::ftruncate(fd, 0);
    return;
  }
  [[maybe_unused]] const ssize_t written = ::pwrite(fd, text.data(), text.size(), 0);
}

// The process that holds an flock on the file (dev, ino), from /proc/locks
// ("1: FLOCK  ADVISORY  WRITE 1234 00:05:6 0 EOF"); 0 when none is listed.
pid_t LockHolder(dev_t dev, ino_t ino) {
  std::FILE* locks = std::fopen("/proc/locks", "re");
  if (locks == nullptr) return 0;
  char line[256];
  pid_t holder = 0;
  while (holder == 0 && std::fgets(line, sizeof line, locks) != nullptr) {
    char kind[16], mode[16];
    long pid = 0;
    unsigned major_id = 0, minor_id = 0;
    unsigned long inode = 0;
    // Waiters are listed as "1: -> FLOCK ...": not the holder, skipped.
    if (std::sscanf(line, "%*d: %15s %*s %15s %ld %x:%x:%lu", kind, mode, &pid, &major_id, &minor_id, &inode) == 6 &&
        std::strcmp(kind, "FLOCK") == 0 && major_id == major(dev) && minor_id == minor(dev) && inode == ino) {
      holder = static_cast<pid_t>(pid);
    }
  }
  std::fclose(locks);
  return holder;
}

}  // namespace

FileLock::Result FileLock::TakeNode(const std::filesystem::path& node) {
  // A unit plugged in again may get the same path and a new node: the lock
  // on the old one keeps nobody off the new one.
  if (fd_ >= 0 && node == file_) {
    struct stat held {}, now {};
    if (::fstat(fd_, &held) == 0 && ::stat(node.c_str(), &now) == 0 && held.st_rdev == now.st_rdev &&
        held.st_ino == now.st_ino && held.st_dev == now.st_dev) {
      return Result::kHeld;
    }
  }
  Release();
  holder_ = 0;
  problem_.clear();
  int fd = ::open(node.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && errno == EACCES) fd = ::open(node.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) return Result::kHeld;
  if (fd < 0) {
    problem_ = OpenProblem(node, errno);
    return Result::kUnavailable;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) {
    ::close(fd);
    problem_ = OpenProblem(node, ENOTSUP);
    return Result::kUnavailable;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    if (error != EWOULDBLOCK) {
      problem_ = OpenProblem(node, error);
      return Result::kUnavailable;
    }
    holder_ = LockHolder(st.st_dev, st.st_ino);
    return Result::kBusy;
  }
  writable_ = false;
  fd_ = fd;
  file_ = node;
  return Result::kHeld;
}

FileLock::Result FileLock::Take(const std::filesystem::path& file) {
  if (fd_ >= 0 && file == file_) return Result::kHeld;
  Release();
  holder_ = 0;
  problem_.clear();
  // O_NOFOLLOW: a symlink planted in a shared folder is not written through;
  // O_NONBLOCK: a FIFO planted there does not hang the start. In a folder
  // shared by every user the file may be another user's: flock needs only a
  // read-only descriptor, the note then stays the other user's to write.
  bool writable = true;
  int fd = OpenRegularFile(file, O_RDWR | O_CREAT);
  if (fd < 0 && errno == EACCES) {
    writable = false;
    fd = OpenRegularFile(file, O_RDONLY);
  }
  if (fd < 0) {
    problem_ = OpenProblem(file, errno);
    return Result::kUnavailable;
  }
  // A file with other names is someone else's file too (a hard link planted
  // under the lock's name): it locks, but its content is never touched.
  struct stat st {};
  if (::fstat(fd, &st) == 0 && st.st_nlink > 1) writable = false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error != EWOULDBLOCK) {
      problem_ = OpenProblem(file, error);
      ::close(fd);
      return Result::kUnavailable;
    }
    char text[32] = {0};
    const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
    if (n > 0) holder_ = static_cast<pid_t>(std::strtol(text, nullptr, 10));
    // A note left by a process that is gone names nobody.
    if (holder_ > 0 && ::kill(holder_, 0) != 0 && errno == ESRCH) holder_ = 0;
    ::close(fd);
    return Result::kBusy;
  }
  // The note of who holds the lock; the lock holds even when it cannot be
  // written (a full disk, another user's file), the message then names no
  // process.
  const std::string pid = std::to_string(::getpid()) + "\n";
  if (writable && ::ftruncate(fd, 0) == 0) NoteHolder(fd, pid);
  writable_ = writable;
  fd_ = fd;
  file_ = file;
  return Result::kHeld;
}

std::string FileLock::OpenProblem(const std::filesystem::path& file, int error) {
  const std::string folder = file.parent_path().empty() ? std::string(".") : file.parent_path().string();
  std::string text;
  const auto say = [&text](int start, const std::string& what) {
    text.append(UIString(start));
    text.append(what);
  };
  switch (error) {
    case ENOENT:
    case ENOTDIR:
      say(ui::kCannotOpenLockFolder, folder);
      text.append(": ").append(std::strerror(error));
      break;
    case EMFILE:
    case ENFILE:
      say(ui::kCannotOpenLockFile, file.string());
      text.append(UIString(ui::kTooManyOpenFiles));
      break;
    case ELOOP:
      say(ui::kLockFileSymlink, file.string());
      break;
    case ENOTSUP:
      say(ui::kLockFileNotRegular, file.string());
      break;
    default:
      say(ui::kCannotUseLockFile, file.string());
      text.append(": ").append(std::strerror(error));
      break;
  }
  return text;
}

void FileLock::Release() {
  if (fd_ < 0) return;
  // Empty the note first: a reader between the two steps sees no holder.
  if (writable_) NoteHolder(fd_, "");
  ::close(fd_);
  fd_ = -1;
}

}  // namespace norvo
