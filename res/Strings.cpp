#include "Strings.h"

#include <array>

namespace norvo {
namespace {

struct Entry {
  int id;
  const char* english;
  const char* german;
};

constexpr std::array<Entry, kUiTextCount> kTable = {{
    {201, "Temperature", "Temperatur"},
    {202, "Humidity", "Luftfeuchtigkeit"},
    {293, "DewPoint", "Taupunkt"},
    {204, "Menu", "Menü"},
    {205, "Setup", "Einstellungen"},
    {206, "Graph Type", "Graphiktyp"},
    {207, "Graph Time", "Graphikzeit"},
    {208, "Time Format", "Format Zeit"},
    {209, "Date Format", "Format Datum"},
    {210, "Units", "Einheiten"},
    {211, "TimeZone", "Zeitzone"},
    {212, "Sync Time", "Synchronisationszeit"},
    {213, "Interval", "Intervall"},
    {214, "Minute", "Minuten"},
    {215, "Set Interval", "Intervalleinstellung"},
    {216, "Save", "Sichern"},
    {217, "Exit", "Verlassen"},
    {218, "Alarm", "Alarm"},
    {219, "Temperature Alarm", "Temperaturalarm"},
    {220, "Humidity Alarm", "Alarm Luftfeuchtigkeit"},
    {221, "Calibration", "Kalibrierung"},
    {222, "SDCard File", "SD Karte Datei"},
    {223, "Select", "Auswählen"},
    {224, "Delete", "Löschen"},
    {225, "Graph", "Graphik"},
    {226, "File Name", "Dateiname"},
    {227, "Size", "Größe"},
    {228, "Time", "Uhrzeit"},
    {229, "HeatIndex", "Wärmeindex"},
    {230, "Are you want to Synchronization Time?", "Möchten Sie die Uhrzeit synchronisieren?"},
    {231, "Sync Time Success", "Synchronisationszeit Uhrzeit"},
    {232, "Unconnected", "Getrennt"},
    {233, "Connected", "Verbunden"},
    {234, "Start Time", "Startzeit"},
    {235, "End Time", "Endzeit"},
    {236, "Please switch the device to the main screen.", "Wechseln Sie zum Hauptbildschirm."},
    {237, "Interval Range of values: 5 to 240 Minute", "Intervallbereich der Werte: 5 bis 240 Minuten"},
    {238, "Set Interval Success", "Bestätigung Intervalleinstellung"},
    {239, "Temp Error", "Fehler Temperatur"},
    {240, "Humi Error", "Fehler Luftfeuchtigkeit"},
    {241, "Temp Out of value", "Temperatur außerhalb des Wertes"},
    {242, "Humi Out of value", "Luftfeuchtig außerhalb des Wertes"},
    {243, "Please select a file", "Wählen Sie eine Datei aus"},
    {244, "Open Error", "Fehleröffnung"},
    {245, "Create Error", "Fehlererstellung"},
    {246, "This file errors", "Fehlerhafte Datei"},
    {247, "Are you sure to delete the file?", "Sind Sie sicher: Löschen?"},
    {248, "Time Error", "Zeitfehler"},
    {249, "Area", "Bereich"},
    {250, "About Vantiro", "Über Vantiro"},
    {294, "High", "Hoch"},
    {295, "Low", "Niedrig"},
    {296, "Language", "Sprache"},
    {ui::kNoUnitFound, "No unit found.", "Kein Gerät gefunden."},
    {ui::kRangeTo, " to ", " bis "},
    {ui::kNoRecordStoreAt, ": no record store", ": keine Datenbank"},
    {ui::kCannotOpenLockFolder, "cannot open the lock folder ",
     "der Sperrordner kann nicht ge\u00F6ffnet werden: "},
    {ui::kWriteErrorReason, "write error", "Schreibfehler"},
    {ui::kNoAnswerNothingWritten, "The unit does not answer; nothing was written.",
     "Das Gerät antwortet nicht; es wurde nichts geschrieben."},
    {ui::kUnitDidNotTake, "The unit did not take the ", "Das Gerät hat nicht übernommen: "},
    {ui::kReadsBackOtherwise, ": it reads back otherwise.", " (es meldet andere Werte zurück)."},
    {ui::kWrittenButUnchecked, "Written, but the unit did not answer the check of the ",
     "Geschrieben, aber das Gerät antwortet nicht auf die Prüfung: "},
    {ui::kDidNotAnswerNothingWritten, "The unit did not answer; nothing was written.",
     "Das Gerät antwortet nicht; es wurde nichts geschrieben."},
    {ui::kAllowedRange, "; allowed: ", "; zul\u00E4ssig: "},
    {ui::kAllowedGraphSpans, "; allowed: 12, 24, 48 or 72", "; zul\u00E4ssig: 12, 24, 48 oder 72"},
    {ui::kMinusTenthCelsius, "-0.1 cannot be stored: the unit reads its code as \"no value\". Use 0.0 or "
     "-0.2.",
     "-0,1 lässt sich nicht speichern: das Gerät liest diesen Code als \"kein Wert\". Verwenden Sie 0,0 oder "
     "-0,2."},
    {ui::kMinusTenthFahrenheit, "-0.1 \u00B0C cannot be stored: the unit reads its code as \"no value\". Use "
     "%1 or %2 \u00B0F.",
     "-0,1 \u00B0C lässt sich nicht speichern: das Gerät liest diesen Code als \"kein Wert\". Verwenden Sie "
     "%1 oder %2 \u00B0F."},
    {ui::kValuesNotReadYet, "The unit's values could not be read yet; Save stays off until they are.",
     "Die Werte des Geräts konnten noch nicht gelesen werden; Sichern bleibt gesperrt, bis sie vorliegen."},
    {ui::kPluggedInAgain, "The unit was plugged in again while this dialog was open: its values are read "
     "anew. Check them, then save again.",
     "Das Gerät wurde erneut angeschlossen, während dieser Dialog offen war: seine Werte werden neu gelesen. "
     "Prüfen Sie sie und sichern Sie dann erneut."},
    {ui::kCancel, "Cancel", "Abbrechen"},
    {ui::kExportCsv, "Export CSV", "CSV exportieren"},
    {ui::kDownloadRate, "%1 % \u2013 %2/s", "%1 % \u2013 %2/s"},
    {ui::kCsvNotWritten, "The CSV file could not be written: %1",
     "Die CSV-Datei konnte nicht geschrieben werden: %1"},
    {ui::kNamedFile, "File: %1", "Datei: %1"},
    {ui::kFileListIncomplete, "The unit did not send its whole file list; try again.",
     "Das Gerät hat seine Dateiliste nicht vollständig gesendet; bitte erneut versuchen."},
    {ui::kOutOfMemoryNotImported, "Out of memory: %1 was not imported.",
     "Nicht genug Speicher: %1 wurde nicht importiert."},
    {ui::kQuit, "Quit", "Beenden"},
    {ui::kHelpMenu, "&Help", "&Hilfe"},
    {ui::kLastReading, "Last reading", "Letzte Messung"},
    {ui::kNoAnswerFor, " (no answer for %1 s)", " (seit %1 s keine Antwort)"},
    {ui::kAppDescription, "The console of the eight-channel temperature and humidity unit.",
     "Die Konsole des achtkanaligen Temperatur- und Feuchtemessgeräts."},
    {ui::kSimulateOptionHelp, "Run against a simulated unit instead of the USB device; adds the Simulation "
     "menu.",
     "Mit einem simulierten Gerät statt des USB-Geräts arbeiten; mit dem Menü Simulation."},
    {ui::kFaultOptionHelp, "With --simulate, a misbehaving unit: unplugged, silent, refuse, short-block, "
     "ignore-writes or open-failure.",
     "Mit --simulate ein fehlerhaftes Gerät: unplugged, silent, refuse, short-block, ignore-writes oder "
     "open-failure."},
    {ui::kTryHelp, "Try 'norvo --help'.", "Siehe 'norvo --help'."},
    {ui::kUnexpectedArgument, "unexpected argument", "unerwartetes Argument"},
    {ui::kSimulationMenu, "Simulation", "Simulation"},
    {ui::kSimUnplug, "Unplug unit", "Gerät abziehen"},
    {ui::kSimPlug, "Plug unit in", "Gerät anschließen"},
    {ui::kSimOtherScreen, "Unit on another screen", "Gerät auf anderem Bildschirm"},
    {ui::kDatesOf, "The dates of ", "Die Datumsangaben von "},
    {ui::kDatesFitNoOrder, " fit neither day-first nor month-first order (data line ",
     " passen weder zur Reihenfolge Tag zuerst noch Monat zuerst (Datenzeile "},
    {ui::kFileNotImportedStoreKept, "); the file was not imported and the record store keeps its previous "
     "contents.",
     "); die Datei wurde nicht importiert, die Datenbank behält ihren bisherigen Inhalt."},
    {ui::kOutOfMemoryImporting, "Out of memory while importing ", "Nicht genug Speicher beim Import von "},
    {ui::kStoreKeepsContents, "; the record store keeps its previous contents.",
     "; die Datenbank behält ihren bisherigen Inhalt."},
    {ui::kLocalCopyOf, "The local copy of ", "Die lokale Kopie von "},
    {ui::kLocalCopyMismatch, " does not match the card file; it is downloaded again from the start.",
     " passt nicht zur Datei auf der Karte; sie wird von Anfang an neu geladen."},
    {ui::kConsoleOwnFile, ": a file of the console itself; it is left alone",
     ": eine Datei der Konsole selbst; sie bleibt unberührt"},
    {ui::kWriteErrorAt, "Write error: ", "Schreibfehler: "},
    {ui::kCopyIsSymlink, ": is a symbolic link and is not opened.",
     ": ist ein symbolischer Link und wird nicht geöffnet."},
    {ui::kCopyNotRegular, ": is not a regular file and is not opened.",
     ": ist keine gewöhnliche Datei und wird nicht geöffnet."},
    {ui::kCardNameEmpty, "The unit reported an empty file name.",
     "Das Gerät meldete einen leeren Dateinamen."},
    {ui::kCardNameTooLong, "The unit reported a file name longer than 52 characters; it is not used:",
     "Das Gerät meldete einen Dateinamen mit mehr als 52 Zeichen; er wird nicht verwendet:"},
    {ui::kCardNameUnsafe, "The unit reported a file name that is not safe to use; it is not used:",
     "Das Gerät meldete einen unsicheren Dateinamen; er wird nicht verwendet:"},
    {ui::kFromToTogether, "--from and --to go together", "--from und --to gehören zusammen"},
    {ui::kSpanUnreadable, "the span cannot be read", "der Zeitraum ist nicht lesbar"},
    {ui::kAlarmLasts, "(lasts)", "(dauert an)"},
    {ui::kUnitsCount, " unit(s), ", " Gerät(e), "},
    {ui::kChannelsCount, " channel(s)", " Kanal/Kanäle"},
    {ui::kCannotWriteFile, "cannot write %1: %2", "%1 kann nicht geschrieben werden: %2"},
    {ui::kStandardInput, "standard input", "Standardeingabe"},
    {ui::kStandardOutput, "standard output", "Standardausgabe"},
    {ui::kNoReader, "no process reads it", "kein Prozess liest daraus"},
    {ui::kForeignSymlink, "a symbolic link of another user; not followed",
     "ein symbolischer Link eines anderen Benutzers; ihm wird nicht gefolgt"},
    {ui::kSymlinkChain, "a chain of symbolic links; not followed",
     "eine Kette symbolischer Links; ihr wird nicht gefolgt"},
    {ui::kCannotReadFile, "cannot read %1: %2", "%1 kann nicht gelesen werden: %2"},
    {ui::kNotABackup, ", not a backup", ", keine Sicherung"},
    {ui::kCliWarning, "norvoctl: warning: ", "norvoctl: Warnung: "},
    {ui::kUnitReportsInterval, "the unit reports a logging interval of ",
     "das Gerät meldet ein Aufzeichnungsintervall von "},
    {ui::kMinutesRestoreRefuses, " minutes, which restore refuses", " Minuten, das restore ablehnt"},
    {ui::kUnitHolds, "the unit holds ", "das Gerät enthält "},
    {ui::kRestoreRefuses, ", which restore refuses", ", was restore ablehnt"},
    {ui::kSavedConfigurationOf, "saved the configuration of the ", "Konfiguration des Geräts ("},
    {ui::kSavedConfigurationTo, " unit to ", ") gesichert in "},
    {ui::kRestoredFrom, "restored settings, alarms, calibration and interval from ",
     "Einstellungen, Alarme, Kalibrierung und Intervall wiederhergestellt aus "},
    {ui::kReadsBackSame, "; the unit reads back the same", "; das Gerät liest dieselben Werte zurück"},
    {ui::kNotOnCard, ": not on the card", ": nicht auf der Karte"},
    {ui::kResumesDownload, " resumes the download", " setzt den Download fort"},
    {ui::kCopyAndRecordsKept, "; the local copy and the records were kept",
     "; die lokale Kopie und die Datensätze bleiben erhalten"},
    {ui::kInterruptedStoreKept, "interrupted; the record store keeps its previous contents",
     "unterbrochen; die Datenbank behält ihren bisherigen Inhalt"},
    {ui::kImportedLines, "imported %1 lines", "%1 Zeilen importiert"},
    {ui::kConsoleOwnFileName, ": the name of the console's own file in the data folder; sd get and sd rm "
     "leave it alone",
     ": der Name einer eigenen Datei der Konsole im Datenordner; sd get und sd rm lassen sie unberührt"},
    {ui::kIncompleteNotImported, " is incomplete and was not imported; sd get ",
     " ist unvollständig und wurde nicht importiert; sd get "},
    {ui::kInterruptedAfterImport, "interrupted after the import of ", "unterbrochen nach dem Import von "},
    {ui::kNoAnswerAfterDelete, "The unit does not answer after the delete of ",
     "Das Gerät antwortet nicht nach dem Löschen von "},
    {ui::kInterruptedAfterDelete, "interrupted after the delete of ", "unterbrochen nach dem Löschen von "},
    {ui::kStillOnCard, ": still on the card after the delete", ": nach dem Löschen noch auf der Karte"},
    {ui::kCopyNotDeleted, " was deleted on the card, but its local copy was not: ",
     " wurde auf der Karte gelöscht, die lokale Kopie aber nicht: "},
    {ui::kRecordsNotDeleted, " was deleted on the card with its local copy, but the records were not: ",
     " wurde samt lokaler Kopie auf der Karte gelöscht, die Datensätze aber nicht: "},
    {ui::kDeletedFile, "deleted %1", "%1 gelöscht"},
    {ui::kNotAFolder, ": not a folder", ": kein Ordner"},
    {ui::kCannotCreateFolder, ": cannot create the folder: ", ": Ordner kann nicht angelegt werden: "},
    {ui::kWatchSeconds, "--watch takes whole seconds, 1 or more",
     "--watch erwartet ganze Sekunden, 1 oder mehr"},
    {ui::kAlarmLogOptions, "--from, --to and --csv go with alarms --log",
     "--from, --to und --csv gehören zu alarms --log"},
    {ui::kTimeOptionForms, " takes \"YYYY-MM-DD hh:mm:ss\", \"YYYY-MM-DD\" or ISO 8601 with an offset or Z",
     " erwartet \"YYYY-MM-DD hh:mm:ss\", \"YYYY-MM-DD\" oder ISO 8601 mit Zeitversatz oder Z"},
    {ui::kTheYear, ": the year ", ": das Jahr "},
    {ui::kIsOutside, " is outside ", " liegt außerhalb von "},
    {ui::kColumnForms, "--column takes Temperature, Humidity, DewPoint, Heatindex, a list of them separated "
     "by commas, or all",
     "--column erwartet Temperature, Humidity, DewPoint, Heatindex, eine durch Kommas getrennte Liste davon "
     "oder all"},
    {ui::kColumnNames, "--column names ", "--column nennt "},
    {ui::kTwice, " twice", " zweimal"},
    {ui::kToBeforeFrom, ": --to lies before --from", ": --to liegt vor --from"},
    {ui::kInterrupted, "interrupted", "unterbrochen"},
    {ui::kCannotWriteOutputBecause, "cannot write the output: ",
     "die Ausgabe kann nicht geschrieben werden: "},
    {ui::kListAnd, " and ", " und "},
    {ui::kNothingWritten, "nothing was written", "es wurde nichts geschrieben"},
    {ui::kWrittenBefore, " were written before", " wurden vorher geschrieben"},
    {ui::kBackupOfOtherModelAn, "the backup is of an %1 unit, this unit is %2",
     "die Sicherung stammt von einem Gerät (%1), dieses Gerät ist %2"},
    {ui::kBackupOfOtherModelA, "the backup is of a %1 unit, this unit is %2",
     "die Sicherung stammt von einem Gerät (%1), dieses Gerät ist %2"},
    {ui::kNothingWrittenSentence, " Nothing was written.", " Es wurde nichts geschrieben."},
    {ui::kInterruptedBefore, "interrupted before the ", "unterbrochen vor: "},
    {ui::kNoAnswerNothingMoreWritten, "The unit does not answer; nothing more was written.",
     "Das Gerät antwortet nicht; es wurde nichts mehr geschrieben."},
    {ui::kNoAnswerReadBack, "The unit does not answer the read-back; ",
     "Das Gerät antwortet nicht auf das Zurücklesen; "},
    {ui::kWereWritten, " were written.", " wurden geschrieben."},
    {ui::kRestoreReadsBackOther, "after the restore the unit reads back other ",
     "nach der Wiederherstellung liest das Gerät andere Werte zurück ("},
    {ui::kThanBackupHolds, " than the backup holds", ") als die Sicherung enthält"},
    {ui::kUnitDoesNotAnswer, "The unit does not answer.", "Das Gerät antwortet nicht."},
    {ui::kInterruptedNothingWritten, "interrupted; nothing was written to the unit",
     "unterbrochen; es wurde nichts auf das Gerät geschrieben"},
    {ui::kCannotWritePath, "Cannot write ", "Schreiben nicht möglich: "},
    {ui::kMainIniSwitched, "Main.ini was switched to ", "Main.ini wurde auf "},
    {ui::kUnitNotSwitched, ", the unit was not: ", " umgestellt, das Gerät nicht: "},
    {ui::kLanguageIs, "language: ", "Sprache: "},
    {ui::kOutOfMemory, "out of memory", "nicht genug Speicher"},
    {ui::kStoreNotOpen, "the record store is not open", "die Datenbank ist nicht geöffnet"},
    {ui::kNotADatabase, "file is not a database", "Datei ist keine Datenbank"},
    {ui::kNoRecordStore, "no record store", "keine Datenbank"},
    {ui::kLiveStoreNewer, "the live readings were written by a newer version of this program; the store is "
     "opened read-only and nothing is recorded",
     "die Live-Messwerte stammen von einer neueren Version dieses Programms; die Datenbank wird nur gelesen "
     "und es wird nichts aufgezeichnet"},
    {ui::kStoreReadOnly, "the record store is open read-only", "die Datenbank ist nur zum Lesen geöffnet"},
    {ui::kFromTimeForm, "--from takes \"YYYY-MM-DD hh:mm:ss\"", "--from erwartet \"YYYY-MM-DD hh:mm:ss\""},
    {ui::kToTimeForm, "--to takes \"YYYY-MM-DD hh:mm:ss\"", "--to erwartet \"YYYY-MM-DD hh:mm:ss\""},
    {ui::kCannotWriteOutput, "cannot write the output", "die Ausgabe kann nicht geschrieben werden"},
    {ui::kStoreIsSymlink, ": is a symbolic link and is not opened",
     ": ist ein symbolischer Link und wird nicht geöffnet"},
    {ui::kStoreNotRegular, ": is not a regular file and is not opened",
     ": ist keine gewöhnliche Datei und wird nicht geöffnet"},
    {ui::kStoreNotADatabase, ": file is not a database", ": Datei ist keine Datenbank"},
    {ui::kStoreNotConnected, "The record store is not connected.", "Die Datenbank ist nicht verbunden."},
    {ui::kRecordTableNotOpen, "The record table is not open.", "Die Datentabelle ist nicht geöffnet."},
    {ui::kUnknownColumn, "Unknown column: ", "Unbekannte Spalte: "},
    {ui::kBadTimeSpan, "Bad time span: ", "Ungültige Zeitspanne: "},
    {ui::kCannotBeWritten, ": cannot be written", ": kann nicht geschrieben werden"},
    {ui::kReportFormats, ": the report is written as .pdf, .csv or .json",
     ": der Bericht wird als .pdf, .csv oder .json geschrieben"},
    {ui::kTooManyOpenFiles, ": this process or the system has too many open files",
     ": dieser Prozess oder das System hat zu viele Dateien ge\u00F6ffnet"},
    {ui::kCannotOpenLockFile, "cannot open the lock file ",
     "die Sperrdatei kann nicht ge\u00F6ffnet werden: "},
    {ui::kLockFileSymlink, "the lock file is a symbolic link and is not used: ",
     "die Sperrdatei ist ein symbolischer Link und wird nicht verwendet: "},
    {ui::kLockFileNotRegular, "the lock file is not a regular file and is not used: ",
     "die Sperrdatei ist keine gew\u00F6hnliche Datei und wird nicht verwendet: "},
    {ui::kCannotUseLockFile, "cannot use the lock file ", "die Sperrdatei kann nicht verwendet werden: "},
    {ui::kLargerThan, "larger than ", "größer als "},
    {ui::kBytes, " bytes", " Bytes"},
    {ui::kIsADirectory, "is a directory", "ist ein Ordner"},
    {ui::kNotARegularFile, "is not a regular file", "ist keine reguläre Datei"},
    {ui::kSymlinkNotFollowed, "is a symbolic link; not followed",
     "ist ein symbolischer Link; ihm wird nicht gefolgt"},
    {ui::kHolderVersion, "the holder speaks version ", "der Halter spricht Version "},
    {ui::kProgramVersion, " of the share protocol, this program version ",
     " des Freigabeprotokolls, dieses Programm Version "},
    {ui::kHeldByLoggerGroup, "unit held by the logging service (norvo-logger), which serves only the group ",
     "Ger\u00E4t vom Protokolldienst (norvo-logger) belegt, der nur die Gruppe "},
    {ui::kJoinLoggerGroup, ": join that group and log in again, or read the service's readings with "
     "`norvoctl export --live`",
     " bedient: treten Sie dieser Gruppe bei und melden Sie sich neu an, oder lesen Sie die Messwerte des "
     "Dienstes mit `norvoctl export --live`"},
    {ui::kUnitWasReached, "The unit was reached ", "Das Gerät war erreichbar "},
    {ui::kWhichHasEnded, ", which has ended.", ", der beendet ist."},
    {ui::kThrough, "through ", "über "},
    {ui::kProcessOpen, " (process ", " (Prozess "},
    {ui::kUserName, "user ", "Benutzer "},
    {ui::kLockFolderNotFolder, " is not a folder and is not used for locks",
     " ist kein Ordner und wird f\u00FCr Sperren nicht verwendet"},
    {ui::kTheLockFolder, "the lock folder ", "der Sperrordner "},
    {ui::kBelongsTo, " belongs to ", " geh\u00F6rt "},
    {ui::kAndNotUsed, " and is not used", " und wird nicht verwendet"},
    {ui::kWritableByOthersNotUsed, " can be written by other users and is not used",
     " ist f\u00FCr andere Benutzer beschreibbar und wird nicht verwendet"},
    {ui::kUnitInUseByPid, "unit in use by pid ", "Gerät belegt von Prozess "},
    {ui::kUnitInUseByOther, "unit in use by another process",
     "Ger\u00E4t wird von einem anderen Prozess verwendet"},
    {ui::kHeldByUntrusted, "unit held by an untrusted process: ",
     "Ger\u00E4t von einem nicht vertrauensw\u00FCrdigen Prozess belegt: "},
    {ui::kTheFolder, "the folder ", "der Ordner "},
    {ui::kSocketFolderBelongsTo, " of its socket belongs to ", " seines Sockets geh\u00F6rt "},
    {ui::kAndWritableByOthers, " and can be written by other users", " und ist f\u00FCr andere beschreibbar"},
    {ui::kNotASocket, " is not a socket", " ist kein Socket"},
    {ui::kServedByProcess, " is served by process ", " wird bedient von Prozess "},
    {ui::kOfUser, " of ", " von "},
    {ui::kNoPermission, "The unit was found but cannot be opened (no permission). Install the udev rule: ",
     "Das Gerät wurde gefunden, lässt sich aber nicht öffnen (keine Berechtigung). Installieren Sie die "
     "udev-Regel: "},
    {ui::kNotRecorded, " (not recorded: %1)", " (nicht aufgezeichnet: %1)"},
}};

// The named texts follow the unit's 53 in id order, so an id from 1000 finds
// its entry without a search.
constexpr bool NamedInOrder() {
  for (int i = kUiStringCount; i < kUiTextCount; ++i) {
    if (kTable[static_cast<std::size_t>(i)].id != ui::kNoUnitFound + (i - kUiStringCount)) return false;
  }
  return true;
}
static_assert(NamedInOrder(), "the named texts must be in the order of their ids");

constexpr MenuTexts kMenuEnglish{"Menu",        "Setup",     "Alarm",    "Calibration",
                                 "SDCard File", "Sync Time", "Language", "About Ombrix(&A)..."};
constexpr MenuTexts kMenuGerman{"Menü",           "Einstellungen",        "Alarm",
                                "Kalibrierung",   "SD Karte Datei",       "Synchronisationszeit",
                                "Sprache",        "Über Vantiro(&A)..."};

std::array<std::string, kUiTextCount> Table(int language) {
  std::array<std::string, kUiTextCount> loaded;
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    loaded[i] = language == kLanguageGerman ? kTable[i].german : kTable[i].english;
  }
  return loaded;
}

// English until LoadUIStrings runs; it runs on the user-interface thread
// before any other thread starts, and the table is read-only afterwards.
std::array<std::string, kUiTextCount> g_loaded = Table(kLanguageEnglish);
int g_language = kLanguageEnglish;

}  // namespace

int UiStringIdAt(int position) { return kTable.at(static_cast<std::size_t>(position)).id; }

void LoadUIStrings(int language_id) {
  g_language = language_id == kLanguageGerman ? kLanguageGerman : kLanguageEnglish;
  g_loaded = Table(g_language);
}

int LoadedLanguage() { return g_language; }

const std::string& UIString(int id) {
  static const std::string kEmpty;
  if (id >= ui::kNoUnitFound && id < ui::kNamedTextEnd) {
    return g_loaded[static_cast<std::size_t>(kUiStringCount + (id - ui::kNoUnitFound))];
  }
  for (std::size_t i = 0; i < static_cast<std::size_t>(kUiStringCount); ++i) {
    if (kTable[i].id == id) return g_loaded[i];
  }
  return kEmpty;
}

std::string FillText(std::string_view pattern, std::initializer_list<std::string_view> values) {
  std::string out;
  out.reserve(pattern.size());
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const char next = i + 1 < pattern.size() ? pattern[i + 1] : '\0';
    const auto n = static_cast<std::size_t>(next - '1');
    if (pattern[i] == '%' && next >= '1' && next <= '9' && n < values.size()) {
      out.append(values.begin()[n]);
      ++i;
    } else {
      out += pattern[i];
    }
  }
  return out;
}

const MenuTexts& Menu() { return g_language == kLanguageGerman ? kMenuGerman : kMenuEnglish; }

namespace {

constexpr GraphTexts kGraphEnglish{"Save Chart...",
                                   "Reset View",
                                   "Mouse wheel: zoom. Drag: move. Double click: the whole span again.",
                                   "PNG image (*.png)",
                                   "PDF document (*.pdf)",
                                   "CSV table (*.csv)",
                                   "Could not write the file:",
                                   "Whole file"};
constexpr GraphTexts kGraphGerman{"Graphik sichern...",
                                  "Ansicht zurücksetzen",
                                  "Mausrad: zoomen. Ziehen: verschieben. Doppelklick: wieder die ganze Spanne.",
                                  "PNG-Bild (*.png)",
                                  "PDF-Dokument (*.pdf)",
                                  "CSV-Tabelle (*.csv)",
                                  "Die Datei konnte nicht geschrieben werden:",
                                  "Ganze Datei"};

}  // namespace

const GraphTexts& GraphExtras() { return g_language == kLanguageGerman ? kGraphGerman : kGraphEnglish; }

}  // namespace norvo

namespace norvo {
namespace {

constexpr TrendsTexts kTrendsEnglish{"Record Readings", "Trends", "Unit", "Channels", "Quantity", "Span",
                                     {"1 hour", "24 hours", "7 days", "30 days", "1 year", "All", "From ... to"},
                                     "Channel", "Minimum", "at", "Maximum", "Mean", "Count",
                                     "Reading...", "No readings were recorded in this span.",
                                     "No readings have been recorded yet.", "CH%1 %2",
                                     "Report...", "The report was written:", "JSON document (*.json)"};
constexpr TrendsTexts kTrendsGerman{"Messwerte aufzeichnen", "Verlauf", "Gerät", "Kanäle", "Größe", "Zeitraum",
                                    {"1 Stunde", "24 Stunden", "7 Tage", "30 Tage", "1 Jahr", "Alles", "Von ... bis"},
                                    "Kanal", "Minimum", "um", "Maximum", "Mittel", "Anzahl",
                                    "Lese...", "In diesem Zeitraum wurden keine Messwerte aufgezeichnet.",
                                    "Es wurden noch keine Messwerte aufgezeichnet.", "CH%1 %2",
                                    "Bericht...", "Der Bericht wurde geschrieben:", "JSON-Dokument (*.json)"};

}  // namespace

const TrendsTexts& Trends() { return LoadedLanguage() == kLanguageGerman ? kTrendsGerman : kTrendsEnglish; }

namespace {

constexpr AlarmTexts kAlarmEnglish{"above", "below", "since", "%1: %2 alarm", "%1: alarm over",
                                   "%1 is back within its limit of %2", "peak %1 at %2", "temperature", "humidity",
                                   "(+%1 more)"};
constexpr AlarmTexts kAlarmGerman{"über", "unter", "seit", "%1: Alarm %2", "%1: Alarm beendet",
                                  "%1 ist wieder innerhalb der Grenze von %2", "Spitze %1 um %2", "Temperatur",
                                  "Luftfeuchtigkeit", "(+%1 weitere)"};

constexpr ReportTexts kReportEnglish{
    "Temperature and humidity report", "Unit", "Identification", "Span", "Logging interval",
    "%1 min on the unit; polls recorded every %2 s", "Made %1", "Page %1 of %2", "Channel", "Count", "Minimum",
    "Maximum", "Mean", "MKT (%1 K)", "Time above %1", "Time below %1", "Excursions", "Start", "End", "Duration", "Peak",
    "still running", "no excursions", "No alarm limits recorded for this unit.", "No readings in this span.",
    "Temperature", "Humidity", "%1 to %2"};
constexpr ReportTexts kReportGerman{
    "Bericht Temperatur und Luftfeuchtigkeit", "Gerät", "Kennung", "Zeitraum", "Aufzeichnungsintervall",
    "%1 min am Gerät; Abfragen alle %2 s aufgezeichnet", "Erstellt %1", "Seite %1 von %2", "Kanal", "Anzahl", "Minimum",
    "Maximum", "Mittelwert", "MKT (%1 K)", "Zeit über %1", "Zeit unter %1", "Abweichungen", "Beginn", "Ende", "Dauer",
    "Spitze", "dauert an", "keine Abweichungen", "Für dieses Gerät sind keine Alarmgrenzen aufgezeichnet.",
    "Keine Messwerte in diesem Zeitraum.", "Temperatur", "Luftfeuchtigkeit", "%1 bis %2"};

}  // namespace

const AlarmTexts& AlarmExtras() { return g_language == kLanguageGerman ? kAlarmGerman : kAlarmEnglish; }
const ReportTexts& ReportExtras() { return g_language == kLanguageGerman ? kReportGerman : kReportEnglish; }

}  // namespace norvo
