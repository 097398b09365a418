// The server's binary log in a run: where it stands at the snapshot, and
// which tables it shows changed since the previous backup.
#ifndef VKT_BACKUP_BINLOG_RUN_H_
#define VKT_BACKUP_BINLOG_RUN_H_

#include <optional>
#include <string>
#include <unordered_set>

#include "backup/backup_format.h"
#include "backup/db_session.h"
#include "backup/inventory.h"
#include "backup/run_session.h"

class PreviousBackup;

// Where the log stands at the snapshot, read through `session` inside it;
// its file "" when the log is off or the position could not be read.
backup_format::LogPosition readLogPosition(db::Session& session);

// True when the server's log still ends at `at`: nothing was logged since.
// False also when the server would not tell.
bool logStillEndsAt(db::Session& session, const backup_format::LogPosition& at);

// What the log tells a run.
struct LogChanges {
  // The tables the log shows changed since the previous backup; nothing
  // when it gives no clean answer.
  std::optional<std::unordered_set<std::string>> tables;
  // Where the log stood at the snapshot, with its file's start, as the
  // new file records it.
  backup_format::LogPosition at;
};

// Reads the log from where `previous` (null in a full run) recorded it up
// to inventory.logAt, on connections of its own that log in as `login`,
// and the foreign keys, triggers and routines through which a change
// writes other tables through `session`. Says on the console why the log
// gives no answer when there is a previous backup.
LogChanges readLogChanges(db::Session& session, const run_session::Login& login,
                          const Inventory& inventory, const PreviousBackup* previous);

#endif  // VKT_BACKUP_BINLOG_RUN_H_
