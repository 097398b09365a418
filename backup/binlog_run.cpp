#include "backup/binlog_run.h"

#include <string>
#include <utility>
#include <vector>

#include "backup/binlog.h"
#include "backup/console_text.h"
#include "backup/log_statement.h"
#include "backup/sql_lexer.h"
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
              [&start](const binlog::LogEvent& event) {
                if (event.kind != binlog::LogEvent::Kind::kFormat) return true;
                start = event.timestamp;
                return false;
              });
  return start;
}

// The rights the account was granted on every database, as the server
// lists them to it, for a condition on PRIVILEGE_TYPE to follow.
constexpr char kOwnGlobalRights[] =
    "information_schema.USER_PRIVILEGES WHERE GRANTEE = CONCAT('''', "
    "SUBSTRING_INDEX(CURRENT_USER(), '@', 1), '''@''', "
    "SUBSTRING_INDEX(CURRENT_USER(), '@', -1), '''')";

// The databases of child and parent of every foreign key between two
// databases whose rules write the child (the type's bits for CASCADE and
// SET NULL on delete and update), as InnoDB lists them; the names are in
// the file name form.
constexpr char kCrossDatabaseKeys[] =
    "SELECT CONVERT(CONVERT(BINARY SUBSTRING_INDEX(FOR_NAME, '/', 1) USING filename) "
    "USING utf8mb4), CONVERT(CONVERT(BINARY SUBSTRING_INDEX(REF_NAME, '/', 1) USING "
    "filename) USING utf8mb4) FROM information_schema.INNODB_SYS_FOREIGN WHERE "
    "(TYPE & 15) <> 0 AND BINARY SUBSTRING_INDEX(FOR_NAME, '/', 1) <> BINARY "
    "SUBSTRING_INDEX(REF_NAME, '/', 1)";
// The same, as the standard view tells it to an account without PROCESS.
constexpr char kCrossDatabaseConstraints[] =
    "SELECT CONSTRAINT_SCHEMA, UNIQUE_CONSTRAINT_SCHEMA FROM "
    "information_schema.REFERENTIAL_CONSTRAINTS WHERE CONSTRAINT_SCHEMA <> "
    "UNIQUE_CONSTRAINT_SCHEMA AND (UPDATE_RULE NOT IN ('RESTRICT', 'NO ACTION') OR "
    "DELETE_RULE NOT IN ('RESTRICT', 'NO ACTION'))";

// This database's foreign keys whose rules write the child, with the
// database of each parent.
bool readCascades(db::Session& session, std::vector<binlog::Cascade>* cascades) {
  db::Rows rows;
  if (!session.select(
          "SELECT UNIQUE_CONSTRAINT_SCHEMA, REFERENCED_TABLE_NAME, TABLE_NAME FROM "
          "information_schema.REFERENTIAL_CONSTRAINTS WHERE CONSTRAINT_SCHEMA = "
          "DATABASE() AND (UPDATE_RULE NOT IN ('RESTRICT', 'NO ACTION') OR "
          "DELETE_RULE NOT IN ('RESTRICT', 'NO ACTION'))",
          &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    cascades->push_back({rows.text(i, 0), rows.text(i, 1), rows.text(i, 2)});
  return true;
}

binlog::Body bodyOf(const db::Rows& rows, size_t row, int text, int mode) {
  binlog::Body body;
  body.known = !rows.isNull(row, text);
  body.text = rows.text(row, text);
  body.sqlMode = sql_lexer::sqlModeBits(rows.text(row, mode));
  return body;
}

// The bodies of this database's triggers (`ofTables`) or routines, by
// object, with `query`'s rows: the database's, the object's and its
// body's names, then the sql_mode.
bool readBodies(db::Session& session, const char* query, bool ofTables,
                binlog::Schema* schema) {
  db::Rows rows;
  if (!session.select(query, &rows)) return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    binlog::Body body = bodyOf(rows, i, 2, 3);
    const std::string object = log_statement::lower(rows.text(i, 1));
    if (ofTables)
      schema->triggers[object].push_back(std::move(body));
    else
      schema->routines[object] = std::move(body);
  }
  return true;
}

// The other databases' bodies as `query` lists them, with the same
// columns, into `foreign`.
bool readForeignBodies(db::Session& session, const char* query,
                       std::vector<binlog::ForeignBody>* foreign) {
  db::Rows rows;
  if (!session.select(query, &rows)) return false;
  for (size_t i = 0; i < rows.size(); ++i)
    foreign->push_back({rows.text(i, 0), bodyOf(rows, i, 2, 3)});
  return true;
}

// The other databases from which a change may reach this one, through
// their triggers, routines, views and writing foreign keys.
bool readReaching(db::Session& session, const std::string& database,
                  binlog::Schema* schema) {
  std::vector<binlog::ForeignBody> foreign;
  if (!readForeignBodies(session,
                         "SELECT TRIGGER_SCHEMA, EVENT_OBJECT_TABLE, ACTION_STATEMENT, "
                         "SQL_MODE FROM information_schema.TRIGGERS WHERE TRIGGER_SCHEMA "
                         "<> DATABASE()",
                         &foreign) ||
      !readForeignBodies(session,
                         "SELECT ROUTINE_SCHEMA, ROUTINE_NAME, ROUTINE_DEFINITION, SQL_MODE "
                         "FROM information_schema.ROUTINES WHERE ROUTINE_SCHEMA <> DATABASE()",
                         &foreign))
    return false;
  db::Rows rows;
  // A view keeps no sql_mode: its text is read both ways a backslash may
  // mean, with double quotes as names, so that no name in it is missed.
  if (!session.select("SELECT TABLE_SCHEMA, VIEW_DEFINITION FROM information_schema.VIEWS "
                      "WHERE TABLE_SCHEMA <> DATABASE()",
                      &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    for (unsigned long long mode :
         {sql_lexer::kModeAnsiQuotes,
          sql_lexer::kModeAnsiQuotes | sql_lexer::kModeNoBackslashEscapes})
      foreign.push_back({rows.text(i, 0), {rows.text(i, 1), mode, !rows.isNull(i, 1)}});
  // Only InnoDB keeps foreign keys. Its own list of them (with PROCESS) is
  // read without opening a table; the standard view opens every table of
  // the server.
  std::vector<binlog::ForeignKey> keys;
  const db::Session::Answer innodb = session.selectUnlessRefused(kCrossDatabaseKeys, &rows);
  if (innodb == db::Session::Answer::kFailed ||
      (innodb == db::Session::Answer::kRefused &&
       !session.select(kCrossDatabaseConstraints, &rows)))
    return false;
  for (size_t i = 0; i < rows.size(); ++i) keys.push_back({rows.text(i, 0), rows.text(i, 1)});
  schema->reaching = binlog::reachingDatabases(database, foreign, keys);
  return true;
}

// What this database holds that a statement of it may run or write
// through, and how the server reads names and texts.
bool readOwnSchema(db::Session& session, const Inventory& inventory,
                   binlog::Schema* schema) {
  for (const TableEntry& table : inventory.tables)
    (table.isView ? schema->views : schema->tables).insert(log_statement::lower(table.name));
  // The server looks up one database's triggers by their table's
  // database; by TRIGGER_SCHEMA it would open every table of the server.
  if (!readBodies(session,
                  "SELECT TRIGGER_SCHEMA, EVENT_OBJECT_TABLE, ACTION_STATEMENT, SQL_MODE "
                  "FROM information_schema.TRIGGERS WHERE EVENT_OBJECT_SCHEMA = DATABASE()",
                  true, schema) ||
      !readBodies(session,
                  "SELECT ROUTINE_SCHEMA, ROUTINE_NAME, ROUTINE_DEFINITION, SQL_MODE FROM "
                  "information_schema.ROUTINES WHERE ROUTINE_SCHEMA = DATABASE()",
                  false, schema))
    return false;
  long long folds = 1;
  if (!session.selectNumber("SELECT @@lower_case_table_names", &folds)) return false;
  schema->foldsNames = folds != 0;
  db::Rows rows;
  if (!session.select("SELECT c.ID FROM information_schema.COLLATIONS c JOIN "
                      "information_schema.CHARACTER_SETS s USING (CHARACTER_SET_NAME) "
                      "WHERE s.MAXLEN = 1 OR c.CHARACTER_SET_NAME IN ('utf8mb3', 'utf8', "
                      "'utf8mb4')",
                      &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    long long id = 0;
    if (db::wholeNumber(rows.text(i, 0), &id))
      schema->byteWiseCollations.insert(static_cast<unsigned>(id));
  }
  return true;
}

// What the other databases hold that may reach this one, and whether the
// account sees all of it.
bool readWideSchema(db::Session& session, const std::string& database,
                    binlog::Schema* schema) {
  if (!readReaching(session, database, schema)) return false;
  // Only an account with these rights everywhere is shown every
  // database's triggers, routines and view texts.
  long long rights = 0;
  if (!session.selectNumber(
          std::string("SELECT COUNT(DISTINCT PRIVILEGE_TYPE) FROM ") + kOwnGlobalRights +
              " AND PRIVILEGE_TYPE IN ('SELECT', 'SHOW VIEW', 'TRIGGER')",
          &rights))
    return false;
  schema->seesEveryDatabase = rights == 3;
  return true;
}

// A replica whose log does not hold what replication applies: its rows
// change unseen by the log. A replica is one with replication set up
// (where the account may ask), running, or ever applied.
bool replicaUnlogged(db::Session& session) {
  long long logged = 0;
  if (session.selectNumber("SELECT @@log_slave_updates", &logged) && logged == 1) return false;
  db::Rows rows;
  if (session.select("SHOW ALL SLAVES STATUS", &rows) && rows.size() > 0) return true;
  long long replica = 1;
  session.selectNumber(
      "SELECT @@gtid_slave_pos <> '' OR (SELECT VARIABLE_VALUE FROM "
      "information_schema.GLOBAL_STATUS WHERE VARIABLE_NAME = 'SLAVES_RUNNING') > 0",
      &replica);
  return replica != 0;
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

backup_format::LogPosition readLogEnd(db::Session& session) {
  backup_format::LogPosition end;
  db::Rows rows;
  long long position = -1;
  if (!session.select("SHOW MASTER STATUS", &rows) || rows.size() != 1 ||
      rows.columnCount() < 4 || rows.text(0, 0).empty() ||
      !db::wholeNumber(rows.text(0, 1), &position) || position < 0 ||
      !rows.text(0, 2).empty() || !rows.text(0, 3).empty())
    return end;
  end.file = rows.text(0, 0);
  end.position = static_cast<unsigned long long>(position);
  return end;
}

backup_format::LogPosition logEndExpectingAnswer(db::Session& session) {
  long long expected = 0;
  if (!session.selectNumber(
          std::string("SELECT @@GLOBAL.binlog_format = 'ROW' AND EXISTS (SELECT 1 FROM ") +
              kOwnGlobalRights + " AND PRIVILEGE_TYPE = 'REPLICATION SLAVE')",
          &expected) ||
      expected != 1 || replicaUnlogged(session))
    return {};
  return readLogEnd(session);
}

bool logLeftIdentities(const run_session::Login& login,
                       const backup_format::LogPosition& from) {
  if (from.file.empty()) return false;
  bool left = true;
  const binlog::LogRead read =
      db::readLog(login.host, login.user, login.password, from.file, from.position,
                  [&left](const binlog::LogEvent& event) {
                    left = binlog::leavesIdentities(event);
                    return left;
                  });
  return left && read.opened && read.error == 0 && read.filtersKnown &&
         read.filters.empty();
}

bool logStillEndsAt(db::Session& session, const backup_format::LogPosition& at) {
  const backup_format::LogPosition end = readLogEnd(session);
  return !end.file.empty() && end.file == at.file && end.position == at.position;
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
  // A run that expected a clean answer asked before its snapshot.
  if (!inventory.pending.logBefore && replicaUnlogged(session)) {
    at.start = readLogStart(login, at);
    printLine(console_text::logNotRead(console_text::kLogReplicaUnlogged));
    return result;
  }
  std::vector<binlog::Cascade> cascades;
  if (!readCascades(session, &cascades)) {
    printLine(console_text::logNotRead(
        console_text::logReadError(run_session::errorText(session))));
    return result;
  }
  binlog::Schema schema;
  bool ownRead = false, wideRead = false;
  const auto readOnce = [&](bool wide) -> const binlog::Schema& {
    const auto unread = [&] {
      schema.unread = console_text::logReadError(run_session::errorText(session));
    };
    if (!ownRead && !readOwnSchema(session, inventory, &schema)) unread();
    ownRead = true;
    if (wide && !wideRead && schema.unread.empty() &&
        !readWideSchema(session, login.database, &schema))
      unread();
    wideRead = wideRead || wide;
    return schema;
  };
  long long sync = 0;
  const bool logSynced = session.selectNumber("SELECT @@GLOBAL.sync_binlog", &sync) &&
                         sync == 1;
  binlog::Collector collector(login.database, baseTables(inventory), *from, at, cascades,
                              readOnce, logSynced);
  const binlog::LogRead read =
      db::readLog(login.host, login.user, login.password, from->file, from->position,
                  [&collector](const binlog::LogEvent& event) { return collector.take(event); });
  at.start = collector.endFileStart();
  if (at.start == 0) at.start = readLogStart(login, at);
  if (read.error == db::kNoPrivilege || (read.opened && !read.filtersKnown)) {
    printLine(console_text::logNotRead(
        console_text::logGrantMissing(run_session::currentAccount(session))));
    return result;
  }
  const binlog::Changes changes = collector.finish(read);
  if (!changes.clean) {
    printLine(console_text::logNotRead(changes.why));
    return result;
  }
  result.tables = std::move(changes.tables);
  result.reshaped = std::move(changes.reshaped);
  return result;
}
