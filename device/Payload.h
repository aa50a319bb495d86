#pragma once
// The 64-byte payload that travels in every HID report, in both directions.
// On the wire a report id (always 0) precedes it, making 65 bytes.

#include <array>
#include <cstddef>
#include <cstdint>

namespace norvo {

constexpr std::size_t kPayloadSize = 64;
constexpr std::size_t kReportSize = kPayloadSize + 1;

using Payload = std::array<std::uint8_t, kPayloadSize>;

// The unit's USB identity.
constexpr std::uint16_t kVendorId = 0x0483;
constexpr std::uint16_t kProductId = 0x5750;

}  // namespace norvo
