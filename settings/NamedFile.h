#pragma once
// Files a user names on the command line or in a configuration (a backup, the
// serve configuration, a password file, a CA certificate): opened without
// blocking, so that a FIFO nobody writes, a device or a folder named by
// mistake is refused at once with the reason; only a regular file is read, up
// to a bound, and a read can be stopped.

#include <sys/types.h>

#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

namespace norvo {

struct NamedFileLimits {
  std::size_t max_bytes = 1 << 20;
  bool follow_symlink = true;  // false: a symbolic link in its place is refused
  // Asked between reads, and every few hundred milliseconds while a pipe or
  // terminal (standard input) has nothing yet; true ends the read.
  std::function<bool()> stop;
};

struct NamedFileText {
  std::optional<std::string> text;
  // Why not, in the loaded language and without the file's name: "is a
  // directory", "is not a regular file", "larger than N bytes", or what the
  // system said. Empty when stopped.
  std::string error;
  bool stopped = false;
  // The refusal is about what the file is (its kind or size), not a failing
  // system: the caller was given the wrong file.
  bool wrong_kind = false;
  mode_t mode = 0;  // of the file read: permission bits and kind
};

NamedFileText ReadNamedFile(const std::filesystem::path& path, const NamedFileLimits& limits);

// The same bound and stop for a descriptor already open (standard input):
// a pipe or terminal is read as it delivers.
NamedFileText ReadDescriptor(int fd, const NamedFileLimits& limits);

// What a file of this kind is, for a refusal: "is a directory" or "is not a
// regular file", in the loaded language; "" for a regular file.
std::string WrongKindReason(mode_t mode);

}  // namespace norvo
