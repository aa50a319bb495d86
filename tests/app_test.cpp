// Start-up: the settings file, the data folder and the single instance.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QLockFile>
#include <QProcess>
#include <QTemporaryDir>
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

TEST(SingleInstance, SecondLockFailsAndAStaleLockIsTakenOver) {
  TempDir t;
  const QString path = QString::fromStdString((t.Path() / "tarvik").string());
  QLockFile first(path);
  first.setStaleLockTime(0);
  ASSERT_TRUE(first.tryLock(0));
  QLockFile second(path);
  second.setStaleLockTime(0);
  EXPECT_FALSE(second.tryLock(0));

  // A lock left by a process that is gone (a crash) does not keep us out.
  first.unlock();
  WriteFile(path.toStdString(), "999999\nnorvo\n" + QSysInfo::machineHostName().toStdString() + "\n");
  QLockFile after_crash(path);
  after_crash.setStaleLockTime(0);
  EXPECT_TRUE(after_crash.tryLock(0));
}

// The executable itself: a second start ends silently while the first runs.
TEST(SingleInstance, SecondStartOfTheProgramEndsSilently) {
  TempDir t;
  const QString exe = QString::fromStdString(NORVO_EXECUTABLE);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("TMPDIR", t.dir.path());
  env.insert("XDG_DATA_HOME", t.dir.path());
  env.insert("QT_QPA_PLATFORM", "offscreen");
  QProcess first;
  first.setProcessEnvironment(env);
  first.start(exe, {"--simulate"});
  ASSERT_TRUE(first.waitForStarted());
  // The lock file appears once the first instance holds it.
  for (int i = 0; i < 200 && !fs::exists(t.Path() / "tarvik"); ++i) first.waitForFinished(25);
  ASSERT_TRUE(fs::exists(t.Path() / "tarvik"));

  QProcess second;
  second.setProcessEnvironment(env);
  second.start(exe, {"--simulate"});
  ASSERT_TRUE(second.waitForFinished(10000));
  EXPECT_EQ(second.exitCode(), 0);
  EXPECT_TRUE(second.readAllStandardOutput().isEmpty());
  EXPECT_EQ(first.state(), QProcess::Running);
  first.kill();
  first.waitForFinished();
}

}  // namespace
}  // namespace norvo
