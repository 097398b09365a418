#include <iostream>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/previous_backup.h"
#include "backup/progress.h"

namespace {

void printLine(const std::string& text) { std::cout << text << std::endl; }

}  // namespace

bool BackupEngine::loadPreviousBackup(std::string fileName) {
  std::cout << "\xD6" "ffne altes Backup: " << std::flush;
  prevFile.open(fileName, std::ios::in | std::ios::binary);
  if (!prevFile.is_open() || prevFile.fail()) {
    printLine("Fehler!");
    printLine("Konnte Datei " + fileName + " nicht zum lesen \xF6" "ffnen.");
    return false;
  }
  printLine("OK");
  printLine("Lese Daten aus dem alten Backup.");
  previous_backup::Index index = previous_backup::buildIndex(prevFile);
  prevTables = std::move(index.tables);
  // Rows are copied only when they were written for the same session
  // settings (character set, mode, time zone) as this run's rows.
  prevPreambleMatches_ = index.hasPreamble && index.preamble == preamble();
  return true;
}

const PreviousTableEntry* BackupEngine::findPrevious(
    const std::string& name) const {
  return previous_backup::find(prevTables, name);
}

time_t BackupEngine::findPreviousUpdateTime(std::string tableName) {
  const PreviousTableEntry* entry = findPrevious(tableName);
  return entry != nullptr && entry->updateKnown ? entry->updateTime : 0;
}

bool BackupEngine::isUnchanged(const TableEntry& table) const {
  const PreviousTableEntry* previous = findPrevious(table.name);
  if (previous == nullptr) return false;
  // A view has no update time; its section's presence is all there is.
  if (table.isView) return true;
  return previous->blockWhole && table.updateKnown && previous->updateKnown &&
         table.updateTime == previous->updateTime;
}

bool BackupEngine::canCopyRows(const TableEntry& table) const {
  const PreviousTableEntry* previous = findPrevious(table.name);
  // A column renamed without a change of the update time would leave the
  // copied column lists naming the old column.
  return !table.isView && prevPreambleMatches_ && isUnchanged(table) &&
         previous->rowsTrusted &&
         previous->rowPrefix ==
             backup_format::rowLinePrefix(table.name, table.columns);
}

int BackupEngine::copyRowsFromPrevious(std::string tableName) {
  printLine("Kopiere die Daten aus dem alten Backup heraus.");
  const PreviousTableEntry* entry = findPrevious(tableName);
  if (entry == nullptr || !entry->rowsTrusted) return 0;
  RowProgress progress(tableName);
  int count = previous_backup::copyRows(prevFile, *entry, outFile, &progress);
  progress.finish();
  if (count < 0)
    printLine("Fehler: Das alte Backup hat sich beim Kopieren ver\xE4ndert.");
  return count;
}
