#include <cerrno>
#include <cstdlib>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/change_rules.h"
#include "backup/previous_backup.h"
#include "backup/progress.h"

using console_text::printLine;

namespace {

// Opens `fileName` for reading only when it is a regular file: a FIFO or a
// device would block the run or never end. -1 otherwise.
int openRegularFile(const std::string& fileName) {
  int fd = open(fileName.c_str(),
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
  int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
    return fd;
#endif
  std::string name = dir + ".vkt-entpackt.XXXXXX";
  int fd2 = mkostemp(&name[0], O_CLOEXEC);
  if (fd2 >= 0) unlink(name.c_str());
  return fd2;
}

}  // namespace

bool BackupEngine::openPrevious(const std::string& fileName) {
  prevFile = openRegularFile(fileName);
  if (prevFile >= 0) return true;
  const std::string packedName = fileName + backup_format::kCompressedSuffix;
  prevPacked_ = openRegularFile(packedName);
  if (prevPacked_ < 0) return false;
  // The frames are copied only while the compressed file is what was read.
  prevPackedStamp_ = previous_backup::stampOf(prevPacked_);
  auto packed = std::make_shared<previous_backup::PackedBytes>(prevPacked_);
  if (packed->readable()) {
    prevBytes_ = std::move(packed);
    return true;
  }
  packed.reset();
  // Frames of another size (a file compressed by another tool): read once
  // into a file of its own.
  prevFile = openScratchBeside(packedName);
  if (prevFile >= 0 &&
      zstd_frames::decompressFile(prevPacked_, prevFile, &prevFrames_) &&
      previous_backup::sameFile(previous_backup::stampOf(prevPacked_),
                                prevPackedStamp_))
    return true;
  if (prevFile >= 0) close(prevFile);
  prevFile = -1;
  close(prevPacked_);
  prevPacked_ = -1;
  prevFrames_.clear();
  return false;
}

bool BackupEngine::loadPreviousBackup(const Inventory& inventory,
                                      std::string fileName) {
  console_text::printStart(console_text::kOpeningPrevious);
  if (!openPrevious(fileName)) {
    printLine(console_text::kFailed);
    printLine(console_text::cannotRead(fileName));
    return false;
  }
  printLine(console_text::kOk);
  printLine(console_text::kReadingPrevious);
  // Only the rows of tables that may be unchanged can be copied; the rows
  // of the others need not be judged.
  const previous_backup::RowsWanted wanted =
      [&inventory](const PreviousTableEntry& previous) {
        const TableEntry* table = inventory.find(previous.name);
        return table != nullptr && plan::sameUpdateTime(*table, previous);
      };
  previous_backup::Index index =
      prevBytes_ ? previous_backup::buildIndex(*prevBytes_, wanted)
                 : previous_backup::buildIndex(prevFile, wanted);
  if (prevBytes_) prevFrames_ = prevBytes_->framesRead();
  prevTables = std::move(index.tables);
  prevObjects_ = std::move(index.objects);
  // The first block of a name is the one that counts.
  for (size_t i = 0; i < prevTables.size(); ++i)
    previousIndex_.emplace(prevTables[i].name, i);
  // Rows are copied only when they were written for the same session
  // settings (character set, mode, time zone) as this run's rows. How the
  // restore commits them does not change them: a file written before the
  // bulk-load statements joined the preamble still counts.
  prevPreambleMatches_ =
      index.hasPreamble &&
      backup_format::rowsReadAlike(index.preamble,
                                   session_.characterSetName());
  prevSettings_ = std::move(index.settings);
  return true;
}

const PreviousTableEntry* BackupEngine::findPrevious(
    const std::string& name) const {
  auto found = previousIndex_.find(name);
  return found == previousIndex_.end() ? nullptr : &prevTables[found->second];
}

time_t BackupEngine::findPreviousUpdateTime(std::string tableName) {
  const PreviousTableEntry* entry = findPrevious(tableName);
  return entry != nullptr && entry->updateKnown ? entry->updateTime : 0;
}

RowsResult BackupEngine::copyRowsFromPrevious(std::string tableName) {
  printLine(console_text::kCopyingRows);
  const PreviousTableEntry* entry = findPrevious(tableName);
  RowsResult rows;
  RowProgress progress(tableName);
  // Out of a compressed previous backup only while it is the file read.
  const bool packedSame =
      prevPacked_ < 0 || previous_backup::sameFile(
                             previous_backup::stampOf(prevPacked_), prevPackedStamp_);
  if (entry != nullptr && packedSame) {
    const std::vector<zstd_frames::Frame> frames =
        outFile.compressed() ? plan::rowFrames(*entry, prevFrames_)
                             : std::vector<zstd_frames::Frame>();
    if (!frames.empty()) {
      // Into a compressed file as the frames they are, not compressed again.
      if (outFile.appendFrames(prevPacked_, frames) ==
          BackupFile::CopyOutcome::kCopied) {
        rows.rows = entry->rowCount;
        rows.whole = true;
        progress.advanceTo(static_cast<std::uint64_t>(entry->rowCount),
                           entry->rowsEnd - entry->rowsBegin);
      }
    } else {
      rows = prevBytes_ ? previous_backup::copyRows(*prevBytes_, *entry, outFile, &progress)
                        : previous_backup::copyRows(prevFile, *entry, outFile, &progress);
    }
    if (prevPacked_ >= 0 &&
        !previous_backup::sameFile(previous_backup::stampOf(prevPacked_),
                                   prevPackedStamp_))
      rows.whole = false;
  }
  progress.finish();
  // A copy stops at the first failure of either file; the output's is kept.
  if (!rows.whole && outFile.failed())
    printLine(console_text::kRowsNotWritten);
  else if (!rows.whole)
    printLine(console_text::kPreviousChanged);
  return rows;
}
