#include <iostream>
#include <memory>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/local_time.h"

namespace {

void printLine(const std::string& text) { std::cout << text << std::endl; }

}  // namespace

bool BackupEngine::writeStructure(const TableEntry& table) {
  if (dropTable &&
      !backup_format::writeLine(outFile,
                                backup_format::dropLine(table.name, table.isView)))
    return false;
  std::cout << "Abfrage der Tabellen-beschreibung: " << std::flush;
  if (!query("SHOW CREATE TABLE " +
             backup_format::quoteIdentifier(table.name) + ";")) {
    printLine(std::string("Fehler: ") + mysql_error(connection));
    return false;
  }
  std::unique_ptr<MYSQL_RES, void (*)(MYSQL_RES*)> result(
      mysql_store_result(connection), mysql_free_result);
  if (!result) {
    printLine(std::string("Fehler: ") + mysql_error(connection));
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
  definition += ";";
  return backup_format::writeLine(outFile, definition) &&
         backup_format::writeLine(outFile, "");
}

bool BackupEngine::saveTable(int index) {
  if (index < 0 || index >= static_cast<int>(tables.size())) {
    printLine("Falsche Tabellennummer! (" + std::to_string(index) + ")");
    return false;
  }
  const TableEntry table = tables[index];
  std::cout << std::endl;
  printLine("Speichere Tabelle '" + table.name + "'");
  if (outFile.fail()) {
    printLine("Kann nicht in die Datei schreiben!");
    return false;
  }
  // An unknown update time leaves the date empty.
  std::string updated =
      table.updateKnown
          ? local_time::format(table.updateTime,
                               backup_format::kCommentDatePattern)
          : std::string();
  bool whole =
      backup_format::writeLine(outFile,
                               backup_format::kTableCommentPrefix + table.name + "'") &&
      backup_format::writeLine(outFile,
                               backup_format::kUpdateCommentPrefix + updated + "'") &&
      backup_format::writeLine(outFile, backup_format::hashLine());
  if (!whole) {
    printLine("Kann nicht in die Datei schreiben!");
    return false;
  }
  if (saveStructure && !writeStructure(table)) return false;
  if (!saveData) return true;

  int count = 0;
  bool rowsWhole = true;
  if (table.isView) {
    // A view has no rows of its own.
    rowsWhole = backup_format::writeLine(outFile, "");
  } else if (fromPreviousBackup && canCopyRows(table)) {
    count = copyRowsFromPrevious(table.name);
    rowsWhole = count >= 0;
    if (count < 0) count = 0;
  } else {
    count = dumpRows(table.name);
    rowsWhole = !lastRowsFailed_;
  }
  printLine(std::to_string(count) + " Datens\xE4tze gespeichert.");
  return rowsWhole;
}

const TableEntry* BackupEngine::findTable(const std::string& name) const {
  for (const TableEntry& table : tables)
    if (table.name == name) return &table;
  return nullptr;
}
