// The backup engine: one MySQL connection, the table inventory, the backup
// file being written and the previous backup file it may copy rows from.
#ifndef VKT_BACKUP_BACKUP_ENGINE_H_
#define VKT_BACKUP_BACKUP_ENGINE_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <sys/types.h>

#include "backup/backup_file.h"
#include "backup/binlog.h"
#include "backup/change_rules.h"
#include "backup/db_session.h"
#include "backup/inventory.h"
#include "backup/plan.h"
#include "backup/object_section.h"
#include "backup/previous_backup.h"
#include "backup/previous_file.h"

// What a backup run ended with.
enum class RunOutcome {
  kComplete,        // a new backup file, complete and under its final name
  kIncomplete,      // a file was written, but not every table whole
  kNothingChanged,  // no table changed since the previous backup: no file
  kFailed,          // no file: an empty database, a query failed, or no file created
};

class BackupEngine {
 public:
  BackupEngine();
  ~BackupEngine();
  BackupEngine(const BackupEngine&) = delete;
  BackupEngine& operator=(const BackupEngine&) = delete;

  // Creates the client handle. Prints its progress on stdout.
  bool createSocket();
  // Connects the handle created by createSocket() and selects the database.
  bool connect(std::string host, std::string user, std::string password,
               std::string database);
  // The most rows one INSERT statement holds; 1, the default, makes every
  // row a statement of its own. Set before runBackup().
  void setRowsPerStatement(int rows) { rowsPerStatement_ = rows < 1 ? 1 : rows; }
  // The 14-digit stamp of the last file begun by runBackup(), or "".
  std::string getBackupTime() const;
  // Where the last file begun by runBackup() is: its final name once it is
  // complete.
  const std::string& backupFileName() const { return outFile.path(); }
  // Whether runBackup() writes a zstd-compressed file ("<name>.sql.zst").
  void setCompressed(bool compressed) { compressed_ = compressed; }

  // Writes one backup file. kComplete only when the file is complete: every
  // table's section written whole, the file synced and given its name.
  RunOutcome runBackup(std::string savePath, bool saveStructure,
                       bool saveData, bool dropTable, bool fromPreviousBackup,
                       std::string lastBackupTime);

 private:
  // Rows of tables without transactions read before the others, into a
  // scratch file already gone from its directory: where each table's lie.
  // The file is closed with it.
  struct RowsReadFirst {
    struct Part {
      std::uint64_t begin = 0;
      std::uint64_t end = 0;
      RowsResult rows;
    };
    std::unordered_map<std::string, Part> parts;
    int file = -1;

    RowsReadFirst() = default;
    ~RowsReadFirst();
    RowsReadFirst(const RowsReadFirst&) = delete;
    RowsReadFirst& operator=(const RowsReadFirst&) = delete;
  };

  // What the writer carries out: the inventory, the plan made from it, the
  // previous backup that the plan copies rows out of (null in a full run),
  // and, once read, the rows read first.
  struct Job {
    const Inventory& inventory;
    const plan::Plan& plan;
    const PreviousBackup* previous;
    const RowsReadFirst* readFirst = nullptr;
  };

  // Writes the section of job.inventory.tables[index]. True when the
  // section is whole.
  bool saveTable(const Job& job, int index);
  // Whether that section's rows are read from the server in the snapshot
  // (not copied, read first or left out).
  static bool readsRowsFromServer(const Job& job, int index);
  // Waits for the previous backup `fileName` that `indexing` opens and
  // indexes; nullptr, said on the console, when it cannot be read.
  std::unique_ptr<PreviousBackup> loadPreviousBackup(PreviousIndexing& indexing,
                                                     const std::string& fileName);
  // Which rows of the previous backup are worth judging: those of tables
  // whose update time is the inventory's. Reads `inventory` when called.
  static previous_backup::RowsWanted rowsWorthJudging(const Inventory& inventory);
  // Waits for the previous backup's index, if one is being made, so that
  // a lock taken next does not last while it is made.
  void finishIndexBeforeLock();
  // Whether the previous backup's rows were read in this run's session
  // settings; rows are copied only then.
  bool rowsReadAlike(const PreviousBackup& previous) const;
  // Streams the rows of one table into outFile.
  RowsResult dumpRows(const TableEntry& table);
  // Copies the trusted rows of tableName out of the previous backup.
  RowsResult copyRowsFromPrevious(const PreviousBackup& previous,
                                  const std::string& tableName);

  // Writes one row whose values are long straight into `target`, each
  // value escaped in pieces for the session `from` that read it, so that
  // the row is never held a second time.
  bool writeLongRow(const db::Session& from, BackupFile& target,
                    const std::string& prefix, const char* const* row,
                    const unsigned long* lengths, unsigned int fieldCount);
  // Where a piece of a value in `charset` that ends at or before `end` may
  // end, so that escaping the pieces one by one gives what escaping it
  // whole gives.
  static unsigned long pieceEnd(const db::CharacterSet& charset,
                                const char* value, unsigned long begin,
                                unsigned long end, unsigned long length);
  // Streams the rows of one table, read through the session `from`, into
  // `target`: a row line per row, then the empty line.
  RowsResult dumpRowsInto(const TableEntry& table, db::Session& from,
                          BackupFile& target);

  // Tables whose engine has no transactions (MyISAM, Aria, ...) are read at
  // the moment the snapshot begins: a second connection holds them locked
  // for reading from before the snapshot until their rows are read, and
  // their rows are read before the others' (snapshot_lock.cpp).
  //
  // The base tables of the database whose engine has no transactions and
  // keeps rows of its own. When there are any, waits for the previous
  // backup's index (finishIndexBeforeLock()): they are locked next.
  bool listNonTransactional(std::vector<std::string>* names);
  // One line per system-versioned table whose past rows are not saved.
  void printHistoryNotSaved(const Inventory& inventory);
  // Says how many past rows of `table` (historySaved) its rows leave out,
  // if any.
  void printHistoryLeftOut(const TableEntry& table);
  // Marks the system-versioned tables, and whether the server can take
  // their past rows back; markInvisibleColumns() settles which are saved.
  bool markVersionedTables(Inventory* inventory);
  // True when a session may insert past rows (system_versioning_insert_
  // history, and a timestamp that a session may set).
  bool serverTakesHistory();
  // Locks the database's tables without transactions on the second
  // connection, to be called right before the snapshot begins. Fills
  // *locked with their names. Sets *why when they are there but could not
  // be locked (the run goes on without the lock). False, said on the
  // console, when the main connection failed or the lock was not granted
  // within kLockWaitSeconds.
  bool lockNonTransactional(std::unordered_set<std::string>* locked,
                            std::string* why);
  // Lets go of that lock.
  void releaseSnapshotLock();
  // How long a statement of the run waits for a table's lock before it
  // fails (engine.cpp tells why this long).
  static constexpr int kLockWaitSeconds = 30;
  // Gives `session` what every session of the run reads in; false when
  // the server refused it.
  static bool setSessionSettings(db::Session& session);
  // Gives the second connection every setting of the main session that
  // shapes the rows it reads (the mode, the time zone, the character set),
  // so that rows read through it come out byte for byte as the main
  // session's would.
  bool readRowsAsMain(db::Session& session);
  // Reads the rows of every locked table that the plan reads first,
  // through the connection that holds their lock, into a scratch file
  // beside `fileName`, then lets go of the lock.
  void readLockedTablesFirst(const Job& job, const std::string& fileName,
                             RowsReadFirst* readFirst);
  // Writes the rows read first for `tableName` into the backup file.
  RowsResult copyRowsReadFirst(const RowsReadFirst* readFirst,
                               const std::string& tableName);

  // This run's plan, from the inventory, the definitions, the settings
  // and, in an incremental run, the previous backup.
  plan::Plan makePlan(const Inventory& inventory, const PreviousBackup* previous,
                      const std::unordered_set<std::string>* loggedChanges) const;
  // This run's inventory, read once: the tables, in a snapshot that stays
  // open for the rows, and, when the structure is saved, the definitions.
  // Nothing when a query failed (said on the console).
  std::optional<Inventory> readInventory();
  // Reads the tables into *inventory and begins the snapshot; false, said
  // on the console, when a query failed.
  bool readTables(Inventory* inventory);
  // The part of runBackup() after the inventory.
  RunOutcome backUpTables(const Inventory& inventory,
                          PreviousIndexing* indexing,
                          const std::string& savePath,
                          const std::string& lastBackupTime);
  bool writeStructure(const Inventory& inventory, const TableEntry& table);
  bool readServerClock(time_t* now);
  void printForgottenUpdateTimes(const Inventory& inventory,
                                 const PreviousBackup& previous);
  bool readOpenTransactions(change_rules::TransactionSeconds* seconds,
                            bool* refused);
  bool readInnodbParts(std::unordered_map<std::string, std::string>* parts,
                       bool* refused);
  void printProcessGrant();
  // The account the server knows this session by, as a GRANT names it;
  // "..." when it would not tell.
  std::string currentAccount();

  // The server's binary log (binlog_run.cpp). Where it stands at the
  // snapshot, read inside it; its file "" when the log is off.
  void readLogPosition(backup_format::LogPosition* at);
  // The time of the start event of `at`'s file; 0 when it cannot be read.
  long long readLogStart(const backup_format::LogPosition& at);
  // The foreign keys, triggers and routines through which a change writes
  // others; `tables` are the database's.
  bool readLogReach(const std::vector<std::string>& tables, binlog::Reach* reach);
  // Whether a trigger or routine of another database may write this one
  // (its body names it, or is withheld); true when that cannot be read.
  bool foreignWritersMayExist();
  // The tables the log shows changed since `previous` was written, or
  // nothing (said on the console when there is a previous backup) when the
  // log gives no clean answer. Sets logAt_ for the file's block.
  std::optional<std::unordered_set<std::string>> readLogChanges(
      const Inventory& inventory, const PreviousBackup* previous);
  // The settings line and one identity line per table whose identity is
  // known: the block that closes the file.
  bool writeIdentities(const Inventory& inventory);
  // What this run's settings line names.
  std::string settingsText() const;
  // True, and says why, when the previous file was written with settings
  // other than this run's.
  bool previousSettingsDiffer(const PreviousBackup& previous) const;
  // Counts columns and lists those of tables with invisible ones; looks
  // tables up through inventory->byName, which must be built first.
  bool markInvisibleColumns(Inventory* inventory);
  // Each table's kind by name, as SHOW FULL TABLES lists it ("BASE TABLE",
  // "VIEW", "SEQUENCE", ...).
  bool listKinds(std::unordered_map<std::string, std::string>* kinds);
  // A view's statement as the connection's character set spells it, or ""
  // when the server gave none.
  std::string definitionInConnectionCharset(const ObjectDefinition& view);
  void orderViews(Inventory* inventory);
  bool openOutput(const std::string& fileName);
  RunOutcome writeFile(Job job, const std::string& fileName,
                       const std::string& created);
  std::string preamble() const;
  bool query(const std::string& statement);
  // The last error of the connection, fit for the console (it may quote a
  // name, and names are escaped as on comment lines).
  std::string serverError() const;
  // "Fehler: " and serverError() on the console.
  void printError() const;
  // "Fehler: " and the last error of `session` on the console.
  static void printErrorOf(const db::Session& session);

  // Routines', triggers' and events' definitions (routines.cpp). Reads
  // them all from the server; false only when the session could not be set
  // back after reading them.
  bool readDefinitions(Inventory* inventory);
  // Reads every view's statement into inventory->viewDefinitions, once;
  // false as readDefinitions().
  bool readViewDefinitions(Inventory* inventory);
  // Runs `read` with the session's results unconverted; false, said on the
  // console, when the session could not be switched or switched back.
  bool readUnconverted(const std::function<void()>& read);
  bool listObjects(const char* statement, std::vector<ObjectDefinition>* objects);
  // Whether the session may see every trigger: TRIGGER granted to the
  // user or its role on all databases, on this one, or on each base
  // table. False when the grants could not be read.
  bool triggersVisible(const std::vector<TableEntry>& tables, bool* visible);
  // Appends this database's triggers, in the order they fire per table.
  bool listTriggers(std::vector<ObjectDefinition>* objects);
  // Appends this database's events; kRefused without the right to see them.
  db::Session::Answer listEvents(std::vector<ObjectDefinition>* objects);
  // Says when the right to see every trigger is missing (rightsMissing),
  // or that the grants could not be read (objectsListed false).
  void checkTriggerRight(Inventory* inventory);
  ObjectDefinition showCreate(backup_format::SectionKind kind,
                              const std::string& name, const char* what);
  bool writeViewStructure(const Inventory& inventory, const TableEntry& view);
  // Functions and procedures, once, before the first view.
  // The number written.
  int writeRoutines(const Inventory& inventory);
  int writeObjects(const Inventory& inventory, backup_format::SectionKind kind);
  bool writeObject(const ObjectDefinition& object);
  // True when every definition was listed and `saved` of them written,
  // as many as there are.
  bool objectsWhole(const Inventory& inventory, int saved) const;

  db::Session session_;
  // What connect() was given, for the second connection.
  std::string host_, user_, password_;
  db::Session lockSession_;  // holds the lock, while it is held
  // The previous backup being indexed during runBackup(), else null: the
  // lock on the tables without transactions waits for it (snapshot_lock.cpp
  // lists them through listNonTransactional()).
  PreviousIndexing* indexing_ = nullptr;
  std::string databaseName;
  std::string backupTime;
  bool connected;
  bool saveStructure;
  bool saveData;
  bool dropTable;
  bool fromPreviousBackup;
  int rowsPerStatement_ = 1;
  BackupFile outFile;
  bool compressed_ = false;
  std::string escaped_;  // a piece of a long value, escaped
  // Where the log stood at this run's snapshot, as the file records it.
  backup_format::LogPosition logAt_;
};

#endif  // VKT_BACKUP_BACKUP_ENGINE_H_
