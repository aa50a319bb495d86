#pragma once
// One process per unit, and where a process finds the one that holds it.
//
// The lock of a unit with a device node is an flock on the node itself: only
// a process that may open the unit can take it, whichever user runs it. A
// unit without a node (a simulated one) is locked by a file named after its
// device path in this process's own runtime folder. The holder's socket
// (ShareServer) lies in the holder's runtime folder: /run/norvo for root and
// the logging service, $XDG_RUNTIME_DIR/norvo for everyone else. A folder is
// used only when no stranger can write it.

#include <sys/stat.h>
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

#include "settings/FileLock.h"

namespace norvo {

using UnitLock = FileLock;

// The user the package runs the logging service as, and its folder (made by
// systemd-tmpfiles at boot, setgid to the group of the unit's node).
inline constexpr const char* kServiceUser = "norvo";
inline constexpr const char* kServiceFolder = "/run/norvo";
// The group the udev rule gives the unit's node: who may reach the unit
// through the service.
inline constexpr const char* kUnitGroup = "plugdev";

// The service user's uid, (uid_t)-1 when there is no such user. Tests name
// another user in NORVO_SERVICE_USER, honoured only while NORVO_RUNTIME_DIR
// is set.
uid_t ServiceUid();
// A holder this process may trust: root, this process's user, the service user.
bool TrustedUid(uid_t uid);
// "user NAME (uid N)", or "uid N" for a uid without a name.
std::string OwnerText(uid_t uid);

// Why a folder must not hold locks or sockets ("" when it may): it is
// missing, not a folder, owned by an untrusted user, or writable by group
// or others.
std::string FolderProblem(const std::filesystem::path& folder);

// This process's own folder of locks and sockets: $NORVO_RUNTIME_DIR when
// set (tests); /run/norvo for root and the service user; else
// $XDG_RUNTIME_DIR/norvo, or /tmp/norvo-UID without a runtime folder (made
// 0700 when missing).
std::filesystem::path UnitLockFolder();
// Where to look for the socket of a unit's holder: the own folder, then
// /run/norvo (none but the own one under $NORVO_RUNTIME_DIR).
std::vector<std::filesystem::path> HolderFolders(const std::filesystem::path& own);

// The lock of a unit: its node when device_path names a character device,
// else the lock file in folder.
std::filesystem::path UnitLockPath(const std::filesystem::path& folder, const std::string& device_path);

// What keeps this process from the unit, after Take gave kBusy or
// kUnavailable: "unit in use by pid N", "unit in use by another process"
// when the holder is unknown, or the lock's own problem (its folder cannot be
// opened, too many open files, ...), never an invented holder.
std::string UnitLockMessage(FileLock::Result result, pid_t holder, const std::string& problem);

// The lock file's name for a device path: every character that is not a
// letter or digit becomes '_'.
std::string UnitLockName(const std::string& device_path);

// What a process knows of a holder's socket before it sends a byte: the
// owners and modes of the socket file and its folder (lstat), and the
// credentials of the process that serves it (SO_PEERCRED; peer_known false
// before the connect).
struct HolderFacts {
  uid_t folder_uid = 0;
  mode_t folder_mode = 0;
  uid_t socket_uid = 0;
  mode_t socket_mode = 0;
  bool peer_known = false;
  uid_t peer_uid = 0;
  pid_t peer_pid = 0;
};

// Why this process must not attach to that holder ("" when it may): the
// folder is not a folder or others may write it, the socket is not a
// socket, or the folder, the socket or the server belong to a user who is
// neither root, self nor service. The text names the socket and the owner.
std::string JudgeHolder(const std::filesystem::path& socket, const HolderFacts& facts, uid_t self, uid_t service);

}  // namespace norvo
