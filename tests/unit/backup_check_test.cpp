// The check of a backup file without a server: a file as the writer lays
// it out passes, plain and compressed; each kind of damage fails with the
// line (or frame) it is on.
#include "backup/backup_check.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "backup/backup_file.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/object_section.h"

namespace bf = backup_format;
using backup_format::SectionKind;

namespace {

ObjectDefinition object(SectionKind kind, const std::string& name,
                        const std::string& createText) {
  ObjectDefinition o;
  o.kind = kind;
  o.name = name;
  o.createText = createText;
  o.characterSet = "utf8mb4";
  o.collation = "utf8mb4_general_ci";
  if (kind != SectionKind::kNone) {
    o.sqlMode = "STRICT_TRANS_TABLES";
    o.hasSqlMode = true;
  }
  if (kind == SectionKind::kEvent) {
    o.timeZone = "+00:00";
    o.hasTimeZone = true;
  }
  return o;
}

void add(std::vector<std::string>* lines, const std::vector<std::string>& more) {
  lines->insert(lines->end(), more.begin(), more.end());
}

void addTable(std::vector<std::string>* lines, const std::string& name,
              const std::vector<std::string>& create,
              const std::vector<std::string>& rows) {
  add(lines, {bf::sectionOpener(SectionKind::kTable, name),
              std::string(bf::kUpdateCommentPrefix) + "07.12.2026 12:12:22'", bf::hashLine(),
              bf::dropLine(name, false)});
  add(lines, create);
  lines->push_back("");
  add(lines, rows);
  lines->push_back("");
}

void addObject(std::vector<std::string>* lines, const ObjectDefinition& o) {
  const std::vector<std::string> section = object_section::objectLines(o, true);
  ASSERT_FALSE(section.empty()) << o.name;
  lines->push_back(bf::sectionOpener(o.kind, o.name));
  for (const std::string& line : section) {
    // A line the writer gives with LFs inside is several lines in the file.
    std::size_t start = 0;
    for (std::size_t lf; (lf = line.find('\n', start)) != std::string::npos; start = lf + 1)
      lines->push_back(line.substr(start, lf - start));
    lines->push_back(line.substr(start));
  }
}

// A file as the writer lays it out: a table of one row a statement, one
// of several rows a statement, one with past rows, every kind of object,
// a definition as EXECUTE IMMEDIATE of a hex literal, a view.
std::vector<std::string> goodLines() {
  std::vector<std::string> lines = bf::headerLines("shop", "07.12.2026 12:12:25");
  add(&lines, {bf::clientCharsetLine("utf8mb4"), bf::preambleLine("utf8mb4"), ""});
  addTable(&lines, "items",
           {"CREATE TABLE `items` (", "  `id` int(11) NOT NULL,",
            "  `name` varchar(20) DEFAULT 'a;b',", "  PRIMARY KEY (`id`)",
            ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;"},
           {"INSERT INTO `items` VALUES ('1','eins');",
            "INSERT INTO `items` VALUES ('2','z\\'we\\\\i;');",
            "INSERT INTO `items` VALUES ('3',NULL);"});
  addTable(&lines, "shared",
           {"CREATE TABLE `shared` (", "  `id` int(11) NOT NULL", ") ENGINE=InnoDB;"},
           {"INSERT INTO `shared` VALUES", "('1'),", "('2');",
            "INSERT INTO `shared` VALUES", "('3');"});
  add(&lines, {bf::sectionOpener(SectionKind::kTable, "h"),
               std::string(bf::kUpdateCommentPrefix) + "'", bf::hashLine(),
               bf::dropLine("h", false), "CREATE TABLE `h` (", "  `id` int(11) NOT NULL,",
               "  `v` varchar(10) DEFAULT NULL", ") ENGINE=InnoDB WITH SYSTEM VERSIONING;",
               "", bf::kHistoryOnLine,
               "INSERT INTO `h` (`id`,`v`,`row_start`,`row_end`) VALUES",
               "('1','a','2026-12-07 20:26:34.862024','2026-12-07 20:26:34.866028'),",
               "('1','b','2026-12-07 20:26:34.866028','2038-01-19 03:14:07.999999');",
               "", bf::kHistoryOffLine, ""});
  addObject(&lines, object(SectionKind::kFunction, "twice",
                           "CREATE FUNCTION `twice`(x INT) RETURNS int(11)\n"
                           "BEGIN\n  RETURN x * 2; -- doubled\nEND"));
  addObject(&lines, object(SectionKind::kProcedure, "hexed",
                           std::string(bf::kHexStatementPrefix) +
                               bf::hexDigits("CREATE PROCEDURE `hexed`() SELECT '\\u'")));
  // A name over 0x7F: its DROP too is a hex statement.
  ObjectDefinition named = object(SectionKind::kProcedure, "h\xC3\xA4x",
                                  "CREATE PROCEDURE `h\xC3\xA4x`() SELECT 1");
  named.hexFormTaken = true;
  addObject(&lines, named);
  add(&lines, {bf::sectionOpener(SectionKind::kTable, "v"),
               std::string(bf::kUpdateCommentPrefix) + "'", bf::hashLine()});
  add(&lines, object_section::viewLines(
                  object(SectionKind::kNone, "v",
                         "CREATE VIEW `v` AS select `items`.`id` AS `id` from `items`"),
                  true));
  lines.push_back("");
  addObject(&lines, object(SectionKind::kTrigger, "tr",
                           "CREATE TRIGGER `tr` BEFORE INSERT ON `items` FOR EACH ROW\n"
                           "BEGIN\n  SET NEW.name = 'x;;y';\n\n# not a section\nEND"));
  addObject(&lines, object(SectionKind::kEvent, "ev",
                           "CREATE EVENT `ev` ON SCHEDULE EVERY 1 DAY DO DELETE FROM items"));
  add(&lines, {bf::kCommitLine, bf::settingsLine(bf::settingsText(true, true, true)),
               bf::logPositionLine({"mariadb-bin.000002", 1234, 1796675100, "0-1-7"}),
               bf::identityLine("items", "1796675194 InnoDB :30:17"),
               bf::identityLine("h", "1796675194 InnoDB :31:18")});
  return lines;
}

std::string join(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\r\n";
  return text;
}

// The place of the first line that is `line` (from 1).
std::size_t lineOf(const std::vector<std::string>& lines, const std::string& line) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i] == line) return i + 1;
  ADD_FAILURE() << "no line " << line;
  return 0;
}

// The place of the first line that begins with `start` (from 1).
std::size_t lineStarting(const std::vector<std::string>& lines, const std::string& start) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].compare(0, start.size(), start) == 0) return i + 1;
  ADD_FAILURE() << "no line begins with " << start;
  return 0;
}

// Moves the section that `opener` opens to before the line `before`.
void moveSection(std::vector<std::string>* lines, const std::string& opener,
                 const std::string& before) {
  const std::size_t from = lineOf(*lines, opener) - 1;
  // A table's update line holds apostrophes too.
  std::size_t to = from + (bf::sectionKind(opener) == SectionKind::kTable ? 3 : 1);
  while (to < lines->size() && bf::sectionKind((*lines)[to]) == SectionKind::kNone) ++to;
  const std::vector<std::string> section(lines->begin() + from, lines->begin() + to);
  lines->erase(lines->begin() + from, lines->begin() + to);
  const std::size_t at = lineOf(*lines, before) - 1;
  lines->insert(lines->begin() + at, section.begin(), section.end());
}

std::string faultsOf(const backup_check::Report& report) {
  std::string text;
  for (const backup_check::Fault& fault : report.faults)
    text += std::to_string(fault.line) + "/" + std::to_string(fault.frame) + ": " +
            fault.why + "\n";
  return text;
}

bool faultAt(const backup_check::Report& report, std::uint64_t line, std::int64_t frame = -1,
             const std::string& why = "") {
  for (const backup_check::Fault& fault : report.faults)
    if (fault.line == line && fault.frame == frame && (why.empty() || fault.why == why))
      return true;
  return false;
}

// `text` written as the program writes a compressed file; its path.
std::string packed(const std::string& dir, const std::string& text) {
  const std::string path = dir + "/file.sql.zst";
  BackupFile out;
  EXPECT_TRUE(out.create(path, true));
  std::size_t start = 0;
  bool inRows = false;
  for (std::size_t lf; (lf = text.find("\r\n", start)) != std::string::npos; start = lf + 2) {
    const std::string_view line = std::string_view(text).substr(start, lf - start);
    if (line.empty() && inRows) out.endRows();
    if (line.empty()) inRows = false;
    if (text[start] == '#') out.startFrame();
    if (!inRows && backup_format::isRowsBlockLine(line)) {
      out.beginRows();
      inRows = true;
    }
    out.writeLine(line);
  }
  EXPECT_TRUE(out.finish());
  return path;
}

class Scratch {
 public:
  Scratch() {
    char name[] = "/tmp/vkt-check-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~Scratch() { std::system(("rm -rf " + path_).c_str()); }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

std::string readAll(const std::string& path) {
  std::string bytes;
  FILE* file = std::fopen(path.c_str(), "rb");
  char buffer[65536];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
    bytes.append(buffer, n);
  std::fclose(file);
  return bytes;
}

void writeAll(const std::string& path, const std::string& bytes) {
  FILE* file = std::fopen(path.c_str(), "wb");
  std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
}

}  // namespace

TEST(BackupCheck, FilesAsWrittenHold) {
  const std::string text = join(goodLines());
  const backup_check::Report plain = backup_check::checkText(text);
  EXPECT_TRUE(plain.holds()) << faultsOf(plain);
  EXPECT_EQ(plain.summary.tables, 3u);
  EXPECT_EQ(plain.summary.views, 1u);
  EXPECT_EQ(plain.summary.rows, 8u);
  EXPECT_EQ(plain.summary.routines, 3u);
  EXPECT_EQ(plain.summary.triggers, 1u);
  EXPECT_EQ(plain.summary.events, 1u);
  EXPECT_EQ(plain.summary.bytes, text.size());

  Scratch dir;
  const backup_check::Report zstd = backup_check::checkFile(packed(dir.path(), text));
  EXPECT_TRUE(zstd.holds()) << faultsOf(zstd);
  EXPECT_EQ(zstd.summary.rows, 8u);

  // Written before the client's character set line (bytes over 0x7F
  // among them): sound as it was, for the program's loader and a client
  // in the file's character set.
  std::vector<std::string> old = goodLines();
  old.erase(old.begin() + 8);
  const backup_check::Report before = backup_check::checkText(join(old));
  EXPECT_TRUE(before.holds()) << faultsOf(before);

  // A table with past rows but none at all: nothing between its history
  // lines.
  std::vector<std::string> empty = goodLines();
  const auto on = std::find(empty.begin(), empty.end(), bf::kHistoryOnLine);
  const auto off = std::find(on, empty.end(), bf::kHistoryOffLine);
  empty.erase(on + 1, off - 1);
  const backup_check::Report none = backup_check::checkText(join(empty));
  EXPECT_TRUE(none.holds()) << faultsOf(none);
}

// Each case damages the good file's lines and names the line the fault
// must be told on.
TEST(BackupCheck, EachDamageFailsWithItsLine) {
  using Lines = std::vector<std::string>;
  struct Case {
    const char* what;
    std::string why;  // the fault told on that line
    std::function<std::size_t(Lines&)> damage;  // the line of the fault
  };
  const Case cases[] = {
      {"rows before their CREATE", console_text::kCheckRowsBeforeCreate,
       [](Lines& l) {
         const std::size_t drop = lineOf(l, bf::dropLine("items", false));
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('1','eins');");
         const std::string moved = l[row - 1];
         l.erase(l.begin() + row - 1);
         l.insert(l.begin() + drop - 1, {moved, ""});
         return drop;
       }},
      {"a row naming another table", console_text::kCheckRowOtherTable,
       [](Lines& l) {
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('3',NULL);");
         l[row - 1] = "INSERT INTO `shared` VALUES ('3');";
         return row;
       }},
      {"a wrong column count", console_text::checkColumnCount(1, 2),
       [](Lines& l) {
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('1','eins');");
         l[row - 1] = "INSERT INTO `items` VALUES ('1');";
         return row;
       }},
      {"a wrong column count after the first row", console_text::checkColumnCount(1, 2),
       [](Lines& l) {
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('3',NULL);");
         l[row - 1] = "INSERT INTO `items` VALUES ('3');";
         return row;
       }},
      {"a wrong column count, a statement's first row", console_text::checkColumnCount(2, 1),
       [](Lines& l) {
         const std::size_t row = lineOf(l, "('1'),");
         l[row - 1] = "('1','x'),";
         return row;
       }},
      {"a wrong column count, several rows a statement", console_text::checkColumnCount(2, 1),
       [](Lines& l) {
         const std::size_t row = lineOf(l, "('2');");
         l[row - 1] = "('2','x');";
         return row;
       }},
      {"a NUL byte in a row", console_text::kCheckNul,
       [](Lines& l) {
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('3',NULL);");
         l[row - 1] = std::string("INSERT INTO `items` VALUES ('3','\0');", 37);
         return row;
       }},
      {"a NUL byte in a statement", console_text::kCheckNul,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "  `id` int(11) NOT NULL,");
         l[line - 1] = std::string("  `id` int(11) NOT\0 NULL,", 25);
         return line;
       }},
      {"a string left open in a definition", console_text::kCheckLeftOpen,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "  `name` varchar(20) DEFAULT 'a;b',");
         l[line - 1] = "  `name` varchar(20) DEFAULT 'a;b,";
         return line;
       }},
      {"a string left open in a row", console_text::kCheckRowShape,
       [](Lines& l) {
         const std::size_t row = lineOf(l, "('1'),");
         l[row - 1] = "('1),";
         return row;
       }},
      {"a client command in a body", console_text::kCheckCommand,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "  RETURN x * 2; -- doubled");
         l.insert(l.begin() + line, "  \\! sh -c id");
         return line + 1;
       }},
      {"a client command word at a statement's start", console_text::kCheckCommand,
       [](Lines& l) {
         const std::size_t line = lineOf(l, bf::dropLine("shared", false));
         l.insert(l.begin() + line - 1, "use mysql");
         return line;
       }},
      {"a delimiter inside an object's statement", console_text::kCheckDelimiterInside,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "  SET NEW.name = 'x;;y';");
         std::size_t command = line;
         while (l[command - 1].compare(0, 10, "DELIMITER ") != 0) --command;
         const std::string delimiter = l[command - 1].substr(10);
         l[line - 1] = "  SET NEW.name = 'x' " + delimiter + " SELECT 1;";
         return line;
       }},
      {"a row line outside a rows block", console_text::kCheckRowOutside,
       [](Lines& l) {
         const std::size_t line = lineOf(l, bf::kHistoryOffLine);
         l.insert(l.begin() + line, "INSERT INTO `h` VALUES ('9','z');");
         return line + 1;
       }},
      {"a statement of several rows not closed", console_text::kCheckNotEnded,
       [](Lines& l) {
         const std::size_t row = lineOf(l, "('3');");
         l[row - 1] = "('3'),";
         return row;
       }},
      {"a line end without CR", console_text::kCheckNoCrLf,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "INSERT INTO `items` VALUES ('3',NULL);");
         l[line - 1] += "\nINSERT INTO `items` VALUES ('4','x');";  // ends in LF alone
         return line;
       }},
      {"a byte after a row's end, its line ended by LF alone", console_text::kCheckNoCrLf,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "INSERT INTO `items` VALUES ('3',NULL);");
         l[line - 1] = "INSERT INTO `items` VALUES ('3',NULL);x\nINSERT INTO `items` VALUES ('4','x');";
         return line;
       }},
      {"no sandbox line", console_text::kCheckNoSandbox, [](Lines& l) { l[6] = ""; return std::size_t{7}; }},
      // The client's character set line: only right before the preamble,
      // naming its set.
      {"a character set line naming another set", console_text::kCheckClientCharset,
       [](Lines& l) { l[8] = bf::clientCharsetLine("gbk"); return std::size_t{9}; }},
      // In gbk '\x81\\' is one character: the client ends the string at the
      // next quote and runs what follows.
      {"a set whose characters may end in a backslash", console_text::kCheckCharsetNotByteWise,
       [](Lines& l) {
         l[8] = bf::clientCharsetLine("gbk");
         l[9] = bf::preambleLine("gbk");
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('3',NULL);");
         l[row - 1] = "INSERT INTO `items` VALUES ('3','\x81\\');DROP DATABASE victim;-- ');";
         return std::size_t{10};
       }},
      {"a character set line in the header", console_text::kCheckNotHeader,
       [](Lines& l) { std::swap(l[7], l[8]); return std::size_t{8}; }},
      {"a character set line in a table's body", console_text::kCheckCommand,
       [](Lines& l) {
         const std::size_t line = lineOf(l, bf::dropLine("shared", false));
         l.insert(l.begin() + line - 1, bf::clientCharsetLine("gbk"));
         return line;
       }},
      {"a character set line between sections", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, bf::sectionOpener(SectionKind::kEvent, "ev"));
         l.insert(l.begin() + line - 1, bf::clientCharsetLine("utf8mb4"));
         return line;
       }},
      {"a character set line in an object's statements", console_text::kCheckCommand,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "  RETURN x * 2; -- doubled");
         l.insert(l.begin() + line, bf::clientCharsetLine("gbk"));
         return line + 1;
       }},
      // Each section holds only the statements the writer writes for it.
      {"a CREATE OR REPLACE DATABASE for a table's DROP", console_text::kCheckOtherName,
       [](Lines& l) {
         const std::size_t line = lineOf(l, bf::dropLine("items", false));
         l[line - 1] = "CREATE OR REPLACE DATABASE `shop`;";
         return line;
       }},
      {"a CREATE OR REPLACE DATABASE after a table's CREATE", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;") + 1;
         l.insert(l.begin() + line - 1, "CREATE OR REPLACE DATABASE `shop`;");
         return line;
       }},
      {"a structure's last line that the client reads as a comment", console_text::kCheckLeftOpen,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line + 1] = "#" + l[line + 1];
         return line + 2;
       }},
      {"a comment inside a table's structure", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line] += " -- ) ENGINE=MyISAM;";
         return line;
       }},
      // "--" and a control byte is a comment to the server only: the client
      // sends the lines as one statement, the server runs a second one.
      {"a comment only the server reads, in a table's structure",
       console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line] += " --\x01 '";
         l.insert(l.begin() + line + 1, "  ); DROP DATABASE victim; SELECT ('");
         return line;
       }},
      {"a comment only the server reads, in a view", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::string view = "CREATE VIEW `v` AS select `items`.`id` AS `id` from `items`";
         const std::size_t line = lineOf(l, view + ";");
         l[line - 1] = view + " --\x01 '";
         l.insert(l.begin() + line, "; DROP DATABASE victim; SELECT (');");
         return line;
       }},
      {"a second section of a table", console_text::kCheckSecondSection,
       [](Lines& l) {
         const std::size_t line = lineOf(l, bf::sectionOpener(SectionKind::kTable, "shared"));
         const std::size_t next = lineOf(l, bf::sectionOpener(SectionKind::kTable, "h"));
         const Lines again(l.begin() + line - 1, l.begin() + next - 1);
         l.insert(l.begin() + next - 1, again.begin(), again.end());
         return next;
       }},
      {"a second section of a trigger", console_text::kCheckSecondSection,
       [](Lines& l) {
         std::size_t line = 0;
         for (std::size_t i = 0; i < l.size() && line == 0; ++i)
           if (bf::sectionKind(l[i]) == SectionKind::kTrigger) line = i + 1;
         std::size_t end = line + 1;
         while (end <= l.size() && bf::sectionKind(l[end - 1]) == SectionKind::kNone) ++end;
         const Lines again(l.begin() + line - 1, l.begin() + end - 1);
         l.insert(l.begin() + end - 1, again.begin(), again.end());
         return end;
       }},
      // A MERGE table's rows are those of the tables it unites, in any
      // database: inserting rows writes those. The writer writes none.
      {"rows of a table whose engine keeps them elsewhere", console_text::kCheckRowsElsewhere,
       [](Lines& l) {
         const std::size_t line = lineOf(l, ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;");
         l[line - 1] = ") ENGINE=MRG_MyISAM DEFAULT CHARSET=utf8mb4 INSERT_METHOD=LAST "
                       "UNION=(`victim`.`keep`);";
         return lineOf(l, "INSERT INTO `items` VALUES ('1','eins');");
       }},
      {"a CONNECT table whose rows are another server's", console_text::kCheckRowsElsewhere,
       [](Lines& l) {
         const std::size_t line = lineOf(l, ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;");
         l[line - 1] = ") ENGINE=CONNECT DEFAULT CHARSET=utf8mb4 "
                       "CONNECTION='mysql://u@h/victim/keep' `TABLE_TYPE`='MYSQL';";
         return lineOf(l, "INSERT INTO `items` VALUES ('1','eins');");
       }},
      {"an engine in a versioned comment", console_text::kCheckRowsElsewhere,
       [](Lines& l) {
         const std::size_t line = lineOf(l, ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;");
         l[line - 1] = ") ENGINE=InnoDB /*!50001 ENGINE=mrg_myisam UNION=(`victim`.`keep`) */;";
         return lineOf(l, "INSERT INTO `items` VALUES ('1','eins');");
       }},
      // A structure that would fill or shape the table from another.
      {"a structure filled by a SELECT", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, ") ENGINE=InnoDB;");
         l[line - 1] = ") ENGINE=InnoDB SELECT * FROM mysql.user;";
         return line - 2;
       }},
      {"a structure that is a SELECT in parentheses", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line] = "  SELECT * FROM mysql.user";
         return line;
       }},
      {"a structure LIKE another table", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line - 1] = "CREATE TABLE `shared` LIKE mysql.user;";
         l.erase(l.begin() + line, l.begin() + line + 2);
         return line;
       }},
      {"rows taken into a structure left open", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line + 1] = ") ENGINE=InnoDB";
         l.erase(l.begin() + line + 2);
         return line;
       }},
      {"a CREATE TABLE of another table", console_text::kCheckOtherName,
       [](Lines& l) {
         const std::size_t line = lineOf(l, "CREATE TABLE `shared` (");
         l[line - 1] = "CREATE TABLE `items2` (";
         return line;
       }},
      {"a statement of its own after a body's block", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, "END");
         l[line - 1] = "END; DROP DATABASE `shop`" + l[line - 1].substr(3);
         return line - 3;
       }},
      // Made in gbk, where '\x81\\' is one character, the body's string
      // ends before "; END;" and the server runs the DROP.
      {"a plain definition in a set whose characters may end in a backslash",
       console_text::kCheckCharsetNotByteWise,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, "CREATE FUNCTION `twice`");
         std::string& session = l[line - 2];
         for (const auto& [from, to] : {std::pair<std::string, std::string>{"utf8mb4_general_ci",
                                                                          "gbk_chinese_ci"},
                                        {"utf8mb4", "gbk"}})
           for (std::size_t at; (at = session.find(from)) != std::string::npos;)
             session.replace(at, from.size(), to);
         l[line + 1] = "  RETURN '\x81\\'; END; DROP DATABASE `shop`; SELECT '";
         return line;
       }},
      {"a DROP DATABASE as an object's DROP", console_text::kCheckOtherName,
       [](Lines& l) {
         const std::string drop = "DROP FUNCTION IF EXISTS `twice`";
         const std::size_t line = lineStarting(l, drop);
         l[line - 1] = "DROP DATABASE `shop`" + l[line - 1].substr(drop.size());
         return line;
       }},
      {"the hex form of another object's CREATE", console_text::kCheckOtherName,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, bf::kHexStatementPrefix);
         const std::string& hexed = l[line - 1];
         l[line - 1] = bf::hexStatement("CREATE PROCEDURE `twice`() SELECT 1") +
                       hexed.substr(hexed.find_last_not_of(";$/|0123456789") + 1);
         return line;
       }},
      {"the hex form of a DROP DATABASE as an object's DROP", console_text::kCheckOtherName,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, "DROP PROCEDURE IF EXISTS `hexed`");
         const std::string& drop = l[line - 1];
         l[line - 1] = bf::hexStatement("DROP DATABASE `shop`") +
                       drop.substr(sizeof("DROP PROCEDURE IF EXISTS `hexed`") - 1);
         return line;
       }},
      {"a session line the writer does not write", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, bf::kObjectSessionStart);
         std::string& set = l[line - 1];
         set.insert(set.rfind(" */"), ", @a = (SELECT 1)");
         return line;
       }},
      {"a view's session line the writer does not write", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, bf::kViewSessionStart);
         std::string& set = l[line - 1];
         set.insert(set.rfind(" */"), ", sql_mode = ''");
         return line;
       }},
      {"a delimiter the writer does not choose", console_text::kCheckSectionShape,
       [](Lines& l) {
         const std::size_t line = lineStarting(l, "DELIMITER ");
         const std::string delimiter = l[line - 1].substr(10);
         for (std::size_t i = line; l[i] != "DELIMITER ;"; ++i)
           if (bf::endsWith(l[i], delimiter))
             l[i].replace(l[i].size() - delimiter.size(), delimiter.size(), "GO");
         l[line - 1] = "DELIMITER GO";
         return line;
       }},
      {"a DROP after its table's CREATE", console_text::kCheckForeignLine,
       [](Lines& l) {
         const std::size_t line = lineOf(l, ") ENGINE=InnoDB DEFAULT CHARSET=utf8mb4;") + 1;
         l.insert(l.begin() + line - 1, bf::dropLine("items", false));
         return line;
       }},
      {"a table without its DROP, droptable=1", console_text::kCheckDropSetting,
       [](Lines& l) {
         l.erase(l.begin() + lineOf(l, bf::dropLine("items", false)) - 1);
         return lineOf(l, bf::sectionOpener(SectionKind::kTable, "items"));
       }},
      {"an object without its DROP, droptable=1", console_text::kCheckDropSetting,
       [](Lines& l) {
         l.erase(l.begin() + lineStarting(l, "DROP FUNCTION IF EXISTS `twice`") - 1);
         return lineOf(l, bf::sectionOpener(SectionKind::kFunction, "twice"));
       }},
      // The sections in the writer's order.
      {"a view section before its table", console_text::kCheckSectionOrder,
       [](Lines& l) {
         moveSection(&l, bf::sectionOpener(SectionKind::kTable, "v"),
                     bf::sectionOpener(SectionKind::kTable, "items"));
         return lineOf(l, "CREATE TABLE `items` (");
       }},
      {"a trigger section before its table", console_text::kCheckSectionOrder,
       [](Lines& l) {
         moveSection(&l, bf::sectionOpener(SectionKind::kTrigger, "tr"),
                     bf::sectionOpener(SectionKind::kTable, "items"));
         return lineStarting(l, "CREATE TRIGGER");
       }},
      {"a character set line in the closing block", console_text::kCheckIdentity,
       [](Lines& l) {
         l.push_back(bf::clientCharsetLine("utf8mb4"));
         return l.size();
       }},
      {"a missing closing block", console_text::kCheckNoClosing,
       [](Lines& l) {
         const std::size_t commit = lineOf(l, bf::kCommitLine);
         l.resize(commit - 1);
         return commit - 1;
       }},
      {"a truncated file", console_text::kCheckLastLine,
       [](Lines& l) {
         const std::size_t row = lineOf(l, "INSERT INTO `items` VALUES ('1','eins');");
         l.resize(row);
         l.back() = "INSERT INTO `items` VALUES ('1','ei";
         return row;
       }},
      {"a past row that ends before it begins", console_text::kCheckPeriod,
       [](Lines& l) {
         const std::size_t row =
             lineOf(l, "('1','a','2026-12-07 20:26:34.862024','2026-12-07 20:26:34.866028'),");
         l[row - 1] = "('1','a','2026-12-07 20:26:34.866028','2026-12-07 20:26:34.866028'),";
         return row;
       }},
      {"an identity of a table not in the file", console_text::kCheckIdentity,
       [](Lines& l) {
         l.push_back(bf::identityLine("gone", "1 InnoDB :1:1"));
         return l.size();
       }},
  };
  for (const Case& c : cases) {
    std::vector<std::string> lines = goodLines();
    const std::size_t line = c.damage(lines);
    std::string text = join(lines);
    if (std::string(c.what) == "a truncated file") text.resize(text.size() - 2);
    const backup_check::Report report = backup_check::checkText(text);
    EXPECT_FALSE(report.holds()) << c.what;
    EXPECT_TRUE(faultAt(report, line, -1, c.why))
        << c.what << ": wanted line " << line << ", got\n"
        << faultsOf(report);
  }
}

// Bytes held in memory, read as a file's.
class HeldBytes : public file_lines::PlainBytes {
 public:
  explicit HeldBytes(std::string text) : text_(std::move(text)) {}
  ssize_t readAt(char* buffer, std::size_t length, std::uint64_t offset) const override {
    if (offset >= text_.size()) return 0;
    const std::size_t n = std::min<std::size_t>(length, text_.size() - offset);
    std::memcpy(buffer, text_.data() + offset, n);
    return static_cast<ssize_t>(n);
  }
  FileStamp stamp() const override { return {}; }
  std::size_t size() const { return text_.size(); }

 private:
  std::string text_;
};

// A line longer than the check holds is a fault and is read past without
// being held: the lines after it are checked, a file without a line end
// ends in a verdict.
TEST(BackupCheck, LinesLongerThanHeldAreFaultsNotAborts) {
  constexpr std::size_t kHeld = std::size_t{1} << 20;
  std::vector<std::string> lines = goodLines();
  const std::size_t row = lineOf(lines, "INSERT INTO `items` VALUES ('3',NULL);");
  lines[row - 1] = "INSERT INTO `items` VALUES ('3','" + std::string(3 * kHeld, 'x') + "');";
  const std::size_t after = lineOf(lines, "('2');");
  lines[after - 1] = "('2','x');";
  const HeldBytes bytes(join(lines));
  backup_check::Report report = backup_check::checkBytes(bytes, bytes.size(), nullptr, kHeld);
  EXPECT_TRUE(faultAt(report, row, -1, console_text::kCheckLineTooLong)) << faultsOf(report);
  EXPECT_TRUE(faultAt(report, after, -1, console_text::checkColumnCount(2, 1)))
      << faultsOf(report);
  EXPECT_EQ(report.faults.size(), 2u) << faultsOf(report);
  EXPECT_EQ(report.summary.bytes, bytes.size());

  // A row that its block holds whole is no less a fault.
  lines[row - 1] = "INSERT INTO `items` VALUES ('3','" + std::string(300, 'x') + "');";
  const HeldBytes shorter(join(lines));
  report = backup_check::checkBytes(shorter, shorter.size(), nullptr, 256);
  EXPECT_TRUE(faultAt(report, row, -1, console_text::kCheckLineTooLong)) << faultsOf(report);

  const HeldBytes endless(std::string(3 * kHeld, 'x'));
  report = backup_check::checkBytes(endless, endless.size(), nullptr, kHeld);
  EXPECT_TRUE(faultAt(report, 1, -1, console_text::kCheckLineTooLong)) << faultsOf(report);
  EXPECT_EQ(report.summary.bytes, endless.size());
}

// A compressed file: a flipped byte fails its frame's checksum, a file
// without its seek table fails the table.
TEST(BackupCheck, CompressedFilesFailByTheirFrames) {
  Scratch dir;
  const std::string path = packed(dir.path(), join(goodLines()));
  const std::string bytes = readAll(path);

  std::string flipped = bytes;
  flipped[bytes.size() / 3] ^= 0x20;
  writeAll(path, flipped);
  backup_check::Report report = backup_check::checkFile(path);
  EXPECT_FALSE(report.holds());
  bool frameFault = false;
  for (const backup_check::Fault& fault : report.faults)
    frameFault = frameFault || (fault.frame >= 0 && fault.why == console_text::kCheckFrameDamaged);
  EXPECT_TRUE(frameFault) << faultsOf(report);

  // The seek table is the last frame: a skippable one of 8 bytes a frame
  // and a footer of 9.
  std::size_t frames = 0;
  for (std::size_t i = 0; i + 4 <= bytes.size(); ++i)
    frames += bytes.compare(i, 4, "\x28\xB5\x2F\xFD", 4) == 0;
  const std::size_t table = 8 + 8 * frames + 9;
  ASSERT_GT(bytes.size(), table);
  writeAll(path, bytes.substr(0, bytes.size() - table));
  report = backup_check::checkFile(path);
  EXPECT_FALSE(report.holds());
  EXPECT_TRUE(faultAt(report, 0, static_cast<std::int64_t>(frames), console_text::kCheckSeekTable))
      << faultsOf(report);

  // Of the same size, but one frame's size in it is not the frame's.
  std::string sizeChanged = bytes;
  sizeChanged[bytes.size() - 9 - 1] ^= 0x01;
  writeAll(path, sizeChanged);
  report = backup_check::checkFile(path);
  EXPECT_FALSE(report.holds());
  EXPECT_TRUE(faultAt(report, 0, static_cast<std::int64_t>(frames), console_text::kCheckSeekTable))
      << faultsOf(report);

  writeAll(path, bytes);
  EXPECT_TRUE(backup_check::checkFile(path).holds());
}
