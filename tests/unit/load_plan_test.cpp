// The plan of a load: what it takes of a file, and how it cuts rows.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "backup/backup_format.h"
#include "backup/load_plan.h"

namespace {

namespace bf = backup_format;

// A file of one table `t` whose rows are `rows` (lines without ends).
std::string fileWith(const std::string& rows) {
  std::string text;
  for (const std::string& line : bf::headerLines("db", "08.12.2026 12:00:00"))
    text += line + "\r\n";
  text += bf::preambleLine("utf8mb4") + "\r\n\r\n# Tabelle 't'\r\n# Update: ''\r\n" +
          bf::hashLine() + "\r\nDROP TABLE IF EXISTS `t`;\r\nCREATE TABLE `t` (\r\n"
          "  `v` int\r\n) ENGINE=InnoDB;\r\n\r\n" + rows + "\r\nCOMMIT;\r\n";
  return text;
}

}  // namespace

// Rows are cut into pieces at statement starts only, and the pieces hold
// every row once, in order.
TEST(LoadPlan, RowsAreCutAtStatementStarts) {
  for (const bool severalAStatement : {false, true}) {
    SCOPED_TRACE(severalAStatement ? "several rows a statement" : "one row a statement");
    std::string rows;
    const int count = 400000;  // 20 MiB and more
    for (int i = 0; i < count; ++i) {
      const std::string values = "('" + std::to_string(i) + "','" + std::string(45, 'x') + "')";
      if (!severalAStatement) {
        rows += "INSERT INTO `t` VALUES " + values + ";\r\n";
      } else {
        if (i % 1000 == 0) rows += "INSERT INTO `t` VALUES\r\n";
        rows += values + (i % 1000 == 999 ? ";" : ",") + "\r\n";
      }
    }
    const std::string text = fileWith(rows);
    const load_plan::Plan plan = load_plan::planLoad(file_lines::TextBytes(text));
    ASSERT_EQ(plan.refusal, "");
    EXPECT_EQ(plan.database, "db");
    ASSERT_EQ(plan.tables.size(), 1u);
    const load_plan::TableLoad& table = plan.tables[0];
    EXPECT_EQ(table.rowCount, static_cast<std::uint64_t>(count));
    ASSERT_GE(table.pieces.size(), 2u);
    std::uint64_t at = table.rows.begin, inPieces = 0;
    for (const load_plan::RowsPiece& piece : table.pieces) {
      EXPECT_EQ(piece.span.begin, at);
      EXPECT_EQ(text.compare(piece.span.begin, 13, "INSERT INTO `"), 0);
      EXPECT_EQ(std::count(text.begin(), text.begin() + piece.span.begin, '\n') + 1,
                static_cast<long>(piece.span.line));
      at = piece.span.end;
      inPieces += piece.rowCount;
    }
    EXPECT_EQ(at, table.rows.end);
    EXPECT_EQ(inPieces, table.rowCount);
  }
}
