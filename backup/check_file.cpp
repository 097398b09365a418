// Checking a backup file held in memory or at a path, plain or zstd
// frames: the frames themselves, then their plain bytes.
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup_check.h"
#include "backup/console_text.h"
#include "backup/zstd_frames.h"

namespace backup_check {
namespace {

void addFrameFault(Report* report, std::int64_t frame, const char* why) {
  if (report->faults.size() >= kFaultsKept) {
    ++report->faultsLeftOut;
    return;
  }
  report->faults.insert(report->faults.begin(), {0, frame, why});
}

// Whether the bytes of `fd` at `offset` are `wanted`.
bool readsAs(int fd, std::uint64_t offset, const std::string& wanted) {
  std::string found(wanted.size(), '\0');
  return zstd_frames::readAt(fd, &found[0], found.size(), offset) ==
             static_cast<ssize_t>(found.size()) &&
         found == wanted;
}

// The frames tile the file from its first byte, and the seek table after
// them lists exactly them and ends the file.
void checkFrames(int fd, const std::vector<zstd_frames::Frame>& frames,
                 std::uint64_t fileSize, Report* report) {
  std::uint64_t at = 0;
  bool tiled = true;
  for (std::size_t i = frames.size(); i-- > 0;)
    if (!frames[i].sound) addFrameFault(report, static_cast<std::int64_t>(i),
                                        console_text::kCheckFrameDamaged);
  for (const zstd_frames::Frame& frame : frames) {
    tiled = tiled && frame.packedBegin == at;
    at = frame.packedBegin + frame.packedSize;
  }
  const std::string wanted = zstd_frames::seekTable(frames);
  const bool sound = tiled && fileSize >= at && fileSize - at == wanted.size() &&
                     readsAs(fd, at, wanted);
  if (!sound)
    addFrameFault(report, static_cast<std::int64_t>(frames.size()),
                  console_text::kCheckSeekTable);
}

}  // namespace

Report checkText(std::string_view text) {
  return checkBytes(file_lines::TextBytes(text), text.size());
}

Report checkFile(const std::string& path, const Progress& progress) {
  // Never waits on a FIFO: only a regular file is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = fd < 0 ? errno : EINVAL;
    if (fd >= 0) close(fd);
    Report report;
    report.faults.push_back({0, -1, console_text::checkCannotOpen(path, error)});
    return report;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  Report report;
  if (!zstd_frames::looksCompressed(fd)) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    report = checkBytes(file_lines::FileBytes(fd), size, progress);
  } else {
    // The check reads each frame once, in order.
    file_lines::PackedBytes packed(fd, zstd_frames::Reader::kHeldFramesOneReader);
    if (!packed.readable()) {
      report.faults.push_back({0, -1, console_text::kCheckNotOurFrames});
    } else {
      report = checkBytes(packed, 0, progress);
      checkFrames(fd, packed.framesRead(), size, &report);
    }
    report.summary.packedBytes = size;
  }
  close(fd);
  return report;
}

}  // namespace backup_check
