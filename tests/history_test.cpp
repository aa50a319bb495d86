// The card reader and the download loop against the simulated unit, the time-field parser and the
// log-file import into a real store.

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <fcntl.h>

#include <atomic>
#include <csignal>
#include <functional>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "device/Card.h"
#include "device/CardReader.h"
#include "device/Exchange.h"
#include "device/Frames.h"
#include "history/Import.h"
#include "store/TimeText.h"
#include "history/Transfer.h"
#include "res/Strings.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "store/OleDate.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using testing::ReadFile;
using testing::TextMode;
using testing::WriteFile;

Payload Report(const std::string& text) {
  Payload p{};
  std::copy_n(text.begin(), std::min(text.size(), p.size()), p.begin());
  return p;
}

// The download loop the console and norvoctl run, over the card reader the
// session runs it with.
DownloadOutcome DownloadThrough(CardReader& reader, const fs::path& folder, const std::string& name, int date_format,
                                const DownloadHooks& hooks, const std::atomic<bool>* cancel) {
  DownloadJob job;
  job.data_folder = folder;
  job.name = name;
  job.total = reader.SizeOf(name);
  job.date_format = date_format;
  job.read = [&reader, name](std::int64_t start, std::int64_t end, std::string* into) {
    return reader.ReadRange(name, start, end, into);
  };
  job.hooks = hooks;
  job.cancel = cancel;
  return DownloadToLocalCopy(job);
}

struct TransferFixture : ::testing::Test, testing::SimRig {
  // The unit's answer delays shrink with the link's waits (5 %), as a real
  // unit's stand to the real waits.
  TransferFixture() : SimRig({.eight_area = true, .pacing = false, .seed = 2, .default_card = false}, 0.05) {}
  testing::TempFolder temp;
  const fs::path root = temp.path;
  const fs::path folder = root / "Tarvik";
  DeviceLink link{transport};
  ResponseStore store;
  Dispatcher dispatcher{link, store};
  CardReader reader{link};
  DownloadHooks hooks;
  std::atomic<bool> cancel{false};

  void SetUp() override {
    fs::create_directories(folder);
    dispatcher.SetCardSink(&reader);
    dispatcher.SetListReceiver(true);
    link.SetReportHandler([this](const Payload& p, int n) { dispatcher.Dispatch(p, n); });
    link.SetTimeScale(0.05);
    ASSERT_EQ(link.OpenDevice(), 1);
  }
  void TearDown() override { link.Stop(); }

  void List() {
    reader.ClearList();
    reader.RequestFileList();
  }

  DownloadOutcome Download(const std::string& name, int date_format = -1) {
    return DownloadThrough(reader, folder, name, date_format, hooks, &cancel);
  }

  // The (start, end) of every read command the unit received.
  std::vector<std::pair<std::uint32_t, std::uint32_t>> Reads(const std::string& name) {
    std::vector<std::pair<std::uint32_t, std::uint32_t>> reads;
    for (const Payload& p : unit.Received()) {
      if (p[1] != code::kReadFile) continue;
      const std::size_t at = 2 + name.size();
      const auto be = [&](std::size_t i) {
        return std::uint32_t{p[i]} << 24 | std::uint32_t{p[i + 1]} << 16 | std::uint32_t{p[i + 2]} << 8 | p[i + 3];
      };
      reads.emplace_back(be(at), be(at + 4));
    }
    return reads;
  }
};

TEST_F(TransferFixture, ListEntriesSizesAndTheEndMarker) {
  std::string big(1048577, 'x');
  unit.SetFiles({{"LOG1.CSV", std::string(1048576, 'y')}, {"LOG2.CSV", big}, {"A.CSV", "abc"}});
  List();
  ASSERT_EQ(reader.Count(), 3);
  EXPECT_EQ(reader.Name(0), "LOG1.CSV");
  EXPECT_EQ(SizeText(static_cast<std::int32_t>(reader.SizeOf(reader.Name(0)))), "1024.00 KB");
  EXPECT_EQ(SizeText(static_cast<std::int32_t>(reader.SizeOf(reader.Name(1)))), "1.00 MB");
  EXPECT_EQ(SizeText(static_cast<std::int32_t>(reader.SizeOf(reader.Name(2)))), "0.00 KB");
  EXPECT_EQ(link.TheHandshake().Pending(), 0);

  // A reply without a comma is no entry; "{@}" later in a report is an entry.
  reader.ClearList();
  link.TheHandshake().Redirect(response::kFileList);
  dispatcher.Dispatch(Report("{NOCOMMA"), 64);
  dispatcher.Dispatch(Report(std::string("{X{@},\0\0\0\x05", 10)), 64);
  dispatcher.Dispatch(Report("{@}"), 64);
  ASSERT_EQ(reader.Count(), 1);
  EXPECT_EQ(reader.Name(0), "X{@}");
}

TEST_F(TransferFixture, MoreThanFiveHundredFilesFillTheTableAndNoMore) {
  std::vector<sim::CardFile> files;
  for (int i = 0; i < 600; ++i) {
    std::string name = "F";  // built by parts: GCC 12 at -O3 misreads "F" + std::string as an overlap
    name.append(std::to_string(i)).append(".CSV");
    files.push_back({name, "x"});
  }
  unit.SetFiles(files);
  link.SetTimeScale(1.0);  // 601 reports within the 2 s of the listing
  List();
  EXPECT_EQ(reader.Count(), 500);
  EXPECT_EQ(reader.Name(499), "F499.CSV");
  EXPECT_EQ(reader.Name(500), "");
}

TEST_F(TransferFixture, DownloadsInBlocksAndResumes) {
  std::string content;
  for (int i = 0; content.size() < 10000; ++i) content += "2026-12-07 10:" + std::to_string(i % 60) + ":00,23.5,45\n";
  content.resize(10000);
  unit.SetFiles({{"LOG1.CSV", content}, {"EMPTY.CSV", ""}});
  List();
  const DownloadOutcome done = Download("LOG1.CSV");
  EXPECT_EQ(done.status, DownloadStatus::kDone);
  EXPECT_EQ(Reads("LOG1.CSV"), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 4096}, {4096, 8192}, {8192, 10000}}));
  EXPECT_EQ(ReadFile(folder / "LOG1.CSV"), TextMode(content));
  EXPECT_EQ(link.TheHandshake().Pending(), 0);
  EXPECT_TRUE(link.TheHandshake().IsSet());

  // Complete copy: its last block is read again and compared, then one read
  // with start = end completes on the end marker alone.
  unit.ClearReceived();
  EXPECT_EQ(Download("LOG1.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(Reads("LOG1.CSV"), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{8192, 10000}, {10000, 10000}}));

  // Empty card file.
  unit.ClearReceived();
  EXPECT_EQ(Download("EMPTY.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(Reads("EMPTY.CSV"), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 0}}));
  EXPECT_EQ(ReadFile(folder / "EMPTY.CSV"), "");
}

TEST_F(TransferFixture, ResumeOffsetsFromTheCopyOnDisk) {
  std::string content;
  for (int i = 0; i < 40; ++i) content += std::string(99, 'a' + i % 26) + "\n";  // 4000 bytes
  unit.SetFiles({{"R.CSV", content}});
  List();
  // 3 lines, 303 bytes on disk: 300 card bytes.
  WriteFile(folder / "R.CSV", TextMode(content.substr(0, 300)));
  ASSERT_EQ(fs::file_size(folder / "R.CSV"), 303u);
  // 300 bytes held: [0, 300) is read again and compared, then the rest follows.
  EXPECT_EQ(Download("R.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(Reads("R.CSV"), (std::vector<std::pair<std::uint32_t, std::uint32_t>>{{0, 300}, {300, 4000}}));
  EXPECT_EQ(ReadFile(folder / "R.CSV"), TextMode(content));

  // Longer than the card file, or not its start: read afresh, with a notice.
  for (const std::string& copy : {TextMode(content) + "x", TextMode(content) + "xy", "zzz" + TextMode(content.substr(3, 500))}) {
    unit.ClearReceived();
    WriteFile(folder / "R.CSV", copy);
    const DownloadOutcome again = Download("R.CSV");
    EXPECT_EQ(again.status, DownloadStatus::kDone);
    EXPECT_NE(again.notice.find("does not match"), std::string::npos);
    EXPECT_EQ(Reads("R.CSV").back(), (std::pair<std::uint32_t, std::uint32_t>{0, 4000}));
    EXPECT_EQ(ReadFile(folder / "R.CSV"), TextMode(content));
  }
}

// A copy cut at every byte of its disk image (each CR of a CR LF pair, each
// block boundary) resumes to exactly the uninterrupted copy, at the cost of
// at most one extra block.
TEST_F(TransferFixture, ResumeFromEveryCutIsByteExact) {
  std::string card = "Time,Temperature(C),Humidity\n";
  card += "a\r\nb\rc\n\n";  // a CR LF in the card file itself, a lone CR, an empty line
  while (card.size() < 2 * card::kBlockSize + 5) card += "2026-12-07 10:00:00,23.5,45\n";
  card.resize(2 * card::kBlockSize + 5);
  card[card::kBlockSize - 1] = '\n';  // a line feed on each side of the first boundary
  card[card::kBlockSize] = '\n';
  unit.SetFiles({{"CUT.CSV", card}});
  List();
  const std::string whole = TextMode(card);
  std::vector<std::size_t> cuts;
  for (std::size_t i = 0; i < 40; ++i) cuts.push_back(i);
  for (std::size_t i = whole.size() - 40; i <= whole.size(); ++i) cuts.push_back(i);
  for (std::size_t i = 0; i < whole.size(); ++i) {
    if (whole[i] == '\r') cuts.push_back(i + 1);  // between the CR and what follows
  }
  for (std::size_t boundary : {card::kBlockSize, 2 * card::kBlockSize}) {
    const std::size_t disk = TextMode(card.substr(0, boundary)).size();
    for (std::size_t i = disk - 3; i <= disk + 3; ++i) cuts.push_back(i);
  }
  for (std::size_t cut : cuts) {
    WriteFile(folder / "CUT.CSV", whole.substr(0, cut));
    unit.ClearReceived();
    const DownloadOutcome resumed = Download("CUT.CSV");
    ASSERT_EQ(resumed.status, DownloadStatus::kDone) << cut;
    EXPECT_TRUE(resumed.notice.empty()) << cut;
    ASSERT_EQ(ReadFile(folder / "CUT.CSV"), whole) << "cut at " << cut;
    std::uint64_t asked = 0;
    for (const auto& [start, end] : Reads("CUT.CSV")) asked += end - start;
    EXPECT_LE(asked, card.size() + card::kBlockSize) << cut;
  }
}

TEST_F(TransferFixture, UnplugInTheMiddleOfABlockThenResumeGivesAnIdenticalCopy) {
  const std::string content = sim::MakeLogFile(false, 300);  // about 13 KB, lines cut by chunks
  unit.SetFiles({{"LOG9.CSV", content}});
  List();
  unit.SetUnplugAfterReports(100);  // inside the second block, in the middle of a line
  const DownloadOutcome cut = Download("LOG9.CSV");
  EXPECT_EQ(cut.status, DownloadStatus::kBlockFailed);
  const std::string partial = ReadFile(folder / "LOG9.CSV");
  EXPECT_LT(partial.size(), TextMode(content).size());
  EXPECT_EQ(partial, TextMode(content).substr(0, partial.size()));

  unit.Plug();
  ASSERT_EQ(link.OpenDevice(), 1);
  EXPECT_EQ(Download("LOG9.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(ReadFile(folder / "LOG9.CSV"), TextMode(content));
}

// A download that brings nothing new leaves the folder as it was: no empty
// copy where there was none, the old copy where there was one, no import.
TEST_F(TransferFixture, ADownloadThatYieldsNothingChangesNothing) {
  const std::string content = sim::MakeLogFile(false, 60);
  const std::string other = "Time,T(C),H\n2026-01-01 00:00:00,1,2\n";
  const struct {
    const char* what;
    const char* copy;  // nullptr: none
    int unplug_after;  // data reports before the unit goes
  } cases[] = {
      {"no copy, the unit gone", nullptr, 0},
      {"a whole copy, the unit gone", "whole", 0},
      {"a copy of another file: the check is answered, then the unit goes", "other", 1},
  };
  unit.SetFiles({{"G.CSV", content}});
  List();
  for (const auto& c : cases) {
    fs::remove(folder / "G.CSV");
    const std::string before = c.copy == nullptr ? "" : TextMode(std::string(c.copy) == "whole" ? content : other);
    if (c.copy != nullptr) WriteFile(folder / "G.CSV", before);
    unit.Plug();
    ASSERT_EQ(link.OpenDevice(), 1);
    unit.SetUnplugAfterReports(c.unplug_after);
    if (c.unplug_after == 0) unit.Unplug();
    const DownloadOutcome d = Download("G.CSV", 2);
    EXPECT_EQ(d.status, DownloadStatus::kBlockFailed) << c.what;
    EXPECT_EQ(d.written, 0) << c.what;
    EXPECT_FALSE(d.ImportFollows()) << c.what;
    EXPECT_EQ(fs::exists(folder / "G.CSV"), c.copy != nullptr) << c.what;
    if (c.copy != nullptr) {
      EXPECT_EQ(ReadFile(folder / "G.CSV"), before) << c.what;
    }
    EXPECT_FALSE(fs::exists(DateFormatNote(folder / "G.CSV"))) << c.what;
  }
  // Not listed: nothing is made either.
  fs::remove(folder / "G.CSV");
  EXPECT_EQ(Download("NOPE.CSV").status, DownloadStatus::kNotListed);
  EXPECT_FALSE(fs::exists(folder / "NOPE.CSV"));
}

TEST_F(TransferFixture, ShortBlockFailsAndKeepsWhatArrived) {
  const std::string content = sim::MakeLogFile(true, 200);
  unit.SetFiles({{"IN1.CSV", content}});
  List();
  unit.SetShortBlocks(1);
  const DownloadOutcome failed = Download("IN1.CSV");
  EXPECT_EQ(failed.status, DownloadStatus::kBlockFailed);
  EXPECT_EQ(link.TheHandshake().Pending(), 0);
  const std::string kept = ReadFile(folder / "IN1.CSV");
  EXPECT_FALSE(kept.empty());
  EXPECT_EQ(Download("IN1.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(ReadFile(folder / "IN1.CSV"), TextMode(content));
}

TEST_F(TransferFixture, ChunkFraming) {
  const struct {
    const char* report;
    const char* added;
  } cases[] = {{"{abc}xyz", "abc"}, {"ab{cd}", "abcd"}, {"{no closing brace", ""}, {"{}", ""},
               {"{a\nb}", "a\r\nb"}};
  unit.SetFiles({{"C.CSV", std::string(100, 'q')}});
  List();
  WriteFile(folder / "C.CSV", "");
  for (const auto& c : cases) {
    // A block that never ends: the reports below land in the open copy.
    unit.SetSilent(true);
    std::thread download([&] { Download("C.CSV"); });
    while (link.TheHandshake().Pending() != response::kFileData) std::this_thread::yield();
    const auto before = ReadFile(folder / "C.CSV").size();
    dispatcher.Dispatch(Report(c.report), 64);
    download.join();
    EXPECT_EQ(ReadFile(folder / "C.CSV").substr(before), c.added) << c.report;
    fs::remove(folder / "C.CSV");
    unit.SetSilent(false);
  }
}

TEST_F(TransferFixture, UnsafeNamesAreRefusedAndNothingOutsideTheFolderIsTouched) {
  WriteFile(root / "victim.txt", "keep me");
  const std::string names[] = {"../victim.txt", "/etc/passwd", "..\\victim.txt", "C:\\x.csv", "a/b.csv",
                               "LOG\x01.CSV",   "..",          std::string(60, 'N'), ""};
  for (const std::string& name : names) {
    const DownloadOutcome refused = Download(name);
    EXPECT_EQ(refused.status, DownloadStatus::kUnsafeName) << name;
    EXPECT_FALSE(refused.message.empty());
    EXPECT_FALSE(refused.ImportFollows());
  }
  EXPECT_EQ(ReadFile(root / "victim.txt"), "keep me");
  EXPECT_TRUE(fs::is_empty(folder));
  EXPECT_TRUE(Reads("").empty());
  EXPECT_EQ(UnsafeNameReason("LOG0001.CSV"), "");
  EXPECT_EQ(UnsafeNameReason(std::string(52, 'N')), "");

  // A name the list did not carry.
  const DownloadOutcome unlisted = Download("NOTLISTED.CSV");
  EXPECT_EQ(unlisted.status, DownloadStatus::kNotListed);
  EXPECT_EQ(unlisted.message, " m_FilenameSize Error.");
}

TEST_F(TransferFixture, DeleteSendsTheNameAndTheCardForgetsIt) {
  unit.SetFiles({{"LOG1.CSV", "x"}, {"LOG2.CSV", "y"}});
  reader.DeleteCardFile("LOG1.CSV");
  EXPECT_FALSE(unit.HasFile("LOG1.CSV"));
  EXPECT_TRUE(unit.HasFile("LOG2.CSV"));
  const Payload sent = unit.Received().back();
  EXPECT_EQ(sent, card::EncodeDeleteCommand("LOG1.CSV"));
  EXPECT_EQ(std::string(sent.begin() + 2, sent.begin() + 12), "LOG1.CSV@}");
  const Payload read = card::EncodeReadCommand("LOG1.CSV", 0x01020304, 0x0A0B0C0D);
  const std::uint8_t tail[] = {0x01, 0x02, 0x03, 0x04, 0x0A, 0x0B, 0x0C, 0x0D, 0x40, 0x7D, 0x00};
  EXPECT_TRUE(std::equal(std::begin(tail), std::end(tail), read.begin() + 10));
}

TEST(LogTime, EveryLayoutTheUnitWrites) {
  const double base = ToOleDate({2026, 12, 7, 0, 0, 0});
  const double h1430 = (14 * 3600 + 30 * 60 + 5) / 86400.0;
  const double h0230 = (2 * 3600 + 30 * 60 + 5) / 86400.0;
  const struct {
    const char* text;
    DayOrder order;
    double value;
  } cases[] = {
      {"2026-12-07 14:30:05", DayOrder::kMonthFirst, base + h1430},
      {"2026/12/07 2:30:05", DayOrder::kDayFirst, base + h0230},
      {"12-07-2026 14:30:05", DayOrder::kMonthFirst, base + h1430},
      {"07-12-2026 14:30:05", DayOrder::kDayFirst, base + h1430},
      {"13.12.2026 0:00:00", DayOrder::kDayFirst, ToOleDate({2026, 12, 13, 0, 0, 0})},
      {"12/13/2026 0:00:00", DayOrder::kMonthFirst, ToOleDate({2026, 12, 13, 0, 0, 0})},
      // The order belongs to the whole file: a line never switches it.
      {"13.12.2026 0:00:00", DayOrder::kMonthFirst, kTimeInvalid},
      {"12/13/2026 0:00:00", DayOrder::kDayFirst, kTimeInvalid},
      {"2026-12-07 PM 2:30:05", DayOrder::kMonthFirst, base + h1430},
      {"2026-12-07 2:30:05 pm", DayOrder::kMonthFirst, base + h1430},
      {"2026-12-07 AM 12:00:00", DayOrder::kMonthFirst, base},
      {"2026-12-07 12:00:00 PM", DayOrder::kMonthFirst, base + 0.5},
      {"2026-12-07", DayOrder::kMonthFirst, base},
      {"14:30:05", DayOrder::kMonthFirst, h1430},
      {"", DayOrder::kMonthFirst, kTimeNotADate},
      {"--", DayOrder::kMonthFirst, kTimeNotADate},
      {"Time", DayOrder::kMonthFirst, kTimeNotADate},
      {"2026-13-07 14:30:05", DayOrder::kMonthFirst, kTimeInvalid},
      {"2026-02-30 14:30:05", DayOrder::kMonthFirst, kTimeInvalid},
      {"2026-12-07 25:00:00", DayOrder::kMonthFirst, kTimeInvalid},
      {"2026-12-07 PM 13:00:00", DayOrder::kMonthFirst, kTimeInvalid},
  };
  for (const auto& c : cases) EXPECT_NEAR(ParseLogTime(c.text, c.order), c.value, 1e-9) << c.text;
}

TEST(ImportParsing, FieldsHeaderAndValues) {
  EXPECT_EQ(SplitFields("a,b,c,d,e,f", 5), (std::vector<std::string>{"a", "b", "c", "d", "e,f"}));
  EXPECT_EQ(SplitFields("a,b", 5), (std::vector<std::string>{"a", "b", "", "", ""}));
  EXPECT_EQ(SplitFields("", 3), (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(UnitLabel("Time,Temperature(C),Humidity(%)"), "(\u00B0C)");
  EXPECT_EQ(UnitLabel("Time,Temp(F)"), "(\u00B0F)");
  EXPECT_EQ(UnitLabel("Time,CF"), "\u00B0C\u00B0F");
  EXPECT_EQ(UnitLabel(""), "");
  LoadUIStrings(kLanguageEnglish);
  EXPECT_EQ(ColumnTitles(false, "(\u00B0C)"), (std::vector<std::string>{"Time", "Temperature(\u00B0C)", "Humidity(%)",
                                                                    "DewPoint(\u00B0C)", "HeatIndex(\u00B0C)"}));
  EXPECT_EQ(ColumnTitles(true, ""), (std::vector<std::string>{"Time", "Temperature", "Humidity(%)"}));

  const LogRecord six = ParseLine("2026-12-07 10:00:00,23.5,45,11.0,24.1,extra", false, DayOrder::kMonthFirst);
  EXPECT_FLOAT_EQ(six.Heatindex, 24.1f);
  const LogRecord absent = ParseLine("2026-12-07 10:00:00,--,--,x--,abc", false, DayOrder::kMonthFirst);
  EXPECT_EQ(absent.Temperature, 65535.0f);
  EXPECT_EQ(absent.Humidity, 65535);
  EXPECT_EQ(absent.Dewpoint, 65535.0f);
  EXPECT_EQ(absent.Heatindex, 0.0f);
  const LogRecord empty = ParseLine("", false, DayOrder::kMonthFirst);
  EXPECT_EQ(empty.Time, 0.0);
  EXPECT_EQ(empty.Temperature, 65535.0f);  // a field the line lacks is absent, not 0
  EXPECT_EQ(empty.Humidity, 65535);
  const LogRecord three = ParseLine("2026-12-07 10:00:00,23.5,45", true, DayOrder::kMonthFirst);
  EXPECT_EQ(three.Dewpoint, 65535.0f);
  EXPECT_EQ(three.Heatindex, 65535.0f);
}

struct ImportFixture : TransferFixture {
  RecordStore records;
  std::string db() const { return (folder / "Norvo.mdb").string(); }
  int Count(const std::string& column) {
    EXPECT_EQ(records.Connect(db()), 0);
    records.CountRecords("1800-01-01 0:00:00", "2100-01-01 0:00:00", column);
    return records.Count();
  }
};

TEST_F(ImportFixture, DownloadAndImportFindsEveryLine) {
  const std::string five = sim::MakeLogFile(false, 300);
  const std::string three = sim::MakeLogFile(true, 120);
  unit.SetFiles({{"LOG0001.CSV", five}, {"IN0002.CSV", three}});
  List();
  ASSERT_EQ(Download("LOG0001.CSV").status, DownloadStatus::kDone);
  ImportResult r = ImportLocalCopy("LOG0001.CSV", folder / "LOG0001.CSV", db(), DayOrder::kMonthFirst, records);
  ASSERT_TRUE(r.opened);
  EXPECT_TRUE(r.stored);
  EXPECT_FALSE(r.three_fields);
  EXPECT_EQ(r.unit_label, "(\u00B0C)");
  ASSERT_EQ(r.rows->size(), 300u);
  // Every display row is its line, field by field.
  std::istringstream lines(five);
  std::string line;
  std::getline(lines, line);
  for (std::size_t i = 0; i < r.rows->size(); ++i) {
    const DisplayRow row = r.rows->Row(i);
    std::getline(lines, line);
    const auto f = SplitFields(line, 5);
    for (std::size_t i = 0; i < 5; ++i) EXPECT_STREQ(row.slot[i].data(), f[i].c_str());
  }
  EXPECT_EQ(Count("Temperature"), 300);
  EXPECT_EQ(Count("Heatindex"), 270);  // every tenth line has none

  // The three-field file replaces the five-field one completely.
  ASSERT_EQ(Download("IN0002.CSV").status, DownloadStatus::kDone);
  r = ImportLocalCopy("IN0002.CSV", folder / "IN0002.CSV", db(), DayOrder::kMonthFirst, records);
  EXPECT_TRUE(r.three_fields);
  EXPECT_EQ(r.rows->size(), 120u);
  EXPECT_EQ(r.rows->Row(0).slot[3][0], 0);
  EXPECT_EQ(Count("Temperature"), 120);
  EXPECT_EQ(Count("DewPoint"), 0);
}

TEST_F(ImportFixture, OddFilesImportWithoutLosingLines) {
  WriteFile(folder / "in.csv", TextMode("Time,Temperature,Humidity\n\n2026-12-07 10:00:00,--,45,1,2\nbad line\n"));
  ImportResult r = ImportLocalCopy("in.csv", folder / "in.csv", db(), DayOrder::kMonthFirst, records);
  EXPECT_FALSE(r.three_fields);  // "in" in lower case: five fields
  EXPECT_EQ(r.unit_label, "Temperature");  // no "(": the whole field, capitals C turned into °C
  EXPECT_EQ(r.rows->size(), 3u);
  // The empty line and "bad line" lack every value field: stored as absent, not 0.
  EXPECT_EQ(Count("Humidity"), 1);
  EXPECT_EQ(Count("Temperature"), 0);

  WriteFile(folder / "EMPTY.CSV", "");
  r = ImportLocalCopy("EMPTY.CSV", folder / "EMPTY.CSV", db(), DayOrder::kMonthFirst, records);
  EXPECT_TRUE(r.opened);
  EXPECT_EQ(r.unit_label, "");
  EXPECT_TRUE(r.rows->empty());
  EXPECT_EQ(Count("Humidity"), 0);

  r = ImportLocalCopy("GONE.CSV", folder / "GONE.CSV", db(), DayOrder::kMonthFirst, records);
  EXPECT_FALSE(r.opened);
  EXPECT_EQ(r.message, "Open Error2");

  // A line longer than a slot is cut at 79 characters.
  WriteFile(folder / "LONG.CSV", "h,T(C)\n" + std::string(200, '7') + ",1,2,3,4\n");
  r = ImportLocalCopy("LONG.CSV", folder / "LONG.CSV", db(), DayOrder::kMonthFirst, records);
  ASSERT_EQ(r.rows->size(), 1u);
  EXPECT_EQ(std::string(r.rows->Row(0).slot[0].data()), std::string(79, '7'));
}

}  // namespace
}  // namespace norvo

namespace norvo {
namespace {

// A copy that stops in the middle of a line keeps the start of that line for
// the resume, and the import leaves it out until then.
TEST_F(ImportFixture, ACutOffLastLineWaitsForTheResume) {
  const std::string head = "Time,Temperature(C),Humidity,DewPoint,HeatIndex\n2026-12-07 10:00:00,21.8,58,13.2,21.8\n";
  const struct {
    const char* what;
    std::string copy;
    bool whole;
    std::size_t rows;
  } cases[] = {
      {"cut in the humidity", head + "2026-12-07 10:01:00,21.8,5", false, 1},
      {"cut in a temperature", head + "2026-12-07 10:01:00,2", false, 1},
      {"cut between CR and LF", head + "2026-12-07 10:01:00,21.8,58,13.2,21.8\r", false, 1},
      {"cut right after a line", head, false, 1},
      {"a whole card file without a last line feed", head + "2026-12-07 10:01:00,21.8,58,13.2,21.8", true, 2},
  };
  for (const auto& c : cases) {
    WriteFile(folder / "CUT.CSV", c.copy);
    const ImportResult r = ImportLocalCopy("CUT.CSV", folder / "CUT.CSV", db(), DayOrder::kMonthFirst, records, {}, c.whole);
    ASSERT_TRUE(r.stored) << c.what;
    EXPECT_EQ(r.rows->size(), c.rows) << c.what;
    EXPECT_EQ(Count("Humidity"), static_cast<int>(c.rows)) << c.what;
    EXPECT_EQ(Count("Temperature"), static_cast<int>(c.rows)) << c.what;
  }

  // End to end: an unplug inside a line, the import, the resume, the import.
  const std::string content = sim::MakeLogFile(false, 100);
  unit.SetFiles({{"LOG5.CSV", content}});
  List();
  unit.SetUnplugAfterReports(37);
  const DownloadOutcome cut = Download("LOG5.CSV");
  ASSERT_EQ(cut.status, DownloadStatus::kBlockFailed);
  ASSERT_TRUE(cut.ImportFollows());
  const std::size_t whole_lines = static_cast<std::size_t>(std::count(content.begin(), content.begin() + cut.written, '\n'));
  ASSERT_NE(content[static_cast<std::size_t>(cut.written) - 1], '\n');  // the copy ends inside a line
  ImportResult r = ImportLocalCopy("LOG5.CSV", folder / "LOG5.CSV", db(), DayOrder::kMonthFirst, records, {}, false);
  EXPECT_EQ(r.rows->size(), whole_lines - 1);  // the header is no row
  unit.Plug();
  ASSERT_EQ(link.OpenDevice(), 1);
  ASSERT_EQ(Download("LOG5.CSV").status, DownloadStatus::kDone);
  r = ImportLocalCopy("LOG5.CSV", folder / "LOG5.CSV", db(), DayOrder::kMonthFirst, records);
  EXPECT_EQ(r.rows->size(), 100u);
  EXPECT_EQ(Count("Humidity"), 100);
}

// Unplugged at a random report of a download, a hundred times over, each time
// followed by a resume: the copy ends byte-identical to the card file.
TEST_F(TransferFixture, HundredUnplugsAtRandomReportsThenResumeGiveIdenticalCopies) {
  // The 3 s block wait is 30 ms, and the unit's answer delays shrink with it:
  // its 20 ms would take most of the 30 ms and fail a block on a busy machine.
  link.SetTimeScale(0.01);
  unit.SetTimeScale(0.01);
  const std::string content = sim::MakeLogFile(false, 230);  // about 9 KB: three blocks
  unit.SetFiles({{"CUT.CSV", content}});
  int reports = 0;  // data reports of the whole file, 62 characters each
  for (std::size_t at = 0; at < content.size(); at += 4096) reports += static_cast<int>((std::min<std::size_t>(4096, content.size() - at) + 61) / 62);
  List();
  std::uint32_t seed = 12345;
  int identical = 0;
  for (int round = 0; round < 100; ++round) {
    fs::remove(folder / "CUT.CSV");
    seed = seed * 1664525u + 1013904223u;
    unit.SetUnplugAfterReports(static_cast<int>((seed >> 8) % static_cast<std::uint32_t>(reports)));
    const DownloadOutcome cut = Download("CUT.CSV");
    ASSERT_EQ(cut.status, DownloadStatus::kBlockFailed) << round;
    unit.Plug();
    ASSERT_EQ(link.OpenDevice(), 1);
    ASSERT_EQ(Download("CUT.CSV").status, DownloadStatus::kDone) << round;
    identical += ReadFile(folder / "CUT.CSV") == TextMode(content);
  }
  EXPECT_EQ(identical, 100);
}

// A card that reports what it cannot deliver: the block fails, nothing else.
TEST_F(TransferFixture, HostileSizesEndInAFailedBlock) {
  unit.SetFiles({{"HUGE.CSV", "short"}});
  link.TheHandshake().Redirect(response::kFileList);
  reader.ClearList();
  const std::string entry = std::string("{HUGE.CSV,\x7F\xFF\xFF\xFF", 14);
  dispatcher.Dispatch(Report(entry), 64);
  dispatcher.Dispatch(Report("{@}"), 64);
  ASSERT_EQ(SizeText(static_cast<std::int32_t>(reader.SizeOf(reader.Name(0)))), "2048.00 MB");
  EXPECT_EQ(Download("HUGE.CSV").status, DownloadStatus::kBlockFailed);
  EXPECT_EQ(ReadFile(folder / "HUGE.CSV"), "short");  // what arrived stays
  EXPECT_EQ(link.TheHandshake().Pending(), 0);
}

// The disk fills during an import: a clear message, and the store keeps the
// previous import whole. Run in a child process with a small file-size limit.
TEST_F(ImportFixture, DiskFullDuringImportKeepsThePreviousContents) {
  const std::string small = sim::MakeLogFile(false, 50);
  WriteFile(folder / "LOG1.CSV", TextMode(small));
  ImportResult first = ImportLocalCopy("LOG1.CSV", folder / "LOG1.CSV", db(), DayOrder::kMonthFirst, records);
  ASSERT_TRUE(first.stored);
  ASSERT_EQ(Count("Humidity"), 50);
  WriteFile(folder / "LOG2.CSV", TextMode(sim::MakeLogFile(false, 60000)));

  // A file-size limit on this process for the one import (the import runs a
  // thread, which no child of a threaded process may start under
  // ThreadSanitizer): room for the temporary record file (1.4 MB), not for the
  // store's 2.5 MB. Writes past it fail with EFBIG instead of SIGXFSZ.
  rlimit old_limit{};
  ::getrlimit(RLIMIT_FSIZE, &old_limit);
  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  const rlimit limit{2u << 20, old_limit.rlim_max};
  ::setrlimit(RLIMIT_FSIZE, &limit);
  std::string reported;
  ImportResult r;
  {
    RecordStore store([&](const std::string& e) { reported = e; });
    r = ImportLocalCopy("LOG2.CSV", folder / "LOG2.CSV", db(), DayOrder::kMonthFirst, store);
  }
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_FALSE(r.stored);
  EXPECT_FALSE(reported.empty()) << "the failed import was not reported";
  EXPECT_EQ(Count("Humidity"), 50);  // the old contents, not a mix

  // The database deleted between two uses: the next use starts a new one.
  fs::remove(db());
  EXPECT_EQ(Count("Humidity"), 0);
}

// Files of the data folder open only as regular files: a FIFO, a device, a
// directory or a symlink in a copy's place gives a message at once.
TEST_F(ImportFixture, OnlyRegularFilesOfTheDataFolderAreOpened) {
  unit.SetFiles({{"F.CSV", "Time,T(C)\n1\n"}});
  List();
  WriteFile(root / "outside.csv", "Time,T(C)\n");
  const struct {
    const char* what;
    std::function<void(const fs::path&)> make;
    bool opens;
  } cases[] = {
      {"regular file", [](const fs::path& p) { WriteFile(p, "Time,T(C)\n"); }, true},
      {"FIFO", [](const fs::path& p) { ASSERT_EQ(::mkfifo(p.c_str(), 0600), 0); }, false},
      {"directory", [](const fs::path& p) { fs::create_directory(p); }, false},
      {"symlink to a file", [&](const fs::path& p) { fs::create_symlink(root / "outside.csv", p); }, false},
      {"symlink to a device", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); }, false},
  };
  for (const auto& c : cases) {
    const fs::path copy = folder / "F.CSV";
    fs::remove_all(copy);
    c.make(copy);
    std::string why;
    const int fd = OpenDataFile(copy, O_RDONLY, &why);
    EXPECT_EQ(fd >= 0, c.opens) << c.what;
    if (fd >= 0) ::close(fd);
    const ImportResult r = ImportLocalCopy("F.CSV", copy, db(), DayOrder::kMonthFirst, records);
    EXPECT_EQ(r.opened, c.opens) << c.what;
    if (!c.opens) {
      EXPECT_NE(r.message.find("Open Error2 ("), std::string::npos) << c.what << ": " << r.message;
      const DownloadOutcome d = Download("F.CSV");
      EXPECT_EQ(d.status, DownloadStatus::kOpenError) << c.what;
      EXPECT_NE(d.message.find("F.CSV"), std::string::npos) << d.message;
    }
  }
  EXPECT_EQ(ReadFile(root / "outside.csv"), "Time,T(C)\n");  // never written through the link
  fs::remove_all(folder / "F.CSV");

  // What a crash leaves: temporaries and notes without their copy; copies stay.
  WriteFile(folder / "LOG1.CSV", "x");
  WriteFile(DateFormatNote(folder / "LOG1.CSV"), "2");
  WriteFile(DateFormatNote(folder / "GONE.CSV"), "1");
  WriteFile(folder / "x.norvotmp", "partial");
  EXPECT_EQ(RemoveStaleTemporaries(folder), 2);
  EXPECT_TRUE(fs::exists(DateFormatNote(folder / "LOG1.CSV")));
  EXPECT_FALSE(fs::exists(DateFormatNote(folder / "GONE.CSV")));
  EXPECT_FALSE(fs::exists(folder / "x.norvotmp"));
  EXPECT_TRUE(fs::exists(folder / "LOG1.CSV"));
}

// The disk fills during a download: a write error, never "done"; what reached
// the disk is a correct start of the card file and resumes.
TEST_F(TransferFixture, WriteErrorOfTheCopyIsAFailureAndTheCopyResumes) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer cannot start threads in a forked child (the plain and ASan suites run this)";
#endif
  const std::string content = sim::MakeLogFile(false, 600);  // about 26 KB
  unit.SetFiles({{"FULL.CSV", content}});
  List();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // Threads do not survive the fork: a unit and link of the child's own.
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit limit{10000, 10000};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    sim::SimUnit unit2{sim::SimUnit::Options{.eight_area = true, .pacing = false, .seed = 2, .default_card = false}};
    unit2.SetFiles({{"FULL.CSV", content}});
    sim::SimTransport transport2;
    DeviceLink link2{transport2};
    ResponseStore store2;
    Dispatcher dispatcher2{link2, store2};
    CardReader reader2{link2};
    transport2.AddUnit(&unit2, "sim:unit");
    dispatcher2.SetCardSink(&reader2);
    dispatcher2.SetListReceiver(true);
    link2.SetReportHandler([&](const Payload& p, int n) { dispatcher2.Dispatch(p, n); });
    link2.SetTimeScale(0.05);
    if (link2.OpenDevice() != 1) ::_exit(2);
    reader2.RequestFileList();
    const DownloadOutcome d = DownloadThrough(reader2, folder, "FULL.CSV", -1, {}, nullptr);
    link2.Stop();
    ::_exit(d.status == DownloadStatus::kWriteError && d.message.find("Write error") != std::string::npos ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the full disk was not reported";
  const std::string partial = ReadFile(folder / "FULL.CSV");
  EXPECT_LE(partial.size(), 10000u);
  EXPECT_EQ(partial, TextMode(content).substr(0, partial.size()));
  EXPECT_EQ(Download("FULL.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(ReadFile(folder / "FULL.CSV"), TextMode(content));
}

// Cancel stops before the next block; the copy resumes to the whole file.
TEST_F(TransferFixture, CancelledDownloadResumes) {
  const std::string content = sim::MakeLogFile(false, 600);
  unit.SetFiles({{"C.CSV", content}});
  List();
  std::atomic<std::int64_t> last{0};
  hooks = {{}, {}, {}, [&](std::int64_t done, std::int64_t wanted) {
             last.store(wanted);
             if (done > 100) cancel.store(true);
           }};
  EXPECT_EQ(Download("C.CSV").status, DownloadStatus::kCancelled);
  EXPECT_EQ(last.load(), static_cast<std::int64_t>(content.size()));
  const std::string partial = ReadFile(folder / "C.CSV");
  EXPECT_LT(partial.size(), TextMode(content).size());
  hooks = {};
  cancel.store(false);
  EXPECT_EQ(Download("C.CSV").status, DownloadStatus::kDone);
  EXPECT_EQ(ReadFile(folder / "C.CSV"), TextMode(content));
}

TEST(ImportParsing, NonFiniteAndAbsurdValuesAreAbsent) {
  const struct {
    const char* text;
    float number;
    std::int32_t integer;
  } cases[] = {
      {"23.5", 23.5f, 23},          {"-40", -40.0f, -40},         {"999999", 999999.0f, 999999},
      {"1e6", 65535.0f, 65535},     {"-1000000", 65535.0f, 65535}, {"inf", 65535.0f, 65535},
      {"-INF", 65535.0f, 65535},    {"nan", 65535.0f, 65535},      {"1e400", 65535.0f, 65535},
      {"--", 65535.0f, 65535},      {"abc", 0.0f, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FieldNumber(c.text), c.number) << c.text;
    EXPECT_EQ(FieldInteger(c.text), c.integer) << c.text;
  }
  // A line shorter than the header: the missing fields are absent.
  const LogRecord shorter = ParseLine("2026-12-07 10:00:00,21.5", false, DayOrder::kMonthFirst);
  EXPECT_EQ(shorter.Temperature, 21.5f);
  EXPECT_EQ(shorter.Humidity, 65535);
  EXPECT_EQ(shorter.Dewpoint, 65535.0f);
  EXPECT_EQ(shorter.Heatindex, 65535.0f);
  const LogRecord empty_field = ParseLine("2026-12-07 10:00:00,21.5,,", false, DayOrder::kMonthFirst);
  EXPECT_EQ(empty_field.Humidity, 0);  // present but empty: 0 as before
  EXPECT_EQ(empty_field.Heatindex, 65535.0f);
}

// The order of day and month: the note written with the copy first, then a
// clue anywhere in the file, and only then the locale.
TEST_F(ImportFixture, DatesAreReadInOneOrderPerFile) {
  const std::string lines = "Time,T(C),H\n03/04/2026 10:00:00,1,2\n05/06/2026 10:00:00,1,2\n";
  const struct {
    const char* what;
    std::string text;
    int note;  // -1: none
    DayOrder fallback;
    DateTime first;
  } cases[] = {
      {"note: DD-MM-YYYY", lines, 2, DayOrder::kMonthFirst, {2026, 4, 3, 10, 0, 0}},
      {"note: MM-DD-YYYY", lines, 1, DayOrder::kDayFirst, {2026, 3, 4, 10, 0, 0}},
      {"a day above 12 late in the file", lines + "25/06/2026 10:00:00,1,2\n", -1, DayOrder::kMonthFirst,
       {2026, 4, 3, 10, 0, 0}},
      {"a month above 12 late in the file", lines + "06/25/2026 10:00:00,1,2\n", -1, DayOrder::kDayFirst,
       {2026, 3, 4, 10, 0, 0}},
      {"no clue: the locale, day first", lines, -1, DayOrder::kDayFirst, {2026, 4, 3, 10, 0, 0}},
      {"no clue: the locale, month first", lines, -1, DayOrder::kMonthFirst, {2026, 3, 4, 10, 0, 0}},
      {"the file's own day above 12 beats a month-first note", "Time,T(C),H\n13-12-2026 10:00:00,1,2\n", 1,
       DayOrder::kMonthFirst, {2026, 12, 13, 10, 0, 0}},
      {"the file's own month above 12 beats a day-first note", "Time,T(C),H\n12-13-2026 10:00:00,1,2\n", 2,
       DayOrder::kDayFirst, {2026, 12, 13, 10, 0, 0}},
  };
  for (const auto& c : cases) {
    const fs::path copy = folder / "D.CSV";
    WriteFile(copy, TextMode(c.text));
    fs::remove(DateFormatNote(copy));
    if (c.note >= 0) WriteFile(DateFormatNote(copy), std::to_string(c.note));
    const ImportResult r = ImportLocalCopy("D.CSV", copy, db(), c.fallback, records);
    ASSERT_TRUE(r.stored) << c.what;
    ASSERT_EQ(records.Connect(db()), 0);
    ASSERT_EQ(records.QueryRecords("1800-01-01 0:00:00", "2100-01-01 0:00:00", "Humidity"), 0);
    double time = 0;
    float value = 0;
    ASSERT_TRUE(records.NextRow(&time, &value)) << c.what;
    EXPECT_DOUBLE_EQ(time, ToOleDate(c.first)) << c.what;
  }
  // Dates that fit neither order are refused, and the store keeps what it held.
  const int held = Count("Humidity");
  WriteFile(folder / "MIX.CSV", TextMode("Time,T(C),H\n13/04/2026 10:00:00,1,2\n04/13/2026 10:00:00,1,2\n"));
  const ImportResult mixed = ImportLocalCopy("MIX.CSV", folder / "MIX.CSV", db(), DayOrder::kMonthFirst, records);
  EXPECT_FALSE(mixed.stored);
  EXPECT_NE(mixed.message.find("fit neither"), std::string::npos) << mixed.message;
  EXPECT_NE(mixed.message.find("line 2"), std::string::npos) << mixed.message;
  EXPECT_EQ(Count("Humidity"), held);

  // The download writes the note from the unit's settings byte.
  unit.SetFiles({{"N.CSV", lines}});
  List();
  ASSERT_EQ(Download("N.CSV", 2).status, DownloadStatus::kDone);
  EXPECT_EQ(ReadDateFormatNote(folder / "N.CSV"), 2);
  EXPECT_EQ(RemoveLocalCopy(folder, "N.CSV"), "");
  EXPECT_FALSE(fs::exists(DateFormatNote(folder / "N.CSV")));
  EXPECT_FALSE(fs::exists(folder / "N.CSV"));
}

// Peak memory of an import does not grow with the number of lines.
TEST_F(ImportFixture, ImportMemoryDoesNotGrowWithTheLines) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizers' own bookkeeping grows with every allocation";
#endif
  {
    std::ofstream out(folder / "LF.CSV", std::ios::binary);
    out << "Time,T(C),H\r\n";
    const std::string block(1 << 20, '\n');
    // A million empty lines: display rows kept in memory would take 400 MB,
    // ten times the bound below.
    out << block;
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    rusage before{};
    ::getrusage(RUSAGE_SELF, &before);
    RecordStore store;
    const ImportResult r = ImportLocalCopy("LF.CSV", folder / "LF.CSV", db(), DayOrder::kMonthFirst, store);
    rusage after{};
    ::getrusage(RUSAGE_SELF, &after);
    const long grown_kb = after.ru_maxrss - before.ru_maxrss;
    const DisplayRow last = r.rows->Row(r.rows->size() - 1);
    ::_exit(r.stored && r.rows->size() == 1u << 20 && last.slot[0][0] == 0 && grown_kb < 40 * 1024 ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace norvo
