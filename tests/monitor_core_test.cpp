// Value texts, dew point, the poll counter rule and the string table.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "monitor/Format.h"
#include "session/PollScheduler.h"
#include "res/Strings.h"

namespace norvo {
namespace {

TEST(FormatTemperature, EveryModeInBothUnits) {
  const struct {
    float value;
    int mode, unit;
    const char* text;
  } cases[] = {
      {23.5f, 0, 0, "23.5  \u00B0C"},   {23.5f, 0, 1, "74.3  \u00B0F"},   {-20.0f, 0, 1, "-4.0  \u00B0F"},
      {65535.0f, 0, 0, "--  \u00B0C"},  {65535.0f, 0, 1, "--  \u00B0F"},  {65535.0f, 1, 0, "--  "},
      {65535.0f, 1, 1, "--  "},         {23.5f, 1, 0, "23.5  "},          {25.3f, 1, 1, "77.5  "},
      {0.5f, 2, 1, "0.9"},              {0.5f, 2, 0, "0.5"},              {1.0f, 2, 1, "1.8"},
      {65535.0f, 2, 0, "65535.0"},      {65535.0f, 2, 1, "117963.0"},     {23.45f, 0, 0, "23.5  \u00B0C"},
      {-40.0f, 0, 0, "-40.0  \u00B0C"}, {60.0f, 0, 1, "140.0  \u00B0F"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatTemperature(c.value, c.mode, c.unit), c.text) << c.value << " mode " << c.mode;
  }
}

TEST(FormatHumidity, ValidInvalidAndNumberMode) {
  EXPECT_EQ(FormatHumidity(45, 0), "45  %");
  EXPECT_EQ(FormatHumidity(45, 1), "45  ");
  EXPECT_EQ(FormatHumidity(65535, 0), "--  %");
  EXPECT_EQ(FormatHumidity(65535, 1), "--  ");
  EXPECT_EQ(FormatHumidity(-2, 1), "-2  ");
}

TEST(DewPoint, ReferenceValuesAndLimits) {
  const struct {
    float t;
    int h;
    const char* shown;  // three decimals
  } cases[] = {{25.0f, 50, "13.886"}, {20.0f, 60, "12.025"}, {0.0f, 80, "-3.037"},
               {-10.0f, 90, "-11.345"}, {60.0f, 99, "59.826"}};
  for (const auto& c : cases) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(DewPoint(c.t, c.h)));
    EXPECT_STREQ(buf, c.shown) << c.t << " " << c.h;
  }
  EXPECT_EQ(FormatTemperature(DewPoint(25.0f, 50), 0, 0), "13.9  \u00B0C");
  EXPECT_EQ(DewPoint(-40.0f, 1), 65535.0f);
  EXPECT_EQ(DewPoint(25.0f, 65535), 65535.0f);
  EXPECT_EQ(DewPoint(65535.0f, 65535), 65535.0f);
}

// Seconds simulated by calling Tick, never slept.
TEST(PollScheduler, FirstPollAtOnceThenEveryTwentySeconds) {
  PollScheduler s;
  std::vector<int> polls;
  for (int second = 0; second < 61; ++second) {
    if (s.Tick(true, false)) polls.push_back(second);
  }
  EXPECT_EQ(polls, (std::vector<int>{0, 20, 40, 60}));
}

TEST(PollScheduler, ArrivalAfterFortySecondsPollsInItsFirstSecond) {
  PollScheduler s;
  for (int second = 0; second < 45; ++second) EXPECT_FALSE(s.Tick(false, false));
  EXPECT_TRUE(s.Tick(true, false));

  // Busy for a long while (a dialog open), then idle: polls at once.
  PollScheduler t;
  EXPECT_TRUE(t.Tick(true, false));
  for (int second = 0; second < 41; ++second) EXPECT_FALSE(t.Tick(true, true));
  EXPECT_TRUE(t.Tick(true, false));

  // Busy for a short while: the regular 20 s rhythm counts busy seconds once.
  PollScheduler u;
  EXPECT_TRUE(u.Tick(true, false));
  for (int second = 0; second < 10; ++second) EXPECT_FALSE(u.Tick(true, true));
  int idle = 0;
  while (!u.Tick(true, false)) ++idle;
  EXPECT_EQ(idle, 14);  // 3 + 10 + 2 x 14 = 41
}

TEST(UiStrings, TableOrderCountAndBothLanguages) {
  EXPECT_EQ(kUiStringCount, 53);
  EXPECT_EQ(UiStringIdAt(0), 201);
  EXPECT_EQ(UiStringIdAt(1), 202);
  EXPECT_EQ(UiStringIdAt(2), 293);
  EXPECT_EQ(UiStringIdAt(3), 204);
  EXPECT_EQ(UiStringIdAt(49), 250);
  EXPECT_EQ(UiStringIdAt(52), 296);

  LoadUIStrings(kLanguageGerman);
  for (int i = 0; i < kUiStringCount; ++i) EXPECT_FALSE(UIString(UiStringIdAt(i)).empty()) << i;
  const std::pair<int, const char*> german[] = {
      {205, "Einstellungen"},  {236, "Wechseln Sie zum Hauptbildschirm."}, {227, "Größe"},
      {232, "Getrennt"},       {230, "Möchten Sie die Uhrzeit synchronisieren?"}, {293, "Taupunkt"},
      {296, "Sprache"}};
  for (const auto& [id, text] : german) EXPECT_EQ(UIString(id), text) << id;
  EXPECT_EQ(Menu().menu, "Menü");
  EXPECT_EQ(Menu().about, "Über Vantiro(&A)...");

  LoadUIStrings(kLanguageEnglish);
  const std::pair<int, const char*> english[] = {
      {201, "Temperature"}, {236, "Please switch the device to the main screen."},
      {237, "Interval Range of values: 5 to 240 Minute"}, {230, "Are you want to Synchronization Time?"},
      {295, "Low"}};
  for (const auto& [id, text] : english) EXPECT_EQ(UIString(id), text) << id;
  EXPECT_EQ(Menu().sd_card, "SDCard File");
  EXPECT_EQ(Menu().about, "About Ombrix(&A)...");
  EXPECT_EQ(UIString(999), "");
}

// Every entry of the table, the unit's 53 and the named texts: both languages
// present, the same placeholders in both, and no English text under two names.
TEST(UiStrings, EveryNamedTextInBothLanguages) {
  const std::regex placeholder(R"(%(?:[1-9]|[-+ #0]*[0-9]*(?:\.[0-9]+)?(?:zu|lld|ld|d|s|f|u|x)))");
  const auto placeholders = [&](const std::string& text) {
    std::vector<std::string> found;
    for (auto it = std::sregex_iterator(text.begin(), text.end(), placeholder); it != std::sregex_iterator(); ++it) {
      found.push_back(it->str());
    }
    std::sort(found.begin(), found.end());
    return found;
  };
  std::map<std::string, int> english_names;
  for (int i = 0; i < kUiTextCount; ++i) {
    const int id = UiStringIdAt(i);
    LoadUIStrings(kLanguageGerman);
    const std::string german = UIString(id);
    LoadUIStrings(kLanguageEnglish);
    const std::string& english = UIString(id);
    EXPECT_FALSE(english.empty()) << id;
    EXPECT_FALSE(german.empty()) << id;
    EXPECT_EQ(placeholders(english), placeholders(german)) << id << " " << english;
    const auto [first, fresh] = english_names.emplace(english, id);
    EXPECT_TRUE(fresh) << english << ": " << first->second << " and " << id;
  }
  EXPECT_EQ(UiStringIdAt(kUiStringCount), ui::kNoUnitFound);
  EXPECT_EQ(UiStringIdAt(kUiTextCount - 1), ui::kNamedTextEnd - 1);

  const struct {
    const char* pattern;
    const char* text;
  } fills[] = {{"cannot read %1: %2", "cannot read /a%2b: gone"}, {"%2 / %1 %", "gone / /a%2b %"}, {"%3", "%3"}};
  for (const auto& f : fills) EXPECT_EQ(FillText(f.pattern, {"/a%2b", "gone"}), f.text) << f.pattern;
}

}  // namespace
}  // namespace norvo
