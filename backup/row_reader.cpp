#include "backup/row_reader.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/progress.h"
#include "backup/run_session.h"
#include "backup/value_escape.h"

namespace {

// Rows of at least this many bytes are written value piece by value piece,
// each piece at most this long.
constexpr unsigned long kLongRow = 1ul << 20;

// The most bytes a row of `fields` values of `valueBytes` bytes takes
// in a row line, line end included: each value escaped (twice its bytes
// and the client library's closing NUL), quoted and after a comma, or
// NULL; then ");" or ")" and the byte that ends or continues a statement,
// and CR LF.
size_t rowLineBound(size_t valueBytes, unsigned fields) {
  return 2 * valueBytes + 5 * static_cast<size_t>(fields) + 5;
}

// A line of bytes, written through a pointer into room made ahead, so that
// values are escaped straight into their place. Its room only grows.
class LineBuffer {
 public:
  // Empties the line and makes room for `bytes`; where to write them.
  char* startWithRoom(size_t bytes) {
    if (bytes > room_.size()) room_.resize(std::max(bytes, 2 * room_.size()));
    size_ = 0;
    return room_.data();
  }
  // The line ends at `end`, inside the room.
  void endAt(const char* end) { size_ = static_cast<size_t>(end - room_.data()); }
  // Appends bytes that the room made for them holds.
  void append(const char* bytes, size_t length) {
    std::memcpy(room_.data() + size_, bytes, length);
    size_ += length;
  }
  size_t size() const { return size_; }
  std::string_view text() const { return std::string_view(room_.data(), size_); }
  void swap(LineBuffer& other) {
    room_.swap(other.room_);
    std::swap(size_, other.size_);
  }

 private:
  std::vector<char> room_;
  size_t size_ = 0;
};

// Writes a table's rows, one a line: each its own statement, or, with
// more than one row a statement, statements of at most that many rows and
// kStatementBytesMax bytes (a row alone may hold more). A row line ends a
// statement or not by the row after it, so each waits for the next.
class RowLines {
 public:
  RowLines(BackupFile& file, RowProgress& progress, const std::string& table,
           const std::vector<std::string>& columns, int rowsPerStatement)
      : file_(file),
        progress_(progress),
        rowsPerStatement_(rowsPerStatement),
        start_(rowsPerStatement > 1
                   ? std::string(backup_format::kRowValuesStart)
                   : backup_format::rowLinePrefix(table, columns)),
        head_(backup_format::statementHead(table, columns)) {}

  // Starts the next row line with room for values of at most `bound`
  // bytes, rowLineBound() of them; where the values go.
  char* begin(size_t bound) {
    char* values = line_.startWithRoom(start_.size() + bound);
    std::memcpy(values, start_.data(), start_.size());
    return values + start_.size();
  }

  // Takes the row line begun by begin(), its values ending at `end`.
  void end(const char* end) {
    line_.endAt(end);
    if (rowsPerStatement_ <= 1) {
      line_.append(backup_format::kRowLineEnd, sizeof backup_format::kRowLineEnd - 1);
      line_.append(backup_format::kLineEnd, 2);
      write(line_);
      return;
    }
    line_.append(")", 1);
    const size_t bytes = line_.size() + 3;  // its end and line end
    if (statementRows_ > 0) {
      const bool joins = statementRows_ < rowsPerStatement_ &&
                         statementBytes_ + bytes <= backup_format::kStatementBytesMax;
      endPending(joins ? backup_format::kStatementGoesOn : backup_format::kStatementEnds);
      if (!joins) statementRows_ = 0;
    }
    if (statementRows_ == 0) {
      writeHead();
      statementBytes_ = head_.size() + 2;
    }
    ++statementRows_;
    statementBytes_ += bytes;
    pending_.swap(line_);
  }

  // Ends the open statement, so that a row written past this writer (a
  // long one, in pieces) stands as a statement of its own; returns the
  // start of that row's line. Its line ends as kRowLineEnd in both forms.
  const std::string& standAlone() {
    if (rowsPerStatement_ > 1) {
      if (statementRows_ > 0) {
        endPending(backup_format::kStatementEnds);
        statementRows_ = 0;
      }
      writeHead();
    }
    return start_;
  }

  // Ends the last statement. True when every line was written.
  bool finish() {
    if (statementRows_ > 0) endPending(backup_format::kStatementEnds);
    return written_;
  }

 private:
  void writeHead() { written_ = file_.writeLine(head_) && written_; }

  // Writes the last row line, ended by `last` (its room holds it).
  void endPending(char last) {
    pending_.append(&last, 1);
    pending_.append(backup_format::kLineEnd, 2);
    write(pending_);
  }

  // A row line holds no LF (every LF in a value is escaped, and names
  // with one are refused before any row), so it goes in as it is.
  void write(const LineBuffer& line) {
    written_ = file_.writePart(line.text()) && written_;
    progress_.tick(line.size());
  }

  BackupFile& file_;
  RowProgress& progress_;
  const int rowsPerStatement_;
  const std::string start_;
  const std::string head_;
  LineBuffer line_;     // the row line being built
  LineBuffer pending_;  // the last row line, not yet ended
  int statementRows_ = 0;
  size_t statementBytes_ = 0;
  bool written_ = true;
};

// The query that reads the rows of `table`: its columns as the table lists
// them, and its kept past rows where they are saved.
std::string selectOf(const TableEntry& table) {
  std::string select = "SELECT ";
  if (table.columns.empty()) {
    select += "*";
  } else {
    for (size_t i = 0; i < table.columns.size(); ++i)
      select += (i ? "," : "") + backup_format::quoteIdentifier(table.columns[i]);
  }
  select += " FROM " + backup_format::quoteIdentifier(table.name);
  if (table.historySaved)
    select += " FOR SYSTEM_TIME ALL WHERE " + historyRowsKept(table);
  return select + ";";
}

}  // namespace

unsigned long pieceEnd(const db::CharacterSet& charset, const char* value,
                       unsigned long begin, unsigned long end,
                       unsigned long length) {
  if (end >= length) return length;
  // Where bytes are escaped one by one, any place will do.
  if (escapesByteWise(charset)) return end;
  // Elsewhere a byte below 0x80 may end a character of two bytes; after
  // two of them a character has ended.
  for (unsigned long at = end; at >= begin + 2; --at)
    if (static_cast<unsigned char>(value[at - 1]) < 0x80 &&
        static_cast<unsigned char>(value[at - 2]) < 0x80)
      return at;
  return length;  // no such place: the rest in one piece
}

char* RowReader::escape(const db::Session& from, char* to, const char* value,
                        unsigned long length) const {
  if (byteWise_) return escapeByteWise(to, value, length);
  if (needsEscaping(value, length)) return to + from.escape(to, value, length);
  std::memcpy(to, value, length);
  return to + length;
}

bool RowReader::writeLongRow(const db::Session& from, BackupFile& target,
                             const std::string& prefix, const char* const* row,
                             const unsigned long* lengths,
                             unsigned int fieldCount) {
  const db::CharacterSet charset = from.characterSet();
  bool written = target.writePart(prefix);
  for (unsigned int i = 0; i < fieldCount && written; ++i) {
    if (i != 0) written = target.writePart(",");
    if (row[i] == nullptr) {
      written = written && target.writePart("NULL");
      continue;
    }
    written = written && target.writePart("'");
    for (unsigned long at = 0; at < lengths[i] && written;) {
      const unsigned long end =
          pieceEnd(charset, row[i], at, at + kLongRow, lengths[i]);
      const unsigned long size = end - at;
      if (escaped_.size() < 2 * static_cast<size_t>(size) + 1)
        escaped_.resize(2 * static_cast<size_t>(size) + 1);
      const char* escapedEnd = escape(from, &escaped_[0], row[i] + at, size);
      written = target.writePart(
          std::string_view(escaped_.data(), static_cast<size_t>(escapedEnd - escaped_.data())));
      at = end;
    }
    written = written && target.writePart("'");
  }
  return written && target.writePart(backup_format::kRowLineEnd) &&
         target.writePart(backup_format::kLineEnd);
}

RowsResult RowReader::read(const TableEntry& table, db::Session& from,
                           BackupFile& target) {
  RowsResult rows;
  console_text::printStart(console_text::kQueryingRows);
  const std::string& tableName = table.name;
  const std::vector<std::string>& columns = table.columns;
  db::RowCursor cursor = from.stream(selectOf(table));
  if (!cursor.started()) {
    run_session::printError(from);
    return rows;
  }
  console_text::printLine(console_text::kOk);
  const unsigned int fieldCount = cursor.fieldCount();
  if (fieldCount == 0) {
    console_text::printLine(console_text::kNoData);
    return rows;
  }
  byteWise_ = escapesByteWise(from.characterSet());
  RowProgress progress(tableName);
  RowLines out(target, progress, tableName, columns, rowsPerStatement_);
  bool longWritten = true;
  while (cursor.next()) {
    const char* const* row = cursor.values();
    const unsigned long* lengths = cursor.lengths();
    unsigned long rowBytes = 0;
    for (unsigned int i = 0; i < fieldCount; ++i) rowBytes += lengths[i];
    if (rowBytes >= kLongRow) {
      // More than a statement may hold with others: a statement of its own.
      longWritten = writeLongRow(from, target, out.standAlone(), row, lengths,
                                 fieldCount) &&
                    longWritten;
      progress.tick(rowBytes);
      ++rows.rows;
      continue;
    }
    char* at = out.begin(rowLineBound(rowBytes, fieldCount));
    for (unsigned int i = 0; i < fieldCount; ++i) {
      if (i != 0) *at++ = ',';
      if (row[i] == nullptr) {
        std::memcpy(at, "NULL", 4);
        at += 4;
        continue;
      }
      *at++ = '\'';
      at = escape(from, at, row[i], lengths[i]);
      *at++ = '\'';
    }
    out.end(at);
    ++rows.rows;
  }
  bool written = out.finish() && longWritten;
  progress.finish();
  // The end of the rows and a broken connection look alike to the fetch.
  bool fetchFailed = cursor.failed();
  if (fetchFailed)
    run_session::printError(from);
  written = target.writeLine("") && written;
  if (!written)
    console_text::printLine(console_text::kRowsNotWritten);
  rows.whole = !fetchFailed && written;
  return rows;
}
