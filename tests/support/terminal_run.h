// The built program on a pseudo-terminal, for tests of what a user at a
// terminal sees: the key pauses, the text conversion, the progress line.
#ifndef VKT_TESTS_SUPPORT_TERMINAL_RUN_H_
#define VKT_TESTS_SUPPORT_TERMINAL_RUN_H_

#include <sys/types.h>

#include <map>
#include <string>

namespace testing_support {

class TerminalRun {
 public:
  // Starts the program in `workDir` with `env` added to its environment.
  // The terminal is its controlling terminal, stdin and stderr, and its
  // stdout too unless `stdoutFile` names a file for stdout instead.
  TerminalRun(const std::string& workDir,
              const std::map<std::string, std::string>& env,
              const std::string& stdoutFile = "");
  // Kills the program if it still runs.
  ~TerminalRun();
  TerminalRun(const TerminalRun&) = delete;
  TerminalRun& operator=(const TerminalRun&) = delete;

  // Reads what the program writes to the terminal until it ends with
  // `tail` and has grown since the last key typed; false after `seconds`
  // without that.
  bool readUntil(const std::string& tail, int seconds = 10);
  // Everything read from the terminal so far (line ends as CR LF).
  const std::string& output() const { return output_; }
  // Waits (at most 5 s) until the program has put the terminal into
  // single-key mode.
  bool waitForSingleKeyMode();
  // True when the terminal is in line mode with echo.
  bool canonical();
  // Types the first byte of `keys`.
  void type(const char* keys);
  // Exit status, or 128 + signal.
  int wait();
  pid_t pid() const { return pid_; }

 private:
  std::string output_;
  size_t readBeforeKey_ = 0;  // output_'s size when the last key was typed
  int master_ = -1;
  int slave_ = -1;
  pid_t pid_ = -1;
};

}  // namespace testing_support

#endif  // VKT_TESTS_SUPPORT_TERMINAL_RUN_H_
