// The share socket's decoders on arbitrary bytes, cut into bodies by the
// framer as the server and the client cut their streams. Whatever decodes
// must encode within the message bound and decode again to the same bytes;
// no write that decodes waits longer than the console's own writes. The
// same bytes as a holder's folder, socket and peer: a holder is trusted only
// when each of them is root's, this user's or the service user's, and no
// stranger may write its folder.

#include <cstdint>
#include <string>

#include <sys/stat.h>

#include "session/ShareCodec.h"
#include "session/UnitLock.h"

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

std::uint32_t Word(const std::uint8_t* data, std::size_t size, std::size_t at) {
  std::uint32_t w = 0;
  for (std::size_t k = 0; k < 4; ++k) w = (w << 8) | (at + k < size ? data[at + k] : 0);
  return w;
}

// Uids and modes near the ones that matter: root, self, service, strangers.
void JudgeFacts(const std::uint8_t* data, std::size_t size) {
  constexpr uid_t kSelf = 1000, kService = 998;
  const uid_t uids[] = {0, kSelf, kService, 1001, 65534, static_cast<uid_t>(-1)};
  const auto uid = [&](std::size_t at) { return uids[Word(data, size, at) % 6]; };
  const mode_t types[] = {S_IFDIR, S_IFSOCK, S_IFREG, S_IFLNK};
  HolderFacts f;
  f.folder_uid = uid(0);
  f.folder_mode = types[Word(data, size, 4) % 4] | (Word(data, size, 8) & 07777);
  f.socket_uid = uid(12);
  f.socket_mode = types[Word(data, size, 16) % 4] | (Word(data, size, 20) & 07777);
  f.peer_known = (Word(data, size, 24) & 1) != 0;
  f.peer_uid = uid(28);
  f.peer_pid = static_cast<pid_t>(Word(data, size, 32) & 0xFFFF);
  const uid_t service = (Word(data, size, 36) & 1) ? kService : static_cast<uid_t>(-1);
  const auto trusted = [&](uid_t u) { return u == 0 || u == kSelf || (service != static_cast<uid_t>(-1) && u == service); };
  const std::string why = JudgeHolder("/run/norvo/x.sock", f, kSelf, service);
  const bool sound = S_ISDIR(f.folder_mode) && (f.folder_mode & 022) == 0 && trusted(f.folder_uid) &&
                     S_ISSOCK(f.socket_mode) && trusted(f.socket_uid) && (!f.peer_known || trusted(f.peer_uid));
  if (why.empty() != sound) __builtin_trap();
  // A refusal names the socket or its folder.
  if (!why.empty() && why.find("/run/norvo") == std::string::npos) __builtin_trap();
}

void CheckBounds(const share::Request& q) {
  const bool valid = std::visit([](const auto& o) { return Valid(o); }, q.op);
  if (!valid) __builtin_trap();
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
  JudgeFacts(data, size);
  while (framer.Next(&body)) {
    share::Request q;
    if (share::DecodeRequest(body, &q)) {
      CheckBounds(q);
      RoundTrip(share::EncodeRequest(q));
    }
    share::Answer a;
    if (share::DecodeAnswer(body, &a)) RoundTrip(share::EncodeAnswer(a));
  }
  // The whole input as one body, too.
  share::Request q;
  if (share::DecodeRequest(std::string_view(bytes, size), &q)) {
    CheckBounds(q);
    RoundTrip(share::EncodeRequest(q));
  }
  share::Answer a;
  if (share::DecodeAnswer(std::string_view(bytes, size), &a)) RoundTrip(share::EncodeAnswer(a));
  return 0;
}
