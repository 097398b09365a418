#include "backup/run_session.h"

#include "backup/backup_format.h"
#include "backup/console_text.h"

namespace run_session {

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
bool applySettings(db::Session& session) {
  return session.execute("SET SESSION sql_mode = '', lock_wait_timeout = " +
                         std::to_string(kLockWaitSeconds));
}

// What else the main session reads rows in: UTC, and its character set.
bool readRowsAs(const db::Session& main, db::Session& other) {
  const std::string charset = main.characterSetName();
  return applySettings(other) &&
         other.execute("SET SESSION time_zone = '+00:00'") &&
         (other.characterSetName() == charset || other.setCharacterSet(charset));
}

std::string errorText(const db::Session& session) {
  return backup_format::commentName(session.error());
}

void printError(const db::Session& session) {
  console_text::printLine(console_text::error(errorText(session)));
}

std::string currentAccount(db::Session& session) {
  db::Rows rows;
  if (session.select("SELECT CURRENT_USER()", &rows) && rows.size() > 0 &&
      !rows.isNull(0, 0)) {
    const std::string& current = rows.text(0, 0);
    const size_t at = current.rfind('@');
    if (at != std::string::npos)
      return "'" + current.substr(0, at) + "'@'" + current.substr(at + 1) + "'";
  }
  return "...";
}

}  // namespace run_session
