// Sections of triggers, routines and events: how they are laid out, and
// that a reader finds their end whatever their bodies hold.
#include "backup/object_section.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace os = object_section;
using namespace std::string_literals;
using backup_format::SectionKind;

namespace {

ObjectDefinition procedure(const std::string& name, const std::string& body) {
  ObjectDefinition object;
  object.kind = SectionKind::kProcedure;
  object.name = name;
  object.createText = "CREATE DEFINER=`u`@`h` PROCEDURE `" + name + "`()\n" + body;
  object.characterSet = "latin1";
  object.collation = "latin1_swedish_ci";
  object.sqlMode = "STRICT_TRANS_TABLES,NO_ENGINE_SUBSTITUTION";
  object.hasSqlMode = true;
  return object;
}

// The lines a reader meets after the section's first line; each line that
// the writer gave with LFs inside comes back as several lines.
os::SectionText readBack(const std::vector<std::string>& lines) {
  os::SectionText section;
  std::string text = os::joinLines(lines);
  size_t start = 0;
  for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
    section.take(text.substr(start, lf - start));
  section.take(text.substr(start));
  return section;
}

}  // namespace

TEST(ObjectSection, ProcedureIsWrappedInItsOwnSession) {
  ObjectDefinition p = procedure("p", "BEGIN SELECT 1; SELECT 2; END");
  const std::vector<std::string> expected = {
      std::string(84, '#'),
      "DELIMITER ;;",
      "DROP PROCEDURE IF EXISTS `p`;;",
      "/*!50003 SET @saved_cs_client = @@character_set_client,"
      " @saved_cs_results = @@character_set_results,"
      " @saved_col_connection = @@collation_connection,"
      " @saved_sql_mode = @@sql_mode, character_set_client = latin1,"
      " character_set_results = latin1,"
      " collation_connection = latin1_swedish_ci,"
      " sql_mode = 'STRICT_TRANS_TABLES,NO_ENGINE_SUBSTITUTION' */;;",
      p.createText + ";;",
      "/*!50003 SET character_set_client = @saved_cs_client,"
      " character_set_results = @saved_cs_results,"
      " collation_connection = @saved_col_connection,"
      " sql_mode = @saved_sql_mode */;;",
      "DELIMITER ;",
      "",
  };
  EXPECT_EQ(os::objectLines(p, true), expected);
  std::vector<std::string> withoutDrop = expected;
  withoutDrop.erase(withoutDrop.begin() + 2);
  EXPECT_EQ(os::objectLines(p, false), withoutDrop);

  ObjectDefinition event = p;
  event.kind = SectionKind::kEvent;
  event.timeZone = "Europe/Berlin";
  event.hasTimeZone = true;
  std::vector<std::string> lines = os::objectLines(event, true);
  ASSERT_EQ(lines.size(), expected.size());
  EXPECT_EQ(lines[2], "DROP EVENT IF EXISTS `p`;;");
  EXPECT_NE(lines[3].find(", time_zone = 'Europe/Berlin' */;;"), std::string::npos);
  EXPECT_NE(lines[5].find(", time_zone = @saved_time_zone */;;"), std::string::npos);
}

TEST(ObjectSection, NothingIsWrittenThatCouldBreakOutOfItsStatement) {
  ObjectDefinition missing = procedure("p", "");
  missing.error = "no privilege";
  ObjectDefinition oddMode = procedure("p", "SELECT 1");
  oddMode.sqlMode = "ANSI' */; DROP TABLE t; /*";
  ObjectDefinition oddCharset = procedure("p", "SELECT 1");
  oddCharset.characterSet = "latin1 */";
  ObjectDefinition view = procedure("v", "SELECT 1");
  view.hasSqlMode = false;
  for (const ObjectDefinition& object : {missing, oddMode, oddCharset}) {
    EXPECT_TRUE(os::objectLines(object, true).empty());
    EXPECT_TRUE(os::viewLines(object, true).empty());
  }
  EXPECT_FALSE(os::viewLines(view, true).empty());

  // What each body is written as: on MariaDB as it stands where every
  // reading agrees on it and the client only sends it, else in the hex
  // form; on MySQL as it stands where the client only sends it, else not
  // at all. The stock client acts on a backslash command outside what it
  // takes for strings and comments, and the server takes "--" and a
  // control byte for a comment where the client does not.
  enum Form { kAsItStands, kHex, kRefused };
  const struct {
    std::string body;
    const char* mode;  // added to the procedure's
    const char* characterSet;
    Form mariadb;
    Form mysql;
  } bodies[] = {
      {"BEGIN\n--\x01 \\! touch /tmp/x #\nSELECT 1; END", "", "latin1", kHex, kRefused},
      {"BEGIN\n--\x01 \\c GRANT ALL ON *.* TO x\nSELECT 1; END", "", "latin1", kHex, kRefused},
      {"BEGIN\n/*!99999 \\u mysql */ SELECT 1; END", "", "latin1", kHex, kRefused},
      {"BEGIN\n--\x01 it's\nSELECT 1; END", "", "latin1", kHex, kRefused},  // a string to the client
      {"BEGIN\n--\x01 x\\\nSELECT 1; END", "", "latin1", kHex, kRefused},  // a byte dropped
      {"BEGIN\n--\x7F /*\nSELECT 1; END", "", "latin1", kHex, kRefused},
      {"BEGIN\n/*!99999 ' */ SELECT 1; END", "", "latin1", kHex, kRefused},
      {"BEGIN SELECT 'C:\\'; END", "", "latin1", kHex, kRefused},
      // The server takes "--" and a control byte for a comment wherever it
      // stands.
      {"SELECT 'a\x02b\x7F' AS c", "", "latin1", kHex, kAsItStands},
      // A NUL stops the client.
      {"SELECT 'a\0b'"s, "", "latin1", kHex, kRefused},
      // A backslash means what the client's idea of the mode says.
      {"BEGIN SELECT 'a\\'b', \"c\\\"d\", `e\\`, \\N; END", "", "latin1", kHex, kAsItStands},
      {"BEGIN\n-- C:\\dir it's\n# \\q\n/* \\c ' */ SELECT 1; END", "", "latin1", kHex, kAsItStands},
      {"BEGIN\n--\t\\q\nSELECT 'C:\\'; END", ",NO_BACKSLASH_ESCAPES", "latin1", kHex, kAsItStands},
      // Under ANSI_QUOTES a double quote encloses a name without escapes,
      // to the client as well, once the server tells it the mode.
      {"BEGIN declare \"a\\\" int; --\x01 \\c drop table if exists victim.keep1 \\g /* \"\nEND",
       ",ANSI_QUOTES", "latin1", kHex, kAsItStands},
      {"SELECT \"a\" AS b", ",ANSI_QUOTES", "latin1", kHex, kAsItStands},
      {"SELECT \"a\" AS b", "", "latin1", kAsItStands, kAsItStands},
      {"SELECT \"a\" AS b", ",ANSI", "latin1", kHex, kAsItStands},
      // A client of a multi-byte character set reads a byte over 0x7F with
      // the next one, whatever character set the file sets. (On MySQL the
      // single-byte reading alone judges.)
      {"SELECT '\x81\\' \\c drop table victim.keep1 \\g '", "", "gbk", kHex, kAsItStands},
      {"SELECT '\xE4' AS b", "", "latin1", kHex, kAsItStands},
      {"SELECT '\xC3\xA4' AS b", "", "utf8mb4", kHex, kAsItStands},
      // Where the check cannot place every semicolon inside a block (an
      // older server skips a versioned comment), it would refuse the text
      // as it stands.
      {"BEGIN SELECT 1; /*!50001 SELECT 2; */ END", "", "latin1", kHex, kAsItStands},
      {"BEGIN SELECT 1 AS end; SELECT 2; END", "", "latin1", kAsItStands, kAsItStands},
      {"BEGIN SELECT begin, end FROM t; END", "", "latin1", kAsItStands, kAsItStands},
      // Plain text stands as it is.
      {"BEGIN\n-- it's\n# \"\n\tSELECT 'a;b', \"c\" AS `d`;\r\nEND", "", "latin1", kAsItStands, kAsItStands},
  };
  for (const auto& b : bodies) {
    for (bool mariadb : {true, false}) {
      ObjectDefinition object = procedure("p", b.body);
      object.sqlMode += b.mode;
      object.characterSet = b.characterSet;
      object.hexFormTaken = mariadb;
      const std::vector<std::string> lines = os::objectLines(object, true);
      const Form expected = mariadb ? b.mariadb : b.mysql;
      SCOPED_TRACE(b.body + (mariadb ? " on MariaDB" : " on MySQL"));
      if (expected == kRefused) {
        EXPECT_TRUE(lines.empty());
        continue;
      }
      ASSERT_EQ(lines.size(), 8u);
      const std::string delimiter = lines[1].substr(10);
      EXPECT_EQ(lines[4], (expected == kHex ? "EXECUTE IMMEDIATE 0x" +
                                                  backup_format::hexDigits(object.createText)
                                            : object.createText) +
                              delimiter);
    }
  }
  // The DROP statement runs before the object's session: a name that not
  // every reading agrees on is written in the hex form too.
  ObjectDefinition named = procedure("p\xC3\xA4", "SELECT 1");
  named.hexFormTaken = true;
  std::vector<std::string> lines = os::objectLines(named, true);
  ASSERT_EQ(lines.size(), 8u);
  EXPECT_EQ(lines[1], "DELIMITER ;;");
  EXPECT_EQ(lines[2], "EXECUTE IMMEDIATE 0x" +
                          backup_format::hexDigits("DROP PROCEDURE IF EXISTS `p\xC3\xA4`") + ";;");
  named.hexFormTaken = false;
  EXPECT_EQ(os::objectLines(named, true)[2], "DROP PROCEDURE IF EXISTS `p\xC3\xA4`;;");

  // A view's statement ends at the first ";" the client finds.
  const struct {
    std::string text;
    Form mariadb;
    Form mysql;
  } views[] = {
      {"CREATE VIEW `v` AS SELECT 'a;' AS `b`, \"c\" AS d", kAsItStands, kAsItStands},
      {"CREATE VIEW `v` AS SELECT 'a;\\'' AS `b\\`", kHex, kAsItStands},
      {"CREATE VIEW `v` AS SELECT 1 /*!99999 \\u mysql */", kHex, kRefused},
      {"CREATE VIEW `v` AS SELECT 1 AS `\x01`", kHex, kAsItStands},
      {"CREATE VIEW `v` AS SELECT 1 AS `\0`"s, kHex, kRefused},
  };
  for (const auto& v : views) {
    for (bool mariadb : {true, false}) {
      view.createText = v.text;
      view.hexFormTaken = mariadb;
      const Form expected = mariadb ? v.mariadb : v.mysql;
      lines = os::viewLines(view, true);
      SCOPED_TRACE(v.text + (mariadb ? " on MariaDB" : " on MySQL"));
      if (expected == kRefused) {
        EXPECT_TRUE(lines.empty());
        continue;
      }
      ASSERT_EQ(lines.size(), 4u);
      EXPECT_EQ(lines[2], (expected == kHex ? "EXECUTE IMMEDIATE 0x" +
                                                  backup_format::hexDigits(v.text)
                                            : v.text) +
                              ";");
    }
  }
}

TEST(ObjectSection, DelimiterOccursOnlyAtTheStatementEnds) {
  auto runs = [](size_t length) {
    std::string text;
    for (char c : std::string(";$/|")) text += std::string(length, c) + " ";
    return text;
  };
  const struct {
    std::vector<std::string> statements;
    const char* delimiter;
  } cases[] = {
      {{"SELECT 1", "BEGIN SELECT 1; END"}, ";;"},
      {{"SELECT ';;'"}, "$$"},
      {{"SELECT 1;"}, "$$"},  // ";;" would end the statement a byte early
      {{"SELECT ';;', '$$', '//', '||'"}, ";;;"},
      {{"SELECT ';;;', '$$', '//', '||'", "SELECT 1;"}, "$$$"},
      // The stock client keeps fifteen bytes of a delimiter: past fourteen
      // of each byte, a number after ";;" that follows ";;" nowhere.
      {{"SELECT '" + runs(14) + "'"}, ";;;;;;;;;;;;;;;"},
      {{"SELECT '" + runs(15) + "'"}, ";;00"},
      {{"SELECT '" + runs(15) + ";;00 ;;01'"}, ";;02"},
      {{"SELECT '" + runs(64) + ";;00" + runs(64) + "'"}, ";;000"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(os::delimiterFor(c.statements), c.delimiter) << c.statements[0];
    // The check takes each as one the writer chooses.
    EXPECT_TRUE(os::isDelimiterForm(c.delimiter)) << c.delimiter;
  }
  for (const char* other : {";", "GO", ";$", ";;0a", "////////////////", ";;00000000000000"})
    EXPECT_FALSE(os::isDelimiterForm(other)) << other;
}

TEST(ObjectSection, ReaderSkipsBodiesWhateverTheirLinesHold) {
  // A body whose lines look like a delimiter change, a section opener, a
  // row line and a delimiter at a line end; and a name with a line feed.
  const std::string body =
      "BEGIN SELECT 'a\n"
      "DELIMITER ;\n"
      "# Tabelle 't'\n"
      "INSERT INTO `t` VALUES ('1');\n"
      "x;;\n"
      "DELIMITER ;\n"
      "'; END";
  ObjectDefinition p = procedure("p\n# Trigger 'q'", body);
  std::vector<std::string> lines = os::objectLines(p, true);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[1], "DELIMITER $$");
  // Split as a reader splits the file: the statements stay open from the
  // "DELIMITER $$" line up to the last "DELIMITER ;".
  std::vector<std::string> fileLines;
  std::string text = os::joinLines(lines);
  size_t start = 0;
  for (size_t lf; (lf = text.find('\n', start)) != std::string::npos; start = lf + 1)
    fileLines.push_back(text.substr(start, lf - start));
  fileLines.push_back(text.substr(start));
  const size_t n = fileLines.size();
  ASSERT_EQ(fileLines[n - 2], "DELIMITER ;");
  os::SectionText section;
  for (size_t i = 0; i < n; ++i) {
    section.take(fileLines[i]);
    EXPECT_EQ(section.inStatements(), i >= 1 && i + 2 < n) << i << ": " << fileLines[i];
  }
  EXPECT_EQ(section.text(), text);
}

TEST(ObjectSection, ChangesAreAddedDroppedChangedOrMovedObjects) {
  const bool drop = true;
  std::vector<ObjectDefinition> before = {
      procedure("a", "SELECT 1"), procedure("b", "SELECT 2"),
      procedure("c", "SELECT 3")};
  auto previousOf = [&](const std::vector<ObjectDefinition>& objects) {
    std::vector<os::PreviousObject> previous;
    for (const ObjectDefinition& object : objects)
      previous.push_back({object.kind, backup_format::commentName(object.name),
                          readBack(os::objectLines(object, drop))});
    return previous;
  };
  const std::vector<os::PreviousObject> previous = previousOf(before);

  EXPECT_EQ(os::countChanges(previous, before, drop), 0);
  EXPECT_EQ(os::countChanges(previous, before, !drop), 3);

  std::vector<ObjectDefinition> changed = before;
  changed[1].createText += " ";
  EXPECT_EQ(os::countChanges(previous, changed, drop), 1);

  std::vector<ObjectDefinition> dropped = {before[0], before[2]};
  EXPECT_EQ(os::countChanges(previous, dropped, drop), 1);

  std::vector<ObjectDefinition> added = before;
  added.insert(added.begin() + 1, procedure("a2", "SELECT 4"));
  EXPECT_EQ(os::countChanges(previous, added, drop), 1);

  std::vector<ObjectDefinition> moved = {before[0], before[2], before[1]};
  EXPECT_EQ(os::countChanges(previous, moved, drop), 1);

  // Same name, other kind.
  std::vector<ObjectDefinition> otherKind = before;
  otherKind[0].kind = SectionKind::kFunction;
  EXPECT_EQ(os::countChanges(previous, otherKind, drop), 2);

  // A section in the hex form reads back as it was written.
  std::vector<ObjectDefinition> hexForm = {procedure("h", "SELECT 'a\0b'"s)};
  hexForm[0].hexFormTaken = true;
  EXPECT_EQ(os::countChanges(previousOf(hexForm), hexForm, drop), 0);

  // A previous section cut short.
  std::vector<os::PreviousObject> cut = previous;
  cut[2].section = os::SectionText();
  cut[2].section.take(std::string(84, '#'));
  EXPECT_EQ(os::countChanges(cut, before, drop), 1);
}
