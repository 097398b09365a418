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

// Connection, first pause and backup; the engine is gone when this returns.
void connectAndBackup(CIniFile& settings, const RunValues& values) {
  BackupEngine engine;
  if (engine.createSocket() &&
      engine.connect(values.host, values.user, values.password,
                     values.databaseName)) {
    std::cout << "Start des Backups mit Taste" << std::endl;
    pauseForKey();
    if (engine.runBackup(values.savePath, values.saveStructure,
                         values.saveData, values.dropTable,
                         values.fromPreviousBackup, values.lastBackupTime) ==
        RunOutcome::kComplete)
      storeSettings(settings, values, engine);
  }
  pauseForKey();
}

}  // namespace

int runProgram() {
  RunValues values;
  printBanner();
  std::cout << "Lade Ini-Datei: " << std::flush;
  CIniFile settings(kSettingsFileName);
  takeSettings(settings, values);
  connectAndBackup(settings, values);
  return 0;
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
