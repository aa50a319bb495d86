#pragma once
// One process per unit: an advisory lock (flock) on a file named after the
// unit's device path. The lock dies with its process, so a crashed holder
// never keeps the unit; the file holds the holder's process id for the
// message the next process shows.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace norvo {

// $NORVO_RUNTIME_DIR, else $XDG_RUNTIME_DIR, else the temp folder.
std::filesystem::path UnitLockFolder();

// The lock file's name for a device path: every character that is not a
// letter or digit becomes '_'.
std::string UnitLockName(const std::string& device_path);

class UnitLock {
 public:
  UnitLock() = default;
  ~UnitLock() { Release(); }
  UnitLock(const UnitLock&) = delete;
  UnitLock& operator=(const UnitLock&) = delete;

  // True when this process now holds the lock on file (or already did).
  // False when another process holds it; Holder() then names it (0 when the
  // file says nothing usable) or the file could not be made at all.
  bool TryLock(const std::filesystem::path& file);
  void Release();
  bool Held() const { return fd_ >= 0; }
  const std::filesystem::path& File() const { return file_; }
  pid_t Holder() const { return holder_; }

 private:
  int fd_ = -1;
  std::filesystem::path file_;
  pid_t holder_ = 0;
};

}  // namespace norvo
