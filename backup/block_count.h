// Where the server may end a definition that a restore sends whole: the
// blocks of a routine's, trigger's or event's body, counted as the server
// parses them, so that every semicolon can be told to stand inside one.
#ifndef VKT_BACKUP_BLOCK_COUNT_H_
#define VKT_BACKUP_BLOCK_COUNT_H_

#include <string_view>

namespace block_count {

// True when the server can end the definition `sql` (without its
// delimiter) nowhere but at its end: every semicolon outside quotes and
// comments stands inside a block of its body (BEGIN ... END, IF ... END
// IF, a loop, a CASE statement), or, under Oracle's mode, among the
// declarations before the body's block. A text that the stock client sends
// whole and that held a semicolon besides would have the server run what
// follows it as a statement of its own. `sqlMode` holds the definition's
// mode bits (sql_lexer).
//
// Only what can be proven counts: the head must be one the server prints
// (CREATE ... PROCEDURE, FUNCTION, TRIGGER or EVENT), and a word opens a
// block only where a statement begins, so that BEGIN or END used as a
// name never does. False also where the text cannot be lexed for sure
// (a quote or comment that does not end) or its blocks do not pair.
bool endsOnlyAtItsEnd(std::string_view sql, unsigned long long sqlMode);

}  // namespace block_count

#endif  // VKT_BACKUP_BLOCK_COUNT_H_
