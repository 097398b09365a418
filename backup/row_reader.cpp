#include "backup/row_reader.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/progress.h"
#include "backup/run_session.h"

namespace {

// The bytes that mysql_real_escape_string rewrites.
constexpr char kEscaped[] = {'\0', '\n', '\r', '\\', '\'', '"', '\x1a'};

struct EscapedBytes {
  bool is[256] = {};
  constexpr EscapedBytes() {
    for (char c : kEscaped) is[static_cast<unsigned char>(c)] = true;
  }
};
constexpr EscapedBytes kEscapedBytes;

// Sixteen bytes are looked at together where the processor can: most
// values need no escaping, and this test runs for every one of them.
bool needsEscaping(const char* value, unsigned long length) {
  unsigned long i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value + i));
    __m128i hits = _mm_setzero_si128();
    for (char c : kEscaped)
      hits = _mm_or_si128(hits, _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)));
    if (_mm_movemask_epi8(hits) != 0) return true;
  }
#endif
  for (; i < length; ++i)
    if (kEscapedBytes.is[static_cast<unsigned char>(value[i])]) return true;
  return false;
}

// Rows of at least this many bytes are written value piece by value piece,
// each piece at most this long.
constexpr unsigned long kLongRow = 1ul << 20;

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

  // Makes `line` the start of the next row line; its values follow.
  void begin(std::string* line) { line->assign(start_); }

  // Takes the row line that `line` holds, its values complete.
  void end(std::string* line) {
    if (rowsPerStatement_ <= 1) {
      *line += backup_format::kRowLineEnd;
      write(*line);
      return;
    }
    *line += ')';
    const size_t bytes = line->size() + 3;  // its end and line end
    if (statementRows_ > 0) {
      const bool joins = statementRows_ < rowsPerStatement_ &&
                         statementBytes_ + bytes <= backup_format::kStatementBytesMax;
      pending_ += joins ? backup_format::kStatementGoesOn : backup_format::kStatementEnds;
      write(pending_);
      if (!joins) statementRows_ = 0;
    }
    if (statementRows_ == 0) {
      write(head_);
      statementBytes_ = head_.size() + 2;
    }
    ++statementRows_;
    statementBytes_ += bytes;
    pending_.swap(*line);
  }

  // Ends the open statement, so that a row written past this writer (a
  // long one, in pieces) stands as a statement of its own; returns the
  // start of that row's line. Its line ends as kRowLineEnd in both forms.
  const std::string& standAlone() {
    if (rowsPerStatement_ > 1) {
      if (statementRows_ > 0) {
        pending_ += backup_format::kStatementEnds;
        write(pending_);
        statementRows_ = 0;
      }
      write(head_);
    }
    return start_;
  }

  // Ends the last statement. True when every line was written.
  bool finish() {
    if (statementRows_ > 0) {
      pending_ += backup_format::kStatementEnds;
      write(pending_);
    }
    return written_;
  }

 private:
  void write(const std::string& line) {
    written_ = file_.writeLine(line) && written_;
    progress_.tick(line.size());
  }

  BackupFile& file_;
  RowProgress& progress_;
  const int rowsPerStatement_;
  const std::string start_;
  const std::string head_;
  std::string pending_;  // the last row line, not yet ended
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
  // In a single-byte character set, and in UTF-8 whose bytes of a
  // character are never one of the bytes escaped, any place will do.
  if (charset.maxBytes <= 1 || charset.name.compare(0, 4, "utf8") == 0)
    return end;
  // Elsewhere a byte below 0x80 may end a character of two bytes; after
  // two of them a character has ended.
  for (unsigned long at = end; at >= begin + 2; --at)
    if (static_cast<unsigned char>(value[at - 1]) < 0x80 &&
        static_cast<unsigned char>(value[at - 2]) < 0x80)
      return at;
  return length;  // no such place: the rest in one piece
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
      const char* piece = row[i] + at;
      const unsigned long size = end - at;
      if (needsEscaping(piece, size)) {
        if (escaped_.size() < 2 * static_cast<size_t>(size) + 1)
          escaped_.resize(2 * static_cast<size_t>(size) + 1);
        const unsigned long n = from.escape(&escaped_[0], piece, size);
        written = target.writePart(std::string_view(escaped_.data(), n));
      } else {
        written = target.writePart(std::string_view(piece, size));
      }
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
  RowProgress progress(tableName);
  RowLines out(target, progress, tableName, columns, rowsPerStatement_);
  std::string line;
  std::string escaped;
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
    out.begin(&line);
    for (unsigned int i = 0; i < fieldCount; ++i) {
      if (i != 0) line += ',';
      if (row[i] == nullptr) {
        line += "NULL";
        continue;
      }
      line += '\'';
      if (needsEscaping(row[i], lengths[i])) {
        escaped.resize(2 * static_cast<size_t>(lengths[i]) + 1);
        unsigned long n = from.escape(&escaped[0], row[i], lengths[i]);
        line.append(escaped, 0, n);
      } else {
        line.append(row[i], lengths[i]);
      }
      line += '\'';
    }
    out.end(&line);
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
