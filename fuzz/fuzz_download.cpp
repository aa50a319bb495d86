// A whole download against a device whose every answer comes from the
// fuzzer: list replies first, then the replies to each read command.

#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>

#include "device/DeviceLink.h"
#include "device/Responses.h"
#include "history/Transfer.h"
#include "session/UnitSession.h"

namespace fs = std::filesystem;
using namespace norvo;

namespace {

// Answers each written report with the next slice of the script: a length
// byte n, then n reports of 64 bytes (the last one padded).
class ScriptedDevice : public HidDevice {
 public:
  ScriptedDevice(const std::uint8_t* data, std::size_t size) : data_(data, data + size) {}
  bool Write(const std::uint8_t (&)[kReportSize]) override {
    std::lock_guard lock(mutex_);
    if (at_ >= data_.size()) return true;
    const int n = data_[at_++] % 80;
    for (int i = 0; i < n && at_ < data_.size(); ++i) {
      Payload p{};
      const std::size_t len = std::min<std::size_t>(64, data_.size() - at_);
      std::memcpy(p.data(), data_.data() + at_, len);
      at_ += len;
      queue_.push_back(p);
    }
    return true;
  }
  int Read(Payload& payload, int) override {
    std::lock_guard lock(mutex_);
    if (queue_.empty()) {
      done_ = at_ >= data_.size();
      return 0;
    }
    payload = queue_.front();
    queue_.pop_front();
    return 64;
  }

 private:
  std::mutex mutex_;
  std::vector<std::uint8_t> data_;
  std::size_t at_ = 0;
  std::deque<Payload> queue_;
  bool done_ = false;
};

class ScriptedTransport : public Transport {
 public:
  const std::uint8_t* data = nullptr;
  std::size_t size = 0;
  std::vector<HidInterfaceInfo> Enumerate() override { return {{"fuzz", kVendorId, kProductId, ""}}; }
  std::unique_ptr<HidDevice> Open(const std::string&) override { return std::make_unique<ScriptedDevice>(data, size); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path folder = fs::temp_directory_path() / ("norvo-fuzz-download-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  ScriptedTransport transport;
  transport.data = data;
  transport.size = size;
  UnitSession::Options options;
  options.lock_unit = false;
  options.time_scale = 0.0005;  // 3 s waits become 1.5 ms
  UnitSession session(transport, folder, options);
  session.Open();
  const CardList list = session.ListCardFiles();
  for (std::size_t i = 0; i < std::min<std::size_t>(list.files.size(), 3); ++i) {
    DownloadToLocalCopy(UnitDownloadJob(session, folder, list, list.files[i].name, -1));
  }
  session.Stop();
  // Nothing may land outside the folder: every file there has a plain name.
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!UnsafeNameReason(entry.path().filename().string()).empty()) __builtin_trap();
    fs::remove(entry.path());
  }
  return 0;
}
