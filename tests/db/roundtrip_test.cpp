// Full backups restored with the stock client, compared with what the
// same restore of mariadb-dump's output gives; and the exact bytes of the
// file on a small known database.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "backup/backup_file.h"
#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

// UTF-8 pieces, kept as escapes so the source stays ASCII.
const std::string kAe = "\xC3\xA4";
const std::string kOe = "\xC3\xB6";
const std::string kUe = "\xC3\xBC";
const std::string kSz = "\xC3\x9F";
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600
const std::string kClef = "\xF0\x9D\x84\x9E";   // U+1D11E

std::string allBytesHex(bool reversed) {
  std::string hex;
  char buffer[3];
  for (int i = 0; i < 256; ++i) {
    std::snprintf(buffer, sizeof buffer, "%02X", reversed ? 255 - i : i);
    hex += buffer;
  }
  return hex;
}

std::string corpusSql() {
  std::string sql;
  sql += R"(
CREATE TABLE ints (
  id INT NOT NULL PRIMARY KEY,
  ti TINYINT, tu TINYINT UNSIGNED, si SMALLINT, su SMALLINT UNSIGNED,
  mi MEDIUMINT, mu MEDIUMINT UNSIGNED, i INT, iu INT UNSIGNED,
  bi BIGINT, bu BIGINT UNSIGNED) ENGINE=InnoDB;
INSERT INTO ints VALUES
  (1,-128,0,-32768,0,-8388608,0,-2147483648,0,-9223372036854775808,0),
  (2,127,255,32767,65535,8388607,16777215,2147483647,4294967295,
   9223372036854775807,18446744073709551615),
  (3,0,NULL,-1,1,NULL,NULL,NULL,NULL,-1,NULL);

CREATE TABLE nums (
  id INT NOT NULL PRIMARY KEY,
  big DECIMAL(65,30), money DECIMAL(10,2) UNSIGNED, f FLOAT, d DOUBLE);
INSERT INTO nums VALUES
  (1,12345678901234567890123456789012345.123456789012345678901234567890,
   99999999.99,3.1415927,2.718281828459045),
  (2,-0.000000000000000000000000000001,0.00,-3.40282e38,1.7976931348623157e308),
  (3,0,NULL,1.17549e-38,-2.2250738585072014e-308),
  (4,NULL,0.01,0,1e-300);

CREATE TABLE times (
  id INT NOT NULL PRIMARY KEY, d DATE, t TIME, t6 TIME(6), dt DATETIME(6),
  ts TIMESTAMP(3) NULL DEFAULT NULL, y YEAR);
SET @zone = @@time_zone;
SET time_zone = '+00:00';
INSERT INTO times VALUES
  (1,'1000-01-01','-838:59:59','-00:00:00.000001','1000-01-01 00:00:00',
   '1970-01-01 00:00:01.000',1901),
  (2,'9999-12-31','838:59:59','12:34:56.789012','9999-12-31 23:59:59.999999',
   '2038-01-19 03:14:07.999',2155),
  (3,'0000-00-00','00:00:00','00:00:00','0000-00-00 00:00:00',
   '2026-10-25 00:30:00.000',0),
  (4,'2026-03-29',NULL,NULL,'2026-03-29 02:30:00.5',
   '2026-10-25 01:30:00.000',NULL);
SET time_zone = @zone;

CREATE TABLE texts (
  id INT NOT NULL PRIMARY KEY, c CHAR(20), v VARCHAR(200), tx TEXT,
  l1 VARCHAR(50) CHARACTER SET latin1);
)";
  sql += "INSERT INTO texts VALUES (1,'" + kAe + kOe + kUe + kSz + "','Gr" +
         kUe + kSz + "e " + kEmoji + "','clef " + kClef + " and " + kEmoji +
         "','K" + kOe + "ln " + kAe + "');\n";
  sql += R"(
INSERT INTO texts VALUES
  (2,'','','',''),
  (3,NULL,NULL,NULL,NULL),
  (4,'a\\b','back\\slash\\','ends with a backslash\\','\\'),
  (5,'it''s','say "hi"','''"','O''Neill'),
  (6,'cr\rhere','lf\nhere','crlf\r\nboth','z\Zz'),
  (7,'nul\0x','\Z','tab\there','\\%_'),
  (8,'\r','\n','\r\n\r\n','\\n');

CREATE TABLE bins (
  id INT NOT NULL PRIMARY KEY, b BINARY(4), vb VARBINARY(300), bl BLOB,
  lb LONGBLOB);
)";
  sql += "INSERT INTO bins VALUES (1,X'00FF0A0D',X'" + allBytesHex(false) +
         "',X'" + allBytesHex(false) + "',X'" + allBytesHex(true) + "');\n";
  sql += R"(
INSERT INTO bins VALUES
  (2,X'00000000',X'',X'',NULL),
  (3,NULL,X'5C',X'27',X'1A'),
  (4,X'5C5C5C5C',X'00',X'0D',X'5C00');

)";
  // A row long enough to be written value piece by value piece, every
  // byte value on both sides of each piece's end.
  sql += "INSERT INTO bins VALUES (5,NULL,NULL,NULL,REPEAT(X'" + allBytesHex(false) +
         "', 12289));\n";
  // Long values with a single byte to escape, first or last in a block of
  // sixteen or after several of them.
  int id = 10;
  for (const char* special : {"00", "0A", "0D", "5C", "27", "22", "1A"})
    for (int before : {0, 15, 16, 47})
      sql += "INSERT INTO bins VALUES (" + std::to_string(id++) +
             ",NULL,CONCAT(REPEAT('a'," + std::to_string(before) + "),X'" +
             special + "',REPEAT('b',20)),NULL,NULL);\n";
  // Values that a statement of several rows cannot hold two of, and one
  // that alone is larger than such a statement may be.
  sql += "INSERT INTO bins VALUES (100,NULL,NULL,NULL,REPEAT('p',600000)),"
         "(101,NULL,NULL,NULL,REPEAT('q',600000)),"
         "(102,NULL,NULL,NULL,REPEAT('r',1500000)),(103,NULL,X'00',NULL,NULL);\n";
  sql += "CREATE TABLE misc (id INT NOT NULL PRIMARY KEY, e ENUM('a','b c','gr" +
         kUe + "n'), s SET('x','y','z'), bt BIT(10), b1 BIT(1), b64 BIT(64),"
         " j JSON);\n";
  sql += "INSERT INTO misc VALUES (1,'gr" + kUe + "n','x,z',b'1111111111',b'1',"
         "18446744073709551615,'{\"k\": \"v\\\\\"" + kAe +
         "\", \"n\": [1, null, 2.5e3]}');\n";
  sql += R"(
INSERT INTO misc VALUES
  (2,'b c','',b'0',b'0',0,'[]'),
  (3,NULL,NULL,NULL,NULL,NULL,NULL),
  (4,'a','x,y,z',b'1000001010',b'0',b'1000000000000000000000000000000000000000000000000000000000001010','"\\n"');

CREATE TABLE empty_table (id INT NOT NULL PRIMARY KEY, x VARCHAR(10));

-- Tables without transactions are read first, apart from the others; a
-- row over 1 MiB is written value piece by value piece.
CREATE TABLE m_long (id INT NOT NULL PRIMARY KEY, v LONGTEXT) ENGINE=MyISAM;
INSERT INTO m_long VALUES (1,REPEAT('a',1100000)),(2,'short');
CREATE TABLE n_long (id INT NOT NULL PRIMARY KEY, v LONGBLOB) ENGINE=Aria;
INSERT INTO n_long VALUES (1,'x'),(2,REPEAT(X'5C270A',400000)),(3,NULL);

CREATE TABLE `with blank` (id INT NOT NULL PRIMARY KEY, `col with blank` VARCHAR(10));
INSERT INTO `with blank` VALUES (1,'a'),(2,NULL);
CREATE TABLE `tick``tab` (id INT NOT NULL PRIMARY KEY, `quo``te` VARCHAR(10));
INSERT INTO `tick``tab` VALUES (1,'x'),(2,'y`');
CREATE TABLE `select` (`from` INT NOT NULL PRIMARY KEY, `where` VARCHAR(10));
INSERT INTO `select` VALUES (1,'w'),(2,'order');

CREATE TABLE b_parent (id INT NOT NULL PRIMARY KEY, name VARCHAR(10)) ENGINE=InnoDB;
CREATE TABLE a_child (
  id INT NOT NULL PRIMARY KEY, parent_id INT NOT NULL,
  CONSTRAINT fk_parent FOREIGN KEY (parent_id) REFERENCES b_parent (id))
  ENGINE=InnoDB;
INSERT INTO b_parent VALUES (1,'p'),(2,'q');
INSERT INTO a_child VALUES (10,1),(11,2),(12,1);

CREATE TABLE autoinc (id INT NOT NULL AUTO_INCREMENT PRIMARY KEY, v VARCHAR(10));
SET @mode = @@sql_mode;
SET sql_mode = CONCAT(@@sql_mode, ',NO_AUTO_VALUE_ON_ZERO');
INSERT INTO autoinc VALUES (0,'zero'),(1,'one'),(5,'five');
SET sql_mode = @mode;

CREATE TABLE gen (
  id INT NOT NULL PRIMARY KEY, a INT,
  twice INT AS (a * 2) VIRTUAL,
  label VARCHAR(20) AS (CONCAT('s', a)) STORED, KEY (label));
INSERT INTO gen (id, a) VALUES (1,5),(2,NULL),(3,-7);

CREATE TABLE hidden (
  id INT NOT NULL PRIMARY KEY, shown VARCHAR(10), secret VARCHAR(10) INVISIBLE);
INSERT INTO hidden (id, shown, secret) VALUES (1,'a','s1'),(2,NULL,'s2'),(3,'c',NULL);

CREATE VIEW v_b_inner AS SELECT id, v FROM texts WHERE id < 6;
CREATE VIEW v_a_outer AS SELECT id FROM v_b_inner WHERE id > 1;
-- Names that only look like reads: a column alias and a column named as
-- the view that reads from this one.
CREATE VIEW w_b_named AS SELECT id AS w_a_reader, 'w_a_reader' AS `select` FROM texts;
CREATE VIEW w_a_reader AS SELECT w.w_a_reader AS w_b_named FROM w_b_named w;
)";
  return sql;
}

const char kCorpus[] = "vkt_rt_corpus";
const std::string kClientCharset = "/*!\\C utf8mb4 */";
const std::string kPreamble =
    "/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */;"
    " /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;"
    " /*!40103 SET TIME_ZONE='+00:00' */; /*!40014 SET autocommit=0 */;";
const std::string kClosing = "COMMIT;\r\n";
const char kToolRestore[] = "vkt_rt_tool";
const char kPeerRestore[] = "vkt_rt_peer";

std::string quoteShell(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

// Runs the program once in a fresh work dir; returns the one backup file
// it wrote (empty when none) and its console output.
struct Backup {
  std::string file;
  std::string out;
  std::string ini;
};

// `rowsPerInsert`, when not empty, is written as zeilen-je-insert.
Backup backUp(const ts::TempDir& dir, const std::string& database,
              const std::string& switches, const std::string& rowsPerInsert = "",
              bool compressed = false) {
  std::string settings = ts::settingsFor(database, dir.path(), "", switches);
  if (!rowsPerInsert.empty())
    settings.insert(settings.size() - 2, "zeilen-je-insert=" + rowsPerInsert + "\r\n");
  if (compressed) settings += "kompression=zstd\r\n";
  ts::writeFile(dir.path() + "/vkt.ini", settings);
  ts::ProgramRun run = ts::runProgram(dir.path(), "");
  EXPECT_EQ(run.status, 0);
  Backup backup;
  backup.out = run.out;
  backup.ini = ts::readFile(dir.path() + "/vkt.ini");
  std::vector<std::string> files =
      ts::listFiles(dir.path(), compressed ? ".sql.zst" : ".sql");
  EXPECT_EQ(files.size(), 1u) << run.out;
  if (!files.empty()) backup.file = files.back();
  return backup;
}

std::vector<std::string> splitCrLf(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos;
       start = end + 2)
    lines.push_back(text.substr(start, end - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

class RoundTrip : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ts::recreateDatabase(kCorpus);
    ts::Connection c(kCorpus);
    c.exec(corpusSql());
    // The peer's restore, made once for every test here.
    ts::TempDir dir;
    const ts::ServerInfo& s = ts::server();
    std::string dump = dir.path() + "/peer.sql";
    ASSERT_EQ(ts::shell("mariadb-dump --no-defaults -S " + quoteShell(s.socket) +
                        " -u " + quoteShell(s.user) + " -p" +
                        quoteShell(s.password) +
                        " --skip-extended-insert --routines=false " + kCorpus +
                        " > " + quoteShell(dump)),
              0);
    std::string errors;
    ASSERT_EQ(ts::restore(dump, kPeerRestore, &errors), 0) << errors;
    peerSums_ = new std::map<std::string, std::string>(ts::checksums(kPeerRestore));
    sourceSums_ = new std::map<std::string, std::string>(ts::checksums(kCorpus));
  }
  static void TearDownTestSuite() {
    delete peerSums_;
    delete sourceSums_;
  }

  // Restores `file` and holds it against the peer's restore and the source.
  void expectRestoresLikePeer(const std::string& file) {
    std::string errors;
    ASSERT_EQ(ts::restore(file, kToolRestore, &errors), 0) << errors;
    EXPECT_EQ(errors, "");
    std::map<std::string, std::string> sums = ts::checksums(kToolRestore);
    ASSERT_EQ(sums.size(), peerSums_->size());
    ASSERT_EQ(sums.size(), 17u);
    for (const auto& [table, sum] : *peerSums_) {
      EXPECT_EQ(sums[table], sum) << "table " << table;
      // Where the peer keeps the source's values, so must we.
      if (sourceSums_->at(table) == sum) {
        EXPECT_EQ(sums[table], sourceSums_->at(table)) << "table " << table;
      }
    }
    EXPECT_EQ(ts::rowCounts(kToolRestore), ts::rowCounts(kCorpus));

    ts::Connection restored(kToolRestore);
    ts::Connection source(kCorpus);
    EXPECT_EQ(restored.column("SELECT TABLE_NAME FROM information_schema.VIEWS"
                              " WHERE TABLE_SCHEMA = DATABASE() ORDER BY 1"),
              (std::vector<std::string>{"v_a_outer", "v_b_inner", "w_a_reader",
                                        "w_b_named"}));
    for (const char* probe : {
             "SELECT GROUP_CONCAT(id ORDER BY id) FROM v_a_outer",
             "SELECT GROUP_CONCAT(HEX(v) ORDER BY id) FROM v_b_inner",
             "SELECT GROUP_CONCAT(w_b_named ORDER BY 1) FROM w_a_reader",
             "SELECT GROUP_CONCAT(id, ':', IFNULL(secret, '-') ORDER BY id)"
             " FROM hidden",
             "SELECT GROUP_CONCAT(id ORDER BY id) FROM autoinc",
             "SELECT AUTO_INCREMENT FROM information_schema.TABLES WHERE"
             " TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'autoinc'",
             "SELECT GROUP_CONCAT(twice, label ORDER BY id) FROM gen",
             "SELECT HEX(vb) FROM bins WHERE id = 1",
             "SELECT HEX(tx) FROM texts WHERE id = 1",
             "SELECT HEX(c) FROM texts WHERE id = 7",
             "SELECT COUNT(*) FROM information_schema.REFERENTIAL_CONSTRAINTS"
             " WHERE CONSTRAINT_SCHEMA = DATABASE()",
         })
      EXPECT_EQ(restored.scalar(probe), source.scalar(probe)) << probe;
  }

  static std::map<std::string, std::string>* peerSums_;
  static std::map<std::string, std::string>* sourceSums_;
};

std::map<std::string, std::string>* RoundTrip::peerSums_ = nullptr;
std::map<std::string, std::string>* RoundTrip::sourceSums_ = nullptr;

// The rows' statements in `bytes`: how many rows each holds, and its size.
struct Statement {
  int rows = 0;
  size_t bytes = 0;
};

std::vector<Statement> statementsOf(const std::string& bytes) {
  std::vector<Statement> statements;
  bool open = false;
  for (const std::string& line : splitCrLf(bytes)) {
    const bool head = line.compare(0, 13, "INSERT INTO `") == 0;
    if (!head && !(open && line.compare(0, 1, "(") == 0)) continue;
    if (!open) statements.emplace_back();
    statements.back().bytes += line.size() + 2;
    if (!head || line.back() == ';') ++statements.back().rows;
    open = line.back() != ';';
  }
  return statements;
}

TEST_F(RoundTrip, FullBackupRestoresLikeThePeersDump) {
  // Compressed, it is checked with zstd -t and restored through zstd -dc.
  const struct {
    const char* rowsPerInsert;
    bool compressed;
  } cases[] = {{"", false}, {"2", false}, {"1000", false}, {"", true}, {"1000", true}};
  for (const auto& c : cases) {
    const char* rowsPerInsert = c.rowsPerInsert;
    SCOPED_TRACE(std::string("zeilen-je-insert=") + rowsPerInsert +
                 (c.compressed ? " compressed" : " plain"));
    ts::TempDir dir;
    Backup backup = backUp(dir, kCorpus, "1110", rowsPerInsert, c.compressed);
    ASSERT_FALSE(backup.file.empty());
    EXPECT_NE(backup.out.find("\n21 von 21 Tabellen erfolgreich gespeichert.\n"),
              std::string::npos)
        << backup.out;
    expectRestoresLikePeer(backup.file);
    // A statement of several rows stays within 1 MiB; the value larger
    // than that makes a statement of its own.
    size_t largest = 0;
    int most = 0;
    for (const Statement& statement : statementsOf(ts::plainBytes(backup.file))) {
      if (statement.rows > 1) {
        EXPECT_LE(statement.bytes, size_t{1} << 20);
      }
      largest = std::max(largest, statement.bytes);
      most = std::max(most, statement.rows);
    }
    EXPECT_GT(largest, size_t{1500000});
    if (std::string(rowsPerInsert) == "1000") {
      EXPECT_GT(most, 2);
    } else {
      EXPECT_EQ(most, *rowsPerInsert == '\0' ? 1 : 2);
    }
  }
}

TEST_F(RoundTrip, IncrementalWithoutPreviousFileFallsBackToAFullBackup) {
  ts::TempDir dir;
  Backup backup = backUp(dir, kCorpus, "1111");
  ASSERT_FALSE(backup.file.empty());
  EXPECT_NE(backup.out.find("Konnte kein altes Backup laden! Starte direktes "
                            "Update.\n"),
            std::string::npos)
      << backup.out;
  // The run counts as a success: the settings name the new file.
  std::string stamp = backup.file.substr(backup.file.size() - 18, 14);
  EXPECT_EQ(ts::settingValue(backup.ini, "zeit-last-backup"), stamp);
  expectRestoresLikePeer(backup.file);
}

TEST_F(RoundTrip, FileBytesKeepLinesAndQuotedNames) {
  ts::TempDir dir;
  Backup backup = backUp(dir, kCorpus, "1110");
  ASSERT_FALSE(backup.file.empty());
  std::string bytes = ts::readFile(backup.file);
  for (size_t lf = bytes.find('\n'); lf != std::string::npos;
       lf = bytes.find('\n', lf + 1))
    ASSERT_TRUE(lf > 0 && bytes[lf - 1] == '\r') << "bare LF at byte " << lf;
  ASSERT_GE(bytes.size(), 2u);
  EXPECT_EQ(bytes.substr(bytes.size() - 2), "\r\n");

  std::vector<std::string> lines = splitCrLf(bytes);
  ASSERT_GT(lines.size(), 10u);
  EXPECT_EQ(lines[6], "/*M!999999\\- enable the sandbox mode */");
  EXPECT_EQ(lines[8], kClientCharset);
  EXPECT_EQ(lines[9], kPreamble);
  EXPECT_EQ(lines[10], "");
  auto has = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  };
  EXPECT_TRUE(has("# Tabelle 'tick`tab'"));
  EXPECT_TRUE(has("DROP TABLE IF EXISTS `tick``tab`;"));
  EXPECT_TRUE(has("INSERT INTO `tick``tab` VALUES ('2','y`');"));
  EXPECT_TRUE(has("DROP TABLE IF EXISTS `with blank`;"));
  EXPECT_TRUE(has("DROP TABLE IF EXISTS `select`;"));
  EXPECT_TRUE(has("DROP VIEW IF EXISTS `v_a_outer`;"));
  EXPECT_TRUE(has("INSERT INTO `hidden` (`id`,`shown`,`secret`) VALUES ('2',NULL,'s2');"));
  EXPECT_TRUE(has("INSERT INTO `texts` VALUES ('2','','','','');"));
  EXPECT_TRUE(has("INSERT INTO `texts` VALUES ('3',NULL,NULL,NULL,NULL);"));
  // Views come after every base table, the one read from first.
  auto at = [&](const std::string& line) {
    return std::find(lines.begin(), lines.end(), line) - lines.begin();
  };
  EXPECT_LT(at("# Tabelle 'texts'"), at("# Tabelle 'v_b_inner'"));
  EXPECT_LT(at("# Tabelle 'v_b_inner'"), at("# Tabelle 'v_a_outer'"));
  EXPECT_LT(at("# Tabelle 'w_b_named'"), at("# Tabelle 'w_a_reader'"));
}

// ---------------------------------------------------------------------------
// Exact bytes on a small database.

const char kLayout[] = "vkt_rt_layout";

std::string crlf(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

const std::string kHash(84, '#');

// "YYYYMMDDhhmmss" -> "dd.mm.YYYY hh:mm:ss".
std::string commentDate(const std::string& stamp) {
  return stamp.substr(6, 2) + "." + stamp.substr(4, 2) + "." +
         stamp.substr(0, 4) + " " + stamp.substr(8, 2) + ":" +
         stamp.substr(10, 2) + ":" + stamp.substr(12, 2);
}

class Layout : public ::testing::Test {
 protected:
  void SetUp() override {
    ts::recreateDatabase(kLayout);
    ts::Connection c(kLayout);
    c.exec("CREATE TABLE t (a INT, b VARCHAR(10), c VARCHAR(10)) ENGINE=InnoDB;"
           "INSERT INTO t VALUES (1,NULL,''),(2,'x''y',NULL),(3,'','z');"
           "CREATE TABLE u (id INT NOT NULL PRIMARY KEY) ENGINE=InnoDB;");
    // The update time of t lies in a second before the run.
    ts::waitForNextSecond();
    tUpdate = c.scalar("SELECT DATE_FORMAT(UPDATE_TIME, '%d.%m.%Y %H:%i:%s')"
                       " FROM information_schema.TABLES WHERE TABLE_SCHEMA ="
                       " DATABASE() AND TABLE_NAME = 't'");
    tIdentity = c.scalar(
        "SELECT CONCAT(UNIX_TIMESTAMP(UPDATE_TIME), ' InnoDB ', UNIX_TIMESTAMP(CREATE_TIME),"
        " ' :', i.TABLE_ID, ':',"
        " i.SPACE) FROM information_schema.TABLES t JOIN"
        " information_schema.INNODB_SYS_TABLES i ON i.NAME = CONCAT(DATABASE(), '/t')"
        " WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_NAME = 't'");
    tCreate = createText(c, "t");
    uCreate = createText(c, "u");
  }

  static std::string createText(ts::Connection& c, const std::string& table) {
    MYSQL* h = c.handle();
    std::string sql = "SHOW CREATE TABLE " + table;
    if (mysql_query(h, sql.c_str()) != 0) return "";
    MYSQL_RES* r = mysql_store_result(h);
    MYSQL_ROW row = mysql_fetch_row(r);
    std::string text = row && row[1] ? row[1] : "";
    mysql_free_result(r);
    return text;
  }

  std::string tUpdate, tIdentity, tCreate, uCreate;
};

TEST_F(Layout, EachSwitchCombinationWritesItsBlocksByteForByte) {
  ASSERT_EQ(tUpdate.size(), 19u);
  struct Case {
    const char* switches;  // save-strucktur, save-daten, droptable
    const char* rowsPerInsert;
    std::string body;      // everything after the preamble's empty line
    // For a compressed file: the body's frames, each section and each
    // rows block one.
    std::vector<std::string> frames = {};
  };
  const std::string tComment =
      "# Tabelle 't'\r\n# Update: '" + tUpdate + "'\r\n" + kHash + "\r\n";
  // u was never written to since the server started: no update time.
  const std::string uComment = "# Tabelle 'u'\r\n# Update: ''\r\n" + kHash + "\r\n";
  const std::string tDef = crlf(tCreate) + ";\r\n\r\n";
  const std::string uDef = crlf(uCreate) + ";\r\n\r\n";
  const std::string tRows = "INSERT INTO `t` VALUES ('1',NULL,'');\r\n"
                            "INSERT INTO `t` VALUES ('2','x\\'y',NULL);\r\n"
                            "INSERT INTO `t` VALUES ('3','','z');\r\n\r\n";
  // Statements of at most two rows, one row a line.
  const std::string tShared = "INSERT INTO `t` VALUES\r\n('1',NULL,''),\r\n"
                              "('2','x\\'y',NULL);\r\nINSERT INTO `t` VALUES\r\n"
                              "('3','','z');\r\n\r\n";
  // Without definitions, nothing but this line commits t's rows before u.
  const std::string tCommit = "COMMIT;\r\n\r\n";
  const std::string uRows = "\r\n";
  const std::string tDrop = "DROP TABLE IF EXISTS `t`;\r\n";
  const std::string uDrop = "DROP TABLE IF EXISTS `u`;\r\n";
  const Case cases[] = {
      {"0000", "", tComment + uComment},
      {"0010", "", tComment + uComment},
      {"1000", "", tComment + tDef + uComment + uDef},
      {"1010", "", tComment + tDrop + tDef + uComment + uDrop + uDef},
      {"0100", "", tComment + tRows + tCommit + uComment + uRows},
      {"0110", "1", tComment + tRows + tCommit + uComment + uRows},
      {"1100", "", tComment + tDef + tRows + uComment + uDef + uRows},
      {"1110", "", tComment + tDrop + tDef + tRows + uComment + uDrop + uDef + uRows},
      {"1110", "2", tComment + tDrop + tDef + tShared + uComment + uDrop + uDef + uRows},
      {"0100", "2", tComment + tShared + tCommit + uComment + uRows},
      {"0100", "", "", {tComment, tRows, tCommit, uComment, uRows}},
      {"1110", "", "", {tComment + tDrop + tDef, tRows, uComment + uDrop + uDef, uRows}},
      {"0100", "2", "", {tComment, tShared, tCommit, uComment, uRows}},
  };
  for (const Case& c : cases) {
    const bool compressed = !c.frames.empty();
    SCOPED_TRACE(std::string(c.switches) + " " + c.rowsPerInsert +
                 (compressed ? " compressed" : ""));
    ts::TempDir dir;
    Backup backup = backUp(dir, kLayout, c.switches, c.rowsPerInsert, compressed);
    ASSERT_FALSE(backup.file.empty());
    std::string stamp = ts::stampOf(backup.file);
    EXPECT_EQ(backup.file, dir.path() + "/" + kLayout + "-" + stamp +
                               (compressed ? ".sql.zst" : ".sql"));
    std::string header =
        kHash + "\r\n#\r\n# Backup der Datenbank '" + kLayout + "'\r\n" +
        "# Erstellt: " + commentDate(stamp) + "\r\n#\r\n" + kHash + "\r\n" +
        "/*M!999999\\- enable the sandbox mode */\r\n\r\n" + kClientCharset + "\r\n" +
        kPreamble + "\r\n\r\n";
    // The identity block names the settings and t, whose update time is
    // known, not u.
    const std::string identities =
        std::string("# Einstellungen 'save-strucktur=") + c.switches[0] +
        " save-daten=" + c.switches[1] + " droptable=" + c.switches[2] +
        "'\r\n# Kennung 't' " + tIdentity + "\r\n";
    if (!compressed) {
      EXPECT_EQ(ts::readFile(backup.file), header + c.body + kClosing + identities);
      continue;
    }
    std::string body;
    std::vector<std::uint64_t> sizes = {header.size()};
    for (const std::string& frame : c.frames) {
      body += frame;
      sizes.push_back(frame.size());
    }
    sizes.push_back(kClosing.size());
    sizes.push_back(identities.size());
    // Decompressed, the very bytes of a plain file.
    EXPECT_EQ(ts::plainBytes(backup.file), header + body + kClosing + identities);
    std::vector<std::uint64_t> listed;
    for (const ts::FrameSpan& frame : ts::seekTable(backup.file))
      listed.push_back(frame.plainSize);
    EXPECT_EQ(listed, sizes);
  }
}

TEST_F(Layout, UpdateTimeIsLeftEmptyWhenItMayStillMove) {
  ts::Connection c(kLayout);
  c.exec("CREATE VIEW w AS SELECT a FROM t");
  // Change t right after a second begins and back up at once: the change
  // falls in the second of the run, so its update time is not trusted. A
  // run that took longer than that second proves nothing and is tried
  // again; one of a few tries must land.
  for (int attempt = 0; attempt < 5; ++attempt) {
    ts::waitForNextSecond();
    c.exec("INSERT INTO t VALUES (2,'x','y')");
    ts::TempDir dir;
    Backup backup = backUp(dir, kLayout, "0000");
    ASSERT_FALSE(backup.file.empty());
    std::string updated =
        c.scalar("SELECT DATE_FORMAT(UPDATE_TIME, '%d.%m.%Y %H:%i:%s')"
                 " FROM information_schema.TABLES WHERE TABLE_SCHEMA ="
                 " DATABASE() AND TABLE_NAME = 't'");
    std::string bytes = ts::readFile(backup.file);
    // The identity block closes the file.
    const size_t identities = bytes.find("\r\n# Einstellungen '");
    ASSERT_NE(identities, std::string::npos);
    const bool tIdentified = bytes.find("# Kennung 't'", identities) != std::string::npos;
    bytes.resize(identities + 2);
    // A view has no update time; its section is the last one.
    const std::string view =
        "# Tabelle 'w'\r\n# Update: ''\r\n" + kHash + "\r\n" + kClosing;
    ASSERT_GT(bytes.size(), view.size());
    EXPECT_EQ(bytes.substr(bytes.size() - view.size()), view);
    if (updated != commentDate(ts::stampOf(backup.file))) continue;
    EXPECT_NE(bytes.find("# Tabelle 't'\r\n# Update: ''\r\n"), std::string::npos)
        << bytes;
    EXPECT_FALSE(tIdentified);
    return;
  }
  ADD_FAILURE() << "no backup ran in the second of its change";
}

}  // namespace

TEST(Views, AViewTheServerCannotUseComesLastSoTheRestRestores) {
  const char kDb[] = "vkt_rt_broken_view";
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("CREATE TABLE t (id INT) ENGINE=MyISAM; INSERT INTO t VALUES (1),(2);"
         "CREATE TABLE gone (id INT);"
         "CREATE VIEW a_broken AS SELECT id FROM gone;"
         "CREATE VIEW b_ok AS SELECT id FROM t;"
         "DROP TABLE gone;");
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kDb, dir.path(), "", "1110"));
  ts::runProgram(dir.path(), "");
  std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u);
  std::string content = ts::readFile(files[0]);
  EXPECT_LT(content.find("# Tabelle 'b_ok'"), content.find("# Tabelle 'a_broken'"));
  std::string errors;
  EXPECT_NE(ts::restore(files[0], "vkt_rt_broken_restored", &errors), 0);
  ts::Connection restored("vkt_rt_broken_restored");
  EXPECT_EQ(restored.scalar("SELECT COUNT(*) FROM b_ok"), "2");
}

namespace {

struct RestoredBackup {
  ts::ProgramRun run;
  std::string content;    // of the one file the run left
  bool restored = false;  // that file restored without an error
};

// Backs `database` up once (definitions, rows, DROP lines) and restores the
// one file the run left, whose name ends in `suffix`, into `restored`.
RestoredBackup backUpAndRestore(const std::string& database,
                                const std::string& restored,
                                const std::string& suffix = ".sql") {
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini",
                ts::settingsFor(database, dir.path(), "", "1110"));
  RestoredBackup backup;
  backup.run = ts::runProgram(dir.path(), "");
  std::vector<std::string> files = ts::listFiles(dir.path(), suffix);
  EXPECT_EQ(files.size(), 1u) << backup.run.out;
  if (files.size() != 1) return backup;
  backup.content = ts::readFile(files[0]);
  std::string errors;
  backup.restored = ts::restore(files[0], restored, &errors) == 0;
  EXPECT_TRUE(backup.restored) << errors;
  return backup;
}

}  // namespace

// Names a latin1 client gave: unconverted, the reader's definition names
// the view it reads in latin1, the inventory in the connection's character
// set. The view read must still come first.
TEST(Views, ANonAsciiViewIsCreatedBeforeTheViewThatReadsIt) {
  const char kDb[] = "vkt_rt_latin1_views";
  const char kRestored[] = "vkt_rt_latin1_views_restored";
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("SET NAMES latin1");
  // In the server's order the reader comes first.
  c.exec("CREATE VIEW `v_\xE4_read` AS SELECT 1 AS `n\xE4`");
  c.exec("CREATE VIEW `v_\xE4_a` AS SELECT `n\xE4` FROM `v_\xE4_read`");
  RestoredBackup backup = backUpAndRestore(kDb, kRestored);
  ASSERT_TRUE(backup.restored) << backup.content;
  ts::Connection restored(kRestored);
  restored.exec("SET NAMES latin1");
  EXPECT_EQ(restored.scalar("SELECT `n\xE4` FROM `v_\xE4_a`"), "1");
}

TEST(RowsElsewhere, MergeRowsAreRestoredOnceAndASequenceGoesOn) {
  const char kDb[] = "vkt_rt_elsewhere";
  const char kRestored[] = "vkt_rt_elsewhere_restored";
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("CREATE TABLE a_part1 (id INT NOT NULL) ENGINE=MyISAM;"
         "CREATE TABLE a_part2 (id INT NOT NULL) ENGINE=MyISAM;"
         "INSERT INTO a_part1 VALUES (1),(2); INSERT INTO a_part2 VALUES (3);"
         "CREATE TABLE m_all (id INT NOT NULL) ENGINE=MRG_MyISAM"
         " UNION=(a_part1,a_part2) INSERT_METHOD=LAST;"
         "CREATE SEQUENCE s_counter; DO NEXTVAL(s_counter), NEXTVAL(s_counter);");
  // A CONNECT table's rows are its own only in a file it made itself. A
  // restore of another's would write them into the table it reads, here
  // one of the source database, whose key refuses them.
  const ts::ServerInfo& s = ts::server();
  c.exec("INSTALL PLUGIN IF NOT EXISTS CONNECT SONAME 'ha_connect';"
         "CREATE TABLE c_own (id INT NOT NULL, v VARCHAR(10)) ENGINE=CONNECT "
         "TABLE_TYPE=CSV; INSERT INTO c_own VALUES (1,'a'),(2,'b');"
         "CREATE TABLE c_target (id INT PRIMARY KEY) ENGINE=InnoDB;"
         "INSERT INTO c_target VALUES (7);"
         "CREATE TABLE c_remote ENGINE=CONNECT TABLE_TYPE=MYSQL CONNECTION='mysql://" +
         s.user + ":" + s.password + "@127.0.0.1:" + s.port + "/" + kDb + "/c_target'");
  const RestoredBackup backup = backUpAndRestore(kDb, kRestored);
  ASSERT_TRUE(backup.restored) << backup.content;
  EXPECT_NE(backup.run.out.find("Hinweis: Die Zeilen der CONNECT-Tabelle 'c_remote'"),
            std::string::npos)
      << backup.run.out;
  EXPECT_EQ(backup.run.out.find("CONNECT-Tabelle 'c_own'"), std::string::npos);
  EXPECT_EQ(ts::rowCounts(kRestored), ts::rowCounts(kDb));
  EXPECT_EQ(ts::checksums(kRestored), ts::checksums(kDb));
  // The next value after the restore is one the source never handed out.
  ts::Connection restored(kRestored);
  EXPECT_EQ(restored.scalar("SELECT NEXTVAL(s_counter)"),
            c.scalar("SELECT next_not_cached_value FROM s_counter"));
}

// Every version of the rows of each versioned table, period included, in
// one text; a table versioned by transaction id gives its current rows.
std::map<std::string, std::string> rowVersions(const std::string& database) {
  ts::Connection c(database);
  return {
      {"h", c.scalar("SELECT GROUP_CONCAT(id, ':', v, ':', UNIX_TIMESTAMP(row_start),"
                     " ':', UNIX_TIMESTAMP(row_end) ORDER BY row_start, id)"
                     " FROM h FOR SYSTEM_TIME ALL")},
      {"own", c.scalar("SELECT GROUP_CONCAT(x, ':', UNIX_TIMESTAMP(since), ':',"
                       " UNIX_TIMESTAMP(until) ORDER BY since, x)"
                       " FROM own FOR SYSTEM_TIME ALL")},
      {"parts", c.scalar("SELECT GROUP_CONCAT(id, ':', v, ':', UNIX_TIMESTAMP(row_start),"
                         " ':', UNIX_TIMESTAMP(row_end) ORDER BY row_start, id)"
                         " FROM parts FOR SYSTEM_TIME ALL")},
      {"parts history", c.scalar("SELECT COUNT(*) FROM parts PARTITION (p_hist)")},
      {"mi", c.scalar("SELECT GROUP_CONCAT(id, ':', UNIX_TIMESTAMP(row_start), ':',"
                      " UNIX_TIMESTAMP(row_end) ORDER BY row_start, id)"
                      " FROM mi FOR SYSTEM_TIME ALL")},
      {"by_trx", c.scalar("SELECT GROUP_CONCAT(x ORDER BY x) FROM by_trx")},
      {"plain", c.scalar("SELECT GROUP_CONCAT(id ORDER BY id) FROM plain")},
  };
}

// Past rows of tables versioned by time are restored as they were, in both
// forms of rows, plain and compressed; an unchanged versioned table is
// copied into the next file with its past rows. A table versioned by
// transaction id keeps its current rows only, and says so.
TEST(History, PastRowsAreRestoredAndCopiedWithTheirTable) {
  const char kDb[] = "vkt_rt_history";
  const char kRestored[] = "vkt_rt_history_restored";
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("CREATE TABLE h (id INT PRIMARY KEY, v VARCHAR(10)) WITH SYSTEM VERSIONING;"
         "INSERT INTO h VALUES (1,'a'),(2,'b'),(3,'c');"
         "UPDATE h SET v = CONCAT(v, '2'); UPDATE h SET v = CONCAT(v, '3') WHERE id < 3;"
         "DELETE FROM h WHERE id = 3;"
         "CREATE TABLE own (x INT,"
         " since TIMESTAMP(6) GENERATED ALWAYS AS ROW START,"
         " until TIMESTAMP(6) GENERATED ALWAYS AS ROW END,"
         " PERIOD FOR SYSTEM_TIME (since, until)) WITH SYSTEM VERSIONING;"
         "INSERT INTO own (x) VALUES (1),(5); UPDATE own SET x = x + 1;"
         "CREATE TABLE parts (id INT, v INT) WITH SYSTEM VERSIONING"
         " PARTITION BY SYSTEM_TIME (PARTITION p_hist HISTORY, PARTITION p_cur CURRENT);"
         "INSERT INTO parts VALUES (1,1),(2,1); UPDATE parts SET v = 2 WHERE id = 1;"
         "CREATE TABLE mi (id INT) ENGINE=MyISAM WITH SYSTEM VERSIONING;"
         "INSERT INTO mi VALUES (1),(2); DELETE FROM mi WHERE id = 1;"
         "CREATE TABLE by_trx (x INT,"
         " s BIGINT UNSIGNED GENERATED ALWAYS AS ROW START INVISIBLE,"
         " e BIGINT UNSIGNED GENERATED ALWAYS AS ROW END INVISIBLE,"
         " PERIOD FOR SYSTEM_TIME (s, e)) ENGINE=InnoDB WITH SYSTEM VERSIONING;"
         "INSERT INTO by_trx (x) VALUES (1); UPDATE by_trx SET x = 2;"
         "CREATE TABLE plain (id INT PRIMARY KEY); INSERT INTO plain VALUES (1);");
  const std::map<std::string, std::string> source = rowVersions(kDb);
  ASSERT_EQ(std::count(source.at("h").begin(), source.at("h").end(), ','), 7);
  ts::waitForNextSecond();
  const struct {
    const char* rowsPerInsert;
    bool compressed;
  } forms[] = {{"", false}, {"3", false}, {"", true}, {"3", true}};
  for (const auto& form : forms) {
    SCOPED_TRACE(std::string("zeilen-je-insert=") + form.rowsPerInsert +
                 (form.compressed ? " compressed" : " plain"));
    const std::map<std::string, std::string> before = rowVersions(kDb);
    ts::TempDir dir;
    std::string extra;
    if (*form.rowsPerInsert != '\0')
      extra += std::string("zeilen-je-insert=") + form.rowsPerInsert + "\r\n";
    if (form.compressed) extra += "kompression=zstd\r\n";
    const char* suffix = form.compressed ? ".sql.zst" : ".sql";
    ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kDb, dir.path()) + extra);
    ts::ProgramRun full = ts::runProgram(dir.path(), "");
    ASSERT_EQ(ts::listFiles(dir.path(), suffix).size(), 1u) << full.out;
    // A change elsewhere: the versioned tables are copied.
    c.exec("INSERT INTO plain VALUES (" + std::to_string(10 + (&form - forms)) + ")");
    ts::waitForNextSecond();
    const std::string stamp =
        ts::settingValue(ts::readFile(dir.path() + "/vkt.ini"), "zeit-last-backup");
    ts::writeFile(dir.path() + "/vkt.ini",
                  ts::settingsFor(kDb, dir.path(), stamp) + extra);
    ts::ProgramRun incremental = ts::runProgram(dir.path(), "");
    for (const char* table : {"h", "own", "parts", "mi"})
      EXPECT_NE(incremental.out.find(std::string("Speichere Tabelle '") + table +
                                     "'\nAbfrage der Tabellen-beschreibung: OK\n"
                                     "Kopiere die Daten aus dem alten Backup heraus.\n"),
                std::string::npos)
          << table << "\n" << incremental.out;
    const std::map<std::string, std::string> now = rowVersions(kDb);
    for (const ts::ProgramRun* run : {&full, &incremental}) {
      const std::string said =
          "Hinweis: Die fr\xFCheren Zeilenversionen der Tabelle '";
      EXPECT_NE(run->out.find(said + "by_trx' (WITH SYSTEM VERSIONING) sind nicht im "
                                     "Backup.\n"),
                std::string::npos)
          << run->out;
      EXPECT_EQ(run->out.find(said), run->out.rfind(said)) << run->out;
    }
    const std::vector<std::string> files = ts::listFiles(dir.path(), suffix);
    ASSERT_EQ(files.size(), 2u) << incremental.out;
    // Compressed, the rows block begins and ends at frame boundaries, so
    // that it can be copied as its frames.
    if (form.compressed) {
      const std::string plain = ts::plainBytes(files[0]);
      std::vector<std::uint64_t> starts;
      for (const ts::FrameSpan& frame : ts::seekTable(files[0]))
        starts.push_back(frame.plainBegin);
      for (const char* marker : {"INSERT INTO `h`", "/*M!100300 SET @@SYSTEM"}) {
        const std::uint64_t at = plain.find(marker);
        EXPECT_TRUE(std::find(starts.begin(), starts.end(), at) != starts.end()) << marker;
      }
    }
    for (const std::string& file : files) {
      SCOPED_TRACE(file);
      std::string errors;
      ASSERT_EQ(ts::restore(file, kRestored, &errors), 0) << errors;
      EXPECT_EQ(rowVersions(kRestored), file == files.back() ? now : before);
    }
  }
}

// Past rows a restore cannot take back are left out, counted per table;
// every other row comes back. A change undone in the second of a fixed
// timestamp (as a replica replays it) leaves a past row whose period is
// empty, under the implicit period columns and under a table's own. A
// nullable AUTO_INCREMENT column added to a MyISAM table leaves NULL in
// the past rows; CREATE TABLE makes it NOT NULL, so they would be 0 and
// collide.
TEST(History, PastRowsTheServerCannotTakeBackAreLeftOutAndCounted) {
  const char kDb[] = "vkt_rt_history_gaps";
  const char kRestored[] = "vkt_rt_history_gaps_restored";
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("CREATE TABLE e (id INT) WITH SYSTEM VERSIONING;"
         "INSERT INTO e VALUES (1); UPDATE e SET id = 2;"
         "SET timestamp = UNIX_TIMESTAMP() - 100;"
         "INSERT INTO e VALUES (7); DELETE FROM e WHERE id = 7;"
         "SET timestamp = DEFAULT;"
         "CREATE TABLE own (x INT,"
         " since TIMESTAMP(6) GENERATED ALWAYS AS ROW START,"
         " until TIMESTAMP(6) GENERATED ALWAYS AS ROW END,"
         " PERIOD FOR SYSTEM_TIME (since, until)) WITH SYSTEM VERSIONING;"
         "INSERT INTO own (x) VALUES (1); UPDATE own SET x = 2;"
         "SET timestamp = UNIX_TIMESTAMP() - 100;"
         "INSERT INTO own (x) VALUES (8),(9); DELETE FROM own WHERE x > 7;"
         "SET timestamp = DEFAULT;"
         "CREATE TABLE ai (a INT) ENGINE=MyISAM WITH SYSTEM VERSIONING;"
         "INSERT INTO ai VALUES (1),(2); UPDATE ai SET a = a + 10;"
         "SET SESSION system_versioning_alter_history = KEEP;"
         "ALTER TABLE ai ADD b INT AUTO_INCREMENT NULL UNIQUE;"
         "UPDATE ai SET a = a + 10 WHERE a = 11;");
  // Each table's rows that a restore takes back, as the source holds them.
  const struct {
    const char* table;
    const char* values;
    const char* kept;
    int leftOut;
  } tables[] = {
      {"e", "id, UNIX_TIMESTAMP(row_start), UNIX_TIMESTAMP(row_end)",
       "row_start < row_end", 1},
      {"own", "x, UNIX_TIMESTAMP(since), UNIX_TIMESTAMP(until)", "since < until", 2},
      {"ai", "a, IFNULL(b, 'NULL'), UNIX_TIMESTAMP(row_start), UNIX_TIMESTAMP(row_end)",
       "b IS NOT NULL OR row_end > NOW(6)", 2},
  };
  auto versions = [](ts::Connection& db, const std::string& table,
                     const std::string& values, const std::string& where) {
    return db.scalar("SELECT GROUP_CONCAT(" + values + " ORDER BY " + values +
                     " SEPARATOR '|') FROM " + table + " FOR SYSTEM_TIME ALL" +
                     (where.empty() ? "" : " WHERE " + where));
  };
  for (const auto& t : tables)
    ASSERT_EQ(c.scalar(std::string("SELECT COUNT(*) FROM ") + t.table +
                       " FOR SYSTEM_TIME ALL WHERE NOT (" + t.kept + ")"),
              std::to_string(t.leftOut))
        << t.table;
  ts::waitForNextSecond();
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kDb, dir.path()));
  ts::ProgramRun run = ts::runProgram(dir.path(), "");
  EXPECT_EQ(run.status, 0) << run.out;
  const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u) << run.out;
  std::string errors;
  ASSERT_EQ(ts::restore(files[0], kRestored, &errors), 0) << errors;
  ts::Connection restored(kRestored);
  for (const auto& t : tables) {
    SCOPED_TRACE(t.table);
    EXPECT_EQ(versions(restored, t.table, t.values, ""),
              versions(c, t.table, t.values, t.kept));
    EXPECT_NE(run.out.find("Hinweis: " + std::to_string(t.leftOut) +
                           " fr\xFChere Zeilenversionen der Tabelle '" + t.table +
                           "' kann der Server nicht zur\xFC" "cknehmen"),
              std::string::npos)
        << run.out;
  }
}

TEST(Names, NoNameEndsItsLineEarly) {
  const char kDb[] = "vkt_rt_names";
  const char kVictim[] = "vkt_rt_victim";
  const char kRestored[] = "vkt_rt_names_restored";
  ts::recreateDatabase(kVictim);
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  // A line feed cannot be written inside a name: those tables fail.
  const std::string breaking = "x\nDROP DATABASE vkt_rt_victim;#";
  c.exec("CREATE TABLE `" + breaking + "` (id INT); INSERT INTO `" + breaking +
         "` VALUES (1);"
         "CREATE TABLE lf_column (`a\nb` INT); INSERT INTO lf_column VALUES (2);"
         // A column list in the row lines would hold the line feed.
         "CREATE TABLE lf_listed (`a\nb` INT, h INT INVISIBLE);"
         "INSERT INTO lf_listed (`a\nb`, h) VALUES (3, 4);");
  // Other control bytes go into the statements as they are; on the
  // console they are escaped, so that none reaches the terminal (this one
  // would set the window title and hide all later output).
  const std::vector<std::string> kept = {"bell\a;#", "cr\rhere", "tab\there",
                                         "t\x1B]0;x\a\x1B[8m"};
  for (const std::string& name : kept)
    c.exec("CREATE TABLE `" + name + "` (v VARCHAR(10)); INSERT INTO `" + name +
           "` VALUES ('" + name.substr(0, 2) + "');");
  // A body that hides a client command from the server ("--" and a control
  // byte is a comment to the server only) is written in the hex form: the
  // procedure comes back, the command never runs.
  const std::string planted = ts::TempDir().path() + "-planted";
  c.exec("CREATE PROCEDURE hostile() BEGIN\n--\x01 \\! touch " + planted +
         " #\nSELECT 1;\nEND");
  RestoredBackup backup = backUpAndRestore(
      kDb, kRestored, std::string(".sql") + BackupFile::kWorkingSuffix);
  const std::string& out = backup.run.out;
  EXPECT_NE(out.find("Speichere Tabelle 't\\x1B]0;x\\x07\\x1B[8m'\n"),
            std::string::npos) << out;
  EXPECT_EQ(std::count_if(out.begin(), out.end(),
                          [](unsigned char b) { return b != '\n' && (b < 0x20 || b == 0x7F); }),
            0) << out;
  EXPECT_EQ(out.find("Speichere Prozedur 'hostile'\nFehler: "), std::string::npos) << out;
  EXPECT_NE(access(planted.c_str(), F_OK), 0);
  const std::string failed =
      "Fehler: Ein Name der Tabelle enth\xE4lt einen Zeilenumbruch";
  size_t first = out.find(failed);
  ASSERT_NE(first, std::string::npos) << out;
  EXPECT_NE(out.find(failed, first + 1), std::string::npos) << out;
  EXPECT_NE(out.find("4 von 7 Tabellen erfolgreich gespeichert."),
            std::string::npos) << out;
  // Rows alone: only the names in the row lines are checked.
  ts::TempDir rowsDir;
  ts::writeFile(rowsDir.path() + "/vkt.ini",
                ts::settingsFor(kDb, rowsDir.path(), "", "0110"));
  ts::ProgramRun rowsOnly = ts::runProgram(rowsDir.path(), "");
  EXPECT_NE(rowsOnly.out.find("5 von 7 Tabellen erfolgreich gespeichert."),
            std::string::npos) << rowsOnly.out;
  EXPECT_NE(backup.content.find(
                "\r\n# Tabelle 'x\\nDROP DATABASE vkt_rt_victim;#'\r\n"),
            std::string::npos);
  ASSERT_TRUE(backup.restored);
  ts::Connection restored(kRestored);
  EXPECT_EQ(restored.scalar("SELECT COUNT(*) FROM information_schema.SCHEMATA"
                            " WHERE SCHEMA_NAME = 'vkt_rt_victim'"),
            "1");
  EXPECT_EQ(restored.scalar("SELECT COUNT(*) FROM information_schema.ROUTINES"
                            " WHERE ROUTINE_SCHEMA = DATABASE()"),
            "1");
  std::map<std::string, std::string> sums = ts::checksums(kDb);
  sums.erase(breaking);
  sums.erase("lf_column");
  sums.erase("lf_listed");
  EXPECT_EQ(ts::checksums(kRestored), sums);
}

// A client writes a parent and then its child, again and again, while the
// program reads a big table between the two: every child in the backup has
// its parent, for tables with transactions (the snapshot) and without
// them (locked at the snapshot's moment).
TEST(Snapshot, RowsWrittenTogetherAreBackedUpTogether) {
  const char kDb[] = "vkt_rt_snapshot";
  const char kRestored[] = "vkt_rt_snapshot_restored";
  struct Case {
    const char* engine;  // of the parent and the child
    const char* begin;   // around the two inserts
    const char* end;
    // A table without transactions keeps its metadata lock until the run
    // ends: DDL on it waits.
    bool ddlGoesOn;
  } cases[] = {
      {"InnoDB", "START TRANSACTION; ", " COMMIT;", true},
      {"MyISAM", "", "", false},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.engine);
    ts::recreateDatabase(kDb);
    ts::Connection c(kDb);
    const std::string engine = std::string(" ENGINE=") + k.engine + ";";
    // The big table is MyISAM only so that its restore is quick.
    c.exec("CREATE TABLE a_parent (id INT NOT NULL PRIMARY KEY)" + engine +
           "CREATE TABLE b_big (id INT NOT NULL PRIMARY KEY, pad CHAR(100))"
           " ENGINE=MyISAM;"
           "INSERT INTO b_big SELECT seq, REPEAT('x', 100) FROM seq_1_to_200000;"
           "CREATE TABLE c_child (id INT NOT NULL PRIMARY KEY, parent INT NOT NULL)" +
           engine);
    std::atomic<bool> stop{false};
    std::atomic<int> pairs{0};
    std::thread writer([&] {
      ts::Connection w(kDb);
      for (int i = 1; i <= 100000 && !stop; ++i) {
        std::string id = std::to_string(i);
        w.exec(k.begin + ("INSERT INTO a_parent VALUES (" + id +
                          "); INSERT INTO c_child VALUES (" + id + ", " + id +
                          ");") + k.end);
        ++pairs;
      }
    });
    while (pairs == 0) std::this_thread::yield();
    // Held while it writes the big table, the run holds no lock on the table
    // it wrote before: DDL on that one need not wait for the run.
    ts::TempDir dir;
    // Many rows a statement: the stock client's restore of 200,000 single-row
    // statements alone would take half a minute.
    std::string settings = ts::settingsFor(kDb, dir.path(), "", "1110");
    settings.insert(settings.size() - 2, "zeilen-je-insert=1000\r\n");
    ts::writeFile(dir.path() + "/vkt.ini", settings);
    ts::RunningProgram program(dir.path(), "");
    for (int i = 0; i < 20000 && program.outputSoFar().find("Speichere Tabelle 'b_big'") ==
                                     std::string::npos; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (k.ddlGoesOn) {
      ASSERT_EQ(kill(program.pid(), SIGSTOP), 0);
      ts::Connection ddl(kDb);
      ddl.exec("SET SESSION lock_wait_timeout = 10");
      const bool altered =
          mysql_query(ddl.handle(), "ALTER TABLE a_parent COMMENT 'altered'") == 0;
      ASSERT_EQ(kill(program.pid(), SIGCONT), 0);
      EXPECT_TRUE(altered) << mysql_error(ddl.handle());
    }
    const ts::ProgramRun run = program.wait();
    stop = true;
    writer.join();
    ASSERT_EQ(run.status, 0) << run.out;
    const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
    ASSERT_EQ(files.size(), 1u);
    std::string errors;
    ASSERT_EQ(ts::restore(files[0], kRestored, &errors), 0) << errors;
    ts::Connection restored(kRestored);
    // The writer went on while the program ran.
    long children = std::atol(restored.scalar("SELECT COUNT(*) FROM c_child").c_str());
    EXPECT_GT(children, 0);
    EXPECT_LT(children, pairs.load());
    EXPECT_EQ(restored.scalar("SELECT COUNT(*) FROM c_child LEFT JOIN a_parent"
                              " ON a_parent.id = c_child.parent"
                              " WHERE a_parent.id IS NULL"),
              "0");
  }
}

namespace {

// Kills `program` when it has not ended within `seconds`: a run that hangs
// fails its test instead of blocking the suite. No timing is asserted; a
// run that ends at all ends long before.
class Watchdog {
 public:
  Watchdog(const ts::RunningProgram& program, int seconds)
      : thread_([this, pid = program.pid(), seconds] {
          std::unique_lock<std::mutex> lock(mutex_);
          if (!ended_.wait_for(lock, std::chrono::seconds(seconds),
                               [this] { return done_; }))
            kill(pid, SIGKILL);
        }) {}
  // Call once the program was collected.
  void stop() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    ended_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  ~Watchdog() { stop(); }

 private:
  std::mutex mutex_;
  std::condition_variable ended_;
  bool done_ = false;
  std::thread thread_;
};

// Runs `statement` on a connection of its own, again and again, until
// stopped; counts the runs.
class Writer {
 public:
  Writer(const std::string& database, const std::string& statement)
      : thread_([this, database, statement] {
          ts::Connection w(database);
          while (!stop_) {
            w.exec(statement);
            ++writes_;
          }
        }) {}
  ~Writer() {
    stop_ = true;
    thread_.join();
  }
  int writes() const { return writes_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> writes_{0};
  std::thread thread_;
};

const char kWritersDb[] = "vkt_rt_writers";
const char kWritersRestored[] = "vkt_rt_writers_restored";
// The value that the writers move between the two rows of m.
const char kSum[] = "1000000";

void createWritersDatabase(const char* database = kWritersDb) {
  ts::recreateDatabase(database);
  ts::Connection c(database);
  c.exec(std::string("CREATE TABLE m (id INT NOT NULL PRIMARY KEY, v INT) ENGINE=MyISAM;"
                     "INSERT INTO m VALUES (1,") + kSum + "),(2,0);"
         "CREATE TABLE t (id INT NOT NULL PRIMARY KEY, v INT) ENGINE=InnoDB;"
         "INSERT INTO t VALUES (1,1);");
}

}  // namespace

// Writers of a table without transactions, each on a connection of its
// own: one moves value between two rows in one statement, another in two
// statements under LOCK TABLES ... WRITE. A writer waits for the run's read
// lock; the run must never wait behind such a writer (it would wait for the
// run in turn), and the file holds the rows of one moment: the sum the
// writers keep.
TEST(Snapshot, WritersOfTablesWithoutTransactionsNeverHoldTheRunUp) {
  const std::string oneStatement = "UPDATE m SET v = v + IF(id = 1, -1, 1)";
  const std::string lockedPair =
      "LOCK TABLES m WRITE; UPDATE m SET v = v - 1 WHERE id = 2;"
      " UPDATE m SET v = v + 1 WHERE id = 1; UNLOCK TABLES";
  const struct {
    const char* name;
    std::vector<std::string> statements;  // one writer each
  } cases[] = {
      {"one statement", {oneStatement}},
      {"one statement and LOCK TABLES ... WRITE", {oneStatement, lockedPair}},
  };
  createWritersDatabase();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.name);
    std::vector<std::unique_ptr<Writer>> writers;
    for (const std::string& statement : k.statements)
      writers.push_back(std::make_unique<Writer>(kWritersDb, statement));
    for (const auto& writer : writers)
      while (writer->writes() == 0) std::this_thread::yield();
    // A few runs: each must meet the writers queued behind its lock.
    for (int round = 0; round < 3; ++round) {
      ts::TempDir dir;
      ts::writeFile(dir.path() + "/vkt.ini",
                    ts::settingsFor(kWritersDb, dir.path(), "", "1110"));
      ts::RunningProgram program(dir.path(), "");
      Watchdog watchdog(program, 120);
      const ts::ProgramRun run = program.wait();
      watchdog.stop();
      ASSERT_EQ(run.status, 0) << run.out;
      const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
      ASSERT_EQ(files.size(), 1u);
      std::string errors;
      ASSERT_EQ(ts::restore(files[0], kWritersRestored, &errors), 0) << errors;
      ts::Connection restored(kWritersRestored);
      EXPECT_EQ(restored.scalar("SELECT SUM(v) FROM m"), kSum);
    }
    for (const auto& writer : writers) EXPECT_GT(writer->writes(), 1);
  }
}

// A lock the run cannot get ends it instead of a wait of a day (the
// server's default), with a line that says why: a client holds LOCK TABLES
// ... WRITE on a table without transactions (the run's read lock waits) or
// on one with them (the run's SELECT waits). Nothing is named complete.
TEST(Snapshot, ALockNeverGrantedEndsTheRun) {
  const struct {
    const char* table;
    const char* database;
    const char* said;
  } cases[] = {
      {"m", "vkt_rt_lock_m",
       "Fehler: Die Tabellen ohne Transaktionen (MyISAM, Aria, ...) waren nach "
       "30 Sekunden noch von einem anderen Client gesperrt (lock_wait_timeout). "
       "Abbruch.\n"},
      {"t", "vkt_rt_lock_t", "Fehler: Lock wait timeout exceeded"},
  };
  // Each case waits out the run's lock timeout, so they run side by side,
  // each in a database of its own.
  struct Running {
    std::unique_ptr<ts::Connection> holder;
    ts::TempDir dir;
    std::string settings;
    std::unique_ptr<ts::RunningProgram> program;
  };
  std::vector<std::unique_ptr<Running>> runs;
  for (const auto& k : cases) {
    createWritersDatabase(k.database);
    auto r = std::make_unique<Running>();
    r->holder = std::make_unique<ts::Connection>(k.database);
    r->holder->exec(std::string("LOCK TABLES ") + k.table + " WRITE");
    r->settings = ts::settingsFor(k.database, r->dir.path(), "", "1110");
    ts::writeFile(r->dir.path() + "/vkt.ini", r->settings);
    r->program = std::make_unique<ts::RunningProgram>(r->dir.path(), "");
    runs.push_back(std::move(r));
  }
  for (size_t i = 0; i < runs.size(); ++i) {
    SCOPED_TRACE(cases[i].table);
    Running& r = *runs[i];
    Watchdog watchdog(*r.program, 150);
    const ts::ProgramRun run = r.program->wait();
    watchdog.stop();
    r.holder->exec("UNLOCK TABLES");
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find(cases[i].said), std::string::npos) << run.out;
    EXPECT_TRUE(ts::listFiles(r.dir.path(), ".sql").empty());
    EXPECT_TRUE(ts::listFiles(r.dir.path(), ".zst").empty());
    EXPECT_EQ(ts::readFile(r.dir.path() + "/vkt.ini"), r.settings);
  }
}

namespace {

// Sets server defaults for new sessions, and puts them back when it goes.
class GlobalDefaults {
 public:
  explicit GlobalDefaults(const std::string& assignments) {
    ts::Connection c;
    saved_ = "SET GLOBAL time_zone = '" + c.scalar("SELECT @@GLOBAL.time_zone") +
             "', GLOBAL sql_mode = '" + c.scalar("SELECT @@GLOBAL.sql_mode") + "'";
    c.exec("SET " + assignments);
  }
  ~GlobalDefaults() { ts::Connection().exec(saved_); }

 private:
  std::string saved_;
};

// The values of every row line of `table` in `bytes`, in file order.
std::vector<std::string> rowValues(const std::string& bytes, const std::string& table) {
  const std::string prefix = "INSERT INTO `" + table + "` VALUES ";
  std::vector<std::string> values;
  for (const std::string& line : splitCrLf(bytes))
    if (line.compare(0, prefix.size(), prefix) == 0) values.push_back(line.substr(prefix.size()));
  return values;
}

}  // namespace

// Rows read first (by the connection that holds the lock) are read in the
// main session's settings whatever the server's defaults for a new
// session: a MyISAM table writes the very row lines of its InnoDB twin, in
// UTC, with backslash escapes and without padding.
TEST(Snapshot, RowsReadFirstAreReadAsTheMainSessionReadsRows) {
  const char kDb[] = "vkt_rt_read_alike";
  const char kRestored[] = "vkt_rt_read_alike_restored";
  ts::recreateDatabase(kDb);
  {
    ts::Connection c(kDb);
    c.exec("CREATE TABLE a_inno (id INT NOT NULL PRIMARY KEY, ts TIMESTAMP NULL,"
           " c CHAR(8), b VARBINARY(20), l VARCHAR(10) CHARACTER SET latin1) ENGINE=InnoDB;"
           "CREATE TABLE b_my LIKE a_inno; ALTER TABLE b_my ENGINE=MyISAM;"
           "SET time_zone = '+00:00';"
           "INSERT INTO a_inno VALUES (1,'2026-01-02 03:04:05','ab',X'0A5C270D00',X'E4'),"
           " (2,NULL,'',X'',NULL);"
           "INSERT INTO b_my SELECT * FROM a_inno;");
  }
  ts::TempDir dir;
  {
    GlobalDefaults defaults(
        "GLOBAL time_zone = '+05:00',"
        " GLOBAL sql_mode = 'PAD_CHAR_TO_FULL_LENGTH,NO_BACKSLASH_ESCAPES,ANSI_QUOTES'");
    ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(kDb, dir.path(), "", "1110"));
    const ts::ProgramRun run = ts::runProgram(dir.path(), "");
    ASSERT_EQ(run.status, 0) << run.out;
    ASSERT_NE(run.out.find("Lese Tabelle 'b_my'"), std::string::npos) << run.out;
  }
  const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u);
  const std::string bytes = ts::readFile(files[0]);
  const std::vector<std::string> inno = rowValues(bytes, "a_inno");
  ASSERT_EQ(inno.size(), 2u);
  EXPECT_EQ(inno[0], "('1','2026-01-02 03:04:05','ab','\\n\\\\\\'\\r\\0','\xC3\xA4');");
  EXPECT_EQ(rowValues(bytes, "b_my"), inno);
  std::string errors;
  ASSERT_EQ(ts::restore(files[0], kRestored, &errors), 0) << errors;
  EXPECT_EQ(ts::checksums(kRestored), ts::checksums(kDb));
}

// ---------------------------------------------------------------------------
// Routines, triggers, events and views in their own character sets.

namespace {

const char kObjects[] = "vkt_rt_objects";
const char kObjectsRestored[] = "vkt_rt_objects_tool";
const char kObjectsPeer[] = "vkt_rt_objects_peer";

void createObjects(ts::Connection& c) {
  c.exec(R"(
CREATE TABLE items (id INT NOT NULL PRIMARY KEY, name VARCHAR(20)) ENGINE=MyISAM;
CREATE TABLE audit (id INT NOT NULL AUTO_INCREMENT PRIMARY KEY,
                    note VARCHAR(100)) ENGINE=MyISAM;
INSERT INTO items VALUES (1,'eins'),(2,'zwei');
CREATE FUNCTION twice(x INT) RETURNS INT DETERMINISTIC
BEGIN
  DECLARE y INT;
  SET y = x * 2;
  RETURN y;
END;
CREATE PROCEDURE note_all(tag VARCHAR(10))
BEGIN
  INSERT INTO audit (note) SELECT CONCAT(tag, ';', name) FROM items;
  SELECT 'a
# Tabelle ''items''
INSERT INTO `items` VALUES (''9'');' AS text;
END;
)");
  // Carriage returns, one before a line feed, in a body.
  c.exec("CREATE PROCEDURE carriage() SELECT 'cr\rlf\r\nend' AS text");
  c.exec(R"(
CREATE TRIGGER items_added AFTER INSERT ON items FOR EACH ROW
BEGIN
  INSERT INTO audit (note) VALUES (CONCAT('added;', NEW.id));
  INSERT INTO audit (note) VALUES (twice(NEW.id));
END;
CREATE VIEW doubled AS SELECT id, twice(id) AS d FROM items;
CREATE EVENT nightly ON SCHEDULE EVERY 1 DAY STARTS '2030-01-01 03:00:00' DO
BEGIN
  DELETE FROM audit WHERE id < 0;
  INSERT INTO audit (note) VALUES ('nightly;');
END;
)");
  // Definitions made by latin1 and utf8mb3 clients, with non-ASCII
  // literals and names and explicit collations.
  c.exec("SET NAMES latin1");
  c.exec("CREATE VIEW v_latin1 AS SELECT _latin1 0xE4 AS c, '\xE4' AS `\xE4`,"
         " 'x' COLLATE latin1_german2_ci AS k");
  c.exec("CREATE TRIGGER items_named BEFORE INSERT ON items FOR EACH ROW"
         " SET NEW.name = IFNULL(NEW.name, '\xE4')");
  c.exec("SET NAMES utf8mb3");
  c.exec("CREATE VIEW v_utf8 AS SELECT 'x' COLLATE utf8mb3_swedish_ci AS c, '" +
         kAe + "' AS d, _latin1'" + kOe + "' AS e");
  c.exec("SET NAMES utf8mb4");
  c.exec("CREATE VIEW v_utf8mb4 AS SELECT '" + kEmoji + "' AS c,"
         " 'x' COLLATE utf8mb4_bin AS k");
}

// Every row of `sql`, its columns joined by tabs.
std::vector<std::string> rowsOf(ts::Connection& c, const std::string& sql,
                                const char* skipColumn = "") {
  std::vector<std::string> rows;
  MYSQL* h = c.handle();
  if (mysql_real_query(h, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << mysql_error(h) << "\n" << sql;
    return rows;
  }
  MYSQL_RES* r = mysql_store_result(h);
  while (MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr) {
    unsigned long* lengths = mysql_fetch_lengths(r);
    std::string text;
    for (unsigned i = 0; i < mysql_num_fields(r); ++i) {
      if (std::string(mysql_fetch_field_direct(r, i)->name) == skipColumn) continue;
      text += (row[i] ? std::string(row[i], lengths[i]) : "NULL") + "\t";
    }
    rows.push_back(text);
  }
  if (r) mysql_free_result(r);
  return rows;
}

// What a restore must give back: the definitions as the server stores
// them (unconverted, without creation times), the columns' collations, and
// the views' values.
std::vector<std::string> definitionsOf(const std::string& database) {
  ts::Connection c(database);
  c.exec("SET character_set_results = binary");
  std::vector<std::string> all;
  auto add = [&](const std::string& sql) {
    for (const std::string& row : rowsOf(c, sql, "Created")) all.push_back(row);
  };
  for (const char* trigger : {"items_added", "items_named"})
    add(std::string("SHOW CREATE TRIGGER ") + trigger);
  add("SHOW CREATE FUNCTION twice");
  add("SHOW CREATE PROCEDURE note_all");
  add("SHOW CREATE PROCEDURE carriage");
  add("SHOW CREATE EVENT nightly");
  for (const char* view : {"doubled", "v_latin1", "v_utf8", "v_utf8mb4"})
    add(std::string("SHOW CREATE VIEW ") + view);
  add("SELECT TABLE_NAME, COLUMN_NAME, COLLATION_NAME FROM"
      " information_schema.COLUMNS WHERE TABLE_SCHEMA = DATABASE() ORDER BY 1, 2");
  add("SELECT HEX(c), HEX(`" + kAe + "`), k FROM v_latin1");
  add("SELECT HEX(c), HEX(d), HEX(e) FROM v_utf8");
  add("SELECT HEX(c), k FROM v_utf8mb4");
  add("SELECT id, d FROM doubled ORDER BY id");
  return all;
}

// What the objects do: a row that fires both triggers, then a call.
std::vector<std::string> behaviourOf(const std::string& database) {
  ts::Connection c(database);
  c.exec("INSERT INTO items (id) VALUES (3); CALL note_all('t')");
  return rowsOf(c, "SELECT id, HEX(note) FROM audit ORDER BY id");
}

}  // namespace

TEST(WholeDatabase, DefinitionsRestoreLikeTheSourceAndThePeers) {
  ts::recreateDatabase(kObjects);
  {
    ts::Connection c(kObjects);
    createObjects(c);
  }
  const std::vector<std::string> source = definitionsOf(kObjects);
  ASSERT_EQ(source.size(), 29u);

  ts::TempDir dir, peerDir;
  const ts::ServerInfo& s = ts::server();
  const std::string dump = peerDir.path() + "/peer.sql";
  ASSERT_EQ(ts::shell("mariadb-dump --no-defaults -S " + quoteShell(s.socket) +
                      " -u " + quoteShell(s.user) + " -p" +
                      quoteShell(s.password) +
                      " --triggers --routines --events " + kObjects + " > " +
                      quoteShell(dump)),
            0);
  std::string errors;
  ASSERT_EQ(ts::restore(dump, kObjectsPeer, &errors), 0) << errors;
  // The peer's restore loses a carriage return before a line feed in a
  // body; every definition it gives back whole must come back from ours.
  const std::vector<std::string> peer = definitionsOf(kObjectsPeer);
  ASSERT_EQ(peer.size(), source.size());
  const std::vector<std::string> peerBehaviour = behaviourOf(kObjectsPeer);
  ASSERT_EQ(peerBehaviour.size(), 5u);

  Backup backup = backUp(dir, kObjects, "1110");
  ASSERT_FALSE(backup.file.empty());
  EXPECT_NE(backup.out.find("\n6 von 6 Routinen, Triggern und Events erfolgreich"
                            " gespeichert.\n"),
            std::string::npos)
      << backup.out;
  // Functions before the view that calls them, triggers after the rows.
  const std::string bytes = ts::readFile(backup.file);
  const char* order[] = {"# Tabelle 'items'", "INSERT INTO `items`",
                         "# Funktion 'twice'", "# Prozedur 'note_all'",
                         "# Tabelle 'doubled'", "# Trigger 'items_added'",
                         "# Trigger 'items_named'", "# Event 'nightly'"};
  for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i)
    EXPECT_LT(bytes.find(order[i - 1]), bytes.find(order[i])) << order[i];

  for (const char* client : {"latin1", ""}) {
    SCOPED_TRACE(std::string("client character set: ") + client);
    ASSERT_EQ(ts::restore(backup.file, kObjectsRestored, &errors, client), 0)
        << errors;
    EXPECT_EQ(errors, "");
    const std::vector<std::string> ours = definitionsOf(kObjectsRestored);
    EXPECT_EQ(ours, source);
    for (size_t i = 0; i < peer.size() && i < ours.size(); ++i)
      if (peer[i] == source[i]) {
        EXPECT_EQ(ours[i], peer[i]);
      }
    EXPECT_EQ(ts::checksums(kObjectsRestored), ts::checksums(kObjects));
    EXPECT_EQ(behaviourOf(kObjectsRestored), peerBehaviour);
  }

  // Definitions go with the structure switch.
  ts::TempDir bare;
  Backup rowsOnly = backUp(bare, kObjects, "0110");
  for (const char* opener : {"# Funktion", "# Prozedur", "# Trigger", "# Event"})
    EXPECT_EQ(ts::readFile(rowsOnly.file).find(opener), std::string::npos);
}

// Definitions, values and names that a restore's client could read
// otherwise than the server made them: a NUL; bodies made under ANSI_QUOTES
// that hide a command behind "--" and a control byte, a comment to the
// server only; a gbk body whose 0x81 0x5C is one character to the server
// and a gbk client; a latin1 body whose 0xE4 before a backslash, and a
// latin1 and a utf8mb4 name whose last byte before a backquote, a
// multi-byte client reads as one character. Values whose last byte before
// an escaped quote such a client reads with the backslash (a euro sign
// under gbk and big5, an A acute under sjis, a blob byte 0x81), each
// followed by SQL text, and tables named preis\u20AC (before the
// procedures) and \u010Das. Each comes back as the source has it, in every
// form of the file, whatever character set the client restores with, with
// or without --force; no hidden command or value's text runs, and a second
// run finds no change.
TEST(HostileDefinitions, EveryClientCharacterSetRestoresThemAsTheyWere) {
  using namespace std::string_literals;
  const char kDb[] = "vkt_rt_hostile";
  const char kRestored[] = "vkt_rt_hostile_restored";
  const std::string victim = "vkt_rt_hostile_victim";
  ts::recreateDatabase(victim);
  ts::Connection(victim).exec("CREATE TABLE keep1 (id INT)");
  ts::recreateDatabase(kDb);
  ts::Connection c(kDb);
  c.exec("CREATE TABLE t (id INT) ENGINE=MyISAM; INSERT INTO t VALUES (1)");
  c.exec("CREATE PROCEDURE nul_body() SELECT 'a\0b' AS v"s);
  const std::string command = "\\c drop table if exists " + victim + ".keep1 \\g";
  const std::string body = "declare \"a\\\" int; --\x01 " + command + " /* \"\nEND";
  c.exec("SET sql_mode = 'ANSI_QUOTES'");
  c.exec("CREATE PROCEDURE ansi_p() BEGIN " + body);
  c.exec("CREATE TRIGGER ansi_t BEFORE INSERT ON t FOR EACH ROW BEGIN " + body);
  c.exec("CREATE EVENT ansi_e ON SCHEDULE EVERY 1 DAY STARTS '2030-01-01 03:00:00'"
         " DO BEGIN " + body);
  c.exec("CREATE VIEW ansi_v AS SELECT 'a\0b' AS \"x\x01\""s);
  c.exec("SET sql_mode = '', NAMES gbk");
  c.exec("CREATE PROCEDURE gbk_p() SELECT '\xD6\xD0\x81\\' AS a --\x01 " + command + " '");
  c.exec("SET NAMES latin1");
  c.exec("CREATE PROCEDURE latin1_p() SELECT '\xE4\\' " + command + " '");
  c.exec("CREATE PROCEDURE `q\xE4`() SELECT 1 AS `\xE4`");
  c.exec("SET NAMES utf8mb4");
  // BEGIN and END as names open and close no block: both bodies stand as
  // they are.
  c.exec("CREATE PROCEDURE end_p() BEGIN SELECT 1 AS end; SELECT 1; END");
  c.exec("CREATE PROCEDURE begin_p() BEGIN SELECT begin, end FROM t; SELECT 1; END");
  c.exec("CREATE VIEW euro_v AS SELECT 1 AS `\xE2\x82\xAC`");
  // A quote, then SQL: as an SQL string.
  const std::string sql = "'''; DROP TABLE " + victim + ".keep1; -- '";
  c.exec("CREATE TABLE vals (id INT PRIMARY KEY, s VARCHAR(100), b BLOB)");
  c.exec("INSERT INTO vals VALUES (1, CONCAT(_utf8mb4 0xE282AC, " + sql + "), NULL),"
         " (2, CONCAT(_utf8mb4 0xC381, " + sql + "), NULL), (3, NULL, CONCAT(0x81, " +
         sql + "))");
  c.exec("CREATE TABLE `preis\xE2\x82\xAC` (id INT); INSERT INTO `preis\xE2\x82\xAC` VALUES (1);"
         "CREATE TABLE `\xC4\x8D" "as` (id INT); INSERT INTO `\xC4\x8D" "as` VALUES (2)");
  const char* objects[] = {"PROCEDURE nul_body", "PROCEDURE ansi_p", "TRIGGER ansi_t",
                           "EVENT ansi_e",       "VIEW ansi_v",      "PROCEDURE gbk_p",
                           "PROCEDURE latin1_p", "PROCEDURE `q\xC3\xA4`",
                           "VIEW euro_v",       "PROCEDURE end_p",  "PROCEDURE begin_p"};
  auto definitions = [&](const std::string& database) {
    ts::Connection d(database);
    d.exec("SET character_set_results = binary");
    std::vector<std::string> all;
    for (const char* object : objects)
      for (const std::string& row : rowsOf(d, std::string("SHOW CREATE ") + object, "Created"))
        all.push_back(row);
    return all;
  };
  const std::vector<std::string> source = definitions(kDb);
  ASSERT_EQ(source.size(), 11u);

  // The table's update time lies before the runs: only the definitions
  // could differ.
  ts::waitForNextSecond();
  ts::TempDir dir;
  Backup backup = backUp(dir, kDb, "1111");
  ASSERT_FALSE(backup.file.empty());
  EXPECT_NE(backup.out.find("\n9 von 9 Routinen, Triggern und Events erfolgreich"
                            " gespeichert.\n"),
            std::string::npos) << backup.out;
  const std::vector<std::string> lines = splitCrLf(ts::readFile(backup.file));
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& line) {
                            return line.compare(0, 20, "EXECUTE IMMEDIATE 0x") == 0;
                          }),
            10);  // q\xE4's DROP too
  // The file compressed, and with several rows a statement.
  ts::TempDir packedDir, sharedDir;
  const std::string files[] = {backup.file, backUp(packedDir, kDb, "1111", "", true).file,
                               backUp(sharedDir, kDb, "1111", "2").file};
  const std::map<std::string, std::string> sums = ts::checksums(kDb);
  ASSERT_EQ(sums.size(), 4u);
  for (const std::string& file : files)
    for (const char* client : {"gbk", "sjis", "big5", "utf8mb4", "latin1"})
      for (const bool force : {false, true}) {
        SCOPED_TRACE(file + ", client character set " + client + (force ? ", --force" : ""));
        std::string errors;
        EXPECT_EQ(ts::restore(file, kRestored, &errors, client, force), 0) << errors;
        EXPECT_EQ(errors, "");
        EXPECT_EQ(definitions(kRestored), source);
        EXPECT_EQ(ts::checksums(kRestored), sums);
        EXPECT_EQ(ts::Connection(victim).scalar(
                      "SELECT COUNT(*) FROM information_schema.TABLES WHERE"
                      " TABLE_SCHEMA = DATABASE() AND TABLE_NAME = 'keep1'"),
                  "1");
      }

  ts::ProgramRun again = ts::runProgram(dir.path(), "");
  EXPECT_NE(again.out.find("Es gab keine \xC4nderungen"), std::string::npos) << again.out;
  EXPECT_EQ(ts::listFiles(dir.path(), ".sql").size(), 1u);
}

// Triggers of one table, timing and event are made again in the order they
// fire, which is neither the order of their names nor of their making.
TEST(WholeDatabase, TriggersFireInTheirOrderAfterRestore) {
  const char* kFiring = "vkt_rt_firing";
  const char* kFiringRestored = "vkt_rt_firing_tool";
  ts::recreateDatabase(kFiring);
  {
    ts::Connection c(kFiring);
    c.exec(R"(
CREATE TABLE t (id INT, s VARCHAR(20)) ENGINE=InnoDB;
CREATE TRIGGER t_c BEFORE INSERT ON t FOR EACH ROW SET NEW.s = CONCAT(IFNULL(NEW.s, ''), 'c');
CREATE TRIGGER t_z BEFORE INSERT ON t FOR EACH ROW PRECEDES t_c SET NEW.s = CONCAT(IFNULL(NEW.s, ''), 'a');
CREATE TRIGGER t_a BEFORE INSERT ON t FOR EACH ROW FOLLOWS t_z SET NEW.s = CONCAT(IFNULL(NEW.s, ''), 'b');
CREATE TRIGGER t_u BEFORE UPDATE ON t FOR EACH ROW SET NEW.s = CONCAT(NEW.s, 'u');
)");
  }
  ts::TempDir dir;
  Backup backup = backUp(dir, kFiring, "1110");
  ASSERT_FALSE(backup.file.empty());
  std::string errors;
  ASSERT_EQ(ts::restore(backup.file, kFiringRestored, &errors), 0) << errors;
  for (const char* database : {kFiring, kFiringRestored}) {
    ts::Connection c(database);
    c.exec("INSERT INTO t (id) VALUES (1); UPDATE t SET id = 2");
    EXPECT_EQ(rowsOf(c, "SELECT id, s FROM t"), std::vector<std::string>{"2\tabcu\t"})
        << database;
  }
}
