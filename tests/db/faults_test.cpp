// Runs that cannot write a whole backup: a connection killed while a table
// streams, a previous backup cut short under a run, the run killed, a file
// size limit, a full disk, a save path that cannot be opened. None of
// them may name its file as the last backup, and the next run must still
// produce a backup that restores.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "backup/backup_file.h"
#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

const char kIncomplete[] = " ist unvollst\xE4ndig";
const char kRestored[] = "vkt_fault_restored";

const std::string kIncompleteSuffix =
    std::string(".sql") + BackupFile::kWorkingSuffix;

// The one file in `dir` ending in `suffix` that is not in `before`.
std::string newBackup(const std::string& dir,
                      const std::vector<std::string>& before,
                      const std::string& suffix) {
  std::string found;
  for (const std::string& file : ts::listFiles(dir, suffix)) {
    bool old = false;
    for (const std::string& b : before) old = old || b == file;
    if (old) continue;
    EXPECT_TRUE(found.empty()) << "more than one new file: " << file;
    found = file;
  }
  return found;
}

// Restores `file` and holds every base table against `database`.
void expectRestoresTo(const std::string& file, const std::string& database) {
  std::string errors;
  ASSERT_EQ(ts::restore(file, kRestored, &errors), 0) << errors;
  std::map<std::string, std::string> sums = ts::checksums(database);
  EXPECT_FALSE(sums.empty());
  EXPECT_EQ(ts::checksums(kRestored), sums);
  EXPECT_EQ(ts::rowCounts(kRestored), ts::rowCounts(database));
}

// A normal run after a failed one: the settings advance to a file that
// restores whole.
void expectNextRunRecovers(const std::string& dir, const std::string& savePath,
                           const std::string& database) {
  std::string before =
      ts::settingValue(ts::readFile(dir + "/vkt.ini"), "zeit-last-backup");
  ts::ProgramRun run = ts::runProgram(dir, "");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out.find(kIncomplete), std::string::npos) << run.out;
  std::string stamp =
      ts::settingValue(ts::readFile(dir + "/vkt.ini"), "zeit-last-backup");
  ASSERT_NE(stamp, before) << run.out;
  std::string file = savePath + "/" + database + "-" + stamp + ".sql";
  if (ts::readFile(file).empty()) file += ".zst";  // a compressed backup
  ASSERT_FALSE(ts::readFile(file).empty()) << run.out;
  expectRestoresTo(file, database);
}

// ---------------------------------------------------------------------------

const char kKillDb[] = "vkt_fault_kill";
const int kBigRows = 200000;

// The server's id of the connection that streams `big`, or "" once no
// connection does.
std::string streamingConnection(ts::Connection& watcher) {
  return watcher.scalar(
      "SELECT IFNULL(MIN(ID), '') FROM information_schema.PROCESSLIST WHERE "
      "INFO LIKE 'SELECT % FROM `big`%' AND ID <> CONNECTION_ID()");
}

// Waits until `program` streams `big`; false (with what it printed) when
// it never does.
::testing::AssertionResult waitUntilStreaming(ts::Connection& watcher,
                                              ts::RunningProgram& program) {
  for (int poll = 0; poll < 20000; ++poll) {
    if (!streamingConnection(watcher).empty())
      return ::testing::AssertionSuccess();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return ::testing::AssertionFailure()
         << "the program's SELECT was never seen\n" << program.outputSoFar();
}

// A run whose connection was killed while it streamed `big`.
struct KilledRun {
  ts::ProgramRun run;
  bool midTable = false;  // killed while `big` still streamed
  std::vector<std::string> filesBefore;
};

// Freezes the program while its SELECT of `big` still runs on the server,
// kills that connection, and lets the program go on: it meets the end of
// the stream in the middle of the table. A run that got every row after
// all (the SELECT ended before the freeze) proves nothing and is tried
// again, from `settings` each time, at most three times. `allRows` is
// what the program prints once it has every row of `big`.
KilledRun killWhileStreaming(const std::string& dir, const std::string& settings,
                             const std::string& allRows) {
  ts::Connection watcher;
  KilledRun killed;
  for (int attempt = 0; attempt < 3 && !killed.midTable; ++attempt) {
    ts::writeFile(dir + "/vkt.ini", settings);
    killed.filesBefore = ts::listFiles(dir, "");
    ts::RunningProgram program(dir, "");
    std::string id;
    bool streamedUnseen = false;
    for (int poll = 0; poll < 20000 && id.empty() && !streamedUnseen; ++poll) {
      id = streamingConnection(watcher);
      streamedUnseen = id.empty() && program.outputSoFar().find(allRows) != std::string::npos;
      if (id.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    if (streamedUnseen) {
      killed.run = program.wait();
      continue;
    }
    EXPECT_FALSE(id.empty()) << "the program's SELECT was never seen\n"
                             << program.outputSoFar();
    if (id.empty()) break;
    kill(program.pid(), SIGSTOP);
    const bool stillStreaming = streamingConnection(watcher) == id;
    if (stillStreaming) watcher.exec("KILL CONNECTION " + id);
    kill(program.pid(), SIGCONT);
    killed.run = program.wait();
    killed.midTable =
        stillStreaming && killed.run.out.find(allRows) == std::string::npos;
  }
  return killed;
}

// What every run whose connection was killed mid-table must show: status
// 1, the server's or library's message after `query`, the file under its
// working name only, said to be incomplete, and the settings untouched.
void expectKilledRunIncomplete(const std::string& dir, const KilledRun& killed,
                               const std::string& query,
                               const std::string& settings) {
  const ts::ProgramRun& run = killed.run;
  EXPECT_EQ(newBackup(dir, killed.filesBefore, ".sql"), "");
  const std::string file = newBackup(dir, killed.filesBefore, kIncompleteSuffix);
  EXPECT_EQ(run.status, 1);
  const size_t at = run.out.find(query);
  ASSERT_NE(at, std::string::npos) << run.out;
  const size_t end = run.out.find('\n', at + query.size());
  EXPECT_GT(end, at + query.size() + 5) << run.out;
  EXPECT_NE(run.out.find("Achtung: Das Backup " + file + kIncomplete),
            std::string::npos)
      << run.out;
  EXPECT_EQ(ts::readFile(dir + "/vkt.ini"), settings);
}

TEST(Faults, ConnectionKilledWhileATableStreams) {
  ts::recreateDatabase(kKillDb);
  ts::Connection c(kKillDb);
  c.exec("CREATE TABLE big (id INT NOT NULL PRIMARY KEY, pad CHAR(100))"
         " ENGINE=InnoDB;"
         "INSERT INTO big SELECT seq, REPEAT('x', 100) FROM seq_1_to_" +
         std::to_string(kBigRows) + ";"
         "CREATE TABLE small (id INT NOT NULL PRIMARY KEY, v VARCHAR(10));"
         "INSERT INTO small VALUES (1,'a'),(2,NULL);");
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini",
                ts::settingsFor(kKillDb, dir.path(), "", "1111"));
  // A good backup first: the base of the incremental runs below.
  ts::waitForNextSecond();
  ts::ProgramRun first = ts::runProgram(dir.path(), "");
  std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u) << first.out;
  const std::string goodStamp = ts::stampOf(files[0]);
  const std::string settings = ts::readFile(dir.path() + "/vkt.ini");
  ASSERT_EQ(ts::settingValue(settings, "zeit-last-backup"), goodStamp);

  ts::waitForNextSecond();
  c.exec("UPDATE big SET pad = 'changed' WHERE id = 1");
  ts::waitForNextSecond();

  const std::string allRows = "\n" + std::to_string(kBigRows) + " Datens\xE4tze";
  // Each attempt compares with the good backup, also after one that
  // completed.
  const KilledRun midStream = killWhileStreaming(dir.path(), settings, allRows);
  ASSERT_TRUE(midStream.midTable) << midStream.run.out;
  // The library's message follows "Fehler: " on the line after the OK.
  expectKilledRunIncomplete(dir.path(), midStream,
                            "Abfrage der Tabellen-Daten aus der DB: OK\nFehler: ",
                            settings);
  ts::Connection watcher;
  ts::ProgramRun run;

  // The next run compares with the good backup, not the broken one.
  c.exec("DELETE FROM big WHERE id > 2000");
  ts::waitForNextSecond();
  ts::ProgramRun next = ts::runProgram(dir.path(), "");
  // small is copied from the good backup; big is read again.
  EXPECT_NE(next.out.find("\xD6" "ffne altes Backup: OK\n"), std::string::npos)
      << next.out;
  EXPECT_NE(next.out.find("Kopiere die Daten aus dem alten Backup heraus.\n"
                          "2 Datens\xE4tze gespeichert."),
            std::string::npos)
      << next.out;
  std::string stamp =
      ts::settingValue(ts::readFile(dir.path() + "/vkt.ini"), "zeit-last-backup");
  ASSERT_NE(stamp, goodStamp) << next.out;
  const std::string previous = dir.path() + "/" + kKillDb + "-" + stamp + ".sql";
  expectRestoresTo(previous, kKillDb);

  // The previous backup cut short while big streams, after it was indexed
  // and before small's rows are copied out of it: the copy must notice.
  c.exec("INSERT INTO big SELECT seq, 'again' FROM seq_2001_to_" +
         std::to_string(kBigRows));
  ts::waitForNextSecond();
  const std::string nextSettings = ts::readFile(dir.path() + "/vkt.ini");
  const size_t half = ts::readFile(previous).size() / 2;
  ts::RunningProgram cut(dir.path(), "");
  ASSERT_TRUE(waitUntilStreaming(watcher, cut));
  ASSERT_EQ(truncate(previous.c_str(), static_cast<off_t>(half)), 0);
  run = cut.wait();
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Fehler: Das alte Backup hat sich beim Kopieren ver\xE4ndert."),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(kIncomplete), std::string::npos) << run.out;
  EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), nextSettings);

  // A run killed while big streams leaves its file under the working name
  // only, and the settings as they were.
  std::vector<std::string> before = ts::listFiles(dir.path(), "");
  ts::RunningProgram killed(dir.path(), "");
  ASSERT_TRUE(waitUntilStreaming(watcher, killed));
  kill(killed.pid(), SIGKILL);
  killed.wait();
  EXPECT_EQ(newBackup(dir.path(), before, ".sql"), "");
  EXPECT_NE(newBackup(dir.path(), before, kIncompleteSuffix), "");
  EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), nextSettings);
}

// The connection that reads the tables without transactions first, and
// holds their lock, killed while it streams one of them: the rows cut short
// must not count as whole, in a full run as in any other.
TEST(Faults, ConnectionKilledWhileATableIsReadFirst) {
  const char kDb[] = "vkt_fault_kill_first";
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("CREATE TABLE big (id INT NOT NULL PRIMARY KEY, pad CHAR(100))"
         " ENGINE=MyISAM;"
         "INSERT INTO big SELECT seq, REPEAT('x', 100) FROM seq_1_to_" +
         std::to_string(kBigRows) + ";"
         "CREATE TABLE small (id INT NOT NULL PRIMARY KEY) ENGINE=InnoDB;"
         "INSERT INTO small VALUES (1),(2);");
  ts::TempDir dir;
  const std::string settings = ts::settingsFor(kDb, dir.path(), "", "1110");
  const KilledRun killed = killWhileStreaming(
      dir.path(), settings, "\n" + std::to_string(kBigRows) + " Datens\xE4tze gelesen.");
  ASSERT_TRUE(killed.midTable) << killed.run.out;
  // The kill may land while the server still runs the query, before it
  // sent the first row: then the query itself fails.
  const std::string streamed =
      "Lese Tabelle 'big'\nAbfrage der Tabellen-Daten aus der DB: OK\nFehler: ";
  const std::string queried =
      "Lese Tabelle 'big'\nAbfrage der Tabellen-Daten aus der DB: Fehler: ";
  expectKilledRunIncomplete(
      dir.path(), killed,
      killed.run.out.find(streamed) != std::string::npos ? streamed : queried, settings);
}

// ---------------------------------------------------------------------------

const char kLimitDb[] = "vkt_fault_limit";

// Unmounts the file system mounted on `dir` when it goes.
struct Mount {
  std::string dir;
  ~Mount() {
    if (!dir.empty()) ts::shell("umount '" + dir + "' 2>/dev/null");
  }
};

// Runs that run out of room: a file size limit (none at all, so that even
// the header fails, and one that ends in the middle of the first table's
// rows) and a full disk (a small tmpfs as the save path, grown again before
// the next run, as an administrator would free space).
TEST(Faults, NoRoomLeavesTheBackupIncomplete) {
  static const char kTooLarge[] =
      "Fehler: Die Datei konnte nicht geschrieben werden: die Datei ist zu gro\xDF.\n";
  static const char kNoRoom[] =
      "Fehler: Die Datei konnte nicht geschrieben werden: kein Platz mehr auf "
      "dem Datentr\xE4ger.\n";
  ts::recreateDatabase(kLimitDb);
  ts::Connection c(kLimitDb);
  c.exec("CREATE TABLE a_rows (id INT NOT NULL PRIMARY KEY, pad CHAR(100));"
         // Rows that even compressed take more room than is left.
         "INSERT INTO a_rows SELECT seq, LEFT(CONCAT(SHA2(seq, 256),"
         " SHA2(-seq, 256)), 100) FROM seq_1_to_3000;"
         "CREATE TABLE b_more (id INT NOT NULL PRIMARY KEY);"
         "INSERT INTO b_more VALUES (1),(2);");
  const struct {
    const char* what;
    std::string setup;   // shell commands before the program starts
    size_t maxBytes;     // the most the incomplete file may hold
    bool fullDisk;
    bool copying;        // an incremental run that copies a_rows
    std::string cause;   // the console's word for the write error, where told
    bool compressed = false;
  } cases[] = {
      // Told right after the header, before any table.
      {"ulimit -f 0", "ulimit -f 0; trap '' XFSZ", 0, false, false,
       std::string("Schreibe Dateikopf.\n") + kTooLarge},
      {"ulimit -f 64", "ulimit -f 64; trap '' XFSZ", 64 * 1024, false, false,
       kTooLarge},
      {"ulimit -f 64, copying", "ulimit -f 64; trap '' XFSZ", 64 * 1024, false,
       true, kTooLarge},
      // The frames are written on a thread of their own.
      {"ulimit -f 64, compressed", "ulimit -f 64; trap '' XFSZ", 64 * 1024, false,
       false, kTooLarge, true},
      // Last: where no tmpfs can be mounted, the test is skipped from here.
      {"full disk", "", 256 * 1024, true, false, kNoRoom},
  };
  for (const auto& room : cases) {
    SCOPED_TRACE(room.what);
    ts::TempDir dir;
    Mount mount;
    std::string savePath = dir.path();
    if (room.fullDisk) {
      savePath = dir.path() + "/disk";
      ts::shell("mkdir '" + savePath + "'");
      if (ts::shell("mount -t tmpfs -o size=256k tmpfs '" + savePath +
                    "' 2>/dev/null") != 0)
        GTEST_SKIP() << "full disk: cannot mount a tmpfs here";
      mount.dir = savePath;
    }
    ts::writeFile(dir.path() + "/vkt.ini",
                  ts::settingsFor(kLimitDb, savePath, "20200101000000",
                                  room.copying ? "1111" : "1110") +
                      (room.compressed ? "kompression=zstd\r\n" : ""));
    std::vector<std::string> base;
    if (room.copying) {
      // A good backup to copy from; then b_more changes.
      ts::waitForNextSecond();
      ASSERT_EQ(ts::runProgram(dir.path(), "").status, 0);
      base = ts::listFiles(savePath, ".sql");
      c.exec("INSERT INTO b_more VALUES (" + std::to_string(10 + base.size()) + ")");
      ts::waitForNextSecond();
    }
    const std::string settings = ts::readFile(dir.path() + "/vkt.ini");
    ts::ProgramRun run = ts::runProgramAfter(room.setup, dir.path(), "");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(ts::listFiles(savePath, ".sql"), base);
    // Running out of room is never told as a changed old backup.
    EXPECT_EQ(run.out.find("hat sich beim Kopieren"), std::string::npos) << run.out;
    std::vector<std::string> files = ts::listFiles(
        savePath, room.compressed ? ".sql.zst" + kIncompleteSuffix.substr(4)
                                  : kIncompleteSuffix);
    ASSERT_EQ(files.size(), 1u) << run.out;
    EXPECT_LE(ts::readFile(files[0]).size(), room.maxBytes);
    if (room.maxBytes > 0) {
      EXPECT_NE(run.out.find("Fehler: Die Daten konnten nicht geschrieben werden."),
                std::string::npos)
          << run.out;
    }
    EXPECT_NE(run.out.find("Achtung: Das Backup " + files[0] + kIncomplete),
              std::string::npos)
        << run.out;
    // The cause is told once, where it struck.
    const size_t cause = run.out.find(room.cause);
    EXPECT_NE(cause, std::string::npos) << run.out;
    EXPECT_EQ(run.out.find(room.cause, cause + 1), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("2 von 2 Tabellen"), std::string::npos) << run.out;
    EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), settings);
    if (room.fullDisk) {
      ASSERT_EQ(ts::shell("mount -o remount,size=8m '" + savePath + "'"), 0);
    }
    expectNextRunRecovers(dir.path(), savePath, kLimitDb);
  }
}

// ---------------------------------------------------------------------------

const char kPathDb[] = "vkt_fault_path";

TEST(Faults, SavePathThatCannotBeOpenedWritesNothing) {
  ts::recreateDatabase(kPathDb);
  ts::Connection c(kPathDb);
  c.exec("CREATE TABLE t (id INT NOT NULL PRIMARY KEY, v VARCHAR(10));"
         "INSERT INTO t VALUES (1,'x'),(2,NULL);");
  struct Case {
    const char* what;
    const char* savePath;  // under the work dir, unless absolute
    bool absolute;
  } cases[] = {{"missing directory", "/missing", false},
               {"a plain file", "/plain", false},
               // Read-only for root too: a mode without write bits is not.
               {"a read-only file system", "/sys", true}};
  for (const Case& k : cases) {
    SCOPED_TRACE(k.what);
    ts::TempDir dir;
    ts::writeFile(dir.path() + "/plain", "");
    const std::string savePath = (k.absolute ? "" : dir.path()) + k.savePath;
    const std::string settings =
        ts::settingsFor(kPathDb, savePath, "20200101000000", "1110");
    ts::writeFile(dir.path() + "/vkt.ini", settings);
    ts::ProgramRun run = ts::runProgram(dir.path(), "");
    EXPECT_EQ(run.status, 1);
    const std::string prefix = "Konnte Datei " + savePath + "/" + kPathDb + "-";
    size_t at = run.out.find(prefix);
    ASSERT_NE(at, std::string::npos) << run.out;
    const std::string rest = run.out.substr(at + prefix.size());
    ASSERT_GT(rest.size(), 14u);
    EXPECT_EQ(rest.find_first_not_of("0123456789"), 14u) << rest;
    const std::string tail = ".sql nicht zum schreiben \xF6" "ffnen.\n";
    EXPECT_EQ(rest.substr(14, tail.size()), tail);
    EXPECT_EQ(run.out.find("Erzeuge Datei"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Schreibe Dateikopf."), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("Speichere Tabelle"), std::string::npos) << run.out;
    EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), settings);
    EXPECT_TRUE(ts::listFiles(dir.path(), ".sql").empty());

    // With the path put right, the next run writes a whole backup.
    ts::writeFile(dir.path() + "/vkt.ini",
                  ts::settingsFor(kPathDb, dir.path(), "20200101000000", "1110"));
    expectNextRunRecovers(dir.path(), dir.path(), kPathDb);
  }
}

// ---------------------------------------------------------------------------

const char kHiddenDb[] = "vkt_fault_hidden";

TEST(Faults, RoutineWhoseDefinitionTheServerWithholdsMakesTheRunIncomplete) {
  ts::recreateDatabase(kHiddenDb);
  ts::Connection c(kHiddenDb);
  c.exec("CREATE TABLE t (id INT NOT NULL PRIMARY KEY); INSERT INTO t VALUES (1);"
         "CREATE FUNCTION f() RETURNS INT DETERMINISTIC RETURN 1;"
         "DROP USER IF EXISTS 'vkt_limited'@'localhost';"
         "CREATE USER 'vkt_limited'@'localhost' IDENTIFIED BY 'limited';"
         "GRANT SELECT, SHOW VIEW, EXECUTE ON " + std::string(kHiddenDb) +
         ".* TO 'vkt_limited'@'localhost'");
  ts::TempDir dir;
  std::string settings = ts::settingsFor(kHiddenDb, dir.path(), "", "1110");
  const std::string user = "user=" + ts::server().user + "\r\npass=" +
                           ts::server().password + "\r\n";
  settings.replace(settings.find(user), user.size(),
                   "user=vkt_limited\r\npass=limited\r\n");
  ts::writeFile(dir.path() + "/vkt.ini", settings);
  ts::ProgramRun run = ts::runProgram(dir.path(), "");
  c.exec("DROP USER 'vkt_limited'@'localhost'");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Speichere Funktion 'f'\nFehler: Der Server gibt die "
                         "Definition nicht heraus (fehlende Rechte?).\n"),
            std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find("0 von 1 Routinen, Triggern und Events"), std::string::npos)
      << run.out;
  EXPECT_NE(run.out.find(kIncomplete), std::string::npos) << run.out;
  EXPECT_TRUE(ts::listFiles(dir.path(), ".sql").empty());
  EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), settings);
}

}  // namespace
