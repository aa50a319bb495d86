#pragma once
// What the tests share, without Qt: temporary folders, whole files, bounded
// waits, child processes, environment variables for one scope, and a
// simulated unit on a transport of its own.

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "sim/SimTransport.h"
#include "sim/SimUnit.h"

namespace norvo::testing {

using namespace std::chrono_literals;

// Sanitizer builds run several times slower: waits for events stretch with them.
#if defined(__SANITIZE_THREAD__)
constexpr int kSlowdown = 10;
#elif defined(__SANITIZE_ADDRESS__)
constexpr int kSlowdown = 3;
#else
constexpr int kSlowdown = 1;
#endif

// A new, empty folder under the temporary directory, removed with its contents at the end.
struct TempFolder {
  explicit TempFolder(const std::string& prefix = "norvo-test");
  ~TempFolder();
  const std::filesystem::path path;
};

// The whole file, byte for byte ("" when it cannot be read); WriteFile replaces it.
std::string ReadFile(const std::filesystem::path& path);
bool WriteFile(const std::filesystem::path& path, const std::string& text);
// Card text as its local copy holds it: every line feed as CR LF.
std::string TextMode(const std::string& card);
// A program on PATH, in /usr/sbin (where Debian puts mosquitto) or /usr/bin; "" when missing.
std::string FindProgram(const std::string& name);

// Asks pred every few milliseconds until it holds; false when it still does
// not at the deadline.
bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds limit = 15s);

// ---- child processes: argv[0] a path or a name on PATH ----------------------------

// An empty out or err is a pipe of ours, read by Collect.
struct SpawnOptions {
  std::vector<std::string> env = {};  // NAME=VALUE, over this process's environment
  std::filesystem::path in = "/dev/null", out = {}, err = {};
  int out_fd = -1;  // standard output onto this descriptor instead
  int pending_signal = 0;  // sent before the exec, blocked: it waits for the program to unblock it
};
struct Child {
  pid_t pid = -1;
  int out = -1, err = -1;  // read ends of the pipes, -1 for none
};
// status: the exit code, -1 when a signal ended the child (signal names it).
struct Result {
  int status = -1;
  int signal = 0;
  std::string out, err;
};

Child Spawn(const std::vector<std::string>& argv, const SpawnOptions& options = {});
// Reads both pipes as they fill (neither can block the other) until `until`
// shows in the output, both pipes end, or limit passes.
bool Collect(Child& child, Result& result, const std::string& until = "",
             std::chrono::milliseconds limit = 120s * kSlowdown);
// The rest of the output and the end; a child still running at the deadline is killed.
Result Finish(Child& child, Result result = {}, std::chrono::milliseconds limit = 120s * kSlowdown);
Result RunProgram(const std::vector<std::string>& argv, const SpawnOptions& options = {},
                  std::chrono::milliseconds limit = 120s * kSlowdown);

// Sets (nullptr: removes) an environment variable for the scope, then puts
// back what was there. A change of TZ takes effect at once (tzset).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value);
  ~ScopedEnv();
  void Set(const char* value);

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// One simulated unit on a transport of its own, its delays scaled like a
// link's waits.
struct SimRig {
  explicit SimRig(sim::SimUnit::Options options, double time_scale = 1.0, std::string path = "sim:unit")
      : unit(options), unit_path(std::move(path)) {
    unit.SetTimeScale(time_scale);
    transport.AddUnit(&unit, unit_path);
  }
  sim::SimUnit unit;
  sim::SimTransport transport;
  const std::string unit_path;
};

}  // namespace norvo::testing
