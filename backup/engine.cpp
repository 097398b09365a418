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
      !setSessionSettings(session_)) {
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

// Backslash escapes and backquoted definitions, whatever the server's
// default mode says. A lock wait is bounded: the run's statements wait for
// a table only behind other clients' writes and DDL, which one statement
// or one LOCK TABLES section of an application ends within seconds. A
// longer wait is a lock held for long (a bulk load, a forgotten LOCK
// TABLES, DDL waiting for a long transaction); the server's default of a
// day would stall the nightly run, and while the run waits for its read
// lock on the tables without transactions, every writer of them queues
// behind it. After kLockWaitSeconds the statement fails, and the run ends
// incomplete, saying so.
bool BackupEngine::setSessionSettings(db::Session& session) {
  return session.execute("SET SESSION sql_mode = '', lock_wait_timeout = " +
                         std::to_string(kLockWaitSeconds));
}

// What else the main session reads rows in: UTC, and its character set.
bool BackupEngine::readRowsAsMain(db::Session& session) {
  const std::string charset = session_.characterSetName();
  return setSessionSettings(session) &&
         session.execute("SET SESSION time_zone = '+00:00'") &&
         (session.characterSetName() == charset || session.setCharacterSet(charset));
}

std::string BackupEngine::getBackupTime() const { return backupTime; }

bool BackupEngine::query(const std::string& statement) {
  return session_.execute(statement);
}

std::string BackupEngine::serverError() const {
  return backup_format::commentName(session_.error());
}

void BackupEngine::printError() const { printErrorOf(session_); }

void BackupEngine::printErrorOf(const db::Session& session) {
  printLine(console_text::error(backup_format::commentName(session.error())));
}
