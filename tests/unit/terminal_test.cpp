// What a user at a terminal sees, through a pseudo-terminal: the key pause
// (one key without Enter goes on, and the terminal's settings come back
// afterwards, also when a signal ends the program during the pause) and the
// console texts in the terminal's character set. The program fails to
// connect (no server at the socket it is given), so it reaches its final
// pause at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <string>

#include "app/app.h"
#include "app/terminal_text.h"
#include "tests/support/terminal_run.h"

using testing_support::TerminalRun;

namespace {

// A working directory whose vkt.ini holds `settings`; removed afterwards.
class WorkDir {
 public:
  explicit WorkDir(const std::string& settings) {
    char dir[] = "/tmp/vkt-terminal.XXXXXX";
    path_ = mkdtemp(dir);
    std::ofstream(path_ + "/vkt.ini") << settings;
  }
  ~WorkDir() {
    std::remove((path_ + "/vkt.ini").c_str());
    std::remove((path_ + "/vkt.ini.lock").c_str());
    std::remove((path_ + "/out").c_str());
    rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

const char kSettings[] = "[DBDATEN]\nhost=localhost\nuser=u\npass=p\ndb-name=d\n";

std::map<std::string, std::string> noServer(const std::string& locale) {
  return {{"MYSQL_UNIX_PORT", "/nonexistent/socket"},
          {"MYSQL_TCP_PORT", "1"},
          {"LC_ALL", locale}};
}

const char kPrompt[] = "Dr\xFC" "cken Sie eine beliebige Taste . . . ";

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

// True once the program shows the pause prompt and waits for a key.
bool reachesThePause(TerminalRun& run) {
  return run.pid() > 0 && run.readUntil(kPrompt) && run.waitForSingleKeyMode();
}

TEST(TerminalPause, OneKeyGoesOnAndTheTerminalIsRestored) {
  WorkDir dir(kSettings);
  TerminalRun run(dir.path(), noServer("C"));
  ASSERT_TRUE(reachesThePause(run));
  run.type("x");
  EXPECT_EQ(run.wait(), 1);  // the connection failed
  EXPECT_TRUE(run.canonical());
}

TEST(TerminalPause, ASignalDuringThePauseRestoresTheTerminal) {
  WorkDir dir(kSettings);
  TerminalRun run(dir.path(), noServer("C"));
  ASSERT_TRUE(reachesThePause(run));
  kill(run.pid(), SIGTERM);
  EXPECT_EQ(run.wait(), 128 + SIGTERM);
  EXPECT_TRUE(run.canonical());
}

namespace {

// Where the test sends the program's stdout.
enum class StdoutTo {
  kTerminal,
  kFile,
  kPipe,            // a named pipe, no $JOURNAL_STREAM
  kJournal,         // a named pipe that $JOURNAL_STREAM names
  kOtherJournal,    // a named pipe; $JOURNAL_STREAM names another inode
};

// $JOURNAL_STREAM for the named pipe `path`, its inode moved by `inodeOffset`.
std::string journalStream(const std::string& path, int inodeOffset) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return "";
  return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino + inodeOffset);
}

}  // namespace

// The settings file lacks its section, so the settings store's messages
// ("Schl\xFCssel ...") come on stderr, the terminal; the pause prompt comes
// on stdout. On the terminal the locale decides; a stream that systemd
// connected to the journal gets UTF-8 whatever the locale.
TEST(TerminalText, EachStreamIsConvertedOnlyOnAUtf8TerminalOrForTheJournal) {
  const std::string messageUtf8 = "Schl\xC3\xBC" "ssel DBDATEN konnte nicht";
  const std::string message1252 = "Schl\xFC" "ssel DBDATEN konnte nicht";
  const std::string promptUtf8 = "Dr\xC3\xBC" "cken Sie eine beliebige Taste . . . ";
  struct Case {
    const char* locale;
    StdoutTo stdoutTo;
    std::string message;  // on the terminal, from stderr
    std::string prompt;   // on the terminal, in the file or the pipe, from stdout
  } cases[] = {
      {"C.UTF-8", StdoutTo::kTerminal, messageUtf8, promptUtf8},
      {"C", StdoutTo::kTerminal, message1252, kPrompt},
      {"C.UTF-8", StdoutTo::kFile, messageUtf8, kPrompt},
      {"C.UTF-8", StdoutTo::kPipe, messageUtf8, kPrompt},
      {"C", StdoutTo::kJournal, message1252, promptUtf8},
      {"C.UTF-8", StdoutTo::kOtherJournal, messageUtf8, kPrompt},
  };
  for (const Case& c : cases) {
    const char* const kStdoutNames[] = {"terminal", "file", "pipe", "journal",
                                        "pipe beside the journal"};
    SCOPED_TRACE(std::string(c.locale) + ", stdout to a " +
                 kStdoutNames[static_cast<int>(c.stdoutTo)]);
    WorkDir dir("[ANDERES]\nhost=x\n");
    std::map<std::string, std::string> env = noServer(c.locale);
    const std::string outFile =
        c.stdoutTo == StdoutTo::kTerminal ? "" : dir.path() + "/out";
    // A named pipe is opened for reading first, so that the program's
    // open for writing does not wait; it is read once the program ended.
    int pipeEnd = -1;
    if (c.stdoutTo != StdoutTo::kTerminal && c.stdoutTo != StdoutTo::kFile) {
      ASSERT_EQ(mkfifo(outFile.c_str(), 0600), 0);
      pipeEnd = open(outFile.c_str(), O_RDONLY | O_NONBLOCK);
      ASSERT_GE(pipeEnd, 0);
      if (c.stdoutTo != StdoutTo::kPipe)
        env["JOURNAL_STREAM"] =
            journalStream(outFile, c.stdoutTo == StdoutTo::kJournal ? 0 : 1);
    }
    TerminalRun run(dir.path(), env, outFile);
    ASSERT_GT(run.pid(), 0);
    if (!outFile.empty()) {
      ASSERT_TRUE(run.waitForSingleKeyMode());
      run.readUntil("gefunden werden.\r\n", 1);
    } else {
      ASSERT_TRUE(run.readUntil(c.prompt));
      ASSERT_TRUE(run.waitForSingleKeyMode());
    }
    run.type("x");
    EXPECT_EQ(run.wait(), 1);  // the connection failed
    EXPECT_NE(run.output().find(c.message), std::string::npos) << run.output();
    std::string stdoutText = run.output();
    if (pipeEnd >= 0) {
      stdoutText.clear();
      char buffer[4096];
      ssize_t n;
      while ((n = read(pipeEnd, buffer, sizeof buffer)) > 0)
        stdoutText.append(buffer, static_cast<size_t>(n));
      close(pipeEnd);
    } else if (!outFile.empty()) {
      stdoutText = readAll(outFile);
    }
    EXPECT_NE(stdoutText.find(c.prompt), std::string::npos) << stdoutText;
    if (c.prompt == kPrompt) {
      EXPECT_EQ(stdoutText.find('\xC3'), std::string::npos);
    }
  }
}

TEST(TerminalText, Windows1252BecomesUtf8AndUtf8StaysAsItIs) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain text\r\n", "plain text\r\n"},
      {"Gr\xF6\xDF" "e \xC4nderung", "Gr\xC3\xB6\xC3\x9F" "e \xC3\x84nderung"},
      {"\x80 \x9F \xA0", "\xE2\x82\xAC \xC5\xB8 \xC2\xA0"},
      {"\x81\x8D\x8F\x90\x9D",  // unassigned: U+FFFD
       "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"Gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x98\x80", "Gr\xC3\xB6\xC3\x9F" "e \xF0\x9F\x98\x80"},
      {"\xFC" "ber \xC3\xBC" "ber", "\xC3\xBC" "ber \xC3\xBC" "ber"},
      {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                         // overlong
      {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},         // surrogate
      {"\xF4\x90\x80\x80",  // above U+10FFFF
       "\xC3\xB4\xEF\xBF\xBD\xE2\x82\xAC\xE2\x82\xAC"},
      {"\xE4\xBC", "\xC3\xA4\xC2\xBC"},  // cut off at the end: single bytes
  };
  for (const auto& c : cases) {
    std::string out;
    EXPECT_EQ(terminal_text::appendUtf8(c.in, true, &out), c.in.size());
    EXPECT_EQ(out, c.out) << c.in;
  }
  // A sequence cut between two writes waits for its rest.
  std::string out;
  EXPECT_EQ(terminal_text::appendUtf8("a\xF0\x9F", false, &out), 1u);
  EXPECT_EQ(terminal_text::appendUtf8("\xF0\x9F\x98\x80", false, &out), 4u);
  EXPECT_EQ(out, "a\xF0\x9F\x98\x80");
}

// A program started with standard descriptors closed gets them on
// /dev/null before it opens anything: otherwise the server connection could
// become its input, and the pause would wait on it for ever.
TEST(StandardDescriptors, ClosedOnesAreOpenedOnDevNull) {
  struct stat null;
  ASSERT_EQ(stat("/dev/null", &null), 0);
  for (int closedMask : {1, 2, 4, 7}) {
    SCOPED_TRACE(closedMask);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (int fd = 0; fd < 3; ++fd)
        if (closedMask & (1 << fd)) close(fd);
      if (!openStandardDescriptors()) _exit(1);
      for (int fd = 0; fd < 3; ++fd) {
        struct stat st;
        if (fstat(fd, &st) != 0) _exit(2);
        if ((closedMask & (1 << fd)) && st.st_rdev != null.st_rdev) _exit(3);
      }
      int next = open("/dev/zero", O_RDONLY);
      _exit(next > 2 ? 0 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
  }
}
