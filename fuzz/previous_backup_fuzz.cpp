// Indexes arbitrary bytes as a previous backup and copies every block whose
// rows were judged whole; aborts when a copy yields anything but exactly the
// indexed number of that table's rows, in the block's form, and the closing
// empty line.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <sys/mman.h>
#include <unistd.h>

#include "backup/backup_format.h"
#include "backup/previous_backup.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// `copied` must be the table's rows in the block's form, then one empty
// line: `rowCount` CR LF row lines, each with the block's prefix and number
// of values; or, for several rows a statement, statement heads each
// followed by row lines "(" values ")," and a last one "(" values ");",
// `rowCount` row lines in all.
void checkCopy(const std::string& copied, const PreviousTableEntry& entry) {
  const std::string start = backup_format::rowLineStartFor(entry.name);
  const std::string head = entry.rowPrefix.substr(0, entry.rowPrefix.size() - 2);
  size_t pos = 0;
  bool inStatement = false;
  for (int row = 0; row < entry.rowCount;) {
    const size_t end = copied.find("\r\n", pos);
    check(end != std::string::npos);
    std::string line = copied.substr(pos, end - pos);
    pos = end + 2;
    if (!entry.rowsShared) {
      check(line.compare(0, start.size(), start) == 0);
      check(previous_backup::rowValueCount(line, entry.rowPrefix) == entry.valueCount);
      ++row;
    } else if (!inStatement) {
      check(line == head && head.compare(0, start.size(), start) == 0);
      inStatement = true;
    } else {
      check(!line.empty() && (line.back() == ',' || line.back() == ';'));
      inStatement = line.back() == ',';
      line.back() = ';';
      check(previous_backup::rowValueCount(line, "(") == entry.valueCount);
      ++row;
    }
  }
  check(!inStatement);
  check(copied.compare(pos, std::string::npos, "\r\n") == 0);
}

// Copies `entry` into a fresh backup file and returns what it holds.
std::string copyOut(int in, const PreviousTableEntry& entry) {
  static const std::string name =
      "/tmp/vkt-fuzz-copy-" + std::to_string(getpid()) + ".sql";
  unlink(name.c_str());
  BackupFile out;
  check(out.create(name));
  const RowsResult rows = previous_backup::copyRows(in, entry, out);
  check(rows.whole && rows.rows == entry.rowCount);
  check(out.finish());
  std::ifstream file(name, std::ios::binary);
  std::string copied((std::istreambuf_iterator<char>(file)),
                     std::istreambuf_iterator<char>());
  unlink(name.c_str());
  return copied;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int in = memfd_create("fuzz", 0);
  check(in >= 0);
  check(write(in, data, size) == static_cast<ssize_t>(size));
  const previous_backup::Index index = previous_backup::buildIndex(in);
  for (const PreviousTableEntry& entry : index.tables) {
    if (!entry.rowsTrusted) continue;
    check(entry.rowCount > 0);
    check(entry.blockWhole);
    checkCopy(copyOut(in, entry), entry);
  }
  close(in);
  return 0;
}
