#include <iostream>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"

using console_text::printLine;
using console_text::printStart;

BackupEngine::BackupEngine()
    : connected(false),
      saveStructure(true),
      saveData(true),
      dropTable(false),
      fromPreviousBackup(true) {}

BackupEngine::~BackupEngine() {
  releaseSnapshotLock();
}

bool BackupEngine::createSocket() {
  printStart(console_text::kCreatingSocket);
  if (session_.open()) {
    printLine(console_text::kOk);
    return true;
  }
  // A null handle has no error text to ask for.
  printLine(console_text::kFailed);
  printLine(console_text::kNoMemoryForSocket);
  return false;
}

bool BackupEngine::connect(std::string host, std::string user,
                           std::string password, std::string database) {
  if (!session_.isOpen()) {
    std::cerr << console_text::kNoSocket << std::flush;
    return false;
  }
  printStart(console_text::kConnecting);
  if (!session_.connect(host, user, password, database) ||
      // Backslash escapes and backquoted definitions, whatever the server's
      // default mode says.
      !session_.execute("SET SESSION sql_mode = ''")) {
    printLine(console_text::kFailed);
    printLine(serverError());
    return false;
  }
  printLine(console_text::kOk);
  printLine("");
  printLine(console_text::serverName(host));
  printLine(console_text::serverVersion(session_.serverVersion()));
  printLine(console_text::databaseName(database));
  printLine(console_text::connectedAs(user));
  printLine("");
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

void BackupEngine::printError() const { printLine(console_text::error(serverError())); }
