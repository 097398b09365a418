#include <iostream>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "backup/progress.h"

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

}  // namespace

RowsResult BackupEngine::dumpRows(std::string tableName) {
  return dumpRowsInto(tableName, outFile);
}

RowsResult BackupEngine::dumpRowsInto(const std::string& tableName,
                                      BackupFile& target) {
  RowsResult rows;
  std::cout << "Abfrage der Tabellen-Daten aus der DB: " << std::flush;
  const TableEntry* table = findTable(tableName);
  static const std::vector<std::string> kAllColumns;
  const std::vector<std::string>& columns =
      table != nullptr ? table->columns : kAllColumns;
  std::string select = "SELECT ";
  if (columns.empty()) {
    select += "*";
  } else {
    for (size_t i = 0; i < columns.size(); ++i)
      select += (i ? "," : "") + backup_format::quoteIdentifier(columns[i]);
  }
  select += " FROM " + backup_format::quoteIdentifier(tableName) + ";";
  if (!query(select)) {
    std::cout << "Fehler: " << serverError() << std::endl;
    return rows;
  }
  MYSQL_RES* result = mysql_use_result(connection);
  if (result == nullptr) {
    std::cout << "Fehler: " << serverError() << std::endl;
    return rows;
  }
  std::cout << "OK" << std::endl;
  unsigned int fieldCount = mysql_num_fields(result);
  if (fieldCount == 0) {
    std::cout << "Keine Daten zum Speichern." << std::endl;
    mysql_free_result(result);
    return rows;
  }
  RowProgress progress(tableName);
  RowLines out(target, progress, tableName, columns, rowsPerStatement_);
  std::string line;
  std::string escaped;
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
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
        unsigned long n = mysql_real_escape_string(connection, &escaped[0],
                                                   row[i], lengths[i]);
        line.append(escaped, 0, n);
      } else {
        line.append(row[i], lengths[i]);
      }
      line += '\'';
    }
    out.end(&line);
    ++rows.rows;
  }
  bool written = out.finish();
  progress.finish();
  // The end of the rows and a broken connection look alike to the fetch.
  bool fetchFailed = mysql_errno(connection) != 0;
  if (fetchFailed)
    std::cout << "Fehler: " << serverError() << std::endl;
  mysql_free_result(result);
  written = target.writeLine("") && written;
  if (!written)
    std::cout << "Fehler: Die Daten konnten nicht geschrieben werden."
              << std::endl;
  rows.whole = !fetchFailed && written;
  return rows;
}
