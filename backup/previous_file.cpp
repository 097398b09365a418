#include "backup/previous_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <utility>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/file_header.h"
#include "backup/progress.h"

namespace {

// Opens `fileName` for reading only when it is a regular file: a FIFO or a
// device would block the run or never end. -1 otherwise.
int openRegularFile(const std::string& fileName) {
  int fd = ::open(fileName.c_str(),
                  O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  struct stat status;
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return -1;
  }
  return fd;
}

// A file for the decompressed bytes of a previous backup, beside it, that
// no other process sees and that goes when it is closed. -1 on failure.
int openScratchBeside(const std::string& fileName) {
  const std::string::size_type slash = fileName.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : fileName.substr(0, slash + 1);
#ifdef O_TMPFILE
  int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd;
#endif
  std::string name = dir + ".vkt-entpackt.XXXXXX";
  int fd2 = mkostemp(&name[0], O_CLOEXEC);
  if (fd2 >= 0) unlink(name.c_str());
  return fd2;
}

// How many decompressed bytes a scratch file in the file system of `fd`
// may take: half the space free there. The new backup is written beside it
// and holds about the previous one's rows: written plain, about as many
// bytes as the scratch file, compressed far fewer. So the scratch file
// leaves it room, whatever the ratio of the compressed file. 0 when the
// free space is not known.
std::uint64_t scratchLimit(int fd) {
  struct statvfs space;
  if (fstatvfs(fd, &space) != 0) return 0;
  return static_cast<std::uint64_t>(space.f_bavail) * space.f_frsize / 2;
}

}  // namespace

std::unique_ptr<PreviousBackup> PreviousBackup::open(const std::string& fileName,
                                                     const std::string& database,
                                                     std::string* refusal) {
  if (refusal != nullptr) refusal->clear();
  std::unique_ptr<PreviousBackup> previous(new PreviousBackup());
  bool foreign = false;
  bool tooLarge = false;
  previous->plainFd_ = openRegularFile(fileName);
  const std::string packedName = fileName + backup_format::kCompressedSuffix;
  if (previous->plainFd_ >= 0) {
    foreign = !file_header::namesDatabase(previous->plainFd_, database);
    if (!foreign) return previous;
  } else if (previous->openPacked(packedName, database, &foreign, &tooLarge)) {
    return previous;
  }
  if (refusal == nullptr) return nullptr;
  if (foreign)
    *refusal = console_text::otherDatabasesFile(
        previous->plainFd_ >= 0 ? fileName : packedName, database);
  else if (tooLarge)
    *refusal = console_text::previousTooLargeUnpacked(packedName);
  return nullptr;
}

PreviousBackup::~PreviousBackup() {
  packedBytes_.reset();
  if (plainFd_ >= 0) close(plainFd_);
  if (packedFd_ >= 0) close(packedFd_);
}

bool PreviousBackup::openPacked(const std::string& packedName,
                                const std::string& database, bool* foreign,
                                bool* tooLarge) {
  packedFd_ = openRegularFile(packedName);
  if (packedFd_ < 0) return false;
  // Before anything is decompressed: another database's file is no base.
  *foreign = !file_header::namesDatabase(packedFd_, database);
  if (*foreign) return false;
  // The frames are copied only while the compressed file is what was read.
  packedStamp_ = file_lines::stampOf(packedFd_);
  auto packed = std::make_shared<file_lines::PackedBytes>(packedFd_);
  if (packed->readable()) {
    packedBytes_ = std::move(packed);
    return true;
  }
  packed.reset();
  // Frames of another size (a file compressed by another tool): read once
  // into a file of its own, as long as it leaves the new backup room.
  plainFd_ = openScratchBeside(packedName);
  return plainFd_ >= 0 &&
         zstd_frames::decompressFile(packedFd_, plainFd_, &frames_,
                                     scratchLimit(plainFd_), tooLarge) &&
         packedUnchanged();
}

bool PreviousBackup::packedUnchanged() const {
  return packedFd_ < 0 || file_lines::sameFile(
                              file_lines::stampOf(packedFd_), packedStamp_);
}

void PreviousBackup::index(const previous_backup::RowsWanted& wanted) {
  index_ = packedBytes_ ? previous_backup::buildIndex(*packedBytes_, wanted)
                        : previous_backup::buildIndex(plainFd_, wanted);
  if (packedBytes_) frames_ = packedBytes_->framesRead();
  byName_.clear();
  for (size_t i = 0; i < index_.tables.size(); ++i)
    byName_.emplace(index_.tables[i].name, i);
}

const PreviousTableEntry* PreviousBackup::find(const std::string& name) const {
  auto found = byName_.find(name);
  return found == byName_.end() ? nullptr : &index_.tables[found->second];
}

plan::Previous PreviousBackup::forPlan(bool sessionMatches) const {
  plan::Previous previous;
  previous.tables = &index_.tables;
  previous.byName = &byName_;
  previous.objects = &index_.objects;
  previous.sessionMatches = sessionMatches;
  return previous;
}

std::vector<zstd_frames::Frame> rowFrames(
    const PreviousTableEntry& entry, const std::vector<zstd_frames::Frame>& packed) {
  std::vector<zstd_frames::Frame> frames;
  if (!entry.rowsTrusted || !entry.rowsCrLf || entry.rowsEnd <= entry.rowsBegin)
    return frames;
  // The rows block with its closing empty line.
  const std::uint64_t end = entry.rowsEnd + 2;
  auto frame = std::lower_bound(
      packed.begin(), packed.end(), entry.rowsBegin,
      [](const zstd_frames::Frame& f, std::uint64_t at) { return f.plainBegin < at; });
  if (frame == packed.end() || frame->plainBegin != entry.rowsBegin)
    return frames;
  for (; frame != packed.end() && frame->plainBegin < end; ++frame) {
    const bool follows =
        frames.empty() ||
        frame->packedBegin == frames.back().packedBegin + frames.back().packedSize;
    if (!frame->sound || !follows) return {};
    frames.push_back(*frame);
  }
  if (frames.back().plainBegin + frames.back().plainSize != end) return {};
  return frames;
}

RowsResult PreviousBackup::copyRows(const PreviousTableEntry& entry,
                                    BackupFile& out,
                                    RowProgress* progress) const {
  RowsResult rows;
  if (!packedUnchanged()) return rows;
  const std::vector<zstd_frames::Frame> frames =
      out.compressed() ? rowFrames(entry, frames_)
                       : std::vector<zstd_frames::Frame>();
  if (!frames.empty()) {
    // Into a compressed file as the frames they are, not compressed again.
    if (out.appendFrames(packedFd_, frames) == BackupFile::CopyOutcome::kCopied) {
      rows.rows = entry.rowCount;
      rows.whole = true;
      if (progress != nullptr)
        progress->advanceTo(static_cast<std::uint64_t>(entry.rowCount),
                            entry.rowsEnd - entry.rowsBegin);
    }
  } else {
    rows = packedBytes_ ? previous_backup::copyRows(*packedBytes_, entry, out, progress)
                        : previous_backup::copyRows(plainFd_, entry, out, progress);
  }
  if (!packedUnchanged()) rows.whole = false;
  return rows;
}

PreviousIndexing::PreviousIndexing(std::string fileName, std::string database) {
  try {
    thread_ = std::thread(&PreviousIndexing::openAndIndex, this, fileName, database);
  } catch (const std::system_error&) {
    openAndIndex(fileName, database);  // no thread to be had: indexed right here
  }
}

PreviousIndexing::~PreviousIndexing() { waitUntilIndexed(); }

void PreviousIndexing::openAndIndex(const std::string& fileName,
                                    const std::string& database) {
  previous_ = PreviousBackup::open(fileName, database, &refusal_);
  if (previous_)
    previous_->index([this](const PreviousTableEntry& entry) { return rowsWanted(entry); });
}

bool PreviousIndexing::rowsWanted(const PreviousTableEntry& entry) {
  std::lock_guard<std::mutex> lock(mutex_);
  return !wanted_ || wanted_(entry);
}

void PreviousIndexing::narrow(previous_backup::RowsWanted wanted) {
  std::lock_guard<std::mutex> lock(mutex_);
  wanted_ = std::move(wanted);
}

void PreviousIndexing::waitUntilIndexed() {
  if (thread_.joinable()) thread_.join();
}

std::unique_ptr<PreviousBackup> PreviousIndexing::finish() {
  waitUntilIndexed();
  return std::move(previous_);
}
