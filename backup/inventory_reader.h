// Reading the inventory: what the server holds at the snapshot, read once
// per run over the run's session, which it leaves in the snapshot.
#ifndef VKT_BACKUP_INVENTORY_READER_H_
#define VKT_BACKUP_INVENTORY_READER_H_

#include <optional>
#include <string>
#include <unordered_set>

#include "backup/binlog_run.h"
#include "backup/db_session.h"
#include "backup/inventory.h"

class PreviousBackup;
class SnapshotLock;

// What a run asks of the inventory besides the tables.
struct InventoryRequest {
  std::string database;     // the session's, as connect() named it
  bool definitions = true;  // read the routines', triggers' and events' too
  // An incremental run: a missing PROCESS right, which leaves every InnoDB
  // table to be read again, is said.
  bool incremental = true;
  // Locks the tables without transactions right before the snapshot
  // begins; null when no rows are saved.
  SnapshotLock* lock = nullptr;
};

// Reads the inventory through `session` and begins the snapshot that stays
// open for the rows, the session's time zone UTC: the tables with their
// kinds, update times, identities, versions and invisible columns; where
// the binary log stands; the views' definitions, in an order a restore can
// create them in; and, when asked, the other objects' definitions and
// whether the rights to see them all are there. Nothing when a query
// failed (said on the console).
std::optional<Inventory> readInventory(db::Session& session,
                                       const InventoryRequest& request);

// Settles the InnoDB identities the inventory left pending, once the log
// was read (`log`, its answer; `previous`, the previous backup, or null).
// Where the read before the snapshot judged them alone, a clean answer of
// the log stands in for the read after it: a RENAME swap between the
// first read and the snapshot is in the log, and the tables it shows
// changed lose their identity; otherwise they are read again now, later
// than the inventory's own second read would have been, and each one that
// moved (or that cannot be read) is dropped. Where none was read before
// the snapshot, a table no logged statement reached keeps its previous
// identity while its create time stays, and the others are read now; they
// count without a clean answer only where the log holds nothing but rows
// from before the snapshot on. Reads on connections of its own log in as
// `login`.
void settleIdentities(db::Session& session, const run_session::Login& login,
                      Inventory* inventory, const PreviousBackup* previous,
                      const LogChanges& log);

// One line on the console per system-versioned table whose past rows are
// not saved.
void printHistoryNotSaved(const Inventory& inventory);

#endif  // VKT_BACKUP_INVENTORY_READER_H_
