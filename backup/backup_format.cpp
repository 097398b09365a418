#include "backup/backup_format.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>

#include <strings.h>

namespace backup_format {

const std::string& hashLine() {
  static const std::string line(kHashLineLength, kCommentMark);
  return line;
}

namespace {

struct SectionMarker {
  SectionKind kind;
  const char* opener;
};

constexpr SectionMarker kSectionMarkers[] = {
    {SectionKind::kTrigger, kTriggerCommentPrefix},
    {SectionKind::kProcedure, kProcedureCommentPrefix},
    {SectionKind::kFunction, kFunctionCommentPrefix},
    {SectionKind::kEvent, kEventCommentPrefix},
    {SectionKind::kSettings, kSettingsCommentPrefix},
};

// `part` with every byte that may not stand in a file name part replaced.
std::string namePart(const std::string& part) {
  std::string safe = part;
  for (char& c : safe) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
  }
  return safe;
}

}  // namespace

SectionKind sectionKind(std::string_view line) {
  if (line.empty() || line[0] != kCommentMark ||
      line.find(kNameQuote) == std::string_view::npos)
    return SectionKind::kNone;
  for (const SectionMarker& marker : kSectionMarkers)
    if (startsWith(line, marker.opener)) return marker.kind;
  return SectionKind::kTable;
}

std::string sectionOpener(SectionKind kind, const std::string& name) {
  const char* opener = kTableCommentPrefix;
  for (const SectionMarker& marker : kSectionMarkers)
    if (marker.kind == kind) opener = marker.opener;
  return opener + commentName(name) + "'";
}

std::string settingsText(bool saveStructure, bool saveData, bool dropTable) {
  auto bit = [](bool on) { return on ? "1" : "0"; };
  return std::string("save-strucktur=") + bit(saveStructure) +
         " save-daten=" + bit(saveData) + " droptable=" + bit(dropTable);
}

std::string settingsLine(const std::string& settings) {
  return kSettingsCommentPrefix + settings + "'";
}

std::string identityLine(const std::string& table, const std::string& identity) {
  return kIdentityCommentPrefix + commentName(table) + "' " + identity;
}

namespace {

// A word of the log position line: no blank, apostrophe or control byte.
bool plainWord(std::string_view word) {
  if (word.empty()) return false;
  for (char c : word)
    if (static_cast<unsigned char>(c) <= ' ' || c == kNameQuote || c == 0x7F)
      return false;
  return true;
}

bool wholeNumber(std::string_view text, unsigned long long* number) {
  if (text.empty() || text.size() > 19) return false;
  *number = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    *number = *number * 10 + static_cast<unsigned>(c - '0');
  }
  return true;
}

}  // namespace

std::string logPositionLine(const LogPosition& at) {
  if (!plainWord(at.file) || (!at.gtid.empty() && !plainWord(at.gtid))) return "";
  return kLogPositionCommentPrefix + at.file + "' " + std::to_string(at.position) +
         " " + (at.start > 0 ? std::to_string(at.start) : "-") + " " +
         (at.gtid.empty() ? "-" : at.gtid);
}

bool parseLogPositionLine(std::string_view line, LogPosition* at) {
  if (!startsWith(line, kLogPositionCommentPrefix)) return false;
  line.remove_prefix(sizeof(kLogPositionCommentPrefix) - 1);
  const size_t quote = line.find(kNameQuote);
  if (quote == std::string_view::npos || quote + 1 >= line.size() ||
      line[quote + 1] != ' ')
    return false;
  LogPosition read;
  read.file = std::string(line.substr(0, quote));
  std::string_view rest = line.substr(quote + 2);
  std::string_view words[3];
  for (auto& word : words) {
    const size_t blank = rest.find(' ');
    word = rest.substr(0, blank);
    rest = blank == std::string_view::npos ? std::string_view() : rest.substr(blank + 1);
  }
  unsigned long long start = 0;
  if (!plainWord(read.file) || !rest.empty() || !plainWord(words[2]) ||
      !wholeNumber(words[0], &read.position) ||
      (words[1] != "-" && !wholeNumber(words[1], &start)))
    return false;
  read.start = static_cast<long long>(start);
  if (words[2] != "-") read.gtid = std::string(words[2]);
  *at = read;
  return true;
}

bool parseIdentityLine(std::string_view line, std::string* table,
                       std::string* identity) {
  if (!startsWith(line, kIdentityCommentPrefix)) return false;
  const size_t first = sizeof(kIdentityCommentPrefix) - 1;
  const size_t last = line.rfind(kNameQuote);
  if (last < first || last + 1 >= line.size() || line[last + 1] != ' ')
    return false;
  *table = nameFromComment(line.substr(first, last - first));
  *identity = std::string(line.substr(last + 2));
  return !identity->empty();
}

std::string hexDigits(std::string_view bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (char c : bytes) {
    const unsigned char byte = static_cast<unsigned char>(c);
    hex += kDigits[byte >> 4];
    hex += kDigits[byte & 0xF];
  }
  return hex;
}

std::string commentName(const std::string& name) {
  std::string text;
  for (char c : name) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      text += "\\\\";
    } else if (c == '\n') {
      text += "\\n";
    } else if (c == '\r') {
      text += "\\r";
    } else if (byte < 0x20 || byte == 0x7F) {
      text += "\\x" + hexDigits(std::string_view(&c, 1));
    } else {
      text += c;
    }
  }
  return text;
}

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::string nameFromComment(std::string_view text) {
  std::string name;
  for (size_t i = 0; i < text.size(); ++i) {
    char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (text[i] != '\\' || (next != '\\' && next != 'n' && next != 'r' && next != 'x')) {
      name += text[i];
    } else if (next != 'x') {
      name += next == 'n' ? '\n' : next == 'r' ? '\r' : '\\';
      ++i;
    } else if (i + 3 < text.size() && hexDigit(text[i + 2]) >= 0 &&
               hexDigit(text[i + 3]) >= 0) {
      name += static_cast<char>(hexDigit(text[i + 2]) * 16 + hexDigit(text[i + 3]));
      i += 3;
    } else {
      name += text[i];
    }
  }
  return name;
}

std::string fileName(const std::string& savePath, const std::string& database,
                     const std::string& stamp, bool compressed) {
  return savePath + "/" + fileNamePrefix(database) + namePart(stamp) +
         kFileSuffix + (compressed ? kCompressedSuffix : "");
}

std::string fileNamePrefix(const std::string& database) {
  return namePart(database) + "-";
}

std::string quoteIdentifier(const std::string& name) {
  std::string quoted = "`";
  for (char c : name) {
    quoted += c;
    if (c == '`') quoted += '`';
  }
  quoted += '`';
  return quoted;
}

bool readQuotedIdentifier(std::string_view text, std::size_t* at, std::string* name) {
  if (*at >= text.size() || text[*at] != '`') return false;
  if (name != nullptr) name->clear();
  for (std::size_t i = *at + 1; i < text.size(); ++i) {
    if (text[i] == '`' && !(i + 1 < text.size() && text[i + 1] == '`')) {
      *at = i + 1;
      return true;
    }
    if (name != nullptr) name->push_back(text[i]);
    if (text[i] == '`') ++i;  // the first of a doubled backquote
  }
  return false;
}

bool lineFeedInQuotes(std::string_view sql) {
  char quote = 0;  // the quote of the name or string we are in, or 0
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (quote == 0) {
      if (c == '`' || c == '\'' || c == '"') quote = c;
    } else if (c == '\n') {
      return true;
    } else if (c == '\\' && quote != '`' && i + 1 < sql.size()) {
      if (sql[++i] == '\n') return true;  // an escaped byte
    } else if (c == quote) {
      quote = 0;  // a doubled quote closes and opens again
    }
  }
  return false;
}

namespace {

// What the client takes for white space after "--".
bool clientSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' ||
         c == '\f';
}

}  // namespace

// Follows the client's reading of a file line by line: strings of three
// quotes (the backquote's without escapes), /* */ comments that are not
// executable ones, and "#" or "-- " to the end of the line.
bool clientActsWithin(std::string_view sql, std::string_view delimiter,
                      bool backslashEscapes) {
  return clientReading(sql, delimiter, backslashEscapes) != ClientReading::kSends;
}

// The words that the stock client takes, at the start of a statement's
// first line, for a command of its own rather than SQL to send.
constexpr const char* kClientCommands[] = {
    "?",       "charset", "clear",  "connect", "delimiter", "edit",
    "ego",     "exit",    "go",     "help",    "nopager",   "notee",
    "nowarning", "pager", "print",  "prompt",  "quit",      "rehash",
    "source",  "status",  "system", "tee",     "use",       "warnings"};

// The first word of a line, as the client looks it up among its commands.
bool isClientCommand(std::string_view line) {
  std::size_t length = 0;
  while (length < line.size() && !std::isspace(static_cast<unsigned char>(line[length])) &&
         line[length] != ';')
    ++length;
  if (length == 0) return false;
  for (const char* command : kClientCommands)
    if (std::strlen(command) == length &&
        strncasecmp(command, line.data(), length) == 0)
      return true;
  return false;
}

ClientReading clientReading(std::string_view sql, std::string_view delimiter,
                            bool backslashEscapes, std::size_t* at, bool* commented) {
  char quote = 0;          // the string the client is in, or 0
  bool inComment = false;  // in a /* */ comment
  std::size_t opened = 0;  // where that string or comment began
  std::size_t unused;
  if (at == nullptr) at = &unused;
  for (size_t i = 0; i < sql.size(); ++i) {
    const char c = sql[i];
    const bool lineGoesOn = i + 1 < sql.size() && sql[i + 1] != '\n';
    const char next = lineGoesOn ? sql[i + 1] : '\0';
    if (c == '\0') {
      *at = i;
      return ClientReading::kNul;
    }
    if (inComment) {
      if (c == '*' && next == '/') {
        inComment = false;
        ++i;
      }
    } else if (c == '\\' && quote != '`' && (quote == 0 || backslashEscapes)) {
      // In a string, an escaped byte. Elsewhere a command, an unknown one
      // (which stops the restore), or at the line's end a byte dropped.
      if (quote == 0 && next != 'N') {
        *at = i;
        return ClientReading::kCommand;
      }
      if (lineGoesOn) ++i;
    } else if (quote != 0) {
      if (c == quote) quote = 0;
    } else if (sql.substr(i, delimiter.size()) == delimiter) {
      *at = i;
      return ClientReading::kDelimiterInside;
    } else if (c == '#' ||
               (c == '-' && next == '-' &&
                (i + 2 >= sql.size() || clientSpace(sql[i + 2])))) {
      if (commented != nullptr) *commented = true;
      // A comment on the statement's last line takes in the delimiter
      // after it: the client reads on.
      if (sql.find('\n', i) == std::string_view::npos && (c == '#' || i + 2 < sql.size())) {
        *at = i;
        return ClientReading::kLeftOpen;
      }
      i = std::min(sql.find('\n', i), sql.size()) - 1;  // to the line end
    } else if (c == '/' && next == '*' && sql.substr(i + 2, 1) != "!" &&
               sql.substr(i + 2, 2) != "M!") {
      inComment = true;
      if (commented != nullptr) *commented = true;
      opened = i;
      ++i;
    } else if (c == '\'' || c == '"' || c == '`') {
      quote = c;
      opened = i;
    }
  }
  *at = opened;
  return quote != 0 || inComment ? ClientReading::kLeftOpen : ClientReading::kSends;
}

bool plainToEveryReader(std::string_view sql, bool ansiQuotes) {
  for (char c : sql) {
    const unsigned char byte = static_cast<unsigned char>(c);
    const bool control = (byte < 0x20 && c != '\t' && c != '\n' && c != '\r') ||
                         byte == 0x7F;
    if (byte > 0x7F || control || c == '\\' || (ansiQuotes && c == '"'))
      return false;
  }
  return true;
}

std::string hexStatement(std::string_view sql) {
  return kHexStatementPrefix + hexDigits(sql);
}

bool statementFromHex(std::string_view statement, std::string* sql) {
  const std::string_view prefix = kHexStatementPrefix;
  if (statement.substr(0, prefix.size()) != prefix) return false;
  const std::string_view digits = statement.substr(prefix.size());
  if (digits.empty() || digits.size() % 2 != 0) return false;
  sql->clear();
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    const int high = hexDigit(digits[i]), low = hexDigit(digits[i + 1]);
    if (high < 0 || low < 0) return false;
    sql->push_back(static_cast<char>(high * 16 + low));
  }
  return true;
}

std::string dropLine(const std::string& table, bool isView) {
  return (isView ? kDropViewPrefix : kDropTablePrefix) +
         quoteIdentifier(table) + ";";
}

std::string rowLineStartFor(const std::string& table) {
  return "INSERT INTO " + quoteIdentifier(table) + " ";
}

std::string rowLinePrefix(const std::string& table,
                          const std::vector<std::string>& columns) {
  std::string prefix = rowLineStartFor(table);
  if (!columns.empty()) {
    prefix += "(";
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i != 0) prefix += ",";
      prefix += quoteIdentifier(columns[i]);
    }
    prefix += ") ";
  }
  prefix += kValuesWord;
  prefix += kRowValuesStart;
  return prefix;
}

bool isRowLine(std::string_view line) {
  return line.substr(0, sizeof(kRowLineStart) - 1) == kRowLineStart;
}

bool isRowsBlockLine(std::string_view line) {
  return isRowLine(line) ||
         line.substr(0, sizeof(kRowValuesStart) - 1) == kRowValuesStart;
}

std::string statementHead(const std::string& table,
                          const std::vector<std::string>& columns) {
  std::string head = rowLinePrefix(table, columns);
  return head.substr(0, head.size() - 2);
}

namespace {

// The part of the preamble that fixes how rows are read.
std::string rowSession(const std::string& characterSet) {
  return std::string(kPreambleStart) + characterSet +
         " */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */;"
         " /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;"
         " /*!40103 SET TIME_ZONE='+00:00' */;";
}

constexpr char kBulkLoad[] = " /*!40014 SET autocommit=0 */;";

}  // namespace

std::string preambleLine(const std::string& characterSet) {
  return rowSession(characterSet) + kBulkLoad;
}

std::string clientCharsetLine(const std::string& characterSet) {
  const bool word =
      !characterSet.empty() &&
      std::all_of(characterSet.begin(), characterSet.end(), [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
               (c >= '0' && c <= '9') || c == '_';
      });
  return word ? kClientCharsetStart + characterSet + kClientCharsetEnd : "";
}

std::vector<std::string> preambleStatements(std::string_view line) {
  std::vector<std::string> statements;
  const std::string_view start = kPreambleStart;
  if (line.substr(0, start.size()) != start) return statements;
  std::size_t end = start.size();
  while (end < line.size() &&
         (std::isalnum(static_cast<unsigned char>(line[end])) || line[end] == '_'))
    ++end;
  const std::string characterSet(line.substr(start.size(), end - start.size()));
  if (characterSet.empty() || !rowsReadAlike(line, characterSet)) return statements;
  // The line holds no ';' but the one after each statement.
  for (std::size_t from = 0; from < line.size();) {
    const std::size_t semicolon = line.find(';', from);
    statements.emplace_back(line.substr(from, semicolon - from));
    from = semicolon + 1;
    while (from < line.size() && line[from] == ' ') ++from;
  }
  return statements;
}

bool lexedByteWise(std::string_view characterSet) {
  static const std::unordered_set<std::string_view> kByteWise = {
      "utf8mb4", "utf8mb3", "utf8",   "ascii",   "binary",   "latin1",  "latin2",
      "latin5",  "latin7",  "cp1250", "cp1251",  "cp1256",   "cp1257",  "cp850",
      "cp852",   "cp866",   "dec8",   "hp8",     "koi8r",    "koi8u",   "swe7",
      "greek",   "hebrew",  "armscii8", "geostd8", "keybcs2", "macce",  "macroman",
      "tis620",  "ujis",    "eucjpms", "euckr",  "gb2312"};
  return kByteWise.count(characterSet) != 0;
}

bool rowsReadAlike(std::string_view previousPreamble,
                   const std::string& characterSet) {
  const std::string rows = rowSession(characterSet);
  return previousPreamble == rows || previousPreamble == rows + kBulkLoad;
}

std::vector<std::string> closingLines() {
  return {kCommitLine};
}

std::vector<std::string> headerLines(const std::string& database,
                                     const std::string& createdText) {
  return {hashLine(),
          "#",
          kHeaderDatabasePrefix + commentName(database) + "'",
          kHeaderCreatedPrefix + createdText,
          "#",
          hashLine(),
          kSandboxLine,
          ""};
}

bool headerNamesDatabase(std::string_view fileStart, const std::string& database) {
  const std::string wanted = kHeaderDatabasePrefix + commentName(database) + "'";
  size_t begin = 0;
  for (int line = 0; line < 2; ++line) {
    begin = fileStart.find('\n', begin);
    if (begin == std::string_view::npos) return false;
    ++begin;
  }
  const size_t end = fileStart.find('\n', begin);
  if (end == std::string_view::npos) return false;
  std::string_view third = fileStart.substr(begin, end - begin);
  if (!third.empty() && third.back() == '\r') third.remove_suffix(1);
  return third == wanted;
}

bool keepsRowsElsewhere(std::string_view engine) {
  for (const char* name : {"MRG_MyISAM", "MRG_ISAM", "FEDERATED", "SPIDER", "SPHINX", "BLACKHOLE"})
    if (engine.size() == std::strlen(name) && strncasecmp(engine.data(), name, engine.size()) == 0)
      return true;
  return false;
}

}  // namespace backup_format
