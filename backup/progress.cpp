#include "backup/progress.h"

#include "backup/console_text.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <limits>

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint64_t kCheckEvery = 256 * 1024;  // bytes between clock reads
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();
constexpr auto kRedrawEvery = std::chrono::milliseconds(250);
constexpr double kRateAfterSeconds = 0.5;  // a rate over less is noise
constexpr char kEraseToLineEnd[] = "\x1b[K";

// The last redraw of any progress line of this process.
bool drawnBefore = false;
Clock::time_point lastDraw;

int terminalColumns() {
  winsize size{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
    return size.ws_col;
  return 80;
}

// 1234567 as "1.234.567".
std::string grouped(uint64_t number) {
  std::string digits = std::to_string(number);
  for (size_t end = digits.size(); end > 3; end -= 3)
    digits.insert(end - 3, ".");
  return digits;
}

// One decimal place behind a decimal comma: "12,3".
std::string decimal(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  std::string result = text;
  for (char& c : result)
    if (c == '.') c = ',';
  return result;
}

bool startsCharacter(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0) != 0x80;
}

size_t columnsOf(const std::string& text) {
  size_t columns = 0;
  for (char byte : text) columns += startsCharacter(byte) ? 1 : 0;
  return columns;
}

// The longest start of `text` that fits `columns`, cut between characters.
std::string cutToColumns(const std::string& text, size_t columns) {
  size_t used = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    if (!startsCharacter(text[i])) continue;
    if (used == columns) return text.substr(0, i);
    ++used;
  }
  return text;
}

// A name whose control bytes would move the cursor gets '?' for them.
std::string printable(const std::string& name) {
  std::string shown = name;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == '\x7f') c = '?';
  return shown;
}

}  // namespace

RowProgress::RowProgress(const std::string& table)
    : RowProgress(table, isatty(STDERR_FILENO) == 1 ? &std::cerr : nullptr,
                  0) {}

RowProgress::RowProgress(const std::string& table, std::ostream* terminal,
                         int columns)
    : table_(printable(table)),
      terminal_(terminal),
      columns_(columns),
      start_(Clock::now()),
      nextCheck_(terminal != nullptr ? kCheckEvery : kNever) {}

RowProgress::~RowProgress() { finish(); }

void RowProgress::finish() {
  if (!shown_) return;
  *terminal_ << '\r' << kEraseToLineEnd << std::flush;
  shown_ = false;
}

void RowProgress::check() {
  nextCheck_ = bytes_ + kCheckEvery;
  const Clock::time_point now = Clock::now();
  if (drawnBefore && now - lastDraw < kRedrawEvery) return;
  drawnBefore = true;
  lastDraw = now;
  const double seconds = std::chrono::duration<double>(now - start_).count();
  // The last column is left free: a terminal may wrap after it.
  const int columns = (columns_ > 0 ? columns_ : terminalColumns()) - 1;
  *terminal_ << '\r' << text(seconds, columns > 0 ? columns : 0)
             << kEraseToLineEnd << std::flush;
  shown_ = true;
}

std::string RowProgress::text(double seconds, size_t columns) const {
  std::string counts = "': " + grouped(rows_) + console_text::kProgressRows +
                       decimal(static_cast<double>(bytes_) / 1e6) + " MB";
  if (seconds >= kRateAfterSeconds)
    counts += ", " + decimal(static_cast<double>(bytes_) / 1e6 / seconds) +
              " MB/s";
  const std::string start = console_text::kProgressTable;
  std::string name = table_;
  const size_t fixed = columnsOf(start) + columnsOf(counts);
  // A long name is shortened first, so that the counts stay in view.
  if (fixed + columnsOf(name) > columns && fixed + 4 <= columns)
    name = cutToColumns(name, columns - fixed - 3) + "...";
  return cutToColumns(start + name + counts, columns);
}
