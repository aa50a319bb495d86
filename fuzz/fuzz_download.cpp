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
  std::vector<HidInterfaceInfo> Enumerate() override { return {{"fuzz", kVendorId, kProductId}}; }
  std::unique_ptr<HidDevice> Open(const std::string&) override { return std::make_unique<ScriptedDevice>(data, size); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path folder = fs::temp_directory_path() / ("norvo-fuzz-download-" + std::to_string(::getpid()));
  fs::create_directories(folder);
  ScriptedTransport transport;
  transport.data = data;
  transport.size = size;
  DeviceLink link(transport);
  link.SetTimeScale(0.0005);  // 3 s waits become 1.5 ms
  ResponseStore store;
  Dispatcher dispatcher(link, store);
  CardTransfer transfer(link, folder);
  dispatcher.SetCardSink(&transfer);
  dispatcher.SetListReceiver(true);
  link.SetReportHandler([&](const Payload& p, int n) { dispatcher.Dispatch(p, n); });
  link.OpenDevice();
  transfer.RequestFileList();
  for (int i = 0; i < std::min(transfer.Count(), 3); ++i) transfer.DownloadFile(transfer.Name(i));
  link.Stop();
  // Nothing may land outside the folder: every file there has a plain name.
  for (const auto& entry : fs::directory_iterator(folder)) {
    if (!UnsafeNameReason(entry.path().filename().string()).empty()) __builtin_trap();
    fs::remove(entry.path());
  }
  return 0;
}
