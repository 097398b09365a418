// Tables without transactions at the snapshot's moment.
//
// A snapshot covers only engines with transactions. So that the rows of
// MyISAM, Aria and the like belong to the same moment, a second connection
// locks those tables for reading before the main connection begins its
// snapshot (START TRANSACTION would let go of the main session's own table
// locks), reads their rows itself and then lets the lock go. Only the
// connection that holds the lock reads those tables: a writer that waits
// for the lock would otherwise queue ahead of the main connection's read,
// and the three would wait for one another until the server gives up. The
// rows are read first, into a scratch file beside the backup, so that
// writers wait only for them; each table's rows are then copied from that
// file to their usual place in the backup. Rows stream to disk: nothing is
// held in memory.

#include <fcntl.h>
#include <unistd.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"

using console_text::printLine;

bool BackupEngine::lockNonTransactional(std::unordered_set<std::string>* locked,
                                        std::string* why) {
  locked->clear();
  why->clear();
  std::vector<std::string> names;
  if (!listNonTransactional(&names)) {
    printError();
    return false;
  }
  if (names.empty()) return true;
  std::string statement = "LOCK TABLES ";
  for (size_t i = 0; i < names.size(); ++i)
    statement += (i ? ", " : "") + backup_format::quoteIdentifier(names[i]) + " READ";
  if (!lockSession_.open()) {
    *why = console_text::kNoMemoryForLock;
    return true;
  }
  if (!lockSession_.connect(host_, user_, password_, databaseName) ||
      !readRowsAsMain(lockSession_) || !lockSession_.execute(statement)) {
    // A refusal (no LOCK TABLES privilege) lets the run go on without the
    // lock, as it says. A lock not granted in time ends the run: going on
    // without it would read the tables at another moment, and wait for
    // the same lock holder again.
    const bool timedOut = lockSession_.errorNumber() == db::kLockWaitTimeout;
    *why = lockSession_.error();
    releaseSnapshotLock();
    if (!timedOut) return true;
    printLine(console_text::lockNotGranted(kLockWaitSeconds));
    return false;
  }
  locked->insert(names.begin(), names.end());
  return true;
}

void BackupEngine::releaseSnapshotLock() {
  lockSession_.close();  // the server lets go of its locks
}

BackupEngine::RowsReadFirst::~RowsReadFirst() {
  if (file >= 0) close(file);
}

void BackupEngine::readLockedTablesFirst(const Job& job,
                                         const std::string& fileName,
                                         RowsReadFirst* readFirst) {
  std::vector<const TableEntry*> first;
  for (size_t i = 0; i < job.inventory.tables.size(); ++i)
    if (job.plan.tables[i].readFirst) first.push_back(&job.inventory.tables[i]);
  if (first.empty()) {
    releaseSnapshotLock();
    return;
  }
  printLine("");
  printLine(console_text::readingFirst(first.size()));
  // The scratch file is gone from the directory as soon as it is made: a
  // killed run leaves nothing behind.
  BackupFile scratch;
  if (scratch.create(fileName + ".zuerst")) {
    readFirst->file = open(scratch.path().c_str(), O_RDONLY | O_CLOEXEC);
    unlink(scratch.path().c_str());
  }
  if (readFirst->file < 0) {
    printLine(console_text::noScratchFile(fileName));
    releaseSnapshotLock();
    return;  // the tables find no rows read first: they fail
  }
  for (const TableEntry* table : first) {
    printLine(console_text::readingTable(table->name));
    RowsReadFirst::Part part;
    part.begin = scratch.bytesWritten();
    scratch.beginRows();
    part.rows = dumpRowsInto(*table, lockSession_, scratch);
    scratch.endRows();
    part.end = scratch.bytesWritten();
    printLine(console_text::rowsRead(part.rows.rows));
    readFirst->parts.emplace(table->name, part);
  }
  releaseSnapshotLock();
  scratch.close();
  if (scratch.failed()) readFirst->parts.clear();
}

RowsResult BackupEngine::copyRowsReadFirst(const RowsReadFirst* readFirst,
                                           const std::string& tableName) {
  printLine(console_text::kTakingRowsReadFirst);
  RowsResult rows;
  const RowsReadFirst::Part* part = nullptr;
  if (readFirst != nullptr) {
    auto found = readFirst->parts.find(tableName);
    if (found != readFirst->parts.end()) part = &found->second;
  }
  if (part == nullptr) {
    printLine(console_text::kRowsNotRead);
    return rows;
  }
  rows.rows = part->rows.rows;
  const bool copied =
      outFile.appendFrom(readFirst->file, part->begin, part->end - part->begin) ==
      BackupFile::CopyOutcome::kCopied;
  if (!copied)
    printLine(console_text::kRowsNotWritten);
  rows.whole = part->rows.whole && copied;
  return rows;
}
