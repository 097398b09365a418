#include "backup/inventory_reader.h"

#include <unordered_map>
#include <unordered_set>

#include <strings.h>

#include "backup/backup_format.h"
#include "backup/binlog_run.h"
#include "backup/change_rules.h"
#include "backup/console_text.h"
#include "backup/create_table.h"
#include "backup/definitions.h"
#include "backup/local_time.h"
#include "backup/previous_file.h"
#include "backup/snapshot_lock.h"
#include "backup/view_order.h"

namespace {

// Every InnoDB table and partition of the database: its table's name (the
// server decodes the file name form), what follows that name in the file
// name form ("#P#p0"), its table id and its space. Temporary tables of an
// ALTER ("#sql-...") are left out.
constexpr char kInnodbTablesQuery[] =
    "SELECT CONVERT(CONVERT(BINARY SUBSTRING_INDEX(SUBSTRING_INDEX(NAME, '/', "
    "-1), '#P#', 1) USING filename) USING utf8mb4), SUBSTRING_INDEX(NAME, '/', "
    "-1), TABLE_ID, SPACE FROM information_schema.INNODB_SYS_TABLES WHERE "
    "BINARY SUBSTRING_INDEX(NAME, '/', 1) = BINARY CONVERT(DATABASE() USING "
    "filename) "
    "ORDER BY NAME";

// The start of every transaction open now, in the server's local time: the
// session's zone must be SYSTEM for UNIX_TIMESTAMP() to read it right.
constexpr char kOpenTransactionsQuery[] =
    "SELECT UNIX_TIMESTAMP(trx_started) FROM information_schema.INNODB_TRX";

bool readServerClock(db::Session& session, time_t* now) {
  long long seconds = 0;
  if (!session.selectNumber("SELECT UNIX_TIMESTAMP()", &seconds)) return false;
  *now = static_cast<time_t>(seconds);
  return true;
}

// A session inserts past rows only with system_versioning_insert_history
// (MariaDB 10.11 on), and only where it may set its timestamp: never with
// secure_timestamp=YES; with SUPER or REPLICATION, a restore by a user
// with the SUPER or BINLOG REPLAY privilege may.
bool serverTakesHistory(db::Session& session) {
  db::Rows rows;
  if (!session.select("SELECT @@SESSION.system_versioning_insert_history, "
                      "@@GLOBAL.secure_timestamp",
                      &rows))
    return false;  // a server without the variable
  if (rows.size() == 0 || rows.isNull(0, 1)) return false;
  return strcasecmp(rows.text(0, 1).c_str(), "YES") != 0;
}

bool markVersionedTables(db::Session& session, Inventory* inventory) {
  db::Rows rows;
  if (!session.select("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                      "TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'SYSTEM VERSIONED'",
                      &rows))
    return false;
  std::vector<size_t> versioned;
  for (size_t row = 0; row < rows.size(); ++row) {
    auto found = inventory->byName.find(rows.text(row, 0));
    if (found != inventory->byName.end()) versioned.push_back(found->second);
  }
  const bool takesHistory = !versioned.empty() && serverTakesHistory(session);
  for (size_t i : versioned) {
    inventory->tables[i].systemVersioned = true;
    inventory->tables[i].historySaved = takesHistory;
  }
  return true;
}

// Runs `query`, which the server answers only with PROCESS; false when it
// refused (*refused) or failed.
bool selectWithProcess(db::Session& session, const char* query, db::Rows* rows,
                       bool* refused) {
  const db::Session::Answer answer = session.selectUnlessRefused(query, rows);
  *refused = answer == db::Session::Answer::kRefused;
  return answer == db::Session::Answer::kRows;
}

// Fills `parts` with every InnoDB table's parts by name. False when the
// server refused or failed; *refused tells a missing PROCESS privilege.
bool readInnodbParts(db::Session& session,
                     std::unordered_map<std::string, std::string>* parts,
                     bool* refused) {
  parts->clear();
  db::Rows rows;
  if (!selectWithProcess(session, kInnodbTablesQuery, &rows, refused)) return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    const std::string& tail = rows.text(i, 1);
    if (tail.empty() || tail[0] == '#' || rows.isNull(i, 0)) continue;
    const size_t partition = tail.find("#P#");
    change_rules::addInnodbPart(
        partition == std::string::npos ? "" : tail.substr(partition),
        rows.text(i, 2), rows.text(i, 3), &(*parts)[rows.text(i, 0)]);
  }
  return true;
}

bool readOpenTransactions(db::Session& session,
                          change_rules::TransactionSeconds* seconds,
                          bool* refused) {
  seconds->clear();
  db::Rows rows;
  if (!selectWithProcess(session, kOpenTransactionsQuery, &rows, refused))
    return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows.isNull(i, 0)) continue;  // not begun inside InnoDB yet
    long long start = 0;
    if (!db::wholeNumber(rows.text(i, 0), &start)) return false;
    change_rules::addTransactionStart(static_cast<time_t>(start), seconds);
  }
  return true;
}

// Without PROCESS the server shows neither open transactions nor InnoDB
// identities: every InnoDB table is read from the server. Said once.
void printProcessGrant(db::Session& session) {
  console_text::printLine(
      console_text::processGrantMissing(run_session::currentAccount(session)));
}

// Counts every table's columns and, for a table with an invisible column
// or whose past rows are saved, lists them all in table order, in one pass
// over the server's list. A versioned table's period columns are listed
// when the table names them itself; those of a table versioned WITH SYSTEM
// VERSIONING alone are not, and are named row_start and row_end. Past rows
// of a table versioned by transaction id are not saved: its period holds
// transaction ids, which mean nothing on another server.
bool markInvisibleColumns(db::Session& session, Inventory* inventory) {
  std::vector<TableEntry>& tables = inventory->tables;
  db::Rows rows;
  if (!session.select("SELECT TABLE_NAME, COLUMN_NAME, EXTRA, "
                      "GENERATION_EXPRESSION, DATA_TYPE, IS_NULLABLE FROM "
                      "information_schema.COLUMNS WHERE TABLE_SCHEMA = "
                      "DATABASE() ORDER BY TABLE_NAME, ORDINAL_POSITION",
                      &rows))
    return false;
  std::vector<std::vector<std::string>> names(tables.size());
  std::vector<bool> hidden(tables.size(), false);
  std::vector<bool> periodNamed(tables.size(), false);
  std::vector<bool> byTransaction(tables.size(), false);
  for (size_t row = 0; row < rows.size(); ++row) {
    auto found = inventory->byName.find(rows.text(row, 0));
    if (found == inventory->byName.end()) continue;
    const size_t i = found->second;
    TableEntry& table = tables[i];
    const std::string& column = rows.text(row, 1);
    const std::string& extra = rows.text(row, 2);
    names[i].push_back(column);
    hidden[i] = hidden[i] || extra.find("INVISIBLE") != std::string::npos;
    if (rows.text(row, 3) == "ROW START") {
      periodNamed[i] = true;
      byTransaction[i] = strcasecmp(rows.text(row, 4).c_str(), "timestamp") != 0;
      table.periodStart = column;
    } else if (rows.text(row, 3) == "ROW END") {
      table.periodEnd = column;
    }
    if (extra.find("auto_increment") != std::string::npos &&
        rows.text(row, 5) == "YES")
      table.nullableAutoIncrement = column;
  }
  for (size_t i = 0; i < tables.size(); ++i) {
    TableEntry& table = tables[i];
    table.historySaved = table.historySaved && !byTransaction[i];
    if (table.historySaved && !periodNamed[i]) {
      names[i].push_back("row_start");
      names[i].push_back("row_end");
      table.periodStart = "row_start";
      table.periodEnd = "row_end";
    }
    table.columnCount = static_cast<int>(names[i].size());
    if (hidden[i] || table.historySaved) table.columns = std::move(names[i]);
  }
  return true;
}

bool listKinds(db::Session& session,
               std::unordered_map<std::string, std::string>* kinds) {
  db::Rows rows;
  if (!session.select("SHOW FULL TABLES", &rows) || rows.columnCount() < 2)
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    kinds->emplace(rows.text(i, 0), rows.text(i, 1));
  return true;
}

// What is read around the snapshot to judge the tables' update times and
// identities.
//
// Update times have whole seconds: a table changed in the same second as
// the inventory may change again without its time moving. The open
// transactions are listed after the clock was read: one that began later
// began in the clock's second or after it. The InnoDB identities are read
// before the snapshot and again after the inventory: a table whose
// identity moved in between is not trusted. Both reads are needed: the
// dictionary is not read through the snapshot, so one read tells the
// identities of its own moment only. Read before the snapshot alone, they
// miss a RENAME swap made between that read and the snapshot (the update
// time then belongs to another table than the identity); read after the
// status alone, they miss a swap made after the snapshot began (both then
// tell of another table than the one the snapshot holds). Alike, the two
// name the table that was there all along.
struct Moment {
  time_t serverNow = 0;
  bool clockKnown = false;
  change_rules::TransactionSeconds openTransactions;
  std::unordered_map<std::string, std::string> partsBefore;
  std::unordered_map<std::string, std::string> partsAfter;
  bool innodbKnown = false;
  bool trxKnown = false;
  bool trxRefused = false;
  bool partsRefused = false;
  // Where the log ended before the snapshot, where the parts were not read
  // before it (logEndExpectingAnswer()); its file "" otherwise.
  backup_format::LogPosition logBefore;
};

// What SHOW TABLE STATUS tells of one table beyond its entry: what its
// identity is made of.
struct Status {
  std::string engine, created, rows, dataLength;
};

// The clock, the open transactions and the identities, read before the
// snapshot; false, said on the console, when the session refused the
// server's time zone. An incremental run that expects a clean answer of
// the log reads no identities here: the log will stand in for them, and
// settleIdentities() reads them only where it does not.
bool readBeforeSnapshot(db::Session& session, const InventoryRequest& request,
                        Moment* moment) {
  if (!session.execute("SET SESSION time_zone = 'SYSTEM'")) {
    run_session::printError(session);
    return false;
  }
  moment->clockKnown = readServerClock(session, &moment->serverNow);
  moment->trxKnown =
      readOpenTransactions(session, &moment->openTransactions, &moment->trxRefused);
  if (request.incremental) moment->logBefore = logEndExpectingAnswer(session);
  moment->innodbKnown =
      moment->trxKnown && moment->logBefore.file.empty() &&
      readInnodbParts(session, &moment->partsBefore, &moment->partsRefused);
  return true;
}

// Every table is read in one snapshot, begun after the clock was read: a
// change the snapshot misses is stamped in that second or later, and so
// is never trusted as unchanged. Times are read in UTC: instants. So are
// the rows, for the rest of the run: the preamble tells the restore so.
// Locks the tables without transactions right before it begins, and reads
// the tables' kinds and status in it. False, said on the console, when a
// statement failed or the lock was not granted.
bool beginSnapshot(db::Session& session, const InventoryRequest& request,
                   std::unordered_set<std::string>* locked,
                   std::string* lockRefusal,
                   std::unordered_map<std::string, std::string>* kinds,
                   db::Rows* status) {
  if (!session.execute("SET SESSION time_zone = '+00:00'") ||
      !session.execute("SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ")) {
    run_session::printError(session);
    return false;
  }
  if (request.lock != nullptr && !request.lock->lockTables(locked, lockRefusal))
    return false;
  if (!session.execute("START TRANSACTION WITH CONSISTENT SNAPSHOT") ||
      !listKinds(session, kinds) || !session.select("SHOW TABLE STATUS;", status)) {
    run_session::printError(session);
    return false;
  }
  return true;
}

// One entry per row of SHOW TABLE STATUS, in its order, into *tables;
// returns each one's Status.
std::vector<Status> listTables(const db::Rows& status,
                               const std::unordered_map<std::string, std::string>& kinds,
                               const std::unordered_set<std::string>& locked,
                               std::vector<TableEntry>* tables) {
  const int updateColumn = status.findColumn("Update");
  const int createColumn = status.findColumn("Create_time");
  const int rowsColumn = status.findColumn("Rows");
  const int dataColumn = status.findColumn("Data_length");
  const int engineColumn = status.findColumn("Engine");
  const int commentColumn = status.findColumn("Comment");
  std::vector<Status> statuses;
  for (size_t row = 0; row < status.size(); ++row) {
    TableEntry entry;
    entry.name = status.text(row, 0);
    entry.updateText = status.text(row, updateColumn);
    // The kind is what the server lists, never what a statement on the
    // table happens to allow: a view whose rows were dumped as a table's
    // would insert them into its base table a second time on restore.
    auto kind = kinds.find(entry.name);
    entry.isView = kind != kinds.end() && kind->second == "VIEW";
    entry.isSequence = kind != kinds.end() && kind->second == "SEQUENCE";
    entry.viewUsable = status.text(row, commentColumn) == "VIEW";
    Status facts{status.text(row, engineColumn), status.text(row, createColumn),
                 status.text(row, rowsColumn), status.text(row, dataColumn)};
    entry.updateTracksRows = updateTimeFollowsRows(facts.engine);
    entry.rowsElsewhere = !entry.isView && backup_format::keepsRowsElsewhere(facts.engine);
    entry.reportedEmpty = facts.rows == "0";
    entry.lockedAtSnapshot = locked.count(entry.name) != 0;
    statuses.push_back(std::move(facts));
    tables->push_back(std::move(entry));
  }
  return statuses;
}

// A CONNECT table holds rows of its own only where its definition proves
// it (create_table::keepsOwnRows()); the others' are not saved, and each
// is named on the console. False when a definition could not be read.
bool markConnectTables(db::Session& session, const std::vector<Status>& statuses,
                       std::vector<TableEntry>* tables) {
  for (size_t i = 0; i < tables->size(); ++i) {
    TableEntry& table = (*tables)[i];
    if (table.isView || strcasecmp(statuses[i].engine.c_str(), "CONNECT") != 0) continue;
    db::Rows rows;
    if (!session.select("SHOW CREATE TABLE " + backup_format::quoteIdentifier(table.name),
                        &rows) ||
        rows.size() != 1 || rows.columnCount() < 2)
      return false;
    create_table::Storage storage;
    table.rowsElsewhere = !create_table::readsAsPrinted(rows.text(0, 1), &storage) ||
                          !create_table::keepsOwnRows(storage);
    if (table.rowsElsewhere)
      console_text::printLine(console_text::connectRowsElsewhere(table.name));
  }
  return true;
}

// Settles each table's update time and identities from `moment`.
void judgeTables(const Moment& moment, const std::vector<Status>& statuses,
                 std::vector<TableEntry>* tables) {
  for (size_t i = 0; i < tables->size(); ++i) {
    TableEntry& entry = (*tables)[i];
    const Status& status = statuses[i];
    entry.updateKnown =
        !entry.isView &&
        local_time::fromServerText(entry.updateText, &entry.updateTime) &&
        moment.clockKnown &&
        change_rules::updateTimeSettled(entry.updateTime, moment.serverNow,
                                        moment.openTransactions);
    // Made anew after its last write: the update time is an old table's.
    time_t created = 0;
    const bool createdKnown = local_time::fromServerText(status.created, &created);
    entry.updateTracksRows = entry.updateTracksRows && entry.updateKnown &&
                             createdKnown && created <= entry.updateTime;
    // A change within the inventory's own second would leave it as it is.
    if (createdKnown && moment.clockKnown && created < moment.serverNow)
      entry.created = created;
    // Where no identities were read before the snapshot, the log settles
    // an InnoDB table's (settleIdentities()); without the open
    // transactions, it stays unknown.
    entry.identityPending = !moment.logBefore.file.empty() && moment.trxKnown &&
                            !entry.isView &&
                            strcasecmp(status.engine.c_str(), "InnoDB") == 0;
    const std::string* parts = nullptr;
    auto before = moment.partsBefore.find(entry.name);
    auto after = moment.partsAfter.find(entry.name);
    if (moment.innodbKnown && before != moment.partsBefore.end() &&
        after != moment.partsAfter.end() && before->second == after->second)
      parts = &before->second;
    entry.lastingIdentity = change_rules::lastingIdentity(
        status.engine, status.rows, status.dataLength, entry.created, parts);
    if (entry.updateTracksRows)
      entry.identity = change_rules::tableIdentity(entry.updateTime, entry.lastingIdentity);
  }
}

// Reads the tables into *inventory and begins the snapshot; false, said
// on the console, when a query failed.
bool readTables(db::Session& session, const InventoryRequest& request,
                Inventory* inventory) {
  console_text::printStart(console_text::kQueryingTables);
  Moment moment;
  std::unordered_set<std::string> locked;
  std::string lockRefusal;
  std::unordered_map<std::string, std::string> kinds;
  db::Rows status;
  if (!readBeforeSnapshot(session, request, &moment) ||
      !beginSnapshot(session, request, &locked, &lockRefusal, &kinds, &status))
    return false;
  console_text::printLine(console_text::kOk);
  inventory->logAt = readLogPosition(session);
  if (!lockRefusal.empty())
    console_text::printLine(console_text::lockRefused(lockRefusal));
  const std::vector<Status> statuses =
      listTables(status, kinds, locked, &inventory->tables);
  if (!markConnectTables(session, statuses, &inventory->tables)) {
    run_session::printError(session);
    return false;
  }
  // The log, read next, may stand in for the second read: the run settles
  // the identities once it knows (settleIdentities). It reads up to the
  // snapshot's position, but the status was read later: a RENAME that
  // the status waited for is logged after that position. Only where the
  // log still ends there now is nothing missed.
  if (!moment.logBefore.file.empty()) {
    inventory->pending.logBefore = moment.logBefore;
  } else if (moment.innodbKnown && request.incremental && !inventory->logAt.file.empty() &&
             logStillEndsAt(session, inventory->logAt)) {
    moment.partsAfter = moment.partsBefore;
    inventory->pending.partsBefore = moment.partsBefore;
  } else {
    moment.innodbKnown = moment.innodbKnown && readInnodbParts(session, &moment.partsAfter,
                                                               &moment.partsRefused);
  }
  // A full run reads every table anyway.
  if ((moment.trxRefused || moment.partsRefused) && request.incremental)
    printProcessGrant(session);
  judgeTables(moment, statuses, &inventory->tables);
  if (!readViewDefinitions(session, inventory)) return false;
  orderViews(session, request.database, inventory);
  for (size_t i = 0; i < inventory->tables.size(); ++i)
    inventory->byName.emplace(inventory->tables[i].name, i);
  if (!markVersionedTables(session, inventory) ||
      !markInvisibleColumns(session, inventory)) {
    run_session::printError(session);
    return false;
  }
  return true;
}

}  // namespace

std::optional<Inventory> readInventory(db::Session& session,
                                       const InventoryRequest& request) {
  Inventory inventory;
  if (!readTables(session, request, &inventory)) return std::nullopt;
  if (request.definitions &&
      !readDefinitions(session, request.database, &inventory))
    return std::nullopt;
  return inventory;
}

namespace {

// The identities judged by the read before the snapshot alone: the log's
// clean answer (`logChanged`) stands in for the read after it, else they
// are read again now.
void settleBeforeOnly(db::Session& session,
                      const std::unordered_map<std::string, std::string>& before,
                      const std::unordered_set<std::string>* logChanged,
                      Inventory* inventory) {
  std::unordered_map<std::string, std::string> after;
  bool refused = false;
  const bool afterKnown =
      logChanged != nullptr || readInnodbParts(session, &after, &refused);
  for (TableEntry& table : inventory->tables) {
    auto parts = before.find(table.name);
    if (parts == before.end() || table.lastingIdentity.empty()) continue;
    bool moved;
    if (logChanged != nullptr) {
      moved = logChanged->count(table.name) != 0;
    } else {
      auto now = after.find(table.name);
      moved = !afterKnown || now == after.end() || now->second != parts->second;
    }
    if (!moved) continue;
    table.lastingIdentity.clear();
    table.identity.clear();
  }
}

// The identities no read before the snapshot judged. A table that no
// statement reached since the previous backup, as the log's clean answer
// shows, keeps the identity that file records, if its create time is the
// same. The others' are read now, once. The log up to the snapshot holds
// every RENAME swap before it, and after it a swap moves the create time
// the inventory read; so the parts read now are those of the tables the
// status told of. Without a clean answer, they are only where nothing but
// rows was logged from before the snapshot until now.
void settleUnread(db::Session& session, const run_session::Login& login,
                  const Inventory::PendingIdentities& pending,
                  const PreviousBackup* previous, const LogChanges& log,
                  Inventory* inventory) {
  std::unordered_map<std::string, std::string> parts;
  bool partsRead = false, partsKnown = false;
  for (TableEntry& table : inventory->tables) {
    if (!table.identityPending) continue;
    std::string lasting;
    const PreviousTableEntry* before =
        previous != nullptr ? previous->find(table.name) : nullptr;
    if (log.tables && log.reshaped.count(table.name) == 0 && before != nullptr)
      lasting = change_rules::carriedInnodbIdentity(before->identity, table.created);
    if (lasting.empty()) {
      if (!partsRead) {
        bool refused = false;
        partsRead = true;
        partsKnown = readInnodbParts(session, &parts, &refused) &&
                     (log.tables || logLeftIdentities(login, *pending.logBefore));
      }
      auto found = parts.find(table.name);
      if (partsKnown && found != parts.end())
        lasting = change_rules::lastingIdentity("InnoDB", "", "", table.created,
                                                &found->second);
    }
    table.identityPending = false;
    table.lastingIdentity = lasting;
    table.identity = table.updateTracksRows
                         ? change_rules::tableIdentity(table.updateTime, lasting)
                         : "";
  }
}

}  // namespace

void settleIdentities(db::Session& session, const run_session::Login& login,
                      Inventory* inventory, const PreviousBackup* previous,
                      const LogChanges& log) {
  const Inventory::PendingIdentities pending = std::move(inventory->pending);
  inventory->pending = Inventory::PendingIdentities();
  if (pending.partsBefore)
    settleBeforeOnly(session, *pending.partsBefore, log.tables ? &*log.tables : nullptr,
                     inventory);
  else if (pending.logBefore)
    settleUnread(session, login, pending, previous, log, inventory);
}

// Where the past rows of a system-versioned table are not read, say so,
// once per table, so that nobody takes the backup for the whole table.
void printHistoryNotSaved(const Inventory& inventory) {
  for (const TableEntry& table : inventory.tables)
    if (table.systemVersioned && !table.historySaved)
      console_text::printLine(console_text::historyNotSaved(table.name));
}
