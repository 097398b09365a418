// The program's own loader (--einspielen) on files and targets it must
// refuse, on a database that holds other tables, and on a row the server
// refuses. Every file the other tests restore with the stock client is
// loaded and compared as well (testing_support::restore).
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

const char kSource[] = "vkt_load_source";
const char kTarget[] = "vkt_load_target";

// Two tables of two engines and a trigger that would write to the second
// if it fired on the first's restored rows.
void createSource() {
  ts::recreateDatabase(kSource);
  ts::Connection(kSource).exec(
      "CREATE TABLE a (id INT PRIMARY KEY, v VARCHAR(20), KEY v (v)) ENGINE=InnoDB;"
      "INSERT INTO a VALUES (1,'eins'),(2,'zwei'),(3,NULL);"
      "CREATE TABLE b (id INT AUTO_INCREMENT PRIMARY KEY, note TEXT) ENGINE=MyISAM;"
      "INSERT INTO b (note) VALUES ('x');"
      "CREATE TRIGGER a_added AFTER INSERT ON a FOR EACH ROW"
      " INSERT INTO b (note) VALUES (NEW.v)");
}

// A full backup of the source in `dir`: the file's name.
std::string backUpSource(const ts::TempDir& dir) {
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kSource, dir.path()));
  const ts::ProgramRun run = ts::runProgram(dir.path(), "");
  EXPECT_EQ(run.status, 0) << run.out;
  const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  return files.empty() ? "" : files.back();
}

struct Loaded {
  int status = -1;
  std::string out;
};

// Runs --einspielen in `dir` (whose vkt.ini names the test server) into
// kTarget; `input`, when given, is piped in.
Loaded loadInto(const ts::TempDir& dir, const std::string& file,
                const std::string& options = "", const std::string& input = "") {
  Loaded loaded;
  const std::string program = std::string(VKT_BINARY) + " --einspielen " +
                              ts::quoteShell(file) + " --datenbank " + kTarget + " " + options;
  loaded.status = ts::shell("cd " + ts::quoteShell(dir.path()) + " && " +
                                (input.empty() ? program + " </dev/null"
                                               : "cat " + ts::quoteShell(input) + " | " + program) +
                                " 2>&1",
                            &loaded.out);
  return loaded;
}

std::vector<std::string> targetTables() {
  return ts::Connection().column(
      std::string("SELECT TABLE_NAME FROM information_schema.TABLES WHERE TABLE_SCHEMA = '") +
      kTarget + "' ORDER BY 1");
}

void dropTarget() { ts::Connection().exec(std::string("DROP DATABASE IF EXISTS ") + kTarget); }

}  // namespace

// A file that fails the check, and a target that holds tables, are refused
// before anything is sent: the target is as it was.
TEST(Load, RefusedFilesAndTargetsChangeNothing) {
  createSource();
  ts::TempDir dir;
  const std::string file = backUpSource(dir);
  ASSERT_FALSE(file.empty());
  const std::string text = ts::readFile(file);
  const std::string row = "INSERT INTO `a` VALUES ('1','eins');\r\n";
  ASSERT_NE(text.find(row), std::string::npos) << text;
  const struct {
    const char* name;
    std::string fileText;
    const char* targetSql;  // "" for no target database
    const char* said;
    std::vector<std::string> tablesAfter;
  } cases[] = {
      {"a row line cut short", [&] {
         std::string damaged = text;
         damaged.replace(damaged.find(row), row.size(), "INSERT INTO `a` VALUES ('1','ei\r\n");
         return damaged;
       }(),
       "", "Die Datei besteht die Pr\xFC" "fung nicht", {}},
      {"the closing lines missing", text.substr(0, text.find("COMMIT;\r\n# Einstellungen")), "",
       "Die Datei besteht die Pr\xFC" "fung nicht", {}},
      {"a target with a table", text, "CREATE TABLE keep (id INT)",
       "' ist nicht leer. Abbruch, nichts wurde ge\xE4ndert", {"keep"}},
      {"a target with a view", text, "CREATE VIEW a AS SELECT 1 AS one",
       "' ist nicht leer. Abbruch, nichts wurde ge\xE4ndert", {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    dropTarget();
    if (*c.targetSql != '\0') {
      ts::recreateDatabase(kTarget);
      ts::Connection(kTarget).exec(c.targetSql);
    }
    const std::string edited = dir.path() + "/edited.sql";
    ts::writeFile(edited, c.fileText);
    const Loaded loaded = loadInto(dir, edited);
    EXPECT_EQ(loaded.status, 1) << loaded.out;
    EXPECT_NE(loaded.out.find(c.said), std::string::npos) << loaded.out;
    EXPECT_EQ(targetTables(), c.tablesAfter);
    EXPECT_EQ(ts::Connection().scalar(std::string("SELECT COUNT(*) FROM "
                                                  "information_schema.SCHEMATA WHERE "
                                                  "SCHEMA_NAME = '") + kTarget + "'"),
              *c.targetSql != '\0' ? "1" : "0");
  }
}

// --ersetzen replaces what the file holds and keeps the rest; the file may
// come on standard input.
TEST(Load, ReplacingFromStandardInputKeepsWhatTheFileDoesNotHold) {
  createSource();
  ts::TempDir dir;
  const std::string file = backUpSource(dir);
  ASSERT_FALSE(file.empty());
  ts::recreateDatabase(kTarget);
  ts::Connection(kTarget).exec("CREATE TABLE keep (id INT); INSERT INTO keep VALUES (7);"
                               "CREATE TABLE a (other INT); INSERT INTO a VALUES (1),(2)");
  const Loaded loaded = loadInto(dir, "-", "--ersetzen", file);
  EXPECT_EQ(loaded.status, 0) << loaded.out;
  EXPECT_NE(loaded.out.find("' ist nicht leer: Was die Datei enth\xE4lt, wird ersetzt"),
            std::string::npos)
      << loaded.out;
  EXPECT_EQ(targetTables(), (std::vector<std::string>{"a", "b", "keep"}));
  std::map<std::string, std::string> sums = ts::checksums(kTarget);
  const std::string kept = sums["keep"];
  sums.erase("keep");
  EXPECT_EQ(sums, ts::checksums(kSource));
  EXPECT_EQ(ts::Connection(kTarget).scalar("SELECT GROUP_CONCAT(id) FROM keep"), "7");
  EXPECT_EQ(ts::Connection(kTarget).scalar("SELECT COUNT(*) FROM information_schema.TRIGGERS"
                                           " WHERE TRIGGER_SCHEMA = DATABASE()"),
            "1");
}

// A row the server refuses stops the load: the error names the table, the
// file's line and the server's message, the tables not loaded are told
// incomplete, and no trigger is made.
TEST(Load, FirstErrorNamesTableLineAndServerMessage) {
  createSource();
  ts::TempDir dir;
  const std::string file = backUpSource(dir);
  ASSERT_FALSE(file.empty());
  std::string text = ts::readFile(file);
  const std::string row = "INSERT INTO `a` VALUES ('2','zwei');\r\n";
  const std::size_t at = text.find(row);
  ASSERT_NE(at, std::string::npos) << text;
  text.insert(at + row.size(), row);
  std::size_t line = 2;  // of the copy
  for (std::size_t i = 0; i < at; ++i) line += text[i] == '\n';
  const std::string twice = dir.path() + "/twice.sql";
  ts::writeFile(twice, text);
  dropTarget();
  // One connection, largest table first: b is never begun.
  const Loaded loaded = loadInto(dir, twice, "--verbindungen 1");
  EXPECT_EQ(loaded.status, 1) << loaded.out;
  EXPECT_NE(loaded.out.find("Fehler bei 'a', Zeile " + std::to_string(line) +
                            " der Datei: Duplicate entry '2' for key 'PRIMARY'\n"),
            std::string::npos)
      << loaded.out;
  EXPECT_NE(loaded.out.find("  unvollst\xE4ndig: Tabelle 'a'\n"), std::string::npos)
      << loaded.out;
  EXPECT_NE(loaded.out.find("  unvollst\xE4ndig: Tabelle 'b'\n"), std::string::npos)
      << loaded.out;
  EXPECT_NE(loaded.out.find("Einspielen abgebrochen: 0 von 2 Tabellen vollst\xE4ndig."),
            std::string::npos)
      << loaded.out;
  EXPECT_EQ(ts::Connection().scalar(std::string("SELECT COUNT(*) FROM information_schema."
                                                "TRIGGERS WHERE TRIGGER_SCHEMA = '") +
                                    kTarget + "'"),
            "0");
}

// Plain keys held back until the rows are in come back as they were, in
// their order, beside the keys and constraints that are never held back.
TEST(Load, KeysHeldBackComeBackAsTheyWere) {
  ts::recreateDatabase(kSource);
  ts::Connection(kSource).exec(
      "CREATE TABLE i (id INT PRIMARY KEY, a INT, b VARCHAR(20), c TEXT,"
      " KEY k1 (a), UNIQUE KEY u (b), KEY k2 (c(10)) COMMENT 'x,y', KEY k3 (a, b) USING BTREE)"
      " ENGINE=InnoDB;"
      "INSERT INTO i SELECT seq, seq % 7, CONCAT('b', seq), REPEAT('c', seq) FROM seq_1_to_50;"
      "CREATE TABLE m (id INT, v VARCHAR(10), KEY v (v), UNIQUE KEY id (id)) ENGINE=MyISAM;"
      "INSERT INTO m SELECT seq, seq % 3 FROM seq_1_to_20;"
      "CREATE TABLE r (id INT PRIMARY KEY, v INT, KEY v (v)) ENGINE=Aria;"
      "INSERT INTO r SELECT seq, seq % 2 FROM seq_1_to_20;"
      "CREATE TABLE f (id INT PRIMARY KEY, i_id INT, KEY i_id (i_id),"
      " CONSTRAINT f_i FOREIGN KEY (i_id) REFERENCES i (id)) ENGINE=InnoDB;"
      "INSERT INTO f VALUES (1, 1), (2, 2);"
      "CREATE TABLE t (id INT PRIMARY KEY, body TEXT, KEY id_body (id, body(5)),"
      " FULLTEXT KEY body (body)) ENGINE=InnoDB;"
      "INSERT INTO t VALUES (1, 'eins zwei'), (2, 'drei');");
  ts::TempDir dir;
  const std::string file = backUpSource(dir);
  ASSERT_FALSE(file.empty());
  dropTarget();
  const Loaded loaded = loadInto(dir, file);
  EXPECT_EQ(loaded.status, 0) << loaded.out;
  EXPECT_EQ(ts::definitions(kTarget), ts::definitions(kSource));
  EXPECT_EQ(ts::checksums(kTarget), ts::checksums(kSource));
}

// On a terminal the progress line counts the rows' MiB against their total,
// which is no more than the file holds, and goes before the summary.
TEST(Load, ProgressLineCountsTheFilesRows) {
  ts::recreateDatabase(kSource);
  ts::Connection(kSource).exec(
      "CREATE TABLE p (id INT PRIMARY KEY, pad CHAR(100)) ENGINE=InnoDB;"
      "INSERT INTO p SELECT seq, REPEAT('p', 100) FROM seq_1_to_250000");
  ts::TempDir dir;
  const std::string file = backUpSource(dir);
  ASSERT_FALSE(file.empty());
  const long fileMiB = static_cast<long>(ts::readFile(file).size() >> 20);
  dropTarget();
  std::string out;
  ASSERT_EQ(ts::shell("cd " + ts::quoteShell(dir.path()) + " && script -qec " +
                          ts::quoteShell(std::string(VKT_BINARY) + " --einspielen " + file +
                                         " --datenbank " + kTarget) +
                          " /dev/null </dev/null",
                      &out),
            0)
      << out;
  int lines = 0;
  for (std::size_t at = 0; (at = out.find("Einspielen: ", at)) != std::string::npos; ++at) {
    long done = -1, total = -1;
    ASSERT_EQ(std::sscanf(out.c_str() + at, "Einspielen: %ld von %ld MiB", &done, &total), 2);
    EXPECT_LE(done, total);
    EXPECT_LE(total, fileMiB);
    ++lines;
  }
  EXPECT_GT(lines, 0) << out;
  EXPECT_LT(out.rfind("Einspielen: "), out.find("Eingespielt: ")) << out;
}
