#include "Transfer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "device/Encodings.h"
#include "device/Exchange.h"
#include "device/Frames.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

void PutBe32(std::vector<std::uint8_t>& data, std::uint32_t v) {
  data.insert(data.end(), {static_cast<std::uint8_t>(v >> 24), static_cast<std::uint8_t>(v >> 16),
                           static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v)});
}

// Card bytes held by a local copy: its size less one CR for each LF.
std::int64_t CardBytesOf(std::FILE* file, std::int64_t size_on_disk) {
  std::rewind(file);
  std::int64_t line_feeds = 0;
  char buf[1 << 16];
  for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file)) > 0;) {
    line_feeds += std::count(buf, buf + n, '\n');
  }
  return size_on_disk - line_feeds;
}

std::string Printable(const std::string& name) {
  std::string out;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F) {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return Latin1ToUtf8(out);
}

}  // namespace

Payload BuildReadFrame(const std::string& name, std::uint32_t start, std::uint32_t end) {
  std::vector<std::uint8_t> data(name.begin(), name.begin() + static_cast<long>(std::min(name.size(), kMaxCardName)));
  PutBe32(data, start);
  PutBe32(data, end);
  return BuildCommandFrame(code::kReadFile, data);
}

Payload BuildDeleteFrame(const std::string& name) {
  const std::vector<std::uint8_t> data(name.begin(), name.begin() + static_cast<long>(std::min(name.size(), kMaxCardName)));
  return BuildCommandFrame(code::kDeleteFile, data);
}

std::string SizeText(std::int32_t size) {
  char buf[64];
  if (size <= 1048576) {
    std::snprintf(buf, sizeof buf, "%0.2f KB", size / 1024.0);
  } else {
    std::snprintf(buf, sizeof buf, "%0.2f MB", size / 1024.0 / 1024.0);
  }
  return buf;
}

std::string UnsafeNameReason(const std::string& name) {
  const bool german = LoadedLanguage() == kLanguageGerman;
  const auto refuse = [&](const char* en, const char* de) {
    return std::string(german ? de : en) + " \"" + Printable(name) + "\"";
  };
  if (name.empty()) return refuse("The unit reported an empty file name.", "Das Gerät meldete einen leeren Dateinamen.");
  if (name.size() > kMaxCardName) {
    return refuse("The unit reported a file name longer than 52 characters; it is not used:",
                  "Das Gerät meldete einen Dateinamen mit mehr als 52 Zeichen; er wird nicht verwendet:");
  }
  const bool separator = name.find('/') != std::string::npos || name.find('\\') != std::string::npos;
  const bool control = std::any_of(name.begin(), name.end(), [](unsigned char c) { return c < 0x20 || c == 0x7F; });
  const bool drive = name.size() >= 2 && std::isalpha(static_cast<unsigned char>(name[0])) && name[1] == ':';
  const bool dots = name.find("..") != std::string::npos || name == ".";
  if (separator || control || drive || dots) {
    return refuse("The unit reported a file name that is not safe to use; it is not used:",
                  "Das Gerät meldete einen unsicheren Dateinamen; er wird nicht verwendet:");
  }
  return {};
}

CardTransfer::CardTransfer(DeviceLink& link, fs::path data_folder)
    : link_(link), data_folder_(std::move(data_folder)) {}

CardTransfer::~CardTransfer() { CloseLocal(); }

void CardTransfer::ClearList() {
  std::lock_guard lock(list_mutex_);
  sizes_.clear();
  count_ = 0;
}

int CardTransfer::Count() const {
  std::lock_guard lock(list_mutex_);
  return std::min(count_, kMaxCardFiles);
}

std::string CardTransfer::Name(int index) const {
  std::lock_guard lock(list_mutex_);
  return index >= 0 && index < std::min(count_, kMaxCardFiles) ? names_[static_cast<std::size_t>(index)] : "";
}

std::string CardTransfer::SizeTextAt(int index) const {
  std::lock_guard lock(list_mutex_);
  return index >= 0 && index < std::min(count_, kMaxCardFiles) ? size_texts_[static_cast<std::size_t>(index)] : "";
}

std::int64_t CardTransfer::SizeOf(const std::string& name) const {
  std::lock_guard lock(list_mutex_);
  const auto found = sizes_.find(name);
  return found == sizes_.end() ? -1 : found->second;
}

void CardTransfer::RequestFileList() {
  Exchange(link_, BuildCommandFrame(code::kListFiles), response::kFileList, 3000, 2000);
  ReleaseExchange(link_);
}

void CardTransfer::OnListReport(const Payload& payload) {
  // Byte 0 is the unit's "{"; the name runs up to the first comma and the
  // four bytes after it are the size, high byte first.
  const auto comma = std::find(payload.begin() + 1, payload.end(), static_cast<std::uint8_t>(','));
  std::lock_guard lock(list_mutex_);
  pending_ = false;
  if (comma == payload.end() || payload.end() - comma < 5) return;  // no room for a size: not an entry
  const std::string name(payload.begin() + 1, comma);
  const auto at = static_cast<std::size_t>(comma - payload.begin()) + 1;
  const auto size = static_cast<std::int32_t>(std::uint32_t{payload[at]} << 24 | std::uint32_t{payload[at + 1]} << 16 |
                                              std::uint32_t{payload[at + 2]} << 8 | std::uint32_t{payload[at + 3]});
  // The tables hold 500 entries; further entries are left out.
  if (count_ >= kMaxCardFiles) return;
  names_[static_cast<std::size_t>(count_)] = name;
  size_texts_[static_cast<std::size_t>(count_)] = SizeText(size);
  sizes_[name] = size;
  pending_ = true;
}

void CardTransfer::CountListEntry() {
  std::lock_guard lock(list_mutex_);
  if (pending_) ++count_;
  pending_ = false;
}

void CardTransfer::Progress(int position) const {
  if (hooks_.progress_position) hooks_.progress_position(position);
}

void CardTransfer::CloseLocal() {
  std::lock_guard lock(file_mutex_);
  if (file_) std::fclose(file_);
  file_ = nullptr;
}

void CardTransfer::OnReadReport(const Payload& payload) {
  // The text up to its first zero byte, cut before its first "}", braces removed.
  const auto zero = std::find(payload.begin(), payload.end(), std::uint8_t{0});
  std::string text(payload.begin(), zero);
  const std::size_t close = text.find('}');
  text = close == std::string::npos ? std::string() : text.substr(0, close);
  std::erase(text, '{');

  if (text.empty() || text[0] != '@') {
    received_ += text.size();
    {
      std::lock_guard lock(file_mutex_);
      if (file_) {
        for (char c : text) {
          if (c == '\n') std::fputc('\r', file_);
          std::fputc(c, file_);
        }
      }
    }
    Progress(progress_ += 64);
    return;
  }
  // The end of a block.
  Progress(progress_.load());
  if (last_block_.load()) {
    if (hooks_.done_label) hooks_.done_label("ok...");
    CloseLocal();
    link_.SetPendingType(response::kNone);
  }
  link_.ExchangeEvent().Set();
}

DownloadOutcome CardTransfer::DownloadFile(const std::string& name) {
  if (std::string reason = UnsafeNameReason(name); !reason.empty()) {
    return {DownloadStatus::kUnsafeName, reason};
  }
  const fs::path local = LocalPath(name);
  std::error_code ec;
  const bool pre_existing = fs::exists(local, ec);
  {
    std::lock_guard lock(file_mutex_);
    if (file_) std::fclose(file_);
    file_ = std::fopen(local.c_str(), pre_existing ? "r+b" : "w+b");
    if (file_ == nullptr) {
      return pre_existing ? DownloadOutcome{DownloadStatus::kOpenError, "Open Error1"}
                          : DownloadOutcome{DownloadStatus::kCreateError, UIString(245)};
    }
  }
  std::int64_t offset;
  {
    std::lock_guard lock(file_mutex_);
    const auto size = static_cast<std::int64_t>(fs::file_size(local, ec));
    offset = CardBytesOf(file_, ec ? 0 : size);
  }
  std::int64_t total;
  {
    std::lock_guard lock(list_mutex_);
    const auto found = sizes_.find(name);
    if (found == sizes_.end()) {
      CloseLocal();
      return {DownloadStatus::kNotListed, " m_FilenameSize Error."};
    }
    total = found->second;
  }
  // A copy longer than the card file by two bytes or more is discarded; one
  // byte longer stays and makes the block fail.
  if (pre_existing && static_cast<std::int32_t>(static_cast<std::uint32_t>(total - offset)) < -1) {
    CloseLocal();
    fs::remove(local, ec);
    std::lock_guard lock(file_mutex_);
    file_ = std::fopen(local.c_str(), "w+b");
    if (file_ == nullptr) return {DownloadStatus::kRecreateError, UIString(245)};
    offset = 0;
  }
  const auto remaining = static_cast<std::int32_t>(static_cast<std::uint32_t>(total - offset));
  progress_.store(0);
  if (hooks_.progress_range) hooks_.progress_range(remaining);
  Progress(0);
  {
    std::lock_guard lock(file_mutex_);
    std::fseek(file_, 0, SEEK_END);
  }

  bool more = true;
  last_block_.store(false);
  while (more) {
    received_.store(0);
    std::int64_t end = offset + kBlockSize;
    std::int64_t length = kBlockSize;
    if (static_cast<std::uint64_t>(end) >= static_cast<std::uint64_t>(total)) {
      end = total;
      length = total - offset;
      more = false;
      last_block_.store(true);
    }
    const Payload frame = BuildReadFrame(name, static_cast<std::uint32_t>(offset), static_cast<std::uint32_t>(end));
    const bool answered = Exchange(link_, frame, response::kFileData, 3000, 3000);
    if (!answered || received_.load() != static_cast<std::uint64_t>(length)) {
      CloseLocal();
      link_.SetPendingType(response::kNone);
      ReleaseExchange(link_);
      Progress(remaining);
      return {DownloadStatus::kBlockFailed, UIString(246)};
    }
    ReleaseExchange(link_);
    link_.Pause(10);
    offset = end;
  }
  CloseLocal();  // normally closed already by the last end marker
  return {DownloadStatus::kDone, {}};
}

void CardTransfer::DeleteCardFile(const std::string& name) {
  // The reply, if any, is not routed: the wait always runs its 500 ms.
  Exchange(link_, BuildDeleteFrame(name), response::kWrite, 3000, 500);
  ReleaseExchange(link_);
}

}  // namespace norvo
