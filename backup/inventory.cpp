#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <functional>
#include <iostream>
#include <memory>
#include <queue>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include <strings.h>

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/change_rules.h"
#include "backup/local_time.h"

namespace {

struct ResultDeleter {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using Result = std::unique_ptr<MYSQL_RES, ResultDeleter>;

std::string fieldText(MYSQL_ROW row, unsigned long* lengths, int column) {
  if (column < 0 || row[column] == nullptr) return std::string();
  return std::string(row[column], lengths[column]);
}

// The first column whose name contains `part`, or -1.
int findColumn(MYSQL_RES* result, const char* part) {
  mysql_field_seek(result, 0);
  int index = 0;
  while (MYSQL_FIELD* field = mysql_fetch_field(result)) {
    if (std::strstr(field->name, part) != nullptr) return index;
    ++index;
  }
  return -1;
}

void printError(MYSQL* connection) {
  std::cout << "Fehler: " << backup_format::commentName(mysql_error(connection))
            << std::endl;
}

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

bool BackupEngine::readServerNumber(const std::string& statement,
                                    long long* number) {
  if (!query(statement)) return false;
  Result result(mysql_store_result(connection));
  if (!result) return false;
  MYSQL_ROW row = mysql_fetch_row(result.get());
  if (row == nullptr || row[0] == nullptr) return false;
  char* end = nullptr;
  *number = std::strtoll(row[0], &end, 10);
  return end != row[0] && *end == '\0';
}

bool BackupEngine::readServerClock(time_t* now) {
  long long seconds = 0;
  if (!readServerNumber("SELECT UNIX_TIMESTAMP()", &seconds)) return false;
  *now = static_cast<time_t>(seconds);
  return true;
}

namespace {

constexpr unsigned kNoPrivilege = 1227;  // ER_SPECIFIC_ACCESS_DENIED_ERROR

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
  if (!query("SELECT t.TABLE_NAME, t.ENGINE FROM information_schema.TABLES t "
             "JOIN information_schema.ENGINES e ON e.ENGINE = t.ENGINE "
             "WHERE t.TABLE_SCHEMA = DATABASE() AND t.TABLE_TYPE <> 'VIEW' "
             "AND e.TRANSACTIONS <> 'YES' ORDER BY t.TABLE_NAME"))
    return false;
  Result result(mysql_store_result(connection));
  if (!result) return false;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    if (!keepsRowsElsewhere(fieldText(row, lengths, 1)))
      names->push_back(fieldText(row, lengths, 0));
  }
  return mysql_errno(connection) == 0;
}

// Where the past rows of a system-versioned table are not read, say so,
// once per table, so that nobody takes the backup for the whole table.
void BackupEngine::printHistoryNotSaved() {
  for (const TableEntry& table : tables)
    if (table.systemVersioned && !table.historySaved)
      std::cout << "Hinweis: Die fr\xFCheren Zeilenversionen der Tabelle '"
                << backup_format::commentName(table.name)
                << "' (WITH SYSTEM VERSIONING) sind nicht im Backup." << std::endl;
}

// A session inserts past rows only with system_versioning_insert_history
// (MariaDB 10.11 on), and only where it may set its timestamp: never with
// secure_timestamp=YES; with SUPER or REPLICATION, a restore by a user
// with the SUPER or BINLOG REPLAY privilege may.
bool BackupEngine::serverTakesHistory() {
  if (!query("SELECT @@SESSION.system_versioning_insert_history, "
             "@@GLOBAL.secure_timestamp"))
    return false;  // a server without the variable
  Result result(mysql_store_result(connection));
  MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
  if (row == nullptr || row[1] == nullptr) return false;
  return strcasecmp(row[1], "YES") != 0;
}

bool BackupEngine::markVersionedTables() {
  if (!query("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
             "TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'SYSTEM VERSIONED'"))
    return false;
  Result result(mysql_store_result(connection));
  if (!result) return false;
  std::vector<size_t> versioned;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    auto found = tableIndex_.find(fieldText(row, mysql_fetch_lengths(result.get()), 0));
    if (found != tableIndex_.end()) versioned.push_back(found->second);
  }
  if (mysql_errno(connection) != 0) return false;
  result.reset();
  const bool takesHistory = !versioned.empty() && serverTakesHistory();
  for (size_t i : versioned) {
    tables[i].systemVersioned = true;
    tables[i].historySaved = takesHistory;
  }
  return true;
}

// Fills `parts` with every InnoDB table's parts by name. False when the
// server refused or failed; *refused tells a missing PROCESS privilege.
bool BackupEngine::readInnodbParts(
    std::unordered_map<std::string, std::string>* parts, bool* refused) {
  parts->clear();
  *refused = false;
  if (!query(kInnodbTablesQuery)) {
    *refused = mysql_errno(connection) == kNoPrivilege;
    return false;
  }
  Result result(mysql_store_result(connection));
  if (!result) return false;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    const std::string tail = fieldText(row, lengths, 1);
    if (tail.empty() || tail[0] == '#' || row[0] == nullptr) continue;
    const size_t partition = tail.find("#P#");
    change_rules::addInnodbPart(
        partition == std::string::npos ? "" : tail.substr(partition),
        fieldText(row, lengths, 2), fieldText(row, lengths, 3),
        &(*parts)[fieldText(row, lengths, 0)]);
  }
  return mysql_errno(connection) == 0;
}

bool BackupEngine::readOpenTransactions(
    change_rules::TransactionSeconds* seconds, bool* refused) {
  seconds->clear();
  *refused = false;
  if (!query(kOpenTransactionsQuery)) {
    *refused = mysql_errno(connection) == kNoPrivilege;
    return false;
  }
  Result result(mysql_store_result(connection));
  if (!result) return false;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    if (row[0] == nullptr) continue;  // not begun inside InnoDB yet
    char* end = nullptr;
    const long long start = std::strtoll(row[0], &end, 10);
    if (end == row[0] || *end != '\0') return false;
    change_rules::addTransactionStart(static_cast<time_t>(start), seconds);
  }
  return mysql_errno(connection) == 0;
}

// Without PROCESS the server shows neither open transactions nor InnoDB
// identities: every InnoDB table is read from the server. Said once.
void BackupEngine::printProcessGrant() {
  std::string account = "...";
  if (query("SELECT CURRENT_USER()")) {
    Result result(mysql_store_result(connection));
    MYSQL_ROW row = result ? mysql_fetch_row(result.get()) : nullptr;
    if (row != nullptr && row[0] != nullptr) {
      const std::string current = row[0];
      const size_t at = current.rfind('@');
      if (at != std::string::npos)
        account = "'" + current.substr(0, at) + "'@'" + current.substr(at + 1) + "'";
    }
  }
  std::cout << "Hinweis: Ohne das Recht PROCESS werden alle InnoDB-Tabellen "
               "vom Server gelesen, denn ihre \xC4nderungen sind nicht sicher "
               "zu erkennen. Es fehlt: GRANT PROCESS ON *.* TO "
            << account << ";" << std::endl;
}

bool BackupEngine::queryTables() {
  std::cout << "Abfrage der Tabellen-Namen und -Zeiten: " << std::flush;
  // Update times have whole seconds: a table changed in the same second as
  // the inventory may change again without its time moving. The open
  // transactions are listed after the clock was read: one that began later
  // began in the clock's second or after it. The InnoDB identities are
  // read before the snapshot and again after the inventory: a table whose
  // identity moved in between is not trusted.
  time_t serverNow = 0;
  change_rules::TransactionSeconds openTransactions;
  std::unordered_map<std::string, std::string> partsBefore;
  std::unordered_map<std::string, std::string> partsAfter;
  bool trxRefused = false;
  bool partsRefused = false;
  if (!query("SET SESSION time_zone = 'SYSTEM'")) {
    printError(connection);
    return false;
  }
  const bool clockKnown = readServerClock(&serverNow);
  bool innodbKnown = readOpenTransactions(&openTransactions, &trxRefused) &&
                     readInnodbParts(&partsBefore, &partsRefused);
  // Every table is read in one snapshot, begun after the clock was read: a
  // change the snapshot misses is stamped in that second or later, and so
  // is never trusted as unchanged. Times are read in UTC: instants.
  std::unordered_set<std::string> locked;
  std::string lockRefusal;
  std::unordered_set<std::string> views;
  if (!query("SET SESSION time_zone = '+00:00'") ||
      !query("SET SESSION TRANSACTION ISOLATION LEVEL REPEATABLE READ") ||
      (saveData && !lockNonTransactional(&locked, &lockRefusal)) ||
      !query("START TRANSACTION WITH CONSISTENT SNAPSHOT") ||
      !listViews(&views) || !query("SHOW TABLE STATUS;")) {
    printError(connection);
    return false;
  }
  Result result(mysql_store_result(connection));
  if (!result) {
    printError(connection);
    return false;
  }
  std::cout << "OK" << std::endl;
  if (!lockRefusal.empty())
    std::cout << "Hinweis: Die Tabellen ohne Transaktionen (MyISAM, Aria, ...) "
                 "konnten nicht gesperrt werden und sind nicht aus einem Moment "
                 "gelesen: "
              << backup_format::commentName(lockRefusal) << std::endl;
  int updateColumn = findColumn(result.get(), "Update");
  int createColumn = findColumn(result.get(), "Create_time");
  int rowsColumn = findColumn(result.get(), "Rows");
  int dataColumn = findColumn(result.get(), "Data_length");
  int engineColumn = findColumn(result.get(), "Engine");
  int commentColumn = findColumn(result.get(), "Comment");
  struct Status {
    std::string engine, created, rows, dataLength;
  };
  std::vector<Status> statuses;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    TableEntry entry;
    entry.name = fieldText(row, lengths, 0);
    entry.updateText = fieldText(row, lengths, updateColumn);
    // The kind is what the server lists, never what a statement on the
    // table happens to allow: a view whose rows were dumped as a table's
    // would insert them into its base table a second time on restore.
    entry.isView = views.count(entry.name) != 0;
    entry.viewUsable = fieldText(row, lengths, commentColumn) == "VIEW";
    Status status{fieldText(row, lengths, engineColumn),
                  fieldText(row, lengths, createColumn),
                  fieldText(row, lengths, rowsColumn),
                  fieldText(row, lengths, dataColumn)};
    entry.updateTracksRows = updateTimeFollowsRows(status.engine);
    entry.rowsElsewhere = !entry.isView && keepsRowsElsewhere(status.engine);
    entry.reportedEmpty = status.rows == "0";
    entry.lockedAtSnapshot = locked.count(entry.name) != 0;
    statuses.push_back(std::move(status));
    tables.push_back(std::move(entry));
  }
  if (mysql_errno(connection) != 0) {
    printError(connection);
    tables.clear();
    return false;
  }
  result.reset();
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
    entry.updateTracksRows =
        entry.updateTracksRows && entry.updateKnown &&
        local_time::fromServerText(status.created, &created) &&
        created <= entry.updateTime;
    if (!entry.updateTracksRows) continue;
    const std::string* parts = nullptr;
    auto before = partsBefore.find(entry.name);
    auto after = partsAfter.find(entry.name);
    if (innodbKnown && before != partsBefore.end() &&
        after != partsAfter.end() && before->second == after->second)
      parts = &before->second;
    entry.identity = change_rules::tableIdentity(
        status.engine, entry.updateTime, status.rows, status.dataLength,
        created, parts);
  }
  orderViews();
  tableIndex_.clear();
  for (size_t i = 0; i < tables.size(); ++i) tableIndex_.emplace(tables[i].name, i);
  if (!markVersionedTables() || !markInvisibleColumns()) {
    printError(connection);
    tables.clear();
    tableIndex_.clear();
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
bool BackupEngine::markInvisibleColumns() {
  if (!query("SELECT TABLE_NAME, COLUMN_NAME, EXTRA, GENERATION_EXPRESSION, "
             "DATA_TYPE FROM information_schema.COLUMNS WHERE TABLE_SCHEMA = "
             "DATABASE() ORDER BY TABLE_NAME, ORDINAL_POSITION"))
    return false;
  Result result(mysql_store_result(connection));
  if (!result) return false;
  std::vector<std::vector<std::string>> names(tables.size());
  std::vector<bool> hidden(tables.size(), false);
  std::vector<bool> periodNamed(tables.size(), false);
  std::vector<bool> byTransaction(tables.size(), false);
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    auto found = tableIndex_.find(fieldText(row, lengths, 0));
    if (found == tableIndex_.end()) continue;
    const size_t i = found->second;
    names[i].push_back(fieldText(row, lengths, 1));
    hidden[i] = hidden[i] ||
                fieldText(row, lengths, 2).find("INVISIBLE") != std::string::npos;
    if (fieldText(row, lengths, 3) == "ROW START") {
      periodNamed[i] = true;
      byTransaction[i] = strcasecmp(fieldText(row, lengths, 4).c_str(), "timestamp") != 0;
    }
  }
  if (mysql_errno(connection) != 0) return false;
  for (size_t i = 0; i < tables.size(); ++i) {
    TableEntry& table = tables[i];
    table.historySaved = table.historySaved && !byTransaction[i];
    if (table.historySaved && !periodNamed[i]) {
      names[i].push_back("row_start");
      names[i].push_back("row_end");
    }
    table.columnCount = static_cast<int>(names[i].size());
    if (hidden[i] || table.historySaved) table.columns = std::move(names[i]);
  }
  return true;
}

bool BackupEngine::listViews(std::unordered_set<std::string>* views) {
  if (!query("SHOW FULL TABLES")) return false;
  Result result(mysql_store_result(connection));
  if (!result || mysql_num_fields(result.get()) < 2) return false;
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    unsigned long* lengths = mysql_fetch_lengths(result.get());
    if (fieldText(row, lengths, 1) == "VIEW")
      views->insert(fieldText(row, lengths, 0));
  }
  return mysql_errno(connection) == 0;
}

// The definition of a view, or "" when the server does not give it (the
// view then has no place among the others).
std::string BackupEngine::viewDefinition(const std::string& name) {
  if (!query("SHOW CREATE TABLE " + backup_format::quoteIdentifier(name) + ";"))
    return "";
  Result result(mysql_store_result(connection));
  if (!result || mysql_num_fields(result.get()) < 2) return "";
  MYSQL_FIELD* first = mysql_fetch_field_direct(result.get(), 0);
  MYSQL_ROW row = mysql_fetch_row(result.get());
  if (first == nullptr || std::strcmp(first->name, "View") != 0 ||
      row == nullptr || row[1] == nullptr)
    return "";
  return row[1];
}

// Base tables keep the server's order and come first; views follow, each
// after the views its definition reads from, so that a restore can create
// every view; views the server cannot use come last, so that the error
// their restore meets stops nothing else.
void BackupEngine::orderViews() {
  std::vector<TableEntry> ordered;
  std::vector<TableEntry> views;
  std::vector<std::string> definitions;
  for (TableEntry& entry : tables) {
    if (!entry.isView) {
      ordered.push_back(std::move(entry));
      continue;
    }
    definitions.push_back(viewDefinition(entry.name));
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
  tables = std::move(ordered);
}
