#include "backup/table_writer.h"

#include <vector>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/local_time.h"
#include "backup/object_section.h"
#include "backup/previous_file.h"
#include "backup/progress.h"
#include "backup/row_reader.h"
#include "backup/run_session.h"
#include "backup/snapshot_lock.h"

using console_text::printLine;

namespace {

// A line feed in the table's name or in a name of its row lines' column
// list would be stored as CR LF: the restore would make a table of another
// name, and a row line would span two lines.
bool lineFeedInNames(const TableEntry& table) {
  if (table.name.find('\n') != std::string::npos) return true;
  for (const std::string& column : table.columns)
    if (column.find('\n') != std::string::npos) return true;
  return false;
}

}  // namespace

TableWriter::TableWriter(db::Session& session, BackupFile& out, RowReader& reader,
                         const plan::Settings& settings, const TableJob& job)
    : session_(session), out_(out), reader_(reader), settings_(settings), job_(job) {}

// The last way writeRows() takes.
bool TableWriter::readsRowsFromServer(int index) const {
  const plan::TablePlan& planned = job_.plan.tables[index];
  return planned.rows != plan::Rows::kNone && !planned.readFirst &&
         !(planned.rows == plan::Rows::kCopy && job_.previous != nullptr);
}

bool TableWriter::write(int index) {
  const std::vector<TableEntry>& tables = job_.inventory.tables;
  if (index < 0 || index >= static_cast<int>(tables.size())) {
    printLine(console_text::wrongTableNumber(index));
    return false;
  }
  const TableEntry& table = tables[index];
  if (!writeHeading(table)) return false;
  if (settings_.saveStructure && !writeStructure(table)) return false;
  if (!settings_.saveData) return true;
  RowsResult rows;
  if (!writeRows(index, &rows)) return false;
  // The restore runs without autocommit. Rows are committed by the next
  // table's definition; without definitions, by a line of their own (after
  // the last table the closing lines do it). That line is no part of the
  // rows block, so it starts a frame of its own: the block stays its frames.
  const bool last = index + 1 == static_cast<int>(tables.size());
  if (rows.rows > 0 && !settings_.saveStructure && !last) {
    out_.startFrame();
    if (!(out_.writeLine(backup_format::kCommitLine) && out_.writeLine("")))
      return false;
  }
  // The table counts once its rows are in the file, compressed or not.
  if (rows.whole && !out_.settle()) {
    printLine(console_text::kRowsNotWritten);
    return false;
  }
  return rows.whole;
}

// The console's line for the table, and the section's comment lines.
bool TableWriter::writeHeading(const TableEntry& table) {
  printLine("");
  printLine(console_text::savingTable(table.name));
  if (out_.failed()) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  // An unknown update time leaves the date empty.
  std::string updated =
      table.updateKnown
          ? local_time::format(table.updateTime,
                               backup_format::kCommentDatePattern)
          : std::string();
  out_.startFrame();
  bool whole =
      out_.writeLine(backup_format::kTableCommentPrefix +
                     backup_format::commentName(table.name) + "'") &&
      out_.writeLine(backup_format::kUpdateCommentPrefix + updated + "'") &&
      out_.writeLine(backup_format::hashLine());
  if (!whole) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  if (lineFeedInNames(table)) {
    printLine(console_text::kLineFeedInName);
    return false;
  }
  return true;
}

bool TableWriter::writeStructure(const TableEntry& table) {
  if (table.isView) return writeViewStructure(table);
  if (settings_.dropTable &&
      !out_.writeLine(backup_format::dropLine(table.name, table.isView)))
    return false;
  console_text::printStart(console_text::kQueryingDefinition);
  db::Rows rows;
  if (!session_.select("SHOW CREATE TABLE " +
                       backup_format::quoteIdentifier(table.name) + ";",
                       &rows)) {
    run_session::printError(session_);
    return false;
  }
  printLine(console_text::kOk);
  if (rows.size() == 0 || rows.columnCount() < 2 || rows.isNull(0, 1)) {
    printLine(console_text::kNoTableDefinition);
    return false;
  }
  std::string definition = rows.text(0, 1);
  if (backup_format::lineFeedInQuotes(definition)) {
    printLine(console_text::kLineFeedInName);
    return false;
  }
  if (backup_format::clientActsWithin(definition, ";", true)) {
    printLine(console_text::error(console_text::kUnwritableDefinition));
    return false;
  }
  definition += ";";
  return out_.writeLine(definition) &&
         out_.writeLine("");
}

bool TableWriter::writeViewStructure(const TableEntry& view) {
  const Inventory& inventory = job_.inventory;
  console_text::printStart(console_text::kQueryingDefinition);
  auto found = inventory.viewDefinitions.find(view.name);
  std::vector<std::string> lines;
  std::string error = found == inventory.viewDefinitions.end()
                          ? console_text::kNoDefinition
                          : found->second.error;
  if (error.empty()) {
    lines = object_section::viewLines(found->second, settings_.dropTable);
    if (lines.empty()) error = console_text::kUnwritableDefinition;
  }
  if (!error.empty()) {
    printLine(console_text::error(error));
    return false;
  }
  printLine(console_text::kOk);
  for (const std::string& line : lines)
    if (!out_.writeLine(line)) return false;
  return out_.writeLine("");
}

bool TableWriter::writeRows(int index, RowsResult* rows) {
  const TableEntry& table = job_.inventory.tables[index];
  // Past rows go in only between the history lines, which stay outside
  // the rows block: copied rows get them from the run that copies them.
  const bool history = table.historySaved && !table.isView && !table.rowsElsewhere;
  if (history && !out_.writeLine(backup_format::kHistoryOnLine)) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  // The rows block may later be copied as its frames; the file takes rows
  // only while it is open.
  out_.beginRows();
  const plan::TablePlan& planned = job_.plan.tables[index];
  if (planned.rows == plan::Rows::kNone) {
    // No rows of its own.
    rows->whole = out_.writeLine("");
  } else if (planned.rows == plan::Rows::kCopy && job_.previous != nullptr) {
    *rows = copyFromPrevious(table.name);
  } else if (planned.readFirst) {
    *rows = job_.readFirst.copyInto(table.name, out_);
  } else {
    *rows = reader_.read(table, session_, out_);  // readsRowsFromServer()
  }
  out_.endRows();
  printLine(console_text::rowsSaved(rows->rows));
  if (history && planned.rows == plan::Rows::kRead) printHistoryLeftOut(table);
  if (!history) return true;
  out_.startFrame();
  return out_.writeLine(backup_format::kHistoryOffLine) && out_.writeLine("");
}

RowsResult TableWriter::copyFromPrevious(const std::string& tableName) {
  printLine(console_text::kCopyingRows);
  const PreviousTableEntry* entry = job_.previous->find(tableName);
  RowsResult rows;
  RowProgress progress(tableName);
  if (entry != nullptr) rows = job_.previous->copyRows(*entry, out_, &progress);
  progress.finish();
  // A copy stops at the first failure of either file; the output's is kept.
  if (!rows.whole && out_.failed())
    printLine(console_text::kRowsNotWritten);
  else if (!rows.whole)
    printLine(console_text::kPreviousChanged);
  return rows;
}

// Counted, not read: the rows are read with historyRowsKept(), which
// cannot tell how many it left out. In the snapshot, for a table with
// transactions; a table without them may have changed since its rows
// were read at the snapshot's moment, and the count is then that of now.
void TableWriter::printHistoryLeftOut(const TableEntry& table) {
  long long leftOut = 0;
  if (session_.selectNumber("SELECT COUNT(*) FROM " +
                                backup_format::quoteIdentifier(table.name) +
                                " FOR SYSTEM_TIME ALL WHERE NOT (" +
                                historyRowsKept(table) + ")",
                            &leftOut) &&
      leftOut > 0)
    console_text::printLine(console_text::historyRowsLeftOut(table.name, leftOut));
}

