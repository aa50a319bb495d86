#pragma once
// The SD-card commands (list, read a byte range, delete), the reader-thread
// handlers of their replies, and the download loop that brings a local copy
// up to date block by block, resuming an earlier partial copy. No Qt here.
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

#include "device/DeviceLink.h"
#include "device/Responses.h"

namespace norvo {

constexpr int kMaxCardFiles = 500;
constexpr std::size_t kMaxCardName = 52;  // what fits the read command
constexpr std::uint32_t kBlockSize = 4096;

// The read command: "{" 0x02 name start(4, big-endian) end(4, big-endian) "@" "}".
Payload BuildReadFrame(const std::string& name, std::uint32_t start, std::uint32_t end);
// The delete command: "{" 0x20 name "@" "}".
Payload BuildDeleteFrame(const std::string& name);

// "%0.2f KB" up to 1048576 bytes, "%0.2f MB" above.
std::string SizeText(std::int32_t size);

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
};

struct DownloadOutcome {
  DownloadStatus status;
  std::string message;  // empty for kDone
  // The import follows a completed download and a failed block.
  bool ImportFollows() const { return status == DownloadStatus::kDone || status == DownloadStatus::kBlockFailed; }
};

class CardTransfer : public CardReportSink {
 public:
  struct Hooks {
    // Called on the reader or worker thread; the receiver hands over itself.
    std::function<void(int range)> progress_range;
    std::function<void(int position)> progress_position;
    std::function<void(const std::string& text)> done_label;  // "ok..." after the last block
  };

  CardTransfer(DeviceLink& link, std::filesystem::path data_folder);
  ~CardTransfer() override;

  void SetHooks(Hooks hooks) { hooks_ = std::move(hooks); }
  DeviceLink& Link() { return link_; }

  // ---- listing (user-interface thread) ----
  // Clears the list and the size map, as each opening of the dialog does.
  void ClearList();
  // Sends the list command and waits up to 2 s for the end of the list.
  void RequestFileList();
  int Count() const;
  std::string Name(int index) const;
  std::string SizeTextAt(int index) const;
  // The size the list reported for a name, or -1 when it was not listed.
  std::int64_t SizeOf(const std::string& name) const;

  // ---- download (import worker thread) ----
  DownloadOutcome DownloadFile(const std::string& name);
  std::filesystem::path LocalPath(const std::string& name) const { return data_folder_ / name; }
  void ResetReceived() { received_.store(0); }

  // ---- delete (user-interface thread) ----
  void DeleteCardFile(const std::string& name);

  // ---- reader thread ----
  void OnListReport(const Payload& payload) override;
  void CountListEntry() override;
  void OnReadReport(const Payload& payload) override;

 private:
  void CloseLocal();
  void Progress(int position) const;

  DeviceLink& link_;
  std::filesystem::path data_folder_;
  Hooks hooks_;

  mutable std::mutex list_mutex_;  // guards the list tables, count_, sizes_ and pending_
  std::array<std::string, kMaxCardFiles> names_;
  std::array<std::string, kMaxCardFiles> size_texts_;
  int count_ = 0;
  std::map<std::string, std::int32_t> sizes_;
  bool pending_ = false;  // the last list report was an entry that counts

  std::atomic<std::uint64_t> received_{0};
  std::atomic<int> progress_{0};
  std::atomic<bool> last_block_{false};

  std::mutex file_mutex_;  // guards file_, written by the reader, opened and closed by the worker
  std::FILE* file_ = nullptr;
};

}  // namespace norvo
