#include "backup/backup_engine.h"

#include <iostream>

#include "backup/console_text.h"

using console_text::printLine;
using console_text::printStart;

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
      !run_session::applySettings(session_)) {
    printLine(console_text::kFailed);
    printLine(run_session::errorText(session_));
    return false;
  }
  printLine(console_text::kOk);
  printLine("");
  printLine(console_text::serverName(host));
  printLine(console_text::serverVersion(session_.serverVersion()));
  printLine(console_text::databaseName(database));
  printLine(console_text::connectedAs(user));
  printLine("");
  login_ = {host, user, password, database};
  connected_ = true;
  return true;
}
