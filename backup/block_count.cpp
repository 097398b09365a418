#include "backup/block_count.h"

#include <algorithm>
#include <string>
#include <vector>

#include "backup/sql_lexer.h"

namespace block_count {
namespace {

using Kind = sql_lexer::Token::Kind;
using Token = sql_lexer::Token;
constexpr std::size_t kNone = static_cast<std::size_t>(-1);

// What a block was opened by: END closes the last one opened.
enum class Block { kBegin, kCaseStatement, kCaseExpression, kIf, kLoop, kRepeat, kWhile, kFor };

class Counter {
 public:
  Counter(std::vector<Token> tokens, bool oracle)
      : tokens_(std::move(tokens)), oracle_(oracle) {}

  bool endsOnlyAtItsEnd() const {
    const std::size_t body = bodyStart();
    return body != kNone && bodyEndsAtTheEnd(body);
  }

 private:
  bool word(std::size_t i, const char* text) const {
    return i < tokens_.size() && tokens_[i].kind == Kind::kWord && tokens_[i].text == text;
  }
  bool punctuation(std::size_t i, char c) const {
    return i < tokens_.size() && tokens_[i].kind == Kind::kPunctuation &&
           tokens_[i].text[0] == c;
  }
  bool nameLike(std::size_t i) const {
    return i < tokens_.size() &&
           (tokens_[i].kind == Kind::kWord || tokens_[i].kind == Kind::kName);
  }

  // A name, or a qualified one, at `i`: where it ends, or kNone.
  std::size_t nameEnd(std::size_t i) const {
    if (!nameLike(i)) return kNone;
    return punctuation(i + 1, '.') && nameLike(i + 2) ? i + 3 : i + 1;
  }

  // The parenthesis that closes the one at `i`, and one past it; kNone
  // when it does not close.
  std::size_t groupEnd(std::size_t i) const {
    int depth = 0;
    for (; i < tokens_.size(); ++i) {
      if (punctuation(i, '(')) ++depth;
      if (punctuation(i, ')') && --depth == 0) return i + 1;
    }
    return kNone;
  }

  // A user as DEFINER names it: user@host, each a name, a word or a
  // string, or CURRENT_USER.
  std::size_t userEnd(std::size_t i) const {
    if (word(i, "CURRENT_USER"))
      return punctuation(i + 1, '(') && punctuation(i + 2, ')') ? i + 3 : i + 1;
    const auto part = [this](std::size_t at) {
      return nameLike(at) || (at < tokens_.size() && tokens_[at].kind == Kind::kString);
    };
    if (!part(i)) return kNone;
    return punctuation(i + 1, '@') && part(i + 2) ? i + 3 : i + 1;
  }

  // A function's type as the server prints it: a name, its length or
  // values in parentheses, then attributes and its character set.
  std::size_t typeEnd(std::size_t i) const {
    if (!nameLike(i)) return kNone;
    ++i;
    if (punctuation(i, '(')) i = groupEnd(i);
    while (i != kNone && i < tokens_.size()) {
      if (word(i, "UNSIGNED") || word(i, "SIGNED") || word(i, "ZEROFILL") ||
          word(i, "BINARY") || word(i, "ASCII") || word(i, "UNICODE") || word(i, "BYTE")) {
        ++i;
      } else if ((word(i, "CHARSET") || word(i, "COLLATE")) && nameLike(i + 1)) {
        i += 2;
      } else if (word(i, "CHARACTER") && word(i + 1, "SET") && nameLike(i + 2)) {
        i += 3;
      } else {
        break;
      }
    }
    return i;
  }

  // The characteristics of a routine, as many as stand at `i`.
  std::size_t characteristicsEnd(std::size_t i) const {
    for (;;) {
      if (word(i, "DETERMINISTIC")) {
        i += 1;
      } else if ((word(i, "NOT") && word(i + 1, "DETERMINISTIC")) ||
                 (word(i, "LANGUAGE") && word(i + 1, "SQL")) ||
                 (word(i, "CONTAINS") && word(i + 1, "SQL")) ||
                 (word(i, "NO") && word(i + 1, "SQL"))) {
        i += 2;
      } else if ((word(i, "READS") || word(i, "MODIFIES")) && word(i + 1, "SQL") &&
                 word(i + 2, "DATA")) {
        i += 3;
      } else if (word(i, "SQL") && word(i + 1, "SECURITY") &&
                 (word(i + 2, "DEFINER") || word(i + 2, "INVOKER"))) {
        i += 3;
      } else if (word(i, "COMMENT") && i + 1 < tokens_.size() &&
                 tokens_[i + 1].kind == Kind::kString) {
        i += 2;
      } else {
        return i;
      }
    }
  }

  // Where the body begins after a routine's name at `i`.
  std::size_t routineBody(std::size_t i, bool function) const {
    i = nameEnd(i);
    if (i == kNone) return kNone;
    if (punctuation(i, '('))
      i = groupEnd(i);
    else if (!oracle_)
      return kNone;
    if (i != kNone && function) {
      if (!word(i, "RETURNS") && !(oracle_ && word(i, "RETURN"))) return kNone;
      i = typeEnd(i + 1);
    }
    return i == kNone ? kNone : characteristicsEnd(i);
  }

  // Where the body begins after a trigger's name at `i`.
  std::size_t triggerBody(std::size_t i) const {
    i = nameEnd(i);
    if (i == kNone || !(word(i, "BEFORE") || word(i, "AFTER")) ||
        !(word(i + 1, "INSERT") || word(i + 1, "UPDATE") || word(i + 1, "DELETE")) ||
        !word(i + 2, "ON"))
      return kNone;
    i = nameEnd(i + 3);
    if (i == kNone || !word(i, "FOR") || !word(i + 1, "EACH") || !word(i + 2, "ROW"))
      return kNone;
    i += 3;
    if (word(i, "FOLLOWS") || word(i, "PRECEDES")) i = nameEnd(i + 1);
    return i;
  }

  // Where the body begins: after the head. kNone for a head of another
  // kind, or one not read for sure.
  std::size_t bodyStart() const {
    std::size_t i = 0;
    if (!word(i++, "CREATE")) return kNone;
    if (word(i, "OR")) {
      if (!word(i + 1, "REPLACE")) return kNone;
      i += 2;
    }
    if (word(i, "DEFINER")) {
      if (!punctuation(i + 1, '=')) return kNone;
      i = userEnd(i + 2);
      if (i == kNone) return kNone;
    }
    if (word(i, "AGGREGATE")) ++i;
    const std::size_t kind = i++;
    if (word(i, "IF") && word(i + 1, "NOT") && word(i + 2, "EXISTS")) i += 3;
    if (word(kind, "PROCEDURE")) return routineBody(i, false);
    if (word(kind, "FUNCTION")) return routineBody(i, true);
    if (word(kind, "TRIGGER")) return triggerBody(i);
    if (word(kind, "EVENT")) {
      // DO is reserved: the first is the one before the body.
      for (; i < tokens_.size(); ++i)
        if (word(i, "DO")) return i + 1;
    }
    return kNone;
  }

  // A handler's conditions from `i` on (DECLARE ... HANDLER FOR ...):
  // where its statement begins, or kNone.
  std::size_t conditionsEnd(std::size_t i) const {
    for (;;) {
      if (word(i, "SQLSTATE")) {
        i += word(i + 1, "VALUE") ? 2 : 1;
        if (i >= tokens_.size() || tokens_[i].kind != Kind::kString) return kNone;
        ++i;
      } else if (word(i, "NOT") && word(i + 1, "FOUND")) {
        i += 2;
      } else if (nameLike(i)) {
        ++i;  // SQLEXCEPTION, SQLWARNING, an error number, a condition's name
      } else {
        return kNone;
      }
      if (!punctuation(i, ',')) return i;
      ++i;
    }
  }

  // Whether the word at `i` names a block's kind after its END (END IF).
  bool blockKind(std::size_t i) const {
    return word(i, "IF") || word(i, "CASE") || word(i, "LOOP") || word(i, "REPEAT") ||
           word(i, "WHILE") || word(i, "FOR");
  }

  // Whether the END at `i` closes a block: any END closes a CASE
  // expression; any other block ends in END, its kind's word, a label,
  // then the statement's end, and one without its kind's word begins a
  // statement (`atStart`). Any other END is a name to the server, or an
  // error that stops the restore before anything after it runs.
  bool closesBlock(std::size_t i, const std::vector<Block>& open, bool atStart) const {
    if (open.empty() || open.back() == Block::kCaseExpression) return true;
    if (blockKind(i + 1)) {
      ++i;
    } else if (!atStart) {
      // An END without its kind's word ends a BEGIN block, in which every
      // statement ends in a semicolon: it stands where a statement would
      // begin. Anywhere else ("SELECT 1 AS end;") it is a name.
      return false;
    }
    if (nameLike(i + 1)) ++i;
    return i + 1 == tokens_.size() || punctuation(i + 1, ';');
  }

  // Counts the blocks of the body that begins at `body`.
  bool bodyEndsAtTheEnd(std::size_t body) const {
    std::vector<Block> open;
    // Oracle's routines may declare their variables, each closed by a
    // semicolon, after AS or IS and before their block.
    bool declaring = oracle_ && (word(body, "AS") || word(body, "IS"));
    bool statementStart = true;  // tokens_[i] begins a statement
    bool loopHeader = false;     // an Oracle FOR or WHILE whose LOOP opens the block
    for (std::size_t i = declaring ? body + 1 : body; i < tokens_.size(); ++i) {
      const Token& token = tokens_[i];
      const bool atStart = statementStart;
      statementStart = false;
      if (token.kind == Kind::kPunctuation) {
        const char c = token.text[0];
        if (c == ';') {
          if (open.empty() && !declaring) return false;
          statementStart = true;
        }
        // After a label ("l: LOOP"), and within Oracle's "<<l>>".
        if (c == ':' || (oracle_ && atStart && (c == '<' || c == '>'))) statementStart = true;
        continue;
      }
      if (token.kind != Kind::kWord || punctuation(i - 1, '.')) continue;
      const std::string& w = token.text;
      if (oracle_ && atStart && punctuation(i + 1, '>')) {
        statementStart = true;  // the name of "<<l>>"
      } else if (w == "END" && closesBlock(i, open, atStart)) {
        if (open.empty()) return false;
        open.pop_back();
        // END IF, END LOOP ...; then a label, before the statement's end.
        if (blockKind(i + 1)) ++i;
        if (nameLike(i + 1) && (i + 2 == tokens_.size() || punctuation(i + 2, ';'))) ++i;
      } else if (w == "CASE") {
        open.push_back(atStart ? Block::kCaseStatement : Block::kCaseExpression);
      } else if (atStart && (w == "BEGIN" || w == "LOOP" || w == "REPEAT")) {
        open.push_back(w == "BEGIN" ? Block::kBegin : w == "LOOP" ? Block::kLoop : Block::kRepeat);
        if (w == "BEGIN" && word(i + 1, "NOT") && word(i + 2, "ATOMIC")) i += 2;
        declaring = false;
        statementStart = true;
      } else if (atStart && w == "IF") {
        open.push_back(Block::kIf);
      } else if (atStart && (w == "WHILE" || w == "FOR")) {
        if (oracle_)
          loopHeader = true;
        else
          open.push_back(w == "WHILE" ? Block::kWhile : Block::kFor);
      } else if (loopHeader && w == "LOOP") {
        open.push_back(Block::kLoop);
        loopHeader = false;
        statementStart = true;
      } else if (w == "THEN" || w == "ELSE") {
        // Statements follow in an IF or CASE statement, and in Oracle's
        // exception handlers (WHEN ... THEN inside the block).
        const Block top = open.empty() ? Block::kCaseExpression : open.back();
        statementStart = top == Block::kIf || top == Block::kCaseStatement ||
                         (oracle_ && top == Block::kBegin);
      } else if (w == "DO") {
        statementStart = !open.empty() && (open.back() == Block::kWhile || open.back() == Block::kFor);
      } else if (atStart && w == "DECLARE" &&
                 (word(i + 1, "CONTINUE") || word(i + 1, "EXIT") || word(i + 1, "UNDO")) &&
                 word(i + 2, "HANDLER") && word(i + 3, "FOR")) {
        const std::size_t statement = conditionsEnd(i + 4);
        if (statement == kNone) return false;
        i = statement - 1;
        statementStart = true;
      }
    }
    return open.empty();
  }

  std::vector<Token> tokens_;
  bool oracle_;
};

}  // namespace

bool endsOnlyAtItsEnd(std::string_view sql, unsigned long long sqlMode) {
  if (sql.find(';') == std::string_view::npos) return true;
  std::vector<Token> tokens;
  if (!sql_lexer::readKeywordTokens(sql, sqlMode, &tokens)) return false;
  const auto any = [&tokens](auto is) { return std::any_of(tokens.begin(), tokens.end(), is); };
  // Semicolons in strings, names or comments only.
  if (!any([](const Token& t) { return t.kind == Kind::kPunctuation && t.text == ";"; }))
    return true;
  // What a versioned comment holds, a server older than its version skips:
  // a BEGIN in one would open a block for this count only.
  if (any([](const Token& t) { return t.kind == Kind::kVersionedComment; })) return false;
  return Counter(std::move(tokens), (sqlMode & sql_lexer::kModeOracle) != 0).endsOnlyAtItsEnd();
}

}  // namespace block_count
