#include "backup/object_section.h"

#include <algorithm>
#include <cctype>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "backup/block_count.h"
#include "backup/sql_lexer.h"

namespace object_section {
namespace {

using backup_format::endsWith;
using backup_format::SectionKind;

constexpr char kDelimiterBytes[] = ";$/|";
// The stock client keeps no more than 15 bytes of a delimiter.
constexpr size_t kLongestDelimiter = 15;

// Names of character sets and collations: letters, digits, '_'.
bool isWord(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') return false;
  return true;
}

// Text put between apostrophes: no quote, backslash or control byte can
// reach the statement.
bool isPlainValue(const std::string& text, const char* extra) {
  for (char c : text) {
    bool plain = std::isalnum(static_cast<unsigned char>(c)) || c == '_' ||
                 std::string_view(extra).find(c) != std::string_view::npos;
    if (!plain) return false;
  }
  return true;
}

bool sessionIsPlain(const ObjectDefinition& object) {
  return isWord(object.characterSet) && isWord(object.collation) &&
         (!object.hasSqlMode || isPlainValue(object.sqlMode, ",")) &&
         (!object.hasTimeZone ||
          (!object.timeZone.empty() && isPlainValue(object.timeZone, "+-:/")));
}

// A session variable that a definition is replayed under, the user
// variable that keeps the restore's own value meanwhile, and the
// definition's value.
struct SessionVariable {
  const char* name;
  const char* saved;
  std::string value;
};

std::vector<SessionVariable> sessionOf(const ObjectDefinition& object) {
  std::vector<SessionVariable> session = {
      {"character_set_client", "@saved_cs_client", object.characterSet},
      {"character_set_results", "@saved_cs_results", object.characterSet},
      {"collation_connection", "@saved_col_connection", object.collation}};
  if (object.hasSqlMode)
    session.push_back({"sql_mode", "@saved_sql_mode", "'" + object.sqlMode + "'"});
  if (object.hasTimeZone)
    session.push_back(
        {"time_zone", "@saved_time_zone", "'" + object.timeZone + "'"});
  return session;
}

// "SET" saving the session into user variables, then taking the object's.
std::string sessionSet(const ObjectDefinition& object) {
  const std::vector<SessionVariable> session = sessionOf(object);
  std::string set = "SET ";
  for (const SessionVariable& variable : session)
    set += std::string(variable.saved) + " = @@" + variable.name + ", ";
  for (const SessionVariable& variable : session)
    set += std::string(variable.name) + " = " + variable.value + ", ";
  return set.substr(0, set.size() - 2);
}

std::string sessionRestore(const ObjectDefinition& object) {
  std::string set = "SET ";
  for (const SessionVariable& variable : sessionOf(object))
    set += std::string(variable.name) + " = " + variable.saved + ", ";
  return set.substr(0, set.size() - 2);
}

std::string versioned(const char* version, const std::string& statement) {
  return std::string("/*!") + version + " " + statement + " */";
}

const char* dropStatement(SectionKind kind) {
  switch (kind) {
    case SectionKind::kTrigger: return "DROP TRIGGER IF EXISTS ";
    case SectionKind::kProcedure: return "DROP PROCEDURE IF EXISTS ";
    case SectionKind::kFunction: return "DROP FUNCTION IF EXISTS ";
    case SectionKind::kEvent: return "DROP EVENT IF EXISTS ";
    default: return nullptr;
  }
}

// Whether `delimiter` may end every statement: it occurs in none of them,
// nor across a statement's end into itself.
bool fitsEvery(const std::string& delimiter,
               const std::vector<std::string>& statements) {
  for (const std::string& statement : statements)
    if ((statement + delimiter).find(delimiter) != statement.size())
      return false;
  return true;
}

// Two `byte`s and a number of as many digits as it takes to be one that
// follows two `byte`s nowhere in the statements. Such a delimiter cannot
// overlap itself, so occurring nowhere is enough.
std::string numberedDelimiter(char byte,
                              const std::vector<std::string>& statements) {
  const std::string pair(2, byte);
  std::unordered_set<std::string> taken;  // digit runs after a pair
  size_t width = 1, pairs = 0, capacity = 10;
  for (const std::string& statement : statements)
    for (size_t at = statement.find(pair); at != std::string::npos;
         at = statement.find(pair, at + 1))
      ++pairs;
  while (capacity <= pairs) {
    ++width;
    capacity *= 10;
  }
  for (const std::string& statement : statements)
    for (size_t at = statement.find(pair); at != std::string::npos;
         at = statement.find(pair, at + 1))
      taken.insert(statement.substr(at + 2, width));
  for (size_t number = 0;; ++number) {
    std::string digits = std::to_string(number);
    digits.insert(0, width - digits.size(), '0');
    if (taken.count(digits) == 0) return pair + digits;
  }
}

// Whether a mode (as SHOW CREATE gives it, words split by commas) holds
// `word`.
bool modeHas(const std::string& mode, std::string_view word) {
  size_t start = 0;
  while (start <= mode.size()) {
    size_t end = std::min(mode.find(',', start), mode.size());
    if (std::string_view(mode).substr(start, end - start) == word) return true;
    start = end + 1;
  }
  return false;
}

// `statement` as a section or a view writes it, for a mode with or without
// ANSI_QUOTES and backslash escapes, ended by `delimiter` ("" for one that
// occurs nowhere in it). Where the server takes the hex form: as it stands
// when every reading agrees on it, the stock client would only send it and
// the server is proven to end it only at its end (`provenOne`), else in
// the hex form. Elsewhere: as it stands when the client would only
// send it, else "".
std::string asWritten(const std::string& statement, bool hexFormTaken,
                      bool ansiQuotes, bool escapes, std::string delimiter,
                      bool provenOne = true) {
  if (delimiter.empty()) delimiter = delimiterFor({statement});
  const bool sentAsItStands =
      !backup_format::clientActsWithin(statement, delimiter, escapes);
  if (!hexFormTaken) return sentAsItStands ? statement : std::string();
  if (sentAsItStands && provenOne && backup_format::plainToEveryReader(statement, ansiQuotes))
    return statement;
  return backup_format::hexStatement(statement);
}

// Reads the head of a definition as the server prints it: words in any
// case, white space and comments between them, names backquoted,
// double-quoted (ANSI_QUOTES) or bare.
class HeadReader {
 public:
  explicit HeadReader(std::string_view sql) : sql_(sql) {}

  // The keyword `word` next.
  bool word(std::string_view word) {
    skipSpace();
    if (sql_.size() - at_ < word.size()) return false;
    for (std::size_t i = 0; i < word.size(); ++i)
      if (std::toupper(static_cast<unsigned char>(sql_[at_ + i])) != word[i]) return false;
    if (at_ + word.size() < sql_.size() && bareByte(sql_[at_ + word.size()])) return false;
    at_ += word.size();
    return true;
  }

  // "=" then a word or a name, as in ALGORITHM=MERGE or DEFINER=`u`@`h`.
  bool setting(bool user) {
    skipSpace();
    if (at_ >= sql_.size() || sql_[at_] != '=') return false;
    ++at_;
    std::string part;
    if (!name(&part)) return false;
    if (user && at_ < sql_.size() && sql_[at_] == '@') {
      ++at_;
      return name(&part);
    }
    return true;
  }

  // A name, or `database`.name; false for a name of another database.
  bool objectName(const std::string& database, std::string* name) {
    if (!this->name(name)) return false;
    if (at_ >= sql_.size() || sql_[at_] != '.') return true;
    ++at_;
    return *name == database && this->name(name);
  }

  bool name(std::string* name) {
    skipSpace();
    if (at_ >= sql_.size()) return false;
    const char quote = sql_[at_];
    if (quote == '`' || quote == '"') return quoted(quote, name);
    const std::size_t from = at_;
    while (at_ < sql_.size() && bareByte(sql_[at_])) ++at_;
    *name = std::string(sql_.substr(from, at_ - from));
    return !name->empty();
  }

 private:
  static bool bareByte(char c) {
    return sql_lexer::isWordByte(static_cast<unsigned char>(c));
  }

  bool quoted(char quote, std::string* name) {
    name->clear();
    for (std::size_t i = at_ + 1; i < sql_.size(); ++i) {
      if (sql_[i] != quote) {
        name->push_back(sql_[i]);
      } else if (i + 1 < sql_.size() && sql_[i + 1] == quote) {
        name->push_back(quote);
        ++i;
      } else {
        at_ = i + 1;
        return true;
      }
    }
    return false;
  }

  void skipSpace() {
    while (at_ < sql_.size()) {
      if (std::isspace(static_cast<unsigned char>(sql_[at_]))) {
        ++at_;
      } else if (sql_.compare(at_, 2, "/*") == 0 && sql_.compare(at_, 3, "/*!") != 0 &&
                 sql_.compare(at_, 4, "/*M!") != 0) {
        const std::size_t end = sql_.find("*/", at_ + 2);
        at_ = end == std::string_view::npos ? sql_.size() : end + 2;
      } else {
        return;
      }
    }
  }

  std::string_view sql_;
  std::size_t at_ = 0;
};

const char* kindWord(SectionKind kind) {
  switch (kind) {
    case SectionKind::kTrigger: return "TRIGGER";
    case SectionKind::kProcedure: return "PROCEDURE";
    case SectionKind::kFunction: return "FUNCTION";
    case SectionKind::kEvent: return "EVENT";
    default: return "VIEW";
  }
}

// The value that follows `key` in a session line, up to `end`.
std::string valueAfter(std::string_view line, std::string_view key, char end) {
  const std::size_t at = line.find(key);
  if (at == std::string_view::npos) return "";
  const std::size_t from = at + key.size();
  return std::string(line.substr(from, line.find(end, from) - from));
}

}  // namespace

bool isDropOf(std::string_view statement, SectionKind kind, const std::string& name) {
  const char* drop = dropStatement(kind);
  return drop != nullptr && statement == drop + backup_format::quoteIdentifier(name);
}

bool isSessionLine(std::string_view statement, SectionKind kind, bool restore,
                   std::string* characterSet, unsigned long long* sqlMode) {
  ObjectDefinition object;
  object.kind = kind;
  object.hasSqlMode = kind != SectionKind::kNone;
  object.hasTimeZone = kind == SectionKind::kEvent;
  if (!restore) {
    object.characterSet = valueAfter(statement, ", character_set_client = ", ',');
    object.collation = valueAfter(statement, ", collation_connection = ", object.hasSqlMode ? ',' : ' ');
    object.sqlMode = valueAfter(statement, ", sql_mode = '", '\'');
    object.timeZone = valueAfter(statement, ", time_zone = '", '\'');
    if (!sessionIsPlain(object)) return false;
    if (characterSet != nullptr) *characterSet = object.characterSet;
  }
  const char* version = kind == SectionKind::kNone ? "50001" : "50003";
  if (statement != versioned(version, restore ? sessionRestore(object) : sessionSet(object)))
    return false;
  if (sqlMode != nullptr) *sqlMode = restore ? 0 : sql_lexer::sqlModeBits(object.sqlMode);
  return true;
}

bool createsObject(std::string_view sql, SectionKind kind, const std::string& database,
                   std::string* name, std::string* table) {
  HeadReader head(sql);
  if (!head.word("CREATE")) return false;
  const bool view = kind == SectionKind::kNone;
  if (view && head.word("ALGORITHM") && !head.setting(false)) return false;
  if (head.word("DEFINER") && !head.setting(true)) return false;
  if (view && head.word("SQL") && !(head.word("SECURITY") && head.name(name)))
    return false;
  if (kind == SectionKind::kFunction) head.word("AGGREGATE");
  if (!head.word(kindWord(kind)) ||
      (head.word("IF") && !(head.word("NOT") && head.word("EXISTS"))) ||
      !head.objectName(database, name))
    return false;
  if (view) return head.word("AS");
  if (kind != SectionKind::kTrigger) return true;
  std::string on;
  if (!(head.word("BEFORE") || head.word("AFTER")) ||
      !(head.word("INSERT") || head.word("UPDATE") || head.word("DELETE")) ||
      !head.word("ON") || !head.objectName(database, &on))
    return false;
  if (table != nullptr) *table = on;
  return true;
}

namespace {

bool isUtf8Set(const std::string& name) { return name.compare(0, 4, "utf8") == 0; }

// The server's latin1 is Windows-1252: the code points of 0x80 to 0x9F
// (0x81, 0x8D, 0x8F, 0x90 and 0x9D stand for themselves).
constexpr unsigned short kLatin1High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

std::string latin1ToUtf8(const std::string& text) {
  std::string utf8;
  for (char c : text) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const unsigned point = byte >= 0x80 && byte < 0xA0 ? kLatin1High[byte - 0x80] : byte;
    if (point < 0x80) {
      utf8 += static_cast<char>(point);
    } else if (point < 0x800) {
      utf8 += static_cast<char>(0xC0 | (point >> 6));
      utf8 += static_cast<char>(0x80 | (point & 0x3F));
    } else {
      utf8 += static_cast<char>(0xE0 | (point >> 12));
      utf8 += static_cast<char>(0x80 | ((point >> 6) & 0x3F));
      utf8 += static_cast<char>(0x80 | (point & 0x3F));
    }
  }
  return utf8;
}

}  // namespace

bool isDelimiterForm(std::string_view delimiter) {
  if (delimiter.size() < 2 || delimiter.size() > kLongestDelimiter) return false;
  const bool repeated =
      std::string_view(kDelimiterBytes).find(delimiter[0]) != std::string_view::npos &&
      delimiter.find_first_not_of(delimiter[0]) == std::string_view::npos;
  const bool numbered =
      delimiter.size() > 2 && delimiter.substr(0, 2) == std::string(2, kDelimiterBytes[0]) &&
      delimiter.find_first_not_of("0123456789", 2) == std::string_view::npos;
  return repeated || numbered;
}

bool nameInCharset(const std::string& name, const std::string& from, const std::string& to,
                   std::string* converted) {
  const bool ascii =
      std::none_of(name.begin(), name.end(), [](char c) { return (c & 0x80) != 0; });
  if (ascii || from == to || (isUtf8Set(from) && isUtf8Set(to))) {
    *converted = name;
    return true;
  }
  if (from != "latin1" || !isUtf8Set(to)) return false;
  *converted = latin1ToUtf8(name);
  return true;
}

std::string delimiterFor(const std::vector<std::string>& statements) {
  for (size_t length = 2; length <= kLongestDelimiter; ++length)
    for (const char* byte = kDelimiterBytes; *byte != '\0'; ++byte) {
      std::string delimiter(length, *byte);
      if (fitsEvery(delimiter, statements)) return delimiter;
    }
  return numberedDelimiter(kDelimiterBytes[0], statements);
}

std::vector<std::string> objectLines(const ObjectDefinition& object,
                                     bool drop) {
  const char* dropPrefix = dropStatement(object.kind);
  if (!object.error.empty() || dropPrefix == nullptr || !sessionIsPlain(object))
    return {};
  // The DROP runs under the file's mode, the definition under its own.
  const bool ansiQuotes = object.hasSqlMode &&
                          (modeHas(object.sqlMode, "ANSI_QUOTES") ||
                           modeHas(object.sqlMode, "ANSI"));
  const bool escapes =
      !object.hasSqlMode || !modeHas(object.sqlMode, "NO_BACKSLASH_ESCAPES");
  std::vector<std::string> statements;
  if (drop)
    statements.push_back(asWritten(dropPrefix + backup_format::quoteIdentifier(object.name),
                                   object.hexFormTaken, false, true, ""));
  statements.push_back(versioned("50003", sessionSet(object)));
  // A definition whose semicolons the check cannot place inside its blocks
  // (a name BEGIN, a head it does not know) would be refused by it as it
  // stands. Where the server has no hex form, it stays as it stands.
  const bool provenOne = block_count::endsOnlyAtItsEnd(
      object.createText, object.hasSqlMode ? sql_lexer::sqlModeBits(object.sqlMode) : 0);
  statements.push_back(asWritten(object.createText, object.hexFormTaken, ansiQuotes, escapes,
                                 "", provenOne));
  statements.push_back(versioned("50003", sessionRestore(object)));
  for (const std::string& statement : statements)
    if (statement.empty()) return {};
  const std::string delimiter = delimiterFor(statements);
  for (const std::string& statement : statements)
    if (backup_format::clientActsWithin(statement, delimiter, escapes)) return {};

  std::vector<std::string> lines = {backup_format::hashLine(),
                                    backup_format::kDelimiterCommand + delimiter};
  for (const std::string& statement : statements)
    lines.push_back(statement + delimiter);
  lines.push_back(std::string(backup_format::kDelimiterCommand) + ";");
  lines.push_back("");
  return lines;
}

std::vector<std::string> viewLines(const ObjectDefinition& view, bool drop) {
  if (!view.error.empty() || !sessionIsPlain(view)) return {};
  // Views are made under the preamble's mode: backslashes escape, double
  // quotes enclose strings.
  const std::string statement =
      asWritten(view.createText, view.hexFormTaken, false, true, ";");
  if (statement.empty()) return {};
  std::vector<std::string> lines;
  if (drop) lines.push_back(backup_format::dropLine(view.name, true));
  lines.push_back(versioned("50001", sessionSet(view)) + ";");
  lines.push_back(statement + ";");
  lines.push_back(versioned("50001", sessionRestore(view)) + ";");
  return lines;
}

std::string joinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i) {
    if (i != 0) text += '\n';
    text += lines[i];
  }
  return text;
}

void SectionText::take(std::string_view line) {
  if (!empty_) text_ += '\n';
  text_ += line;
  empty_ = false;
  if (inStatements_) {
    // Only a delimiter that ended the line before closes the statements:
    // it occurs nowhere inside them.
    if (statementEnded_ && line == std::string(backup_format::kDelimiterCommand) + ";") {
      inStatements_ = false;
      return;
    }
    statementEnded_ = endsWith(line, delimiter_);
    return;
  }
  std::string_view command(backup_format::kDelimiterCommand);
  if (line.substr(0, command.size()) == command &&
      line.size() > command.size() + 1) {
    delimiter_ = std::string(line.substr(command.size()));
    inStatements_ = true;
    statementEnded_ = false;
  }
}

int countChanges(const std::vector<PreviousObject>& previous,
                 const std::vector<ObjectDefinition>& current, bool drop) {
  auto key = [](SectionKind kind, const std::string& commentName) {
    return std::to_string(static_cast<int>(kind)) + ":" + commentName;
  };
  std::unordered_map<std::string, size_t> positions;
  for (size_t i = 0; i < previous.size(); ++i)
    positions.emplace(key(previous[i].kind, previous[i].name), i);
  std::vector<bool> kept(previous.size(), false);
  int changed = 0;
  size_t lastPosition = 0;  // of the last unchanged object before
  for (const ObjectDefinition& object : current) {
    auto found =
        positions.find(key(object.kind, backup_format::commentName(object.name)));
    if (found == positions.end()) {
      ++changed;  // added
      continue;
    }
    const size_t position = found->second;
    kept[position] = true;
    std::vector<std::string> lines = objectLines(object, drop);
    if (lines.empty() || position < lastPosition ||
        previous[position].section.text() != joinLines(lines)) {
      ++changed;
      continue;
    }
    lastPosition = position;
  }
  for (bool wasKept : kept)
    if (!wasKept) ++changed;  // dropped
  return changed;
}

}  // namespace object_section
