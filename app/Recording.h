#pragma once
// The console records the answered polls of the unit it holds, as serve
// does, into the live tables of its data folder's record store: through
// serve's writer (a thread of its own, a bounded queue that keeps what the
// store refuses), never on the user-interface thread. A console attached to
// another holder records nothing; the holder does. The switch is the
// [Recording] section's Enabled key of Main.ini (1 unless it says 0).

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "device/Transport.h"
#include "logger/LiveWriter.h"
#include "session/PollingWorker.h"

namespace norvo {

bool ReadRecordingSetting(const std::filesystem::path& data_folder);
bool WriteRecordingSetting(const std::filesystem::path& data_folder, bool on);

class ConsoleRecorder {
 public:
  // device_path: the interface this process holds (any thread).
  ConsoleRecorder(Transport& transport, std::function<std::string()> device_path, const std::filesystem::path& data_folder);
  // Writes what is queued, then ends the writer.
  ~ConsoleRecorder();
  ConsoleRecorder(const ConsoleRecorder&) = delete;
  ConsoleRecorder& operator=(const ConsoleRecorder&) = delete;

  // Polling worker's thread: one answered poll of the unit this process holds.
  void Record(const PollSnapshot& snapshot);

  std::uint64_t Written() const { return writer_.Written(); }
  // The name the held unit was last recorded under ("" before a poll).
  std::string LastName() const;
  // The last thing the writer had to say ("" while all is well).
  std::string Note() const;
  // Why polls are not going into the store: the writer's last note while it
  // is a warning or an error (it notes when the store takes polls again),
  // or why the store could not be opened; "" while polls go in.
  std::string Trouble() const;

 private:
  std::string NameFor(std::uint64_t connection);  // worker thread only

  Transport& transport_;
  std::function<std::string()> device_path_;
  logger::LiveWriter writer_;
  std::thread starter_;  // opens (and migrates) the store off the user-interface thread
  std::uint64_t named_connection_ = 0;  // worker thread only
  std::string name_;                    // worker thread only
  mutable std::mutex note_mutex_;  // guards note_ and last_name_
  std::string note_;
  std::string last_name_;
};

}  // namespace norvo
