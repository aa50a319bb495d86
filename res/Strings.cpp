#include "Strings.h"

#include <array>

namespace norvo {
namespace {

struct Entry {
  int id;
  const char* english;
  const char* german;
};

constexpr std::array<Entry, kUiStringCount> kTable = {{
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
}};

constexpr MenuTexts kMenuEnglish{"Menu",        "Setup",     "Alarm",    "Calibration",
                                 "SDCard File", "Sync Time", "Language", "About Ombrix(&A)..."};
constexpr MenuTexts kMenuGerman{"Menü",           "Einstellungen",        "Alarm",
                                "Kalibrierung",   "SD Karte Datei",       "Synchronisationszeit",
                                "Sprache",        "Über Vantiro(&A)..."};

std::array<std::string, kUiStringCount> Table(int language) {
  std::array<std::string, kUiStringCount> loaded;
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    loaded[i] = language == kLanguageGerman ? kTable[i].german : kTable[i].english;
  }
  return loaded;
}

// English until LoadUIStrings runs; it runs on the user-interface thread
// before any other thread starts, and the table is read-only afterwards.
std::array<std::string, kUiStringCount> g_loaded = Table(kLanguageEnglish);
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
  for (std::size_t i = 0; i < kTable.size(); ++i) {
    if (kTable[i].id == id) return g_loaded[i];
  }
  return kEmpty;
}

std::string_view Localized(std::string_view english, std::string_view german) {
  return g_language == kLanguageGerman ? german : english;
}

std::string_view NoUnitText() { return Localized("No unit found.", "Kein Gerät gefunden."); }

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
