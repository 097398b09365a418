#include <chrono>
#include <iostream>
#include <thread>

#include <sys/stat.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/change_rules.h"
#include "backup/local_time.h"

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

}  // namespace

std::string BackupEngine::preamble() const {
  return backup_format::preambleLine(session_.characterSetName());
}

bool BackupEngine::openOutput(const std::string& fileName) {
  if (!outFile.create(fileName, compressed_)) {
    printLine(console_text::cannotCreate(fileName));
    return false;
  }
  return true;
}

plan::Plan BackupEngine::makePlan(
    const Inventory& inventory, const PreviousBackup* previous,
    const std::unordered_set<std::string>* loggedChanges) const {
  plan::Now now;
  now.tables = &inventory.tables;
  now.viewDefinitions = &inventory.viewDefinitions;
  now.objects = &inventory.objects;
  now.objectsListed = inventory.objectsListed;
  now.rightsMissing = inventory.rightsMissing;
  now.loggedChanges = loggedChanges;
  plan::Settings settings;
  settings.saveStructure = saveStructure;
  settings.saveData = saveData;
  settings.dropTable = dropTable;
  settings.rowsPerStatement = rowsPerStatement_;
  if (previous == nullptr) return plan::make(now, nullptr, settings);
  const plan::Previous indexed = previous->forPlan(rowsReadAlike(*previous));
  return plan::make(now, &indexed, settings);
}

RunOutcome BackupEngine::runBackup(std::string savePath, bool saveStructure,
                                   bool saveData, bool dropTable,
                                   bool fromPreviousBackup,
                                   std::string lastBackupTime) {
  if (!session_.isOpen()) {
    std::cerr << console_text::kNoSocket << std::flush;
    return RunOutcome::kFailed;
  }
  if (!connected) {
    std::cerr << console_text::kNotConnected << std::endl;
    return RunOutcome::kFailed;
  }
  this->saveStructure = saveStructure;
  this->saveData = saveData;
  this->dropTable = dropTable;
  this->fromPreviousBackup = fromPreviousBackup;

  // The previous backup is indexed while the server answers: declared
  // after the inventory, the indexing ends before the inventory goes.
  std::optional<Inventory> inventory;
  std::unique_ptr<PreviousIndexing> indexing;
  if (fromPreviousBackup)
    indexing = std::make_unique<PreviousIndexing>(
        backup_format::fileName(savePath, databaseName, lastBackupTime),
        databaseName);
  indexing_ = indexing.get();
  inventory = readInventory();
  RunOutcome outcome = RunOutcome::kFailed;
  if (inventory) {
    if (indexing) indexing->narrow(rowsWorthJudging(*inventory));
    outcome = backUpTables(*inventory, indexing.get(), savePath, lastBackupTime);
  }
  indexing_ = nullptr;
  releaseSnapshotLock();
  // The inventory began a snapshot; it must not outlive the run, or it
  // would hold back the server's purge while the program waits at its
  // last pause.
  query("ROLLBACK");
  return outcome;
}

std::optional<Inventory> BackupEngine::readInventory() {
  Inventory inventory;
  if (!readTables(&inventory)) return std::nullopt;
  if (this->saveStructure && !readDefinitions(&inventory)) return std::nullopt;
  return inventory;
}

RunOutcome BackupEngine::backUpTables(const Inventory& inventory,
                                      PreviousIndexing* indexing,
                                      const std::string& savePath,
                                      const std::string& lastBackupTime) {
  // Routines, triggers and events alone are worth a backup; only a
  // database that holds nothing to save is not.
  if (inventory.tables.empty() && inventory.objects.empty() &&
      objectsWhole(inventory, 0)) {
    printLine(console_text::kDatabaseEmpty);
    return RunOutcome::kFailed;
  }
  if (this->saveData) printHistoryNotSaved(inventory);

  std::unique_ptr<PreviousBackup> previous;
  if (indexing != nullptr) {
    previous = loadPreviousBackup(
        *indexing, backup_format::fileName(savePath, databaseName, lastBackupTime));
    if (!previous)
      printLine(console_text::kNoPreviousBackup);
    else if (previousSettingsDiffer(*previous))
      previous.reset();
  }
  const auto loggedChanges = readLogChanges(inventory, previous.get());
  const plan::Plan plan = makePlan(inventory, previous.get(),
                                   loggedChanges ? &*loggedChanges : nullptr);
  if (previous) {
    if (plan.changes == 0) {
      printLine(console_text::kNothingChanged);
      printLine(console_text::kRunStopped);
      return RunOutcome::kNothingChanged;
    }
    printLine(console_text::tablesChanged(plan.changes));
    if (!loggedChanges) printForgottenUpdateTimes(inventory, *previous);
    printLine(console_text::kStarting);
    printLine("");
  }

  time_t now = currentTimeAvoiding(lastBackupTime, savePath, databaseName);
  backupTime = local_time::format(now, backup_format::kStampPattern);
  return writeFile(Job{inventory, plan, previous.get()},
                   backup_format::fileName(savePath, databaseName, backupTime,
                                           compressed_),
                   local_time::format(now, backup_format::kCommentDatePattern));
}

// Tables of the previous backup whose update time the server no longer
// knows (InnoDB keeps it in memory only: lost on a restart, and when the
// table leaves the server's table definition cache) are read again on
// every run. Says how many, and when the cache is smaller than the
// database, what to raise.
void BackupEngine::printForgottenUpdateTimes(const Inventory& inventory,
                                             const PreviousBackup& previous) {
  int forgotten = 0;
  int baseTables = 0;
  for (const TableEntry& table : inventory.tables) {
    if (table.isView) continue;
    ++baseTables;
    if (!table.rowsElsewhere && table.updateText.empty() &&
        previous.find(table.name) != nullptr)
      ++forgotten;
  }
  if (forgotten == 0) return;
  printLine(console_text::forgottenUpdateTimes(forgotten));
  long long cache = 0;
  if (!session_.selectNumber("SELECT @@table_definition_cache", &cache) ||
      baseTables <= cache)
    return;
  printLine(console_text::tableCacheTooSmall(baseTables, cache));
}

std::string BackupEngine::settingsText() const {
  return backup_format::settingsText(saveStructure, saveData, dropTable);
}

// A file written with other settings lacks rows, definitions or DROP lines
// that this run must write: nothing in it can count as unchanged.
bool BackupEngine::previousSettingsDiffer(const PreviousBackup& previous) const {
  const std::string refusal = change_rules::settingsRefusal(
      previous.contents().settings, settingsText());
  if (!refusal.empty()) printLine(refusal);
  return !refusal.empty();
}

bool BackupEngine::writeIdentities(const Inventory& inventory) {
  outFile.startFrame();
  bool written = outFile.writeLine(backup_format::settingsLine(settingsText()));
  // With the log on, its position, and the lasting identity of every table
  // whose update time is not known: the next run may tell it unchanged by
  // the log.
  const std::string logLine = backup_format::logPositionLine(logAt_);
  if (!logLine.empty()) written = outFile.writeLine(logLine) && written;
  for (const TableEntry& table : inventory.tables) {
    const std::string identity =
        !table.identity.empty() || logLine.empty()
            ? table.identity
            : change_rules::identityWithoutTime(table.lastingIdentity);
    if (!identity.empty())
      written = outFile.writeLine(backup_format::identityLine(table.name, identity)) &&
                written;
  }
  return written;
}

RunOutcome BackupEngine::writeFile(Job job, const std::string& fileName,
                                   const std::string& created) {
  const Inventory& inventory = job.inventory;
  if (!openOutput(fileName)) return RunOutcome::kFailed;
  printLine(console_text::creatingFile(fileName));
  // A write error is told once, with its cause, at the end of the
  // section it struck; every later write fails at once.
  bool writeErrorTold = false;
  auto checkWritten = [this, &writeErrorTold] {
    if (writeErrorTold || !outFile.failed()) return;
    printLine(outFile.rowsMisplaced() ? console_text::kRowsOutsideBlock
                                      : console_text::writeFailure(outFile.error()));
    writeErrorTold = true;
  };
  printLine(console_text::kWritingHeader);
  for (const std::string& line :
       backup_format::headerLines(databaseName, created))
    outFile.writeLine(line);
  outFile.writeLine(preamble());
  outFile.writeLine("");
  checkWritten();
  RowsReadFirst readFirst;
  if (this->saveData) readLockedTablesFirst(job, fileName, &readFirst);
  job.readFirst = &readFirst;

  int saved = 0;
  int objectsSaved = 0;
  bool routinesWritten = false;
  const std::vector<TableEntry>& tables = inventory.tables;
  for (int i = 0; i < static_cast<int>(tables.size()); ++i) {
    // Views may call functions; triggers are made after the rows, so that
    // the restore does not fire them.
    if (tables[i].isView && !routinesWritten) {
      objectsSaved += writeRoutines(inventory);
      routinesWritten = true;
    }
    // Rolling back to the savepoint keeps the snapshot but lets go of the
    // table's metadata lock, so that DDL on a table already written need
    // not wait for the end of the run (nor block everyone behind it). Only
    // reading the rows takes that lock for the rest of the transaction:
    // SHOW CREATE TABLE lets go of it when it ends.
    const bool readsRows = readsRowsFromServer(job, i);
    if (readsRows) query("SAVEPOINT vkt_table");
    if (saveTable(job, i)) ++saved;
    if (readsRows) query("ROLLBACK TO SAVEPOINT vkt_table");
    checkWritten();
  }
  if (!routinesWritten) objectsSaved += writeRoutines(inventory);
  checkWritten();
  objectsSaved += writeObjects(inventory, backup_format::SectionKind::kTrigger);
  checkWritten();
  objectsSaved += writeObjects(inventory, backup_format::SectionKind::kEvent);
  checkWritten();
  // A frame of their own: the last rows block stays its frames.
  outFile.startFrame();
  for (const std::string& line : backup_format::closingLines())
    outFile.writeLine(line);
  const bool identitiesWritten = writeIdentities(inventory);
  checkWritten();

  printLine("");
  printLine(console_text::tablesSaved(saved, tables.size()));
  if (!inventory.objects.empty() || !objectsWhole(inventory, objectsSaved))
    printLine(console_text::objectsSaved(objectsSaved, inventory.objects.size()));
  // Only a complete file is given its final name.
  const bool complete = saved == static_cast<int>(tables.size()) &&
                        objectsWhole(inventory, objectsSaved) && identitiesWritten && outFile.finish();
  checkWritten();
  if (!complete) {
    outFile.close();
    printLine(console_text::incomplete(outFile.path()));
    return RunOutcome::kIncomplete;
  }
  return RunOutcome::kComplete;
}
