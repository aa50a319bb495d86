// Start-up: the settings file, the data folder and the single instance.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "settings/DataFolder.h"
#include "settings/Ini.h"
#include "res/Strings.h"
#include "support/TestSupport.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

using testing::ReadFile;
using testing::TempFolder;
using testing::WriteFile;

TEST(MainIni, LanguageChoiceIsExactAndCaseSensitive) {
  TempFolder t;
  const struct {
    const char* file;  // nullptr: no Main.ini
    int language;
  } cases[] = {
      {"[Language]\r\nLanguage=Deutsch\r\n", kLanguageGerman},
      {"[language]\nLANGUAGE = Deutsch  \n", kLanguageGerman},  // names match without case
      {"[Language]\nLanguage=deutsch\n", kLanguageEnglish},
      {"[Language]\nLanguage=English\n", kLanguageEnglish},
      {"[Language]\nLanguage=Francais\n", kLanguageEnglish},
      {"[Other]\nLanguage=Deutsch\n", kLanguageEnglish},
      {"", kLanguageEnglish},
      {"\x01\x02garbage\xff\n[[[\n=\n", kLanguageEnglish},
      {nullptr, kLanguageEnglish},
  };
  for (const auto& c : cases) {
    fs::remove(t.path / "Main.ini");
    if (c.file) WriteFile(t.path / "Main.ini", c.file);
    EXPECT_EQ(LanguageIdFor(ReadLanguageSetting(t.path)), c.language) << (c.file ? c.file : "(none)");
  }
}

TEST(MainIni, WritingKeepsOtherLinesAndCreatesWhatIsMissing) {
  TempFolder t;
  const fs::path ini = t.path / "Main.ini";
  WriteFile(ini, "; comment\r\n[Window]\r\nX=5\r\n[Language]\r\nLanguage=English\r\nOther=1\r\n");
  ASSERT_TRUE(WriteLanguageSetting(t.path, "Deutsch"));
  EXPECT_EQ(ReadFile(ini), "; comment\r\n[Window]\r\nX=5\r\n[Language]\r\nLanguage=Deutsch\r\nOther=1\r\n");

  fs::remove(ini);
  ASSERT_TRUE(WriteLanguageSetting(t.path, "English"));
  EXPECT_EQ(ReadLanguageSetting(t.path), "English");

  WriteFile(ini, "[Window]\nX=5\n\n[Language]\nOther=1\n\n");
  ASSERT_TRUE(WriteLanguageSetting(t.path, "Deutsch"));
  EXPECT_EQ(ReadLanguageSetting(t.path), "Deutsch");
  EXPECT_EQ(ReadIniValue(ini, "Window", "X", ""), "5");
  EXPECT_EQ(ReadIniValue(ini, "Language", "Other", ""), "1");

  // A read-only file is left as it is and the failure reported to the caller.
  fs::permissions(ini, fs::perms::owner_read | fs::perms::group_read);
  EXPECT_FALSE(WriteLanguageSetting(t.path, "English"));
  EXPECT_EQ(ReadLanguageSetting(t.path), "Deutsch");
  // A missing folder too.
  EXPECT_FALSE(WriteLanguageSetting(t.path / "missing", "English"));
}

// Where the entry lands: in place of the section's key (named without case),
// after the section's last non-blank line, or in a new section at the end.
TEST(MainIni, EntryPlacedInItsSection) {
  TempFolder t;
  const fs::path ini = t.path / "Main.ini";
  const struct {
    const char* before;
    const char* after;
  } cases[] = {
      {"[a]\nk=1\n[b]\nk=2\n", "[a]\r\nk=1\r\n[b]\r\nk=9\r\n"},
      {"[B]\nK = 2\nk=3\n", "[B]\r\nk=9\r\nk=3\r\n"},
      {"[b]\nx=1\n\n\n[c]\ny=2\n", "[b]\r\nx=1\r\nk=9\r\n\r\n\r\n[c]\r\ny=2\r\n"},
      {"[b]\nx=1\n\n", "[b]\r\nx=1\r\nk=9\r\n\r\n"},
      {"k=1\n[a]\nk=2", "k=1\r\n[a]\r\nk=2\r\n[b]\r\nk=9\r\n"},
      {"", "[b]\r\nk=9\r\n"},
  };
  for (const auto& c : cases) {
    WriteFile(ini, c.before);
    ASSERT_TRUE(WriteIniValue(ini, "b", "k", "9")) << c.before;
    EXPECT_EQ(ReadFile(ini), c.after) << c.before;
  }
}

TEST(DataFolder, CopiesMissingFilesNeverOverwritesAndMakesMainIniWritable) {
  TempFolder source_dir, data_dir;
  const fs::path source = source_dir.path, data = data_dir.path / "Tarvik";
  WriteFile(source / "Main.ini", "[Language]\nLanguage=Deutsch\n");
  WriteFile(source / "Norvo.mdb", "newer database");
  fs::permissions(source / "Main.ini", fs::perms::owner_read);

  PrepareDataFolder({source_dir.path / "nothing-here", source}, data);
  EXPECT_EQ(ReadFile(data / "Norvo.mdb"), "newer database");
  EXPECT_EQ(ReadLanguageSetting(data), "Deutsch");
  EXPECT_NE(fs::status(data / "Main.ini").permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_TRUE(WriteLanguageSetting(data, "English"));

  // Present files stay as they are, even when the installation has others.
  WriteFile(data / "Norvo.mdb", "my records");
  WriteFile(source / "Norvo.mdb", "another newer database");
  PrepareDataFolder({source}, data);
  EXPECT_EQ(ReadFile(data / "Norvo.mdb"), "my records");
  EXPECT_EQ(ReadLanguageSetting(data), "English");

  // No source at all: the folder is made, nothing is copied, nothing fails.
  const fs::path empty = data_dir.path / "Empty";
  PrepareDataFolder({}, empty);
  EXPECT_TRUE(fs::is_directory(empty));
  EXPECT_FALSE(fs::exists(empty / "Main.ini"));
}

// Main.ini is updated in place: its mode, owner and links stay; a huge file
// costs a bounded read and is never cut; a FIFO or symlink in its place is
// neither waited on nor written through.
TEST(MainIni, UpdatedInPlaceAndReadBounded) {
  TempFolder t;
  const fs::path ini = t.path / "Main.ini";
  WriteFile(ini, "[Language]\r\nLanguage=English\r\n");
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write);
  fs::create_hard_link(ini, t.path / "link.ini");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(ini.c_str(), 4321, 4322), 0);  // another user's file, written by root
  }
  struct stat before {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);

  ASSERT_TRUE(WriteLanguageSetting(t.path, "Deutsch"));
  struct stat after {};
  ASSERT_EQ(::stat(ini.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(ReadFile(t.path / "link.ini"), "[Language]\r\nLanguage=Deutsch\r\n");
  // Shorter again: no tail of the longer text is left behind.
  ASSERT_TRUE(WriteIniValue(ini, "Language", "Language", "X"));
  EXPECT_EQ(ReadFile(ini), "[Language]\r\nLanguage=X\r\n");

  // 200 MB (sparse): the key in the first bytes is found, a key beyond the
  // read limit is not, and a write refuses rather than cutting the file.
  {
    std::ofstream out(ini, std::ios::binary | std::ios::trunc);
    out << "[Language]\nLanguage=Deutsch\n";
  }
  ASSERT_EQ(::truncate(ini.c_str(), 200 * 1024 * 1024), 0);
  EXPECT_EQ(ReadLanguageSetting(t.path), "Deutsch");
  EXPECT_FALSE(WriteLanguageSetting(t.path, "English"));
  EXPECT_EQ(fs::file_size(ini), 200u * 1024 * 1024);
  {
    std::string text(kIniReadLimit, ';');
    text += "\n[Language]\nLanguage=Deutsch\n";
    WriteFile(ini, text);
  }
  EXPECT_EQ(ReadLanguageSetting(t.path), "");

  // Not a regular file: the default, at once, and nothing written through.
  fs::remove(ini);
  fs::remove(t.path / "link.ini");
  ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
  EXPECT_EQ(ReadLanguageSetting(t.path), "");
  EXPECT_FALSE(WriteLanguageSetting(t.path, "Deutsch"));
  fs::remove(ini);
  WriteFile(t.path / "target.ini", "[Language]\nLanguage=English\n");
  fs::create_symlink(t.path / "target.ini", ini);
  EXPECT_FALSE(WriteLanguageSetting(t.path, "Deutsch"));
  EXPECT_EQ(ReadFile(t.path / "target.ini"), "[Language]\nLanguage=English\n");
}

// NORVO_DATA_DIR names the data folder (every test that starts a front end
// uses one of its own, never the machine's).
TEST(DataFolder, EnvironmentNamesTheFolder) {
  TempFolder t;
  const fs::path own = t.path / "own" / "Tarvik";
  testing::ScopedEnv env("NORVO_DATA_DIR", own.c_str());
  EXPECT_EQ(ChooseDataFolder(), own);
  EXPECT_TRUE(fs::is_directory(own));
}


// The command line of norvo: --help and --version print and end with 0
// before the window system is touched (the platform named here does not
// exist, so a window would end the program otherwise); a wrong option or a
// fault without the simulated unit ends with 3 and says why.
TEST(CommandLine, HelpVersionAndWrongOptions) {
  TempFolder t;
  const std::string data = "NORVO_DATA_DIR=" + (t.path / "data").string();
  const std::string runtime = "NORVO_RUNTIME_DIR=" + t.path.string();
  const std::string xdg = "XDG_RUNTIME_DIR=" + t.path.string();
  const struct {
    std::vector<std::string> args;
    const char* platform;
    int status;
    const char* out;  // found in standard output
    const char* err;  // found in standard error
  } cases[] = {
      {{"--help"}, "no-such-platform", 0, "Usage: norvo [options]", ""},
      {{"--help"}, "offscreen", 0, "--simulate", ""},
      {{"-h", "--simulate"}, "no-such-platform", 0, "--sim-fault <name>", ""},
      {{"--help-all"}, "no-such-platform", 0, "--version", ""},
      {{"--version"}, "no-such-platform", 0, "norvo 1.", ""},
      {{"--no-such-option"}, "offscreen", 3, "", "Unknown option 'no-such-option'"},
      {{"stray"}, "offscreen", 3, "", "unexpected argument \"stray\""},
      {{"--sim-fault", "silent"}, "offscreen", 3, "", "--sim-fault goes with --simulate"},
      {{"--simulate", "--sim-fault", "sideways"}, "offscreen", 3, "", "unknown --sim-fault \"sideways\""},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv = {NORVO_EXECUTABLE};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    SCOPED_TRACE(argv.back());
    testing::SpawnOptions options;
    options.env = {std::string("QT_QPA_PLATFORM=") + c.platform, "LC_ALL=C", "LANG=C", data, runtime, xdg};
    const testing::Result r = testing::RunProgram(argv, options);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
  }
}

}  // namespace
}  // namespace norvo
