// What loading a backup file into a database takes, found in one pass over
// the file before anything is sent: the session the rows were written for,
// each table's structure and rows as byte ranges of the file, and the
// views, routines, triggers and events that come after every table's rows.
// Nothing of the file is held but the byte ranges; the statements are read
// again from the file when they are sent.
//
// Only what this program writes is taken: a line of another shape makes
// the plan refuse the file (with the line and why), never guess.
#ifndef VKT_BACKUP_LOAD_PLAN_H_
#define VKT_BACKUP_LOAD_PLAN_H_

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_format.h"
#include "backup/file_lines.h"

namespace load_plan {

// A byte range of the file and the number of its first line (from 1).
struct Span {
  std::uint64_t begin = 0;
  std::uint64_t end = 0;
  std::uint64_t line = 0;
  bool empty() const { return end <= begin; }
};

// A table's rows are cut into pieces of about this many bytes, each
// beginning with a statement, so that one large table's rows can go over
// several connections at once.
constexpr std::uint64_t kPieceBytes = std::uint64_t{16} << 20;

struct RowsPiece {
  Span span;
  std::uint64_t rowCount = 0;
  std::uint64_t longestLine = 0;  // in bytes, its line end included
};

struct TableLoad {
  std::string name;
  Span structure;  // its DROP TABLE and CREATE TABLE statements
  Span rows;       // its row lines (and statement heads)
  std::uint64_t rowCount = 0;
  std::vector<RowsPiece> pieces;  // `rows` cut, in order
  bool history = false;  // past rows: sent with history insertion on
};

// A view's section or a routine's, trigger's or event's: statements sent
// in file order once every table's rows are in.
struct ObjectLoad {
  std::string name;
  backup_format::SectionKind kind = backup_format::SectionKind::kNone;
  bool view = false;
  Span statements;
};

struct Plan {
  std::string database;  // as the header names it
  std::vector<std::string> sessionStatements;  // from the preamble line
  std::vector<TableLoad> tables;    // in file order
  std::vector<ObjectLoad> objects;  // in file order
  // Why the file cannot be loaded, and the line; "" when it can.
  std::string refusal;
  std::uint64_t refusalLine = 0;
};

// Reads `bytes` once and plans their load.
Plan planLoad(const file_lines::PlainBytes& bytes);

// Statements as the stock client reads them, a line at a time: lines
// joined by LF (their CR LF ends taken off), ended by a line that ends with
// the current delimiter where the client would end them; DELIMITER lines
// change the delimiter, and empty and comment lines between statements are
// skipped. A statement the client would not send as it stands (a
// backslash command, a NUL) is refused.
class StatementSplitter {
 public:
  enum class Took {
    kBetween,  // a line between statements
    kInside,   // a line of a statement that goes on
    kEnded,    // the last line of a statement: statement() holds it
    kRefused,  // refusal() tells why
  };
  Took take(std::string_view line);
  bool inside() const { return inside_; }
  // The statement ended last, without its delimiter.
  const std::string& statement() const { return statement_; }
  const char* refusal() const { return refusal_; }

 private:
  std::string statement_;
  std::string delimiter_ = ";";
  bool inside_ = false;
  bool backslashEscapes_ = true;
  const char* refusal_ = "";
};

// The statements of a span, read with a StatementSplitter.
class StatementLines {
 public:
  StatementLines(const file_lines::PlainBytes& bytes, const Span& span);
  // The next statement, without its delimiter, and the number of its first
  // line; false at the span's end or on a refusal.
  bool next(std::string* statement, std::uint64_t* line);
  // "" unless a statement was refused or the bytes could not be read.
  const std::string& refusal() const { return refusal_; }
  std::uint64_t refusalLine() const { return refusalLine_; }

 private:
  bool refuse(const char* why, std::uint64_t line);

  file_lines::FileLines lines_;
  StatementSplitter splitter_;
  std::uint64_t lineNumber_;
  std::string refusal_;
  std::uint64_t refusalLine_ = 0;
};

// A table's CREATE TABLE statement as SHOW CREATE TABLE writes it, and
// what a load sends before and after the table's rows so that the server
// builds the plain indexes once, after the rows. Only what is known is
// taken: an InnoDB table whose lines are columns, its PRIMARY KEY, UNIQUE
// KEYs and plain KEYs (no foreign key, no FULLTEXT, no partitions, not
// system-versioned) has its plain KEYs taken out and added after the rows
// by one ALTER TABLE, in their order, so that SHOW CREATE TABLE shows them
// as before; a MyISAM or Aria table (not system-versioned) with plain KEYs
// has them disabled and enabled. Any other statement is sent unchanged.
struct KeysHeldBack {
  std::string create;
  std::string beforeRows;  // "" for none
  std::string afterRows;   // "" for none
};
KeysHeldBack holdBackKeys(std::string_view create, const std::string& table);

// Whether the rows of the table that a CREATE TABLE statement makes may be
// inserted over several connections at once, each its own transaction: an
// InnoDB table (row locks), not partitioned.
bool rowsSplittable(std::string_view create);

// Where the values of a row line begin: after "INSERT INTO `t` ", the
// optional column list of backquoted names, and "VALUES ", at its "(".
// std::string_view::npos for a line of another shape.
std::size_t valuesStart(std::string_view line);

}  // namespace load_plan

#endif  // VKT_BACKUP_LOAD_PLAN_H_
