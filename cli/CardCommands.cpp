// The SD-card commands: list, get (download, resume, import) and rm. Every
// call into the card transfer and the import is in this file.

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include "Interrupt.h"
#include "Internal.h"
#include "device/Encodings.h"
#include "device/Frames.h"
#include "device/Blocks.h"
#include "device/Responses.h"
#include "history/Import.h"
#include "history/Transfer.h"
#include "res/Strings.h"
#include "session/UnitSession.h"
#include "settings/DataFolder.h"
#include "settings/Printable.h"
#include "store/RecordStore.h"

namespace norvo::cli {
namespace {

// The card's list. A list that never reached its end marker (the unit is
// silent or went away) ends the command with status 1: an empty list is the
// unit's answer only when the end marker came.
CardList ListCard(CommandUnit& s) {
  interrupt::StopUnit stop(s.TheUnit());
  CardList list = s.TheUnit().ListCardFiles();
  RequireAnswer(list.complete);
  return list;
}

std::string NotOnCard() { return UIString(ui::kNotOnCard); }
std::string Resumes() { return UIString(ui::kResumesDownload); }
std::string Kept() {
  return UIString(ui::kCopyAndRecordsKept);
}

// The import of a complete local copy into the record store.
void ImportCopy(const std::string& name, const fs::path& data_folder, std::FILE* err) {
  std::string store_error;
  RecordStore store([&](const std::string& e) { store_error = e; });
  // The copy's date-format note decides, else its own dates; only a file
  // without any clue is read month first (no desktop locale here).
  const ImportResult r = ImportLocalCopy(name, data_folder / name, (data_folder / kDatabaseFile).string(),
                                         DayOrder::kMonthFirst, store, [] { return interrupt::Requested(); });
  if (r.stopped) throw Interrupted{UIString(ui::kInterruptedStoreKept)};
  if (!r.opened) throw Failure(kStoreError, r.message);
  if (!r.stored) throw Failure(kStoreError, store_error.empty() ? r.message : store_error);
  std::fprintf(err, "%s\n", FillText(UIString(ui::kImportedLines), {std::to_string(r.rows->size())}).c_str());
}

}  // namespace

std::string CardNameArgument(const std::string& typed) {
  // Text that is UTF-8 of characters up to U+00FF is what sd list printed for
  // a Latin-1 name; anything else (ASCII, raw bytes) is taken as it is.
  const std::string latin1 = Utf8ToLatin1(typed);
  return Latin1ToUtf8(latin1) == typed ? latin1 : typed;
}

void CheckCardName(const std::string& name) {
  if (const std::string reason = UnsafeNameReason(name); !reason.empty()) throw Failure(kBadInput, reason);
  // The record store and its SQLite companions, Main.ini, the date-format
  // notes and temporaries: a card file of the same name would replace them.
  if (IsConsoleOwnFile(name)) {
    throw Failure(kBadInput, name + UIString(ui::kConsoleOwnFileName));
  }
}

void ListFiles(const Options& o, CommandUnit& s, std::FILE* out) {
  const CardList card = ListCard(s);
  Json list = Json::array();
  for (const CardFile& file : card.files) {
    const std::string size_text = SizeText(static_cast<std::int32_t>(file.size));
    if (o.json) {
      list.push_back(Json{{"name", Latin1ToUtf8(file.name)}, {"size", file.size}, {"size_text", size_text}});
    } else {
      // A name is the card's to choose: an escape sequence or a line feed in
      // it is shown, never acted on.
      std::fprintf(out, "%-20s %12s\n", PrintableText(Latin1ToUtf8(file.name)).c_str(), size_text.c_str());
    }
  }
  if (o.json) std::fprintf(out, "%s\n", JsonLine(list).c_str());
}

int GetFile(const Options& o, CommandUnit& s, const fs::path& data_folder, std::FILE* out, std::FILE* err) {
  // The card names files in Latin-1; sd list shows them in UTF-8, which is what is typed.
  const std::string name = CardNameArgument(o.name);
  const std::string& shown = o.name;
  CheckCardName(name);
  const CardList card = ListCard(s);
  if (card.SizeOf(name) < 0) throw Failure(kBadInput, shown + NotOnCard());
  const bool bar = ::isatty(::fileno(err)) != 0;
  std::atomic<int> range{1};
  // The copy is recorded with the date format the unit writes its logs in.
  s.ReadSettings();
  Unit& unit = s.TheUnit();
  DownloadJob job = UnitDownloadJob(unit, data_folder, card, name, s.Blocks().settings[settings::kDateFormat]);
  if (bar) {
    job.hooks = {[&](int r) { range.store(std::max(r, 1)); },
                 [&, err](int position) {
                   const int percent = std::min(100, static_cast<int>(100LL * position / range.load()));
                   std::fprintf(err, "\r[%-40s] %3d%%", std::string(static_cast<std::size_t>(percent * 40 / 100), '#').c_str(), percent);
                 },
                 {},
                 {}};
  }
  DownloadOutcome d{DownloadStatus::kBlockFailed};
  {
    interrupt::StopUnit stop(unit);
    d = DownloadToLocalCopy(job);
  }
  if (bar) std::fprintf(err, "\n");
  if (!d.notice.empty()) std::fprintf(err, "%s\n", PrintableText(d.notice).c_str());
  // What arrived stays in the local copy; the next sd get resumes from there.
  if (interrupt::Requested()) throw Interrupted{Interrupted{}.message + "; sd get " + shown + Resumes()};
  if (d.status == DownloadStatus::kBlockFailed) {
    throw Failure(kStoreError, d.message + " (" + shown +
                                   UIString(ui::kIncompleteNotImported) +
                                   shown + Resumes() + ")");
  }
  if (d.status != DownloadStatus::kDone) throw Failure(kStoreError, d.message);
  std::fprintf(out, "%s\n", PrintableText((data_folder / name).string()).c_str());
  if (o.import) {
    if (interrupt::Requested()) throw Interrupted{};
    ImportCopy(name, data_folder, err);
    // A signal after the commit: the store holds the new file whole.
    if (interrupt::Requested()) throw Interrupted{UIString(ui::kInterruptedAfterImport) + shown};
  }
  return kOk;
}

int RemoveFile(const Options& o, CommandUnit& s, const fs::path& data_folder, std::FILE* err) {
  // The card names files in Latin-1; sd list shows them in UTF-8, which is what is typed.
  const std::string name = CardNameArgument(o.name);
  const std::string& shown = o.name;
  CheckCardName(name);
  if (ListCard(s).SizeOf(name) < 0) throw Failure(kBadInput, shown + NotOnCard());
  if (interrupt::Requested()) throw Interrupted{};
  {
    interrupt::StopUnit stop(s.TheUnit());
    s.TheUnit().DeleteCardFile(name);
  }
  // The unit never answers a delete: only a new list tells whether it took it.
  CardList after;
  try {
    after = ListCard(s);
  } catch (const Failure&) {
    throw Failure(kNoUnit, UIString(ui::kNoAnswerAfterDelete) +
                               shown + Kept() + ".");
  } catch (const Interrupted&) {
    throw Interrupted{UIString(ui::kInterruptedAfterDelete) +
                      shown + Kept()};
  }
  if (after.SizeOf(name) >= 0) {
    throw Failure(kRefused, shown +
                                UIString(ui::kStillOnCard) +
                                Kept());
  }
  if (const std::string problem = RemoveLocalCopy(data_folder, name); !problem.empty()) {
    throw Failure(kStoreError, shown +
                                   UIString(ui::kCopyNotDeleted) +
                                   problem);
  }
  std::string store_error;
  RecordStore store([&](const std::string& e) { store_error = e; });
  if (store.Connect((data_folder / kDatabaseFile).string()) < 0 || store.DeleteAllRecords() != 0) {
    throw Failure(kStoreError, shown +
                                   UIString(ui::kRecordsNotDeleted) +
                                   store_error);
  }
  std::fprintf(err, "%s\n", FillText(UIString(ui::kDeletedFile), {PrintableText(shown)}).c_str());
  return kOk;
}

}  // namespace norvo::cli
