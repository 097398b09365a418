// The progress line of a long row loop, drawn on a stream that stands for
// the terminal.
#include <gtest/gtest.h>

#include <unistd.h>

#include <sstream>
#include <string>

#include "backup/progress.h"

namespace {

// Lets the quarter second pass in which no line of any table may be
// redrawn after the last one.
void waitForRedraw(int milliseconds = 300) { usleep(milliseconds * 1000); }

bool startsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

}  // namespace

TEST(RowProgress, RedrawsAtMostFourTimesASecondAndErasesItsLine) {
  std::ostringstream terminal;
  waitForRedraw();
  RowProgress progress("kunden", &terminal, 80);
  for (int i = 0; i < 2621; ++i) progress.tick(100);
  EXPECT_EQ(terminal.str(), "");  // under 256 KiB: the clock is not read
  progress.tick(100);
  // No rate yet: it would be measured over too short a time.
  const std::string first = terminal.str();
  EXPECT_EQ(first, "\rTabelle 'kunden': 2.622 Zeilen, 0,3 MB\x1b[K");

  for (int i = 0; i < 20000; ++i) progress.tick(100);
  EXPECT_EQ(terminal.str(), first);  // within the quarter second
  waitForRedraw(600);
  for (int i = 0; i < 3000; ++i) progress.tick(100);
  const std::string second = terminal.str().substr(first.size());
  EXPECT_TRUE(startsWith(second, "\rTabelle 'kunden': 2")) << second;
  EXPECT_EQ(second.substr(second.size() - 8), " MB/s\x1b[K") << second;

  progress.finish();
  progress.finish();
  EXPECT_EQ(terminal.str(), first + second + "\r\x1b[K");
}

TEST(RowProgress, ALongNameIsShortenedToTheTerminalWidth) {
  std::ostringstream terminal;
  waitForRedraw();
  {
    RowProgress progress("a\tb\x1b" + std::string(100, 'n'), &terminal, 50);
    for (int i = 0; i < 3000; ++i) progress.tick(100);
  }
  const std::string text = terminal.str();
  const std::string line = text.substr(1, text.find("\x1b[K") - 1);
  EXPECT_EQ(line, "Tabelle 'a?b?nnnnnnnnnn...': 2.622 Zeilen, 0,3 MB");
  EXPECT_EQ(text.substr(text.size() - 4), "\r\x1b[K");  // erased when done
}
