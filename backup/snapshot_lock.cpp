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

#include "backup/snapshot_lock.h"

#include <fcntl.h>
#include <unistd.h>

#include <utility>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/row_reader.h"

using console_text::printLine;

SnapshotLock::SnapshotLock(db::Session& main, run_session::Login login,
                           std::function<void()> beforeLock)
    : main_(main), login_(std::move(login)), beforeLock_(std::move(beforeLock)) {}

bool SnapshotLock::listNonTransactional(std::vector<std::string>* names) {
  names->clear();
  db::Rows rows;
  if (!main_.select(
          "SELECT t.TABLE_NAME, t.ENGINE FROM information_schema.TABLES t "
          "JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
          "WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_TYPE <> 'VIEW' "
          "AND e.TRANSACTIONS <> 'YES' ORDER BY t.TABLE_NAME",
          &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    if (!backup_format::keepsRowsElsewhere(rows.text(i, 1))) names->push_back(rows.text(i, 0));
  // They are locked next.
  if (!names->empty() && beforeLock_) beforeLock_();
  return true;
}

bool SnapshotLock::lockTables(std::unordered_set<std::string>* locked,
                              std::string* why) {
  locked->clear();
  why->clear();
  std::vector<std::string> names;
  if (!listNonTransactional(&names)) {
    run_session::printError(main_);
    return false;
  }
  if (names.empty()) return true;
  std::string statement = "LOCK TABLES ";
  for (size_t i = 0; i < names.size(); ++i)
    statement += (i ? ", " : "") + backup_format::quoteIdentifier(names[i]) + " READ";
  if (!session_.open()) {
    *why = console_text::kNoMemoryForLock;
    return true;
  }
  if (!session_.connect(login_.host, login_.user, login_.password, login_.database) ||
      !run_session::readRowsAs(main_, session_) || !session_.execute(statement)) {
    // A refusal (no LOCK TABLES privilege) lets the run go on without the
    // lock, as it says. A lock not granted in time ends the run: going on
    // without it would read the tables at another moment, and wait for
    // the same lock holder again.
    const bool timedOut = session_.errorNumber() == db::kLockWaitTimeout;
    *why = session_.error();
    release();
    if (!timedOut) return true;
    printLine(console_text::lockNotGranted(run_session::kLockWaitSeconds));
    return false;
  }
  locked->insert(names.begin(), names.end());
  return true;
}

void SnapshotLock::release() {
  session_.close();  // the server lets go of its locks
}

RowsReadFirst SnapshotLock::readFirst(const Inventory& inventory,
                                      const plan::Plan& plan,
                                      const std::string& fileName,
                                      RowReader& reader) {
  RowsReadFirst readFirst;
  std::vector<const TableEntry*> first;
  for (size_t i = 0; i < inventory.tables.size(); ++i)
    if (plan.tables[i].readFirst) first.push_back(&inventory.tables[i]);
  if (first.empty()) {
    release();
    return readFirst;
  }
  printLine("");
  printLine(console_text::readingFirst(first.size()));
  // The scratch file is gone from the directory as soon as it is made: a
  // killed run leaves nothing behind.
  BackupFile scratch;
  if (scratch.create(fileName + ".zuerst")) {
    readFirst.file_ = open(scratch.path().c_str(), O_RDONLY | O_CLOEXEC);
    unlink(scratch.path().c_str());
  }
  if (readFirst.file_ < 0) {
    printLine(console_text::noScratchFile(fileName));
    release();
    return readFirst;  // the tables find no rows read first: they fail
  }
  for (const TableEntry* table : first) {
    printLine(console_text::readingTable(table->name));
    RowsReadFirst::Part part;
    part.begin = scratch.bytesWritten();
    scratch.beginRows();
    part.rows = reader.read(*table, session_, scratch);
    scratch.endRows();
    part.end = scratch.bytesWritten();
    printLine(console_text::rowsRead(part.rows.rows));
    readFirst.parts_.emplace(table->name, part);
  }
  release();
  scratch.close();
  if (scratch.failed()) readFirst.parts_.clear();
  return readFirst;
}

RowsReadFirst::RowsReadFirst(RowsReadFirst&& other) noexcept
    : parts_(std::move(other.parts_)), file_(other.file_) {
  other.file_ = -1;
}

RowsReadFirst::~RowsReadFirst() {
  if (file_ >= 0) close(file_);
}

RowsResult RowsReadFirst::copyInto(const std::string& tableName,
                                   BackupFile& out) const {
  printLine(console_text::kTakingRowsReadFirst);
  RowsResult rows;
  auto found = parts_.find(tableName);
  if (found == parts_.end()) {
    printLine(console_text::kRowsNotRead);
    return rows;
  }
  const Part& part = found->second;
  rows.rows = part.rows.rows;
  const bool copied =
      out.appendFrom(file_, part.begin, part.end - part.begin) ==
      BackupFile::CopyOutcome::kCopied;
  if (!copied)
    printLine(console_text::kRowsNotWritten);
  rows.whole = part.rows.whole && copied;
  return rows;
}
