#pragma once
// The user-interface texts in English (1033) and German (1031): the unit's
// 53-entry string table and the texts the console adds to it, each fetched by
// its name with UIString(ui::kName); the menu and the About entry. The language is chosen once per
// process; changing it goes through Main.ini and a restart.

#include <initializer_list>
#include <string>
#include <string_view>

namespace norvo {

constexpr int kLanguageEnglish = 1033;
constexpr int kLanguageGerman = 1031;
constexpr int kUiStringCount = 53;

// String ids in table order: 201, 202, 293, 204..250, 294, 295, 296, then the
// named texts from 1000 (positions up to kUiTextCount).
int UiStringIdAt(int position);

// Loads the table of the given language (any id but 1031 means English).
void LoadUIStrings(int language_id);
int LoadedLanguage();

// The loaded text of an id of the table (UTF-8); empty for an unknown id.
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

// The texts the console adds to the table, by where they are shown; ids from
// 1000 up in table order.
enum : int {
  // Pieces several front ends put around a path, a number or a block name.
  kNoUnitFound = 1000,
  kRangeTo,
  kNoRecordStoreAt,
  kCannotOpenLockFolder,
  kWriteErrorReason,
  // Writes to the unit (the dialogs and norvoctl).
  kNoAnswerNothingWritten,
  kUnitDidNotTake,
  kReadsBackOtherwise,
  kWrittenButUnchecked,
  kDidNotAnswerNothingWritten,
  // Console windows: menus, status bar, the unit dialogs, the History dialog.
  kAllowedRange,
  kAllowedGraphSpans,
  kMinusTenthCelsius,
  kMinusTenthFahrenheit,
  kValuesNotReadYet,
  kPluggedInAgain,
  kCancel,
  kExportCsv,
  kDownloadRate,
  kCsvNotWritten,
  kNamedFile,
  kFileListIncomplete,
  kOutOfMemoryNotImported,
  kQuit,
  kHelpMenu,
  kLastReading,
  kNoAnswerFor,
  // The console's command line and its simulation menu.
  kAppDescription,
  kSimulateOptionHelp,
  kFaultOptionHelp,
  kTryHelp,
  kUnexpectedArgument,
  kSimulationMenu,
  kSimUnplug,
  kSimPlug,
  kSimOtherScreen,
  // Card files: local copies, downloads and their import.
  kDatesOf,
  kDatesFitNoOrder,
  kFileNotImportedStoreKept,
  kOutOfMemoryImporting,
  kStoreKeepsContents,
  kLocalCopyOf,
  kLocalCopyMismatch,
  kConsoleOwnFile,
  kWriteErrorAt,
  kCopyIsSymlink,
  kCopyNotRegular,
  kCardNameEmpty,
  kCardNameTooLong,
  kCardNameUnsafe,
  // norvoctl: options, progress lines and failures.
  kFromToTogether,
  kSpanUnreadable,
  kAlarmLasts,
  kUnitsCount,
  kChannelsCount,
  kCannotWriteFile,
  kStandardInput,
  kStandardOutput,
  kNoReader,
  kForeignSymlink,
  kSymlinkChain,
  kCannotReadFile,
  kNotABackup,
  kCliWarning,
  kUnitReportsInterval,
  kMinutesRestoreRefuses,
  kUnitHolds,
  kRestoreRefuses,
  kSavedConfigurationOf,
  kSavedConfigurationTo,
  kRestoredFrom,
  kReadsBackSame,
  kNotOnCard,
  kResumesDownload,
  kCopyAndRecordsKept,
  kInterruptedStoreKept,
  kImportedLines,
  kConsoleOwnFileName,
  kIncompleteNotImported,
  kInterruptedAfterImport,
  kNoAnswerAfterDelete,
  kInterruptedAfterDelete,
  kStillOnCard,
  kCopyNotDeleted,
  kRecordsNotDeleted,
  kDeletedFile,
  kNotAFolder,
  kCannotCreateFolder,
  kWatchSeconds,
  kAlarmLogOptions,
  kTimeOptionForms,
  kTheYear,
  kIsOutside,
  kColumnForms,
  kColumnNames,
  kTwice,
  kToBeforeFrom,
  kInterrupted,
  kCannotWriteOutputBecause,
  kListAnd,
  kNothingWritten,
  kWrittenBefore,
  kBackupOfOtherModelAn,
  kBackupOfOtherModelA,
  kNothingWrittenSentence,
  kInterruptedBefore,
  kNoAnswerNothingMoreWritten,
  kNoAnswerReadBack,
  kWereWritten,
  kRestoreReadsBackOther,
  kThanBackupHolds,
  kUnitDoesNotAnswer,
  kInterruptedNothingWritten,
  kCannotWritePath,
  kMainIniSwitched,
  kUnitNotSwitched,
  kLanguageIs,
  // Record store and live store messages.
  kOutOfMemory,
  kStoreNotOpen,
  kNotADatabase,
  kNoRecordStore,
  kLiveStoreNewer,
  kStoreReadOnly,
  kFromTimeForm,
  kToTimeForm,
  kCannotWriteOutput,
  kStoreIsSymlink,
  kStoreNotRegular,
  kStoreNotADatabase,
  kStoreNotConnected,
  kRecordTableNotOpen,
  kUnknownColumn,
  kBadTimeSpan,
  // Report files.
  kCannotBeWritten,
  kReportFormats,
  // Named files and lock files.
  kTooManyOpenFiles,
  kCannotOpenLockFile,
  kLockFileSymlink,
  kLockFileNotRegular,
  kCannotUseLockFile,
  kLargerThan,
  kBytes,
  kIsADirectory,
  kNotARegularFile,
  kSymlinkNotFollowed,
  // Unit lock, attaching to a holder and the logging service.
  kHolderVersion,
  kProgramVersion,
  kHeldByLoggerGroup,
  kJoinLoggerGroup,
  kUnitWasReached,
  kWhichHasEnded,
  kThrough,
  kProcessOpen,
  kUserName,
  kLockFolderNotFolder,
  kTheLockFolder,
  kBelongsTo,
  kAndNotUsed,
  kWritableByOthersNotUsed,
  kUnitInUseByPid,
  kUnitInUseByOther,
  kHeldByUntrusted,
  kTheFolder,
  kSocketFolderBelongsTo,
  kAndWritableByOthers,
  kNotASocket,
  kServedByProcess,
  kOfUser,
  kNoPermission,
  kNotRecorded,
  kNamedTextEnd,  // one past the last
};
}  // namespace ui

// Every entry of the table: the 53 ids above, then the named texts.
constexpr int kUiTextCount = kUiStringCount + (ui::kNamedTextEnd - ui::kNoUnitFound);

// The text with %1, %2 ... %9 replaced by the values, in one pass: a value
// that itself holds "%2" stays as it is.
std::string FillText(std::string_view pattern, std::initializer_list<std::string_view> values);

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

namespace norvo {

// Texts of the recording switch and of the Trends window, beyond the 53-entry
// table, in the loaded language.
struct TrendsTexts {
  std::string_view record;      // checkable menu entry: the console records the polls of the unit it holds
  std::string_view trends;      // menu command and window title
  std::string_view unit;        // label of the unit list
  std::string_view channels;    // label of the channel boxes
  std::string_view quantity;    // label of the quantity list
  std::string_view span;        // label of the span list
  std::string_view spans[7];    // 1 h, 24 h, 7 days, 30 days, 1 year, all, start and end
  std::string_view channel;     // table headers
  std::string_view minimum;
  std::string_view at;
  std::string_view maximum;
  std::string_view mean;
  std::string_view count;
  std::string_view reading;     // while a query runs
  std::string_view no_readings; // the span holds no recorded poll
  std::string_view no_store;    // no recorded readings anywhere yet
  std::string_view limit;       // line of an alarm limit: "CH%1 %2" (channel, High or Low)
  std::string_view report;      // the button: a report over the span and channels in view
  std::string_view report_done; // the report's file was written
  std::string_view json_filter;
};
const TrendsTexts& Trends();
// Texts of the alarms (status bar, desktop notifications, serve's log) and
// of the reports, beyond the 53-entry table, in the loaded language.
// "%1" and "%2" stand for values put in by the caller.
struct AlarmTexts {
  std::string_view above;          // "CH3 above 35.0 °C since 14:02"
  std::string_view below;
  std::string_view since;
  std::string_view entered;        // notification title: "CH3: temperature alarm"
  std::string_view left;           // notification title: "CH3: alarm over"
  std::string_view back_within;    // "CH3 is back within its limit of 35.0 °C"
  std::string_view peak;           // "peak 36.2 °C at 14:10"
  std::string_view temperature;    // the quantity in a title
  std::string_view humidity;
  std::string_view more;           // "(+%1 more)"
};
const AlarmTexts& AlarmExtras();

struct ReportTexts {
  std::string_view title;          // "Temperature and humidity report"
  std::string_view unit;
  std::string_view identification;
  std::string_view span;
  std::string_view interval;       // "Logging interval"
  std::string_view interval_text;  // "%1 min on the unit; polls recorded every %2 s"
  std::string_view made;           // "Made %1"
  std::string_view page;           // "Page %1 of %2"
  std::string_view channel;
  std::string_view count;
  std::string_view minimum;
  std::string_view maximum;
  std::string_view mean;
  std::string_view mkt;            // "MKT (%1 K)"
  std::string_view above;          // "Time above %1"
  std::string_view below;          // "Time below %1"
  std::string_view excursions;
  std::string_view start;
  std::string_view end;
  std::string_view duration;
  std::string_view peak;
  std::string_view open;           // an excursion still running at the span's end
  std::string_view none;           // "no excursions"
  std::string_view no_limits;      // "No alarm limits recorded for this unit."
  std::string_view no_readings;    // "No readings in this span."
  std::string_view temperature;
  std::string_view humidity;
  std::string_view to;             // "from %1 to %2"
};
const ReportTexts& ReportExtras();

}  // namespace norvo
