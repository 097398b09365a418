// Indexes arbitrary bytes as a previous backup and copies every block whose
// rows were judged whole; aborts when a copy yields anything but exactly the
// indexed number of that table's row lines and the closing empty line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>

#include "backup/backup_format.h"
#include "backup/previous_backup.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// `copied` must be `rowCount` CR LF lines of the table, then one empty line.
void checkCopy(const std::string& copied, const PreviousTableEntry& entry) {
  const std::string start = backup_format::rowLineStartFor(entry.name);
  size_t pos = 0;
  for (int row = 0; row < entry.rowCount; ++row) {
    const size_t end = copied.find("\r\n", pos);
    check(end != std::string::npos);
    check(copied.compare(pos, start.size(), start) == 0);
    check(end >= pos + start.size());
    pos = end + 2;
  }
  check(copied.compare(pos, std::string::npos, "\r\n") == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::istringstream in(
      std::string(reinterpret_cast<const char*>(data), size),
      std::ios::in | std::ios::binary);
  const previous_backup::Index index = previous_backup::buildIndex(in);
  for (const PreviousTableEntry& entry : index.tables) {
    if (!entry.rowsTrusted) continue;
    check(entry.rowCount > 0);
    check(entry.blockWhole);
    check(previous_backup::find(index.tables, entry.name) != nullptr);
    std::ostringstream out(std::ios::out | std::ios::binary);
    const int copied = previous_backup::copyRows(in, entry, out);
    check(copied == entry.rowCount);
    checkCopy(out.str(), entry);
  }
  return 0;
}
