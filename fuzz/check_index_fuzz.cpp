// Runs the same bytes through the check and through the previous file's
// index, the two readers of a backup file: a file the check calls sound is
// indexed with as many table sections as the check counts (tables and
// views) and as many rows. (The index may still not trust a block, one
// that is absent, say: it then reads the rows again.)
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "backup/backup_check.h"
#include "backup/previous_backup.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const backup_check::Report report = backup_check::checkText(bytes);
  if (!report.holds()) return 0;
  const int fd = memfd_create("fuzz-check-index", 0);
  check(fd >= 0);
  check(write(fd, data, size) == static_cast<ssize_t>(size));
  const previous_backup::Index index = previous_backup::buildIndex(fd);
  close(fd);
  check(index.tables.size() == report.summary.tables + report.summary.views);
  std::uint64_t rows = 0;
  for (const PreviousTableEntry& entry : index.tables)
    rows += static_cast<std::uint64_t>(entry.rowCount);
  check(rows == report.summary.rows);
  return 0;
}
