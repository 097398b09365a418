// The writer of a table section: its comment lines, its definition and its
// rows block, the rows read from the server in the snapshot, copied out of
// the previous backup or taken from those read first, as the plan says.
#ifndef VKT_BACKUP_TABLE_WRITER_H_
#define VKT_BACKUP_TABLE_WRITER_H_

#include <string>

#include "backup/backup_file.h"
#include "backup/db_session.h"
#include "backup/inventory.h"
#include "backup/plan.h"
#include "backup/previous_backup.h"

class PreviousBackup;
class RowReader;
class RowsReadFirst;

// What the sections are written from: the inventory, the plan made from
// it, the previous backup that the plan copies rows out of (null in a
// full run), and the rows of tables read first.
struct TableJob {
  const Inventory& inventory;
  const plan::Plan& plan;
  const PreviousBackup* previous;
  const RowsReadFirst& readFirst;
};

class TableWriter {
 public:
  // Writes into `out`, reading definitions and rows through `session`, in
  // the run's snapshot, rows with `reader`, as `settings` say. All of them
  // must outlive the writer.
  TableWriter(db::Session& session, BackupFile& out, RowReader& reader,
              const plan::Settings& settings, const TableJob& job);

  // Whether the section of job.inventory.tables[index] reads its rows from
  // the server in the snapshot (not copied, read first or left out).
  bool readsRowsFromServer(int index) const;

  // Writes that section, saying so on the console. True when it is whole:
  // every line written and, its rows settled in the file.
  bool write(int index);

 private:
  bool writeHeading(const TableEntry& table);
  bool writeStructure(const TableEntry& table);
  bool writeViewStructure(const TableEntry& view);
  // The rows block and, where past rows are saved, the history lines
  // around it. False when a line outside the block was not written.
  bool writeRows(int index, RowsResult* rows);
  // Copies the trusted rows of `tableName` out of the previous backup.
  RowsResult copyFromPrevious(const std::string& tableName);
  // Says how many past rows of `table` its rows leave out, if any.
  void printHistoryLeftOut(const TableEntry& table);

  db::Session& session_;
  BackupFile& out_;
  RowReader& reader_;
  const plan::Settings settings_;
  const TableJob job_;
};

#endif  // VKT_BACKUP_TABLE_WRITER_H_
