// How the server lexes a statement: the sql_mode bits that change it, and
// the tokens it reads, as far as they can be proven. Anything this lexer
// cannot be sure of is reported as such, never guessed: the caller then
// gives up on the text instead of trusting it. Both the reader of the
// binary log and the checker of a backup's definitions lex through here.
#ifndef VKT_BACKUP_SQL_LEXER_H_
#define VKT_BACKUP_SQL_LEXER_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace sql_lexer {

// The sql_mode bits that change how a statement is lexed or parsed.
constexpr unsigned long long kModeAnsiQuotes = 1ull << 2;
constexpr unsigned long long kModeOracle = 1ull << 9;
constexpr unsigned long long kModeMssql = 1ull << 10;
constexpr unsigned long long kModeNoBackslashEscapes = 1ull << 20;

// The bits of those modes in an sql_mode as the server spells it
// ("STRICT_TRANS_TABLES,ANSI_QUOTES"). The combined modes that include
// ANSI_QUOTES are spelt out by the server, so their parts are seen.
unsigned long long sqlModeBits(std::string_view names);

// One token of a statement as the server lexes it: a bare word, a quoted
// name, a string, or a byte of punctuation. A comment is a token of its
// own (no text), as is the opening of a versioned comment, whose text is
// read as the code the server runs: a server older than its version skips
// what it holds.
struct Token {
  enum class Kind { kWord, kName, kString, kPunctuation, kComment, kVersionedComment };
  Kind kind;
  // A name without its quotes, a doubled quote as one; "" for a string;
  // a versioned comment's opening as it stands ("/*!50003").
  std::string text;
  size_t end;        // where it ends in the statement
};

// Hands each token of `statement` to `visit`, in order, lexed under
// `sqlMode`'s ANSI_QUOTES, NO_BACKSLASH_ESCAPES and MSSQL (names in
// brackets). False when the text cannot be lexed for sure: a quote or a
// comment that does not end, or a versioned comment opened inside
// another. The caller must have made sure that the text's character set
// is one in which no byte of a character of several is an ASCII byte
// (UTF-8, single-byte sets).
bool readTokens(std::string_view statement, unsigned long long sqlMode,
                const std::function<void(const Token&)>& visit);

// The tokens of `statement` as readTokens() gives them, comments left
// out and each word in ASCII upper case: what a reader of the server's
// grammar compares its keywords with. False when readTokens() is.
bool readKeywordTokens(std::string_view statement, unsigned long long sqlMode,
                       std::vector<Token>* tokens);

// True when the server reads `statement` under `sqlMode` as it reads a
// CREATE TABLE or CREATE VIEW that SHOW CREATE printed: lexed for sure,
// without a semicolon and without a comment (versioned ones aside). A
// client that lexes otherwise (it takes "--" and a control byte for no
// comment) may send text that the server runs as a second statement.
bool readsAsOnePlainStatement(std::string_view statement, unsigned long long sqlMode);

// A byte of a bare word: letters, digits, '_', '$' and every byte of a
// character beyond ASCII.
bool isWordByte(unsigned char byte);

}  // namespace sql_lexer

#endif  // VKT_BACKUP_SQL_LEXER_H_
