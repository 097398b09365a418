#include "backup/incremental.h"

#include "backup/backup_format.h"
#include "backup/change_rules.h"
#include "backup/console_text.h"

using console_text::printLine;

namespace incremental {

namespace {

// Rows are copied only when they were written for the same session
// settings (character set, mode, time zone) as this run's rows. How the
// restore commits them does not change them: a file written before the
// bulk-load statements joined the preamble still counts.
bool rowsReadAlike(const PreviousBackup& previous, const std::string& charset) {
  const previous_backup::Index& index = previous.contents();
  return index.hasPreamble && backup_format::rowsReadAlike(index.preamble, charset);
}

}  // namespace

// Only the rows of tables that may be unchanged can be copied; the rows
// of the others need not be judged.
previous_backup::RowsWanted rowsWorthJudging(const Inventory& inventory) {
  // With the log on, so may those the log may show unchanged.
  const bool logOn = !inventory.logAt.file.empty();
  return [&inventory, logOn](const PreviousTableEntry& entry) {
    const TableEntry* table = inventory.find(entry.name);
    return table != nullptr && (plan::sameUpdateTime(*table, entry) ||
                                (logOn && plan::logMayTell(*table, entry)));
  };
}

std::unique_ptr<PreviousBackup> loadPreviousBackup(PreviousIndexing& indexing,
                                                   const std::string& fileName) {
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

// A file written with other settings lacks rows, definitions or DROP lines
// that this run must write: nothing in it can count as unchanged.
bool previousSettingsDiffer(const PreviousBackup& previous,
                            const std::string& settings) {
  const std::string refusal =
      change_rules::settingsRefusal(previous.contents().settings, settings);
  if (!refusal.empty()) printLine(refusal);
  return !refusal.empty();
}

plan::Plan makePlan(const Inventory& inventory, const PreviousBackup* previous,
                    const std::unordered_set<std::string>* loggedChanges,
                    const plan::Settings& settings, const std::string& charset) {
  plan::Now now;
  now.tables = &inventory.tables;
  now.viewDefinitions = &inventory.viewDefinitions;
  now.objects = &inventory.objects;
  now.objectsListed = inventory.objectsListed;
  now.rightsMissing = inventory.rightsMissing;
  now.loggedChanges = loggedChanges;
  if (previous == nullptr) return plan::make(now, nullptr, settings);
  const plan::Previous indexed = previous->forPlan(rowsReadAlike(*previous, charset));
  return plan::make(now, &indexed, settings);
}

// Tables of the previous backup whose update time the server no longer
// knows (InnoDB keeps it in memory only: lost on a restart, and when the
// table leaves the server's table definition cache) are read again on
// every run. Says how many, and when the cache is smaller than the
// database, what to raise.
void printForgottenUpdateTimes(db::Session& session, const Inventory& inventory,
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
  if (!session.selectNumber("SELECT @@table_definition_cache", &cache) ||
      baseTables <= cache)
    return;
  printLine(console_text::tableCacheTooSmall(baseTables, cache));
}

}  // namespace incremental
