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
    std::cout << "Fehler: " << mysql_error(connection) << std::endl;
    return rows;
  }
  MYSQL_RES* result = mysql_use_result(connection);
  if (result == nullptr) {
    std::cout << "Fehler: " << mysql_error(connection) << std::endl;
    return rows;
  }
  std::cout << "OK" << std::endl;
  unsigned int fieldCount = mysql_num_fields(result);
  if (fieldCount == 0) {
    std::cout << "Keine Daten zum Speichern." << std::endl;
    mysql_free_result(result);
    return rows;
  }
  const std::string prefix = backup_format::rowLinePrefix(tableName, columns);
  std::string line;
  std::string escaped;
  bool written = true;
  RowProgress progress(tableName);
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    line.assign(prefix);
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
    line += backup_format::kRowLineEnd;
    written = target.writeLine(line) && written;
    progress.tick(line.size());
    ++rows.rows;
  }
  progress.finish();
  // The end of the rows and a broken connection look alike to the fetch.
  bool fetchFailed = mysql_errno(connection) != 0;
  if (fetchFailed)
    std::cout << "Fehler: " << mysql_error(connection) << std::endl;
  mysql_free_result(result);
  written = target.writeLine("") && written;
  if (!written)
    std::cout << "Fehler: Die Daten konnten nicht geschrieben werden."
              << std::endl;
  rows.whole = !fetchFailed && written;
  return rows;
}
