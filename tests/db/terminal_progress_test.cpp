// A long table at a terminal: a progress line on stderr while its rows are
// read from the server and while they are copied from the previous backup,
// erased right before the next console line, so that the screen ends up
// showing what a log shows. Nothing of it when stderr is not a terminal.
#include <gtest/gtest.h>

#include <regex>

#include "tests/support/terminal_run.h"
#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

const char kDb[] = "vkt_progress";
const char kPrompt[] = "Dr\xFC" "cken Sie eine beliebige Taste . . . ";
const char kProgressStart[] = "\rTabelle 'big': ";
const char kErasedBeforeCount[] = "\x1b[K\r\x1b[K" "20000 Datens\xE4tze gespeichert.\r\n";

// One run on the terminal, both pauses answered; returns what it showed.
std::string runOnTerminal(const std::string& dir) {
  ts::TerminalRun run(dir, {{"LC_ALL", "C"}});
  for (int pause = 0; pause < 2; ++pause) {
    EXPECT_TRUE(run.readUntil(kPrompt, 60)) << run.output();
    EXPECT_TRUE(run.waitForSingleKeyMode());
    run.type("x");
  }
  EXPECT_EQ(run.wait(), 0);
  return run.output();
}

// The terminal's text without the progress line's drawing and erasing.
std::string withoutProgress(const std::string& shown) {
  return std::regex_replace(shown, std::regex("\r[^\r\n]*\x1b\\[K"), "");
}

}  // namespace

TEST(TerminalProgress, ShownWhileRowsAreReadOrCopiedAndErasedBeforeTheNextLine) {
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  // 20000 row lines are some 700 KB, enough for the line to be drawn.
  c.exec("CREATE TABLE big (id INT PRIMARY KEY) ENGINE=InnoDB;"
         "CREATE TABLE small (id INT) ENGINE=InnoDB;"
         "INSERT INTO big SELECT seq FROM seq_1_to_20000;"
         "INSERT INTO small VALUES (1);");
  ts::waitForNextSecond();
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kDb, dir.path()));

  const std::string full = runOnTerminal(dir.path());
  EXPECT_NE(full.find(std::string("Abfrage der Tabellen-Daten aus der DB: OK\r\n") +
                      kProgressStart),
            std::string::npos) << full;
  EXPECT_NE(full.find(kErasedBeforeCount), std::string::npos) << full;
  EXPECT_NE(withoutProgress(full).find(
                "Abfrage der Tabellen-Daten aus der DB: OK\r\n"
                "20000 Datens\xE4tze gespeichert.\r\n"),
            std::string::npos) << full;

  // Not a terminal: the same kind of run shows no progress at all.
  c.exec("INSERT INTO small VALUES (2);");
  ts::waitForNextSecond();
  ts::ProgramRun piped = ts::runProgram(dir.path(), "");
  EXPECT_NE(piped.out.find("Kopiere die Daten aus dem alten Backup heraus.\n"
                           "20000 Datens\xE4tze gespeichert.\n"),
            std::string::npos) << piped.out;
  EXPECT_EQ(piped.err, "");

  c.exec("INSERT INTO small VALUES (3);");
  ts::waitForNextSecond();
  const std::string copied = runOnTerminal(dir.path());
  EXPECT_NE(copied.find(std::string("Kopiere die Daten aus dem alten Backup heraus.\r\n") +
                        kProgressStart),
            std::string::npos) << copied;
  EXPECT_NE(copied.find(kErasedBeforeCount), std::string::npos) << copied;
  EXPECT_EQ(withoutProgress(copied).find('\x1b'), std::string::npos) << copied;
  EXPECT_EQ(ts::listFiles(dir.path(), ".sql").size(), 3u);
}
