// The dispatcher for every pending type with arbitrary payloads, with the
// SD-card handlers attached. Input: records of one type byte and 64 payload bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>

#include "device/DeviceLink.h"
#include "device/Responses.h"
#include "device/CardReader.h"
#include "sim/SimTransport.h"

using namespace norvo;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static sim::SimTransport transport;  // no interfaces: nothing is ever opened
  static DeviceLink link(transport);
  static ResponseStore store;
  static CardReader transfer(link);
  static Dispatcher dispatcher(link, store);
  dispatcher.SetCardSink(&transfer);
  dispatcher.SetListReceiver(true);
  transfer.ClearList();
  for (std::size_t at = 0; at + 1 <= size; at += 65) {
    Payload payload{};
    const std::size_t n = std::min<std::size_t>(64, size - at - 1);
    std::memcpy(payload.data(), data + at + 1, n);
    link.TheHandshake().Redirect(data[at] % 24);
    dispatcher.Dispatch(payload, static_cast<int>(n == 0 ? 64 : n));
  }
  // Whatever arrived, the tables stay within their 500 rows.
  if (transfer.Count() > kMaxCardFiles) __builtin_trap();
  for (int i = 0; i < transfer.Count(); ++i) (void)transfer.SizeOf(transfer.Name(i));
  return 0;
}
