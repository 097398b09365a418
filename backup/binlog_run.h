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

// Where the server's log ends now; its file "" when the log is off, when
// binlog_do_db or binlog_ignore_db may keep databases out of it, or when
// the server would not tell.
backup_format::LogPosition readLogEnd(db::Session& session);

// Where the server's log ends now, where a clean answer of it is to be
// expected: the server logs rows (a statement is proven only as far as
// the schema tells, which often fails under MIXED or STATEMENT), is no
// replica whose log leaves out what it applies, and the account may read
// the log. Its file "" otherwise, as readLogEnd() tells.
backup_format::LogPosition logEndExpectingAnswer(db::Session& session);

// True when every event the log holds from `from` to its end now leaves
// the tables' identities as they were (binlog::leavesIdentities), read on
// a connection of its own that logs in as `login`. False when one may
// not, or when the log could not be read.
bool logLeftIdentities(const run_session::Login& login,
                       const backup_format::LogPosition& from);

// True when the server's log still ends at `at`: nothing was logged since.
// False also when the server would not tell.
bool logStillEndsAt(db::Session& session, const backup_format::LogPosition& at);

// What the log tells a run.
struct LogChanges {
  // The tables the log shows changed since the previous backup; nothing
  // when it gives no clean answer.
  std::optional<std::unordered_set<std::string>> tables;
  // Those of `tables` a statement reached, whose InnoDB identity may have
  // moved; the others changed by rows alone.
  std::unordered_set<std::string> reshaped;
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
