#include "session/config.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fstream>
#include <sstream>

#include "tests/support/temp_folder.h"

namespace {
std::string slurp(const std::string &name) {
  std::ifstream in(name, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}
}  // namespace

TEST(ConfigFile, AbsentFileSectionOrKeyReadsEmpty) {
  TempFolder tmp;
  ConfigFile ini(ConfigFileName(tmp.Folder()));
  EXPECT_EQ(ini.FileName(), tmp.Folder() + "VERT.ini");
  EXPECT_EQ(ini.Read("Setup", "E1"), "");
  ini.Write("Setup", "E1", "AT@NORM");
  EXPECT_EQ(ini.Read("Setup", "E2"), "");
  EXPECT_EQ(ini.Read("PATH", "E1"), "");
  EXPECT_EQ(ini.Read("Setup", "E1"), "AT@NORM");
}

TEST(ConfigFile, ValuesSurviveARoundTripAsTyped) {
  TempFolder tmp;
  ConfigFile ini(ConfigFileName(tmp.Folder()));
  const std::vector<std::string> values = {
      "AT@P01,3;comment", "C:\\firm\\new.hex", "  two leading blanks", "trailing blank ",  "a=b=c",
      "[not a section]",  "ÅÄÖ ünïcödé",       "#hash ;semi",          "\"quoted\" inside"};
  for (std::size_t i = 0; i < values.size(); ++i)
    ini.Write("Setup", "E" + std::to_string(i + 1), values[i]);
  for (std::size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(ini.Read("Setup", "E" + std::to_string(i + 1)), values[i]) << i;
}

TEST(ConfigFile, OtherSectionsAndCommentsAreKept) {
  TempFolder tmp;
  const std::string name = ConfigFileName(tmp.Folder());
  std::ofstream(name) << "; kept comment\n[Other]\nX=1\n[PATH]\nAUDIO=/a/b.wav\n";
  ConfigFile ini(name);
  ini.WriteAll("Setup", {{"E1", "one"}, {"E2", "two"}});
  ini.Write("PATH", "FIRM", "/f.hex");
  EXPECT_EQ(ini.Read("Other", "X"), "1");
  EXPECT_EQ(ini.Read("PATH", "AUDIO"), "/a/b.wav");
  EXPECT_EQ(ini.Read("PATH", "FIRM"), "/f.hex");
  EXPECT_EQ(ini.Read("Setup", "E2"), "two");
  EXPECT_NE(slurp(name).find("; kept comment"), std::string::npos);
}

TEST(ConfigFile, LineBreaksAndZeroBytesNeverReachTheFile) {
  TempFolder tmp;
  ConfigFile ini(ConfigFileName(tmp.Folder()));
  ini.Write("Setup", "E1", std::string("AT@\r\nE2=evil\0x", 15));
  EXPECT_EQ(ini.Read("Setup", "E1"), "AT@E2=evilx");
  EXPECT_EQ(ini.Read("Setup", "E2"), "");
}

TEST(ConfigFile, LongValuesAreReadUpTo2047Characters) {
  TempFolder tmp;
  ConfigFile ini(ConfigFileName(tmp.Folder()));
  ini.Write("PATH", "AUDIO", std::string(3000, 'x'));
  EXPECT_EQ(ini.Read("PATH", "AUDIO"), std::string(2047, 'x'));
}

TEST(ConfigFile, ARefusedWriteRaisesAndLeavesTheFileIntact) {
  if (geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
  TempFolder tmp;
  const std::string name = ConfigFileName(tmp.Folder());
  ConfigFile ini(name);
  ini.Write("Setup", "E1", "kept");
  const std::string before = slurp(name);
  chmod(tmp.Folder().c_str(), 0500);
  try {
    ini.WriteAll("Setup", {{"E1", "lost"}, {"E2", "lost"}});
    ADD_FAILURE() << "write into a read-only folder succeeded";
  } catch (const Exception &e) {
    EXPECT_EQ(std::string(e.what()), "Unable to write to " + name);
  }
  chmod(tmp.Folder().c_str(), 0700);
  EXPECT_EQ(slurp(name), before);
}

TEST(ConfigFile, AWriteIntoAMissingFolderIsRefusedWithTheFileName) {
  TempFolder tmp;
  const std::string name = tmp.Folder() + "missing/VERT.ini";
  EXPECT_THROW(
      {
        try {
          ConfigFile(name).Write("Setup", "E1", "x");
        } catch (const Exception &e) {
          EXPECT_EQ(std::string(e.what()), "Unable to write to " + name);
          throw;
        }
      },
      Exception);
}

TEST(ConfigFile, AnUnreadableFileIsNeverReplaced) {
  TempFolder tmp;
  const std::string name = ConfigFileName(tmp.Folder());
  // A folder in the file's place cannot be read as a file, by root either.
  ASSERT_EQ(mkdir(name.c_str(), 0700), 0);
  ConfigFile ini(name);
  EXPECT_EQ(ini.Read("Setup", "E1"), "");
  EXPECT_THROW(ini.Write("Setup", "E1", "x"), Exception);
  struct stat st {};
  ASSERT_EQ(stat(name.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST(ConfigFile, ShortRememberedPathsBecomeTheProgramFolder) {
  TempFolder tmp;
  EXPECT_EQ(ReadRememberedPath(tmp.Folder(), "AUDIO"), tmp.Folder());
  WriteRememberedPath(tmp.Folder(), "AUDIO", "ab");
  EXPECT_EQ(ReadRememberedPath(tmp.Folder(), "AUDIO"), tmp.Folder());
  WriteRememberedPath(tmp.Folder(), "AUDIO", "/x.wav");
  EXPECT_EQ(ReadRememberedPath(tmp.Folder(), "AUDIO"), "/x.wav");
}

TEST(ProgramFolder, IsTheXdgConfigFolderUnlessAVertIniLiesBesideTheExecutable) {
  TempFolder home;
  const QByteArray config = qgetenv("XDG_CONFIG_HOME"), state = qgetenv("XDG_STATE_HOME");
  qputenv("XDG_CONFIG_HOME", QByteArray::fromStdString(home.File("config")));
  qputenv("XDG_STATE_HOME", QByteArray::fromStdString(home.File("state")));
  const std::string folder = DetectProgramFolder();
  EXPECT_EQ(folder, home.File("config/Tolvane/"));
  EXPECT_TRUE(QDir(QString::fromStdString(folder)).exists());
  EXPECT_EQ(DetectLogFolder(folder), home.File("state/Tolvane/"));
  EXPECT_TRUE(QDir(QString::fromStdString(home.File("state/Tolvane"))).exists());
  EXPECT_EQ(DetectLogFolder("/opt/portable/"), "/opt/portable/") << "a portable copy keeps its log";

  qputenv("XDG_CONFIG_HOME", "/usr/share/tolvane-test-config");
  EXPECT_EQ(DetectProgramFolder(), "/usr/share/tolvane-test-config/Tolvane/");
  EXPECT_FALSE(QDir("/usr/share/tolvane-test-config").exists()) << "nothing made under /usr";

  // A portable copy: the VERT.ini beside the executable.
  char exe[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", exe, sizeof exe - 1), 0);
  const QString beside = QFileInfo(QString::fromLocal8Bit(exe)).absolutePath() + "/";
  QFile ini(beside + "VERT.ini");
  ASSERT_TRUE(ini.open(QIODevice::WriteOnly));
  ini.close();
  EXPECT_EQ(DetectProgramFolder(), beside.toStdString());
  ini.remove();
  qputenv("XDG_CONFIG_HOME", config);
  qputenv("XDG_STATE_HOME", state);
}
