// The plan of a run: for every table of the inventory, whether its rows
// are copied out of the previous backup, read from the server or not
// written at all, and why; and how many tables and objects changed since
// the previous backup. One pure function of the inventory, the previous
// backup's index and the settings: every rule that lets a table count as
// unchanged, or its rows be copied, is here.
#ifndef VKT_BACKUP_PLAN_H_
#define VKT_BACKUP_PLAN_H_

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "backup/inventory.h"
#include "backup/object_section.h"
#include "backup/previous_entry.h"

namespace plan {

enum class Rows { kNone, kCopy, kRead };

// Why a table's rows take the way they take; the first rule that applies.
enum class Reason {
  kRowsNotSaved,        // the settings save no rows
  kNoRowsOfItsOwn,      // a view, or an engine whose rows live elsewhere
  kNoPreviousBackup,    // a full run: no previous backup to copy from
  kNew,                 // not in the previous backup
  kBlockNotWhole,       // its block in the previous file is damaged
  kUpdateTimeUnknown,   // either update time is not known
  kUpdateTimeMoved,     // the update times differ
  kUpdateTimeUntrusted, // the engine, a re-creation or a sequence keeps the time from the rows
  kIdentityDiffers,     // TRUNCATE PARTITION, EXCHANGE, a RENAME swap, ...
  kIdentityShared,      // another table of the previous backup had the same identity
  kEmptied,             // the server counts no rows, the file holds some
  kViewChanged,         // a view whose statements differ
  kSessionDiffers,      // the previous rows were read in another session
  kRowsNotTrusted,      // the block's rows are not known to be whole
  kColumnCount,         // the rows hold another number of values
  kColumnList,          // the rows name other columns
  kRowForm,             // the rows are of the other form (rows a statement)
  kStatementRows,       // a statement holds more rows than allowed now
  kLogChanged,          // the server's binary log shows a change
  kUnchanged,           // copied: nothing tells a change
};

// The settings of the run that the rules read.
struct Settings {
  bool saveStructure = true;
  bool saveData = true;
  bool dropTable = false;
  int rowsPerStatement = 1;
};

// What is known now: the inventory in the order it is written, the views'
// definitions, and the objects' (read only when the structure is saved).
struct Now {
  const std::vector<TableEntry>* tables = nullptr;
  const std::unordered_map<std::string, ObjectDefinition>* viewDefinitions = nullptr;
  const std::vector<ObjectDefinition>* objects = nullptr;
  bool objectsListed = true;  // false when a list query failed
  bool rightsMissing = false; // the server hides triggers or events
  // The tables the server's binary log shows changed since the previous
  // backup; null when the log gave no clean answer. With it, a table whose
  // lasting identity holds counts as unchanged without known update times.
  const std::unordered_set<std::string>* loggedChanges = nullptr;
};

// The previous backup as indexed: its blocks, the position of the first
// block of each name, its object sections, and whether its rows were read
// in the same session settings as this run's.
struct Previous {
  const std::vector<PreviousTableEntry>* tables = nullptr;
  const std::unordered_map<std::string, size_t>* byName = nullptr;
  const std::vector<object_section::PreviousObject>* objects = nullptr;
  bool sessionMatches = false;
};

struct TablePlan {
  Rows rows = Rows::kRead;
  Reason reason = Reason::kNoPreviousBackup;
  bool unchanged = false;  // counts as unchanged since the previous backup
  // Its rows are read at the snapshot's moment, before the others'.
  bool readFirst = false;
};

struct Plan {
  std::vector<TablePlan> tables;  // one per table of Now::tables
  // Tables and objects added, dropped or changed; 0 only when nothing at
  // all changed. Without a previous backup, every table is a change.
  int changes = 0;
};

// `previous` null: a full run, every table's rows read.
Plan make(const Now& now, const Previous* previous, const Settings& settings);

// True when an equal update time proves `table`'s rows unchanged since
// `previous` was written: both known and equal, and the engine moves it
// with every change. Only such tables' rows are worth judging in the
// previous file.
bool sameUpdateTime(const TableEntry& table, const PreviousTableEntry& previous);

// True when a clean answer from the server's log may prove `table`'s rows
// unchanged: its lasting identity is known or still pending, and no update
// time tells a change. (`previous`'s identity is not read: the index calls this before
// it reaches the identity block.)
bool logMayTell(const TableEntry& table, const PreviousTableEntry& previous);

}  // namespace plan

#endif  // VKT_BACKUP_PLAN_H_
