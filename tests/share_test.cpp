// One unit shared by two processes: the owner's session offered on its
// socket, a second SharedUnit attached through it, raw clients that stall,
// send garbage or lack the credentials, and the takeover when the owner
// ends. Two sessions in one process contend for the per-unit lock like two
// processes (flock conflicts between open file descriptions).

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "device/Frames.h"
#include "session/ShareCodec.h"
#include "session/UnitLock.h"
#include "session/SharedUnit.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using namespace std::chrono_literals;
using testing::WaitUntil;

std::string Framed(const std::string& body) {
  std::string out(4, '\0');
  for (int k = 0; k < 4; ++k) out[k] = static_cast<char>(body.size() >> (8 * k));
  return out + body;
}

std::string Body(const share::Request& q) { return share::EncodeRequest(q).substr(share::kLengthBytes); }

// A client that speaks the bytes it is given, as a foreign process would.
struct RawClient {
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  explicit RawClient(const fs::path& path) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strcpy(a.sun_path, path.c_str());
    connected = ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    timeval limit{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  ~RawClient() { ::close(fd); }
  void Send(const std::string& bytes) { ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL), (ssize_t)bytes.size()); }
  // The kinds of the messages that came before the owner closed (or the wait ran out: "timeout").
  std::string Heard(const std::string& until = "16 ") {
    share::Framer framer;
    std::string kinds, body;
    for (;;) {
      char chunk[4096];
      const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
      // Closed with our bytes unread: the end comes as a reset.
      if (n < 0) return kinds + (errno == ECONNRESET ? "end" : "timeout");
      if (n == 0) return kinds + "end";
      framer.Feed(chunk, n);
      while (framer.Next(&body)) kinds += std::to_string(static_cast<int>(body[0])) + " ";
      if (kinds.find(until) != std::string::npos) return kinds;  // a state answer, or what was asked
    }
  }
  bool connected = false;
};

struct ShareFixture : ::testing::Test, testing::SimRig {
  ShareFixture() : SimRig({.eight_area = true, .pacing = true, .seed = 7, .default_card = false}, 0.2) {}
  testing::TempFolder temp{"norvo-share"};
  const fs::path folder = temp.path;
  std::unique_ptr<SharedUnit> owner, attached;
  std::atomic<int> attached_polls{0};
  std::atomic<bool> attached_live{false};

  void SetUp() override {
    owner = Make();
    attached = Make();
    ASSERT_EQ(owner->Open(), OpenState::kOpened);
    owner->StartPolling(nullptr, nullptr, 2ms);
    ASSERT_EQ(attached->Open(), OpenState::kOpened) << attached->ShareError();
  }
  void TearDown() override {
    attached->Stop();
    owner->Stop();
  }
  std::unique_ptr<SharedUnit> Make() {
    UnitSession::Options options = UnitSession::SessionOptions(0.2);
    options.lock_folder = folder;
    return std::make_unique<SharedUnit>(transport, folder, options);
  }
  fs::path Socket() const { return ShareSocketPath(folder, "sim:unit"); }
  void PollAttached() {
    attached->StartPolling([this](const PollSnapshot& s) {
      attached_live.store(s.live_read);
      ++attached_polls;
    }, nullptr, 2ms);
  }
};

// Every call of the attached unit is answered by the owner's session, with
// what the unit did.
TEST_F(ShareFixture, AttachedUnitWorksThroughTheOwner) {
  EXPECT_EQ(owner->Via(), "");
  EXPECT_TRUE(attached->Attached());
  EXPECT_TRUE(attached->Connected());
  EXPECT_EQ(attached->State(), OpenState::kOpened);
  EXPECT_EQ(attached->Via(), "through share_test (process " + std::to_string(::getpid()) + ")");
  // A simulated unit has no node, so no group may reach it: owner and root only.
  EXPECT_EQ(fs::status(Socket()).permissions() & fs::perms::all, fs::perms(0600));

  EXPECT_TRUE(attached->ReadLive());
  EXPECT_TRUE(attached->ReadSettings());
  EXPECT_TRUE(attached->ReadAlarms());
  EXPECT_TRUE(attached->ReadCalibration());
  const auto interval = std::array<Payload, 1>{BuildCommandFrame(code::kSetInterval, std::array<std::uint8_t, 1>{30})};
  std::string block;
  EXPECT_EQ(attached->WriteVerified(interval, kIntervalWrite, &block), WriteOutcome::kWritten);
  EXPECT_EQ(unit.Interval(), 30);
  EXPECT_EQ(attached->Blocks().interval, 30);
  EXPECT_TRUE(attached->PollOnce().live_read);

  // A file longer than one range answer is read in pieces, byte-exact.
  const std::string log = sim::MakeLogFile(false, 1500);
  ASSERT_GT(log.size(), static_cast<std::size_t>(kMaxCardRange));
  unit.SetFiles({{"LOG1.TXT", log}, {"OLD.TXT", "x\n"}});
  unit.SetPacing(false);
  const CardList list = attached->ListCardFiles();
  EXPECT_TRUE(list.complete);
  EXPECT_EQ(list.SizeOf("LOG1.TXT"), static_cast<std::int64_t>(log.size()));
  std::string read;
  EXPECT_TRUE(attached->ReadCardRange("LOG1.TXT", 10, static_cast<std::int64_t>(log.size()), &read));
  EXPECT_EQ(read, log.substr(10));
  EXPECT_FALSE(attached->ReadCardRange(std::string(70, 'A'), 0, 10, &read));
  attached->DeleteCardFile("OLD.TXT");
  EXPECT_FALSE(unit.HasFile("OLD.TXT"));
  EXPECT_EQ(attached->ListCardFiles().SizeOf("OLD.TXT"), -1);

  // The owner's polls reach the subscriber.
  PollAttached();
  EXPECT_TRUE(WaitUntil([&] { return attached_polls.load() >= 2 && attached_live.load(); }));
  EXPECT_EQ(owner->Server()->Clients(), 1u);
}

// A client that never reads does not hold up the owner's polls and is
// dropped when its queue overflows; a malformed or oversized message closes
// only the client that sent it.
TEST_F(ShareFixture, StalledAndMalformedClientsAreClosedAlone) {
  RawClient stalled(Socket());
  ASSERT_TRUE(stalled.connected);
  share::Request subscribe;
  subscribe.kind = share::Kind::kSubscribe;
  stalled.Send(share::EncodeRequest(subscribe));
  ASSERT_TRUE(WaitUntil([&] { return owner->Server()->Clients() == 2; }));
  int before = owner->PollCount();
  EXPECT_TRUE(WaitUntil([&] { return owner->PollCount() >= before + 3; }));
  const PollSnapshot snapshot = owner->Blocks();
  for (int k = 0; k < 3000; ++k) owner->Server()->Publish(snapshot);  // returns: it never waits for a client
  EXPECT_TRUE(WaitUntil([&] { return owner->Server()->Clients() == 1; }));
  before = owner->PollCount();
  EXPECT_TRUE(WaitUntil([&] { return owner->PollCount() >= before + 3; }));

  share::Request state;
  state.kind = share::Kind::kState;
  const share::Request range = share::Operation(op::ReadCardRange{"", 0, kMaxCardRange});
  op::Write two_frames;
  two_frames.frames.resize(2);
  const share::Request write = share::Operation(two_frames);
  std::string too_far = Body(range), backwards = Body(range), long_name = Body(range);
  too_far[too_far.size() - 8] = 1;        // end one byte past the bound
  backwards.replace(backwards.size() - 16, 8, std::string("\0\0\x01\0\0\0\0\0", 8));  // start 65536
  long_name.replace(5, 2, std::string("\x41\0", 2) + std::string(65, 'A'));
  const struct {
    const char* what;
    std::string bytes;
    const char* heard;
  } rows[] = {
      {"a state request", share::EncodeRequest(state), "1 16 "},
      {"length 0", std::string(4, '\0'), "1 end"},
      {"length over 64 KiB", Framed(std::string(share::kMaxMessage + 1, '\x10')), "1 end"},
      {"unknown kind", Framed(std::string("\x7f\0\0\0\0", 5)), "1 end"},
      {"an answer kind", Framed(std::string("\x01\0\0\0\0", 5)), "1 end"},
      {"a byte left over", Framed(Body(state) + "x"), "1 end"},
      {"frames missing", Framed(Body(write).substr(0, Body(write).size() - 64)), "1 end"},
      {"range over the bound", Framed(too_far), "1 end"},
      {"range backwards", Framed(backwards), "1 end"},
      {"name over its bound", Framed(long_name), "1 end"},
  };
  for (const auto& row : rows) {
    RawClient client(Socket());
    ASSERT_TRUE(client.connected) << row.what;
    client.Send(row.bytes);
    EXPECT_EQ(client.Heard(), row.heard) << row.what;
  }
  EXPECT_TRUE(attached->ReadLive());
  EXPECT_EQ(owner->Server()->Clients(), 1u);
}

// The owner's polls while clients try to hold the unit or take every place:
// the longest gap between two polls, the most threads the process had.
struct PollWatch {
  static int Threads() { return static_cast<int>(std::distance(fs::directory_iterator("/proc/self/task"), {})); }
  explicit PollWatch(const SharedUnit& owner)
      : thread_([this, &owner] {
          int polls = owner.PollCount();
          auto last = std::chrono::steady_clock::now();
          while (!stop_.load()) {
            std::this_thread::sleep_for(1ms);  // a sampling period, not a wait for an event
            const auto now = std::chrono::steady_clock::now();
            if (const int n = owner.PollCount(); n != polls) polls = n, last = now;
            gap_ms_.store(std::max<long>(gap_ms_.load(), std::chrono::duration_cast<std::chrono::milliseconds>(now - last).count()));
            peak_threads_.store(std::max(peak_threads_.load(), Threads()));
          }
        }) {}
  ~PollWatch() {
    stop_.store(true);
    thread_.join();
  }
  std::atomic<bool> stop_{false};
  std::atomic<long> gap_ms_{0};
  std::atomic<int> peak_threads_{0};
  std::thread thread_;
};

share::Request WriteRequest(int first_wait_ms, int closing_wait_ms) {
  return share::Operation(op::Write{{first_wait_ms, closing_wait_ms, true},
                                    {BuildCommandFrame(code::kSetInterval, std::array<std::uint8_t, 1>{30})}});
}

// No client holds the unit longer than the console's own longest write, a
// request whose client has gone is dropped, requests still running count
// against the 16 places, and silent or half-sent connections give their
// place back within seconds; the owner's polls wait behind one client
// sequence at most.
TEST_F(ShareFixture, ClientsCannotStallTheUnitOrHoldItsPlaces) {
  share::Request state;
  state.kind = share::Kind::kState;
  const std::string longest = share::EncodeRequest(WriteRequest(kMaxFirstWaitMs, kMaxClosingWaitMs));
  // One client sequence at this time scale (the write's waits, the
  // permission's), and a poll's worth on top.
  const auto one_sequence =
      std::chrono::milliseconds(static_cast<int>(0.2 * (kMaxFirstWaitMs + kMaxClosingWaitMs + kPermissionWaitMs))) +
      1500ms * testing::kSlowdown;
  const int threads_before = PollWatch::Threads();
  const struct {
    const char* what;
    std::function<void()> run;
  } rows[] = {
      {"a write with waits over the console's is refused",
       [&] {
         RawClient client(Socket());
         client.Send(share::EncodeRequest(WriteRequest(600000, 600000)));
         EXPECT_EQ(client.Heard(), "1 end");
         EXPECT_NE(unit.Interval(), 30);
       }},
      {"a write with the console's longest waits is served",
       [&] {
         RawClient client(Socket());
         client.Send(longest);
         EXPECT_EQ(client.Heard("23 "), "1 23 ");
       }},
      {"100 rounds of connect, send a write, close",
       [&] {
         for (int k = 0; k < 100; ++k) {
           RawClient client(Socket());
           if (client.connected) ::send(client.fd, longest.data(), longest.size(), MSG_NOSIGNAL);
         }
       }},
      {"16 idle connections give their places back",
       [&] {
         std::vector<std::unique_ptr<RawClient>> idle;
         for (int k = 0; k < 16; ++k) idle.push_back(std::make_unique<RawClient>(Socket()));
         // Their places come back once the owner has closed them.
         EXPECT_TRUE(WaitUntil([&] {
           RawClient client(Socket());
           const std::string bytes = share::EncodeRequest(state);
           // Refused while full: closed at once, the send may fail.
           ::send(client.fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
           return client.Heard() == "1 16 ";
         }));
       }},
      {"a half-sent message is closed",
       [&] {
         RawClient client(Socket());
         client.Send(share::EncodeRequest(state).substr(0, 6));
         EXPECT_EQ(client.Heard(), "1 end");
       }},
  };
  for (const auto& row : rows) {
    PollWatch watch(*owner);
    row.run();
    // The unit is the attached process's again, and the owner polls on.
    EXPECT_TRUE(attached->ReadLive()) << row.what;
    const int polls = owner->PollCount();
    EXPECT_TRUE(WaitUntil([&] { return owner->PollCount() >= polls + 2; })) << row.what;
    EXPECT_LT(watch.gap_ms_.load(), one_sequence.count()) << row.what;
    EXPECT_LE(watch.peak_threads_.load(), threads_before + 16 + 1) << row.what;
    std::printf("%s: longest gap in the owner's polls %ld ms, threads %d (before %d)\n", row.what,
                watch.gap_ms_.load(), watch.peak_threads_.load(), threads_before);
  }
  EXPECT_TRUE(WaitUntil([&] { return owner->Server()->Clients() == 1; }));
}

// Only root, the owner's user and the device's group get in; the socket's
// mode already keeps the others out, the credentials check stands alone.
TEST_F(ShareFixture, PeerWithoutCredentialsIsClosedAtOnce) {
  if (::geteuid() != 0) GTEST_SKIP() << "changing to another user needs root";
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(Socket().c_str(), 0666), 0);
  const pid_t child = ::fork();
  if (child == 0) {
    // nobody, nogroup: none of the three.
    if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0) ::_exit(2);
    RawClient client(Socket());
    if (!client.connected) ::_exit(3);
    char byte;
    ::_exit(::recv(client.fd, &byte, 1, 0) == 0 ? 0 : 1);  // closed before the hello
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit " << WEXITSTATUS(status);
  RawClient root(Socket());
  share::Request state;
  state.kind = share::Kind::kState;
  root.Send(share::EncodeRequest(state));
  EXPECT_EQ(root.Heard(), "1 16 ");
}

// A unit with a node is locked on the node itself: no lock file is made, the
// holder is named from the kernel's lock table, and the socket gets the
// node's group (here root's) without a chown.
TEST(NodeLockTest, TheUnitsNodeIsItsLock) {
  testing::TempFolder folder("norvo-node");
  testing::SimRig rig({.seed = 5}, 0.05, "/dev/null");
  UnitSession::Options options = UnitSession::SessionOptions(0.05);
  options.lock_folder = folder.path;
  SharedUnit owner(rig.transport, folder.path, options);
  ASSERT_EQ(owner.Open(), OpenState::kOpened);
  EXPECT_FALSE(fs::exists(folder.path / UnitLockName("/dev/null")));
  const fs::path socket = ShareSocketPath(folder.path, "/dev/null");
  struct stat st {};
  ASSERT_EQ(::stat(socket.c_str(), &st), 0) << owner.ShareError();
  EXPECT_EQ(st.st_mode & 0777, st.st_gid == ShareGroup("/dev/null") ? 0660u : 0600u);
  UnitSession other(rig.transport, folder.path, options);
  EXPECT_EQ(other.Open(), OpenState::kInUse);
  EXPECT_EQ(other.StateMessage(), "unit in use by pid " + std::to_string(::getpid()));
  SharedUnit attached(rig.transport, folder.path, options);
  EXPECT_EQ(attached.Open(), OpenState::kOpened);
  EXPECT_TRUE(attached.Attached() && attached.ReadLive());
  attached.Stop();
  owner.Stop();
  EXPECT_EQ(other.Open(), OpenState::kOpened);
  other.Stop();
}

// ---- holders that are not to be trusted -------------------------------------------

// Not a test of its own: the holder HolderTrustTest starts as another user.
// It greets on NORVO_IMPOSTOR_SOCKET as an owner would and notes whether
// anybody sent it a byte; with NORVO_IMPOSTOR_REFUSE it closes every
// connection at once, as an owner that does not serve the peer.
TEST(ImpostorHelper, Serves) {
  const char* path = std::getenv("NORVO_IMPOSTOR_SOCKET");
  if (path == nullptr) GTEST_SKIP() << "started by HolderTrustTest as another user";
  const bool refuse = std::getenv("NORVO_IMPOSTOR_REFUSE") != nullptr;
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::chmod(path, 0666), 0);
  ASSERT_EQ(::listen(listener, 16), 0);
  std::ofstream(std::string(path) + ".ready") << "ready";
  for (;;) {
    const int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0) continue;
    if (refuse) {
      ::close(fd);
      continue;
    }
    share::Answer hello;
    hello.kind = share::Kind::kHello;
    hello.owner = {OpenState::kOpened, true, 0};
    hello.program = "impostor";
    const std::string bytes = share::EncodeAnswer(hello);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char byte;
    if (::recv(fd, &byte, 1, 0) > 0) std::ofstream(std::string(path) + ".spoken") << "spoken";
    ::close(fd);
  }
}

// A holder's socket planted by another user, or served by one, is never
// attached and never sent a byte: the unit is reported as held by an
// untrusted process, naming the socket and its owner, and once the true
// holder lets go this process takes the unit itself. The service that does
// not serve this user is named with what to do.
TEST(HolderTrustTest, StrangersAreRefusedAndTheServiceIsNamed) {
  if (::geteuid() != 0) GTEST_SKIP() << "running a holder as another user needs root";
  if (testing::FindProgram("setpriv").empty()) GTEST_SKIP() << "setpriv (util-linux) is missing";
  constexpr uid_t kStranger = 65533;  // a uid no user has
  testing::TempFolder temp("norvo-trust");
  ASSERT_EQ(::chmod(temp.path.c_str(), 0755), 0);
  testing::SimRig rig({.seed = 3}, 0.05);
  const std::string name = UnitLockName("sim:unit") + ".sock";
  enum class Plant { kStrangerFolder, kMovedIn, kRootFileStrangerServer, kServiceRefuses };
  const struct {
    const char* what;
    Plant plant;
    std::string said;  // in the refused process's state message
  } rows[] = {
      {"the holder's folder is a stranger's", Plant::kStrangerFolder, "belongs to uid 65533 and is not used"},
      {"a stranger's socket moved into the holder's folder", Plant::kMovedIn,
       "unit held by an untrusted process: " + (temp.path / "holder2" / name).string() + " belongs to uid 65533"},
      {"a root-owned socket served by a stranger", Plant::kRootFileStrangerServer, "of uid 65533"},
      {"the service that does not serve this user", Plant::kServiceRefuses,
       "unit held by the logging service (norvo-logger), which serves only the group nogroup: join that group and "
       "log in again, or read the service's readings with `norvoctl export --live`"},
  };
  int k = 0;
  for (const auto& row : rows) {
    ++k;
    const fs::path own = temp.path / ("stranger" + std::to_string(k)), holder = temp.path / ("holder" + std::to_string(k));
    const bool service = row.plant == Plant::kServiceRefuses;
    const uid_t user = service ? 65534 : kStranger;
    fs::create_directory(own);
    fs::create_directory(holder);
    ASSERT_EQ(::chown(own.c_str(), user, user), 0);
    ASSERT_EQ(::chmod(own.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(holder.c_str(), 0755), 0);
    std::vector<std::string> env = {"NORVO_IMPOSTOR_SOCKET=" + (own / name).string()};
    if (service) env.push_back("NORVO_IMPOSTOR_REFUSE=1");
    testing::Child impostor = testing::Spawn(
        {"setpriv", "--reuid=" + std::to_string(user), "--regid=" + std::to_string(user), "--clear-groups",
         fs::read_symlink("/proc/self/exe").string(), "--gtest_filter=ImpostorHelper.Serves"},
        {.env = env});
    ASSERT_TRUE(WaitUntil([&] { return fs::exists(own / (name + ".ready")); })) << row.what;
    testing::ScopedEnv runtime("NORVO_RUNTIME_DIR", service ? holder.c_str() : nullptr);
    testing::ScopedEnv service_user("NORVO_SERVICE_USER", service ? "nobody" : nullptr);

    // The true holder: a session that holds the unit's lock and offers nothing.
    UnitSession::Options options = UnitSession::SessionOptions(0.05);
    options.lock_folder = row.plant == Plant::kStrangerFolder ? own : holder;
    auto true_holder = std::make_unique<UnitSession>(rig.transport, temp.path, options);
    if (row.plant != Plant::kStrangerFolder) {
      ASSERT_EQ(true_holder->Open(), OpenState::kOpened) << row.what;
      ASSERT_EQ(::rename((own / name).c_str(), (holder / name).c_str()), 0) << row.what;
      if (row.plant == Plant::kRootFileStrangerServer) {
        ASSERT_EQ(::lchown((holder / name).c_str(), 0, 0), 0);
      }
    }
    SharedUnit client(rig.transport, temp.path, options);
    EXPECT_EQ(client.Open(), OpenState::kInUse) << row.what;
    EXPECT_FALSE(client.Attached()) << row.what;
    EXPECT_FALSE(client.Connected()) << row.what;
    EXPECT_NE(client.StateMessage().find(row.said), std::string::npos) << row.what << ": " << client.StateMessage();
    EXPECT_FALSE(fs::exists(own / (name + ".spoken"))) << row.what;
    EXPECT_FALSE(fs::exists(holder / (name + ".spoken"))) << row.what;
    // The true holder ends: the unit is this process's, on its own socket.
    true_holder->Stop();
    if (row.plant != Plant::kStrangerFolder) {
      EXPECT_EQ(client.Open(), OpenState::kOpened) << row.what << ": " << client.StateMessage();
      EXPECT_TRUE(client.ReadLive()) << row.what;
      EXPECT_NE(client.Blocks().live.temperature[0], 42.0f) << row.what;
      EXPECT_TRUE(client.Server() != nullptr) << row.what << ": " << client.ShareError();
    }
    client.Stop();
    ::kill(impostor.pid, SIGKILL);
    testing::Finish(impostor);
  }
}

// The owner ends: the attached unit takes the unit over, offers it itself
// and its polling goes on from its own poller.
TEST_F(ShareFixture, AttachedUnitTakesOverWhenTheOwnerEnds) {
  PollAttached();
  ASSERT_TRUE(WaitUntil([&] { return attached_polls.load() >= 1; }));
  owner->Stop();
  EXPECT_TRUE(WaitUntil([&] { return !attached->Attached() && attached->Connected() && attached->Server(); }));
  EXPECT_EQ(attached->Via(), "");
  const int polls = attached_polls.load();
  EXPECT_TRUE(WaitUntil([&] { return attached_polls.load() >= polls + 2 && attached->Local().PollCount() >= 2; }));
  EXPECT_GE(attached->PollCount(), polls + 2);
  EXPECT_TRUE(fs::exists(Socket()));  // the new owner's, not removed by the old one
  std::unique_ptr<SharedUnit> third = Make();
  EXPECT_EQ(third->Open(), OpenState::kOpened);
  EXPECT_TRUE(third->Attached() && third->ReadLive());
  third->Stop();
}

std::string Hex(const std::string& bytes) {
  std::string out;
  char two[3];
  for (unsigned char c : bytes) {
    std::snprintf(two, sizeof two, "%02x", c);
    out += two;
  }
  return out;
}

// Version 1 of the socket protocol, byte for byte: a process of another
// release that speaks version 1 is understood as long as these hold. A
// change here is a new version, which the attaching side names.
TEST(ShareCodecTest, VersionOneBytesArePinned) {
  Payload frame{};
  frame[0] = '{';
  frame[1] = 0x0A;
  const struct {
    share::Request request;
    const char* hex;
  } requests[] = {
      {{share::Kind::kState, 7, {}}, "050000001007000000"},
      {{share::Kind::kSubscribe, 8, {}}, "050000001c08000000"},
      {share::Operation(op::PollOnce{}), "050000001100000000"},
      {share::Operation(op::ReadSettings{}), "050000001300000000"},
      {share::Operation(op::WriteVerified{kIntervalWrite, {frame}}), "500000001800000000e8030000e80300000001007b0a0000000000000000000000000000000000000000000000000000000000000000000000000000"},
      {share::Operation(op::ReadCardRange{"LOG0001.CSV", 4096, 8192}), "220000001a000000000b004c4f47303030312e43535600100000000000000020000000000000"},
      {share::Operation(op::DeleteCardFile{"LOG0001.CSV"}), "120000001b000000000b004c4f47303030312e435356"},
  };
  for (const auto& r : requests) {
    const std::string bytes = share::EncodeRequest(r.request);
    EXPECT_EQ(Hex(bytes).substr(0, 120), r.hex);
    share::Request back;
    ASSERT_TRUE(share::DecodeRequest(std::string_view(bytes).substr(share::kLengthBytes), &back));
    EXPECT_EQ(share::EncodeRequest(back), bytes);
  }
  share::Answer hello;
  hello.owner = {OpenState::kOpened, true, 1};
  hello.pid = 4242;
  hello.program = "norvo";
  EXPECT_EQ(Hex(share::EncodeAnswer(hello)), "20000000010000000001010100000001009210000005006e6f72766f000000000000f03f");
}

// A holder of another version of the protocol is refused by name: its
// hello says the version, and nothing else of it is read.
TEST(ShareCodecTest, AHolderOfAnotherVersionIsNamed) {
  testing::TempFolder folder("norvo-version");
  const fs::path path = folder.path / "unit.sock";
  const int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un a{};
  a.sun_family = AF_UNIX;
  std::strcpy(a.sun_path, path.c_str());
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(listener, 1), 0);
  std::thread holder([listener] {
    const int fd = ::accept(listener, nullptr, nullptr);
    share::Answer hello;
    hello.version = 2;
    hello.owner = {OpenState::kOpened, true, 0};
    hello.program = "norvo";
    const std::string bytes = share::EncodeAnswer(hello);
    ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    char byte;
    while (::recv(fd, &byte, 1, 0) > 0) {
    }
    ::close(fd);
  });
  RemoteUnit remote;
  std::string error;
  EXPECT_FALSE(remote.Connect(path, &error));
  EXPECT_EQ(error, path.string() + ": the holder speaks version 2 of the share protocol, this program version 1");
  remote.Stop();
  holder.join();
  ::close(listener);
}

// Bounds the encoder keeps: a list entry that would not fit leaves the list
// incomplete rather than wrong; a snapshot comes back as it went.
TEST(ShareCodecTest, BoundsAndRoundTrip) {
  share::Answer list;
  list.kind = share::KindOf(op::ListCardFiles{});
  list.result = Reply<op::ListCardFiles>{{{{"A.TXT", 10}, {std::string(65, 'B'), 20}}, true}};
  share::Answer back;
  const std::string bytes = share::EncodeAnswer(list);
  ASSERT_TRUE(share::DecodeAnswer(std::string_view(bytes).substr(4), &back));
  const CardList& listed = std::get<Reply<op::ListCardFiles>>(back.result).value;
  EXPECT_FALSE(listed.complete);
  ASSERT_EQ(listed.files.size(), 1u);
  EXPECT_EQ(listed.SizeOf("A.TXT"), 10);

  share::Answer polled;
  polled.kind = share::Kind::kPolled;
  polled.snapshot.live.temperature[2] = -12.5f;
  polled.snapshot.settings[5] = 9;
  polled.snapshot.identification = "NV-8";
  polled.snapshot.live_read = true;
  polled.snapshot.time = std::chrono::system_clock::now();
  const std::string sent = share::EncodeAnswer(polled);
  ASSERT_TRUE(share::DecodeAnswer(std::string_view(sent).substr(4), &back));
  EXPECT_EQ(share::EncodeAnswer(back), sent);
  EXPECT_EQ(back.snapshot.time, polled.snapshot.time);
  polled.snapshot.live.humidity[0] = 150;  // no decoder leaves that
  const std::string bad = share::EncodeAnswer(polled);
  EXPECT_FALSE(share::DecodeAnswer(std::string_view(bad).substr(4), &back));
}

}  // namespace
}  // namespace norvo
