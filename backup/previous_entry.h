// What the index of a previous backup file knows of one table block: the
// entry that the index pass fills, the plan's rules read and the row copy
// follows.
#ifndef VKT_BACKUP_PREVIOUS_ENTRY_H_
#define VKT_BACKUP_PREVIOUS_ENTRY_H_

#include <cstdint>
#include <ctime>
#include <string>

#include "backup/file_lines.h"

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

#endif  // VKT_BACKUP_PREVIOUS_ENTRY_H_
