#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <functional>
#include <memory>
#include <queue>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include <strings.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/change_rules.h"
#include "backup/console_text.h"
#include "backup/local_time.h"

namespace {


bool isOneOf(const std::string& engine,
             std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (strcasecmp(engine.c_str(), name) == 0) return true;
  return false;
}

// Engines that move a table's update time on every change of its rows.
// Others do not: Aria keeps it for many minutes.
bool updateTimeFollowsRows(const std::string& engine) {
  return isOneOf(engine, {"InnoDB", "MyISAM"});
}

// Engines whose tables hold no rows of their own: their rows are other
// tables' (MERGE), another server's (FEDERATED, SPIDER), a search daemon's
// (SPHINX), or none at all (BLACKHOLE).
bool keepsRowsElsewhere(const std::string& engine) {
  return isOneOf(engine, {"MRG_MyISAM", "MRG_ISAM", "FEDERATED", "SPIDER",
                          "SPHINX", "BLACKHOLE"});
}

bool isWordByte(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '$';
}

// The names that the select of a CREATE VIEW text may read from: every
// backquoted name after "VIEW `v` AS", except a name after "AS" (an alias)
// and a name after "." (a column), unless it follows `database`. (A
// substring search would take aliases and column names for reads, and the
// false cycles they make would put a view before the one it reads.)
std::set<std::string> namesReadBy(const std::string& definition,
                                  const std::string& view,
                                  const std::string& database) {
  const std::string quoted = backup_format::quoteIdentifier(view) + " AS ";
  size_t i = definition.find(quoted);
  i = i == std::string::npos ? 0 : i + quoted.size();
  std::set<std::string> names;
  std::string previous;   // the token before: a word in upper case, or a mark
  std::string qualifier;  // the name before a "."
  std::string lastName;
  while (i < definition.size()) {
    char c = definition[i];
    if (c == '`') {
      std::string name;
      for (++i; i < definition.size(); ++i) {
        if (definition[i] == '`') {
          if (i + 1 < definition.size() && definition[i + 1] == '`') {
            name += '`';
            ++i;
            continue;
          }
          ++i;
          break;
        }
        name += definition[i];
      }
      bool column = previous == "." && qualifier != database;
      if (previous != "AS" && !column) names.insert(name);
      lastName = name;
      previous = "`";
    } else if (c == '\'' || c == '"') {
      for (++i; i < definition.size() && definition[i] != c; ++i)
        if (definition[i] == '\\') ++i;
      ++i;
      previous = "'";
    } else if (isWordByte(c)) {
      size_t start = i;
      while (i < definition.size() && isWordByte(definition[i])) ++i;
      previous = definition.substr(start, i - start);
      for (char& letter : previous)
        letter = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
    } else if (std::isspace(static_cast<unsigned char>(c))) {
      ++i;
    } else {
      qualifier = c == '.' && previous == "`" ? lastName : std::string();
      previous = std::string(1, c);
      ++i;
    }
  }
  return names;
}

}  // namespace

std::string historyRowsKept(const TableEntry& table) {
  // Without both period columns nothing can be judged: every row stays.
  if (table.periodStart.empty() || table.periodEnd.empty()) return "TRUE";
  const std::string start = backup_format::quoteIdentifier(table.periodStart);
  const std::string end = backup_format::quoteIdentifier(table.periodEnd);
  std::string kept = start + " < " + end;
  if (!table.nullableAutoIncrement.empty()) {
    // A current row's period ends at the largest timestamp: 2038 up to
    // MariaDB 11.4, 2106 after it on 64-bit servers.
    kept += " AND (" + backup_format::quoteIdentifier(table.nullableAutoIncrement) +
            " IS NOT NULL OR " + end + " IN (TIMESTAMP'2038-01-19 03:14:07.999999', "
            "TIMESTAMP'2106-02-07 06:28:15.999999'))";
  }
  return kept;
}

bool BackupEngine::readServerClock(time_t* now) {
  long long seconds = 0;
  if (!session_.selectNumber("SELECT UNIX_TIMESTAMP()", &seconds)) return false;
  *now = static_cast<time_t>(seconds);
  return true;
}

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

}  // namespace

bool BackupEngine::listNonTransactional(std::vector<std::string>* names) {
  names->clear();
  db::Rows rows;
  if (!session_.select(
          "SELECT t.TABLE_NAME, t.ENGINE FROM information_schema.TABLES t "
          "JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
          "WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_TYPE <> 'VIEW' "
          "AND e.TRANSACTIONS <> 'YES' ORDER BY t.TABLE_NAME",
          &rows))
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    if (!keepsRowsElsewhere(rows.text(i, 1))) names->push_back(rows.text(i, 0));
  // They are locked next.
  if (!names->empty()) finishIndexBeforeLock();
  return true;
}

// Where the past rows of a system-versioned table are not read, say so,
// once per table, so that nobody takes the backup for the whole table.
void BackupEngine::printHistoryNotSaved(const Inventory& inventory) {
  for (const TableEntry& table : inventory.tables)
    if (table.systemVersioned && !table.historySaved)
      console_text::printLine(console_text::historyNotSaved(table.name));
}

// Counted, not read: the rows are read with historyRowsKept(), which
// cannot tell how many it left out. In the snapshot, for a table with
// transactions; a table without them may have changed since its rows
// were read at the snapshot's moment, and the count is then that of now.
void BackupEngine::printHistoryLeftOut(const TableEntry& table) {
  long long leftOut = 0;
  if (session_.selectNumber("SELECT COUNT(*) FROM " +
                                backup_format::quoteIdentifier(table.name) +
                                " FOR SYSTEM_TIME ALL WHERE NOT (" +
                                historyRowsKept(table) + ")",
                            &leftOut) &&
      leftOut > 0)
    console_text::printLine(console_text::historyRowsLeftOut(table.name, leftOut));
}

// A session inserts past rows only with system_versioning_insert_history
// (MariaDB 10.11 on), and only where it may set its timestamp: never with
// secure_timestamp=YES; with SUPER or REPLICATION, a restore by a user
// with the SUPER or BINLOG REPLAY privilege may.
bool BackupEngine::serverTakesHistory() {
  db::Rows rows;
  if (!session_.select("SELECT @@SESSION.system_versioning_insert_history, "
                       "@@GLOBAL.secure_timestamp",
                       &rows))
    return false;  // a server without the variable
  if (rows.size() == 0 || rows.isNull(0, 1)) return false;
  return strcasecmp(rows.text(0, 1).c_str(), "YES") != 0;
}

bool BackupEngine::markVersionedTables(Inventory* inventory) {
  db::Rows rows;
  if (!session_.select("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                       "TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'SYSTEM VERSIONED'",
                       &rows))
    return false;
  std::vector<size_t> versioned;
  for (size_t row = 0; row < rows.size(); ++row) {
    auto found = inventory->byName.find(rows.text(row, 0));
    if (found != inventory->byName.end()) versioned.push_back(found->second);
  }
  const bool takesHistory = !versioned.empty() && serverTakesHistory();
  for (size_t i : versioned) {
    inventory->tables[i].systemVersioned = true;
    inventory->tables[i].historySaved = takesHistory;
  }
  return true;
}

// Fills `parts` with every InnoDB table's parts by name. False when the
// server refused or failed; *refused tells a missing PROCESS privilege.
bool BackupEngine::readInnodbParts(
    std::unordered_map<std::string, std::string>* parts, bool* refused) {
  parts->clear();
  db::Rows rows;
  const db::Session::Answer answer =
      session_.selectUnlessRefused(kInnodbTablesQuery, &rows);
  *refused = answer == db::Session::Answer::kRefused;
  if (answer != db::Session::Answer::kRows) return false;
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

bool BackupEngine::readOpenTransactions(
    change_rules::TransactionSeconds* seconds, bool* refused) {
  seconds->clear();
  db::Rows rows;
  const db::Session::Answer answer =
      session_.selectUnlessRefused(kOpenTransactionsQuery, &rows);
  *refused = answer == db::Session::Answer::kRefused;
  if (answer != db::Session::Answer::kRows) return false;
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
void BackupEngine::printProcessGrant() {
  console_text::printLine(console_text::processGrantMissing(currentAccount()));
}

std::string BackupEngine::currentAccount() {
  db::Rows rows;
  if (session_.select("SELECT CURRENT_USER()", &rows) && rows.size() > 0 &&
      !rows.isNull(0, 0)) {
    const std::string& current = rows.text(0, 0);
    const size_t at = current.rfind('@');
    if (at != std::string::npos)
      return "'" + current.substr(0, at) + "'@'" + current.substr(at + 1) + "'";
  }
  return "...";
}

bool BackupEngine::readTables(Inventory* inventory) {
  std::vector<TableEntry>& tables = inventory->tables;
  console_text::printStart(console_text::kQueryingTables);
  // Update times have whole seconds: a table changed in the same second as
  // the inventory may change again without its time moving. The open
  // transactions are listed after the clock was read: one that began later
  // began in the clock's second or after it. The InnoDB identities are
  // read before the snapshot and again after the inventory: a table whose
  // identity moved in between is not trusted. Both reads are needed: the
  // dictionary is not read through the snapshot, so one read tells the
  // identities of its own moment only. Read before the snapshot alone,
  // they miss a RENAME swap made between that read and the snapshot (the
  // update time then belongs to another table than the identity); read
  // after the status alone, they miss a swap made after the snapshot began
  // (both then tell of another table than the one the snapshot holds).
  // Alike, the two name the table that was there all along.
  time_t serverNow = 0;
  change_rules::TransactionSeconds openTransactions;
  std::unordered_map<std::string, std::string> partsBefore;
  std::unordered_map<std::string, std::string> partsAfter;
  bool trxRefused = false;
  bool partsRefused = false;
  if (!query("SET SESSION time_zone = 'SYSTEM'")) {
    printError();
    return false;
  }
  const bool clockKnown = readServerClock(&serverNow);
  bool innodbKnown = readOpenTransactions(&openTransactions, &trxRefused) &&
                     readInnodbParts(&partsBefore, &partsRefused);
  // Every table is read in one snapshot, begun after the clock was read: a
  // change the snapshot misses is stamped in that second or later, and so
  // is never trusted as unchanged. Times are read in UTC: instants. So are
  // the rows, for the rest of the run: the preamble tells the restore so.
  std::unordered_set<std::string> locked;
  std::string lockRefusal;
  std::unordered_map<std::string, std::string> kinds;
  db::Rows status;
  if (!query("SET SESSION time_zone = '+00:00'") ||
      !query("SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ")) {
    printError();
    return false;
  }
  if (saveData && !lockNonTransactional(&locked, &lockRefusal)) return false;
  if (!query("START TRANSACTION WITH CONSISTENT SNAPSHOT") ||
      !listKinds(&kinds) || !session_.select("SHOW TABLE STATUS;", &status)) {
    printError();
    return false;
  }
  console_text::printLine(console_text::kOk);
  readLogPosition(&inventory->logAt);
  if (!lockRefusal.empty())
    console_text::printLine(console_text::lockRefused(lockRefusal));
  const int updateColumn = status.findColumn("Update");
  const int createColumn = status.findColumn("Create_time");
  const int rowsColumn = status.findColumn("Rows");
  const int dataColumn = status.findColumn("Data_length");
  const int engineColumn = status.findColumn("Engine");
  const int commentColumn = status.findColumn("Comment");
  struct Status {
    std::string engine, created, rows, dataLength;
  };
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
    entry.rowsElsewhere = !entry.isView && keepsRowsElsewhere(facts.engine);
    entry.reportedEmpty = facts.rows == "0";
    entry.lockedAtSnapshot = locked.count(entry.name) != 0;
    statuses.push_back(std::move(facts));
    tables.push_back(std::move(entry));
  }
  innodbKnown = innodbKnown && readInnodbParts(&partsAfter, &partsRefused);
  // A full run reads every table anyway.
  if ((trxRefused || partsRefused) && fromPreviousBackup) printProcessGrant();
  for (size_t i = 0; i < tables.size(); ++i) {
    TableEntry& entry = tables[i];
    const Status& status = statuses[i];
    entry.updateKnown =
        !entry.isView &&
        local_time::fromServerText(entry.updateText, &entry.updateTime) &&
        clockKnown &&
        change_rules::updateTimeSettled(entry.updateTime, serverNow,
                                        openTransactions);
    // Made anew after its last write: the update time is an old table's.
    time_t created = 0;
    const bool createdKnown = local_time::fromServerText(status.created, &created);
    entry.updateTracksRows = entry.updateTracksRows && entry.updateKnown &&
                             createdKnown && created <= entry.updateTime;
    const std::string* parts = nullptr;
    auto before = partsBefore.find(entry.name);
    auto after = partsAfter.find(entry.name);
    if (innodbKnown && before != partsBefore.end() &&
        after != partsAfter.end() && before->second == after->second)
      parts = &before->second;
    entry.lastingIdentity = change_rules::lastingIdentity(
        status.engine, status.rows, status.dataLength, createdKnown ? created : -1,
        parts);
    if (entry.updateTracksRows)
      entry.identity = change_rules::tableIdentity(entry.updateTime, entry.lastingIdentity);
  }
  if (!readViewDefinitions(inventory)) return false;
  orderViews(inventory);
  for (size_t i = 0; i < tables.size(); ++i)
    inventory->byName.emplace(tables[i].name, i);
  if (!markVersionedTables(inventory) || !markInvisibleColumns(inventory)) {
    printError();
    return false;
  }
  return true;
}

// Counts every table's columns and, for a table with an invisible column
// or whose past rows are saved, lists them all in table order, in one pass
// over the server's list. A versioned table's period columns are listed
// when the table names them itself; those of a table versioned WITH SYSTEM
// VERSIONING alone are not, and are named row_start and row_end. Past rows
// of a table versioned by transaction id are not saved: its period holds
// transaction ids, which mean nothing on another server.
bool BackupEngine::markInvisibleColumns(Inventory* inventory) {
  std::vector<TableEntry>& tables = inventory->tables;
  db::Rows rows;
  if (!session_.select("SELECT TABLE_NAME, COLUMN_NAME, EXTRA, "
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

bool BackupEngine::listKinds(
    std::unordered_map<std::string, std::string>* kinds) {
  db::Rows rows;
  if (!session_.select("SHOW FULL TABLES", &rows) || rows.columnCount() < 2)
    return false;
  for (size_t i = 0; i < rows.size(); ++i)
    kinds->emplace(rows.text(i, 0), rows.text(i, 1));
  return true;
}

namespace {

bool isAscii(const std::string& text) {
  for (char c : text)
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  return true;
}

// A character set name as the server gives it, fit to stand in a statement.
bool isCharsetName(const std::string& name) {
  if (name.empty()) return false;
  for (char c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// Whether names are the same bytes in both character sets: every utf8
// spelling writes the names it can hold alike.
bool namesAlike(const std::string& one, const std::string& other) {
  return one == other || (one.compare(0, 4, "utf8") == 0 &&
                          other.compare(0, 4, "utf8") == 0);
}

}  // namespace

// The statement is read once, unconverted, in the character set of the
// client that made the view, for it is written that way. The names in it
// are matched against the inventory's, which are in the connection's: a
// text that is not plain ASCII in another character set is converted by
// the server. Should that fail, the view is ordered by its unconverted
// text (at worst out of order, never lost).
std::string BackupEngine::definitionInConnectionCharset(
    const ObjectDefinition& view) {
  if (!view.error.empty()) return "";
  // A statement larger than the server takes in one packet would cost the
  // connection; such a view keeps its unconverted text.
  constexpr size_t kConvertedAtMost = size_t{1} << 20;
  if (isAscii(view.createText) ||
      namesAlike(view.characterSet, session_.characterSetName()) ||
      !isCharsetName(view.characterSet) ||
      view.createText.size() > kConvertedAtMost)
    return view.createText;
  db::Rows rows;
  if (!session_.select("SELECT CONVERT(_binary X'" + backup_format::hexDigits(view.createText) +
                           "' USING " + view.characterSet + ")",
                       &rows) ||
      rows.size() == 0 || rows.isNull(0, 0))
    return view.createText;
  return rows.text(0, 0);
}

// Base tables keep the server's order and come first; views follow, each
// after the views its definition reads from, so that a restore can create
// every view; views the server cannot use come last, so that the error
// their restore meets stops nothing else.
void BackupEngine::orderViews(Inventory* inventory) {
  std::vector<TableEntry>* tables = &inventory->tables;
  std::vector<TableEntry> ordered;
  std::vector<TableEntry> views;
  std::vector<std::string> definitions;
  for (TableEntry& entry : *tables) {
    if (!entry.isView) {
      ordered.push_back(std::move(entry));
      continue;
    }
    auto found = inventory->viewDefinitions.find(entry.name);
    definitions.push_back(found == inventory->viewDefinitions.end()
                              ? std::string()
                              : definitionInConnectionCharset(found->second));
    views.push_back(std::move(entry));
  }
  // Topological order: a view waits for the views it reads; among the
  // ready ones, usable views before unusable ones, then server order.
  std::unordered_map<std::string, size_t> viewAt;
  for (size_t i = 0; i < views.size(); ++i) viewAt.emplace(views[i].name, i);
  std::vector<std::vector<size_t>> readers(views.size());
  std::vector<size_t> waitingFor(views.size(), 0);
  for (size_t i = 0; i < views.size(); ++i) {
    for (const std::string& name :
         namesReadBy(definitions[i], views[i].name, databaseName)) {
      auto found = viewAt.find(name);
      if (found == viewAt.end() || found->second == i) continue;
      readers[found->second].push_back(i);
      ++waitingFor[i];
    }
  }
  using Key = std::pair<bool, size_t>;  // (unusable, server position)
  std::priority_queue<Key, std::vector<Key>, std::greater<Key>> ready;
  for (size_t i = 0; i < views.size(); ++i)
    if (waitingFor[i] == 0) ready.push({!views[i].viewUsable, i});
  std::vector<bool> placed(views.size(), false);
  size_t firstUnplaced = 0;
  for (size_t round = 0; round < views.size(); ++round) {
    size_t pick;
    if (!ready.empty()) {
      pick = ready.top().second;
      ready.pop();
    } else {  // a cycle: take the first view left in server order
      while (placed[firstUnplaced]) ++firstUnplaced;
      pick = firstUnplaced;
    }
    placed[pick] = true;
    ordered.push_back(std::move(views[pick]));
    for (size_t reader : readers[pick])
      if (!placed[reader] && --waitingFor[reader] == 0)
        ready.push({!views[reader].viewUsable, reader});
  }
  *tables = std::move(ordered);
}
