#pragma once
// The local copies of card files: the download loop that brings a copy up to
// date block by block through the unit's interface, resuming an earlier
// partial copy, and the data folder's rules for the files in it. No Qt here.
//
// A local copy lies directly in the data folder under the card file's name and
// is written in text mode on every platform: each line feed is stored as
// CR LF. The number of card bytes a copy holds is therefore its size on disk
// minus its line feeds.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "session/Unit.h"

namespace norvo {

// "%0.2f KB" up to 1048576 bytes, "%0.2f MB" above.
std::string SizeText(std::int32_t size);

// True for the names of the console's own files in the data folder (the
// record store and its SQLite companions, Main.ini, the date-format notes
// and temporaries), compared without regard to case: a card file of such a
// name is never written, read or removed there.
bool IsConsoleOwnFile(const std::string& name);

// The date format a local copy was written in, recorded beside it when it is
// downloaded: "<name>.datefmt" holding 0, 1 or 2 (settings byte 4).
std::filesystem::path DateFormatNote(const std::filesystem::path& local_copy);
// The recorded format, or -1 when the copy has none.
int ReadDateFormatNote(const std::filesystem::path& local_copy);

// Removes the local copy of a card file and its date-format note; a missing
// copy is no error. Used by the dialog's Delete and by norvoctl sd rm.
// Empty on success, else the reason.
std::string RemoveLocalCopy(const std::filesystem::path& data_folder, const std::string& name);

// OpenRegularFile (settings/RegularFile.h) for a file of the data folder,
// with the reason in the loaded language in *why when it fails.
int OpenDataFile(const std::filesystem::path& path, int flags, std::string* why);

// The message for a name that is one of the console's own files.
std::string OwnFileText(const std::string& name);

// Removes what a crash can leave in the data folder: the console's temporary
// files ("*.norvotmp") and date-format notes whose copy is gone. Call once
// at start, before any download or import. Returns how many were removed.
int RemoveStaleTemporaries(const std::filesystem::path& data_folder);

// Why a name from the unit cannot be used as a file name in the data folder
// (a path separator, "..", a drive prefix, control characters, too long), or
// empty when it can.
std::string UnsafeNameReason(const std::string& name);

enum class DownloadStatus {
  kDone,           // the copy is complete
  kBlockFailed,    // "This file errors": the copy keeps what arrived
  kOpenError,      // "Open Error1"
  kCreateError,    // "Create Error"
  kNotListed,      // " m_FilenameSize Error."
  kRecreateError,  // "Create Error" while replacing a too-long copy
  kUnsafeName,     // refused before anything was touched
  kWriteError,     // the copy could not be written (disk full, I/O error)
  kCancelled,      // RequestCancel: the copy keeps what arrived and resumes
};

struct DownloadOutcome {
  DownloadOutcome(DownloadStatus s, std::string m = {}, std::string n = {})
      : status(s), message(std::move(m)), notice(std::move(n)) {}
  DownloadStatus status;
  std::string message;  // empty for kDone
  std::string notice;   // the copy did not match the card file and was started afresh
  std::int64_t written = 0;  // card bytes this download added to the copy
  // The import follows a completed download, and a failed block that brought
  // something new: one that brought nothing leaves the store as it is.
  bool ImportFollows() const {
    return status == DownloadStatus::kDone || (status == DownloadStatus::kBlockFailed && written > 0);
  }
};

// What a download reports while it runs, on the thread that runs it; the
// receiver hands over to its own thread itself.
struct DownloadHooks {
  // Range and position in card bytes of this download.
  std::function<void(int range)> progress_range;
  std::function<void(int position)> progress_position;
  std::function<void(const std::string& text)> done_label;  // "ok..." after the last block
  // Card bytes written so far in this download, of how many were to come.
  std::function<void(std::int64_t done, std::int64_t wanted)> bytes;
};

// One read command: bytes [start, end) of the card file into *into; true
// when exactly that many arrived with the end marker.
using CardRangeReader = std::function<bool(std::int64_t start, std::int64_t end, std::string* into)>;

struct DownloadJob {
  std::filesystem::path data_folder;
  std::string name;         // as the card lists it
  std::int64_t total = -1;  // the listed size; -1: not listed
  int date_format = -1;     // the unit's settings byte 4, recorded with the copy; -1 unknown
  CardRangeReader read;
  DownloadHooks hooks;
  // Set: stop before the next block, or at a block that fails after it was set (kCancelled).
  const std::atomic<bool>* cancel = nullptr;
};

// The job for a card file as the unit listed it, read through the unit's
// interface (which pauses after each block): the one way the console and
// norvoctl download. date_format as DownloadJob.
DownloadJob UnitDownloadJob(Unit& unit, const std::filesystem::path& data_folder, const CardList& list,
                            const std::string& name, int date_format);

// Brings the local copy of a card file up to date block by block: resumes a
// copy that is the start of the card file (its last block is read again and
// compared), starts afresh otherwise, so every way out leaves a copy that
// resumes. A copy is made, or replaced, only when the card sends bytes for
// it (or the card file is empty): a download that yields nothing leaves the
// folder as it was.
DownloadOutcome DownloadToLocalCopy(const DownloadJob& job);

}  // namespace norvo
