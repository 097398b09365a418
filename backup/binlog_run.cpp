// The server's binary log in a run: where it stands at the snapshot, and
// which tables it shows changed since the previous backup.
#include <string>
#include <utility>
#include <vector>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/binlog.h"
#include "backup/console_text.h"

using console_text::printLine;

namespace {

// The tables of the database that rows are written for.
std::vector<std::string> baseTables(const Inventory& inventory) {
  std::vector<std::string> names;
  for (const TableEntry& table : inventory.tables)
    if (!table.isView) names.push_back(table.name);
  return names;
}

}  // namespace

// Inside the snapshot the server tells the log position that the snapshot
// sees up to: a transaction open at that moment is logged after it.
void BackupEngine::readLogPosition(backup_format::LogPosition* at) {
  *at = backup_format::LogPosition();
  db::Rows rows;
  if (!session_.select("SHOW STATUS LIKE 'Binlog_snapshot_%'", &rows)) return;
  std::string file;
  long long position = -1;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows.text(i, 0) == "Binlog_snapshot_file") file = rows.text(i, 1);
    if (rows.text(i, 0) == "Binlog_snapshot_position" &&
        !db::wholeNumber(rows.text(i, 1), &position))
      position = -1;
  }
  if (file.empty() || position < 0) return;
  at->file = file;
  at->position = static_cast<unsigned long long>(position);
  db::Rows gtid;
  if (session_.select("SELECT BINLOG_GTID_POS(X'" + backup_format::hexDigits(file) +
                          "', " + std::to_string(position) + ")",
                      &gtid) &&
      gtid.size() > 0 && !gtid.isNull(0, 0))
    at->gtid = gtid.text(0, 0);
}

// The time of the start event of the file the snapshot's position is in:
// the first start event the server sends from there.
long long BackupEngine::readLogStart(const backup_format::LogPosition& at) {
  long long start = 0;
  db::readLog(host_, user_, password_, at.file, at.position,
              [&start](const db::LogEvent& event) {
                if (event.kind != db::LogEvent::Kind::kFormat) return true;
                start = event.timestamp;
                return false;
              });
  return start;
}

bool BackupEngine::readLogReach(const std::vector<std::string>& tables,
                                binlog::Reach* reach) {
  db::Rows rows;
  // The keys whose parent is in this database and those whose parent is
  // in another, in one question.
  if (!session_.select(
          "SELECT REFERENCED_TABLE_NAME, TABLE_NAME, "
          "UNIQUE_CONSTRAINT_SCHEMA = DATABASE() FROM "
          "information_schema.REFERENTIAL_CONSTRAINTS WHERE CONSTRAINT_SCHEMA = "
          "DATABASE() AND (UPDATE_RULE NOT IN ('RESTRICT', 'NO ACTION') OR "
          "DELETE_RULE NOT IN ('RESTRICT', 'NO ACTION'))",
          &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    (rows.text(i, 2) == "1" ? reach->cascades : reach->foreignCascades)
        .emplace_back(rows.text(i, 0), rows.text(i, 1));
  if (!session_.select("SELECT EVENT_OBJECT_TABLE, ACTION_STATEMENT FROM "
                       "information_schema.TRIGGERS WHERE TRIGGER_SCHEMA = DATABASE()",
                       &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    reach->triggers.emplace_back(rows.text(i, 0), rows.text(i, 1));
  if (!session_.select("SELECT ROUTINE_NAME, ROUTINE_DEFINITION FROM "
                       "information_schema.ROUTINES WHERE ROUTINE_SCHEMA = DATABASE()",
                       &rows))
    return false;
  // A body the server withholds may write any table.
  std::string everyTable;
  for (const std::string& table : tables)
    everyTable += backup_format::quoteIdentifier(table) + " ";
  for (size_t i = 0; i < rows.size(); ++i)
    reach->routines.emplace_back(rows.text(i, 0),
                                 rows.isNull(i, 1) ? everyTable : rows.text(i, 1));
  return true;
}

// A statement of another database, logged as a statement, shows only its
// own tables; a trigger or routine it fires there may write this
// database's. True when another database holds one whose body names this
// database or is withheld (or when that cannot be read). Asked only when
// the log holds such statements: the triggers' table spans every database.
bool BackupEngine::foreignWritersMayExist() {
  long long count = 0;
  return !session_.selectNumber(
             "SELECT (SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE "
             "TRIGGER_SCHEMA <> DATABASE() AND LOCATE(DATABASE(), ACTION_STATEMENT) > 0)"
             " + (SELECT COUNT(*) FROM information_schema.ROUTINES WHERE "
             "ROUTINE_SCHEMA <> DATABASE() AND (ROUTINE_DEFINITION IS NULL OR "
             "LOCATE(DATABASE(), ROUTINE_DEFINITION) > 0))",
             &count) ||
         count > 0;
}

std::optional<std::unordered_set<std::string>> BackupEngine::readLogChanges(
    const Inventory& inventory, const PreviousBackup* previous) {
  logAt_ = inventory.logAt;
  if (logAt_.file.empty()) {
    if (previous != nullptr) printLine(console_text::logNotRead(console_text::kLogOff));
    return std::nullopt;
  }
  const backup_format::LogPosition* from =
      previous != nullptr ? &previous->contents().logPosition : nullptr;
  // A position without its file's start (the run that wrote it could not
  // read the log) cannot show that the file is still the same.
  if (from == nullptr || from->file.empty() || from->start <= 0) {
    logAt_.start = readLogStart(logAt_);
    if (previous != nullptr)
      printLine(console_text::logNotRead(console_text::kLogNoPreviousPosition));
    return std::nullopt;
  }
  const std::vector<std::string> tables = baseTables(inventory);
  binlog::Reach reach;
  if (!readLogReach(tables, &reach)) {
    printLine(console_text::logNotRead(console_text::logReadError(serverError())));
    return std::nullopt;
  }
  binlog::Collector collector(databaseName, tables, *from, logAt_, std::move(reach));
  const db::LogRead read =
      db::readLog(host_, user_, password_, from->file, from->position,
                  [&collector](const db::LogEvent& event) { return collector.take(event); });
  logAt_.start = collector.endFileStart();
  if (logAt_.start == 0) logAt_.start = readLogStart(logAt_);
  if (read.error == db::kNoPrivilege || (read.opened && !read.filtersKnown)) {
    printLine(console_text::logNotRead(console_text::logGrantMissing(currentAccount())));
    return std::nullopt;
  }
  binlog::Changes changes = collector.finish(read);
  if (changes.clean && changes.foreignStatements && foreignWritersMayExist()) {
    changes.clean = false;
    changes.why = console_text::kLogForeignWriter;
  }
  if (!changes.clean) {
    printLine(console_text::logNotRead(changes.why));
    return std::nullopt;
  }
  return std::move(changes.tables);
}
