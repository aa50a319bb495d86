#include "HidapiTransport.h"

#include <hidapi.h>

namespace norvo {
namespace {

class HidapiDevice : public HidDevice {
 public:
  explicit HidapiDevice(hid_device* handle) : handle_(handle) {}
  ~HidapiDevice() override { hid_close(handle_); }
  HidapiDevice(const HidapiDevice&) = delete;
  HidapiDevice& operator=(const HidapiDevice&) = delete;

  bool Write(const std::uint8_t (&report)[kReportSize]) override {
    return hid_write(handle_, report, kReportSize) >= 0;
  }

  int Read(Payload& payload, int timeout_ms) override {
    // hidapi hands back the payload without the report id on every platform.
    const int n = hid_read_timeout(handle_, payload.data(), payload.size(), timeout_ms);
    return n < 0 ? -1 : n;
  }

  // CancelReads stays false: nothing wakes hid_read_timeout from another
  // thread, and closing the handle under it would free what it reads. The
  // link leaves the read to its reader, which closes the device after it.

 private:
  hid_device* handle_;
};

// hidapi gives the serial number as wide characters; it is plain ASCII on
// every unit, and anything else is kept as '?' rather than guessed at.
std::string Narrow(const wchar_t* text) {
  std::string out;
  for (const wchar_t* c = text; c != nullptr && *c != L'\0'; ++c) {
    out += (*c > 0x20 && *c < 0x7F) ? static_cast<char>(*c) : '?';
  }
  return out;
}

}  // namespace

HidapiTransport::HidapiTransport() { hid_init(); }
HidapiTransport::~HidapiTransport() { hid_exit(); }

std::vector<HidInterfaceInfo> HidapiTransport::Enumerate() {
  std::vector<HidInterfaceInfo> found;
  hid_device_info* list = hid_enumerate(0, 0);
  for (hid_device_info* d = list; d != nullptr; d = d->next) {
    found.push_back({d->path ? d->path : "", d->vendor_id, d->product_id, Narrow(d->serial_number)});
  }
  hid_free_enumeration(list);
  return found;
}

std::unique_ptr<HidDevice> HidapiTransport::Open(const std::string& path) {
  hid_device* handle = hid_open_path(path.c_str());
  if (handle == nullptr) return nullptr;
  return std::make_unique<HidapiDevice>(handle);
}

}  // namespace norvo
