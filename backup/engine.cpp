#include <iostream>

#include <unistd.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"

BackupEngine::BackupEngine()
    : connected(false),
      saveStructure(true),
      saveData(true),
      dropTable(false),
      fromPreviousBackup(true) {}

BackupEngine::~BackupEngine() {
  releaseSnapshotLock();
  if (prevFile >= 0) close(prevFile);
  if (prevPacked_ >= 0) close(prevPacked_);
  if (readFirstFile_ >= 0) close(readFirstFile_);
}

bool BackupEngine::createSocket() {
  std::cout << "Erzeuge MySql-Socket: " << std::flush;
  if (session_.open()) {
    std::cout << "OK" << std::endl;
    return true;
  }
  // A null handle has no error text to ask for.
  std::cout << "Fehler!" << std::endl;
  std::cout << "Kein Speicher f\xFCr den MySql-Socket." << std::endl;
  return false;
}

bool BackupEngine::connect(std::string host, std::string user,
                           std::string password, std::string database) {
  if (!session_.isOpen()) {
    std::cerr << "Kein MySqlSocket offen!" << std::flush;
    return false;
  }
  std::cout << "Verbinde zum Server': " << std::flush;
  if (!session_.connect(host, user, password, database) ||
      // Backslash escapes and backquoted definitions, whatever the server's
      // default mode says.
      !session_.execute("SET SESSION sql_mode = ''")) {
    std::cout << "Fehler!" << std::endl;
    std::cout << serverError() << std::endl;
    return false;
  }
  std::cout << "OK" << std::endl;
  std::cout << std::endl;
  // Names come from the settings file or the prompt; they are shown as on
  // the file's comment lines, so that no control byte reaches the terminal.
  std::cout << "Servername:    " << backup_format::commentName(host) << std::endl;
  std::cout << "Serverversion: " << session_.serverVersion()
            << std::endl;
  std::cout << "Datenbankname: " << backup_format::commentName(database)
            << std::endl;
  std::cout << "verbunden als: " << backup_format::commentName(user) << std::endl;
  std::cout << std::endl;
  databaseName = database;
  host_ = host;
  user_ = user;
  password_ = password;
  connected = true;
  return true;
}

std::string BackupEngine::getBackupTime() const { return backupTime; }

bool BackupEngine::query(const std::string& statement) {
  return session_.execute(statement);
}

std::string BackupEngine::serverError() const {
  return backup_format::commentName(session_.error());
}
