// A statement of the server's binary log, read as far as it can be proven:
// the session it ran in (from the query event's status block) and the
// words that may name an object, lexed as the server lexed them. Anything
// this reading cannot be sure of is reported as such, never guessed: the
// caller then gives up on the statement instead of trusting it.
#ifndef VKT_BACKUP_LOG_STATEMENT_H_
#define VKT_BACKUP_LOG_STATEMENT_H_

#include <string>
#include <string_view>
#include <unordered_set>

#include "backup/sql_lexer.h"

namespace log_statement {

// What a query event's status block tells of the session it ran in.
struct Session {
  bool known = false;           // the block was read to its end
  bool hasCharset = false;      // it names the client's character set
  unsigned clientCollation = 0;  // character_set_client, as a collation id
  unsigned long long sqlMode = 0;
};

// Reads a query event's status block. Not `known` when it holds a code
// whose length this reader does not know, or ends inside a value.
Session readSession(std::string_view status);

// The words of a statement that may name a database, table, view or
// routine: quoted identifiers and bare words, in ASCII lower case. Number
// literals and the texts of string literals are left out; so are
// comments, except versioned ones, which the server runs. False when the
// text cannot be lexed for sure under `sqlMode` (a quote or comment that
// does not end, a mode whose parser differs); the caller must have made
// sure that the text's character set is one in which no byte of a
// character of several is an ASCII byte (UTF-8, single-byte sets).
// `qualifiers`, when given, gets the words that stand before a dot (a
// database, or a table or alias of a column), and, to be sure, those
// that a comment follows.
bool readWords(std::string_view statement, unsigned long long sqlMode,
               std::unordered_set<std::string>* words,
               std::unordered_set<std::string>* qualifiers = nullptr);

// The first word of a statement, in ASCII lower case ("" when it starts
// with none).
std::string firstWord(std::string_view statement);

// ASCII lower case: the server compares names case-insensitively where
// the file system does, and erring towards a match errs towards "changed".
std::string lower(std::string_view text);

}  // namespace log_statement

#endif  // VKT_BACKUP_LOG_STATEMENT_H_
