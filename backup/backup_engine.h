// The backup engine: one connection to the server and the run's sequence.
// Each step of a run is a unit of its own over the session and the file
// (inventory_reader.h, snapshot_lock.h, incremental.h, binlog_run.h,
// table_writer.h, object_writer.h, closing_block.h); the engine only
// orders them.
#ifndef VKT_BACKUP_BACKUP_ENGINE_H_
#define VKT_BACKUP_BACKUP_ENGINE_H_

#include <string>

#include "backup/backup_file.h"
#include "backup/db_session.h"
#include "backup/plan.h"
#include "backup/run_session.h"

class PreviousBackup;
class PreviousIndexing;
class SnapshotLock;

// What a backup run ended with.
enum class RunOutcome {
  kComplete,        // a new backup file, complete and under its final name
  kIncomplete,      // a file was written, but not every table whole
  kNothingChanged,  // no table changed since the previous backup: no file
  kFailed,          // no file: an empty database, a query failed, or no file created
};

class BackupEngine {
 public:
  BackupEngine() = default;
  BackupEngine(const BackupEngine&) = delete;
  BackupEngine& operator=(const BackupEngine&) = delete;

  // Creates the client handle. Prints its progress on stdout.
  bool createSocket();
  // Connects the handle created by createSocket() and selects the database.
  bool connect(std::string host, std::string user, std::string password,
               std::string database);
  // The most rows one INSERT statement holds; 1, the default, makes every
  // row a statement of its own. Set before runBackup().
  void setRowsPerStatement(int rows) {
    settings_.rowsPerStatement = rows < 1 ? 1 : rows;
  }
  // The 14-digit stamp of the last file begun by runBackup(), or "".
  std::string getBackupTime() const { return backupTime_; }
  // Where the last file begun by runBackup() is: its final name once it is
  // complete.
  const std::string& backupFileName() const { return outFile_.path(); }
  // Whether runBackup() writes a zstd-compressed file ("<name>.sql.zst").
  void setCompressed(bool compressed) { compressed_ = compressed; }

  // Writes one backup file. kComplete only when the file is complete: every
  // table's section written whole, the file synced and given its name.
  RunOutcome runBackup(std::string savePath, bool saveStructure,
                       bool saveData, bool dropTable, bool fromPreviousBackup,
                       std::string lastBackupTime);

 private:
  // What writeFile() writes the file from: the inventory, the plan made
  // from it, the previous backup the plan copies rows out of (null in a
  // full run), where the log stood, and the lock that holds the tables
  // without transactions until their rows are read.
  struct FileJob {
    const Inventory& inventory;
    const plan::Plan& plan;
    const PreviousBackup* previous;
    const backup_format::LogPosition& logAt;
    SnapshotLock& lock;
  };

  // The part of runBackup() after the inventory: the previous backup, the
  // log, the plan, then the file.
  RunOutcome backUpTables(Inventory& inventory, PreviousIndexing* indexing,
                          SnapshotLock& lock, const std::string& savePath,
                          const std::string& lastBackupTime);
  // Writes the file `fileName`, made at `created`, section by section.
  RunOutcome writeFile(const FileJob& job, const std::string& fileName,
                       const std::string& created);

  db::Session session_;
  run_session::Login login_;  // what connect() was given
  bool connected_ = false;
  plan::Settings settings_;
  bool compressed_ = false;
  std::string backupTime_;
  BackupFile outFile_;
};

#endif  // VKT_BACKUP_BACKUP_ENGINE_H_
