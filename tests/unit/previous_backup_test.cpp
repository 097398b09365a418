#include "backup/previous_backup.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <fstream>
#include <memory>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "backup/backup_format.h"
#include "backup/local_time.h"
#include "backup/previous_file.h"
#include "backup/progress.h"
#include "backup/row_judges.h"

namespace {

using Lines = std::vector<std::string>;

// Builds backup file texts the way the writers lay them out.
class BackupText {
 public:
  explicit BackupText(bool withPreamble = true) {
    lines_ = backup_format::headerLines("shop", "06.12.2026 14:30:05");
    if (withPreamble)
      add({backup_format::clientCharsetLine("utf8mb4"), backup_format::preambleLine("utf8mb4"),
           ""});
  }

  BackupText& add(const Lines& lines) {
    lines_.insert(lines_.end(), lines.begin(), lines.end());
    return *this;
  }
  BackupText& comment(const std::string& name,
                      const std::string& date = "05.12.2026 18:02:11") {
    return add({backup_format::kTableCommentPrefix +
                    backup_format::commentName(name) + "'",
                backup_format::kUpdateCommentPrefix + date + "'",
                backup_format::hashLine()});
  }
  BackupText& structure(const std::string& name) {
    return add({backup_format::dropLine(name, false),
                "CREATE TABLE " + backup_format::quoteIdentifier(name) + " (",
                "  `id` int(11) NOT NULL", ") ENGINE=MyISAM;", ""});
  }
  BackupText& rows(const std::string& name, int count) {
    add(rowLines(name, count));
    return add({""});
  }
  // A whole section: comment block, structure and `count` rows.
  BackupText& table(const std::string& name, int count,
                    const std::string& date = "05.12.2026 18:02:11") {
    return comment(name, date).structure(name).rows(name, count);
  }

  std::string str(const std::string& lineEnd = "\r\n") const {
    std::string text;
    for (const std::string& line : lines_) text += line + lineEnd;
    return text;
  }

  // `count` rows in statements of at most `perStatement` rows.
  static Lines sharedRowLines(const std::string& name, int count, int perStatement) {
    Lines lines;
    for (int i = 1; i <= count; ++i) {
      if ((i - 1) % perStatement == 0) lines.push_back(backup_format::statementHead(name, {}));
      const bool last = i == count || i % perStatement == 0;
      lines.push_back("('" + std::to_string(i) + "','x')" + (last ? ";" : ","));
    }
    return lines;
  }

  static Lines rowLines(const std::string& name, int count) {
    Lines rows;
    for (int i = 1; i <= count; ++i)
      rows.push_back(backup_format::rowLinePrefix(name, {}) + "'" +
                     std::to_string(i) + "','x');");
    return rows;
  }

 private:
  Lines lines_;
};

// The rows block that a copy of `rows` must produce.
std::string copiedBlock(const Lines& rows) {
  std::string text;
  for (const std::string& row : rows) text += row + "\r\n";
  return text + "\r\n";
}

// A file holding `text`, closed by the destructor.
class TextFile {
 public:
  explicit TextFile(const std::string& text)
      : fd_(memfd_create("previous-backup", 0)) {
    EXPECT_GE(fd_, 0);
    EXPECT_EQ(pwrite(fd_, text.data(), text.size(), 0),
              static_cast<ssize_t>(text.size()));
  }
  ~TextFile() { close(fd_); }
  TextFile(const TextFile&) = delete;
  TextFile& operator=(const TextFile&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

// An index with the file it was built from, kept open: rows are copied
// only out of the very file that was indexed.
struct Indexed : previous_backup::Index {
  std::shared_ptr<TextFile> file;
};

Indexed indexOf(const std::string& text) {
  Indexed indexed;
  indexed.file = std::make_shared<TextFile>(text);
  static_cast<previous_backup::Index&>(indexed) =
      previous_backup::buildIndex(indexed.file->fd());
  return indexed;
}

struct CopyResult {
  int count;  // -1 when the copy was not whole
  std::string output;
};

// Copies through a real backup file in a scratch directory.
CopyResult copyFrom(int in, const PreviousTableEntry& entry,
                    RowProgress* progress = nullptr) {
  char dir[] = "/tmp/vkt-copy-XXXXXX";
  if (mkdtemp(dir) == nullptr) return {-2, ""};
  const std::string name = std::string(dir) + "/out.sql";
  BackupFile out;
  EXPECT_TRUE(out.create(name));
  out.beginRows();
  RowsResult rows = previous_backup::copyRows(in, entry, out, progress);
  EXPECT_TRUE(out.finish());
  std::ifstream file(name, std::ios::binary);
  std::string output((std::istreambuf_iterator<char>(file)),
                     std::istreambuf_iterator<char>());
  unlink(name.c_str());
  rmdir(dir);
  return {rows.whole ? rows.rows : -1, output};
}

CopyResult copyFrom(const Indexed& indexed, const PreviousTableEntry& entry,
                    RowProgress* progress = nullptr) {
  return copyFrom(indexed.file->fd(), entry, progress);
}

time_t localTime(int y, int mo, int d, int h, int mi, int s) {
  time_t t = 0;
  EXPECT_TRUE(local_time::fromFields(y, mo, d, h, mi, s, &t));
  return t;
}

TEST(PreviousBackupIndex, ThreeTablesInFileOrder) {
  const std::string text = BackupText()
                               .table("artikel", 3, "07.03.2006 14:05:09")
                               .table("kunden", 1, "05.12.2026 18:02:11")
                               .table("orte", 2, "01.01.2020 00:00:00")
                               .str();
  const auto index = indexOf(text);
  ASSERT_EQ(index.tables.size(), 3u);
  const char* names[] = {"artikel", "kunden", "orte"};
  const char* dates[] = {"07.03.2006 14:05:09", "05.12.2026 18:02:11",
                         "01.01.2020 00:00:00"};
  const int counts[] = {3, 1, 2};
  for (size_t i = 0; i < 3; ++i) {
    const PreviousTableEntry& e = index.tables[i];
    SCOPED_TRACE(e.name);
    EXPECT_EQ(e.name, names[i]);
    EXPECT_EQ(e.updateText, dates[i]);
    EXPECT_TRUE(e.updateKnown);
    EXPECT_TRUE(e.rowsTrusted);
    EXPECT_EQ(e.rowCount, counts[i]);
    const auto drop = text.find(backup_format::dropLine(names[i], false));
    EXPECT_EQ(e.position, static_cast<std::int64_t>(drop));
  }
  EXPECT_EQ(index.tables[0].updateTime, localTime(2006, 3, 7, 14, 5, 9));
  EXPECT_TRUE(index.hasPreamble);
  EXPECT_EQ(index.preamble, backup_format::preambleLine("utf8mb4"));
}

TEST(PreviousBackupIndex, HeaderAloneGivesNoEntries) {
  // Line 3 names the database between apostrophes but opens no block.
  auto index = indexOf(BackupText().str());
  EXPECT_TRUE(index.tables.empty());
  EXPECT_TRUE(index.hasPreamble);
  EXPECT_TRUE(indexOf("").tables.empty());
  EXPECT_TRUE(indexOf("# 'a'\n# 'b'\n").tables.empty());
}

TEST(PreviousBackupIndex, NamesAreKeptByteForByte) {
  const std::string text = BackupText()
                               .table("o'brien", 2)
                               .table("b`c", 1)
                               .table("Artikel", 1)
                               .table("artikel", 1)
                               .table("artikel", 3)
                               .table("t\tx\\n", 2)
                               .str();
  const auto index = indexOf(text);
  ASSERT_EQ(index.tables.size(), 6u);
  // A name with control bytes or backslashes comes back from its escapes.
  EXPECT_EQ(index.tables[5].name, "t\tx\\n");
  EXPECT_EQ(index.tables[0].name, "o'brien");
  EXPECT_EQ(index.tables[1].name, "b`c");
  for (const auto& e : index.tables) EXPECT_TRUE(e.rowsTrusted) << e.name;
  EXPECT_EQ(copyFrom(index, index.tables[1]).output,
            copiedBlock(BackupText::rowLines("b`c", 1)));

  // Exact bytes.
  EXPECT_EQ(index.tables[2].name, "Artikel");
  EXPECT_EQ(index.tables[3].name, "artikel");
}

TEST(PreviousBackupIndex, OddCommentLinesGiveTheirTexts) {
  const std::string text = BackupText()
                               .add({"# Tabelle 'a", "# Update: 'x",
                                     backup_format::hashLine()})
                               .add({"# Tabelle 'b'", "no apostrophe",
                                     backup_format::hashLine()})
                               .str();
  const auto index = indexOf(text);
  ASSERT_EQ(index.tables.size(), 2u);
  EXPECT_EQ(index.tables[0].name, "a");
  EXPECT_EQ(index.tables[0].updateText, "x");
  EXPECT_EQ(index.tables[1].updateText, "no apostrophe");
}

TEST(PreviousBackupIndex, UnusableDatesAreUnknownAndTheRestStays) {
  // The hours that summer time repeats and skips are those of Berlin.
  setenv("TZ", "Europe/Berlin", 1);
  tzset();
  const char* bad[] = {
      "",                     // no date at all
      "5.12.2026 18:02:11",   // one character short
      "05.12.2026 18:02:1x",  // not a number
      "31.02.2026 10:00:00",  // no such day
      "05.12.2026 24:00:00",  // no such hour
      "29.10.2023 02:30:00",  // autumn: the repeated hour
      "26.03.2023 02:30:00",  // spring: the skipped hour
  };
  for (const char* date : bad) {
    SCOPED_TRACE(date);
    const auto index = indexOf(BackupText()
                                   .table("a", 1)
                                   .table("b", 1, date)
                                   .table("c", 1, "29.10.2023 03:30:00")
                                   .str());
    ASSERT_EQ(index.tables.size(), 3u);
    EXPECT_TRUE(index.tables[0].updateKnown);
    EXPECT_FALSE(index.tables[1].updateKnown);
    EXPECT_EQ(index.tables[1].updateText, date);
    EXPECT_TRUE(index.tables[1].rowsTrusted);
    EXPECT_TRUE(index.tables[2].updateKnown);
    EXPECT_EQ(index.tables[2].updateTime, localTime(2023, 10, 29, 3, 30, 0));
  }
}

TEST(PreviousBackupIndex, LineFeedOnlyFileReadsTheSame) {
  const BackupText backup =
      BackupText().table("a", 2).table("b", 3).comment("c").add(
          BackupText::sharedRowLines("c", 5, 2)).add({""});
  const std::string crlf = backup.str();
  const std::string lf = backup.str("\n");
  const auto a = indexOf(crlf);
  const auto b = indexOf(lf);
  ASSERT_EQ(b.tables.size(), 3u);
  EXPECT_EQ(b.preamble, a.preamble);
  EXPECT_EQ(b.tables[2].rowCount, 5);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(b.tables[i].name, a.tables[i].name);
    EXPECT_TRUE(b.tables[i].rowsTrusted);
    EXPECT_EQ(b.tables[i].rowCount, a.tables[i].rowCount);
    // Copies are CR LF whatever the previous file used.
    EXPECT_EQ(copyFrom(b, b.tables[i]).output,
              copyFrom(a, a.tables[i]).output);
  }
}

TEST(PreviousBackupIndex, PreambleIsReportedAsFound) {
  EXPECT_FALSE(indexOf(BackupText(false).table("a", 1).str()).hasPreamble);

  const auto latin = indexOf(BackupText(false)
                                 .add({backup_format::preambleLine("latin1")})
                                 .table("a", 1)
                                 .str());
  EXPECT_TRUE(latin.hasPreamble);
  EXPECT_NE(latin.preamble, backup_format::preambleLine("utf8mb4"));

  // Only a line before the first table block counts.
  const auto late = indexOf(BackupText(false)
                                .comment("a")
                                .add({backup_format::preambleLine("utf8mb4")})
                                .str());
  EXPECT_FALSE(late.hasPreamble);
}

// Bodies that must not be copied, each after the comment block of "t".
TEST(PreviousBackupIndex, RowsNotKnownWholeAreNotTrusted) {
  const std::string row = BackupText::rowLines("t", 1)[0];
  const std::string other = BackupText::rowLines("u", 1)[0];
  const std::string prefixRow = BackupText::rowLines("tt", 1)[0];
  const std::string head = backup_format::statementHead("t", {});
  const struct {
    const char* what;
    Lines body;
  } cases[] = {
      {"no body", {}},
      {"structure only", {"DROP TABLE IF EXISTS `t`;", "CREATE TABLE `t` (", ");", ""}},
      {"empty rows block", {""}},
      {"rows not closed", {row, row}},
      {"rows of another table", {other, ""}},
      {"rows of another table after own", {row, other, ""}},
      {"rows of another table first", {other, row, ""}},
      {"name only a prefix", {prefixRow, ""}},
      {"row not ended", {"INSERT INTO `t` VALUES ('1'", ""}},
      {"row with a stray CR", {row + "\r", ""}},
      {"text after rows", {row, "garbage", ""}},
      {"single character after rows", {row, ";", ""}},
      {"text after the closing line", {row, "", "garbage"}},
      {"comment line in the body", {"# note", row, ""}},
      {"rows whose statement head was damaged, before sound ones",
       {"CREATE TABLE `t` (", ");", "", "INSERT INTO dt` VALUES", "('1','x');", row, ""}},
      {"comment line after the rows", {row, "", "#"}},
      {"a statement after the values",
       {"INSERT INTO `t` VALUES ('1'); DROP DATABASE x; SELECT ('x');", ""}},
      {"a value that is no string", {"INSERT INTO `t` VALUES (1,'x');", ""}},
      {"a string not closed", {"INSERT INTO `t` VALUES ('1\\');", ""}},
      {"a quote after three backslashes", {"INSERT INTO `t` VALUES ('1\\\\\\');", ""}},
      {"a line end inside a value", {"INSERT INTO `t` VALUES ('1\n','x');", row, ""}},
      {"a line end inside the last value", {"INSERT INTO `t` VALUES ('1','x\n');", ""}},
      // The stock client stops at a NUL: the writer escapes it.
      {"a NUL inside a value",
       {std::string("INSERT INTO `t` VALUES ('1','x\0');", 34), ""}},
      {"a row ended as if a statement went on", {"INSERT INTO `t` VALUES ('1','x'),", ""}},
      {"rows of different widths", {row, "INSERT INTO `t` VALUES ('1');", ""}},
      {"a COMMIT line among the rows", {row, "COMMIT;", row, ""}},
      {"text after the COMMIT line", {row, "", "COMMIT;", "", "garbage"}},
      {"the history line twice after the rows",
       {backup_format::kHistoryOnLine, row, "", backup_format::kHistoryOffLine,
        backup_format::kHistoryOffLine, ""}},
      // Several rows a statement.
      {"a statement head alone", {head, ""}},
      {"a statement not closed", {head, "('1','x'),", ""}},
      {"a statement not closed before the next", {head, "('1','x'),", head, "('2','x');", ""}},
      {"a row without its statement's end", {head, "('1','x')", ""}},
      {"text after a row's end", {head, "('1','x');x", ""}},
      {"rows of different widths in a statement", {head, "('1','x'),", "('2');", ""}},
      {"a row line inside a statement", {head, "('1','x'),", row, ""}},
      {"a row without a statement head", {"('1','x');", ""}},
      {"a head of another table", {"INSERT INTO `u` VALUES", "('1','x');", ""}},
      {"both forms in one block", {row, head, "('2','x');", ""}},
      {"both forms, the other way", {head, "('2','x');", row, ""}},
  };
  for (const auto& c : cases) {
    // A flawed first row is found where the rows' form is taken from it;
    // after a sound one, where every row is judged.
    std::vector<Lines> bodies = {c.body};
    if (!c.body.empty() && c.body[0].rfind(backup_format::rowLinePrefix("t", {}), 0) == 0) {
      bodies.push_back({row});
      bodies.back().insert(bodies.back().end(), c.body.begin(), c.body.end());
    }
    for (const Lines& body : bodies) {
      SCOPED_TRACE(std::string(c.what) + (body.size() > c.body.size() ? ", after a row" : ""));
      const std::string text = BackupText()
                                   .comment("t")
                                   .add(body)
                                   .table("next", 1)
                                   .str();
      const auto index = indexOf(text);
      ASSERT_EQ(index.tables.size(), 2u);
      EXPECT_FALSE(index.tables[0].rowsTrusted);
      EXPECT_TRUE(index.tables[1].rowsTrusted);
      // A copy of an untrusted block writes nothing.
      EXPECT_EQ(copyFrom(index, index.tables[0]).count, -1);
      EXPECT_EQ(copyFrom(index, index.tables[0]).output, "");
    }
  }
}

TEST(PreviousBackupIndex, DamagedCommentBlockIsNotTrusted) {
  const auto index = indexOf(BackupText()
                                 .add({"# Tabelle 't'", "# Update: ''", "#"})
                                 .rows("t", 1)
                                 .str());
  ASSERT_EQ(index.tables.size(), 1u);
  EXPECT_FALSE(index.tables[0].rowsTrusted);
}

TEST(PreviousBackupIndex, ExtraEmptyLinesAfterRowsAreHarmless) {
  const std::string text =
      BackupText().comment("t").rows("t", 2).add({"", ""}).str();
  const auto index = indexOf(text);
  ASSERT_TRUE(index.tables.at(0).rowsTrusted);
  EXPECT_EQ(copyFrom(index, index.tables[0]).count, 2);
}

TEST(PreviousBackupIndex, WordInsertInDefinitionIsNoRow) {
  const Lines definition = {"CREATE TABLE `t` (",
                            "  `INSERT` int(11) COMMENT 'INSERT here',",
                            "INSERT INTO t VALUES (1);",
                            ") ENGINE=MyISAM;", ""};
  const std::string bare =
      BackupText().comment("t").add(definition).comment("u").str();
  EXPECT_FALSE(indexOf(bare).tables.at(0).rowsTrusted);
  EXPECT_EQ(indexOf(bare).tables.at(0).rowCount, 0);

  const std::string text = BackupText()
                               .comment("t")
                               .add(definition)
                               .rows("t", 2)
                               .table("u", 1)
                               .str();
  const auto index = indexOf(text);
  ASSERT_TRUE(index.tables.at(0).rowsTrusted);
  EXPECT_EQ(index.tables[0].rowCount, 2);
  const CopyResult copy = copyFrom(index, index.tables[0]);
  EXPECT_EQ(copy.count, 2);
  EXPECT_EQ(copy.output, copiedBlock(BackupText::rowLines("t", 2)));
}

// Many rows are judged on several threads, cut into runs at line starts:
// a bad line anywhere, also first or last in a run, is found.
TEST(PreviousBackupIndex, EveryRowLineIsJudgedInLargeFiles) {
  const int count = 240000;  // about 10 MiB of rows
  Lines good;
  char row[64];
  for (int i = 0; i < count; ++i) {
    // All of one length, so that the cuts fall on known rows: a run ends
    // with the row that reaches its size.
    std::snprintf(row, sizeof row, "INSERT INTO `t` VALUES ('%08d','x');", i);
    good.push_back(row);
  }
  const std::string bad = "INSERT INTO `t` VALUES ('1','x','y');";
  const std::uint64_t length = good[0].size() + 2;
  const int perRun =
      static_cast<int>((previous_backup::kJudgedRun + length - 1) / length);
  std::vector<int> where = {0, 1, count / 2, count - 1};
  for (int cut = 1 + perRun; cut < count; cut += perRun)
    for (int near : {-2, -1, 0, 1}) where.push_back(cut + near);
  for (int at : where) {
    SCOPED_TRACE(at);
    Lines rows = good;
    rows[at] = bad;
    const auto index =
        indexOf(BackupText().comment("t").add(rows).add({""}).table("u", 1).str());
    ASSERT_EQ(index.tables.size(), 2u);
    EXPECT_FALSE(index.tables[0].rowsTrusted);
    EXPECT_FALSE(index.tables[0].blockWhole);
    EXPECT_TRUE(index.tables[1].rowsTrusted);
  }
  const std::string text = BackupText().comment("t").add(good).add({""}).str();
  const auto index = indexOf(text);
  ASSERT_TRUE(index.tables.at(0).rowsTrusted);
  EXPECT_EQ(copyFrom(index, index.tables[0]).output, copiedBlock(good));
}

// Statements of several rows are judged in runs that end where a
// statement ends: a whole block is trusted, and a bad line at a run's edge
// is found.
TEST(PreviousBackupIndex, StatementsOfSeveralRowsAreJudgedWhole) {
  const int count = 250000, perStatement = 1000;  // about 10 MiB of rows
  Lines good;
  char row[64];
  for (int i = 0; i < count; ++i) {
    if (i % perStatement == 0) good.push_back(backup_format::statementHead("t", {}));
    std::snprintf(row, sizeof row, "('%08d','%020d')%c", i, i,
                  i % perStatement == perStatement - 1 ? ';' : ',');
    good.push_back(row);
  }
  const std::string text = BackupText().comment("t").add(good).add({""}).str();
  const auto index = indexOf(text);
  const PreviousTableEntry& entry = index.tables.at(0);
  ASSERT_TRUE(entry.rowsTrusted);
  EXPECT_TRUE(entry.rowsShared);
  EXPECT_EQ(entry.rowCount, count);
  EXPECT_EQ(entry.statementRowsMax, perStatement);
  EXPECT_EQ(entry.rowPrefix, backup_format::rowLinePrefix("t", {}));
  EXPECT_EQ(copyFrom(index, entry).output, copiedBlock(good));

  // The lines around the end of the first run and of the block.
  const std::uint64_t statementBytes =
      good[0].size() + 2 + perStatement * (good[1].size() + 2);
  const size_t perRun = (previous_backup::kJudgedRun + statementBytes - 1) / statementBytes;
  const size_t cut = perRun * (perStatement + 1);  // the next run's first line
  const struct {
    size_t at;
    std::string line;
  } damages[] = {
      {cut - 1, "('1');"},                   // another width, last of a run
      {cut - 1, good[cut - 2]},              // a statement left open
      {cut, good[cut + 1]},                  // a row without its head
      {cut + 1, "('1','2','3'),"},           // another width, first of a run
      {good.size() - 1, good[good.size() - 2]},  // the block's last statement open
  };
  for (const auto& damage : damages) {
    SCOPED_TRACE(damage.at);
    Lines rows = good;
    rows[damage.at] = damage.line;
    const auto bad = indexOf(BackupText().comment("t").add(rows).add({""}).str());
    EXPECT_FALSE(bad.tables.at(0).rowsTrusted);
  }
}

TEST(PreviousBackupIndex, OnlyWantedRowsAreJudgedAndTrusted) {
  const std::string text =
      BackupText()
          .table("a", 3)
          .comment("b").structure("b")
          .add({BackupText::rowLines("b", 1)[0], "INSERT INTO `b` VALUES ('2');", ""})
          .table("c", 3)
          .str();
  TextFile file(text);
  const auto index = previous_backup::buildIndex(
      file.fd(), [](const PreviousTableEntry& e) { return e.name != "c"; });
  ASSERT_EQ(index.tables.size(), 3u);
  EXPECT_TRUE(index.tables[0].rowsTrusted);
  EXPECT_FALSE(index.tables[1].rowsTrusted);
  EXPECT_FALSE(index.tables[1].blockWhole);
  EXPECT_FALSE(index.tables[2].rowsTrusted);
  EXPECT_EQ(copyFrom(file.fd(), index.tables[2]).count, -1);
}

TEST(PreviousBackupIndex, ArbitraryBytesInRowsAreCopiedAsTheyAre) {
  const std::string value("a\x01" "b\rc\x1a\xff", 7);
  const Lines rows = {"INSERT INTO `t` VALUES ('" + value + "');",
                      "INSERT INTO `t` VALUES ('" + std::string(300000, 'z') +
                          "');"};
  const std::string text =
      BackupText().comment("t").add(rows).add({""}).str();
  const auto index = indexOf(text);
  ASSERT_TRUE(index.tables.at(0).rowsTrusted);
  const CopyResult copy = copyFrom(index, index.tables[0]);
  EXPECT_EQ(copy.count, 2);
  EXPECT_EQ(copy.output, copiedBlock(rows));
}

// Every prefix of a valid file, as a run cut off at any byte leaves it.
TEST(PreviousBackupIndex, FileCutOffAnywhereNeverCopiesWrongRows) {
  const std::string names[] = {"a", "b'c", "d`e"};
  BackupText backup;
  for (int i = 0; i < 3; ++i) backup.table(names[i], i + 1);
  const std::string text = backup.str();
  for (size_t size = 0; size <= text.size(); ++size) {
    const std::string cut = text.substr(0, size);
    const auto index = indexOf(cut);
    ASSERT_LE(index.tables.size(), 3u);
    for (size_t i = 0; i < index.tables.size(); ++i) {
      const PreviousTableEntry& e = index.tables[i];
      if (!e.rowsTrusted) continue;
      // A trusted block is whole: exactly its own rows, all of them.
      ASSERT_EQ(e.name, names[i]) << size;
      const CopyResult copy = copyFrom(index, e);
      ASSERT_EQ(copy.count, static_cast<int>(i + 1)) << size;
      ASSERT_EQ(copy.output,
                copiedBlock(BackupText::rowLines(names[i], i + 1)))
          << size;
    }
    // The last table is trusted only once its closing line is whole.
    EXPECT_EQ(index.tables.size() == 3 && index.tables[2].rowsTrusted,
              size == text.size())
        << size;
  }
}

TEST(PreviousBackupCopy, SameTableTwiceGivesSameLines) {
  const std::string text = BackupText().table("a", 3).table("b", 2).str();
  const auto index = indexOf(text);
  const CopyResult first = copyFrom(index, index.tables[0]);
  EXPECT_EQ(copyFrom(index, index.tables[1]).count, 2);
  const CopyResult second = copyFrom(index, index.tables[0]);
  EXPECT_EQ(first.count, 3);
  EXPECT_EQ(first.output, copiedBlock(BackupText::rowLines("a", 3)));
  EXPECT_EQ(second.output, first.output);
}

TEST(PreviousBackupCopy, StructureFreeFileCopiesTheSame) {
  const std::string text =
      BackupText().comment("a").rows("a", 2).comment("b").rows("b", 1).str();
  const auto index = indexOf(text);
  ASSERT_EQ(index.tables.size(), 2u);
  EXPECT_EQ(copyFrom(index, index.tables[1]).output,
            copiedBlock(BackupText::rowLines("b", 1)));
}

// Rows copied into a compressed file as the previous file's frames: only
// frames that hold the rows block and its empty line exactly, one after
// the other, each sound.
TEST(PreviousBackupCopy, RowsAreCopiedAsFramesOnlyWhenTheyHoldTheBlockExactly) {
  // Plain bytes: a frame before the rows, the rows [100, 300) and their
  // empty line up to 302 in two frames, a frame after them.
  auto frame = [](std::uint64_t packedBegin, std::uint64_t plainBegin,
                  std::uint64_t plainEnd) {
    zstd_frames::Frame f;
    f.packedBegin = packedBegin;
    f.packedSize = 10;
    f.plainBegin = plainBegin;
    f.plainSize = plainEnd - plainBegin;
    return f;
  };
  const struct {
    const char* what;
    std::function<void(PreviousTableEntry&, std::vector<zstd_frames::Frame>&)> change;
    size_t frames;  // copied as that many frames; 0: compressed anew
  } cases[] = {
      {"exact", [](PreviousTableEntry&, std::vector<zstd_frames::Frame>&) {}, 2},
      {"rows not trusted",
       [](PreviousTableEntry& e, std::vector<zstd_frames::Frame>&) { e.rowsTrusted = false; },
       0},
      {"LF line ends", [](PreviousTableEntry& e, std::vector<zstd_frames::Frame>&) {
         e.rowsCrLf = false;
       }, 0},
      // Only the empty line, in a frame of its own.
      {"no rows",
       [](PreviousTableEntry& e, std::vector<zstd_frames::Frame>& f) {
         e.rowsEnd = e.rowsBegin;
         f[1].plainSize = 2;
       },
       0},
      {"rows begin inside a frame",
       [](PreviousTableEntry& e, std::vector<zstd_frames::Frame>&) { e.rowsBegin = 150; },
       0},
      {"a frame broken",
       [](PreviousTableEntry&, std::vector<zstd_frames::Frame>& f) { f[2].sound = false; },
       0},
      {"frames apart in the file",
       [](PreviousTableEntry&, std::vector<zstd_frames::Frame>& f) { f[2].packedBegin += 1; },
       0},
      {"the last frame holds more",
       [](PreviousTableEntry& e, std::vector<zstd_frames::Frame>&) { e.rowsEnd = 290; },
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    PreviousTableEntry entry;
    entry.rowsTrusted = entry.rowsCrLf = true;
    entry.rowsBegin = 100;
    entry.rowsEnd = 300;
    std::vector<zstd_frames::Frame> frames = {frame(0, 0, 100), frame(10, 100, 200),
                                              frame(20, 200, 302), frame(30, 302, 400)};
    c.change(entry, frames);
    EXPECT_EQ(rowFrames(entry, frames).size(), c.frames);
  }
}

TEST(PreviousBackupCopy, FileChangedSinceIndexingFails) {
  const std::string text = BackupText().table("a", 3).table("b", 2).str();
  Lines mixed = BackupText::rowLines("a", 3);
  mixed[1] = BackupText::rowLines("z", 2)[1];
  const struct {
    std::string text;
    bool timesSetBack = false;  // the modification time as it was
  } changed[] = {
      {BackupText().comment("a").structure("a").add(mixed).add({""}).str()},
      {BackupText().table("a", 2).table("b", 2).str()},  // fewer rows
      {BackupText().table("a", 4).table("b", 2).str()},  // more rows
      {BackupText().table("z", 3).table("b", 2).str()},  // same size, other rows
      {text.substr(0, text.find("'3'"))},                // cut in a row
      {text.substr(0, indexOf(text).tables[0].position)},  // cut at the block
      {""},
      {text},  // written again, byte for byte
      // Only the change time, which no program can set, tells.
      {BackupText().table("z", 3).table("b", 2).str(), true},
  };
  for (const auto& other : changed) {
    SCOPED_TRACE(other.text.size());
    const auto index = indexOf(text);
    // A change in the same clock tick as the indexing is told by the
    // file's times only on kernels with fine-grained change times.
    usleep(20000);
    const int fd = index.file->fd();
    ASSERT_EQ(ftruncate(fd, 0), 0);
    ASSERT_EQ(pwrite(fd, other.text.data(), other.text.size(), 0),
              static_cast<ssize_t>(other.text.size()));
    if (other.timesSetBack) {
      const timespec times[2] = {index.tables[0].file.modified,
                                 index.tables[0].file.modified};
      ASSERT_EQ(futimens(fd, times), 0);
    }
    EXPECT_EQ(copyFrom(index, index.tables[0]).count, -1);
  }
  {
    // Written again while the rows are copied: the progress line's first
    // redraw (at once, after a pause of all redraws) does it.
    const std::string big = BackupText().table("a", 20000).str();
    const auto index = indexOf(big);
    struct OnFirstWrite : std::streambuf {
      int fd = -1;
      const std::string* bytes = nullptr;
      int_type overflow(int_type c) override {
        if (fd >= 0 && pwrite(fd, bytes->data(), bytes->size(), 0) < 0) c = traits_type::eof();
        fd = -1;
        return c;
      }
    } rewrite;
    rewrite.fd = index.file->fd();
    rewrite.bytes = &big;
    std::ostream terminal(&rewrite);
    usleep(300000);
    RowProgress progress("a", &terminal, 80);
    EXPECT_EQ(copyFrom(index, index.tables[0], &progress).count, -1);
    EXPECT_EQ(rewrite.fd, -1);  // the rewrite took place
  }
  // Another file with the very same bytes is not the file indexed.
  const auto index = indexOf(text);
  EXPECT_EQ(copyFrom(TextFile(text).fd(), index.tables[0]).count, -1);
  EXPECT_EQ(copyFrom(index, index.tables[0]).count, 3);

  PreviousTableEntry beyond = index.tables[0];
  beyond.rowsBegin += text.size();
  beyond.rowsEnd += text.size();
  EXPECT_EQ(copyFrom(index, beyond).count, -1);
  PreviousTableEntry untrusted = index.tables[0];
  untrusted.rowsTrusted = false;
  EXPECT_EQ(copyFrom(index, untrusted).count, -1);
}

TEST(PreviousBackupCopy, FailedOutputStopsTheCopy) {
  const std::string text = BackupText().table("a", 3).str();
  const auto index = indexOf(text);
  BackupFile notCreated;
  EXPECT_FALSE(previous_backup::copyRows(TextFile(text).fd(), index.tables.at(0),
                                         notCreated).whole);
}

}  // namespace

TEST(PreviousBackupIndex, BlocksCutOrForeignAreNotWhole) {
  // Whole: rows closed, an empty table, a bare comment block, a structure
  // block without rows.
  // Rows committed by a line of their own; the file's closing lines.
  // Past rows between the history lines.
  std::string sound = BackupText()
                          .table("full", 2)
                          .comment("committed").rows("committed", 1)
                          .add({backup_format::kCommitLine, ""})
                          .comment("history").structure("history")
                          .add({backup_format::kHistoryOnLine}).rows("history", 2)
                          .add({backup_format::kHistoryOffLine, "", backup_format::kCommitLine, ""})
                          .comment("empty").structure("empty").rows("empty", 0)
                          .comment("bare")
                          .comment("structure_only").structure("structure_only")
                          .add(backup_format::closingLines())
                          .str();
  const auto soundIndex = indexOf(sound);
  ASSERT_EQ(soundIndex.tables.size(), 6u);
  for (const PreviousTableEntry& entry : soundIndex.tables)
    EXPECT_TRUE(entry.blockWhole) << entry.name;
  EXPECT_TRUE(soundIndex.tables[1].rowsTrusted);
  EXPECT_EQ(copyFrom(soundIndex, soundIndex.tables[1]).output,
            copiedBlock(BackupText::rowLines("committed", 1)));
  // The history lines are the writer's, not the rows'.
  EXPECT_TRUE(soundIndex.tables[2].rowsTrusted);
  EXPECT_EQ(copyFrom(soundIndex, soundIndex.tables[2]).output,
            copiedBlock(BackupText::rowLines("history", 2)));
  // The COMMIT line ends only a body that may end there.
  std::string early = BackupText().comment("t").add({"CREATE TABLE `t` (", "COMMIT;"}).str();
  EXPECT_FALSE(indexOf(early).tables.at(0).blockWhole);

  // Cut at a line end inside the definition, or inside a row line.
  std::string text = BackupText().table("t", 3).str();
  size_t inDefinition = text.find("  `id`");
  EXPECT_FALSE(indexOf(text.substr(0, inDefinition)).tables.at(0).blockWhole);
  size_t inRow = text.find("'2','x'");
  EXPECT_FALSE(indexOf(text.substr(0, inRow)).tables.at(0).blockWhole);
  // Rows without their closing empty line, and a foreign line.
  EXPECT_FALSE(indexOf(text.substr(0, text.size() - 2)).tables.at(0).blockWhole);
  std::string foreign = BackupText().table("t", 1).add({"hello"}).str();
  EXPECT_FALSE(indexOf(foreign).tables.at(0).blockWhole);
}

TEST(PreviousBackupIndex, ObjectSectionsStandApartFromTableBlocks) {
  ObjectDefinition procedure;
  procedure.kind = backup_format::SectionKind::kProcedure;
  procedure.name = "p";
  // A body line that looks like a table block with a row.
  procedure.createText =
      "CREATE PROCEDURE `p`() SELECT 'x\n# Tabelle 'ghost'\n# Update: ''\n" +
      backup_format::hashLine() + "\nINSERT INTO `ghost` VALUES ('1');\n'";
  procedure.characterSet = "utf8mb4";
  procedure.collation = "utf8mb4_general_ci";
  ObjectDefinition trigger = procedure;
  trigger.kind = backup_format::SectionKind::kTrigger;
  trigger.name = "t\nr";
  // The trigger and the view in the hex form.
  trigger.createText =
      std::string("CREATE TRIGGER tr BEFORE INSERT ON a FOR EACH ROW SET @x = 'a\0b'", 64);
  trigger.hexFormTaken = true;
  ObjectDefinition view = procedure;
  view.name = "v";
  view.createText = "CREATE VIEW `v` AS select 'a\\b' AS `1`";
  view.hexFormTaken = true;
  const std::vector<std::string> viewLines = object_section::viewLines(view, true);

  const std::string text =
      BackupText()
          .table("a", 2)
          .add({backup_format::sectionOpener(procedure.kind, procedure.name)})
          .add(object_section::objectLines(procedure, true))
          .comment("v").add(viewLines).add({"", ""})
          .add({backup_format::sectionOpener(trigger.kind, trigger.name)})
          .add(object_section::objectLines(trigger, false))
          .add(backup_format::closingLines())
          .str();
  const auto index = indexOf(text);
  ASSERT_EQ(index.tables.size(), 2u);
  EXPECT_EQ(index.tables[0].name, "a");
  EXPECT_TRUE(index.tables[0].rowsTrusted);
  EXPECT_TRUE(index.tables[0].blockWhole);
  EXPECT_EQ(copyFrom(index, index.tables[0]).output,
            copiedBlock(BackupText::rowLines("a", 2)));
  EXPECT_EQ(index.tables[1].name, "v");
  EXPECT_TRUE(index.tables[1].blockWhole);
  EXPECT_EQ(viewLines.at(2).compare(0, 20, "EXECUTE IMMEDIATE 0x"), 0);
  EXPECT_EQ(index.tables[1].definition, object_section::joinLines(viewLines));

  ASSERT_EQ(index.objects.size(), 2u);
  EXPECT_EQ(index.objects[0].kind, backup_format::SectionKind::kProcedure);
  EXPECT_EQ(index.objects[0].name, "p");
  EXPECT_EQ(index.objects[0].section.text(),
            object_section::joinLines(object_section::objectLines(procedure, true)));
  EXPECT_EQ(index.objects[1].kind, backup_format::SectionKind::kTrigger);
  EXPECT_EQ(index.objects[1].name, "t\\nr");
  // The file's closing lines belong to no section.
  EXPECT_EQ(index.objects[1].section.text(),
            object_section::joinLines(object_section::objectLines(trigger, false)));
  EXPECT_NE(index.objects[1].section.text().find("\nEXECUTE IMMEDIATE 0x"), std::string::npos);
  EXPECT_EQ(object_section::countChanges(index.objects, {procedure, trigger}, false), 1);
}

TEST(PreviousBackupIndex, RowsKeepTheirColumnListPrefix) {
  const std::string listed = backup_format::rowLinePrefix("t", {"a", "b"});
  std::string text = BackupText()
                         .comment("t")
                         .add({listed + "'1','2');", listed + "'3','VALUES (');", ""})
                         .str();
  const previous_backup::Index index = indexOf(text);
  const PreviousTableEntry& entry = index.tables.at(0);
  EXPECT_TRUE(entry.rowsTrusted);
  EXPECT_EQ(entry.rowPrefix, listed);
  // Rows of one block with different column lists are not whole rows of
  // one table shape.
  std::string mixed =
      BackupText()
          .comment("t")
          .add({listed + "'1','2');", backup_format::rowLinePrefix("t", {}) + "'3');", ""})
          .str();
  EXPECT_FALSE(indexOf(mixed).tables.at(0).rowsTrusted);
}

TEST(PreviousBackupIndex, IdentityBlockClosesTheFileAfterAnySection) {
  ObjectDefinition trigger;
  trigger.kind = backup_format::SectionKind::kTrigger;
  trigger.name = "tr";
  trigger.createText = "CREATE TRIGGER tr BEFORE INSERT ON a FOR EACH ROW SET @x = 1";
  trigger.characterSet = "utf8mb4";
  trigger.collation = "utf8mb4_general_ci";
  const std::string settings = backup_format::settingsText(true, true, false);
  backup_format::LogPosition logAt;
  logAt.file = "log-bin.000012";
  logAt.position = 4711;
  logAt.start = 1714557600;
  logAt.gtid = "0-1-17,1-2-3";
  const Lines block = {backup_format::settingsLine(settings),
                       backup_format::logPositionLine(logAt),
                       backup_format::identityLine("a", "1 InnoDB :5:6"),
                       backup_format::identityLine("it's\x01", "2 MyISAM 1 7 2"),
                       backup_format::identityLine("a", "3 InnoDB :9:9"),
                       // Lines of the block never open a table block.
                       "# Tabelle 'ghost'"};
  for (bool afterObject : {false, true}) {
    SCOPED_TRACE(afterObject ? "after a trigger" : "after a table");
    BackupText text;
    text.table("a", 2).table("it's\x01", 1);
    if (afterObject)
      text.add({backup_format::sectionOpener(trigger.kind, trigger.name)})
          .add(object_section::objectLines(trigger, false));
    const auto index = indexOf(text.add(block).str());
    EXPECT_EQ(index.settings, settings);
    ASSERT_EQ(index.tables.size(), 2u);
    EXPECT_EQ(index.tables[0].identity, "1 InnoDB :5:6");
    EXPECT_EQ(index.tables[1].identity, "2 MyISAM 1 7 2");
    EXPECT_EQ(index.logPosition.file, logAt.file);
    EXPECT_EQ(index.logPosition.position, logAt.position);
    EXPECT_EQ(index.logPosition.start, logAt.start);
    EXPECT_EQ(index.logPosition.gtid, logAt.gtid);
    EXPECT_TRUE(index.tables[1].blockWhole);
    EXPECT_TRUE(index.tables[1].rowsTrusted);
    EXPECT_EQ(index.objects.size(), afterObject ? 1u : 0u);
  }
  // A file without the block names neither settings nor identities.
  const auto old = indexOf(BackupText().table("a", 2).str());
  EXPECT_EQ(old.settings, "");
  EXPECT_EQ(old.tables.at(0).identity, "");
  EXPECT_EQ(old.logPosition.file, "");
}

// Rows far longer than the reader holds of a line (several MiB) are judged
// and copied as they stream, in every form, and a flaw anywhere in them,
// also in a run of backslashes that spans the reader's pieces, is found.
TEST(PreviousBackupIndex, LongRowLinesAreJudgedAndCopiedAsTheyStream) {
  const std::size_t kLong = std::size_t{5} << 20;
  const std::string prefix = backup_format::rowLinePrefix("t", {});
  const std::string head = backup_format::statementHead("t", {});
  const std::string value(kLong, 'v');
  const std::string escapes(kLong, '\\');  // an even run: the quote closes
  const struct {
    const char* what;
    Lines rows;
    bool trusted;
  } cases[] = {
      {"rows of one a statement",
       {prefix + "'" + value + "','x');", prefix + "'1','" + value + "');"}, true},
      {"a long first row sets the number of values",
       {prefix + "'" + value + "',NULL,'x');", prefix + "'1','2',NULL);"}, true},
      {"an even run of backslashes", {prefix + "'" + escapes + "','x');"}, true},
      {"rows of several a statement",
       {head, "('" + value + "','x'),", "('1','" + value + "');"}, true},
      {"an odd run of backslashes", {prefix + "'" + escapes + "\\','x');"}, false},
      {"a value too many at the end",
       {prefix + "'1','x');", prefix + "'" + value + "','x','y');"}, false},
      {"no semicolon", {prefix + "'1','x');", prefix + "'" + value + "','x')"}, false},
      {"a quote left open", {prefix + "'1','x');", prefix + "'1','" + value}, false},
      {"another prefix",
       {prefix + "'1','x');", "INSERT INTO `t` (`a`) VALUES ('" + value + "','x');"}, false},
      {"a statement not ended",
       {head, "('1','x'),", "('" + value + "','x'),"}, false},
      {"a long statement head", {head + std::string(kLong, ' '), "('1','x');"}, false},
      {"a NUL in a long value", {prefix + "'" + value + '\0' + value + "','x');"}, false},
  };
  for (const auto& c : cases) {
    for (const std::string lineEnd : {"\r\n", "\n"}) {
      SCOPED_TRACE(std::string(c.what) + (lineEnd == "\n" ? ", LF" : ", CR LF"));
      const std::string text =
          BackupText().comment("t").add(c.rows).add({""}).table("u", 2).str(lineEnd);
      const auto index = indexOf(text);
      ASSERT_EQ(index.tables.size(), 2u);
      EXPECT_TRUE(index.tables[1].rowsTrusted);
      const PreviousTableEntry& entry = index.tables[0];
      ASSERT_EQ(entry.rowsTrusted, c.trusted);
      if (!c.trusted) continue;
      const CopyResult copy = copyFrom(index, entry);
      EXPECT_EQ(copy.count, entry.rowCount);
      EXPECT_TRUE(copy.output == copiedBlock(c.rows));
    }
  }
}

// Bytes made up as they are read: a table block whose first row line goes
// on for `lineBytes` without a line end.
class UnfinishedLine : public file_lines::PlainBytes {
 public:
  explicit UnfinishedLine(std::uint64_t lineBytes)
      : start_(BackupText().comment("t").str() + "INSERT INTO `t` VALUES ('"),
        size_(start_.size() + lineBytes) {}
  ssize_t readAt(char* buffer, std::size_t length,
                 std::uint64_t offset) const override {
    if (offset >= size_) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
    for (std::size_t i = 0; i < length; ++i)
      buffer[i] = offset + i < start_.size() ? start_[offset + i] : 'x';
    return static_cast<ssize_t>(length);
  }
  FileStamp stamp() const override {
    FileStamp stamp;
    stamp.size = static_cast<off_t>(size_);
    return stamp;
  }

 private:
  std::string start_;
  std::uint64_t size_;
};

// A line that never ends costs the reader no more memory than a short one:
// indexed in a process that may not take 96 MiB more than it holds, 512
// MiB of one unfinished row line leave an entry whose rows are not trusted.
TEST(PreviousBackupIndex, UnfinishedLineIsReadInBoundedMemory) {
  std::uint64_t heldKiB = 0;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 7, "VmSize:") == 0) heldKiB = std::stoull(line.substr(7));
  ASSERT_GT(heldKiB, 0u);
  const UnfinishedLine bytes(std::uint64_t{512} << 20);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlimit limit{(heldKiB << 10) + (std::uint64_t{96} << 20),
                       (heldKiB << 10) + (std::uint64_t{96} << 20)};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    try {
      const previous_backup::Index index = previous_backup::buildIndex(bytes);
      _exit(index.tables.size() == 1 && !index.tables[0].rowsTrusted &&
                    !index.tables[0].blockWhole
                ? 0
                : 1);
    } catch (...) {
      _exit(2);  // out of memory
    }
  }
  int status_ = 0;
  ASSERT_EQ(waitpid(child, &status_, 0), child);
  ASSERT_TRUE(WIFEXITED(status_)) << status_;
  EXPECT_EQ(WEXITSTATUS(status_), 0);
}

// A procedure's or a view's line longer than the reader holds: the reader
// keeps only its first kLineHeld bytes, yet the object never equals one
// whose line is just those bytes (it would count as unchanged, and the
// run would keep a file that holds another definition).
TEST(PreviousBackupIndex, LongObjectLinesEqualNoObjectWritten) {
  const std::size_t kept = file_lines::kLineHeld;
  ObjectDefinition before;
  before.kind = backup_format::SectionKind::kProcedure;
  before.name = "p";
  before.createText = "CREATE PROCEDURE `p`()\nBEGIN\n-- " + std::string(kept, 'x') +
                      "\nSELECT 1;\nEND";
  before.characterSet = "utf8mb4";
  before.collation = "utf8mb4_general_ci";
  ObjectDefinition now = before;  // the line cut where the reader cuts it
  now.createText = "CREATE PROCEDURE `p`()\nBEGIN\n-- " + std::string(kept - 3, 'x') +
                   "\nSELECT 1;\nEND";
  ObjectDefinition view = before;
  view.name = "v";
  view.createText = "CREATE VIEW `v` AS select '" + std::string(kept, 'y') + "' AS `1`";
  const std::vector<std::string> viewLines = object_section::viewLines(view, true);
  ASSERT_GT(viewLines.size(), 0u);
  std::vector<std::string> viewHeads;
  for (const std::string& line : viewLines) viewHeads.push_back(line.substr(0, kept));

  const std::string text =
      BackupText()
          .table("a", 1)
          .comment("v").add(viewLines).add({"", ""})
          .add({backup_format::sectionOpener(before.kind, before.name)})
          .add(object_section::objectLines(before, true))
          .add(backup_format::closingLines())
          .str();
  const auto index = indexOf(text);
  ASSERT_EQ(index.tables.size(), 2u);
  EXPECT_TRUE(index.tables[0].rowsTrusted);
  EXPECT_TRUE(index.tables[1].definition != object_section::joinLines(viewHeads));
  ASSERT_EQ(index.objects.size(), 1u);
  EXPECT_GT(object_section::countChanges(index.objects, {now}, true), 0);
}
