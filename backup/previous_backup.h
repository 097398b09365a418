// Reading a previous backup file: the one-pass index and the row copier.
// Both read the file in large blocks through a file descriptor, never line
// by line through a stream, and both judge every row line by its shape.
#ifndef VKT_BACKUP_PREVIOUS_BACKUP_H_
#define VKT_BACKUP_PREVIOUS_BACKUP_H_

#include <functional>
#include <string>
#include <vector>

#include "backup/backup_file.h"
#include "backup/backup_format.h"
#include "backup/file_lines.h"
#include "backup/object_section.h"
#include "backup/previous_entry.h"
#include "backup/row_lexer.h"

class RowProgress;

// Rows handed to the backup file for one table.
struct RowsResult {
  int rows = 0;        // row lines written
  bool whole = false;  // every row of the table, and the closing empty line
};

namespace previous_backup {

struct Index {
  std::vector<PreviousTableEntry> tables;  // in file order
  std::vector<object_section::PreviousObject> objects;  // in file order
  bool hasPreamble = false;
  std::string preamble;  // the preamble line, when hasPreamble
  // What the settings line names; "" when the file has no identity block.
  // The block's identities are in the tables' entries.
  std::string settings;
  // Where the server's log stood at the file's snapshot, from the block's
  // log position line; its file "" when the block names none.
  backup_format::LogPosition logPosition;
};

// Tells, once a block's comment and structure are read, whether its rows
// may be wanted for a copy. Rows not wanted are not judged, and never
// trusted.
using RowsWanted = std::function<bool(const PreviousTableEntry&)>;

// Reads the file `fd` once, from its first byte to its end, and indexes
// every table block and every object section; an object section ends the
// table block before it as a table block does. Any byte sequence is
// accepted; damage only makes entries' times unknown or their rows
// untrusted. The identity block ends the last section; an identity is
// given to the first block of its table's name. Then judges every row line of the blocks whose rows are
// wanted (all without `wanted`). `fd` is not moved.
Index buildIndex(int fd, const RowsWanted& wanted = nullptr);
// The same for bytes that are not a file of their own. Rows blocks that are
// not wanted are read only as far as needed to find their end.
Index buildIndex(const file_lines::PlainBytes& bytes, const RowsWanted& wanted = nullptr);

// Copies the row lines of `entry` out of `fd` into `out`, each line with a
// CR LF line end, then the empty line that closes the rows block. Rows
// that end in CR LF are copied in large pieces, and only while `fd` is the
// file that was indexed, unchanged (its stamp, before and after); others
// are judged again line by line. So a file that changed since it was
// indexed is refused, though what was copied before the change was
// noticed stays in `out`. The result
// is whole only when every row the index recorded was copied and written; a
// copy that cannot run (an entry without trusted rows) is never whole.
// What is copied is counted on `progress`, if any.
RowsResult copyRows(int fd, const PreviousTableEntry& entry, BackupFile& out,
                    RowProgress* progress = nullptr);
// The same out of `bytes`, whose stamp() is checked as the file's.
RowsResult copyRows(const file_lines::PlainBytes& bytes, const PreviousTableEntry& entry,
                    BackupFile& out, RowProgress* progress = nullptr);

}  // namespace previous_backup

#endif  // VKT_BACKUP_PREVIOUS_BACKUP_H_
