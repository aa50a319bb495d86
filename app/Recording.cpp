#include "Recording.h"

#include <utility>

#include "logger/Notify.h"
#include "logger/UnitIdentity.h"
#include "logger/UnitStatus.h"
#include "settings/DataFolder.h"
#include "settings/Ini.h"

namespace norvo {

namespace {
constexpr const char* kSection = "Recording";
constexpr const char* kKey = "Enabled";
}  // namespace

bool ReadRecordingSetting(const std::filesystem::path& data_folder) {
  return ReadIniValue(data_folder / kSettingsFile, kSection, kKey, "1") != "0";
}

bool WriteRecordingSetting(const std::filesystem::path& data_folder, bool on) {
  return WriteIniValue(data_folder / kSettingsFile, kSection, kKey, on ? "1" : "0");
}

ConsoleRecorder::ConsoleRecorder(Transport& transport, std::function<std::string()> device_path,
                                 const std::filesystem::path& data_folder)
    : transport_(transport),
      device_path_(std::move(device_path)),
      writer_((data_folder / kDatabaseFile).string(), 0, [](const std::string&, std::uint64_t) {},
              [this](const std::string& message) {
                std::lock_guard lock(note_mutex_);
                note_ = message;
              }) {
  // Polls pushed before the store is open wait in the writer's queue.
  starter_ = std::thread([this] {
    std::string error;
    if (!writer_.Start(&error)) {
      std::lock_guard lock(note_mutex_);
      note_ = error;
    }
  });
}

ConsoleRecorder::~ConsoleRecorder() {
  if (starter_.joinable()) starter_.join();
  writer_.Stop();
}

std::string ConsoleRecorder::LastName() const {
  std::lock_guard lock(note_mutex_);
  return last_name_;
}

namespace {
// A note's journal priority ("<4>" before it; a warning when none) and its
// text without it: the prefix means nothing in a window.
std::pair<char, std::string> SplitNote(const std::string& note) {
  if (note.size() > 3 && note[0] == '<' && note[2] == '>') return {note[1], note.substr(3)};
  return {logger::kWarning[1], note};
}
}  // namespace

std::string ConsoleRecorder::Note() const {
  std::lock_guard lock(note_mutex_);
  return SplitNote(note_).second;
}

std::string ConsoleRecorder::Trouble() const {
  std::lock_guard lock(note_mutex_);
  const auto [priority, text] = SplitNote(note_);
  return priority <= logger::kWarning[1] ? text : std::string();
}

// The name serve gives the same unit, so that both record one history.
std::string ConsoleRecorder::NameFor(std::uint64_t connection) {
  if (connection == named_connection_ && !name_.empty()) return name_;
  const std::string path = device_path_();
  name_ = path;
  for (const logger::NamedUnit& u : logger::NameUnits(transport_.Enumerate(), logger::UdevIdPath)) {
    if (u.info.path == path) name_ = u.name;
  }
  named_connection_ = connection;
  std::lock_guard lock(note_mutex_);
  last_name_ = name_;
  return name_;
}

void ConsoleRecorder::Record(const PollSnapshot& snapshot) {
  if (!snapshot.live_read) return;
  writer_.Push(logger::ToLivePoll(snapshot, NameFor(snapshot.connection)));
}

}  // namespace norvo
