#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <iostream>
#include <memory>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/change_rules.h"
#include "backup/previous_backup.h"
#include "backup/progress.h"

namespace {

void printLine(const std::string& text) { std::cout << text << std::endl; }

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

bool BackupEngine::loadPreviousBackup(std::string fileName) {
  std::cout << "\xD6" "ffne altes Backup: " << std::flush;
  if (!openPrevious(fileName)) {
    printLine("Fehler!");
    printLine("Konnte Datei " + backup_format::commentName(fileName) +
              " nicht zum lesen \xF6" "ffnen.");
    return false;
  }
  printLine("OK");
  printLine("Lese Daten aus dem alten Backup.");
  // Only the rows of tables that may be unchanged can be copied; the rows
  // of the others need not be judged.
  const previous_backup::RowsWanted wanted =
      [this](const PreviousTableEntry& previous) {
        const TableEntry* table = findTable(previous.name);
        return table != nullptr && sameUpdateTime(*table, previous);
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
                                   mysql_character_set_name(connection));
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

bool BackupEngine::isUnchanged(const TableEntry& table) const {
  const PreviousTableEntry* previous = findPrevious(table.name);
  if (previous == nullptr) return false;
  // A view has no update time: its statements are compared, where the
  // files hold them.
  if (table.isView) return !saveStructure || viewUnchanged(table, *previous);
  // A table the server counts empty while the previous backup holds rows
  // for it was emptied without moving its time (TRUNCATE). Changes that
  // move no time at all (TRUNCATE PARTITION, EXCHANGE PARTITION, DISCARD
  // and IMPORT TABLESPACE, a RENAME swap) show in the identity.
  return previous->blockWhole && sameUpdateTime(table, *previous) &&
         change_rules::sameIdentity(table.identity, previous->identity) &&
         !(table.reportedEmpty && previous->rowCount > 0);
}

// An equal update time counts only where it follows the rows.
bool BackupEngine::sameUpdateTime(const TableEntry& table,
                                  const PreviousTableEntry& previous) {
  return !table.isView && table.updateKnown && previous.updateKnown &&
         table.updateTime == previous.updateTime && table.updateTracksRows;
}

bool BackupEngine::canCopyRows(const TableEntry& table) const {
  const PreviousTableEntry* previous = findPrevious(table.name);
  // A column renamed without a change of the update time would leave the
  // copied column lists naming the old column.
  // Nor may rows be copied that do not fit the table's columns now.
  // Rows of the other form are read again, so that the file has the form
  // the settings ask for, and so are statements of more rows than they
  // allow.
  return !table.isView && prevPreambleMatches_ && isUnchanged(table) &&
         previous->rowsTrusted && previous->valueCount == table.columnCount &&
         previous->rowPrefix ==
             backup_format::rowLinePrefix(table.name, table.columns) &&
         previous->rowsShared == (rowsPerStatement_ > 1) &&
         previous->statementRowsMax <= rowsPerStatement_;
}

std::vector<zstd_frames::Frame> BackupEngine::rowFrames(
    const PreviousTableEntry& entry) const {
  std::vector<zstd_frames::Frame> frames;
  if (!entry.rowsTrusted || !entry.rowsCrLf || entry.rowsEnd <= entry.rowsBegin)
    return frames;
  // The rows block with its closing empty line.
  const std::uint64_t end = entry.rowsEnd + 2;
  auto frame = std::lower_bound(
      prevFrames_.begin(), prevFrames_.end(), entry.rowsBegin,
      [](const zstd_frames::Frame& f, std::uint64_t at) { return f.plainBegin < at; });
  if (frame == prevFrames_.end() || frame->plainBegin != entry.rowsBegin)
    return frames;
  for (; frame != prevFrames_.end() && frame->plainBegin < end; ++frame) {
    const bool follows =
        frames.empty() ||
        frame->packedBegin == frames.back().packedBegin + frames.back().packedSize;
    if (!frame->sound || !follows) return {};
    frames.push_back(*frame);
  }
  if (frames.back().plainBegin + frames.back().plainSize != end) return {};
  return frames;
}

RowsResult BackupEngine::copyRowsFromPrevious(std::string tableName) {
  printLine("Kopiere die Daten aus dem alten Backup heraus.");
  const PreviousTableEntry* entry = findPrevious(tableName);
  RowsResult rows;
  RowProgress progress(tableName);
  // Out of a compressed previous backup only while it is the file read.
  const bool packedSame =
      prevPacked_ < 0 || previous_backup::sameFile(
                             previous_backup::stampOf(prevPacked_), prevPackedStamp_);
  if (entry != nullptr && packedSame) {
    const std::vector<zstd_frames::Frame> frames =
        outFile.compressed() ? rowFrames(*entry) : std::vector<zstd_frames::Frame>();
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
    printLine("Fehler: Die Daten konnten nicht geschrieben werden.");
  else if (!rows.whole)
    printLine("Fehler: Das alte Backup hat sich beim Kopieren ver\xE4ndert.");
  return rows;
}
