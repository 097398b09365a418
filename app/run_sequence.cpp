#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/app.h"
#include "backup/backup_engine.h"
#include "ini/ini_file.h"

namespace {

void printBanner() {
  std::cout << "---------------------------------------------" << std::endl;
  std::cout << "- Velmoraskintide               Version 0.9 -" << std::endl;
  std::cout << "---------------------------------------------" << std::endl;
  std::cout << "- Programmed By Torvald Umbrisk             -" << std::endl;
  std::cout << "- www.example.org                           -" << std::endl;
  std::cout << "---------------------------------------------" << std::endl;
  std::cout << std::endl;
}

// The backup stage and, after a complete backup, the storing stage. True
// when the run succeeded: a complete backup whose time was stored, or
// nothing to back up because nothing changed.
bool backupAndStore(BackupEngine& engine, CIniFile& settings,
                    const RunValues& values) {
  engine.setRowsPerStatement(values.rowsPerStatement);
  RunOutcome outcome = engine.runBackup(
      values.savePath, values.saveStructure, values.saveData, values.dropTable,
      values.fromPreviousBackup, values.lastBackupTime);
  if (outcome == RunOutcome::kNothingChanged) return true;
  return outcome == RunOutcome::kComplete &&
         storeSettings(settings, values, engine);
}

// Connection, first pause and backup; the engine is gone when this returns.
bool connectAndBackup(CIniFile& settings, const RunValues& values) {
  BackupEngine engine;
  bool succeeded = false;
  if (engine.createSocket() &&
      engine.connect(values.host, values.user, values.password,
                     values.databaseName)) {
    std::cout << "Start des Backups mit Taste" << std::endl;
    pauseForKey();
    succeeded = backupAndStore(engine, settings, values);
  }
  pauseForKey();
  return succeeded;
}

// A run that may not go on says why on stderr. No pause: nothing was done,
// and an unattended run must end at once.
bool mayRun(const RunLock& lock) {
  if (lock.outcome() == LockOutcome::kHeld) return true;
  if (lock.outcome() == LockOutcome::kBusy) {
    std::cerr << "Ein anderes Backup l\xE4uft bereits in diesem Verzeichnis ("
              << kRunLockFileName << "). Abbruch." << std::endl;
  } else if (lock.outcome() == LockOutcome::kNotRegular) {
    std::cerr << "Die Sperrdatei " << kRunLockFileName
              << " ist keine gew\xF6hnliche Datei. Abbruch." << std::endl;
  } else {
    std::cerr << "Konnte die Sperrdatei " << kRunLockFileName
              << " nicht sperren: " << std::strerror(lock.error())
              << ". Abbruch." << std::endl;
  }
  return false;
}

}  // namespace

int runProgram() {
  // Before anything opens a file: a closed descriptor 0 would otherwise be
  // taken by the server connection, and the pause would read from it.
  if (!openStandardDescriptors()) {
    std::cerr << "Konnte /dev/null nicht \xF6" "ffnen. Abbruch." << std::endl;
    return EXIT_FAILURE;
  }
  // Held from before the settings are read until the run has ended, so
  // that two runs never write one backup file or one settings file.
  RunLock lock(kRunLockFileName);
  if (!mayRun(lock)) return EXIT_FAILURE;
  RunValues values;
  printBanner();
  std::cout << "Lade Ini-Datei: " << std::flush;
  CIniFile settings(kSettingsFileName);
  if (!takeSettings(settings, values)) return EXIT_FAILURE;
  return connectAndBackup(settings, values) ? EXIT_SUCCESS : EXIT_FAILURE;
}

void promptConnectionData(std::string& host, std::string& user,
                          std::string& password, std::string& databaseName,
                          bool& saveStructure, bool& saveData,
                          bool& dropTable) {
  std::cout << "Btte die Verbindungsdaten eingeben." << std::endl;
  std::cout << "Host: " << std::flush;
  std::cin >> host;
  std::cout << "User: " << std::flush;
  std::cin >> user;
  std::cout << "Pass: " << std::flush;
  std::cin >> password;
  std::cout << "DB-Name: " << std::flush;
  std::cin >> databaseName;
  std::cout << std::endl;
  saveStructure = true;
  saveData = true;
  dropTable = true;
}
