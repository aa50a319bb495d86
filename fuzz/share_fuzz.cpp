// The share socket's decoders on arbitrary bytes, cut into bodies by the
// framer as the server and the client cut their streams. Whatever decodes
// must encode within the message bound and decode again to the same bytes.

#include <cstdint>
#include <string>

#include "session/ShareCodec.h"

using namespace norvo;

namespace {

void RoundTrip(const std::string& encoded) {
  if (encoded.size() > share::kLengthBytes + share::kMaxMessage) __builtin_trap();
  share::Framer framer;
  framer.Feed(encoded.data(), encoded.size());
  std::string body;
  if (!framer.Next(&body) || framer.Pending() != 0) __builtin_trap();
  share::Request q;
  share::Answer a;
  if (share::IsRequestKind(static_cast<std::uint8_t>(body[0])) && share::DecodeRequest(body, &q)) {
    if (share::EncodeRequest(q) != encoded) __builtin_trap();
    return;
  }
  if (!share::DecodeAnswer(body, &a) || share::EncodeAnswer(a) != encoded) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  // The first byte splits the feed, as reads of any size would.
  const std::size_t cut = size > 0 ? data[0] % (size + 1) : 0;
  share::Framer framer;
  framer.Feed(bytes, cut);
  framer.Feed(bytes + cut, size - cut);
  std::string body;
  while (framer.Next(&body)) {
    share::Request q;
    if (share::DecodeRequest(body, &q)) RoundTrip(share::EncodeRequest(q));
    share::Answer a;
    if (share::DecodeAnswer(body, &a)) RoundTrip(share::EncodeAnswer(a));
  }
  // The whole input as one body, too.
  share::Request q;
  if (share::DecodeRequest(std::string_view(bytes, size), &q)) RoundTrip(share::EncodeRequest(q));
  share::Answer a;
  if (share::DecodeAnswer(std::string_view(bytes, size), &a)) RoundTrip(share::EncodeAnswer(a));
  return 0;
}
