#include "UnitLock.h"

#include <pwd.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "res/Strings.h"

namespace norvo {

namespace {

// Group or others may write: anyone could plant a lock or a socket there.
constexpr mode_t kStrangerWrite = S_IWGRP | S_IWOTH;

bool TestMode() {
  const char* dir = std::getenv("NORVO_RUNTIME_DIR");
  return dir != nullptr && *dir != '\0';
}

uid_t UidOf(const char* name) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  if (::getpwnam_r(name, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) {
    return static_cast<uid_t>(-1);
  }
  return found->pw_uid;
}

std::filesystem::path MadeFolder(const std::filesystem::path& folder, mode_t mode) {
  // An existing folder stays as it is (FolderProblem judges it); one that
  // cannot be made is reported where it is used.
  [[maybe_unused]] const int made = ::mkdir(folder.c_str(), mode);
  return folder;
}

}  // namespace

uid_t ServiceUid() {
  if (const char* name = std::getenv("NORVO_SERVICE_USER"); name != nullptr && *name != '\0' && TestMode()) {
    return UidOf(name);
  }
  return UidOf(kServiceUser);
}

bool TrustedUid(uid_t uid) {
  const uid_t service = ServiceUid();
  return uid == 0 || uid == ::geteuid() || (service != static_cast<uid_t>(-1) && uid == service);
}

std::string OwnerText(uid_t uid) {
  std::vector<char> buffer(4096);
  passwd entry{};
  passwd* found = nullptr;
  const std::string number = "uid " + std::to_string(uid);
  if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return number;
  std::string name;
  // A user name is the administrator's text, still it reaches a terminal.
  for (const char* c = found->pw_name; *c != '\0'; ++c) name += std::isprint(static_cast<unsigned char>(*c)) ? *c : '?';
  return UIString(ui::kUserName) + name + " (" + number + ")";
}

std::string FolderProblem(const std::filesystem::path& folder) {
  const std::string name = folder.empty() ? std::string(".") : folder.string();
  struct stat st {};
  if (::lstat(name.c_str(), &st) != 0) {
    const int error = errno;
    return UIString(ui::kCannotOpenLockFolder) +
           name + ": " + std::strerror(error);
  }
  if (!S_ISDIR(st.st_mode)) {
    return name + UIString(ui::kLockFolderNotFolder);
  }
  if (!TrustedUid(st.st_uid)) {
    return UIString(ui::kTheLockFolder) + name +
           UIString(ui::kBelongsTo) + OwnerText(st.st_uid) +
           UIString(ui::kAndNotUsed);
  }
  if ((st.st_mode & kStrangerWrite) != 0) {
    return UIString(ui::kTheLockFolder) + name +
           UIString(ui::kWritableByOthersNotUsed);
  }
  return "";
}

std::filesystem::path UnitLockFolder() {
  if (TestMode()) return std::getenv("NORVO_RUNTIME_DIR");
  const uid_t self = ::geteuid();
  if (self == 0 || self == ServiceUid()) return MadeFolder(kServiceFolder, 0755);
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir != nullptr && *dir == '/') {
    return MadeFolder(std::filesystem::path(dir) / "norvo", 0700);
  }
  return MadeFolder(TempFolder() / ("norvo-" + std::to_string(self)), 0700);
}

std::vector<std::filesystem::path> HolderFolders(const std::filesystem::path& own) {
  std::vector<std::filesystem::path> folders = {own};
  if (!TestMode() && own != kServiceFolder) folders.emplace_back(kServiceFolder);
  return folders;
}

std::filesystem::path UnitLockPath(const std::filesystem::path& folder, const std::string& device_path) {
  struct stat st {};
  if (!device_path.empty() && device_path[0] == '/' && ::stat(device_path.c_str(), &st) == 0 && S_ISCHR(st.st_mode)) {
    return device_path;
  }
  return folder / UnitLockName(device_path);
}

std::string UnitLockMessage(FileLock::Result result, pid_t holder, const std::string& problem) {
  if (result == FileLock::Result::kUnavailable) return problem;
  if (holder > 0) return UIString(ui::kUnitInUseByPid) + std::to_string(holder);
  return UIString(ui::kUnitInUseByOther);
}

std::string UnitLockName(const std::string& device_path) {
  std::string name = "norvo-unit-";
  for (unsigned char c : device_path) name += std::isalnum(c) ? static_cast<char>(c) : '_';
  return name + ".lock";
}

std::string JudgeHolder(const std::filesystem::path& socket, const HolderFacts& facts, uid_t self, uid_t service) {
  const auto trusted = [&](uid_t uid) { return uid == 0 || uid == self || (service != static_cast<uid_t>(-1) && uid == service); };
  const std::string untrusted =
      UIString(ui::kHeldByUntrusted);
  const std::string folder = socket.parent_path().string();
  if (!S_ISDIR(facts.folder_mode) || !trusted(facts.folder_uid) || (facts.folder_mode & kStrangerWrite) != 0) {
    return untrusted + UIString(ui::kTheFolder) + folder +
           UIString(ui::kSocketFolderBelongsTo) + OwnerText(facts.folder_uid) +
           ((facts.folder_mode & kStrangerWrite) != 0
                ? UIString(ui::kAndWritableByOthers)
                : "");
  }
  if (!S_ISSOCK(facts.socket_mode)) {
    return untrusted + socket.string() + UIString(ui::kNotASocket);
  }
  if (!trusted(facts.socket_uid)) {
    return untrusted + socket.string() + UIString(ui::kBelongsTo) + OwnerText(facts.socket_uid);
  }
  if (facts.peer_known && !trusted(facts.peer_uid)) {
    return untrusted + socket.string() + UIString(ui::kServedByProcess) +
           std::to_string(facts.peer_pid) + UIString(ui::kOfUser) + OwnerText(facts.peer_uid);
  }
  return "";
}

}  // namespace norvo
