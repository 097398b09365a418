#include <cstdlib>
#include <cstring>
#include <iostream>

#include "app/app.h"
#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/rotation.h"
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
  engine.setCompressed(values.compressed);
  engine.setRowsPerStatement(values.rowsPerStatement);
  RunOutcome outcome = engine.runBackup(
      values.savePath, values.saveStructure, values.saveData, values.dropTable,
      values.fromPreviousBackup, values.lastBackupTime);
  if (outcome == RunOutcome::kNothingChanged) return true;
  if (outcome != RunOutcome::kComplete || !storeSettings(settings, values, engine))
    return false;
  // Only once the new backup is the one the next run compares with. A
  // deletion that fails is told and changes nothing else.
  const std::string& written = engine.backupFileName();
  const std::string::size_type slash = written.rfind('/');
  rotation::removeOldBackups(
      slash == std::string::npos ? "." : slash == 0 ? "/" : written.substr(0, slash),
      values.databaseName, values.keepBackups, written);
  return true;
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

namespace {

#ifndef VKT_VERSION
#define VKT_VERSION "0.9"
#endif

constexpr char kCheckOption[] = "--pruefen";
constexpr char kLoadOption[] = "--einspielen";

void printUsage() {
  std::cout
      << "Aufruf: velmoraskintide                 ein Backup nach der vkt.ini im "
         "Arbeitsverzeichnis\n"
         "        velmoraskintide --pruefen [DATEI...]\n"
         "                                          pr\xFC" "ft Backups ohne Server (ohne "
         "DATEI: das letzte,\n"
         "                                          das die vkt.ini nennt)\n"
         "        velmoraskintide --einspielen DATEI|- [--datenbank NAME] [--ersetzen]\n"
         "                        [--verbindungen N]\n"
         "                                          pr\xFC" "ft ein Backup und spielt es in die "
         "Datenbank\n"
         "                                          ein (Server und Konto aus der vkt.ini)\n"
         "        velmoraskintide --help | --version\n"
         "\n"
         "Schl\xFCssel der vkt.ini (Abschnitt [DBDATEN]):\n"
         "  host, user, pass, db-name   Server, Konto und Datenbank\n"
         "  save-path                   Verzeichnis der Backups\n"
         "  save-strucktur=0|1          die Struktur sichern\n"
         "  save-daten=0|1              die Zeilen sichern\n"
         "  droptable=0|1               DROP vor jedem CREATE\n"
         "  backup-from-file=0|1        Zeilen unver\xE4nderter Tabellen aus dem letzten "
         "Backup\n"
         "  zeit-last-backup            Zeit des letzten Backups (schreibt das Programm)\n"
         "  kompression=zstd            Backups als .sql.zst\n"
         "  anzahl-backups=N            nur die N neuesten Backups behalten\n"
         "  zeilen-je-insert=N          bis zu N Zeilen je INSERT\n"
         "\n"
         "Exit-Status: 0 Backup vollst\xE4ndig, nichts ge\xE4ndert, jede gepr\xFC" "fte "
         "Datei in Ordnung,\n"
         "             oder das Backup vollst\xE4ndig eingespielt;\n"
         "             1 sonst; 2 unbekannte Option.\n"
         "\n"
         "Mehr: siehe velmoraskintide(1).\n"
      << std::flush;
}

int usageError(const std::string& argument) {
  std::cerr << "Unbekannte Option '" << backup_format::commentName(argument)
            << "'. Aufruf: velmoraskintide [--pruefen [DATEI...] | --einspielen DATEI | --help | "
               "--version]"
            << std::endl;
  return kUsageError;
}

// The files after --pruefen: every argument, "--" ends the options.
int runCheck(const std::vector<std::string>& arguments) {
  std::vector<std::string> files;
  bool optionsEnded = false;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (!optionsEnded && argument == "--") {
      optionsEnded = true;
    } else if (!optionsEnded && argument.size() > 1 && argument[0] == '-') {
      return usageError(argument);
    } else {
      files.push_back(argument);
    }
  }
  if (files.empty()) {
    std::string last;
    if (!lastBackupName(&last)) return EXIT_FAILURE;
    files.push_back(last);
  }
  return checkBackups(files);
}

}  // namespace

int runCommandLine(const std::vector<std::string>& arguments) {
  if (arguments.empty()) return runProgram();
  const std::string& first = arguments[0];
  if (first == kCheckOption) return runCheck(arguments);
  if (first == kLoadOption) return runLoad(arguments);
  if (arguments.size() > 1) return usageError(arguments[1]);
  if (first == "--help" || first == "-h") {
    printUsage();
    return EXIT_SUCCESS;
  }
  if (first == "--version") {
    std::cout << "velmoraskintide " << VKT_VERSION << std::endl;
    return EXIT_SUCCESS;
  }
  return usageError(first);
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
