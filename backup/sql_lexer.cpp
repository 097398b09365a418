#include "backup/sql_lexer.h"

namespace sql_lexer {
namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Where a quoted name that starts at `at` (its opening quote) ends, after
// `close`; npos when it does not end. Its bytes go to `content`, a doubled
// closing quote as one. Backslashes escape nothing in a name.
size_t quotedEnd(std::string_view text, size_t at, char close, std::string* content) {
  for (size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == close) {
      if (i + 1 < text.size() && text[i + 1] == close) {
        *content += close;
        ++i;
        continue;
      }
      return i + 1;
    }
    *content += text[i];
  }
  return std::string_view::npos;
}

// Where a string that starts at `at` (its opening quote) ends, after its
// closing quote; npos when it does not end. Backslashes escape unless the
// mode says not; a doubled quote stands for itself in any.
size_t stringEnd(std::string_view text, size_t at, bool backslashEscapes) {
  const char quote = text[at];
  for (size_t i = at + 1; i < text.size(); ++i) {
    if (text[i] == '\\' && backslashEscapes) {
      if (++i == text.size()) return std::string_view::npos;
    } else if (text[i] == quote) {
      if (i + 1 < text.size() && text[i + 1] == quote) ++i;
      else return i + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

bool isWordByte(unsigned char byte) {
  return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') ||
         (byte >= '0' && byte <= '9') || byte == '_' || byte == '$' || byte >= 0x80;
}

bool readTokens(std::string_view text, unsigned long long sqlMode,
                const std::function<void(const Token&)>& visit) {
  const bool ansiQuotes = (sqlMode & kModeAnsiQuotes) != 0;
  const bool brackets = (sqlMode & kModeMssql) != 0;
  const bool backslashEscapes = (sqlMode & kModeNoBackslashEscapes) == 0;
  bool inVersioned = false;  // inside /*! ... */, which the server runs
  Token token;
  const auto visitComment = [&](size_t end) {
    token.kind = Token::Kind::kComment;
    token.text.clear();
    token.end = end;
    visit(token);
  };
  size_t i = 0;
  while (i < text.size()) {
    const char c = text[i];
    const char next = i + 1 < text.size() ? text[i + 1] : '\0';
    if (c == '`' || (c == '"' && ansiQuotes) || (c == '[' && brackets)) {
      token.text.clear();
      const size_t end = quotedEnd(text, i, c == '[' ? ']' : c, &token.text);
      if (end == std::string_view::npos) return false;
      token.kind = Token::Kind::kName;
      token.end = i = end;
      visit(token);
    } else if (c == '\'' || c == '"') {
      i = stringEnd(text, i, backslashEscapes);
      if (i == std::string_view::npos) return false;
      token.kind = Token::Kind::kString;
      token.text.clear();
      token.end = i;
      visit(token);
    } else if (c == '#' || (c == '-' && next == '-' &&
                            (i + 2 == text.size() ||
                             static_cast<unsigned char>(text[i + 2]) <= ' '))) {
      const size_t end = text.find('\n', i);
      i = end == std::string_view::npos ? text.size() : end + 1;
      visitComment(i);
    } else if (c == '/' && next == '*') {
      if ((i + 2 < text.size() && text[i + 2] == '!') || text.substr(i + 2, 2) == "M!") {
        if (inVersioned) return false;
        inVersioned = true;
        const size_t begin = i;
        i = text.find('!', i) + 1;
        while (i < text.size() && isDigit(text[i])) ++i;
        token.kind = Token::Kind::kVersionedComment;
        token.text.assign(text.substr(begin, i - begin));
        token.end = i;
        visit(token);
      } else {
        const size_t end = text.find("*/", i + 2);
        if (end == std::string_view::npos) return false;
        i = end + 2;
        visitComment(i);
      }
    } else if (c == '*' && next == '/' && inVersioned) {
      inVersioned = false;
      i += 2;
    } else if (isWordByte(static_cast<unsigned char>(c))) {
      const size_t begin = i;
      while (i < text.size() && isWordByte(static_cast<unsigned char>(text[i]))) ++i;
      token.kind = Token::Kind::kWord;
      token.text.assign(text.substr(begin, i - begin));
      token.end = i;
      visit(token);
    } else {
      ++i;
      if (static_cast<unsigned char>(c) <= ' ') continue;
      token.kind = Token::Kind::kPunctuation;
      token.text.assign(1, c);
      token.end = i;
      visit(token);
    }
  }
  return !inVersioned;
}

bool readKeywordTokens(std::string_view statement, unsigned long long sqlMode,
                       std::vector<Token>* tokens) {
  return readTokens(statement, sqlMode, [tokens](const Token& token) {
    if (token.kind == Token::Kind::kComment) return;
    tokens->push_back(token);
    if (token.kind != Token::Kind::kWord) return;
    for (char& c : tokens->back().text)
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  });
}

bool readsAsOnePlainStatement(std::string_view statement, unsigned long long sqlMode) {
  bool plain = true;
  return readTokens(statement, sqlMode,
                    [&plain](const Token& token) {
                      if (token.kind == Token::Kind::kComment ||
                          (token.kind == Token::Kind::kPunctuation && token.text == ";"))
                        plain = false;
                    }) &&
         plain;
}

unsigned long long sqlModeBits(std::string_view names) {
  unsigned long long bits = 0;
  while (!names.empty()) {
    const size_t comma = names.find(',');
    const std::string_view name = names.substr(0, comma);
    if (name == "ANSI_QUOTES") bits |= kModeAnsiQuotes;
    if (name == "NO_BACKSLASH_ESCAPES") bits |= kModeNoBackslashEscapes;
    if (name == "ORACLE") bits |= kModeOracle;
    if (name == "MSSQL") bits |= kModeMssql;
    names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
  }
  return bits;
}

}  // namespace sql_lexer
