#include "NamedFile.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "res/Strings.h"

namespace norvo {
namespace {

// How long a wait for a pipe goes before the stop is asked again: a signal
// between the question and the wait is seen this late at most.
constexpr int kStopSliceMs = 200;

NamedFileText Refused(std::string why, bool wrong_kind) {
  NamedFileText r;
  r.error = std::move(why);
  r.wrong_kind = wrong_kind;
  return r;
}

std::string TooLarge(std::size_t max) {
  return UIString(ui::kLargerThan) + std::to_string(max) +
         UIString(ui::kBytes);
}

}  // namespace

std::string WrongKindReason(mode_t mode) {
  if (S_ISREG(mode)) return {};
  if (S_ISDIR(mode)) return UIString(ui::kIsADirectory);
  return UIString(ui::kNotARegularFile);
}

NamedFileText ReadDescriptor(int fd, const NamedFileLimits& limits) {
  NamedFileText r;
  std::string text;
  char buffer[16384];
  for (;;) {
    if (limits.stop && limits.stop()) {
      r.stopped = true;
      return r;
    }
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, limits.stop ? kStopSliceMs : -1);
    if (ready < 0 && errno != EINTR) return Refused(std::strerror(errno), false);
    if (ready <= 0) continue;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return Refused(std::strerror(errno), false);
    }
    if (n == 0) break;
    if (text.size() + static_cast<std::size_t>(n) > limits.max_bytes) return Refused(TooLarge(limits.max_bytes), true);
    text.append(buffer, static_cast<std::size_t>(n));
  }
  r.text = std::move(text);
  return r;
}

NamedFileText ReadNamedFile(const std::filesystem::path& path, const NamedFileLimits& limits) {
  // O_NONBLOCK: a FIFO without a writer would hold the open itself.
  const int flags = O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (limits.follow_symlink ? 0 : O_NOFOLLOW);
  const int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    if (errno == ELOOP && !limits.follow_symlink) {
      struct stat link {};
      if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        return Refused(UIString(ui::kSymlinkNotFollowed),
                       true);
      }
    }
    return Refused(std::strerror(errno), false);
  }
  struct stat st {};
  NamedFileText r;
  if (::fstat(fd, &st) != 0) {
    r = Refused(std::strerror(errno), false);
  } else if (!S_ISREG(st.st_mode)) {
    r = Refused(WrongKindReason(st.st_mode), true);
  } else if (static_cast<std::uintmax_t>(st.st_size) > limits.max_bytes) {
    r = Refused(TooLarge(limits.max_bytes), true);
  } else {
    // A file that grows while it is read still keeps to the bound.
    r = ReadDescriptor(fd, limits);
  }
  r.mode = st.st_mode;
  ::close(fd);
  return r;
}

}  // namespace norvo
