#include "backup/binlog.h"

#include <cctype>


#include "backup/console_text.h"
#include "backup/log_statement.h"

namespace binlog {
namespace {

using log_statement::lower;

// Statements that write no table: the bounds of transactions, and the
// grants.
bool writesNoTable(const std::string& first) {
  // (The grants write the server's own tables, never a database's.)
  static const std::unordered_set<std::string> kWords = {
      "begin", "commit", "rollback", "savepoint", "release", "grant", "revoke"};
  return kWords.count(first) != 0;
}

// Statements whose text need not hold the names they write: dynamic SQL,
// and row events written out as text.
bool hidesItsNames(const std::string& first) {
  return first == "execute" || first == "prepare" || first == "binlog";
}

bool beyondAscii(const std::string& word) {
  for (char c : word)
    if ((static_cast<unsigned char>(c) & 0x80) != 0) return true;
  return false;
}

// Statements that define the schema. Of these only those that read rows
// (CREATE TABLE ... SELECT) run code: the others fire no trigger and write
// through no view.
bool definesSchema(const std::string& first) {
  static const std::unordered_set<std::string> kWords = {
      "create", "alter", "drop", "rename", "truncate", "analyze", "optimize", "repair"};
  return kWords.count(first) != 0;
}

// A change of the schema that leaves what the statements before it wrote
// as the schema of the snapshot tells it: nothing that an earlier
// statement may have fired or written through is taken away or moved to
// another database. The allowed forms: new objects, rows emptied, tables
// renamed within their database, and changes of a table that neither drop
// nor rename anything.
bool keepsEarlierStatements(const std::string& first,
                            const std::unordered_set<std::string>& words,
                            const std::unordered_set<std::string>& qualifiers) {
  const bool dropsOrRenames = words.count("drop") != 0 || words.count("rename") != 0;
  if (first == "create") return words.count("replace") == 0;
  if (first == "rename") return qualifiers.empty();
  if (first == "alter") return !dropsOrRenames && words.count("table") != 0;
  return first == "truncate" || first == "analyze" || first == "optimize" ||
         first == "repair";
}

std::string cascadeKey(const std::string& database, const std::string& table) {
  return database + '\0' + table;
}

}  // namespace

std::unordered_set<std::string> reachingDatabases(const std::string& database,
                                                  const std::vector<ForeignBody>& bodies,
                                                  const std::vector<ForeignKey>& keys) {
  // The words of each body, read once; a body that cannot be read names
  // every database.
  struct Read {
    std::string database;
    bool all = false;
    std::unordered_set<std::string> words;
  };
  std::vector<Read> reads;
  reads.reserve(bodies.size());
  for (const ForeignBody& object : bodies) {
    Read read{lower(object.database), !object.body.known, {}};
    if (!read.all)
      read.all = !log_statement::readWords(object.body.text, object.body.sqlMode, &read.words);
    reads.push_back(std::move(read));
  }
  std::unordered_set<std::string> reaching = {lower(database)};
  for (bool grew = true; grew;) {
    grew = false;
    for (const Read& read : reads) {
      if (reaching.count(read.database) != 0) continue;
      bool names = read.all;
      for (auto it = read.words.begin(); !names && it != read.words.end(); ++it)
        names = reaching.count(*it) != 0;
      if (names) grew = reaching.insert(read.database).second || grew;
    }
    for (const ForeignKey& key : keys)
      if (reaching.count(lower(key.childDatabase)) != 0)
        grew = reaching.insert(lower(key.parentDatabase)).second || grew;
  }
  reaching.erase(lower(database));
  return reaching;
}

Collector::Collector(std::string database, const std::vector<std::string>& tables,
                     const backup_format::LogPosition& from,
                     const backup_format::LogPosition& to,
                     const std::vector<Cascade>& cascades, SchemaSource schema,
                     bool logSynced)
    : database_(std::move(database)), lowerDatabase_(lower(database_)), tables_(tables),
      schemaSource_(std::move(schema)), from_(from), to_(to), file_(from.file),
      position_(from.position), logSynced_(logSynced) {
  for (const Cascade& cascade : cascades)
    cascades_[cascadeKey(lower(cascade.parentDatabase), lower(cascade.parent))].push_back(
        lower(cascade.child));
}

bool Collector::fail(std::string why) {
  if (why_.empty()) why_ = std::move(why);
  return false;
}

const Schema& Collector::schema() {
  if (schema_ == nullptr) schema_ = &schemaSource_(false);
  return *schema_;
}

bool Collector::readWide() {
  if (!wideRead_) {
    schema_ = &schemaSource_(true);
    wideRead_ = true;
  }
  return schema_->unread.empty() || fail(schema_->unread);
}

// A statement of this database whose qualifiers name only this database
// and its own tables and views reaches no other database but through this
// one's own triggers and routines, whose bodies are resolved in turn:
// unqualified names are this database's. Anything else asks what the
// other databases hold.
bool Collector::othersStayApart(const std::string& defaultDatabase,
                                const std::unordered_set<std::string>& words,
                                bool runsCode) {
  if (!readWide()) return false;
  if (schema_->reaching.count(defaultDatabase) != 0 || reachesOthers(words))
    return fail(console_text::kLogForeignWriter);
  if (runsCode && !schema_->seesEveryDatabase) return fail(console_text::kLogOthersUnseen);
  return true;
}

void Collector::takeStatement(const LogEvent& event) {
  const std::string first = log_statement::firstWord(event.statement);
  // An XA transaction's rows are logged when it is prepared, which may be
  // before the previous backup's position while it commits after it.
  if (first == "xa") {
    fail(console_text::kLogXaTransaction);
    return;
  }
  if (writesNoTable(first)) return;
  if (hidesItsNames(first)) {
    fail(console_text::kLogStatementUnreadable);
    return;
  }
  const Schema& known = schema();
  if (!known.unread.empty()) {
    fail(known.unread);
    return;
  }
  // The text is lexed as the server lexed it: in the session's character
  // set and sql_mode, which the event records.
  const log_statement::Session session = log_statement::readSession(event.status);
  std::unordered_set<std::string> words, qualifiers;
  if (!session.known || !session.hasCharset ||
      known.byteWiseCollations.count(session.clientCollation) == 0 ||
      !log_statement::readWords(event.statement, session.sqlMode, &words, &qualifiers)) {
    fail(console_text::kLogStatementUnreadable);
    return;
  }
  const bool schemaChange = definesSchema(first);
  const bool runsCode = !schemaChange || words.count("select") != 0;
  if (schemaChange && statementRan_ && !keepsEarlierStatements(first, words, qualifiers)) {
    fail(console_text::kLogSchemaChanged);
    return;
  }
  statementRan_ = statementRan_ || runsCode;
  const std::string defaultDatabase = lower(event.database);
  if ((defaultDatabase != lowerDatabase_ || !qualifiesOwnNames(qualifiers)) &&
      !othersStayApart(defaultDatabase, words, runsCode))
    return;
  if (defaultDatabase == lowerDatabase_ || words.count(lowerDatabase_) != 0)
    resolve(words, runsCode);
}

// Where the account cannot see every database's triggers, routines and
// views, another database's may write this one unseen: only names that
// qualify this database or its own tables and views prove anything.
bool Collector::qualifiesOwnNames(const std::unordered_set<std::string>& qualifiers) const {
  for (const std::string& name : qualifiers)
    if (name != lowerDatabase_ && schema_->tables.count(name) == 0 &&
        schema_->views.count(name) == 0)
      return false;
  return true;
}

bool Collector::reachesOthers(const std::unordered_set<std::string>& words) {
  for (const std::string& word : words)
    if (word != lowerDatabase_ && schema_->reaching.count(word) != 0) return true;
  return false;
}

void Collector::resolve(const std::unordered_set<std::string>& words, bool runsCode) {
  const Schema& known = *schema_;
  for (const std::string& word : words) {
    if (!why_.empty()) return;
    if (runsCode && known.views.count(word) != 0)
      fail(console_text::logThroughView(word));
    else if (known.tables.count(word) != 0)
      touchTable(word, runsCode);
    else if (runsCode && known.routines.count(word) != 0)
      touchRoutine(word);
    else if (known.foldsNames && beyondAscii(word))
      fail(console_text::kLogStatementUnreadable);
  }
}

void Collector::touchTable(const std::string& table, bool runsCode) {
  changed_.insert(table);
  if (inStatement_) reshaped_.insert(table);
  // What a cascade writes is logged neither as rows nor as a statement.
  auto children = cascades_.find(cascadeKey(lowerDatabase_, table));
  if (children != cascades_.end())
    for (const std::string& child : children->second)
      if (changed_.count(child) == 0) touchTable(child, false);
  // A cascade fires no trigger. A trigger's rows are logged as rows of their own; a statement's
  // trigger runs where the statement is replayed.
  if (!runsCode || !fired_.insert(table).second) return;
  auto triggers = schema_->triggers.find(table);
  if (triggers == schema_->triggers.end()) return;
  for (const Body& body : triggers->second) resolveBody(body);
}

void Collector::tableRows(const std::string& database, const std::string& table) {
  if (database == lowerDatabase_) {
    touchTable(table, false);
    return;
  }
  auto children = cascades_.find(cascadeKey(database, table));
  if (children != cascades_.end())
    for (const std::string& child : children->second) touchTable(child, false);
}

void Collector::touchRoutine(const std::string& routine) {
  if (!called_.insert(routine).second) return;
  const Body& body = schema_->routines.at(routine);
  if (!body.known) {
    fail(console_text::logRoutineWithheld(routine));
    return;
  }
  resolveBody(body);
}

void Collector::resolveBody(const Body& body) {
  std::unordered_set<std::string> words, qualifiers;
  if (!body.known ||
      !log_statement::readWords(body.text, body.sqlMode, &words, &qualifiers)) {
    fail(console_text::kLogStatementUnreadable);
    return;
  }
  if (!qualifiesOwnNames(qualifiers) && !othersStayApart(lowerDatabase_, words, true))
    return;
  resolve(words, true);
}

bool leavesIdentities(const LogEvent& event) {
  using Kind = LogEvent::Kind;
  switch (event.kind) {
    case Kind::kRotate:
    case Kind::kFormat:
    case Kind::kTableMap:
    case Kind::kRows:
    case Kind::kFraming:
    case Kind::kStop: return true;
    case Kind::kQuery: {
      const std::string statement = lower(event.statement);
      return statement == "begin" || statement == "commit" || statement == "rollback";
    }
    default: return false;
  }
}

std::string nextLogFile(const std::string& file) {
  size_t digits = file.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(file[digits - 1])))
    --digits;
  if (digits == file.size()) return file + ".";  // no number: no next file known
  std::string next = file;
  size_t i = next.size();
  while (i > digits && next[i - 1] == '9') next[--i] = '0';
  if (i > digits)
    ++next[i - 1];
  else
    next.insert(digits, "1");
  return next;
}

bool Collector::take(const LogEvent& event) {
  using Kind = LogEvent::Kind;
  // The next file's name is told by the start event that follows a
  // rotation, not by the rotate event (the client library does not read
  // the names of those the server makes up in the middle of a stream).
  if (event.kind == Kind::kRotate) {
    // One the server made up in the stream has no position of its own.
    if (event.nextPosition != 0) fileClosed_ = true;
    return true;
  }
  if (event.kind == Kind::kFormat) {
    if (!startChecked_) {
      // The first start event is that of the previous backup's file: a
      // file made anew under its name started at another time.
      startChecked_ = true;
      if (from_.start <= 0 || static_cast<long long>(event.timestamp) != from_.start)
        return fail(console_text::kLogMadeAnew);
    } else {
      // A new file: the snapshot's file ended before it.
      if (file_ == to_.file) {
        reached_ = position_ == to_.position;
        return false;
      }
      // A file the server did not close, by a rotation or a stop, ended
      // in a crash. A log not synced at every commit may have lost its
      // last events there, while the tables kept their changes.
      if (!fileClosed_ && !logSynced_) return fail(console_text::kLogCrashed);
      fileClosed_ = false;
      file_ = nextLogFile(file_);
      position_ = event.nextPosition;
    }
    if (file_ == to_.file) endFileStart_ = event.timestamp;
    return !atEnd();
  }
  if (event.nextPosition != 0 && file_ == to_.file && event.nextPosition > to_.position) {
    reached_ = position_ == to_.position;
    return false;  // committed after the snapshot
  }
  if (event.nextPosition != 0) {
    position_ = event.nextPosition;
    fileClosed_ = event.kind == Kind::kStop;
  }
  switch (event.kind) {
    case Kind::kQuery:
      inStatement_ = true;
      takeStatement(event);
      inStatement_ = false;
      break;
    case Kind::kTableMap:
      tableRows(lower(event.database), lower(event.table));
      break;
    case Kind::kUnknown: return fail(console_text::logUnknownEvent(event.type));
    default: break;
  }
  return why_.empty() && !atEnd();
}

bool Collector::atEnd() {
  if (file_ == to_.file && position_ == to_.position) reached_ = true;
  return reached_;
}

Changes Collector::finish(const LogRead& read) const {
  Changes changes;
  if (!why_.empty())
    changes.why = why_;
  else if (read.error == kLogNotThere)
    changes.why = console_text::kLogPurged;
  else if (!read.opened || read.error != 0)
    changes.why = console_text::logReadError(read.message);
  else if (!read.filters.empty())
    changes.why = console_text::logFiltered(read.filters);
  else if (!reached_ && !(file_ == to_.file && position_ == to_.position &&
                          startChecked_))
    changes.why = console_text::kLogEndedEarly;
  if (!changes.why.empty()) return changes;
  changes.clean = true;
  for (const std::string& table : tables_) {
    const std::string name = lower(table);
    if (changed_.count(name) != 0) changes.tables.insert(table);
    if (reshaped_.count(name) != 0) changes.reshaped.insert(table);
  }
  return changes;
}

}  // namespace binlog
