#include <iostream>
#include <memory>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/local_time.h"

namespace {

void printLine(const std::string& text) { std::cout << text << std::endl; }

void printLineFeedInName() {
  printLine("Fehler: Ein Name der Tabelle enth\xE4lt einen Zeilenumbruch, den "
            "die Datei nicht wiedergeben kann.");
}

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

bool BackupEngine::writeStructure(const TableEntry& table) {
  if (table.isView) return writeViewStructure(table);
  if (dropTable &&
      !outFile.writeLine(backup_format::dropLine(table.name, table.isView)))
    return false;
  std::cout << "Abfrage der Tabellen-beschreibung: " << std::flush;
  if (!query("SHOW CREATE TABLE " +
             backup_format::quoteIdentifier(table.name) + ";")) {
    printLine(std::string("Fehler: ") + serverError());
    return false;
  }
  std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(
      mysql_store_result(connection), mysql_free_result);
  if (!result) {
    printLine(std::string("Fehler: ") + serverError());
    return false;
  }
  printLine("OK");
  MYSQL_ROW row = mysql_fetch_row(result.get());
  if (row == nullptr || mysql_num_fields(result.get()) < 2 ||
      row[1] == nullptr) {
    printLine("Fehler: Der Server lieferte keine Tabellenbeschreibung.");
    return false;
  }
  unsigned long* lengths = mysql_fetch_lengths(result.get());
  std::string definition(row[1], lengths[1]);
  if (backup_format::lineFeedInQuotes(definition)) {
    printLineFeedInName();
    return false;
  }
  if (backup_format::clientActsWithin(definition, ";", true)) {
    printLine(std::string("Fehler: ") + kUnwritableDefinition);
    return false;
  }
  definition += ";";
  return outFile.writeLine(definition) &&
         outFile.writeLine("");
}

bool BackupEngine::saveTable(int index) {
  if (index < 0 || index >= static_cast<int>(tables.size())) {
    printLine("Falsche Tabellennummer! (" + std::to_string(index) + ")");
    return false;
  }
  const TableEntry& table = tables[index];
  std::cout << std::endl;
  printLine("Speichere Tabelle '" + backup_format::commentName(table.name) + "'");
  if (outFile.failed()) {
    printLine("Kann nicht in die Datei schreiben!");
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
    printLine("Kann nicht in die Datei schreiben!");
    return false;
  }
  if (lineFeedInNames(table)) {
    printLineFeedInName();
    return false;
  }
  if (saveStructure && !writeStructure(table)) return false;
  if (!saveData) return true;

  RowsResult rows;
  // Past rows go in only between the history lines, which stay outside
  // the rows block: copied rows get them from the run that copies them.
  const bool history = table.historySaved && !table.isView && !table.rowsElsewhere;
  if (history && !outFile.writeLine(backup_format::kHistoryOnLine)) {
    printLine("Kann nicht in die Datei schreiben!");
    return false;
  }
  outFile.startFrame();  // the rows block may later be copied as its frames
  if (table.isView || table.rowsElsewhere) {
    // No rows of its own.
    rows.whole = outFile.writeLine("");
  } else if (!readsRowsFromServer(table)) {
    rows = copyRowsFromPrevious(table.name);
  } else if (table.lockedAtSnapshot) {
    rows = copyRowsReadFirst(table.name);
  } else {
    rows = dumpRows(table.name);
  }
  printLine(std::to_string(rows.rows) + " Datens\xE4tze gespeichert.");
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
    printLine("Fehler: Die Daten konnten nicht geschrieben werden.");
    return false;
  }
  return rows.whole;
}

bool BackupEngine::readsRowsFromServer(const TableEntry& table) const {
  return !table.isView && !table.rowsElsewhere &&
         !(fromPreviousBackup && canCopyRows(table));
}

const TableEntry* BackupEngine::findTable(const std::string& name) const {
  auto found = tableIndex_.find(name);
  return found == tableIndex_.end() ? nullptr : &tables[found->second];
}
