// Reading the settings file and saving it: syntax, cuts, line ends, and a
// save that replaces the file whole and keeps it private.

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "ini/ini_file.h"

namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

class IniFileTest : public testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/ini_tXXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
    path_ = dir_ + "/s.ini";
  }
  void TearDown() override {
    chmod(dir_.c_str(), 0700);
    fs::remove_all(dir_);
  }

  static void write(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
  }
  static std::string read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
  }
  static std::string dumpOf(CIniFile& ini) {
    CaptureStdout();
    ini.dump();
    return GetCapturedStdout();
  }
  // Reads `bytes` as a settings file and returns the document's dump.
  std::string readAs(const std::string& bytes) {
    write(path_, bytes);
    CIniFile ini(path_.c_str());
    EXPECT_TRUE(ini.isLoaded());
    return dumpOf(ini);
  }
  static mode_t modeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0;
  }
  size_t entriesInDir() const {
    return static_cast<size_t>(std::distance(fs::directory_iterator(dir_),
                                             fs::directory_iterator()));
  }

  std::string dir_;
  std::string path_;
};

TEST_F(IniFileTest, RoundTripRewritesTheSameBytes) {
  const std::string text = "[DBDATEN]\r\nhost=localhost\r\nuser=u\r\n\r\n"
                           "[B]\r\n\r\n";
  write(path_, text);
  CaptureStderr();
  CIniFile ini(path_.c_str());
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_TRUE(ini.isLoaded());
  EXPECT_STREQ(ini.getValue("DBDATEN", "user"), "u");
  ini.save();
  EXPECT_EQ(read(path_), text);
}

TEST_F(IniFileTest, SaveDropsCommentsAndWritesCrLf) {
  write(path_, "# settings\n[A]\nx=1\n\n\nnoise\n[B]\ny=2");
  CIniFile ini(path_.c_str());
  ini.save();
  EXPECT_EQ(read(path_), "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n\r\n");
}

TEST_F(IniFileTest, MissingEmptyAndDirectoryFiles) {
  CaptureStderr();
  CIniFile missing((dir_ + "/none.ini").c_str());
  EXPECT_EQ(GetCapturedStderr(), "");
  EXPECT_FALSE(missing.isLoaded());
  EXPECT_EQ(readAs(""), "");
  EXPECT_EQ(readAs("# only\nwords\n"), "");
  CIniFile directory(dir_.c_str());
  EXPECT_FALSE(directory.isLoaded());
  EXPECT_EQ(dumpOf(directory), "");
  // A FIFO is not waited on, nor read as an empty file.
  const std::string fifoPath = dir_ + "/fifo.ini";
  ASSERT_EQ(mkfifo(fifoPath.c_str(), 0600), 0);
  CIniFile fifo(fifoPath.c_str());
  EXPECT_FALSE(fifo.isLoaded());
  EXPECT_FALSE(fifo.openFile('w'));
  EXPECT_FALSE(CIniFile().isLoaded());
}

TEST_F(IniFileTest, LineKindsAreReadLiterally) {
  CaptureStderr();
  EXPECT_EQ(readAs("early=1\n[A\nword\n #c=1\n;x=2\n;y\nhost = local\n"
                   "a=b=c\n=empty\n[]tail\n[B]junk\nk=#;]\n"),
            "[A]\n ->  #c = \"1\"\n -> ;x = \"2\"\n -> host  = \" local\"\n"
            " -> a = \"b=c\"\n ->  = \"empty\"\n\n[]\n\n"
            "[B]\n -> k = \"#;]\"\n\n");
  EXPECT_EQ(GetCapturedStderr(), "");
}

TEST_F(IniFileTest, DuplicatesKeepTheFirstAndReport) {
  CaptureStderr();
  EXPECT_EQ(readAs("[A]\nk=1\nk=2\n[B]\n[A]\nj=3\n"),
            "[A]\n -> k = \"1\"\n -> j = \"3\"\n\n[B]\n\n");
  EXPECT_EQ(GetCapturedStderr(),
            "Wert k bereits vorhanden! Es wurde kein neuer angelegt!\n"
            "Schl\xFCssel A ist bereits vorhanden! Es wurde kein neuer "
            "angelegt!\n");
}

TEST_F(IniFileTest, ReaderCutsNamesAndValues) {
  const std::string s20 = "SSSSSSSSSSSSSSSSSxyz";  // equal in its first 17
  CaptureStderr();
  EXPECT_EQ(readAs("[" + s20 + "]\n[" + s20.substr(0, 17) + "qq]\n" +
                   std::string(25, 'n') + "=v\nw=" + std::string(60, 'x') +
                   "\n"),
            "[" + s20.substr(0, 17) + "]\n -> " + std::string(18, 'n') +
                " = \"v\"\n -> w = \"" + std::string(49, 'x') + "\"\n\n");
  EXPECT_NE(GetCapturedStderr().find("bereits vorhanden"), std::string::npos);
}

TEST_F(IniFileTest, FiftyCharacterValueIsWrittenWholeAndReadBackAs49) {
  const std::string v50(50, 'v');
  CIniFile ini(path_.c_str());
  ini.addSection("A");
  ini.addValue(nullptr, "k", v50.c_str());
  ini.save();
  EXPECT_EQ(read(path_), "[A]\r\nk=" + v50 + "\r\n\r\n");
  CIniFile back(path_.c_str());
  EXPECT_EQ(back.getValue("A", "k"), v50.substr(0, 49));
  EXPECT_STREQ(back.cutValueName(), "k");
  // 49 characters are read whole; a line that goes on past its first
  // piece has its value cut as well.
  for (const std::string& line : {"k=" + std::string(49, 'v'),
                                  std::string(60, 'n') + "=" + std::string(40, 'v')}) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc) << "[A]\n" << line << "\n";
    EXPECT_EQ(CIniFile(path_.c_str()).cutValueName() != nullptr, line.size() > 51) << line;
  }
}

TEST_F(IniFileTest, LongLinesAreReadIn99CharacterPieces) {
  // A 150-character comment: its second piece of 51 is an entry.
  const std::string comment = "#" + std::string(98, 'c') + "k=" +
                              std::string(49, 'v');
  ASSERT_EQ(comment.size(), 150u);
  EXPECT_EQ(readAs("[A]\n" + comment + "\n"),
            "[A]\n -> k = \"" + std::string(49, 'v') + "\"\n\n");
  // A line of exactly 99 characters leaves only its line end behind.
  const std::string line99 = "a=" + std::string(97, 'x');
  EXPECT_EQ(readAs("[A]\r\n" + line99 + "\r\nb=2\r\n"),
            "[A]\n -> a = \"" + std::string(49, 'x') + "\"\n -> b = \"2\"\n\n");
}

TEST_F(IniFileTest, CrLfIsOneLineEndAndOtherCrIsText) {
  EXPECT_EQ(readAs("[A\r]\r\na=b\rc\r\nd=e\r\r\nf=g\r"),
            "[A\r]\n -> a = \"b\rc\"\n -> d = \"e\r\"\n -> f = \"g\r\"\n\n");
  // CR at the 99th and LF at the 100th byte: still one line end, so the
  // value does not keep the CR.
  const std::string line98 = std::string(50, 'n') + "=" + std::string(47, 'v');
  EXPECT_EQ(readAs("[A]\r\n" + line98 + "\r\nz=1\r\n"),
            "[A]\n -> " + std::string(18, 'n') + " = \"" +
                std::string(47, 'v') + "\"\n -> z = \"1\"\n\n");
}

TEST_F(IniFileTest, NulBytesEndTheTextOfTheirPiece) {
  EXPECT_EQ(readAs("[A]\nk=v\0junk=1\n\0x=1\nz=1"s),
            "[A]\n -> k = \"v\"\n -> z = \"1\"\n\n");
  // Three full pieces of NUL bytes, then the header as a piece of its own.
  EXPECT_EQ(readAs(std::string(297, '\0') + "[A]\n"), "[A]\n\n");
}

TEST_F(IniFileTest, NamesThatReadBackDifferently) {
  CIniFile ini(path_.c_str());
  ini.addSection("A");
  ini.addValue(nullptr, "a=b", "1");
  ini.addValue(nullptr, "[x", "2");
  ini.save();
  EXPECT_EQ(read(path_), "[A]\r\na=b=1\r\n[x=2\r\n\r\n");
  CIniFile back(path_.c_str());
  EXPECT_EQ(dumpOf(back), "[A]\n -> a = \"b=1\"\n\n[x=2]\n\n");
}

TEST_F(IniFileTest, SaveNameReplacesStoredNameCutTo31) {
  CIniFile ini(path_.c_str());
  ini.addSection("A");
  const std::string other = dir_ + "/other.ini";
  ini.save(other.c_str());
  ini.save();
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_EQ(read(other), "[A]\r\n\r\n");

  const std::string longName = dir_ + "/" + std::string(40, 'L');
  ini.save(longName.c_str());
  EXPECT_TRUE(fs::exists(longName.substr(0, 31)));
  CIniFile cut(longName.c_str());
  EXPECT_TRUE(cut.isLoaded());
}

TEST_F(IniFileTest, NewFilesArePrivateExistingFilesKeepTheirMode) {
  mode_t old = umask(0);
  CIniFile ini(path_.c_str());
  ini.addSection("A");
  ini.save();
  EXPECT_EQ(modeOf(path_), 0600u);
  chmod(path_.c_str(), 0640);
  ini.addValue(nullptr, "k", "v");
  ini.save();
  EXPECT_EQ(modeOf(path_), 0640u);
  EXPECT_EQ(read(path_), "[A]\r\nk=v\r\n\r\n");

  const std::string direct = dir_ + "/direct.ini";
  CIniFile opened(direct.c_str());
  EXPECT_TRUE(opened.openFile('w'));
  opened.closeFile();
  EXPECT_EQ(modeOf(direct), 0600u);
  EXPECT_FALSE(opened.openFile('x'));
  umask(old);
  EXPECT_EQ(entriesInDir(), 2u);  // no temporary file left over
}

TEST_F(IniFileTest, SaveThroughSymlinkReplacesTheFileItNames) {
  const std::string real = dir_ + "/real.ini";
  write(real, "[OLD]\n");
  fs::create_symlink(real, path_);
  CIniFile ini(path_.c_str());
  ini.addSection("NEW");
  ini.save();
  EXPECT_TRUE(fs::is_symlink(path_));
  EXPECT_EQ(read(real), "[OLD]\r\n\r\n[NEW]\r\n\r\n");
}

// A write that fails part-way (here: the file size limit) leaves the old
// file as it was and no temporary file behind.
TEST_F(IniFileTest, FailedWriteKeepsTheOldFile) {
  const std::string old = "[A]\r\nk=old\r\n\r\n";
  write(path_, old);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {8, 8};
    setrlimit(RLIMIT_FSIZE, &limit);
    CIniFile ini(path_.c_str());
    ini.setValue("A", "k", std::string(50, 'n').c_str());
    ini.save();
    _exit(ini.getValue("A", "k") != nullptr ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(read(path_), old);
  EXPECT_EQ(entriesInDir(), 1u);
}

// A save killed while it writes leaves its temporary file, which holds the
// password; the next save of the same file removes it, and nothing else.
TEST_F(IniFileTest, NextSaveRemovesWhatAKilledSaveLeftBehind) {
  write(path_, "[A]\r\nk=old\r\n\r\n");
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    struct rlimit limit = {8, 8};  // SIGXFSZ ends the save part-way
    setrlimit(RLIMIT_FSIZE, &limit);
    struct rlimit noCore = {0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    CIniFile ini(path_.c_str());
    ini.setValue("A", "k", "secret");
    ini.save();
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status));
  ASSERT_EQ(entriesInDir(), 2u);  // the file and the leftover

  const std::vector<std::string> kept = {
      "s.ini.AbC12", "s.ini.AbC1234", "s.ini.Ab-_12", "other.ini.AbC123",
      "s.ini.Link12", "s.ini.Dir123", "s.ini.Othr12"};
  for (const std::string& name : kept) write(dir_ + "/" + name, "x");
  fs::remove(dir_ + "/s.ini.Link12");
  fs::create_symlink(dir_ + "/other.ini.AbC123", dir_ + "/s.ini.Link12");
  fs::remove(dir_ + "/s.ini.Dir123");
  fs::create_directory(dir_ + "/s.ini.Dir123");
  bool root = geteuid() == 0;
  if (root) {
    ASSERT_EQ(chown((dir_ + "/s.ini.Othr12").c_str(), 65534, 65534), 0);
  }
  CIniFile ini(path_.c_str());
  ASSERT_TRUE(ini.save());
  EXPECT_EQ(read(path_), "[A]\r\nk=old\r\n\r\n");
  std::vector<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir_))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = kept;
  expected.push_back("s.ini");
  if (!root) expected.erase(std::find(expected.begin(), expected.end(), "s.ini.Othr12"));
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
}

TEST_F(IniFileTest, UnwritableTargetsStayUntouched) {
  CIniFile ini(path_.c_str());
  ini.addSection("A");
  ini.save((dir_ + "/missing/s.ini").c_str());
  ini.save(dir_.c_str());
  EXPECT_TRUE(fs::is_directory(dir_));
  EXPECT_EQ(entriesInDir(), 0u);
  EXPECT_EQ(dumpOf(ini), "[A]\n\n");
  ini.save(path_.c_str());
  EXPECT_EQ(read(path_), "[A]\r\n\r\n");
}

TEST_F(IniFileTest, ReadOnlyFileAndDirectoryStayUntouched) {
  // A file without any write bit stays as it is, for root as well.
  write(path_, "[OLD]\n");
  chmod(path_.c_str(), 0444);
  CIniFile ini(path_.c_str());
  ini.addSection("NEW");
  EXPECT_FALSE(ini.save());
  EXPECT_EQ(read(path_), "[OLD]\n");
  chmod(path_.c_str(), 0644);
  EXPECT_TRUE(ini.save());
  write(path_, "[OLD]\n");
  if (geteuid() == 0) GTEST_SKIP() << "root may write into read-only directories";
  chmod(dir_.c_str(), 0555);
  EXPECT_FALSE(ini.save());
  EXPECT_EQ(read(path_), "[OLD]\n");
}

TEST_F(IniFileTest, ReadSectionsAddsToTheDocument) {
  write(path_, "[A]\nk=1\n[B]\n");
  CIniFile ini(path_.c_str());
  ini.readSections();  // no file open: nothing happens
  ini.addSection("C");
  ASSERT_TRUE(ini.openFile('r'));
  CaptureStderr();
  ini.readSections();
  ini.closeFile();
  GetCapturedStderr();
  EXPECT_EQ(dumpOf(ini), "[A]\n -> k = \"1\"\n\n[B]\n\n[C]\n\n");
}

}  // namespace
