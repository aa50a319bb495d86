#include "Frames.h"

#include <algorithm>

namespace norvo {

Payload BuildCommandFrame(std::uint8_t command, std::span<const std::uint8_t> data) {
  Payload frame{};
  const std::size_t n = std::min(data.size(), kMaxFrameData);
  frame[0] = kFrameOpen;
  frame[1] = command;
  std::copy_n(data.begin(), n, frame.begin() + 2);
  frame[2 + n] = kFrameAt;
  frame[3 + n] = kFrameClose;
  return frame;
}

}  // namespace norvo
