#include <chrono>
#include <iostream>
#include <set>
#include <thread>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/local_time.h"

namespace {

void printLine(const std::string& text) { std::cout << text << std::endl; }

// The current time, but never in the second named by `avoidStamp`: a new
// file must not take the name of (and truncate) the previous backup.
time_t currentTimeAvoiding(const std::string& avoidStamp) {
  time_t now = std::time(nullptr);
  while (local_time::format(now, backup_format::kStampPattern) == avoidStamp) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = std::time(nullptr);
  }
  return now;
}

}  // namespace

std::string BackupEngine::preamble() const {
  return backup_format::preambleLine(mysql_character_set_name(connection));
}

bool BackupEngine::openOutput(const std::string& fileName) {
  outFile.open(fileName, std::ios::out | std::ios::trunc | std::ios::binary);
  if (!outFile.is_open() || outFile.fail()) {
    printLine("Konnte Datei " + fileName + " nicht zum schreiben \xF6" "ffnen.");
    return false;
  }
  return true;
}

int BackupEngine::countChanges() const {
  int changed = 0;
  for (const TableEntry& table : tables)
    if (!isUnchanged(table)) ++changed;
  // A table dropped since the previous backup is a change as well.
  std::set<std::string> gone;
  for (const PreviousTableEntry& previous : prevTables)
    if (findTable(previous.name) == nullptr) gone.insert(previous.name);
  return changed + static_cast<int>(gone.size());
}

bool BackupEngine::runBackup(std::string savePath, bool saveStructure,
                             bool saveData, bool dropTable,
                             bool fromPreviousBackup,
                             std::string lastBackupTime) {
  if (connection == nullptr) {
    std::cerr << "Kein MySqlSocket offen!" << std::flush;
    return false;
  }
  if (!connected) {
    std::cerr << "Es besteht keine Verbindung zu einer Datenbank!" << std::endl;
    return false;
  }
  this->saveStructure = saveStructure;
  this->saveData = saveData;
  this->dropTable = dropTable;
  this->fromPreviousBackup = fromPreviousBackup;

  int tableCount = queryTables();
  if (tableCount == 0) return false;
  // Rows are read in UTC, and the preamble tells the restore so.
  if (!query("SET SESSION time_zone = '+00:00'")) {
    printLine(std::string("Fehler: ") + mysql_error(connection));
    return false;
  }

  if (this->fromPreviousBackup) {
    std::string previousName =
        backup_format::fileName(savePath, databaseName, lastBackupTime);
    if (!loadPreviousBackup(previousName)) {
      this->fromPreviousBackup = false;
      printLine("Konnte kein altes Backup laden! Starte direktes Update.");
    } else {
      int changed = countChanges();
      if (changed == 0) {
        printLine("Es gab keine \xC4nderungen in der Datenbank seit dem letzten Backup!");
        printLine("Backupvorgang wird abgebrochen.");
        return false;
      }
      printLine("Seit dem letzten Backup wurden " + std::to_string(changed) +
                " Tabellen ge\xE4ndert.");
      printLine("Starte Backupvorgang.");
      printLine("");
    }
  }

  time_t now = currentTimeAvoiding(lastBackupTime);
  backupTime = local_time::format(now, backup_format::kStampPattern);
  std::string created =
      local_time::format(now, backup_format::kCommentDatePattern);
  std::string fileName =
      backup_format::fileName(savePath, databaseName, backupTime);
  if (!openOutput(fileName)) return false;
  printLine("Erzeuge Datei '" + fileName + "' zum Speichern der Daten.");
  printLine("Schreibe Dateikopf.");
  for (const std::string& line :
       backup_format::headerLines(databaseName, created))
    backup_format::writeLine(outFile, line);
  backup_format::writeLine(outFile, preamble());
  backup_format::writeLine(outFile, "");

  int saved = 0;
  for (int i = 0; i < static_cast<int>(tables.size()); ++i)
    if (saveTable(i)) ++saved;

  printLine("");
  printLine(std::to_string(saved) + " von " + std::to_string(tableCount) +
            " Tabellen erfolgreich gespeichert.");
  outFile.close();
  if (saved != tableCount || outFile.fail()) {
    printLine("Achtung: Das Backup " + fileName +
              " ist unvollst\xE4ndig und gilt nicht als letztes Backup!");
    return false;
  }
  return true;
}
