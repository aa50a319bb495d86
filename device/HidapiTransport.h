#pragma once
// The real unit through hidapi (hidraw back end on Linux).

#include "Transport.h"

namespace norvo {

class HidapiTransport : public Transport {
 public:
  HidapiTransport();
  ~HidapiTransport() override;
  HidapiTransport(const HidapiTransport&) = delete;
  HidapiTransport& operator=(const HidapiTransport&) = delete;

  std::vector<HidInterfaceInfo> Enumerate() override;
  std::unique_ptr<HidDevice> Open(const std::string& path) override;
};

}  // namespace norvo
