#pragma once
// The user-interface texts in English (1033) and German (1031): the 53-entry
// string table, the menu and the About entry. The language is chosen once per
// process; changing it goes through Main.ini and a restart.

#include <string>
#include <string_view>

namespace norvo {

constexpr int kLanguageEnglish = 1033;
constexpr int kLanguageGerman = 1031;
constexpr int kUiStringCount = 53;

// String ids in table order: 201, 202, 293, 204..250, 294, 295, 296.
int UiStringIdAt(int position);

// Loads the table of the given language (any id but 1031 means English).
void LoadUIStrings(int language_id);
int LoadedLanguage();

// The loaded text of one of the 53 ids (UTF-8); empty for an unknown id.
const std::string& UIString(int id);

// The ids of the string table by name.
namespace ui {
constexpr int kTemperature = 201;
constexpr int kHumidity = 202;
constexpr int kDewPoint = 293;
constexpr int kMenu = 204;
constexpr int kSetup = 205;
constexpr int kGraphType = 206;
constexpr int kGraphTime = 207;
constexpr int kTimeFormat = 208;
constexpr int kDateFormat = 209;
constexpr int kUnits = 210;
constexpr int kTimeZone = 211;
constexpr int kSyncTime = 212;
constexpr int kInterval = 213;
constexpr int kMinute = 214;
constexpr int kSetInterval = 215;
constexpr int kSave = 216;
constexpr int kExit = 217;
constexpr int kAlarm = 218;
constexpr int kTemperatureAlarm = 219;
constexpr int kHumidityAlarm = 220;
constexpr int kCalibration = 221;
constexpr int kSdCardFile = 222;
constexpr int kSelect = 223;
constexpr int kDelete = 224;
constexpr int kGraph = 225;
constexpr int kFileName = 226;
constexpr int kSize = 227;
constexpr int kTime = 228;
constexpr int kHeatIndex = 229;
constexpr int kSyncTimeQuestion = 230;
constexpr int kSyncTimeSuccess = 231;
constexpr int kUnconnected = 232;
constexpr int kConnected = 233;
constexpr int kStartTime = 234;
constexpr int kEndTime = 235;
constexpr int kSwitchToMainScreen = 236;
constexpr int kIntervalRange = 237;
constexpr int kSetIntervalSuccess = 238;
constexpr int kTempError = 239;
constexpr int kHumiError = 240;
constexpr int kTempOutOfValue = 241;
constexpr int kHumiOutOfValue = 242;
constexpr int kSelectFile = 243;
constexpr int kOpenError = 244;
constexpr int kCreateError = 245;
constexpr int kFileErrors = 246;
constexpr int kDeleteQuestion = 247;
constexpr int kTimeError = 248;
constexpr int kArea = 249;
constexpr int kAboutVantiro = 250;
constexpr int kHigh = 294;
constexpr int kLow = 295;
constexpr int kLanguage = 296;
}  // namespace ui

// A text the console adds to the table, in the loaded language.
std::string_view Localized(std::string_view english, std::string_view german);

// "No unit found." in the loaded language: the state every front end shows
// when no unit answers.
std::string_view NoUnitText();

// Menu 131 and string 101, in the loaded language.
struct MenuTexts {
  std::string_view menu;
  std::string_view setup;
  std::string_view alarm;
  std::string_view calibration;
  std::string_view sd_card;
  std::string_view sync_time;
  std::string_view language;
  std::string_view about;  // "About Ombrix(&A)..."
};
const MenuTexts& Menu();

// Menu command ids.
namespace command {
constexpr int kSetup = 32772;
constexpr int kAlarm = 32773;
constexpr int kCalibration = 32774;
constexpr int kSdCard = 32775;
constexpr int kSyncTime = 32776;
constexpr int kLanguage = 32777;
constexpr int kAbout = 0x10;
}  // namespace command

constexpr std::string_view kAppTitle = "Ombrix";
constexpr std::string_view kAboutTitle = "ABout Ombrix";
constexpr std::string_view kAboutText = "Ombrix, 1.5";

// Texts of the Graph dialog's view and export controls, beyond the 53-entry
// table, in the loaded language.
struct GraphTexts {
  std::string_view save;         // button that saves the chart
  std::string_view reset;        // button that shows the whole span again
  std::string_view hint;         // tooltip of the chart
  std::string_view png_filter;   // file dialog filters
  std::string_view pdf_filter;
  std::string_view csv_filter;
  std::string_view write_error;  // followed by a line with the file's path
  std::string_view whole_file;   // button that draws every stored reading
};
const GraphTexts& GraphExtras();

}  // namespace norvo
