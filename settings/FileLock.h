#pragma once
// An advisory lock (flock) on a file. The lock dies with its process, so a
// crashed holder never keeps anyone out, and the file's content does not
// matter (an empty or foreign-looking file locks like any other); the file
// holds the holder's process id for the message the next process shows. A
// lock file with other hard links locks as well, but is never written.

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace norvo {

// The temp folder ("/tmp" when it cannot be found): where locks go when
// there is no better folder.
std::filesystem::path TempFolder();

class FileLock {
 public:
  FileLock() = default;
  ~FileLock() { Release(); }
  FileLock(const FileLock&) = delete;
  FileLock& operator=(const FileLock&) = delete;

  enum class Result {
    kHeld,        // this process holds the lock now (or already did)
    kBusy,        // another process holds it; Holder() names it (0: unknown)
    kUnavailable  // the file cannot be made or opened (a foreign file, a symlink, no folder); Problem() says why
  };
  Result Take(const std::filesystem::path& file);
  // The lock on a device node itself (a character device): only who may open
  // the node can take it. Nothing is written; the holder is found in
  // /proc/locks. A node this process may not open is not locked (kHeld
  // without a lock): opening the unit then fails and says why.
  Result TakeNode(const std::filesystem::path& node);
  // True for kHeld.
  bool TryLock(const std::filesystem::path& file) { return Take(file) == Result::kHeld; }
  void Release();
  bool Held() const { return fd_ >= 0; }
  const std::filesystem::path& File() const { return file_; }
  pid_t Holder() const { return holder_; }
  // Why the last Take gave kUnavailable, in the loaded language ("cannot
  // open the lock folder ...", too many open files, a symlink); "" otherwise.
  const std::string& Problem() const { return problem_; }

 private:
  static std::string OpenProblem(const std::filesystem::path& file, int error);

  int fd_ = -1;
  bool writable_ = false;  // the note is ours to write
  std::filesystem::path file_;
  pid_t holder_ = 0;
  std::string problem_;
};

}  // namespace norvo
