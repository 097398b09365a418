// The shared pieces of the backup file format.
#include <gtest/gtest.h>

#include "backup/backup_format.h"

namespace bf = backup_format;

TEST(BackupFormat, NamesAndTemplates) {
  EXPECT_EQ(bf::fileName("/srv/b", "shop", "20261206143005"),
            "/srv/b/shop-20261206143005.sql");
  EXPECT_EQ(bf::fileName("", "shop", ""), "/shop-.sql");
  // Nothing in the database name or the stamp leads out of the save path.
  EXPECT_EQ(bf::fileName("/srv/b", "../../esc", "../x"), "/srv/b/.._.._esc-.._x.sql");
  EXPECT_EQ(bf::fileName("b", std::string("a\0b\nc\x7F\xFC", 7), "1\t2"),
            "b/a_b_c_\xFC-1_2.sql");
  EXPECT_EQ(bf::hashLine(), std::string(84, '#'));
  EXPECT_EQ(bf::quoteIdentifier("a`b"), "`a``b`");
  EXPECT_EQ(bf::dropLine("my table", false), "DROP TABLE IF EXISTS `my table`;");
  EXPECT_EQ(bf::dropLine("v", true), "DROP VIEW IF EXISTS `v`;");
  EXPECT_EQ(bf::rowLinePrefix("t", {}), "INSERT INTO `t` VALUES (");
  EXPECT_EQ(bf::rowLinePrefix("t`x", {"a", "b`c"}),
            "INSERT INTO `t``x` (`a`,`b``c`) VALUES (");
  EXPECT_TRUE(bf::isRowLine("INSERT INTO `t` VALUES ('1');"));
  EXPECT_FALSE(bf::isRowLine("  `INSERT` int(11) DEFAULT NULL,"));
  EXPECT_FALSE(bf::isRowLine("INSERT INTO t VALUES (1);"));
  EXPECT_EQ(bf::statementHead("t`x", {"a"}), "INSERT INTO `t``x` (`a`) VALUES");
  const std::string rowSession =
      "/*!40101 SET NAMES utf8mb4 */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */;"
      " /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;"
      " /*!40103 SET TIME_ZONE='+00:00' */;";
  EXPECT_EQ(bf::preambleLine("utf8mb4"),
            rowSession + " /*!40014 SET autocommit=0 */;");
  // Files written before the bulk-load statements had their rows read alike.
  EXPECT_TRUE(bf::rowsReadAlike(bf::preambleLine("utf8mb4"), "utf8mb4"));
  EXPECT_TRUE(bf::rowsReadAlike(rowSession, "utf8mb4"));
  EXPECT_FALSE(bf::rowsReadAlike(rowSession, "latin1"));
  EXPECT_FALSE(bf::rowsReadAlike(rowSession + " /*!40014 SET UNIQUE_CHECKS=0 */;", "utf8mb4"));
  // The client is told the file's own character set, in one word it takes.
  EXPECT_EQ(bf::clientCharsetLine("utf8mb4"), "/*!\\C utf8mb4 */");
  EXPECT_EQ(bf::clientCharsetLine("latin1"), "/*!\\C latin1 */");
  for (const char* odd : {"", "latin1 */", "gbk;", "utf8\\x"})
    EXPECT_EQ(bf::clientCharsetLine(odd), "") << odd;
  std::vector<std::string> header = bf::headerLines("shop", "06.12.2026 14:30:05");
  ASSERT_EQ(header.size(), 8u);
  EXPECT_EQ(header[2], "# Backup der Datenbank 'shop'");
  EXPECT_EQ(header[3], "# Erstellt: 06.12.2026 14:30:05");
  EXPECT_EQ(header[6], "/*M!999999\\- enable the sandbox mode */");
  EXPECT_EQ(header[7], "");
}

TEST(BackupFormat, FindsLineFeedsOnlyInsideQuotes) {
  struct Case {
    const char* sql;
    bool found;
  } cases[] = {
      {"CREATE TABLE `t` (\n  `a` int\n)", false},
      {"CREATE TABLE `x\nDROP` (\n  `a` int\n)", true},
      {"CREATE TABLE `t` (\n  `a\nb` int\n)", true},
      // Strings as the server prints them: LF escaped, quotes of any kind.
      {"  `a` int COMMENT 'c\\nd`e''f\\'',\n  `b` int", false},
      {"  `a` int DEFAULT 'x\ny',\n", true},
      {"select \"q\\\"`\" AS `x`\nfrom `t`", false},
      {"select 'a\\\nb'", true},
      {"`un``closed\n", true},
  };
  for (const Case& c : cases)
    EXPECT_EQ(bf::lineFeedInQuotes(c.sql), c.found) << c.sql;
  EXPECT_EQ(bf::headerLines("a\nb", "")[2], "# Backup der Datenbank 'a\\nb'");
}

TEST(BackupFormat, CommentLinesTellTheirSectionKind) {
  const struct {
    const char* line;
    bf::SectionKind kind;
  } cases[] = {
      {"# Tabelle 't'", bf::SectionKind::kTable},
      {"# Trigger 't'", bf::SectionKind::kTrigger},
      {"# Prozedur 'p'", bf::SectionKind::kProcedure},
      {"# Funktion 'f'", bf::SectionKind::kFunction},
      {"# Event 'e'", bf::SectionKind::kEvent},
      // Any other comment line with an apostrophe opens a table block.
      {"# Anything 'x'", bf::SectionKind::kTable},
      {"#Trigger 't'", bf::SectionKind::kTable},
      {"# Trigger t'", bf::SectionKind::kTable},
      {"# Trigger", bf::SectionKind::kNone},
      {"# Update: no quote", bf::SectionKind::kNone},
      {" # Trigger 't'", bf::SectionKind::kNone},
      {"DROP TRIGGER IF EXISTS `t`;", bf::SectionKind::kNone},
      {"", bf::SectionKind::kNone},
  };
  for (const auto& c : cases) EXPECT_EQ(bf::sectionKind(c.line), c.kind) << c.line;

  EXPECT_EQ(bf::sectionOpener(bf::SectionKind::kProcedure, "p'q"), "# Prozedur 'p'q'");
  EXPECT_EQ(bf::sectionKind(bf::sectionOpener(bf::SectionKind::kEvent, "e")),
            bf::SectionKind::kEvent);
}

TEST(BackupFormat, CommentNamesStayOnOneLineAndApart) {
  EXPECT_EQ(bf::commentName("plain \xE4 `x`'"), "plain \xE4 `x`'");
  EXPECT_EQ(bf::commentName("a\nb\rc\\d"), "a\\nb\\rc\\\\d");
  EXPECT_EQ(bf::commentName(std::string("t\0\x1f\x7f", 4)), "t\\x00\\x1F\\x7F");
  // The escape of a control byte differs from the same text typed.
  EXPECT_NE(bf::commentName("a\nb"), bf::commentName("a\\nb"));
}

// The log position line reads back as written; what is not one of its
// lines is no position, and a position it cannot hold is not written.
TEST(BackupFormat, LogPositionLineReadsBackAsWritten) {
  backup_format::LogPosition at;
  at.file = "mariadb-bin.000003";
  at.position = 18446744073709551ull;
  at.start = 1714557600;
  at.gtid = "0-1-5";
  const std::string line = backup_format::logPositionLine(at);
  EXPECT_EQ(line, "# Binlog 'mariadb-bin.000003' 18446744073709551 1714557600 0-1-5");
  backup_format::LogPosition read;
  ASSERT_TRUE(backup_format::parseLogPositionLine(line, &read));
  EXPECT_EQ(read.file, at.file);
  EXPECT_EQ(read.position, at.position);
  EXPECT_EQ(read.start, at.start);
  EXPECT_EQ(read.gtid, at.gtid);
  at.start = 0;
  at.gtid = "";
  EXPECT_EQ(backup_format::logPositionLine(at), "# Binlog 'mariadb-bin.000003' 18446744073709551 - -");
  ASSERT_TRUE(backup_format::parseLogPositionLine(backup_format::logPositionLine(at), &read));
  EXPECT_EQ(read.start, 0);
  EXPECT_EQ(read.gtid, "");
  for (const char* file : {"", "it's", "a b", "a\x01"}) {
    at.file = file;
    EXPECT_EQ(backup_format::logPositionLine(at), "") << file;
  }
  for (const char* other : {"# Kennung 't' 1 InnoDB :1:2", "# Binlog 'f' 12", "# Binlog 'f' x - -",
                            "# Binlog 'f' 12 - - more", "# Binlog 'f'12 - -"})
    EXPECT_FALSE(backup_format::parseLogPositionLine(other, &read)) << other;
}
