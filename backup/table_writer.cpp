#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/local_time.h"

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

bool BackupEngine::writeStructure(const Inventory& inventory,
                                  const TableEntry& table) {
  if (table.isView) return writeViewStructure(inventory, table);
  if (dropTable &&
      !outFile.writeLine(backup_format::dropLine(table.name, table.isView)))
    return false;
  console_text::printStart(console_text::kQueryingDefinition);
  db::Rows rows;
  if (!session_.select("SHOW CREATE TABLE " +
                       backup_format::quoteIdentifier(table.name) + ";",
                       &rows)) {
    printError();
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
  return outFile.writeLine(definition) &&
         outFile.writeLine("");
}

// The last way saveTable() takes.
bool BackupEngine::readsRowsFromServer(const Job& job, int index) {
  const plan::TablePlan& planned = job.plan.tables[index];
  return planned.rows != plan::Rows::kNone && !planned.readFirst &&
         !(planned.rows == plan::Rows::kCopy && job.previous != nullptr);
}

bool BackupEngine::saveTable(const Job& job, int index) {
  const std::vector<TableEntry>& tables = job.inventory.tables;
  if (index < 0 || index >= static_cast<int>(tables.size())) {
    printLine(console_text::wrongTableNumber(index));
    return false;
  }
  const TableEntry& table = tables[index];
  printLine("");
  printLine(console_text::savingTable(table.name));
  if (outFile.failed()) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  // An unknown update time leaves the date empty.
  std::string updated =
      table.updateKnown
          ? local_time::format(table.updateTime,
                               backup_format::kCommentDatePattern)
          : std::string();
  outFile.startFrame();
  bool whole =
      outFile.writeLine(backup_format::kTableCommentPrefix +
                        backup_format::commentName(table.name) + "'") &&
      outFile.writeLine(backup_format::kUpdateCommentPrefix + updated + "'") &&
      outFile.writeLine(backup_format::hashLine());
  if (!whole) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  if (lineFeedInNames(table)) {
    printLine(console_text::kLineFeedInName);
    return false;
  }
  if (saveStructure && !writeStructure(job.inventory, table)) return false;
  if (!saveData) return true;

  RowsResult rows;
  // Past rows go in only between the history lines, which stay outside
  // the rows block: copied rows get them from the run that copies them.
  const bool history = table.historySaved && !table.isView && !table.rowsElsewhere;
  if (history && !outFile.writeLine(backup_format::kHistoryOnLine)) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  // The rows block may later be copied as its frames; the file takes rows
  // only while it is open.
  outFile.beginRows();
  const plan::TablePlan& planned = job.plan.tables[index];
  if (planned.rows == plan::Rows::kNone) {
    // No rows of its own.
    rows.whole = outFile.writeLine("");
  } else if (planned.rows == plan::Rows::kCopy && job.previous != nullptr) {
    rows = copyRowsFromPrevious(*job.previous, table.name);
  } else if (planned.readFirst) {
    rows = copyRowsReadFirst(job.readFirst, table.name);
  } else {
    rows = dumpRows(table);  // readsRowsFromServer()
  }
  outFile.endRows();
  printLine(console_text::rowsSaved(rows.rows));
  if (history && planned.rows == plan::Rows::kRead) printHistoryLeftOut(table);
  if (history) {
    outFile.startFrame();
    if (!(outFile.writeLine(backup_format::kHistoryOffLine) && outFile.writeLine("")))
      return false;
  }
  // The restore runs without autocommit. Rows are committed by the next
  // table's definition; without definitions, by a line of their own (after
  // the last table the closing lines do it). That line is no part of the
  // rows block, so it starts a frame of its own: the block stays its frames.
  const bool last = index + 1 == static_cast<int>(tables.size());
  if (rows.rows > 0 && !saveStructure && !last) {
    outFile.startFrame();
    if (!(outFile.writeLine(backup_format::kCommitLine) && outFile.writeLine("")))
      return false;
  }
  // The table counts once its rows are in the file, compressed or not.
  if (rows.whole && !outFile.settle()) {
    printLine(console_text::kRowsNotWritten);
    return false;
  }
  return rows.whole;
}

