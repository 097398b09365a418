// Reading a previous backup file: the one-pass index and the row copier,
// on plain streams so that they can be tested and fuzzed without a server.
#ifndef VKT_BACKUP_PREVIOUS_BACKUP_H_
#define VKT_BACKUP_PREVIOUS_BACKUP_H_

#include <istream>
#include <ostream>
#include <string>
#include <vector>

#include "backup/backup_engine.h"

class RowProgress;

namespace previous_backup {

struct Index {
  std::vector<PreviousTableEntry> tables;  // in file order
  bool hasPreamble = false;
  std::string preamble;  // the preamble line, when hasPreamble
};

// Reads `in` once from its current position to its end and indexes every
// table block. Any byte sequence is accepted; damage only makes entries'
// times unknown or their rows untrusted. `in` must be opened in binary
// mode so that recorded positions are byte offsets.
Index buildIndex(std::istream& in);

// The first entry of `tables` named exactly `name`, or null.
const PreviousTableEntry* find(const std::vector<PreviousTableEntry>& tables,
                               const std::string& name);

// Seeks `in` to entry.position and copies the table's row lines to `out`,
// each with a CR LF line end, then writes the empty line that closes the
// rows block. Returns the number of row lines copied, or -1 when `in` could
// not be read as the index recorded or writing to `out` failed (nothing or
// only part was copied). Each row copied is counted on `progress`, if any.
// Must only be called for an entry with rowsTrusted.
int copyRows(std::istream& in, const PreviousTableEntry& entry,
             std::ostream& out, RowProgress* progress = nullptr);

}  // namespace previous_backup

#endif  // VKT_BACKUP_PREVIOUS_BACKUP_H_
