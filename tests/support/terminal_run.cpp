#include "tests/support/terminal_run.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <utmp.h>

#include <chrono>

#include <gtest/gtest.h>

namespace testing_support {

TerminalRun::TerminalRun(const std::string& workDir,
                         const std::map<std::string, std::string>& env,
                         const std::string& stdoutFile) {
  if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
  pid_ = fork();
  if (pid_ == 0) {
    close(master_);
    login_tty(dup(slave_));
    if (chdir(workDir.c_str()) != 0) _exit(126);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    if (!stdoutFile.empty()) {
      int out = open(stdoutFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      if (out < 0 || dup2(out, STDOUT_FILENO) < 0) _exit(126);
    }
    execl(VKT_BINARY, VKT_BINARY, static_cast<char*>(nullptr));
    _exit(127);
  }
}

TerminalRun::~TerminalRun() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  close(master_);
  close(slave_);
}

bool TerminalRun::readUntil(const std::string& tail, int seconds) {
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (std::chrono::steady_clock::now() < end) {
    if (output_.size() >= tail.size() && output_.size() > readBeforeKey_ &&
        output_.compare(output_.size() - tail.size(), tail.size(), tail) == 0)
      return true;
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buffer[4096];
      ssize_t n = read(master_, buffer, sizeof buffer);
      if (n <= 0) return false;
      output_.append(buffer, static_cast<size_t>(n));
    }
  }
  return false;
}

bool TerminalRun::waitForSingleKeyMode() {
  for (int i = 0; i < 500; ++i) {
    if (!canonical()) return true;
    usleep(10000);
  }
  return false;
}

bool TerminalRun::canonical() {
  termios t;
  return tcgetattr(slave_, &t) == 0 && (t.c_lflag & ICANON) && (t.c_lflag & ECHO);
}

void TerminalRun::type(const char* keys) {
  readBeforeKey_ = output_.size();
  ASSERT_GT(write(master_, keys, 1), 0);
}

int TerminalRun::wait() {
  int status = 0;
  waitpid(pid_, &status, 0);
  pid_ = -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace testing_support
