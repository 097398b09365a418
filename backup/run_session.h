// What every connection of a run shares: the account it logs in with, the
// settings it reads in, and how its errors reach the console.
#ifndef VKT_BACKUP_RUN_SESSION_H_
#define VKT_BACKUP_RUN_SESSION_H_

#include <string>

#include "backup/db_session.h"

namespace run_session {

// What connect() was given: a second connection (the lock's, the log
// reader's) logs in with it too.
struct Login {
  std::string host;
  std::string user;
  std::string password;
  std::string database;
};

// How long a statement of the run waits for a table's lock before it
// fails (run_session.cpp tells why this long).
constexpr int kLockWaitSeconds = 30;

// Gives `session` what every session of the run reads in; false when the
// server refused it.
bool applySettings(db::Session& session);

// Gives `other` every setting of `main` that shapes the rows it reads (the
// mode, the time zone, the character set), so that rows read through it
// come out byte for byte as they would through `main`, which is in UTC.
bool readRowsAs(const db::Session& main, db::Session& other);

// The last error of `session`, fit for the console (it may quote a name,
// and names are escaped as on comment lines).
std::string errorText(const db::Session& session);

// "Fehler: " and errorText() on the console.
void printError(const db::Session& session);

// The account the server knows `session` by, as a GRANT names it; "..."
// when it would not tell.
std::string currentAccount(db::Session& session);

}  // namespace run_session

#endif  // VKT_BACKUP_RUN_SESSION_H_
