// The run's sequence: the inventory, the previous backup, the log, the
// plan, then the file, section by section.
#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#include <sys/stat.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/binlog_run.h"
#include "backup/closing_block.h"
#include "backup/console_text.h"
#include "backup/incremental.h"
#include "backup/inventory_reader.h"
#include "backup/local_time.h"
#include "backup/object_writer.h"
#include "backup/previous_file.h"
#include "backup/row_reader.h"
#include "backup/snapshot_lock.h"
#include "backup/table_writer.h"

using console_text::printLine;

namespace {

bool nameTaken(const std::string& fileName) {
  struct stat status;
  return lstat(fileName.c_str(), &status) == 0 ||
         lstat((fileName + BackupFile::kWorkingSuffix).c_str(), &status) == 0;
}

// Plain or compressed: the next run looks for the previous backup under
// both names.
bool stampTaken(const std::string& savePath, const std::string& database,
                const std::string& stamp) {
  return nameTaken(backup_format::fileName(savePath, database, stamp, false)) ||
         nameTaken(backup_format::fileName(savePath, database, stamp, true));
}

// The current time, but never in the second named by `avoidStamp` (a new
// file must not take the name of the previous backup), and, for a few
// seconds at most, not in a second whose file names are taken (a run that
// failed in this very second left its file).
time_t currentTimeAvoiding(const std::string& avoidStamp,
                           const std::string& savePath,
                           const std::string& database) {
  time_t now = std::time(nullptr);
  const time_t giveUp = now + 3;
  for (;;) {
    std::string stamp = local_time::format(now, backup_format::kStampPattern);
    bool taken = stamp == avoidStamp ||
                 (now < giveUp &&
                  stampTaken(savePath, database, stamp));
    if (!taken) return now;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    now = std::time(nullptr);
  }
}

// The file's comment lines, then the preamble that the restore runs first:
// the session the rows were read in (`charset`, UTC), after the line that
// has the client read the file in that character set too.
void writeHeader(const std::string& database, const std::string& created,
                 const std::string& charset, BackupFile& out) {
  for (const std::string& line : backup_format::headerLines(database, created))
    out.writeLine(line);
  const std::string clientCharset = backup_format::clientCharsetLine(charset);
  if (!clientCharset.empty()) out.writeLine(clientCharset);
  out.writeLine(backup_format::preambleLine(charset));
  out.writeLine("");
}

// What this run's settings line names.
std::string settingsText(const plan::Settings& settings) {
  return backup_format::settingsText(settings.saveStructure, settings.saveData,
                                     settings.dropTable);
}

}  // namespace

RunOutcome BackupEngine::runBackup(std::string savePath, bool saveStructure,
                                   bool saveData, bool dropTable,
                                   bool fromPreviousBackup,
                                   std::string lastBackupTime) {
  if (!session_.isOpen()) {
    std::cerr << console_text::kNoSocket << std::flush;
    return RunOutcome::kFailed;
  }
  if (!connected_) {
    std::cerr << console_text::kNotConnected << std::endl;
    return RunOutcome::kFailed;
  }
  settings_.saveStructure = saveStructure;
  settings_.saveData = saveData;
  settings_.dropTable = dropTable;

  // The previous backup is indexed while the server answers: declared
  // after the inventory, the indexing ends before the inventory goes.
  std::optional<Inventory> inventory;
  std::unique_ptr<PreviousIndexing> indexing;
  if (fromPreviousBackup)
    indexing = std::make_unique<PreviousIndexing>(
        backup_format::fileName(savePath, login_.database, lastBackupTime),
        login_.database);
  // The tables without transactions are locked for the snapshot as soon
  // as they are listed; that lock is not to wait for the previous
  // backup's index, so the index is made whole first.
  SnapshotLock lock(session_, login_, [&indexing] {
    if (indexing) indexing->waitUntilIndexed();
  });
  InventoryRequest request;
  request.database = login_.database;
  request.definitions = saveStructure;
  request.incremental = fromPreviousBackup;
  request.lock = saveData ? &lock : nullptr;
  inventory = readInventory(session_, request);
  RunOutcome outcome = RunOutcome::kFailed;
  if (inventory) {
    if (indexing) indexing->narrow(incremental::rowsWorthJudging(*inventory));
    outcome = backUpTables(*inventory, indexing.get(), lock, savePath, lastBackupTime);
  }
  lock.release();
  // The inventory began a snapshot; it must not outlive the run, or it
  // would hold back the server's purge while the program waits at its
  // last pause.
  session_.execute("ROLLBACK");
  return outcome;
}

RunOutcome BackupEngine::backUpTables(Inventory& inventory,
                                      PreviousIndexing* indexing,
                                      SnapshotLock& lock,
                                      const std::string& savePath,
                                      const std::string& lastBackupTime) {
  // Routines, triggers and events alone are worth a backup; only a
  // database that holds nothing to save is not.
  if (inventory.tables.empty() && inventory.objects.empty() &&
      object_writer::objectsWhole(inventory, 0)) {
    printLine(console_text::kDatabaseEmpty);
    return RunOutcome::kFailed;
  }
  if (settings_.saveData) printHistoryNotSaved(inventory);

  const std::string& database = login_.database;
  std::unique_ptr<PreviousBackup> previous;
  if (indexing != nullptr) {
    previous = incremental::loadPreviousBackup(
        *indexing, backup_format::fileName(savePath, database, lastBackupTime));
    if (!previous)
      printLine(console_text::kNoPreviousBackup);
    else if (incremental::previousSettingsDiffer(*previous, settingsText(settings_)))
      previous.reset();
  }
  const LogChanges log = readLogChanges(session_, login_, inventory, previous.get());
  settleIdentities(session_, login_, &inventory, previous.get(), log);
  const plan::Plan plan = incremental::makePlan(
      inventory, previous.get(), log.tables ? &*log.tables : nullptr, settings_,
      session_.characterSetName());
  if (previous) {
    if (plan.changes == 0) {
      printLine(console_text::kNothingChanged);
      printLine(console_text::kRunStopped);
      return RunOutcome::kNothingChanged;
    }
    printLine(console_text::tablesChanged(plan.changes));
    if (!log.tables)
      incremental::printForgottenUpdateTimes(session_, inventory, *previous);
    printLine(console_text::kStarting);
    printLine("");
  }

  time_t now = currentTimeAvoiding(lastBackupTime, savePath, database);
  backupTime_ = local_time::format(now, backup_format::kStampPattern);
  return writeFile(FileJob{inventory, plan, previous.get(), log.at, lock},
                   backup_format::fileName(savePath, database, backupTime_,
                                           compressed_),
                   local_time::format(now, backup_format::kCommentDatePattern));
}

RunOutcome BackupEngine::writeFile(const FileJob& job, const std::string& fileName,
                                   const std::string& created) {
  const Inventory& inventory = job.inventory;
  if (!outFile_.create(fileName, compressed_)) {
    printLine(console_text::cannotCreate(fileName));
    return RunOutcome::kFailed;
  }
  printLine(console_text::creatingFile(fileName));
  // A write error is told once, with its cause, at the end of the
  // section it struck; every later write fails at once.
  bool writeErrorTold = false;
  auto checkWritten = [this, &writeErrorTold] {
    if (writeErrorTold || !outFile_.failed()) return;
    printLine(outFile_.rowsMisplaced() ? console_text::kRowsOutsideBlock
                                       : console_text::writeFailure(outFile_.error()));
    writeErrorTold = true;
  };
  printLine(console_text::kWritingHeader);
  writeHeader(login_.database, created, session_.characterSetName(), outFile_);
  checkWritten();
  RowReader rowReader(settings_.rowsPerStatement);
  const RowsReadFirst readFirst =
      settings_.saveData ? job.lock.readFirst(inventory, job.plan, fileName, rowReader)
                         : RowsReadFirst();
  TableWriter tableWriter(session_, outFile_, rowReader, settings_,
                          TableJob{inventory, job.plan, job.previous, readFirst});

  int saved = 0;
  int objectsSaved = 0;
  bool routinesWritten = false;
  const bool dropFirst = settings_.dropTable;
  const std::vector<TableEntry>& tables = inventory.tables;
  for (int i = 0; i < static_cast<int>(tables.size()); ++i) {
    // Views may call functions; triggers are made after the rows, so that
    // the restore does not fire them.
    if (tables[i].isView && !routinesWritten) {
      objectsSaved += object_writer::writeRoutines(inventory, dropFirst, outFile_);
      routinesWritten = true;
    }
    // Rolling back to the savepoint keeps the snapshot but lets go of the
    // table's metadata lock, so that DDL on a table already written need
    // not wait for the end of the run (nor block everyone behind it). Only
    // reading the rows takes that lock for the rest of the transaction:
    // SHOW CREATE TABLE lets go of it when it ends.
    const bool readsRows = tableWriter.readsRowsFromServer(i);
    if (readsRows) session_.execute("SAVEPOINT vkt_table");
    if (tableWriter.write(i)) ++saved;
    if (readsRows) session_.execute("ROLLBACK TO SAVEPOINT vkt_table");
    checkWritten();
  }
  if (!routinesWritten)
    objectsSaved += object_writer::writeRoutines(inventory, dropFirst, outFile_);
  checkWritten();
  objectsSaved += object_writer::writeObjects(
      inventory, backup_format::SectionKind::kTrigger, dropFirst, outFile_);
  checkWritten();
  objectsSaved += object_writer::writeObjects(
      inventory, backup_format::SectionKind::kEvent, dropFirst, outFile_);
  checkWritten();
  const bool identitiesWritten =
      writeClosingBlock(inventory, settingsText(settings_), job.logAt, outFile_);
  checkWritten();

  printLine("");
  printLine(console_text::tablesSaved(saved, tables.size()));
  const bool objectsWhole = object_writer::objectsWhole(inventory, objectsSaved);
  if (!inventory.objects.empty() || !objectsWhole)
    printLine(console_text::objectsSaved(objectsSaved, inventory.objects.size()));
  // Only a complete file is given its final name.
  const bool complete = saved == static_cast<int>(tables.size()) && objectsWhole &&
                        identitiesWritten && outFile_.finish();
  checkWritten();
  if (!complete) {
    outFile_.close();
    printLine(console_text::incomplete(outFile_.path()));
    return RunOutcome::kIncomplete;
  }
  return RunOutcome::kComplete;
}
