#include "backup/log_statement.h"

#include <cctype>
#include <cstdint>
#include <utility>

namespace log_statement {
namespace {

// Status variable codes of a query event, as the server writes them.
enum Code : unsigned char {
  kFlags2 = 0, kSqlMode = 1, kCatalog = 2, kAutoIncrement = 3, kCharset = 4,
  kTimeZone = 5, kCatalogNz = 6, kLcTimeNames = 7, kCharsetDatabase = 8,
  kTableMapForUpdate = 9, kMasterDataWritten = 10, kInvokers = 11,
  kUpdatedDbNames = 12, kMicroseconds = 13, kExplicitDefaultsForTimestamp = 16,
  kDdlLoggedWithXid = 17, kDefaultCollationForUtf8 = 18, kSqlRequirePrimaryKey = 19,
  kDefaultTableEncryption = 20, kHrNow = 128, kXid = 129, kGtidFlags3 = 130,
};

// The fixed length of a code's value; 0 for a code whose value says its
// own length, -1 for a code this reader does not know.
int fixedLength(unsigned char code) {
  switch (code) {
    case kFlags2: case kMasterDataWritten: case kAutoIncrement: return 4;
    case kSqlMode: case kTableMapForUpdate: case kDdlLoggedWithXid: case kXid: return 8;
    case kCharset: return 6;
    case kLcTimeNames: case kCharsetDatabase: case kDefaultCollationForUtf8: return 2;
    case kMicroseconds: case kHrNow: return 3;
    case kExplicitDefaultsForTimestamp: case kSqlRequirePrimaryKey:
    case kDefaultTableEncryption: case kGtidFlags3: return 1;
    case kCatalog: case kTimeZone: case kCatalogNz: case kInvokers: case kUpdatedDbNames:
      return 0;
    default: return -1;
  }
}

unsigned long long littleEndian(std::string_view bytes) {
  unsigned long long value = 0;
  for (size_t i = bytes.size(); i > 0; --i)
    value = (value << 8) | static_cast<unsigned char>(bytes[i - 1]);
  return value;
}

// The length of a value that says its own, starting at `at`; 0 when it
// runs past the end.
size_t ownLength(unsigned char code, std::string_view status, size_t at) {
  const auto byteAt = [&](size_t i) -> size_t {
    return i < status.size() ? static_cast<unsigned char>(status[i]) : SIZE_MAX;
  };
  size_t length = 0;
  switch (code) {
    case kCatalog:  // length, text, NUL
      if (byteAt(at) == SIZE_MAX) return 0;
      length = 1 + byteAt(at) + 1;
      break;
    case kTimeZone: case kCatalogNz:  // length, text
      if (byteAt(at) == SIZE_MAX) return 0;
      length = 1 + byteAt(at);
      break;
    case kInvokers: {  // user and host, each length and text
      if (byteAt(at) == SIZE_MAX) return 0;
      const size_t user = 1 + byteAt(at);
      if (byteAt(at + user) == SIZE_MAX) return 0;
      length = user + 1 + byteAt(at + user);
      break;
    }
    case kUpdatedDbNames: {  // a count, then as many NUL-ended names
      const size_t count = byteAt(at);
      if (count == SIZE_MAX) return 0;
      length = 1;
      if (count == 254) break;  // too many to list: none follow
      for (size_t n = 0; n < count; ++n) {
        const size_t end = status.find('\0', at + length);
        if (end == std::string_view::npos) return 0;
        length = end - at + 1;
      }
      break;
    }
    default: return 0;
  }
  return at + length <= status.size() ? length : 0;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// A bare word the server reads as a number: digits, a hexadecimal or
// binary literal, or digits with an exponent.
bool isNumber(std::string_view word) {
  if (word.empty() || !isDigit(word[0])) return false;
  size_t i = 0;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'b')) {
    for (i = 2; i < word.size(); ++i)
      if (!std::isxdigit(static_cast<unsigned char>(word[i]))) return false;
    return true;
  }
  while (i < word.size() && isDigit(word[i])) ++i;
  if (i < word.size() && (word[i] == 'e' || word[i] == 'E')) {
    ++i;
    if (i == word.size()) return false;
    while (i < word.size() && isDigit(word[i])) ++i;
  }
  return i == word.size();
}

}  // namespace

std::string lower(std::string_view text) {
  std::string lowered(text);
  for (char& c : lowered)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return lowered;
}

Session readSession(std::string_view status) {
  Session session;
  size_t at = 0;
  while (at < status.size()) {
    const unsigned char code = static_cast<unsigned char>(status[at++]);
    const int fixed = fixedLength(code);
    if (fixed < 0) return session;
    const size_t length = fixed > 0 ? static_cast<size_t>(fixed) : ownLength(code, status, at);
    if (length == 0 || at + length > status.size()) return session;
    const std::string_view value = status.substr(at, length);
    if (code == kSqlMode) session.sqlMode = littleEndian(value);
    if (code == kCharset) {
      session.hasCharset = true;
      session.clientCollation = static_cast<unsigned>(littleEndian(value.substr(0, 2)));
    }
    at += length;
  }
  session.known = true;
  return session;
}

bool readWords(std::string_view text, unsigned long long sqlMode,
               std::unordered_set<std::string>* words,
               std::unordered_set<std::string>* qualifiers) {
  if ((sqlMode & (sql_lexer::kModeOracle | sql_lexer::kModeMssql)) != 0) return false;
  // A name ending at `end` that a dot follows qualifies the next name.
  // Whatever may stand between them (a comment, the end of a versioned
  // one) is taken for such a dot: a qualifier missed would let a name of
  // another database pass for one of this database's.
  const auto noteQualifier = [&](size_t end, const std::string& name) {
    if (qualifiers == nullptr) return;
    while (end < text.size() && static_cast<unsigned char>(text[end]) <= ' ') ++end;
    const std::string_view after = text.substr(end, 2);
    if (after.empty()) return;
    if (after[0] == '.' || after[0] == '#' || after == "/*" || after == "*/" || after == "--")
      qualifiers->insert(name);
  };
  return sql_lexer::readTokens(text, sqlMode, [&](const sql_lexer::Token& token) {
    // Numbers name nothing, nor does an empty name: the server refuses it.
    using Kind = sql_lexer::Token::Kind;
    if ((token.kind != Kind::kWord && token.kind != Kind::kName) || token.text.empty() ||
        (token.kind == Kind::kWord && isNumber(token.text)))
      return;
    std::string name = lower(token.text);
    noteQualifier(token.end, name);
    words->insert(std::move(name));
  });
}

std::string firstWord(std::string_view statement) {
  size_t begin = 0;
  while (begin < statement.size() &&
         !sql_lexer::isWordByte(static_cast<unsigned char>(statement[begin])))
    ++begin;
  size_t end = begin;
  while (end < statement.size() && sql_lexer::isWordByte(static_cast<unsigned char>(statement[end])))
    ++end;
  return lower(statement.substr(begin, end - begin));
}

}  // namespace log_statement
