// Reading the row lines of a backup file back: the values' lexer, and the
// judges of a row line's shape against the form of its block's rows
// (backup/backup_format.h). Only that shape is taken, never guessed at.
#ifndef VKT_BACKUP_ROW_LEXER_H_
#define VKT_BACKUP_ROW_LEXER_H_

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_format.h"
#include "backup/file_lines.h"

namespace row_lexer {

// Values from `p` on: quoted strings (backslash escapes) or NULL,
// separated by commas. Returns the byte after the last value and sets
// `*count` to their number; null when a value has another shape or does
// not end before `end` or before an LF. The bytes may go on past the line.
// No value holds a NUL byte: the stock client stops reading at one, so
// the writer writes it as an escape, and a row with one does not restore.
const char* lexValues(const char* p, const char* end, int* count);

// The row line whose bytes begin at `p` and may run on past it to `end`,
// when it is `start` (what a row holds before its values), then
// `valueCount` values and ")": the byte after the ")", its last before the
// line end, which lies before `end`; null for any other line.
const char* rowBody(const char* p, const char* end, std::string_view start, int valueCount);

// The two readings lexValues() chooses between, alike but for speed: with
// 16-byte compares (any x86-64), and with 32-byte ones, only where
// has32ByteCompares().
const char* lexValues16(const char* p, const char* end, int* count);
const char* lexValues32(const char* p, const char* end, int* count);
bool has32ByteCompares();

// The number of values of `line` after its first `from` bytes: values that
// are quoted strings (backslash escapes) or NULL, separated by commas, then
// ")" and `last`, and nothing else. -1 when the line has another shape,
// and for a value that holds an LF (no line does).
int valuesUpTo(std::string_view line, std::size_t from, char last);

// The values of a row's line after its first `from` bytes, each quoted
// string without its quotes and escapes as it stands, NULL as "NULL"; the
// line has the shape valuesUpTo() accepts.
std::vector<std::string_view> valuesOf(std::string_view line, std::size_t from);

// The number of values of a row line whose part before the values is
// `prefix`: after the prefix, values that are quoted strings (backslash
// escapes) or NULL, separated by commas, then ");" and nothing else.
// -1 when the line has another shape.
int rowValueCount(std::string_view line, std::string_view prefix);

// The part of a row line before its values, up to "VALUES (" (the column
// list, if any, included); empty when there is none.
std::string_view rowPrefixOf(std::string_view line);

// The shape that every row of a block has, as its first row tells it.
struct RowForm {
  bool shared = false;  // several rows a statement
  std::string prefix;   // of a row line of one row a statement
  std::string head;     // the statement head, when shared
  int valueCount = -1;

  // What a row line holds before its values.
  std::string_view rowStart() const {
    return shared ? std::string_view(backup_format::kRowValuesStart)
                  : std::string_view(prefix);
  }
};

// Judges the shape of a row line fed in pieces, as it streams, without
// holding any of it: first the bytes `expected` (what a row holds before
// its values), then values that are quoted strings (backslash escapes) or
// NULL, separated by commas, then ")" and one last byte, and nothing else.
class RowShape {
 public:
  explicit RowShape(std::string_view expected) : expected_(expected) {}

  // Takes the next piece of the line.
  void feed(std::string_view piece);

  // The number of values, -1 when the line has another shape; `*last` is
  // the byte after the closing parenthesis.
  int finish(char* last) const {
    *last = last_;
    return state_ == State::kEnd ? count_ : -1;
  }

 private:
  enum class State { kExpected, kValue, kNull, kQuoted, kAfterValue, kLast, kEnd, kBad };

  const char* values(const char* p, const char* end, State* state);
  const char* inQuotes(const char* p, const char* end, State* state);
  State valueEnded();

  std::string_view expected_;
  State state_ = expected_.empty() ? State::kValue : State::kExpected;
  std::size_t matched_ = 0;
  bool oddRun_ = false;  // the bytes so far in quotes end in an odd run of '\'
  int count_ = 0;
  char last_ = '\0';
};

// Follows the row lines of a block, from a statement's start on, and
// tells whether each continues the rows as their form asks.
class RowLineJudge {
 public:
  explicit RowLineJudge(const RowForm& form) : form_(form) {}

  bool take(std::string_view line);

  // take() for the line at `p`, whose bytes may run on to `end`, when it
  // lies whole before `end`, is no longer than `held` bytes before its LF
  // and continues the rows: returns its length with its line end. Any other
  // line is left to take() or takeCut(): 0, and nothing taken. The values'
  // lexer finds the line end, so no byte is searched for it first.
  std::size_t takeLexed(const char* p, const char* end, std::size_t held);

  // The same for a cut line (Line::cut) of `lines`, judged as its rest
  // streams; every piece also goes to `onPiece`. Sets the line's end.
  template <typename OnPiece>
  bool takeCut(file_lines::FileLines& lines, file_lines::Line* line, OnPiece&& onPiece) {
    if (form_.shared && !inStatement_) {
      // A statement head: the line must be the head, byte for byte.
      std::size_t matched = 0;
      bool same = true;
      auto compare = [&](std::string_view piece) {
        same = same && matched + piece.size() <= form_.head.size() &&
               form_.head.compare(matched, piece.size(), piece) == 0;
        matched += piece.size();
        onPiece(piece);
      };
      compare(line->text);
      lines.rest(line, compare);
      inStatement_ = same && matched == form_.head.size();
      return inStatement_;
    }
    RowShape shape(form_.rowStart());
    auto judge = [&](std::string_view piece) {
      shape.feed(piece);
      onPiece(piece);
    };
    judge(line->text);
    lines.rest(line, judge);
    char last;
    const int values = shape.finish(&last);
    return rowEnded(values, last);
  }

  // True unless a statement was begun and not ended.
  bool closed() const { return !inStatement_; }
  // The rows taken.
  int rows() const { return rows_; }

 private:
  const char* rowEnd(const char* p, const char* end, bool* statementEnds) const;
  void count(bool statementEnds);
  bool rowEnded(int values, char last);

  const RowForm& form_;
  bool inStatement_ = false;
  int rows_ = 0;
};

}  // namespace row_lexer

#endif  // VKT_BACKUP_ROW_LEXER_H_
