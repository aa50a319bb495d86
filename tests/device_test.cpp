// Frames, encodings, live readings, the dispatcher and the exchange sequences,
// driven against the simulated unit.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <optional>
#include <string_view>
#include <thread>
#include <tuple>

#include "device/Card.h"
#include "device/DeviceLink.h"
#include "device/Exchange.h"
#include "device/Frames.h"
#include "device/LiveReadings.h"
#include "device/Responses.h"
#include "device/Wire.h"
#include "device/WriteMap.h"
#include "sim/SimTransport.h"
#include "sim/SimUnit.h"
#include "support/TestSupport.h"

namespace norvo {
namespace {

using namespace std::chrono_literals;
using namespace std::string_view_literals;
using Steady = std::chrono::steady_clock;

Payload Bytes(std::initializer_list<int> head) {
  Payload p{};
  std::size_t i = 0;
  for (int b : head) p[i++] = static_cast<std::uint8_t>(b);
  return p;
}

// The wire bytes of a frame given as text, zero-filled to 64.
Payload Bytes(std::string_view head) {
  Payload p{};
  std::copy(head.begin(), head.end(), p.begin());
  return p;
}

TEST(Frames, ReadCommandsAreBraceCodeAtBraceAndSixtyZeros) {
  const struct {
    std::uint8_t code;
  } cases[] = {{0x01}, {0x03}, {0x04}, {0x05}, {0x06}, {0x08}, {0x09}, {0x2F}, {0x41}, {0x51}, {0xFE}};
  for (const auto& c : cases) {
    const Payload f = BuildCommandFrame(c.code);
    EXPECT_EQ(f, Bytes({0x7B, c.code, 0x40, 0x7D})) << int(c.code);
  }
  const std::uint8_t minutes[] = {60};
  EXPECT_EQ(BuildCommandFrame(code::kSetInterval, minutes), Bytes({0x7B, 0x40, 0x3C, 0x40, 0x7D}));
}

// ---- the SD card's frames ------------------------------------------------------

// Any diff here is a change the unit sees, or a card the console misreads.
TEST(CardFrames, EveryKindPinnedByte) {
  const std::string longest(card::kMaxName, 'N');
  const struct {
    const char* what;
    Payload wire, expected;
  } rows[] = {
      {"list command", card::EncodeListCommand(), Bytes("{\x01@}"sv)},
      {"list entry", card::EncodeListEntry("LOG1.CSV", 1048576), Bytes("{LOG1.CSV,\x00\x10\x00\x00"sv)},
      {"8.3 entry", card::EncodeListEntry("LOG00001.CSV", 10000), Bytes("{LOG00001.CSV,\x00\x00\x27\x10"sv)},
      {"Latin-1 entry", card::EncodeListEntry("M\xC9SURE.CSV", 0x01020304), Bytes("{M\xC9SURE.CSV,\x01\x02\x03\x04"sv)},
      {"end of list", card::EncodeEndMarker(), Bytes("{@}"sv)},
      {"read command", card::EncodeReadCommand("LOG1.CSV", 4096, 8192),
       Bytes("{\x02LOG1.CSV\x00\x00\x10\x00\x00\x00\x20\x00@}"sv)},
      {"longest read", card::EncodeReadCommand(longest, 1, 2),
       Bytes("{\x02" + longest + std::string("\x00\x00\x00\x01\x00\x00\x00\x02@}"sv))},
      {"chunk", card::EncodeChunk("a,b\n"), Bytes("{a,b\n}"sv)},
      {"full chunk", card::EncodeChunk(std::string(70, 'x')), Bytes(std::string("{").append(62, 'x').append("}"))},
      {"end of block", card::EncodeEndMarker(), Bytes("{@}"sv)},
      {"delete command", card::EncodeDeleteCommand("LOG1.CSV"), Bytes("{\x20LOG1.CSV@}"sv)},
  };
  for (const auto& row : rows) EXPECT_EQ(row.wire, row.expected) << row.what;
}

TEST(CardFrames, DecodersReadWhatTheEncodersWrite) {
  const std::string longest(card::kMaxName, 'N'), name58(58, 'n');
  for (const card::ListEntry& e : {card::ListEntry{"M\xC9SURE.CSV", 0xFFFFFFFF}, card::ListEntry{name58, 7}}) {
    EXPECT_EQ(card::DecodeListEntry(card::EncodeListEntry(e.name, e.size)), e);
  }
  for (const card::ReadCommand& r : {card::ReadCommand{"A@}", 4096, 4097}, card::ReadCommand{longest, 0xFFFFFFFF, 0}}) {
    EXPECT_EQ(card::DecodeReadCommand(card::EncodeReadCommand(r.name, r.start, r.end)), r);
  }
  for (const std::string& name : {std::string("A@"), longest}) {
    EXPECT_EQ(card::DecodeDeleteCommand(card::EncodeDeleteCommand(name)), name);
  }
  EXPECT_EQ(card::DecodeDataReport(card::EncodeChunk(name58)), (card::DataReport{false, name58}));
}

// What the console must not take for an entry, a chunk or a command.
TEST(CardFrames, WhatIsNotAnEntryAChunkOrACommand) {
  const struct {
    Payload report;
    std::optional<card::ListEntry> entry;
  } lists[] = {
      {Bytes("{@}"sv), std::nullopt},
      {Bytes("{@},\x00\x00\x00\x05"sv), std::nullopt},
      {Bytes("{A{@},\x00\x00\x00\x05"sv), card::ListEntry{"A{@}", 5}},
      {Bytes("{LOG1.CSV"sv), std::nullopt},
      {Bytes(std::string("{").append(58, 'n').append(",\x01\x02\x03\x04")), card::ListEntry{std::string(58, 'n'), 0x01020304}},
      {Bytes(std::string("{").append(59, 'n').append(",\x01\x02\x03")), std::nullopt},  // no room for a size
  };
  for (const auto& c : lists) EXPECT_EQ(card::DecodeListEntry(c.report), c.entry);
  const struct {
    Payload report;
    card::DataReport data;
  } reads[] = {
      {Bytes("{abc}xyz"sv), {false, "abc"}}, {Bytes("ab{cd}"sv), {false, "abcd"}}, {Bytes("{abc"sv), {false, ""}},
      {Bytes("{a}b}"sv), {false, "a"}},      {Bytes("{@x}"sv), {true, ""}},         {Bytes("{ab\0}"sv), {false, ""}},
  };
  for (const auto& c : reads) EXPECT_EQ(card::DecodeDataReport(c.report), c.data);
  EXPECT_FALSE(card::DecodeReadCommand(card::EncodeListCommand()));
  EXPECT_FALSE(card::DecodeReadCommand(Bytes("{\x02" "AB\x00\x00\x00\x01\x00\x00\x00\x02@"sv)));  // no "}"
  EXPECT_FALSE(card::DecodeReadCommand(Bytes("{\x02\x01\x02@}"sv)));  // no room for the offsets
  EXPECT_FALSE(card::DecodeDeleteCommand(card::EncodeReadCommand("A", 0, 1)));
}

// One block exactly, one byte less, one byte more: the read commands the
// simulated unit receives and the chunks it sends, read as the console reads them.
TEST(CardFrames, DownloadAtTheBlockBoundary) {
  const struct {
    std::size_t size;
    std::vector<card::ReadCommand> reads;
    std::vector<int> chunks;  // per block
  } cases[] = {
      {4095, {{"EDGE.CSV", 0, 4095}}, {67}},
      {4096, {{"EDGE.CSV", 0, 4096}}, {67}},
      {4097, {{"EDGE.CSV", 0, 4096}, {"EDGE.CSV", 4096, 4097}}, {67, 1}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.size);
    sim::SimUnit unit{sim::SimUnit::Options{.pacing = false, .default_card = false}};
    unit.SetTimeScale(0.01);
    std::string content = sim::MakeLogFile(false, 120);
    content.resize(c.size);
    unit.AddFile("EDGE.CSV", content);
    sim::SimTransport transport;
    transport.AddUnit(&unit, "sim:edge");
    const std::unique_ptr<HidDevice> device = transport.Open("sim:edge");
    ASSERT_TRUE(device);
    std::string copy;
    std::vector<int> chunks;
    for (const card::ReadCommand& r : c.reads) {
      std::uint8_t report[kReportSize] = {0};
      const Payload frame = card::EncodeReadCommand(r.name, r.start, r.end);
      std::copy(frame.begin(), frame.end(), report + 1);
      ASSERT_TRUE(device->Write(report));
      chunks.push_back(0);
      for (Payload in;;) {
        ASSERT_EQ(device->Read(in, 2000), 64);
        const card::DataReport data = card::DecodeDataReport(in);
        if (data.end_of_block) break;
        ++chunks.back();
        copy += data.text;
      }
    }
    std::vector<card::ReadCommand> received;
    for (const Payload& p : unit.Received()) received.push_back(card::DecodeReadCommand(p).value());
    EXPECT_EQ(received, c.reads);
    EXPECT_EQ(chunks, c.chunks);
    EXPECT_EQ(copy, content);
  }
}

// The simulated unit keeps the last frames it received, not every frame ever.
TEST(CardFrames, SimulatedUnitKeepsTheLastFramesOnly) {
  sim::SimUnit unit{sim::SimUnit::Options{.pacing = false, .default_card = false}};
  unit.SetSilent(true);
  const std::size_t sent = sim::SimUnit::kReceivedKept + 10;
  for (std::size_t i = 0; i < sent; ++i) {
    std::uint8_t report[kReportSize] = {0, kFrameOpen, 0x07};
    wire::PutBe16(report + 3, static_cast<std::uint16_t>(i));
    ASSERT_TRUE(unit.HandleReport(unit.Session(), report, kReportSize));
  }
  const std::vector<Payload> log = unit.Received();
  ASSERT_EQ(log.size(), sim::SimUnit::kReceivedKept);
  EXPECT_EQ(wire::Be16(log.front(), 2), 10);
  EXPECT_EQ(wire::Be16(log.back(), 2), sent - 1);
}

// ---- the write map --------------------------------------------------------------

TEST(WriteMap, EachWriteNamesItsReadAndItsBytes) {
  const struct {
    std::uint8_t write, read;
    int type;
    std::string_view name;
    std::size_t first, last_five, last_eight;
    std::vector<std::size_t> words;
  } rows[] = {
      {0x10, 0x04, 1, "settings", 1, 27, 39, {}},
      {0x11, 0x05, 3, "calibration", 1, 24, 24, {1, 4, 7, 10, 13, 16, 19, 22}},
      {0x12, 0x06, 4, "alarm switches", 1, 6, 6, {}},
      {0x14, 0x08, 6, "temperature alarm limits", 1, 32, 32, {1, 3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31}},
      {0x15, 0x09, 7, "humidity alarm limits", 1, 16, 16, {}},
      {0x40, 0x41, 11, "interval", 1, 1, 1, {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const WrittenBlock* w = FindWrittenBlock(row.write);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(std::tuple(w->read_command, w->response_type, std::string_view(w->name), w->first, w->last_five_area,
                         w->last_eight_area),
              std::tuple(row.read, row.type, row.name, row.first, row.last_five, row.last_eight));
    Payload frame{}, answer{};
    for (std::size_t k = row.first; k <= row.last_eight; ++k) {
      EXPECT_EQ(w->IsWordAt(k), std::count(row.words.begin(), row.words.end(), k) == 1) << k;
      answer[k] = frame[k + 1] = static_cast<std::uint8_t>(k * 7 + 3);
    }
    answer[row.last_eight + 1] ^= 1;  // past what the frame wrote
    EXPECT_TRUE(HoldsWritten(*w, frame, answer, true));
    answer[row.last_eight] ^= 1;
    EXPECT_FALSE(HoldsWritten(*w, frame, answer, true));
    EXPECT_EQ(HoldsWritten(*w, frame, answer, false), row.last_five < row.last_eight);
    if (row.words.empty()) continue;
    frame[2] = frame[3] = 0xFF;  // "no value" written, read back as 7F FF
    answer = {};
    ApplyWritten(*w, frame, answer, true);
    answer[1] = 0x7F;
    EXPECT_TRUE(HoldsWritten(*w, frame, answer, true));
    answer[1] = 0xFF;
    answer[2] = 0x7F;
    EXPECT_FALSE(HoldsWritten(*w, frame, answer, true));
  }
  for (std::uint8_t unread : {0x0B, 0x30, 0x2F, 0x20}) EXPECT_EQ(FindWrittenBlock(unread), nullptr) << int(unread);
}

TEST(Encodings, TemperatureWordsAndHumidityBytes) {
  const struct {
    std::uint8_t hi, lo;
    float value;
  } words[] = {{0x00, 0xEB, 23.5f}, {0xFF, 0x38, -20.0f}, {0x7F, 0xFE, 3276.6f}, {0x80, 0x00, -3276.8f},
               {0xFF, 0xFF, 65535.0f}, {0x7F, 0xFF, 65535.0f}, {0x00, 0x00, 0.0f}, {0xFF, 0xFE, -0.2f}};
  for (const auto& w : words) EXPECT_FLOAT_EQ(DecodeTemperatureWord(w.hi, w.lo), w.value);
  EXPECT_EQ(DecodeHumidityByte(0xFF), 65535);
  EXPECT_EQ(DecodeHumidityByte(0xFE), 254);
  const TemperatureWord minus20 = EncodeTemperatureWord(-200);
  EXPECT_EQ(minus20.high, 0xFF);
  EXPECT_EQ(minus20.low, 0x38);
  const TemperatureWord invalid = EncodeTemperatureWord(0xFFFF);
  EXPECT_EQ(invalid.high, 0xFF);
  EXPECT_EQ(invalid.low, 0xFF);
  EXPECT_EQ(EncodeHumidityByte(0xFFFF), 0xFF);
  EXPECT_EQ(EncodeHumidityByte(-3), 0xFD);
}

TEST(LiveReadings, WorkedExamplesAndRangeChecks) {
  const struct {
    std::uint8_t hi, lo, h;
    float t;
    int humidity;
  } cases[] = {
      {0x00, 0xEB, 0x2D, 23.5f, 45},       {0xFF, 0x38, 0x32, -20.0f, 50},
      {0x02, 0x58, 0x63, 60.0f, 99},       {0x02, 0x59, 0x64, 65535.0f, 65535},
      {0x7F, 0xFF, 0xFF, 65535.0f, 65535}, {0xFE, 0x70, 0x00, -40.0f, 65535},
      {0x80, 0x00, 0x01, 65535.0f, 1},     {0x7F, 0xFE, 0xFE, 65535.0f, 65535},
      {0xFF, 0xFF, 0x32, 65535.0f, 50},
  };
  Payload block{};
  for (std::size_t k = 0; k < std::size(cases) && k < 8; ++k) {
    block[1 + 3 * k] = cases[k].hi;
    block[2 + 3 * k] = cases[k].lo;
    block[3 + 3 * k] = cases[k].h;
  }
  const LiveReadings r = DecodeLiveReadings(block);
  for (std::size_t k = 0; k < 8; ++k) {
    EXPECT_FLOAT_EQ(r.temperature[k], cases[k].t) << "CH" << k + 1;
    EXPECT_EQ(r.humidity[k], cases[k].humidity) << "CH" << k + 1;
  }
  EXPECT_EQ(r.temperature[8], 65535.0f);
  EXPECT_EQ(r.humidity[8], 65535);

  // Byte 0 and bytes 25..63 have no effect.
  Payload noisy = block;
  noisy[0] = 0x55;
  for (std::size_t i = 25; i < 64; ++i) noisy[i] = static_cast<std::uint8_t>(i);
  const LiveReadings same = DecodeLiveReadings(noisy);
  EXPECT_EQ(same.temperature, r.temperature);
  EXPECT_EQ(same.humidity, r.humidity);
}

// A link over a transport with no interfaces: the dispatcher can be fed by hand.
struct DispatchFixture : ::testing::Test {
  sim::SimTransport transport;
  DeviceLink link{transport};
  ResponseStore store;
  Dispatcher dispatcher{link, store};
};

struct RecordingSink : CardReportSink {
  std::vector<Payload> lists, reads;
  int counted = 0;
  void OnListReport(const Payload& p) override { lists.push_back(p); }
  void CountListEntry() override { ++counted; }
  void OnReadReport(const Payload& p) override { reads.push_back(p); }
};

TEST_F(DispatchFixture, EachTypeFillsItsBlockClearsTheTypeAndSignals) {
  const Payload answer = Bytes({0x7B, 1, 24, 0, 0, 0, 1, 1, 0xAA});
  for (int type : {1, 2, 3, 4, 5, 6, 7, 8}) {
    link.TheHandshake().Expect(type);
    dispatcher.Dispatch(answer, 64);
    EXPECT_EQ(store.Block(type), answer) << type;
    EXPECT_EQ(link.TheHandshake().Pending(), 0) << type;
    EXPECT_TRUE(link.TheHandshake().IsSet()) << type;
  }
  // Type 1 takes the unit flag from byte 7.
  EXPECT_EQ(store.UnitFlag(), 1);
  link.TheHandshake().Redirect(1);
  dispatcher.Dispatch(Bytes({0x7B, 1, 24, 0, 0, 0, 1, 0}), 64);
  EXPECT_EQ(store.UnitFlag(), 0);

  link.TheHandshake().Redirect(11);
  dispatcher.Dispatch(Bytes({0x7B, 15}), 64);
  EXPECT_EQ(store.Interval(), 15);

  link.TheHandshake().Redirect(12);
  dispatcher.Dispatch(Bytes({0x7B, 1}), 64);
  EXPECT_EQ(store.Permission(), 1);

  link.TheHandshake().Redirect(13);
  dispatcher.Dispatch(Bytes({'{', 'Q', 'T', '7', '1', '0', '0', 'K', '@', '}', 0, 'x'}), 64);
  EXPECT_EQ(store.Identification(), "{QT7100K@}");
}

TEST_F(DispatchFixture, ShortAnswerCopiesOnlyItsBytes) {
  link.TheHandshake().Redirect(3);
  dispatcher.Dispatch(Bytes({1, 2, 3, 4, 5, 6}), 64);
  link.TheHandshake().Redirect(3);
  dispatcher.Dispatch(Bytes({9, 9}), 2);
  EXPECT_EQ(store.Block(3), Bytes({9, 9, 3, 4, 5, 6}));
}

TEST_F(DispatchFixture, AnswersWithNothingPendingOrToAWriteAreDropped) {
  for (int type : {0, 14, 19, -1, 255}) {
    link.TheHandshake().Expect(type);
    dispatcher.Dispatch(Bytes({0x7B, 0x55, 0x55}), 64);
    EXPECT_EQ(link.TheHandshake().Pending(), type);
    EXPECT_FALSE(link.TheHandshake().IsSet());
  }
  for (int type : {1, 3, 4, 6, 7, 8}) EXPECT_EQ(store.Block(type), Payload{});
}

TEST_F(DispatchFixture, FileListEndsOnlyAtLeadingEndMarker) {
  RecordingSink sink;
  dispatcher.SetCardSink(&sink);
  dispatcher.SetListReceiver(true);
  link.TheHandshake().Expect(9);

  dispatcher.Dispatch(Bytes({'{', 'A', '{', '@', '}', ',', 0, 0, 0, 5}), 64);
  EXPECT_EQ(sink.lists.size(), 1u);
  EXPECT_EQ(sink.counted, 1);
  EXPECT_EQ(link.TheHandshake().Pending(), 9);
  EXPECT_FALSE(link.TheHandshake().IsSet());

  dispatcher.Dispatch(Bytes({'{', '@', '}'}), 64);
  EXPECT_EQ(sink.lists.size(), 1u);
  EXPECT_EQ(link.TheHandshake().Pending(), 0);
  EXPECT_TRUE(link.TheHandshake().IsSet());

  // With no SD-card dialog open an entry has no effect, but the end still ends.
  dispatcher.SetListReceiver(false);
  link.TheHandshake().Expect(9);
  dispatcher.Dispatch(Bytes({'{', 'B', ',', 0, 0, 0, 5}), 64);
  EXPECT_EQ(sink.counted, 1);
  dispatcher.Dispatch(Bytes({'{', '@', '}'}), 64);
  EXPECT_TRUE(link.TheHandshake().IsSet());

  // Data reports go to the data handler, which alone decides about the event.
  link.TheHandshake().Expect(10);
  dispatcher.Dispatch(Bytes({'{', 'x', '}'}), 64);
  EXPECT_EQ(sink.reads.size(), 1u);
  EXPECT_EQ(link.TheHandshake().Pending(), 10);
  EXPECT_FALSE(link.TheHandshake().IsSet());
}

// The link, the dispatcher and the simulated unit, wired as the console wires them.
struct LinkFixture : ::testing::Test, testing::SimRig {
  LinkFixture()
      : SimRig({.eight_area = true, .pacing = false, .seed = 7, .default_card = true}, 0.05, "/dev/hidraw-unit") {}
  DeviceLink link{transport};
  ResponseStore store;
  Dispatcher dispatcher{link, store};

  void SetUp() override {
    link.SetReportHandler([this](const Payload& p, int n) { dispatcher.Dispatch(p, n); });
    // Waits of 5 %: the permission wait is 50 ms, not the 10 ms a busy
    // machine's scheduler can take from the reader thread alone.
    link.SetTimeScale(0.05);
  }
  // The reader calls into the dispatcher: stop it before members go.
  void TearDown() override { link.Stop(); }

  void Poll() {
    ReadSettingsSequence(link);
    ReadAlarmSequence(link);
    ReadCalibrationSequence(link);
    ReadLiveSequence(link);
  }
};

TEST_F(LinkFixture, PollReadsEveryBlockInOrder) {
  ASSERT_EQ(link.OpenDevice(), 1);
  link.SetTimeScale(1.0);  // real time-outs: the unit answers long before them
  Poll();
  EXPECT_EQ(store.Block(1), unit.SettingsBlock());
  EXPECT_EQ(store.Block(3), unit.CalibrationBlock());
  EXPECT_EQ(store.Block(4), unit.AlarmBlock('A'));
  EXPECT_EQ(store.Block(5), Payload{});
  EXPECT_EQ(store.Block(6), unit.AlarmBlock('C'));
  EXPECT_EQ(store.Block(7), unit.AlarmBlock('D'));
  EXPECT_EQ(store.Interval(), unit.Interval());
  EXPECT_EQ(store.Identification(), "{QT7100K@}");
  const LiveReadings live = DecodeLiveReadings(store.Block(8));
  EXPECT_NEAR(live.temperature[0], 23.5f, 0.2f);
  EXPECT_EQ(live.temperature[7], 65535.0f);  // CH8 has no sensor
  EXPECT_TRUE(link.TheHandshake().IsSet());

  std::vector<std::uint8_t> codes;
  for (const Payload& p : unit.Received()) codes.push_back(p[1]);
  EXPECT_EQ(codes, (std::vector<std::uint8_t>{0x04, 0xFE, 0x41, 0x06, 0x08, 0x09, 0x05, 0x03}));
  for (const Payload& p : unit.Received()) EXPECT_EQ(p, BuildCommandFrame(p[1]));
}

TEST_F(LinkFixture, FirstMatchingInterfaceWinsAndOtherProductsAreSkipped) {
  sim::SimTransport two;
  sim::SimUnit other{sim::SimUnit::Options{.eight_area = false, .pacing = false, .seed = 1, .default_card = false}};
  sim::SimUnit first{sim::SimUnit::Options{.eight_area = true, .pacing = false, .seed = 1, .default_card = false}};
  two.PlugForeign("/dev/hidraw-keyboard", 0x046D, 0xC31C);
  two.AddUnit(&other, "/dev/hidraw-same-vendor", kVendorId, 0x5751);
  two.AddUnit(&first, "/dev/hidraw-first");
  two.AddUnit(&unit, "/dev/hidraw-second");
  DeviceLink l(two);
  ASSERT_EQ(l.OpenDevice(), 1);
  EXPECT_EQ(l.DevicePath(), "/dev/hidraw-first");
  l.WriteReport(BuildCommandFrame(code::kLive));
  EXPECT_EQ(first.Received().size(), 1u);
  EXPECT_TRUE(unit.Received().empty());
  EXPECT_TRUE(other.Received().empty());
  // Re-opening while connected finds the same unit again.
  ASSERT_EQ(l.OpenDevice(), 1);
  EXPECT_EQ(l.DevicePath(), "/dev/hidraw-first");
}

TEST_F(LinkFixture, WriteWhileDisconnectedSendsNothingAndDoesNotPause) {
  unit.Unplug();
  EXPECT_EQ(link.OpenDevice(), 0);
  link.SetTimeScale(100.0);  // the 10 ms pause would now last a second
  const auto start = Steady::now();
  link.WriteReport(BuildCommandFrame(code::kLive));
  EXPECT_LT(Steady::now() - start, 500ms);
  EXPECT_TRUE(unit.Received().empty());
}

TEST_F(LinkFixture, SilentUnitCycleTakesTheSumOfTheWaitsAndKeepsOldData) {
  ASSERT_EQ(link.OpenDevice(), 1);
  Poll();
  const Payload settings = store.Block(1), live = store.Block(8), calibration = store.Block(3);
  unit.SetSilent(true);
  unit.SetSensor(1, 100, 10);
  const auto start = Steady::now();
  Poll();
  const auto elapsed = Steady::now() - start;
  // 5000 + 800 + 2000 + 3 x 1000 + 2000 + 2000 ms, scaled by 0.01.
  EXPECT_GE(elapsed, 148ms);
  EXPECT_LT(elapsed, 1000ms);
  EXPECT_EQ(store.Block(1), settings);
  EXPECT_EQ(store.Block(8), live);
  EXPECT_EQ(store.Block(3), calibration);
  EXPECT_TRUE(link.TheHandshake().IsSet());
}

TEST_F(LinkFixture, UnpluggedUnitCompletesEverySequenceAndChangesNothing) {
  ASSERT_EQ(link.OpenDevice(), 1);
  Poll();
  const Payload before[] = {store.Block(1), store.Block(3), store.Block(4), store.Block(6),
                            store.Block(7), store.Block(8)};
  unit.Unplug();  // the link drops the unit at its next read
  Poll();
  const Payload after[] = {store.Block(1), store.Block(3), store.Block(4), store.Block(6),
                           store.Block(7), store.Block(8)};
  for (std::size_t i = 0; i < std::size(before); ++i) EXPECT_EQ(before[i], after[i]);
  EXPECT_EQ(link.OpenDevice(), 0);
  Poll();
  EXPECT_EQ(store.Block(8), before[5]);
  // Plugged back: the reader resumes with the new connection.
  unit.Plug();
  ASSERT_EQ(link.OpenDevice(), 1);
  unit.SetSensor(1, 111, 11);
  unit.SetDrift(false);
  link.SetTimeScale(1.0);
  ReadLiveSequence(link);
  EXPECT_FLOAT_EQ(DecodeLiveReadings(store.Block(8)).temperature[0], 11.1f);
}

TEST_F(LinkFixture, LateAnswerStillLandsWhileTheTypeIsPending) {
  unit.SetPacing(true);
  unit.SetDrift(false);
  unit.SetSensor(2, 205, 33);
  ASSERT_EQ(link.OpenDevice(), 1);
  link.SetTimeScale(0.00001);  // every wait times out before the 1 ms answer
  Exchange(link, code::kLive, response::kLive, 2000, 2000);
  EXPECT_TRUE(testing::WaitUntil([&] { return DecodeLiveReadings(store.Block(8)).humidity[1] == 33; }, 2s));
  EXPECT_EQ(link.TheHandshake().Pending(), 0);
}

TEST_F(LinkFixture, WriteSequenceSendsFramesOnlyWithPermission) {
  ASSERT_EQ(link.OpenDevice(), 1);
  const Payload frames[] = {BuildCommandFrame(0x0B, std::array<std::uint8_t, 1>{1})};

  unit.SetRefuseWrites(true);
  EXPECT_EQ(RunWriteSequence(link, store, kDialogWrite, frames), WriteOutcome::kRefused);
  ASSERT_EQ(unit.Received().size(), 1u);
  EXPECT_EQ(unit.Received()[0], BuildCommandFrame(code::kPermission));
  EXPECT_EQ(unit.Language(), -1);

  unit.ClearReceived();
  unit.SetRefuseWrites(false);
  EXPECT_EQ(RunWriteSequence(link, store, kDialogWrite, frames), WriteOutcome::kWritten);
  const std::vector<Payload> sent = unit.Received();
  ASSERT_EQ(sent.size(), 3u);
  EXPECT_EQ(sent[0], Bytes({0x7B, 0x51, 0x40, 0x7D}));
  EXPECT_EQ(sent[1], Bytes({0x7B, 0x0B, 0x01, 0x40, 0x7D}));
  EXPECT_EQ(sent[2], Bytes({0x7B, 0x2F, 0x40, 0x7D}));
  EXPECT_EQ(unit.Language(), 1);
  EXPECT_TRUE(link.TheHandshake().IsSet());

  // The clock's sequence has no end frame.
  unit.ClearReceived();
  const Payload clock[] = {BuildCommandFrame(code::kSetClock, std::array<std::uint8_t, 8>{26, 12, 8, 2, 10, 0, 0, 0})};
  EXPECT_EQ(RunWriteSequence(link, store, kClockWrite, clock), WriteOutcome::kWritten);
  EXPECT_EQ(unit.Received().size(), 2u);
  EXPECT_EQ(unit.Clock().size(), 8u);

  unit.Unplug();
  link.OpenDevice();
  unit.ClearReceived();
  EXPECT_EQ(RunWriteSequence(link, store, kDialogWrite, frames), WriteOutcome::kNotConnected);
  EXPECT_TRUE(unit.Received().empty());
}

// The permission answer is waited for: a late "no" is a refusal, a missing
// answer is no write at all, and a frame outside "{Q@}" ... "{/@}" changes
// nothing on a strict unit. Each row fails against a console that reads the
// permission byte after a fixed pause or trusts an old answer.
TEST_F(LinkFixture, StrictUnitPermissionIsWaitedFor) {
  ASSERT_EQ(link.OpenDevice(), 1);
  const Payload frames[] = {BuildCommandFrame(0x0B, std::array<std::uint8_t, 1>{0})};
  struct Row {
    const char* what;
    bool refuse, ignore;
    int delay_ms;
    WriteOutcome expected;
    int language_after;
  };
  const Row rows[] = {
      {"late no", true, false, 180, WriteOutcome::kRefused, -1},
      {"late yes", false, false, 180, WriteOutcome::kWritten, 0},
      {"no answer at all", false, true, 0, WriteOutcome::kNoAnswer, -1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    sim::SimUnit strict{sim::SimUnit::Options{.eight_area = true, .pacing = true, .seed = 3, .default_card = false}};
    sim::SimTransport t;
    t.AddUnit(&strict, "sim:strict");
    DeviceLink l(t);
    ResponseStore rs;
    Dispatcher d(l, rs);
    l.SetReportHandler([&](const Payload& p, int n) { d.Dispatch(p, n); });
    ASSERT_EQ(l.OpenDevice(), 1);
    // An earlier answer said yes: it must not count for this query.
    rs.SetPermission(0);
    strict.SetRefuseWrites(row.refuse);
    strict.SetIgnoreWrites(row.ignore);
    strict.SetPermissionDelay(row.delay_ms);
    EXPECT_EQ(RunWriteSequence(l, rs, kDialogWrite, frames), row.expected);
    EXPECT_EQ(strict.Language(), row.language_after);
    if (row.expected != WriteOutcome::kWritten) {
      EXPECT_EQ(strict.Received().size(), 1u);
    }
    l.Stop();
  }

  // A language frame without the permission query and end frame is ignored.
  unit.ClearReceived();
  link.WriteReport(frames[0]);
  EXPECT_EQ(unit.Language(), -1);
  EXPECT_EQ(unit.AppliedWrites(), 0);
}

// The first data frame comes after the permission answer and no sooner than
// 50 ms (scaled) after "{Q@}" came in, counted from the query: an answer
// later than that adds no pause of its own. The times are the unit's record.
TEST(WritePause, FirstDataFrameFollowsTheAnswerAndTheQueryByFiftyMs) {
  const Payload frames[] = {BuildCommandFrame(0x0B, std::array<std::uint8_t, 1>{0})};
  const struct {
    const char* what;
    double scale;
    int delay_ms;
  } rows[] = {{"answer at once", 1.0, 0},
              {"answer within the pause", 1.0, 30},
              {"answer after the pause", 1.0, 120},
              {"waits of 20 %", 0.2, 0}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    testing::SimRig rig({.eight_area = true, .pacing = false, .seed = 3, .default_card = false}, row.scale);
    DeviceLink l(rig.transport);
    ResponseStore rs;
    Dispatcher d(l, rs);
    std::atomic<Steady::rep> answered{0};
    l.SetReportHandler([&](const Payload& p, int n) {
      if (l.TheHandshake().Pending() == response::kPermission) answered = Steady::now().time_since_epoch().count();
      d.Dispatch(p, n);
    });
    l.SetTimeScale(row.scale);
    rig.unit.SetPermissionDelay(row.delay_ms);
    EXPECT_EQ(l.OpenDevice(), 1);
    EXPECT_EQ(RunWriteSequence(l, rs, kDialogWrite, frames), WriteOutcome::kWritten);
    l.Stop();
    const std::vector<Steady::time_point> at = rig.unit.ReceivedTimes();
    ASSERT_EQ(rig.unit.Received(), (std::vector<Payload>{BuildCommandFrame(code::kPermission), frames[0],
                                                         BuildCommandFrame(code::kEndOfWrite)}));
    const Steady::time_point answer{Steady::duration(answered.load())};
    const auto pause = l.Scaled(kPermissionPauseMs);
    EXPECT_GE(at[1] - at[0], pause);
    EXPECT_GT(at[1], answer);
    if (answer - at[0] > pause) {
      EXPECT_LT(at[1] - answer, pause);
    }
  }
}

// A slow identification answer lands as the identification, and the
// interval that follows is the unit's interval, not a byte of that text.
TEST_F(LinkFixture, SlowIdentificationDoesNotSpillIntoTheInterval) {
  link.SetTimeScale(0.05);
  unit.SetTimeScale(0.05);
  unit.SetIdentificationDelay(1500);  // past the 800 ms wait, within the grace
  ASSERT_EQ(link.OpenDevice(), 1);
  EXPECT_TRUE(ReadSettingsSequence(link));
  EXPECT_EQ(store.Identification(), "{QT7100K@}");
  EXPECT_EQ(store.Interval(), 10);
}

// FF FF in the calibration block is the unit's "no value": it is kept as
// written and never applied as an offset of -0.1.
TEST_F(LinkFixture, InvalidCalibrationWordIsNoOffset) {
  unit.SetDrift(false);
  unit.SetSensor(1, 235, 45);
  unit.SetSensor(2, 200, 50);
  ASSERT_EQ(link.OpenDevice(), 1);
  Payload frame = BuildCommandFrame(code::kWriteCalibration, std::array<std::uint8_t, 24>{0xFF, 0xFF, 0, 0x00, 0x05, 0});
  const Payload frames[] = {frame};
  ASSERT_EQ(RunWriteSequence(link, store, kDialogWrite, frames), WriteOutcome::kWritten);
  EXPECT_EQ(unit.CalibrationBlock()[1], 0xFF);
  EXPECT_EQ(unit.CalibrationBlock()[2], 0xFF);
  ReadLiveSequence(link);
  const LiveReadings r = DecodeLiveReadings(store.Block(response::kLive));
  EXPECT_FLOAT_EQ(r.temperature[0], 23.5f);  // not 23.4
  EXPECT_FLOAT_EQ(r.temperature[1], 20.5f);  // +0.5 applies
}

TEST_F(LinkFixture, StopEndsTheReaderAndLaterCallsDoNothing) {
  ASSERT_EQ(link.OpenDevice(), 1);
  link.Stop();
  EXPECT_EQ(link.Connected(), 0);
  EXPECT_EQ(link.OpenDevice(), 0);
  link.WriteReport(BuildCommandFrame(code::kLive));
  EXPECT_TRUE(unit.Received().empty());
}

// Stop returns while the reader sits in a read the unit holds: a read the
// device can cancel ends at once; one it cannot (hidapi's) is left to the
// reader, which closes the device only when that read returns, after the
// link is gone. Stop runs on a thread of its own so that a Stop that waits
// for the read fails the row instead of hanging it.
TEST(LinkStop, ReturnsWhileTheReaderSitsInARead) {
  for (const bool cancellable : {true, false}) {
    SCOPED_TRACE(cancellable ? "read the device cancels" : "read nothing can cancel");
    testing::SimRig rig({.eight_area = true, .pacing = false, .seed = 3, .default_card = false});
    rig.unit.SetHoldReads(true);
    rig.unit.SetUncancellableReads(!cancellable);
    auto link = std::make_unique<DeviceLink>(rig.transport);
    EXPECT_EQ(link->OpenDevice(), 1);
    ASSERT_TRUE(testing::WaitUntil([&] { return rig.unit.ReadsInProgress() == 1; }, 5s));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
      link->Stop();
      stopped = true;
    });
    const bool returned = testing::WaitUntil([&] { return stopped.load(); }, 5s);
    EXPECT_TRUE(returned) << "Stop waits for the read";
    if (returned) {
      // A read nothing cancels keeps its device open; the link goes first.
      EXPECT_EQ(rig.unit.OpenHandles(), cancellable ? 0 : 1);
      link.reset();
    }
    rig.unit.SetHoldReads(false);
    stopper.join();
    link.reset();
    EXPECT_TRUE(testing::WaitUntil([&] { return rig.unit.OpenHandles() == 0; }, 5s));
  }
}

// An unplug fails the reader's read: the link drops the unit at once, tells
// its owner, and a sender waiting for an answer goes on. The old handle of a
// unit that is back fails a write too; either way the loss is told once.
TEST_F(LinkFixture, ReadErrorLosesTheUnitAndReleasesAWaitingSender) {
  std::atomic<int> lost{0};
  ManualResetEvent lost_event{false};
  link.SetLostHandler([&] {
    ++lost;
    lost_event.Set();
  });
  ASSERT_EQ(link.OpenDevice(), 1);
  link.SetTimeScale(1.0);  // the sender's wait lasts its full 2 s
  unit.SetSilent(true);
  std::atomic<bool> answered{true};
  std::atomic<Steady::rep> returned{0};
  std::thread sender([&] {
    answered = Exchange(link, BuildCommandFrame(code::kLive), response::kLive, 2000, 2000);
    returned = Steady::now().time_since_epoch().count();
  });
  ASSERT_TRUE(testing::WaitUntil([&] { return unit.Received().size() == 1; }, 2s));  // the sender waits
  const auto unplugged = Steady::now();
  unit.Unplug();
  EXPECT_TRUE(lost_event.Wait(2s));
  sender.join();
  EXPECT_FALSE(answered.load());
  EXPECT_LT(Steady::time_point(Steady::duration(returned.load())) - unplugged, 1s);
  EXPECT_EQ(link.Connected(), 0);
  EXPECT_EQ(lost.load(), 1);
  EXPECT_FALSE(ReadLiveSequence(link));  // no time-out to wait out: nothing can answer

  unit.Plug();
  ASSERT_EQ(link.OpenDevice(), 1);
  unit.SetSilent(false);
  EXPECT_TRUE(ReadLiveSequence(link));
  lost_event.Reset();
  unit.Unplug();
  unit.Plug();
  link.WriteReport(BuildCommandFrame(code::kLive));
  EXPECT_TRUE(lost_event.Wait(2s));
  EXPECT_EQ(link.Connected(), 0);
  EXPECT_EQ(lost.load(), 2);
}

}  // namespace
}  // namespace norvo
