#include <cerrno>
#include <csignal>
#include <cstdio>
#include <iostream>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "app/app.h"

namespace {

// The terminal settings to restore; valid while `rawActive` is set.
struct termios savedTerminal;
volatile sig_atomic_t rawActive = 0;

const int kRestoreSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void restoreTerminal() {
  if (rawActive) {
    tcsetattr(STDIN_FILENO, TCSANOW, &savedTerminal);
    rawActive = 0;
  }
}

// Restores the terminal, then lets the signal do what it would have done.
void onSignal(int signal) {
  restoreTerminal();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void waitForKeyOnTerminal() {
  if (tcgetattr(STDIN_FILENO, &savedTerminal) != 0) return;
  struct termios raw = savedTerminal;
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  struct sigaction action {}, previous[sizeof kRestoreSignals / sizeof(int)];
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  for (size_t i = 0; i < sizeof kRestoreSignals / sizeof(int); ++i)
    sigaction(kRestoreSignals[i], &action, &previous[i]);
  rawActive = 1;
  tcsetattr(STDIN_FILENO, TCSANOW, &raw);
  // Read the key from the terminal itself; whatever the prompt left unread
  // in the input buffer does not count as a key press.
  char key;
  while (read(STDIN_FILENO, &key, 1) < 0 && errno == EINTR) {
  }
  restoreTerminal();
  for (size_t i = 0; i < sizeof kRestoreSignals / sizeof(int); ++i)
    sigaction(kRestoreSignals[i], &previous[i], nullptr);
}

}  // namespace

bool openStandardDescriptors() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free descriptor is this one, since those below are open.
    int opened = open("/dev/null", O_RDWR);
    if (opened < 0) return false;
    if (opened != fd) {
      close(opened);
      return false;
    }
  }
  return true;
}

void pauseForKey() {
  std::cout << "Dr\xFC" "cken Sie eine beliebige Taste . . . " << std::flush;
  if (isatty(STDIN_FILENO)) {
    waitForKeyOnTerminal();
  } else {
    // One byte of piped input, through the same buffer the prompt reads;
    // at end of input the run goes on at once.
    std::cin.clear();
    std::cin.get();
    std::cin.clear();
  }
  std::cout << std::endl;
}
