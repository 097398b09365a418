// Incremental runs as a user makes them: full, nothing changed, one table
// changed, a new table, a dropped table. Every file written must restore to
// the database's own checksums.
#include <algorithm>
#include <cstring>

#include <gtest/gtest.h>

#include <functional>

#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

const char kCopyingRows[] = "Kopiere die Daten aus dem alten Backup heraus.";

// What a run says about one table: from its "Speichere Tabelle" line to
// the next one; "" when it saves no such table.
std::string sectionOf(const std::string& out, const std::string& table) {
  const std::string opener = "Speichere Tabelle '";
  const size_t begin = out.find(opener + table + "'");
  if (begin == std::string::npos) return "";
  return out.substr(begin, out.find(opener, begin + 1) - begin);
}

const char kDb[] = "vkt_incremental";

// The lines of `table`'s rows in a backup file, from its first INSERT to
// the empty line after them, in file order.
std::vector<std::string> rowLines(const std::string& file, const std::string& table) {
  std::vector<std::string> rows;
  std::string content = ts::readFile(file);
  std::string start = "INSERT INTO `" + table + "` ";
  bool inRows = false;
  for (size_t at = 0; at < content.size();) {
    size_t end = content.find("\r\n", at);
    if (end == std::string::npos) end = content.size();
    inRows = end > at && (inRows || content.compare(at, start.size(), start) == 0);
    if (inRows) rows.push_back(content.substr(at, end - at));
    at = end + 2;
  }
  return rows;
}

// The settings of `dir` with zeilen-je-insert set to `rows` ("" removes it).
void setRowsPerInsert(const std::string& dir, const std::string& rows) {
  std::string settings = ts::readFile(dir + "/vkt.ini");
  const std::string key = "zeilen-je-insert=";
  size_t at = settings.find(key);
  if (at != std::string::npos) settings.erase(at, settings.find("\r\n", at) + 2 - at);
  if (!rows.empty()) settings.insert(settings.find("\r\n") + 2, key + rows + "\r\n");
  ts::writeFile(dir + "/vkt.ini", settings);
}

class IncrementalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ts::recreateDatabase(kDb);
    ts::Connection c(kDb);
    c.exec("CREATE TABLE a (id INT PRIMARY KEY, t VARCHAR(20)) ENGINE=InnoDB;"
           "CREATE TABLE b (id INT PRIMARY KEY, t TEXT) ENGINE=InnoDB;"
           "CREATE TABLE c (id INT PRIMARY KEY, v DOUBLE) ENGINE=MyISAM;"
           "CREATE TABLE empty_one (id INT) ENGINE=InnoDB;"
           "CREATE VIEW v_a AS SELECT id FROM a;"
           "INSERT INTO a VALUES (1,'eins'),(2,'zwei\\'s'),(3,NULL);"
           "INSERT INTO b VALUES (1,'INSERT INTO `a` VALUES (9);'),(2,'x\\ny');"
           "INSERT INTO c VALUES (1,1.5),(2,-0.25);"
           // An InnoDB table never written has no update time (always
           // "changed"); this one has one and no rows.
           "INSERT INTO empty_one VALUES (1); DELETE FROM empty_one;");
    ts::waitForNextSecond();
    ts::writeFile(dir_.path() + "/vkt.ini", ts::settingsFor(kDb, dir_.path()));
  }

  ts::ProgramRun run() {
    ts::ProgramRun r = ts::runProgram(dir_.path(), "");
    EXPECT_EQ(r.status, 0);
    return r;
  }

  // Plain and compressed, oldest first.
  std::vector<std::string> backups() {
    std::vector<std::string> files = ts::listFiles(dir_.path(), ".sql");
    for (const std::string& file : ts::listFiles(dir_.path(), ".sql.zst"))
      files.push_back(file);
    std::sort(files.begin(), files.end());
    return files;
  }

  // The newest backup restores to the database's checksums and row counts.
  void expectNewestRestores() {
    std::string errors;
    ASSERT_EQ(ts::restore(backups().back(), "vkt_incremental_restore", &errors), 0)
        << errors;
    EXPECT_EQ(ts::checksums("vkt_incremental_restore"), ts::checksums(kDb));
    EXPECT_EQ(ts::rowCounts("vkt_incremental_restore"), ts::rowCounts(kDb));
    ts::Connection c("vkt_incremental_restore");
    EXPECT_EQ(c.scalar("SELECT COUNT(*) FROM v_a"), c.scalar("SELECT COUNT(*) FROM a"));
  }

  ts::TempDir dir_;
};

}  // namespace

// Each run in either form of rows: one INSERT a row, or statements of three.
class IncrementalForms : public IncrementalTest,
                         public ::testing::WithParamInterface<const char*> {};

INSTANTIATE_TEST_SUITE_P(RowsPerInsert, IncrementalForms,
                         ::testing::Values("", "3"));

TEST_P(IncrementalForms, FullThenUnchangedThenChangedNewAndDroppedTables) {
  const std::string form = GetParam();
  setRowsPerInsert(dir_.path(), form);
  // First run: no previous backup, so a full one.
  ts::ProgramRun full = run();
  EXPECT_NE(full.out.find("Konnte kein altes Backup laden! Starte direktes Update."),
            std::string::npos) << full.out;
  ASSERT_EQ(backups().size(), 1u);
  std::string first = backups().back();
  EXPECT_EQ(ts::settingValue(ts::readFile(dir_.path() + "/vkt.ini"), "zeit-last-backup"), ts::stampOf(first));
  expectNewestRestores();

  // Nothing changed (a view neither): no file, settings untouched.
  std::string settings = ts::readFile(dir_.path() + "/vkt.ini");
  ts::ProgramRun same = run();
  EXPECT_NE(same.out.find("Es gab keine \xC4nderungen in der Datenbank seit dem "
                          "letzten Backup!\nBackupvorgang wird abgebrochen.\n"),
            std::string::npos) << same.out;
  EXPECT_EQ(backups().size(), 1u);
  EXPECT_EQ(ts::readFile(dir_.path() + "/vkt.ini"), settings);

  // One table changed: the others are copied, byte for byte.
  ts::Connection(kDb).exec("UPDATE b SET t = 'neu' WHERE id = 1");
  ts::waitForNextSecond();
  ts::ProgramRun changed = run();
  EXPECT_NE(changed.out.find("Seit dem letzten Backup wurden 1 Tabellen ge\xE4ndert.\n"
                             "Starte Backupvorgang.\n\n"),
            std::string::npos) << changed.out;
  EXPECT_NE(changed.out.find("Speichere Tabelle 'a'\nAbfrage der Tabellen-beschreibung: OK\n"
                             "Kopiere die Daten aus dem alten Backup heraus.\n"
                             "3 Datens\xE4tze gespeichert.\n"),
            std::string::npos) << changed.out;
  EXPECT_NE(changed.out.find("Speichere Tabelle 'b'\nAbfrage der Tabellen-beschreibung: OK\n"
                             "Abfrage der Tabellen-Daten aus der DB: OK\n"),
            std::string::npos) << changed.out;
  // An empty table has no rows to copy: read again, one empty line.
  EXPECT_NE(changed.out.find("Speichere Tabelle 'empty_one'\nAbfrage der "
                             "Tabellen-beschreibung: OK\nAbfrage der Tabellen-Daten"),
            std::string::npos) << changed.out;
  ASSERT_EQ(backups().size(), 2u);
  std::string second = backups().back();
  EXPECT_EQ(rowLines(second, "a"), rowLines(first, "a"));
  EXPECT_EQ(rowLines(second, "c"), rowLines(first, "c"));
  EXPECT_EQ(rowLines(second, "c").size(), form.empty() ? 2u : 3u);
  EXPECT_EQ(ts::settingValue(ts::readFile(dir_.path() + "/vkt.ini"), "zeit-last-backup"), ts::stampOf(second));
  expectNewestRestores();

  // A new table.
  ts::Connection(kDb).exec("CREATE TABLE d (x INT); INSERT INTO d VALUES (7)");
  ts::waitForNextSecond();
  ts::ProgramRun added = run();
  EXPECT_NE(added.out.find("Seit dem letzten Backup wurden 1 Tabellen ge\xE4ndert."),
            std::string::npos) << added.out;
  ASSERT_EQ(backups().size(), 3u);
  expectNewestRestores();

  // A dropped table is a change too: the next file lacks it.
  ts::Connection(kDb).exec("DROP TABLE c");
  ts::waitForNextSecond();
  ts::ProgramRun dropped = run();
  EXPECT_NE(dropped.out.find("Seit dem letzten Backup wurden 1 Tabellen ge\xE4ndert."),
            std::string::npos) << dropped.out;
  ASSERT_EQ(backups().size(), 4u);
  EXPECT_EQ(ts::readFile(backups().back()).find("# Tabelle 'c'"), std::string::npos);
  EXPECT_TRUE(rowLines(backups().back(), "c").empty());
  expectNewestRestores();

  // Fewer rows a statement: statements that hold more are read again.
  if (!form.empty()) {
    setRowsPerInsert(dir_.path(), "2");
    ts::Connection(kDb).exec("UPDATE b SET t = 'kleiner' WHERE id = 1");
    ts::waitForNextSecond();
    ts::ProgramRun fewer = run();
    EXPECT_NE(fewer.out.find("Speichere Tabelle 'a'\nAbfrage der Tabellen-beschreibung: OK\n"
                             "Abfrage der Tabellen-Daten aus der DB: OK\n"),
              std::string::npos) << fewer.out;
    EXPECT_NE(fewer.out.find("Speichere Tabelle 'd'\nAbfrage der Tabellen-beschreibung: OK\n"
                             "Kopiere die Daten aus dem alten Backup heraus.\n"),
              std::string::npos) << fewer.out;
    expectNewestRestores();
  }
  const size_t files = backups().size();

  // The other form: unchanged rows are read again, so that the file has
  // the form the settings ask for.
  const std::string other = form.empty() ? "2" : "";
  setRowsPerInsert(dir_.path(), other);
  ts::Connection(kDb).exec("UPDATE b SET t = 'wieder' WHERE id = 1");
  ts::waitForNextSecond();
  ts::ProgramRun switched = run();
  EXPECT_EQ(switched.out.find("Kopiere die Daten"), std::string::npos) << switched.out;
  ASSERT_EQ(backups().size(), files + 1);
  EXPECT_EQ(rowLines(backups().back(), "a").size(), other.empty() ? 3u : 5u);
  expectNewestRestores();

  // A file written before rows were committed in bulk (no bulk-load
  // statements in its preamble, no COMMIT lines) and before the client's
  // character set line is copied from.
  std::string content = ts::readFile(backups().back());
  const std::string bulk = " /*!40014 SET autocommit=0 */;";
  size_t at = content.find(bulk);
  ASSERT_NE(at, std::string::npos);
  content.erase(at, content.find("\r\n", at) - at);
  const std::string charsetLine = "/*!\\C utf8mb4 */\r\n";
  at = content.find(charsetLine);
  ASSERT_NE(at, std::string::npos);
  content.erase(at, charsetLine.size());
  at = content.find("\r\nCOMMIT;\r\n");
  ASSERT_NE(at, std::string::npos);
  content.erase(at + 2, 9);
  ts::writeFile(backups().back(), content);
  ts::Connection(kDb).exec("UPDATE b SET t = 'nochmal' WHERE id = 1");
  ts::waitForNextSecond();
  ts::ProgramRun old = run();
  EXPECT_NE(old.out.find("Speichere Tabelle 'a'\nAbfrage der Tabellen-beschreibung: OK\n"
                         "Kopiere die Daten aus dem alten Backup heraus.\n"),
            std::string::npos) << old.out;
  ASSERT_EQ(backups().size(), files + 2);
  expectNewestRestores();
}

TEST_F(IncrementalTest, DamagedOrForeignPreviousFilesAreNeverCopiedFrom) {
  run();
  ASSERT_EQ(backups().size(), 1u);
  std::string previous = backups().back();
  std::string content = ts::readFile(previous);
  ts::Connection(kDb).exec("INSERT INTO b VALUES (3, 'drei')");
  ts::waitForNextSecond();
  std::string settings = ts::readFile(dir_.path() + "/vkt.ini");
  const std::string header = "# Backup der Datenbank 'vkt_incremental'";
  std::string ofOtherDatabase = content;
  ofOtherDatabase.replace(ofOtherDatabase.find(header), header.size(),
                          "# Backup der Datenbank 'vkt/incremental'");

  struct Damage {
    const char* what;
    std::string content;
    std::string replace = "";  // a shell command that replaces the file
  } damages[] = {
      {"cut in the middle of a row line of a",
       content.substr(0, content.find("'zwei") + 3)},
      {"another character set in the preamble",
       [&] {
         std::string changed = content;
         size_t at = changed.find("SET NAMES ");
         changed.replace(at + 10, changed.find(' ', at + 10) - at - 10, "latin1");
         return changed;
       }()},
      {"foreign text", "Hello\nthis is not a backup\n"},
      // Not a regular file: reading it would block or never end.
      {"a FIFO", "", "rm -f '" + previous + "' && mkfifo '" + previous + "'"},
      {"a link to /dev/zero", "",
       "rm -f '" + previous + "' && ln -s /dev/zero '" + previous + "'"},
      // "vkt/incremental" writes files of this database's name.
      {"another database's backup of the same name", ofOtherDatabase},
      {"another database's backup, compressed by the zstd tool", ofOtherDatabase,
       "zstd -q --rm '" + previous + "'"},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    std::remove(previous.c_str());  // a link the row before left
    if (!damage.content.empty() || damage.replace.empty())
      ts::writeFile(previous, damage.content);
    if (!damage.replace.empty()) {
      ASSERT_EQ(ts::shell(damage.replace), 0);
    }
    ts::writeFile(dir_.path() + "/vkt.ini", settings);
    ts::ProgramRun r = run();
    EXPECT_EQ(r.out.find("Kopiere die Daten aus dem alten Backup heraus."),
              std::string::npos) << r.out;
    if (!damage.replace.empty()) {
      EXPECT_NE(r.out.find("Konnte kein altes Backup laden!"), std::string::npos)
          << r.out;
    }
    if (damage.content == ofOtherDatabase) {
      EXPECT_NE(r.out.find("ist kein Backup der Datenbank 'vkt_incremental'.\n"
                           "Konnte kein altes Backup laden!"),
                std::string::npos)
          << r.out;
    }
    ASSERT_EQ(backups().size(), 2u);
    expectNewestRestores();
    std::remove(backups().back().c_str());
  }
}

TEST_F(IncrementalTest, DamagedPreviousFileIsReplacedEvenWithoutChanges) {
  run();
  ASSERT_EQ(backups().size(), 1u);
  std::string previous = backups().back();
  std::string content = ts::readFile(previous);
  // One row line of c lost its end; every section is still there.
  size_t row = content.rfind("INSERT INTO `c`");
  size_t end = content.find("\r\n", row);
  ts::writeFile(previous, content.substr(0, end - 4) + content.substr(end));
  ts::ProgramRun r = run();
  EXPECT_EQ(r.out.find("Es gab keine"), std::string::npos) << r.out;
  ASSERT_EQ(backups().size(), 2u);
  expectNewestRestores();

  // The previous file deleted: a full backup again.
  std::remove(backups().back().c_str());
  ts::ProgramRun again = run();
  EXPECT_NE(again.out.find("Konnte kein altes Backup laden! Starte direktes Update."),
            std::string::npos) << again.out;
  ASSERT_EQ(backups().size(), 2u);
  expectNewestRestores();
}

TEST_F(IncrementalTest, RenamedColumnOfAListedTableIsReadAgain) {
  ts::Connection c(kDb);
  c.exec("CREATE TABLE h (x INT, y INT INVISIBLE) ENGINE=InnoDB;"
         "INSERT INTO h (x, y) VALUES (1, 2), (3, 4);");
  ts::waitForNextSecond();
  run();
  // A rename changes no row, and InnoDB keeps the update time.
  c.exec("ALTER TABLE h RENAME COLUMN y TO y2, ALGORITHM=INSTANT;"
         "UPDATE b SET t = 'anders' WHERE id = 2");
  ts::waitForNextSecond();
  ts::ProgramRun r = run();
  EXPECT_NE(r.out.find("Speichere Tabelle 'h'\nAbfrage der Tabellen-beschreibung: OK\n"
                       "Abfrage der Tabellen-Daten aus der DB: OK\n"),
            std::string::npos) << r.out;
  ASSERT_EQ(backups().size(), 2u);
  expectNewestRestores();
}

// Changes after which the update time the server reports is still the one
// the previous backup recorded. The incremental run must read such tables
// again, or its backup restores the old rows.
namespace {

const char kStaleDb[] = "vkt_incremental_stale";

// Gives table t the rows of table src through their tablespace files.
void importTablespaceOfSrc(ts::Connection& db) {
  const std::string dir = db.scalar("SELECT @@datadir") + "/" + kStaleDb + "/";
  db.exec("ALTER TABLE t DISCARD TABLESPACE; FLUSH TABLES src FOR EXPORT");
  EXPECT_EQ(ts::shell("cp '" + dir + "src.ibd' '" + dir + "t.ibd' && cp '" + dir +
                      "src.cfg' '" + dir + "t.cfg'"), 0);
  db.exec("UNLOCK TABLES; ALTER TABLE t IMPORT TABLESPACE");
}

// Backup users without the PROCESS privilege, and without LOCK TABLES.
const char kNoProcessUser[] = "vkt_noprocess";
const char kNoLockUser[] = "vkt_nolock";

std::string settingsAs(const std::string& user, const std::string& dir,
                       const std::string& switches,
                       const std::string& lastBackup = "") {
  std::string text = ts::settingsFor(kStaleDb, dir, lastBackup, switches);
  if (user.empty()) return text;
  const ts::ServerInfo& s = ts::server();
  size_t at = text.find("user=" + s.user + "\r\n");
  text.replace(at, 5 + s.user.size(), "user=" + user);
  return text;
}

}  // namespace

TEST(UpdateTimeStandsStill, ChangedTablesAreReadAgain) {
  // More tables than the server's smallest table definition cache (400).
  std::string manyTables;
  for (int i = 0; i < 400; ++i)
    manyTables += "CREATE TABLE m" + std::to_string(i) + " (id INT) ENGINE=MyISAM;";
  manyTables += "CREATE TABLE t (id INT) ENGINE=InnoDB;";
  struct Case {
    const char* what;
    const char* before;  // the tables as the full backup sees them
    const char* change;
    // Begun on a second connection in the second of `before`'s last write,
    // and committed only after the full backup.
    const char* openTransaction = "";
    std::function<void(ts::Connection&)> alter = nullptr;  // after `change`
    const char* firstSwitches = "1111";  // the full run's settings
    const char* user = "";               // "" for the test user
    const char* says = "";  // what the incremental run tells on the console
  } cases[] = {
      {"Aria keeps its update time for minutes",
       "CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(10)) ENGINE=Aria;"
       "INSERT INTO t VALUES (1,'alt');",
       "UPDATE t SET v = 'neu'; INSERT INTO t VALUES (2,'dazu');"},
      {"an InnoDB TRUNCATE moves no time",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB;"
       "INSERT INTO t VALUES (1),(2);",
       "TRUNCATE TABLE t;"},
      {"tables written in one transaction, then swapped by RENAME",
       "CREATE TABLE a (id INT) ENGINE=InnoDB; CREATE TABLE t (id INT) ENGINE=InnoDB;"
       "START TRANSACTION; INSERT INTO a VALUES (1); INSERT INTO t VALUES (2),(3);"
       "COMMIT;",
       "RENAME TABLE a TO tmp, t TO a, tmp TO t;"},
      {"a transaction open across the full backup, begun in the second of the "
       "last write",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB; INSERT INTO t VALUES (1);",
       "", "START TRANSACTION; INSERT INTO t VALUES (2);"},
      {"TRUNCATE PARTITION",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB PARTITION BY RANGE (id)"
       " (PARTITION p0 VALUES LESS THAN (10), PARTITION p1 VALUES LESS THAN MAXVALUE);"
       "INSERT INTO t VALUES (1),(2),(11);",
       "ALTER TABLE t TRUNCATE PARTITION p0;"},
      {"EXCHANGE PARTITION, both tables",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB PARTITION BY RANGE (id)"
       " (PARTITION p0 VALUES LESS THAN (10), PARTITION p1 VALUES LESS THAN MAXVALUE);"
       "CREATE TABLE x (id INT PRIMARY KEY) ENGINE=InnoDB;"
       "START TRANSACTION; INSERT INTO t VALUES (1),(2),(11); INSERT INTO x VALUES (5);"
       "COMMIT;",
       "ALTER TABLE t EXCHANGE PARTITION p0 WITH TABLE x;"},
      {"DISCARD and IMPORT TABLESPACE",
       "CREATE TABLE t (id INT PRIMARY KEY, v VARCHAR(10)) ENGINE=InnoDB;"
       "CREATE TABLE src LIKE t;"
       "START TRANSACTION; INSERT INTO t VALUES (1,'alt');"
       "INSERT INTO src VALUES (7,'fremd'),(8,'fremd'); COMMIT;",
       "", "", importTablespaceOfSrc},
      {"two MyISAM tables written in one second, then swapped by RENAME",
       "CREATE TABLE a (id INT) ENGINE=MyISAM; CREATE TABLE t (id INT) ENGINE=MyISAM;"
       "INSERT INTO a VALUES (1); INSERT INTO t VALUES (2),(3);",
       "RENAME TABLE a TO tmp, t TO a, tmp TO t;"},
      {"two MyISAM tables alike in rows and bytes, then swapped by RENAME",
       "CREATE TABLE a (id INT) ENGINE=MyISAM; CREATE TABLE t (id INT) ENGINE=MyISAM;"
       "INSERT INTO a VALUES (1); INSERT INTO t VALUES (2);",
       "RENAME TABLE a TO tmp, t TO a, tmp TO t;"},
      // A deleted row keeps its bytes: only the row count tells them apart.
      // The twin lives in another database, so the previous file holds one
      // of them only.
      {"two MyISAM tables of one data length and other row counts, swapped "
       "across databases",
       "CREATE DATABASE IF NOT EXISTS vkt_incremental_twin;"
       "CREATE OR REPLACE TABLE vkt_incremental_twin.t (id INT) ENGINE=MyISAM;"
       "CREATE TABLE a (id INT) ENGINE=MyISAM;"
       "INSERT INTO a VALUES (1),(2),(3); DELETE FROM a WHERE id = 3;"
       "INSERT INTO vkt_incremental_twin.t VALUES (4),(5),(6);",
       "RENAME TABLE a TO vkt_incremental_twin.tmp, vkt_incremental_twin.t TO a,"
       " vkt_incremental_twin.tmp TO vkt_incremental_twin.t;"},
      {"rows saved now, not by the full run",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB; INSERT INTO t VALUES (1);",
       "", "", nullptr, "1011", "",
       "Das alte Backup wurde mit anderen Einstellungen geschrieben "
       "(save-daten=0, jetzt 1)! Starte direktes Update.\n"},
      {"a backup user without PROCESS",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=InnoDB PARTITION BY RANGE (id)"
       " (PARTITION p0 VALUES LESS THAN (10), PARTITION p1 VALUES LESS THAN MAXVALUE);"
       "INSERT INTO t VALUES (1),(2),(11);",
       "ALTER TABLE t TRUNCATE PARTITION p0;", "", nullptr, "1111", kNoProcessUser,
       "GRANT PROCESS ON *.* TO 'vkt_noprocess'@'localhost';\n"},
      {"a table versioned by transaction id, whose past rows are not saved",
       "CREATE TABLE t (id INT PRIMARY KEY, v INT,"
       " s BIGINT UNSIGNED GENERATED ALWAYS AS ROW START INVISIBLE,"
       " e BIGINT UNSIGNED GENERATED ALWAYS AS ROW END INVISIBLE,"
       " PERIOD FOR SYSTEM_TIME (s, e)) ENGINE=InnoDB WITH SYSTEM VERSIONING;"
       "INSERT INTO t (id, v) VALUES (1,1); UPDATE t SET v = 2;",
       "UPDATE t SET v = 3;", "", nullptr, "1111", "",
       "\nHinweis: Die fr\xFCheren Zeilenversionen der Tabelle 't' (WITH SYSTEM "
       "VERSIONING) sind nicht im Backup.\n"},
      {"a backup user who may not lock",
       "CREATE TABLE t (id INT PRIMARY KEY) ENGINE=MyISAM; INSERT INTO t VALUES (1);",
       "INSERT INTO t VALUES (2);", "", nullptr, "1111", kNoLockUser,
       "OK\nHinweis: Die Tabellen ohne Transaktionen (MyISAM, Aria, ...) konnten "
       "nicht gesperrt werden und sind nicht aus einem Moment gelesen: Access "
       "denied for user 'vkt_nolock'@'localhost' to database "
       "'vkt_incremental_stale'\n"},
      {"an InnoDB table the server knows no update time of, in a database "
       "larger than the server's table definition cache",
       manyTables.c_str(), "", "", nullptr, "1111", "",
       "\nHinweis: 1 Tabellen werden neu gelesen, weil der Server ihre letzte "
       "\xC4nderungszeit nicht kennt.\nHinweis: Die Datenbank hat 401 Tabellen, "
       "der Server h\xE4lt aber nur die Definitionen von 400 im Speicher und "
       "vergisst die \xC4nderungszeiten der \xFC" "brigen. Erh\xF6hen Sie "
       "table_definition_cache auf mehr als 401.\n"},
  };
  {
    ts::Connection root;
    root.exec(std::string("CREATE OR REPLACE USER ") + kNoProcessUser +
              "@localhost IDENTIFIED BY '" + ts::server().password +
              "'; GRANT ALL ON " + kStaleDb + ".* TO " + kNoProcessUser +
              "@localhost; CREATE OR REPLACE USER " + kNoLockUser +
              "@localhost IDENTIFIED BY '" + ts::server().password +
              "'; GRANT SELECT, SHOW VIEW, TRIGGER, EVENT ON " + kStaleDb +
              ".* TO " + kNoLockUser + "@localhost; GRANT PROCESS ON *.* TO " +
              kNoLockUser + "@localhost");
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ts::recreateDatabase(kStaleDb);
    ts::Connection db(kStaleDb);
    ts::Connection other(kStaleDb);
    for (int attempt = 1;; ++attempt) {
      if (*c.openTransaction == '\0') {
        db.exec(c.before);
        break;
      }
      // Early in a second, so that the transaction begins in the same one.
      ts::waitForNextSecond();
      db.exec(c.before);
      other.exec(c.openTransaction);
      const std::string begun = db.scalar(
          "SELECT UNIX_TIMESTAMP(MAX(trx_started)) FROM information_schema.INNODB_TRX");
      const std::string written = db.scalar(
          "SELECT UNIX_TIMESTAMP(UPDATE_TIME) FROM information_schema.TABLES WHERE "
          "TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 't'");
      // The case needs the transaction begun in the second of the write;
      // on a slow machine the clock may turn between the two: again.
      if (begun == written || attempt == 5) {
        ASSERT_EQ(begun, written);
        break;
      }
      other.exec("ROLLBACK");
      ts::recreateDatabase(kStaleDb);
      db.exec(std::string("USE ") + kStaleDb);
      other.exec(std::string("USE ") + kStaleDb);
    }
    ts::waitForNextSecond();
    ts::TempDir dir;
    ts::writeFile(dir.path() + "/vkt.ini", settingsAs(c.user, dir.path(), c.firstSwitches));
    ts::ProgramRun full = ts::runProgram(dir.path(), "");
    if (*c.openTransaction != '\0') other.exec("COMMIT");
    if (*c.change != '\0') db.exec(c.change);
    if (c.alter) c.alter(db);
    ts::waitForNextSecond();
    std::string settings = ts::readFile(dir.path() + "/vkt.ini");
    ts::writeFile(dir.path() + "/vkt.ini",
                  settingsAs(c.user, dir.path(), "1111",
                             ts::settingValue(settings, "zeit-last-backup")));
    ts::ProgramRun incremental = ts::runProgram(dir.path(), "");
    // Every case runs, whichever fails.
    std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
    EXPECT_EQ(files.size(), 2u) << full.out << incremental.out;
    if (files.size() != 2u) continue;
    std::string errors;
    EXPECT_EQ(ts::restore(files.back(), "vkt_incremental_restore", &errors), 0)
        << errors;
    EXPECT_EQ(ts::checksums("vkt_incremental_restore"), ts::checksums(kStaleDb));
    EXPECT_EQ(ts::rowCounts("vkt_incremental_restore"), ts::rowCounts(kStaleDb));
    if (*c.says != '\0') {
      EXPECT_NE(incremental.out.find(c.says), std::string::npos) << incremental.out;
    }
    // Whatever else it says: the changed tables' rows come from the server.
    for (const char* table : {"t", "a"})
      EXPECT_EQ(sectionOf(incremental.out, table).find(kCopyingRows), std::string::npos)
          << table << "\n" << incremental.out;
  }
}

TEST_F(IncrementalTest, ChangedTriggerViewOrRoutineAloneMakesANewBackup) {
  ts::Connection c(kDb);
  // The procedure's text holds lines that look like a table block of a.
  c.exec("CREATE FUNCTION half(x INT) RETURNS INT DETERMINISTIC"
         " BEGIN DECLARE y INT; SET y = x DIV 2; RETURN y; END;"
         "CREATE PROCEDURE shout() BEGIN SELECT 'x\n# Tabelle ''a''\n"
         "INSERT INTO `a` VALUES (''9'',''x'');\n'; SELECT 2; END;"
         "CREATE TRIGGER a_bi BEFORE INSERT ON a FOR EACH ROW"
         " SET NEW.t = IFNULL(NEW.t, 'neu');"
         "CREATE EVENT tidy ON SCHEDULE EVERY 1 HOUR DO DELETE FROM c WHERE id < 0");
  ts::waitForNextSecond();
  run();
  ASSERT_EQ(backups().size(), 1u);
  ts::ProgramRun same = run();
  EXPECT_NE(same.out.find("Es gab keine \xC4nderungen"), std::string::npos) << same.out;
  ASSERT_EQ(backups().size(), 1u);

  const struct {
    const char* what;
    const char* change;
    const char* probe;  // must give the same in the restore as in the source
  } steps[] = {
      {"a trigger", "CREATE OR REPLACE TRIGGER a_bi BEFORE INSERT ON a FOR EACH ROW"
                    " SET NEW.t = IFNULL(NEW.t, 'anders')",
       "SELECT ACTION_STATEMENT FROM information_schema.TRIGGERS"
       " WHERE TRIGGER_SCHEMA = DATABASE()"},
      {"a view", "CREATE OR REPLACE VIEW v_a AS SELECT id, id + 1 AS next FROM a",
       "SELECT GROUP_CONCAT(COLUMN_NAME ORDER BY ORDINAL_POSITION) FROM"
       " information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() AND"
       " TABLE_NAME = 'v_a'"},
      {"a routine dropped", "DROP PROCEDURE shout",
       "SELECT GROUP_CONCAT(ROUTINE_NAME ORDER BY ROUTINE_NAME) FROM"
       " information_schema.ROUTINES WHERE ROUTINE_SCHEMA = DATABASE()"},
  };
  size_t files = 1;
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    c.exec(step.change);
    ts::ProgramRun r = run();
    EXPECT_NE(r.out.find("Seit dem letzten Backup wurden 1 Tabellen ge\xE4ndert."),
              std::string::npos) << r.out;
    // The rows still come out of the previous file.
    EXPECT_NE(r.out.find("Speichere Tabelle 'a'\nAbfrage der Tabellen-beschreibung: OK\n"
                         "Kopiere die Daten aus dem alten Backup heraus.\n"
                         "3 Datens\xE4tze gespeichert.\n"),
              std::string::npos) << r.out;
    ASSERT_EQ(backups().size(), ++files);
    expectNewestRestores();
    EXPECT_EQ(ts::Connection("vkt_incremental_restore").scalar(step.probe),
              c.scalar(step.probe));
  }
}

// Every pair of plain and compressed previous and new files: the rows of
// unchanged tables are copied (into a compressed file as their frames, out
// of a compressed one decompressed), and the new file restores. So do they
// out of a file that the zstd tool compressed as one frame, of unknown size
// or of a size known and larger than a frame of ours (decompressed first).
TEST_F(IncrementalTest, PlainAndCompressedFilesFollowEachOther) {
  const struct {
    bool fromCompressed, toCompressed, byZstdTool, sizeKnown;
  } pairs[] = {{false, false, false, false}, {false, true, false, false},
               {true, true, false, false},   {true, false, false, false},
               {true, true, true, false},    {true, false, true, true}};
  const std::string settings = ts::readFile(dir_.path() + "/vkt.ini");
  const char* kZstd = "kompression=zstd\r\n";
  // Rows of b over several frames: a compressed file's frames of b's rows,
  // which are not read again once b changed, are passed over, and the
  // sections after them still found.
  ts::Connection big(kDb);
  for (int id = 100; id < 250; ++id)
    big.exec("INSERT INTO b VALUES (" + std::to_string(id) + ", REPEAT('x', 60000))");
  ts::waitForNextSecond();
  for (const auto& pair : pairs) {
    SCOPED_TRACE(std::string(pair.fromCompressed ? "compressed" : "plain") +
                 (pair.byZstdTool ? " by the zstd tool" : "") +
                 (pair.sizeKnown ? " from a file" : "") + " to " +
                 (pair.toCompressed ? "compressed" : "plain"));
    ts::TempDir dir;
    const bool written = pair.fromCompressed && !pair.byZstdTool;
    ts::writeFile(dir.path() + "/vkt.ini",
                  ts::settingsFor(kDb, dir.path()) + (written ? kZstd : ""));
    ASSERT_EQ(ts::runProgram(dir.path(), "").status, 0);
    if (pair.byZstdTool) {
      const std::vector<std::string> plain = ts::listFiles(dir.path(), ".sql");
      ASSERT_EQ(plain.size(), 1u);
      // From a file, the tool writes the frame's size into its header.
      const std::string command =
          pair.sizeKnown ? "zstd -q --rm '" + plain[0] + "'"
                         : "zstd -q -c <'" + plain[0] + "' >'" + plain[0] + ".zst' && rm '" +
                               plain[0] + "'";
      ASSERT_EQ(ts::shell(command), 0);
    }
    ts::Connection(kDb).exec("INSERT INTO b VALUES (10, 'neu')");
    ts::waitForNextSecond();
    std::string ini = ts::readFile(dir.path() + "/vkt.ini");
    if (pair.toCompressed != written)
      ini = pair.toCompressed ? ini + kZstd
                              : ini.replace(ini.find(kZstd), std::strlen(kZstd), "");
    ts::writeFile(dir.path() + "/vkt.ini", ini);
    ts::ProgramRun r = ts::runProgram(dir.path(), "");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("Speichere Tabelle 'c'\nAbfrage der Tabellen-beschreibung: OK\n"
                         "Kopiere die Daten aus dem alten Backup heraus.\n"
                         "2 Datens\xE4tze gespeichert.\n"),
              std::string::npos) << r.out;
    std::vector<std::string> files = ts::listFiles(dir.path(), ".zst");
    for (const std::string& plain : ts::listFiles(dir.path(), ".sql")) files.push_back(plain);
    ASSERT_EQ(files.size(), 2u);
    std::sort(files.begin(), files.end());
    const std::string newest = files.back();
    EXPECT_EQ(newest.size() > 4 && newest.compare(newest.size() - 4, 4, ".zst") == 0,
              pair.toCompressed);
    // Frames copied as they are are listed in the seek table as well.
    if (pair.toCompressed) {
      EXPECT_FALSE(ts::seekTable(newest).empty());
    }
    std::string errors;
    ASSERT_EQ(ts::restore(newest, "vkt_incremental_restore", &errors), 0) << errors;
    EXPECT_EQ(ts::checksums("vkt_incremental_restore"), ts::checksums(kDb));
    EXPECT_EQ(ts::rowCounts("vkt_incremental_restore"), ts::rowCounts(kDb));
    ts::Connection(kDb).exec("DELETE FROM b WHERE id = 10");
    ts::waitForNextSecond();
  }
  big.exec("DELETE FROM b WHERE id >= 100");
}

// A compressed previous file with a damaged frame, or cut inside one: the
// table whose rows it held is read from the server again.
TEST_F(IncrementalTest, DamagedOrCutFrameMakesItsTableReadAgain) {
  ts::writeFile(dir_.path() + "/vkt.ini",
                ts::settingsFor(kDb, dir_.path()) + "kompression=zstd\r\n");
  run();
  std::vector<std::string> files = ts::listFiles(dir_.path(), ".sql.zst");
  ASSERT_EQ(files.size(), 1u);
  const std::string previous = files[0];
  const std::string packed = ts::readFile(previous);
  const std::string plain = ts::plainBytes(previous);
  ts::FrameSpan rowsOfA{};
  for (const ts::FrameSpan& frame : ts::seekTable(previous))
    if (plain.compare(frame.plainBegin, 15, "INSERT INTO `a`") == 0) rowsOfA = frame;
  ASSERT_GT(rowsOfA.packedSize, 8u);
  ts::Connection(kDb).exec("INSERT INTO b VALUES (4, 'vier')");
  ts::waitForNextSecond();
  const std::string settings = ts::readFile(dir_.path() + "/vkt.ini");
  std::string damaged = packed;
  damaged[rowsOfA.packedBegin + rowsOfA.packedSize - 2] ^= 0x55;  // its checksum
  // A row's value, stored as it is in the frame: changed, the frame still
  // decompresses, and only its checksum tells.
  std::string changed = packed;
  const std::size_t literal = packed.find("eins", rowsOfA.packedBegin);
  ASSERT_LT(literal, rowsOfA.packedBegin + rowsOfA.packedSize);
  changed[literal] = 'f';
  const struct {
    const char* what;
    std::string content;
  } cases[] = {
      {"a damaged frame", damaged},
      {"a row's value changed inside the frame", changed},
      {"cut inside the frame", packed.substr(0, rowsOfA.packedBegin + rowsOfA.packedSize / 2)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ts::writeFile(previous, c.content);
    ts::writeFile(dir_.path() + "/vkt.ini", settings);
    ts::ProgramRun r = run();
    EXPECT_NE(r.out.find("Speichere Tabelle 'a'\nAbfrage der Tabellen-beschreibung: OK\n"
                         "Abfrage der Tabellen-Daten aus der DB: OK\n"),
              std::string::npos) << r.out;
    files = ts::listFiles(dir_.path(), ".sql.zst");
    ASSERT_EQ(files.size(), 2u);
    expectNewestRestores();
    std::remove(files.back().c_str());
  }
}

// A previous file that another tool compressed is decompressed beside it
// only while that takes at most half the space free there, which leaves
// the new backup room. A larger one is no base: the run says so, reads
// every table and restores.
TEST_F(IncrementalTest, PreviousTooLargeToDecompressIsNoBase) {
  ts::TempDir dir;
  const std::string save = dir.path() + "/save";
  ASSERT_EQ(ts::shell("mkdir '" + save + "'"), 0);
  if (ts::shell("mount -t tmpfs -o size=24m tmpfs '" + save + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "cannot mount a tmpfs here";
  struct Unmount {
    std::string dir;
    ~Unmount() { ts::shell("umount '" + dir + "' 2>/dev/null"); }
  } unmount{save};
  // About 15 MB of rows: more than half of the 24 MB, well within them.
  ts::Connection c(kDb);
  for (int id = 100; id < 350; ++id)
    c.exec("INSERT INTO b VALUES (" + std::to_string(id) + ", REPEAT('x', 60000))");
  ts::waitForNextSecond();
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kDb, save));
  ASSERT_EQ(ts::runProgram(dir.path(), "").status, 0);
  const std::vector<std::string> plain = ts::listFiles(save, ".sql");
  ASSERT_EQ(plain.size(), 1u);
  ASSERT_EQ(ts::shell("zstd -q --rm '" + plain[0] + "'"), 0);
  c.exec("INSERT INTO a VALUES (4, 'vier')");
  ts::waitForNextSecond();
  ts::writeFile(dir.path() + "/vkt.ini",
                ts::readFile(dir.path() + "/vkt.ini") + "kompression=zstd\r\n");
  const ts::ProgramRun r = ts::runProgram(dir.path(), "");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_NE(r.out.find("Fehler: Entpackt br\xE4uchte " + plain[0] +
                       ".zst mehr als die H\xE4lfte des freien Platzes. Es dient "
                       "nicht als Grundlage.\n"
                       "Konnte kein altes Backup laden! Starte direktes Update.\n"),
            std::string::npos)
      << r.out;
  EXPECT_EQ(r.out.find("Kopiere die Daten aus dem alten Backup heraus."), std::string::npos)
      << r.out;
  const std::vector<std::string> files = ts::listFiles(save, ".sql.zst");
  ASSERT_EQ(files.size(), 2u);
  std::string errors;
  ASSERT_EQ(ts::restore(files.back(), "vkt_incremental_restore", &errors), 0) << errors;
  EXPECT_EQ(ts::checksums("vkt_incremental_restore"), ts::checksums(kDb));
  c.exec("DELETE FROM b WHERE id >= 100; DELETE FROM a WHERE id = 4");
}
