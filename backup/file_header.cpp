#include "backup/file_header.h"

#include <fcntl.h>
#include <unistd.h>

#include "backup/backup_format.h"
#include "backup/zstd_frames.h"

namespace file_header {

bool namesDatabase(int fd, const std::string& database) {
  if (zstd_frames::looksCompressed(fd))
    return backup_format::headerNamesDatabase(
        zstd_frames::decompressedStart(fd, backup_format::kHeaderBytes), database);
  std::string start(backup_format::kHeaderBytes, '\0');
  const ssize_t n = zstd_frames::readAt(fd, &start[0], start.size(), 0);
  start.resize(n > 0 ? static_cast<size_t>(n) : 0);
  return backup_format::headerNamesDatabase(start, database);
}

bool fileNamesDatabase(const std::string& path, const std::string& database) {
  // Non-blocking: a FIFO of a backup's name must not stop the run.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool names = namesDatabase(fd, database);
  close(fd);
  return names;
}

}  // namespace file_header
