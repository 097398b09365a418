// Reading a previous backup file: the one-pass index and the row copier.
// Both read the file in large blocks through a file descriptor, never line
// by line through a stream, and both judge every row line by its shape.
#ifndef VKT_BACKUP_PREVIOUS_BACKUP_H_
#define VKT_BACKUP_PREVIOUS_BACKUP_H_

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "backup/backup_file.h"
#include "backup/backup_format.h"
#include "backup/object_section.h"
#include "backup/file_lines.h"
#include "backup/zstd_frames.h"

class RowProgress;

// Rows handed to the backup file for one table.
struct RowsResult {
  int rows = 0;        // row lines written
  bool whole = false;  // every row of the table, and the closing empty line
};

// One table block of the previous backup file.
struct PreviousTableEntry {
  std::string name;
  std::string updateText;  // "dd.mm.YYYY HH:MM:SS" as written in the block
  time_t updateTime = 0;   // meaningful only when updateKnown
  bool updateKnown = false;
  std::int64_t position = -1;  // first byte after the comment block
  // True when the block's rows are known to be whole: at least one row,
  // every line of the block ended by a line end, every row of the table
  // with the same prefix and number of values, in one form, every
  // statement closed, and the rows closed by their empty line. Only such
  // rows are ever copied.
  bool rowsTrusted = false;
  int rowCount = 0;    // rows found in the block
  int valueCount = 0;  // values in each row
  // What a row holds before its values, as a row line of one row a
  // statement would hold it (for rows of several a statement: their
  // statement head and " (").
  std::string rowPrefix;
  // The rows' form: several rows a statement, and the most rows a
  // statement holds (1 for rows of one a statement).
  bool rowsShared = false;
  int statementRowsMax = 0;
  // The bytes of the rows' lines: from the first row line (or statement
  // head) to the empty line that closes them.
  std::uint64_t rowsBegin = 0;
  std::uint64_t rowsEnd = 0;
  // Whether every row line ends in CR LF (copied as it lies), and the file
  // as it was when indexing began: rows are copied only while it is the
  // same, so they are the very bytes that were judged.
  bool rowsCrLf = false;
  FileStamp file;
  // True when the block was read whole: every line ended, no foreign line,
  // and it ends where a section ends (after its rows' empty line, or, with
  // no rows, after an empty line or right after the comment block). A
  // block that is not whole tells that the previous file was damaged, so
  // its table counts as changed.
  bool blockWhole = false;
  // The lines of the body before its first empty line or row line, joined
  // by LF: a view's statements are compared with them.
  std::string definition;
  // The table's identity from the file's identity block; "" when none.
  std::string identity;
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

// Row lines after a block's first are judged on helper threads, in runs
// of about this many bytes, cut at line starts.
constexpr std::uint64_t kJudgedRun = std::uint64_t{4} << 20;
// The same for bytes held in memory only for a while: shorter runs keep
// the judges, and the bytes they read, close behind the index pass.
constexpr std::uint64_t kJudgedRunHeld = std::uint64_t{1} << 20;

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

// The number of values of a row line whose part before the values is
// `prefix`: after the prefix, values that are quoted strings (backslash
// escapes) or NULL, separated by commas, then ");" and nothing else.
// -1 when the line has another shape.
int rowValueCount(std::string_view line, std::string_view prefix);

// The number of values of `line` after its first `from` bytes: values that
// are quoted strings (backslash escapes) or NULL, separated by commas, then
// ")" and `last`, and nothing else. -1 when the line has another shape,
// and for a value that holds an LF (no line does).
int valuesUpTo(std::string_view line, std::size_t from, char last);

}  // namespace previous_backup

#endif  // VKT_BACKUP_PREVIOUS_BACKUP_H_
