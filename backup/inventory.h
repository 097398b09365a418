// The inventory: what the server tells of each table at the snapshot.
#ifndef VKT_BACKUP_INVENTORY_H_
#define VKT_BACKUP_INVENTORY_H_

#include <ctime>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "backup/backup_format.h"
#include "backup/object_section.h"

// One table of the inventory, in the order the server lists it.
struct TableEntry {
  std::string name;        // byte for byte as the server gives it
  std::string updateText;  // the server's "YYYY-MM-DD hh:mm:ss", empty if none
  time_t updateTime = 0;   // meaningful only when updateKnown
  // False when the server reported no update time, the text could not be
  // converted, or the time is not earlier than the inventory's own second
  // (the table may still change within that second).
  bool updateKnown = false;
  // True when an equal update time proves the rows unchanged: the engine
  // moves it on every change (InnoDB, MyISAM), and the table was not made
  // anew (RENAME, ALTER, TRUNCATE) after its last write.
  bool updateTracksRows = false;
  // Locked with the other tables without transactions at the snapshot's
  // moment; its rows are read before those of the other tables.
  bool lockedAtSnapshot = false;
  // The server counts no rows. An InnoDB TRUNCATE moves neither time, but
  // leaves the count at 0.
  bool reportedEmpty = false;
  // The engine keeps no rows of its own (MERGE, FEDERATED, ...): a SELECT
  // reads rows that live elsewhere, and the restore would insert them
  // there a second time. Its rows block stays empty, as a view's.
  bool rowsElsewhere = false;
  bool isView = false;
  // A sequence: its one row moves with every value handed out, and no
  // update time tells of that.
  bool isSequence = false;
  // False for a view the server reports as unusable (it reads a table or
  // view that is gone): its CREATE VIEW fails on restore, so it goes last.
  bool viewUsable = true;
  // Non-empty only for a table with an invisible column: every column in
  // table order, so that rows are read and written with an explicit list.
  std::vector<std::string> columns;
  int columnCount = 0;  // all columns, invisible ones included
  // Kept WITH SYSTEM VERSIONING: the table keeps its past rows.
  bool systemVersioned = false;
  // Its past rows are saved with the current ones: read FOR SYSTEM_TIME
  // ALL, the period's columns named in `columns` (and counted in
  // columnCount), and written between the history lines. Only for a table
  // versioned by time, on a server that lets a session insert past rows;
  // the rows of any other versioned table are its current ones.
  bool historySaved = false;
  // Where historySaved: the period's columns, and the AUTO_INCREMENT
  // column if it takes NULL ("" if none). ALTER TABLE ADD makes such a
  // column nullable and leaves NULL in the past rows, but CREATE TABLE
  // makes every AUTO_INCREMENT column NOT NULL: the restore would turn
  // those NULLs into 0, which collide.
  std::string periodStart;
  std::string periodEnd;
  std::string nullableAutoIncrement;
  // What tells this table's rows apart from those of the previous backup
  // beyond its update time (change_rules.h); "" when unknown, so that the
  // rows are read from the server.
  std::string identity;
  // What identifies the table across a restart of the server
  // (change_rules::lastingIdentity()); "" when unknown.
  std::string lastingIdentity;
  // An InnoDB table whose identity is settled only once the log was read
  // (settleIdentities()): it may yet be known.
  bool identityPending = false;
  // Its create time where the server tells it and it lies before the
  // inventory's own second; -1 otherwise.
  time_t created = -1;
};

// The condition (for a WHERE) that keeps the rows of a table whose past
// rows are saved that a restore can take back: a past row whose period
// does not begin before it ends (a change and its undoing in one second
// under a fixed timestamp, as replication replays them) is refused by the
// server, and a past row with NULL in nullableAutoIncrement would be 0.
// Current rows always stay. Period values are compared in UTC: the
// session that reads the rows must be in UTC.
std::string historyRowsKept(const TableEntry& table);

// Whether tables of `engine` (as the server names it) move their update
// time on every change of their rows.
bool updateTimeFollowsRows(const std::string& engine);

// What the server holds at the snapshot, read once per run and only read
// after that: the tables, the views' definitions, and, when the structure
// is saved, the other objects' definitions.
struct Inventory {
  // Base tables in the server's order, then the views in an order a
  // restore can create them in.
  std::vector<TableEntry> tables;
  std::unordered_map<std::string, size_t> byName;  // positions in `tables`
  // Routines, triggers and events in the order they are written, and the
  // views' definitions by name.
  std::vector<ObjectDefinition> objects;
  std::unordered_map<std::string, ObjectDefinition> viewDefinitions;
  bool objectsListed = true;  // false when a list query failed
  // The server hides triggers or events from this user: the list is not
  // known to be whole.
  bool rightsMissing = false;
  // Where the server's binary log stood at the snapshot; its file "" when
  // the log is off or the position could not be read.
  backup_format::LogPosition logAt;
  // What settleIdentities() settles the InnoDB identities by, once the
  // log was read; neither set when the inventory settled them itself.
  struct PendingIdentities {
    // The parts the read before the snapshot found, by table, where they
    // were judged by that read alone (an incremental run with the log on).
    std::optional<std::unordered_map<std::string, std::string>> partsBefore;
    // Where the log ended before the snapshot, where no parts were read
    // before it, for the log was expected to answer cleanly.
    std::optional<backup_format::LogPosition> logBefore;
  };
  PendingIdentities pending;

  const TableEntry* find(const std::string& name) const {
    auto found = byName.find(name);
    return found == byName.end() ? nullptr : &tables[found->second];
  }
};

#endif  // VKT_BACKUP_INVENTORY_H_
