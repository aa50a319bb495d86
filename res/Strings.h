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
};
const GraphTexts& GraphExtras();

}  // namespace norvo
