// The rules that decide whether a table may count as unchanged since the
// previous backup, so that its rows are copied out of that file instead of
// being read from the server. Pure functions of what the server and the
// previous file tell; the engine gathers the facts and asks them.
#ifndef VKT_BACKUP_CHANGE_RULES_H_
#define VKT_BACKUP_CHANGE_RULES_H_

#include <ctime>
#include <string>
#include <unordered_set>

namespace change_rules {

// The seconds in which transactions open at the snapshot began.
using TransactionSeconds = std::unordered_set<time_t>;

// Adds a transaction's start as the server lists it (in its own local
// time, read back as `start`). In the hour the clocks go back that local
// time names two instants an hour apart: both are taken, and the hour
// before and after is taken always, for a time cannot tell.
void addTransactionStart(time_t start, TransactionSeconds* seconds);

// True when an update time may be recorded as known: it lies before the
// inventory's own second `serverNow` (a table may still change within
// that second), and no transaction open at the snapshot began in its
// second (InnoDB stamps a commit with the second its transaction began,
// so such a commit would leave the time as it stands).
bool updateTimeSettled(time_t update, time_t serverNow,
                       const TransactionSeconds& openTransactions);

// Appends one InnoDB table or partition to `parts`: its name after the
// table's ("" or "#P#p0"), its table id and its space. TRUNCATE (also of a
// partition) and DISCARD TABLESPACE give a new id, EXCHANGE PARTITION and
// a RENAME swap swap them.
void addInnodbPart(const std::string& suffix, const std::string& tableId,
                   const std::string& space, std::string* parts);

// What identifies a table across a restart of the server, "" when it
// cannot be known. `created` is the table's create time, < 0 when not
// known or not before the inventory's own second: the server takes it
// from the file of the table's definition, whose time every RENAME and
// every rebuild moves. InnoDB: the create time and the parts
// (`innodbParts`, null when the server did not show them or they moved
// during the inventory). MyISAM: the exact row count, the data length and
// the create time; a RENAME swap of two tables written in one second
// shows in them. Other engines have none.
std::string lastingIdentity(const std::string& engine, const std::string& rows,
                            const std::string& dataLength, time_t created,
                            const std::string* innodbParts);

// The lasting identity of an InnoDB table carried over from the identity
// `previous` (as the file recorded it) where a clean answer of the log
// shows no statement on the table since: the parts move only by a
// statement (TRUNCATE, ALTER, RENAME, ...), and a RENAME or rebuild logged
// nowhere (sql_log_bin=0) still shows in the create time `created`, which
// must be the recorded one. "" when `previous` holds no such identity or
// `created` < 0.
std::string carriedInnodbIdentity(const std::string& previous, time_t created);

// The identity of a table whose update time follows its rows: the update
// time as an instant, a blank and its lasting identity; "" when that is
// not known.
std::string tableIdentity(time_t update, const std::string& lasting);

// The identity written for a table whose update time is not known, for
// runs that tell changes from the server's log: "-", a blank and
// `lasting`; "" when that is not known.
std::string identityWithoutTime(const std::string& lasting);

// Whether `lasting` (this run's) is known and is what the identity
// `previous` (as the file recorded it, with or without its time) holds
// after its time.
bool sameLastingIdentity(const std::string& lasting, const std::string& previous);

// Rows may be copied only when both identities are known and equal.
bool sameIdentity(const std::string& now, const std::string& previous);

// Why a previous file is no base for copying under today's settings (its
// rows, structure or DROP lines saved or not): the console line, or ""
// when it is one. `previous` is what its settings line names, "" when it
// has none.
std::string settingsRefusal(const std::string& previous, const std::string& now);

}  // namespace change_rules

#endif  // VKT_BACKUP_CHANGE_RULES_H_
