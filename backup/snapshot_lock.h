// Tables without transactions (MyISAM, Aria, ...) read at the moment the
// snapshot begins: a second connection of its own holds them locked for
// reading from before the snapshot until their rows are read, and reads
// their rows before the others'.
#ifndef VKT_BACKUP_SNAPSHOT_LOCK_H_
#define VKT_BACKUP_SNAPSHOT_LOCK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "backup/backup_file.h"
#include "backup/db_session.h"
#include "backup/inventory.h"
#include "backup/plan.h"
#include "backup/previous_backup.h"
#include "backup/run_session.h"

class RowReader;

// Rows of tables without transactions read before the others, into a
// scratch file already gone from its directory: where each table's lie.
// The file is closed with it.
class RowsReadFirst {
 public:
  RowsReadFirst() = default;
  RowsReadFirst(RowsReadFirst&& other) noexcept;
  RowsReadFirst& operator=(RowsReadFirst&&) = delete;
  RowsReadFirst(const RowsReadFirst&) = delete;
  ~RowsReadFirst();

  // Writes the rows read first for `tableName` into `out`, saying so on
  // the console. Not whole when they were not read or not copied whole.
  RowsResult copyInto(const std::string& tableName, BackupFile& out) const;

 private:
  friend class SnapshotLock;
  struct Part {
    std::uint64_t begin = 0;
    std::uint64_t end = 0;
    RowsResult rows;
  };
  std::unordered_map<std::string, Part> parts_;
  int file_ = -1;
};

class SnapshotLock {
 public:
  // `main` is the run's session, which lists the tables and whose row
  // settings the second connection takes; `login` how that connection
  // logs in. `beforeLock` runs once the tables are listed, right before
  // they are locked, when there are any: what must not happen while they
  // are locked (the previous backup's index) ends there.
  SnapshotLock(db::Session& main, run_session::Login login,
               std::function<void()> beforeLock);
  // Lets go of the lock.
  ~SnapshotLock() { release(); }
  SnapshotLock(const SnapshotLock&) = delete;
  SnapshotLock& operator=(const SnapshotLock&) = delete;

  // Locks the database's base tables whose engine has no transactions and
  // keeps rows of its own; to be called right before the snapshot begins.
  // Fills *locked with their names. Sets *why when they are there but
  // could not be locked (the run goes on without the lock). False, said on
  // the console, when `main` failed or the lock was not granted within
  // run_session::kLockWaitSeconds.
  bool lockTables(std::unordered_set<std::string>* locked, std::string* why);

  // Reads the rows of every table of `inventory` that `plan` reads first,
  // through the connection that holds their lock, with `reader`, into a
  // scratch file beside `fileName`; then lets go of the lock. A table
  // whose rows could not be read first (no scratch file) finds none there.
  RowsReadFirst readFirst(const Inventory& inventory, const plan::Plan& plan,
                          const std::string& fileName, RowReader& reader);

  // Lets go of the lock, if it is held.
  void release();

 private:
  // The tables lockTables() locks, listed through `main_`.
  bool listNonTransactional(std::vector<std::string>* names);

  db::Session& main_;
  const run_session::Login login_;
  const std::function<void()> beforeLock_;
  db::Session session_;  // holds the lock, while it is held
};

#endif  // VKT_BACKUP_SNAPSHOT_LOCK_H_
