#include "CardReader.h"

#include <algorithm>
#include <optional>

#include "Exchange.h"
#include "Frames.h"

namespace norvo {

void CardReader::ClearList() {
  std::lock_guard lock(list_mutex_);
  sizes_.clear();
  count_ = 0;
}

int CardReader::Count() const {
  std::lock_guard lock(list_mutex_);
  return std::min(count_, kMaxCardFiles);
}

std::string CardReader::Name(int index) const {
  std::lock_guard lock(list_mutex_);
  return index >= 0 && index < std::min(count_, kMaxCardFiles) ? names_[static_cast<std::size_t>(index)] : "";
}

std::int64_t CardReader::SizeOf(const std::string& name) const {
  std::lock_guard lock(list_mutex_);
  const auto found = sizes_.find(name);
  return found == sizes_.end() ? -1 : found->second;
}

void CardReader::RequestFileList() {
  Exchange(link_, BuildCommandFrame(code::kListFiles), response::kFileList, 3000, 2000);
  ReleaseExchange(link_);
}

void CardReader::OnListReport(const Payload& payload) {
  const std::optional<card::ListEntry> entry = card::DecodeListEntry(payload);
  std::lock_guard lock(list_mutex_);
  pending_ = false;
  if (!entry) return;
  // The table holds 500 entries; further entries are left out.
  if (count_ >= kMaxCardFiles) return;
  names_[static_cast<std::size_t>(count_)] = entry->name;
  sizes_[entry->name] = static_cast<std::int32_t>(entry->size);
  pending_ = true;
}

void CardReader::CountListEntry() {
  std::lock_guard lock(list_mutex_);
  if (pending_) ++count_;
  pending_ = false;
}

void CardReader::OnReadReport(const Payload& payload) {
  const card::DataReport report = card::DecodeDataReport(payload);
  if (!report.end_of_block) {
    received_ += report.text.size();
    std::lock_guard lock(capture_mutex_);
    if (capture_) *capture_ += report.text;
    return;
  }
  link_.TheHandshake().Answered();
}

bool CardReader::ReadRange(const std::string& name, std::int64_t start, std::int64_t end, std::string* into) {
  {
    std::lock_guard lock(capture_mutex_);
    capture_ = into;
  }
  received_.store(0);
  const Payload frame =
      card::EncodeReadCommand(name, static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(end));
  const bool answered = Exchange(link_, frame, response::kFileData, 3000, 3000);
  // Late reports of this read must not reach the copy: they stop being routed
  // here before the capture ends.
  link_.TheHandshake().Redirect(response::kNone);
  {
    std::lock_guard lock(capture_mutex_);
    capture_ = nullptr;
  }
  ReleaseExchange(link_);
  if (answered) link_.Pause(kCardBlockPauseMs);
  return answered && received_.load() == static_cast<std::uint64_t>(end - start);
}

void CardReader::DeleteCardFile(const std::string& name) {
  Exchange(link_, card::EncodeDeleteCommand(name), response::kWrite, 3000, 500);
  ReleaseExchange(link_);
}

}  // namespace norvo
