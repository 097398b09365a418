// The key pause on a terminal: one key without Enter goes on, and the
// terminal's settings come back afterwards, also when a signal ends the
// program during the pause. The program fails to connect (no server at the
// socket it is given), so it reaches its final pause at once.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>

#include "app/app.h"

namespace {

class TerminalRun {
 public:
  TerminalRun() {
    char dir[] = "/tmp/vkt-pause.XXXXXX";
    dir_ = mkdtemp(dir);
    std::ofstream(dir_ + "/vkt.ini") << "[DBDATEN]\nhost=localhost\nuser=u\npass=p\ndb-name=d\n";
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(master_);
      login_tty(dup(slave_));
      if (chdir(dir_.c_str()) != 0) _exit(126);
      setenv("MYSQL_UNIX_PORT", "/nonexistent/socket", 1);
      setenv("MYSQL_TCP_PORT", "1", 1);
      execl(VKT_BINARY, VKT_BINARY, static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~TerminalRun() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close(master_);
    close(slave_);
    std::remove((dir_ + "/vkt.ini").c_str());
    std::remove((dir_ + "/vkt.ini.lock").c_str());
    rmdir(dir_.c_str());
  }

  // Reads the program's output until it ends with `tail` (at most 10 s).
  bool readUntil(const std::string& tail) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < end) {
      if (output_.size() >= tail.size() &&
          output_.compare(output_.size() - tail.size(), tail.size(), tail) == 0)
        return true;
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) > 0) {
        char buffer[512];
        ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        output_.append(buffer, static_cast<size_t>(n));
      }
    }
    return false;
  }

  // Waits (at most 5 s) until the program has put the terminal into
  // single-key mode; the prompt is printed just before that.
  bool waitForSingleKeyMode() {
    for (int i = 0; i < 500; ++i) {
      if (!canonical()) return true;
      usleep(10000);
    }
    return false;
  }

  bool canonical() {
    termios t;
    return tcgetattr(slave_, &t) == 0 && (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
  }
  // Exit status, or 128 + signal.
  int wait() {
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  }
  void type(const char* keys) { ASSERT_GT(write(master_, keys, 1), 0); }
  pid_t pid() const { return pid_; }

 private:
  std::string dir_;
  std::string output_;
  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
};

const char kPrompt[] = "Dr\xFC" "cken Sie eine beliebige Taste . . . ";

}  // namespace

TEST(TerminalPause, OneKeyGoesOnAndTheTerminalIsRestored) {
  TerminalRun run;
  ASSERT_GT(run.pid(), 0);
  ASSERT_TRUE(run.readUntil(kPrompt));
  ASSERT_TRUE(run.waitForSingleKeyMode());
  run.type("x");
  EXPECT_EQ(run.wait(), 1);  // the connection failed
  EXPECT_TRUE(run.canonical());
}

TEST(TerminalPause, ASignalDuringThePauseRestoresTheTerminal) {
  TerminalRun run;
  ASSERT_GT(run.pid(), 0);
  ASSERT_TRUE(run.readUntil(kPrompt));
  ASSERT_TRUE(run.waitForSingleKeyMode());
  kill(run.pid(), SIGTERM);
  EXPECT_EQ(run.wait(), 128 + SIGTERM);
  EXPECT_TRUE(run.canonical());
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
