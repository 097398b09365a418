#include "backup/binlog_run.h"

#include <string>
#include <utility>
#include <vector>

#include "backup/binlog.h"
#include "backup/console_text.h"
#include "backup/previous_file.h"

using console_text::printLine;

namespace {

// The tables of the database that rows are written for.
std::vector<std::string> baseTables(const Inventory& inventory) {
  std::vector<std::string> names;
  for (const TableEntry& table : inventory.tables)
    if (!table.isView) names.push_back(table.name);
  return names;
}

// The time of the start event of the file the snapshot's position is in:
// the first start event the server sends from there; 0 when it cannot be
// read.
long long readLogStart(const run_session::Login& login,
                       const backup_format::LogPosition& at) {
  long long start = 0;
  db::readLog(login.host, login.user, login.password, at.file, at.position,
              [&start](const db::LogEvent& event) {
                if (event.kind != db::LogEvent::Kind::kFormat) return true;
                start = event.timestamp;
                return false;
              });
  return start;
}

// The foreign keys, triggers and routines through which a change writes
// others; `tables` are the database's.
bool readLogReach(db::Session& session, const std::vector<std::string>& tables,
                  binlog::Reach* reach) {
  db::Rows rows;
  // The keys whose parent is in this database and those whose parent is
  // in another, in one question.
  if (!session.select(
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
  if (!session.select("SELECT EVENT_OBJECT_TABLE, ACTION_STATEMENT FROM "
                      "information_schema.TRIGGERS WHERE TRIGGER_SCHEMA = DATABASE()",
                      &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    reach->triggers.emplace_back(rows.text(i, 0), rows.text(i, 1));
  if (!session.select("SELECT ROUTINE_NAME, ROUTINE_DEFINITION FROM "
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
bool foreignWritersMayExist(db::Session& session) {
  long long count = 0;
  return !session.selectNumber(
             "SELECT (SELECT COUNT(*) FROM information_schema.TRIGGERS WHERE "
             "TRIGGER_SCHEMA <> DATABASE() AND LOCATE(DATABASE(), ACTION_STATEMENT) > 0)"
             " + (SELECT COUNT(*) FROM information_schema.ROUTINES WHERE "
             "ROUTINE_SCHEMA <> DATABASE() AND (ROUTINE_DEFINITION IS NULL OR "
             "LOCATE(DATABASE(), ROUTINE_DEFINITION) > 0))",
             &count) ||
         count > 0;
}

}  // namespace

// Inside the snapshot the server tells the log position that the snapshot
// sees up to: a transaction open at that moment is logged after it.
backup_format::LogPosition readLogPosition(db::Session& session) {
  backup_format::LogPosition at;
  db::Rows rows;
  if (!session.select("SHOW STATUS LIKE 'Binlog_snapshot_%'", &rows)) return at;
  std::string file;
  long long position = -1;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows.text(i, 0) == "Binlog_snapshot_file") file = rows.text(i, 1);
    if (rows.text(i, 0) == "Binlog_snapshot_position" &&
        !db::wholeNumber(rows.text(i, 1), &position))
      position = -1;
  }
  if (file.empty() || position < 0) return at;
  at.file = file;
  at.position = static_cast<unsigned long long>(position);
  db::Rows gtid;
  if (session.select("SELECT BINLOG_GTID_POS(X'" + backup_format::hexDigits(file) +
                         "', " + std::to_string(position) + ")",
                     &gtid) &&
      gtid.size() > 0 && !gtid.isNull(0, 0))
    at.gtid = gtid.text(0, 0);
  return at;
}

LogChanges readLogChanges(db::Session& session, const run_session::Login& login,
                          const Inventory& inventory, const PreviousBackup* previous) {
  LogChanges result;
  backup_format::LogPosition& at = result.at;
  at = inventory.logAt;
  if (at.file.empty()) {
    if (previous != nullptr) printLine(console_text::logNotRead(console_text::kLogOff));
    return result;
  }
  const backup_format::LogPosition* from =
      previous != nullptr ? &previous->contents().logPosition : nullptr;
  // A position without its file's start (the run that wrote it could not
  // read the log) cannot show that the file is still the same.
  if (from == nullptr || from->file.empty() || from->start <= 0) {
    at.start = readLogStart(login, at);
    if (previous != nullptr)
      printLine(console_text::logNotRead(console_text::kLogNoPreviousPosition));
    return result;
  }
  const std::vector<std::string> tables = baseTables(inventory);
  binlog::Reach reach;
  if (!readLogReach(session, tables, &reach)) {
    printLine(console_text::logNotRead(
        console_text::logReadError(run_session::errorText(session))));
    return result;
  }
  binlog::Collector collector(login.database, tables, *from, at, std::move(reach));
  const db::LogRead read =
      db::readLog(login.host, login.user, login.password, from->file, from->position,
                  [&collector](const db::LogEvent& event) { return collector.take(event); });
  at.start = collector.endFileStart();
  if (at.start == 0) at.start = readLogStart(login, at);
  if (read.error == db::kNoPrivilege || (read.opened && !read.filtersKnown)) {
    printLine(console_text::logNotRead(
        console_text::logGrantMissing(run_session::currentAccount(session))));
    return result;
  }
  binlog::Changes changes = collector.finish(read);
  if (changes.clean && changes.foreignStatements && foreignWritersMayExist(session)) {
    changes.clean = false;
    changes.why = console_text::kLogForeignWriter;
  }
  if (!changes.clean) {
    printLine(console_text::logNotRead(changes.why));
    return result;
  }
  result.tables = std::move(changes.tables);
  return result;
}
