// The row reader: streams one table's rows from a session into a backup
// file as row lines, one row held at a time.
#ifndef VKT_BACKUP_ROW_READER_H_
#define VKT_BACKUP_ROW_READER_H_

#include <string>

#include "backup/backup_file.h"
#include "backup/db_session.h"
#include "backup/inventory.h"
#include "backup/previous_backup.h"

class RowReader {
 public:
  // `rowsPerStatement` as plan::Settings: 1 writes every row as a statement
  // of its own.
  explicit RowReader(int rowsPerStatement) : rowsPerStatement_(rowsPerStatement) {}
  RowReader(const RowReader&) = delete;
  RowReader& operator=(const RowReader&) = delete;

  // Reads the rows of `table` through `from` (its columns as the table
  // lists them, its kept past rows where they are saved) and writes them
  // into `target`: a row line per row, then the empty line. Says on the
  // console how it went. Whole only when every row was read and written.
  RowsResult read(const TableEntry& table, db::Session& from, BackupFile& target);

 private:
  // Writes one row whose values are long straight into `target`, each
  // value escaped in pieces for `from`, so that the row is never held a
  // second time.
  bool writeLongRow(const db::Session& from, BackupFile& target,
                    const std::string& prefix, const char* const* row,
                    const unsigned long* lengths, unsigned int fieldCount);

  // Writes `length` bytes of `value` escaped for `from` to `to` (room for
  // 2 * length + 1); returns the end.
  char* escape(const db::Session& from, char* to, const char* value,
               unsigned long length) const;

  const int rowsPerStatement_;
  bool byteWise_ = false;  // escapesByteWise() of the session read from
  std::string escaped_;    // a piece of a long value, escaped
};

// Where a piece of a value of `length` bytes in `charset`, begun at
// `begin`, that should end at `end` may end, so that escaping the pieces
// one by one gives what escaping it whole gives: `end` or before it, or
// `length` where no place will do.
unsigned long pieceEnd(const db::CharacterSet& charset, const char* value,
                       unsigned long begin, unsigned long end,
                       unsigned long length);

#endif  // VKT_BACKUP_ROW_READER_H_
