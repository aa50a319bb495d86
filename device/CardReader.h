#pragma once
// The SD card's exchange sequences (list, read one byte range, delete) and
// the reader-thread half of their replies: list entries into a table of
// at most kMaxCardFiles names, file data into the caller's string, and the
// end marker that ends both. The dispatcher hands the card's reports here
// (Dispatcher::SetCardSink); the session runs the sequences under its lock.

#include <array>
#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

#include "Card.h"
#include "DeviceLink.h"
#include "Payload.h"
#include "Responses.h"

namespace norvo {

constexpr int kMaxCardFiles = 500;
// The pause after a block's end marker before the unit is sent anything
// else: it ends every read command, whoever asked for the block.
constexpr int kCardBlockPauseMs = 10;

class CardReader : public CardReportSink {
 public:
  explicit CardReader(DeviceLink& link) : link_(link) {}

  // ---- listing ----
  // Clears the table and the size map.
  void ClearList();
  // Sends the list command and waits up to 2 s for the end of the list.
  void RequestFileList();
  int Count() const;
  std::string Name(int index) const;
  // The size the list reported for a name, or -1 when it was not listed.
  std::int64_t SizeOf(const std::string& name) const;

  // One read command: [start, end) of the card file appended to *into. True
  // when exactly end - start bytes and the end marker came.
  bool ReadRange(const std::string& name, std::int64_t start, std::int64_t end, std::string* into);

  // The reply, if any, is not routed: the wait always runs its 500 ms.
  void DeleteCardFile(const std::string& name);

  // ---- reader thread ----
  void OnListReport(const Payload& payload) override;
  void CountListEntry() override;
  void OnReadReport(const Payload& payload) override;

 private:
  DeviceLink& link_;

  mutable std::mutex list_mutex_;  // guards names_, count_, sizes_ and pending_
  std::array<std::string, kMaxCardFiles> names_;
  int count_ = 0;
  std::map<std::string, std::int32_t> sizes_;
  bool pending_ = false;  // the last list report was an entry that counts

  std::atomic<std::uint64_t> received_{0};
  std::mutex capture_mutex_;  // guards capture_, set by a sender, filled by the reader
  std::string* capture_ = nullptr;
};

}  // namespace norvo
