#include <string>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/previous_backup.h"
#include "backup/progress.h"

using console_text::printLine;

// Only the rows of tables that may be unchanged can be copied; the rows
// of the others need not be judged.
previous_backup::RowsWanted BackupEngine::rowsWorthJudging(
    const Inventory& inventory) {
  // With the log on, so may those the log may show unchanged.
  const bool logOn = !inventory.logAt.file.empty();
  return [&inventory, logOn](const PreviousTableEntry& entry) {
    const TableEntry* table = inventory.find(entry.name);
    return table != nullptr && (plan::sameUpdateTime(*table, entry) ||
                                (logOn && plan::logMayTell(*table, entry)));
  };
}

std::unique_ptr<PreviousBackup> BackupEngine::loadPreviousBackup(
    PreviousIndexing& indexing, const std::string& fileName) {
  console_text::printStart(console_text::kOpeningPrevious);
  std::unique_ptr<PreviousBackup> previous = indexing.finish();
  if (!previous) {
    printLine(console_text::kFailed);
    const std::string& refusal = indexing.refusal();
    printLine(refusal.empty() ? console_text::cannotRead(fileName) : refusal);
    return nullptr;
  }
  printLine(console_text::kOk);
  printLine(console_text::kReadingPrevious);
  return previous;
}

// The tables without transactions are locked for the snapshot as soon as
// they are listed; that lock is not to wait for the previous backup's
// index, so the index is made whole first.
void BackupEngine::finishIndexBeforeLock() {
  if (indexing_ != nullptr) indexing_->wait();
}

// Rows are copied only when they were written for the same session
// settings (character set, mode, time zone) as this run's rows. How the
// restore commits them does not change them: a file written before the
// bulk-load statements joined the preamble still counts.
bool BackupEngine::rowsReadAlike(const PreviousBackup& previous) const {
  const previous_backup::Index& index = previous.contents();
  return index.hasPreamble &&
         backup_format::rowsReadAlike(index.preamble,
                                      session_.characterSetName());
}

RowsResult BackupEngine::copyRowsFromPrevious(const PreviousBackup& previous,
                                              const std::string& tableName) {
  printLine(console_text::kCopyingRows);
  const PreviousTableEntry* entry = previous.find(tableName);
  RowsResult rows;
  RowProgress progress(tableName);
  if (entry != nullptr) rows = previous.copyRows(*entry, outFile, &progress);
  progress.finish();
  // A copy stops at the first failure of either file; the output's is kept.
  if (!rows.whole && outFile.failed())
    printLine(console_text::kRowsNotWritten);
  else if (!rows.whole)
    printLine(console_text::kPreviousChanged);
  return rows;
}
