// Start-up: the settings file, the data folder and the single instance.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QProcess>
#include <QTemporaryDir>
#include <sys/stat.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

#include "settings/DataFolder.h"
#include "settings/Ini.h"
#include "res/Strings.h"

namespace fs = std::filesystem;

namespace norvo {
namespace {

struct TempDir {
  QTemporaryDir dir;
  fs::path Path() const { return dir.path().toStdString(); }
};

void WriteFile(const fs::path& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST(MainIni, LanguageChoiceIsExactAndCaseSensitive) {
  TempDir t;
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
    fs::remove(t.Path() / "Main.ini");
    if (c.file) WriteFile(t.Path() / "Main.ini", c.file);
    EXPECT_EQ(LanguageIdFor(ReadLanguageSetting(t.Path())), c.language) << (c.file ? c.file : "(none)");
  }
}

TEST(MainIni, WritingKeepsOtherLinesAndCreatesWhatIsMissing) {
  TempDir t;
  const fs::path ini = t.Path() / "Main.ini";
  WriteFile(ini, "; comment\r\n[Window]\r\nX=5\r\n[Language]\r\nLanguage=English\r\nOther=1\r\n");
  ASSERT_TRUE(WriteLanguageSetting(t.Path(), "Deutsch"));
  EXPECT_EQ(ReadFile(ini), "; comment\r\n[Window]\r\nX=5\r\n[Language]\r\nLanguage=Deutsch\r\nOther=1\r\n");

  fs::remove(ini);
  ASSERT_TRUE(WriteLanguageSetting(t.Path(), "English"));
  EXPECT_EQ(ReadLanguageSetting(t.Path()), "English");

  WriteFile(ini, "[Window]\nX=5\n\n[Language]\nOther=1\n\n");
  ASSERT_TRUE(WriteLanguageSetting(t.Path(), "Deutsch"));
  EXPECT_EQ(ReadLanguageSetting(t.Path()), "Deutsch");
  EXPECT_EQ(ReadIniValue(ini, "Window", "X", ""), "5");
  EXPECT_EQ(ReadIniValue(ini, "Language", "Other", ""), "1");

  // A read-only file is left as it is and the failure reported to the caller.
  fs::permissions(ini, fs::perms::owner_read | fs::perms::group_read);
  EXPECT_FALSE(WriteLanguageSetting(t.Path(), "English"));
  EXPECT_EQ(ReadLanguageSetting(t.Path()), "Deutsch");
  // A missing folder too.
  EXPECT_FALSE(WriteLanguageSetting(t.Path() / "missing", "English"));
}

TEST(DataFolder, CopiesMissingFilesNeverOverwritesAndMakesMainIniWritable) {
  TempDir source_dir, data_dir;
  const fs::path source = source_dir.Path(), data = data_dir.Path() / "Tarvik";
  WriteFile(source / "Main.ini", "[Language]\nLanguage=Deutsch\n");
  WriteFile(source / "Norvo.mdb", "newer database");
  fs::permissions(source / "Main.ini", fs::perms::owner_read);

  PrepareDataFolder({source_dir.Path() / "nothing-here", source}, data);
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
  const fs::path empty = data_dir.Path() / "Empty";
  PrepareDataFolder({}, empty);
  EXPECT_TRUE(fs::is_directory(empty));
  EXPECT_FALSE(fs::exists(empty / "Main.ini"));
}

// Main.ini is updated in place: its mode, owner and links stay; a huge file
// costs a bounded read and is never cut; a FIFO or symlink in its place is
// neither waited on nor written through.
TEST(MainIni, UpdatedInPlaceAndReadBounded) {
  TempDir t;
  const fs::path ini = t.Path() / "Main.ini";
  WriteFile(ini, "[Language]\r\nLanguage=English\r\n");
  fs::permissions(ini, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                           fs::perms::group_write);
  fs::create_hard_link(ini, t.Path() / "link.ini");
  if (::geteuid() == 0) {
    ASSERT_EQ(::chown(ini.c_str(), 4321, 4322), 0);  // another user's file, written by root
  }
  struct stat before {};
  ASSERT_EQ(::stat(ini.c_str(), &before), 0);

  ASSERT_TRUE(WriteLanguageSetting(t.Path(), "Deutsch"));
  struct stat after {};
  ASSERT_EQ(::stat(ini.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
  EXPECT_EQ(after.st_mode, before.st_mode);
  EXPECT_EQ(after.st_uid, before.st_uid);
  EXPECT_EQ(after.st_gid, before.st_gid);
  EXPECT_EQ(ReadFile(t.Path() / "link.ini"), "[Language]\r\nLanguage=Deutsch\r\n");
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
  EXPECT_EQ(ReadLanguageSetting(t.Path()), "Deutsch");
  EXPECT_FALSE(WriteLanguageSetting(t.Path(), "English"));
  EXPECT_EQ(fs::file_size(ini), 200u * 1024 * 1024);
  {
    std::string text(kIniReadLimit, ';');
    text += "\n[Language]\nLanguage=Deutsch\n";
    WriteFile(ini, text);
  }
  EXPECT_EQ(ReadLanguageSetting(t.Path()), "");

  // Not a regular file: the default, at once, and nothing written through.
  fs::remove(ini);
  fs::remove(t.Path() / "link.ini");
  ASSERT_EQ(::mkfifo(ini.c_str(), 0600), 0);
  EXPECT_EQ(ReadLanguageSetting(t.Path()), "");
  EXPECT_FALSE(WriteLanguageSetting(t.Path(), "Deutsch"));
  fs::remove(ini);
  WriteFile(t.Path() / "target.ini", "[Language]\nLanguage=English\n");
  fs::create_symlink(t.Path() / "target.ini", ini);
  EXPECT_FALSE(WriteLanguageSetting(t.Path(), "Deutsch"));
  EXPECT_EQ(ReadFile(t.Path() / "target.ini"), "[Language]\nLanguage=English\n");
}

// NORVO_DATA_DIR names the data folder (every test that starts a front end
// uses one of its own, never the machine's).
TEST(DataFolder, EnvironmentNamesTheFolder) {
  TempDir t;
  const fs::path own = t.Path() / "own" / "Tarvik";
  qputenv("NORVO_DATA_DIR", QByteArray::fromStdString(own.string()));
  EXPECT_EQ(ChooseDataFolder(), own);
  EXPECT_TRUE(fs::is_directory(own));
  qunsetenv("NORVO_DATA_DIR");
}

}  // namespace
}  // namespace norvo
