#pragma once
// Opening a file of a folder others may write to (the data folder, the lock
// folders): only a regular file, never through a symlink, never waiting on a
// FIFO or device.

#include <sys/types.h>

#include <filesystem>

namespace norvo {

// open(2) with O_NOFOLLOW and O_CLOEXEC added, and O_NONBLOCK for the open
// only; mode as for O_CREAT. -1 with errno set otherwise: ELOOP for a
// symlink, ENOTSUP for anything that is not a regular file.
int OpenRegularFile(const std::filesystem::path& path, int flags, mode_t mode = 0644);

}  // namespace norvo
