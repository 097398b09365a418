#include "backup/plan.h"

#include <unordered_set>

#include "backup/backup_format.h"
#include "backup/change_rules.h"

namespace plan {

namespace {

const PreviousTableEntry* findPrevious(const Previous& previous,
                                       const std::string& name) {
  auto found = previous.byName->find(name);
  return found == previous.byName->end() ? nullptr
                                         : &(*previous.tables)[found->second];
}

// Whether an equal update time may prove the rows unchanged: the engine
// moves it with every change of the rows, and the table is no sequence,
// whose one row moves with every value handed out, and no time tells of it.
bool updateTimeCounts(const TableEntry& table) {
  return table.updateTracksRows && !table.isSequence;
}

// A view has no update time: its statements are compared, where the files
// hold them.
Reason viewChange(const TableEntry& view, const PreviousTableEntry& previous,
                  const Now& now, const Settings& settings) {
  if (!settings.saveStructure) return Reason::kUnchanged;
  if (!previous.blockWhole) return Reason::kBlockNotWhole;
  auto found = now.viewDefinitions->find(view.name);
  if (found == now.viewDefinitions->end()) return Reason::kViewChanged;
  const std::vector<std::string> lines =
      object_section::viewLines(found->second, settings.dropTable);
  return !lines.empty() && previous.definition == object_section::joinLines(lines)
             ? Reason::kUnchanged
             : Reason::kViewChanged;
}

// Identities held by more than one table of the previous backup (each
// name's first block counts). Two MyISAM tables created and written in
// one second with as many rows and bytes look alike: after a RENAME swap
// each would match the other's rows.
using SharedIdentities = std::unordered_set<std::string>;

SharedIdentities sharedIdentities(const Previous& previous) {
  std::unordered_set<std::string> seen;
  SharedIdentities shared;
  for (const auto& entry : *previous.byName) {
    const std::string& identity = (*previous.tables)[entry.second].identity;
    if (!identity.empty() && !seen.insert(identity).second) shared.insert(identity);
  }
  return shared;
}

// With a clean answer from the server's log: the log tells the changes
// (a TRUNCATE among them, so an InnoDB row count of 0, which is only an
// estimate after a restart, tells nothing), the lasting identity the
// swaps and re-creations it cannot name, and an update time that moved
// still counts.
Reason changeByLog(const TableEntry& table, const PreviousTableEntry& previous,
                   const std::unordered_set<std::string>& loggedChanges) {
  if (loggedChanges.count(table.name) != 0) return Reason::kLogChanged;
  if (table.updateKnown && previous.updateKnown &&
      table.updateTime != previous.updateTime)
    return Reason::kUpdateTimeMoved;
  if (table.isSequence) return Reason::kUpdateTimeUntrusted;
  if (!change_rules::sameLastingIdentity(table.lastingIdentity, previous.identity))
    return Reason::kIdentityDiffers;
  return Reason::kUnchanged;
}

// Why the table counts as changed since the previous backup, or
// kUnchanged.
Reason change(const TableEntry& table, const PreviousTableEntry* previous,
              const Now& now, const Settings& settings,
              const SharedIdentities& shared) {
  if (previous == nullptr) return Reason::kNew;
  if (table.isView) return viewChange(table, *previous, now, settings);
  if (!previous->blockWhole) return Reason::kBlockNotWhole;
  if (now.loggedChanges != nullptr)
    return changeByLog(table, *previous, *now.loggedChanges);
  if (!table.updateKnown || !previous->updateKnown)
    return Reason::kUpdateTimeUnknown;
  if (table.updateTime != previous->updateTime) return Reason::kUpdateTimeMoved;
  // An equal update time counts only where it follows the rows.
  if (!updateTimeCounts(table)) return Reason::kUpdateTimeUntrusted;
  // Changes that move no time at all (TRUNCATE PARTITION, EXCHANGE
  // PARTITION, DISCARD and IMPORT TABLESPACE, a RENAME swap) show in the
  // identity.
  if (!change_rules::sameIdentity(table.identity, previous->identity))
    return Reason::kIdentityDiffers;
  // An identity that does not tell two tables apart proves nothing.
  if (shared.count(table.identity) != 0) return Reason::kIdentityShared;
  // A table the server counts empty while the previous backup holds rows
  // for it was emptied without moving its time (TRUNCATE).
  if (table.reportedEmpty && previous->rowCount > 0) return Reason::kEmptied;
  return Reason::kUnchanged;
}

// Why the rows of an unchanged table cannot be copied, or kUnchanged.
Reason copyRefusal(const TableEntry& table, const PreviousTableEntry& previous,
                   const Previous& file, const Settings& settings) {
  // Rows read in another session (character set, mode, time zone) are
  // other bytes.
  if (!file.sessionMatches) return Reason::kSessionDiffers;
  if (!previous.rowsTrusted) return Reason::kRowsNotTrusted;
  // Nor may rows be copied that do not fit the table's columns now; a
  // column renamed without a change of the update time would leave the
  // copied column lists naming the old column.
  if (previous.valueCount != table.columnCount) return Reason::kColumnCount;
  if (previous.rowPrefix != backup_format::rowLinePrefix(table.name, table.columns))
    return Reason::kColumnList;
  // Rows of the other form are read again, so that the file has the form
  // the settings ask for, and so are statements of more rows than they
  // allow.
  if (previous.rowsShared != (settings.rowsPerStatement > 1)) return Reason::kRowForm;
  if (previous.statementRowsMax > settings.rowsPerStatement)
    return Reason::kStatementRows;
  return Reason::kUnchanged;
}

TablePlan planTable(const TableEntry& table, const Now& now,
                    const Previous* previous, const Settings& settings,
                    const SharedIdentities& shared) {
  const PreviousTableEntry* entry =
      previous != nullptr ? findPrevious(*previous, table.name) : nullptr;
  const Reason changed = previous != nullptr
                             ? change(table, entry, now, settings, shared)
                             : Reason::kNoPreviousBackup;
  TablePlan planned;
  planned.unchanged = changed == Reason::kUnchanged;
  if (!settings.saveData) {
    planned.rows = Rows::kNone;
    planned.reason = Reason::kRowsNotSaved;
  } else if (table.isView || table.rowsElsewhere) {
    planned.rows = Rows::kNone;
    planned.reason = planned.unchanged ? Reason::kNoRowsOfItsOwn : changed;
  } else {
    planned.reason = planned.unchanged
                         ? copyRefusal(table, *entry, *previous, settings)
                         : changed;
    planned.rows = planned.reason == Reason::kUnchanged ? Rows::kCopy : Rows::kRead;
    planned.readFirst = planned.rows == Rows::kRead && table.lockedAtSnapshot;
  }
  return planned;
}

int objectChanges(const Now& now, const Previous* previous,
                  const Settings& settings) {
  if (!settings.saveStructure) return 0;
  // What could not be listed cannot be shown unchanged.
  if (!now.objectsListed || now.rightsMissing) return 1;
  static const std::vector<object_section::PreviousObject> kNone;
  return object_section::countChanges(
      previous != nullptr ? *previous->objects : kNone, *now.objects,
      settings.dropTable);
}

}  // namespace

bool sameUpdateTime(const TableEntry& table, const PreviousTableEntry& previous) {
  return !table.isView && table.updateKnown && previous.updateKnown &&
         table.updateTime == previous.updateTime && updateTimeCounts(table);
}

bool logMayTell(const TableEntry& table, const PreviousTableEntry& previous) {
  return !table.isView && !table.isSequence &&
         (!table.lastingIdentity.empty() || table.identityPending) &&
         !(table.updateKnown && previous.updateKnown &&
           table.updateTime != previous.updateTime);
}

Plan make(const Now& now, const Previous* previous, const Settings& settings) {
  Plan made;
  made.tables.reserve(now.tables->size());
  std::unordered_set<std::string> names;
  const SharedIdentities shared =
      previous != nullptr ? sharedIdentities(*previous) : SharedIdentities();
  for (const TableEntry& table : *now.tables) {
    made.tables.push_back(planTable(table, now, previous, settings, shared));
    if (!made.tables.back().unchanged) ++made.changes;
    names.insert(table.name);
  }
  // A table dropped since the previous backup is a change as well.
  if (previous != nullptr)
    for (const auto& entry : *previous->byName)
      if (names.count(entry.first) == 0) ++made.changes;
  made.changes += objectChanges(now, previous, settings);
  return made;
}

}  // namespace plan
