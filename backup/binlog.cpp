#include "backup/binlog.h"

#include <cctype>
#include <deque>
#include <unordered_map>

#include "backup/console_text.h"

namespace binlog {
namespace {

std::string lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return lowered;
}

bool isWordByte(char c) {
  const unsigned char byte = static_cast<unsigned char>(c);
  return std::isalnum(byte) || c == '_' || c == '$' || byte >= 0x80;
}

// The statement's first word, in lower case.
std::string firstWord(std::string_view statement) {
  size_t begin = 0;
  while (begin < statement.size() &&
         !isWordByte(statement[begin]))
    ++begin;
  size_t end = begin;
  while (end < statement.size() && isWordByte(statement[end])) ++end;
  return lower(statement.substr(begin, end - begin));
}

// Statements that write no table: the bounds of transactions, and the
// grants.
bool writesNoTable(std::string_view statement) {
  static const std::unordered_set<std::string> kWords = {
      "begin", "commit", "rollback", "savepoint", "release", "grant", "revoke"};
  return kWords.count(firstWord(statement)) != 0;
}

}  // namespace

std::unordered_set<std::string> nameWords(std::string_view statement) {
  std::unordered_set<std::string> words;
  size_t i = 0;
  while (i < statement.size()) {
    if (statement[i] == '`') {
      std::string name;
      for (++i; i < statement.size(); ++i) {
        if (statement[i] != '`') {
          name += statement[i];
        } else if (i + 1 < statement.size() && statement[i + 1] == '`') {
          name += '`';
          ++i;
        } else {
          ++i;
          break;
        }
      }
      words.insert(lower(name));
    } else if (isWordByte(statement[i])) {
      const size_t begin = i;
      while (i < statement.size() && isWordByte(statement[i])) ++i;
      words.insert(lower(statement.substr(begin, i - begin)));
    } else {
      ++i;
    }
  }
  return words;
}

std::unordered_set<std::string> withReach(std::unordered_set<std::string> changed,
                                          const std::vector<std::string>& tables,
                                          const Reach& reach) {
  std::unordered_set<std::string> known;
  for (const std::string& table : tables) known.insert(lower(table));
  for (const auto& routine : reach.routines) known.insert(lower(routine.first));
  // What each table's change (or routine's call) writes besides itself, by
  // lower-case name.
  std::unordered_map<std::string, std::vector<std::string>> writes;
  for (const auto& cascade : reach.cascades)
    writes[lower(cascade.first)].push_back(lower(cascade.second));
  const auto bodyWrites = [&](const std::string& name, const std::string& body) {
    for (const std::string& word : nameWords(body))
      if (known.count(word) != 0) writes[lower(name)].push_back(word);
  };
  for (const auto& trigger : reach.triggers) bodyWrites(trigger.first, trigger.second);
  for (const auto& routine : reach.routines) bodyWrites(routine.first, routine.second);
  std::deque<std::string> waiting(changed.begin(), changed.end());
  while (!waiting.empty()) {
    auto found = writes.find(waiting.front());
    waiting.pop_front();
    if (found == writes.end()) continue;
    for (const std::string& written : found->second)
      if (changed.insert(written).second) waiting.push_back(written);
  }
  return changed;
}

Collector::Collector(std::string database, const std::vector<std::string>& tables,
                     const backup_format::LogPosition& from,
                     const backup_format::LogPosition& to, Reach reach)
    : database_(std::move(database)), tables_(tables), reach_(std::move(reach)),
      from_(from), to_(to), file_(from.file), position_(from.position) {
  for (const std::string& table : tables) tableWords_.insert(lower(table));
  for (const auto& routine : reach_.routines) tableWords_.insert(lower(routine.first));
}

bool Collector::fail(std::string why) {
  if (why_.empty()) why_ = std::move(why);
  return false;
}

void Collector::takeStatement(const db::LogEvent& event) {
  // An XA transaction's rows are logged when it is prepared, which may be
  // before the previous backup's position while it commits after it.
  if (firstWord(event.statement) == "xa") {
    fail(console_text::kLogXaTransaction);
    return;
  }
  if (writesNoTable(event.statement)) return;
  const std::unordered_set<std::string> words = nameWords(event.statement);
  for (const auto& cascade : reach_.foreignCascades)
    if (words.count(lower(cascade.first)) != 0) words_.insert(lower(cascade.second));
  if (event.database != database_) {
    // A statement of another database (or of none) that names this one
    // may write it through a qualified name.
    if (words.count(lower(database_)) != 0)
      fail(console_text::logForeignStatement(std::string(event.database)));
    foreignStatements_ = true;
    return;
  }
  for (const std::string& word : words)
    if (tableWords_.count(word) != 0) words_.insert(word);
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

bool Collector::take(const db::LogEvent& event) {
  using Kind = db::LogEvent::Kind;
  // The next file's name is told by the start event that follows a
  // rotation, not by the rotate event (the client library does not read
  // the names of those the server makes up in the middle of a stream).
  if (event.kind == Kind::kRotate) return true;
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
  if (event.nextPosition != 0) position_ = event.nextPosition;
  switch (event.kind) {
    case Kind::kQuery: takeStatement(event); break;
    case Kind::kTableMap:
      if (event.database == database_) words_.insert(lower(event.table));
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

Changes Collector::finish(const db::LogRead& read) const {
  Changes changes;
  if (!why_.empty())
    changes.why = why_;
  else if (read.error == db::kLogNotThere)
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
  changes.foreignStatements = foreignStatements_;
  const std::unordered_set<std::string> words = withReach(words_, tables_, reach_);
  for (const std::string& table : tables_)
    if (words.count(lower(table)) != 0) changes.tables.insert(table);
  return changes;
}

}  // namespace binlog
