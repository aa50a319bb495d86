#pragma once
// The one transport interface. The hidapi transport and the simulated unit
// both implement it; nothing above this header can tell them apart.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Payload.h"

namespace norvo {

struct HidInterfaceInfo {
  std::string path;
  std::uint16_t vendor_id = 0;
  std::uint16_t product_id = 0;
  std::string serial;  // the USB serial number, "" when the device has none
};

// An open HID interface. Read runs on the reader thread while Write runs on a
// sender's thread and CancelReads on the one that stops the link;
// implementations allow exactly that overlap.
class HidDevice {
 public:
  virtual ~HidDevice() = default;

  // Sends one 65-byte output report (byte 0 is the report id). False on error.
  virtual bool Write(const std::uint8_t (&report)[kReportSize]) = 0;

  // Waits up to timeout_ms for one input report and copies its payload
  // (without report id) into payload. Returns the payload byte count, 0 on
  // time-out, and -1 when the device is gone or failed.
  virtual int Read(Payload& payload, int timeout_ms) = 0;

  // Called from another thread: a Read in progress and every later one
  // return 0 at once. False when the device cannot do that (hidapi has no way
  // to wake hid_read_timeout); a Read in progress then runs to its time-out.
  virtual bool CancelReads() { return false; }
};

class Transport {
 public:
  virtual ~Transport() = default;

  // Every present HID interface, in the platform's enumeration order.
  virtual std::vector<HidInterfaceInfo> Enumerate() = 0;

  // Opens one interface for reading and writing; nullptr on failure.
  virtual std::unique_ptr<HidDevice> Open(const std::string& path) = 0;
};

}  // namespace norvo
