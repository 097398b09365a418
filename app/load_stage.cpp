// --einspielen: a backup file of this program loaded into a database.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/app.h"
#include "backup/backup_load.h"
#include "backup/console_text.h"
#include "backup/file_lines.h"
#include "backup/load_plan.h"
#include "backup/zstd_frames.h"
#include "ini/ini_file.h"

namespace {

std::atomic<bool> stopAsked{false};

void onStopSignal(int) { stopAsked.store(true); }

// SIGINT and SIGTERM end the load after the statements under way, so that
// the run can still say which tables are incomplete.
void catchStopSignals() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

// Standard input copied into an unnamed file, so that it can be checked
// before it is loaded: -1 when it cannot be.
int spoolStandardInput() {
  const char* directory = std::getenv("TMPDIR");
  std::string pattern = std::string(directory != nullptr && *directory ? directory : "/tmp") +
                        "/velmoraskintide-XXXXXX";
  const int fd = mkstemp(&pattern[0]);
  if (fd < 0) return -1;
  unlink(pattern.c_str());
  std::vector<char> block(std::size_t{1} << 20);
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, block.data(), block.size());
    if (n == 0) return fd;
    if (n < 0 && errno == EINTR) continue;
    ssize_t written = 0;
    while (n > 0 && written < n) {
      const ssize_t w = write(fd, block.data() + written, static_cast<std::size_t>(n - written));
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) break;
      written += w;
    }
    if (n < 0 || written < n) {
      close(fd);
      return -1;
    }
  }
}

// The progress line on a terminal (stderr), redrawn in place.
class LoadProgress {
 public:
  LoadProgress() : shown_(isatty(STDERR_FILENO) == 1), start_(std::chrono::steady_clock::now()) {}
  ~LoadProgress() { erase(); }
  void erase() {
    if (drawn_) std::cerr << "\r\x1b[K" << std::flush;
    drawn_ = false;
  }
  void operator()(const backup_load::Progress& p) {
    if (p.finished) erase();
    if (!shown_ || p.finished) return;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const std::uint64_t rate = seconds > 0 ? static_cast<std::uint64_t>(p.rows / seconds) : 0;
    long left = -1;
    if (p.bytes > 0 && seconds > 1) {
      const double bytesLeft = static_cast<double>(p.totalBytes - std::min(p.bytes, p.totalBytes));
      left = static_cast<long>(seconds * bytesLeft / static_cast<double>(p.bytes));
    }
    std::cerr << '\r'
              << console_text::loadProgress(p.bytes, p.totalBytes, rate, p.tablesDone,
                                            p.tables, left)
              << "\x1b[K" << std::flush;
    drawn_ = true;
  }

 private:
  bool shown_;
  bool drawn_ = false;
  std::chrono::steady_clock::time_point start_;
};

struct LoadArguments {
  std::string file;
  std::string database;
  bool replace = false;
  int connections = 0;
};

// The words after --einspielen; false, told on stderr, for any other.
bool parseLoadArguments(const std::vector<std::string>& arguments, LoadArguments* parsed) {
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    const bool hasValue = i + 1 < arguments.size();
    if (argument == "--datenbank" && hasValue) {
      parsed->database = arguments[++i];
    } else if (argument == "--ersetzen") {
      parsed->replace = true;
    } else if (argument == "--verbindungen" && hasValue) {
      const std::string& value = arguments[++i];
      char* end = nullptr;
      const long count = std::strtol(value.c_str(), &end, 10);
      if (end == value.c_str() || *end != '\0' || count < 1 || count > 64) return false;
      parsed->connections = static_cast<int>(count);
    } else if (parsed->file.empty() && (argument == "-" || argument[0] != '-')) {
      parsed->file = argument;
    } else {
      return false;
    }
  }
  return !parsed->file.empty();
}

// Checks, plans and loads the open file `fd`, shown as `shown`.
int loadOpenFile(int fd, const std::string& checkedPath, const std::string& shown,
                 const LoadArguments& arguments) {
  // The file loaded must be the file checked: a change to it is told.
  const FileStamp checked = file_lines::stampOf(fd);
  if (!checkBackup(checkedPath, shown)) {
    console_text::printLine(console_text::kLoadCheckRefused);
    return EXIT_FAILURE;
  }
  std::unique_ptr<file_lines::PlainBytes> bytes;
  if (zstd_frames::looksCompressed(fd)) {
    bytes = std::make_unique<file_lines::PackedBytes>(fd);
  } else {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    bytes = std::make_unique<file_lines::FileBytes>(fd);
  }
  const load_plan::Plan plan = load_plan::planLoad(*bytes);
  if (!plan.refusal.empty()) {
    console_text::printLine(console_text::loadRefused(plan.refusalLine, plan.refusal));
    return EXIT_FAILURE;
  }
  if (!file_lines::sameFile(checked, file_lines::stampOf(fd))) {
    console_text::printLine(console_text::kLoadChangedBeforeLoad);
    return EXIT_FAILURE;
  }
  RunValues values;
  std::cout << "Lade Ini-Datei: " << std::flush;
  CIniFile settings(kSettingsFileName);
  if (!takeSettings(settings, values)) return EXIT_FAILURE;
  backup_load::Target target;
  target.host = values.host;
  target.user = values.user;
  target.password = values.password;
  target.database = arguments.database.empty() ? plan.database : arguments.database;
  target.replace = arguments.replace;
  target.connections = arguments.connections > 0 ? arguments.connections
                                                 : backup_load::fittingConnections(target);
  if (target.database.empty()) {
    console_text::printLine(console_text::kLoadNoDatabase);
    return EXIT_FAILURE;
  }
  console_text::printLine(console_text::loadTarget(shown, target.database, target.connections));
  catchStopSignals();
  LoadProgress progress;
  const bool whole = backup_load::load(
      *bytes, plan, target,
      [&](const backup_load::Progress& p) { progress(p); }, &stopAsked);
  progress.erase();
  if (whole && !file_lines::sameFile(checked, file_lines::stampOf(fd))) {
    console_text::printLine(console_text::kLoadChangedWhileLoading);
    return EXIT_FAILURE;
  }
  return whole ? EXIT_SUCCESS : EXIT_FAILURE;
}

}  // namespace

int runLoad(const std::vector<std::string>& arguments) {
  LoadArguments parsed;
  if (!parseLoadArguments(arguments, &parsed)) {
    std::cerr << "Aufruf: velmoraskintide --einspielen DATEI|- [--datenbank NAME] "
                 "[--ersetzen] [--verbindungen N]"
              << std::endl;
    return kUsageError;
  }
  if (!openStandardDescriptors()) return EXIT_FAILURE;
  int fd = -1;
  if (parsed.file == "-") {
    fd = spoolStandardInput();
    if (fd < 0) {
      console_text::printLine(console_text::kLoadStdinUnreadable);
      return EXIT_FAILURE;
    }
  } else {
    fd = open(parsed.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
      checkBackup(parsed.file, parsed.file);  // tells why it does not open
      console_text::printLine(console_text::kLoadCheckRefused);
      return EXIT_FAILURE;
    }
  }
  // The checker reads the very file that is loaded, by its descriptor: a
  // file put in its name's place meanwhile is neither checked nor loaded.
  const int status =
      loadOpenFile(fd, "/proc/self/fd/" + std::to_string(fd), parsed.file, parsed);
  close(fd);
  return status;
}
