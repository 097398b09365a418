#include "backup/backup_format.h"

namespace backup_format {

const std::string& hashLine() {
  static const std::string line(kHashLineLength, kCommentMark);
  return line;
}

namespace {

// `part` with every byte that may not stand in a file name part replaced.
std::string namePart(const std::string& part) {
  std::string safe = part;
  for (char& c : safe) {
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '/' || byte < 0x20 || byte == 0x7F) c = '_';
  }
  return safe;
}

}  // namespace

std::string fileName(const std::string& savePath, const std::string& database,
                     const std::string& stamp) {
  return savePath + "/" + namePart(database) + "-" + namePart(stamp) + ".sql";
}

std::string quoteIdentifier(const std::string& name) {
  std::string quoted = "`";
  for (char c : name) {
    quoted += c;
    if (c == '`') quoted += '`';
  }
  quoted += '`';
  return quoted;
}

std::string commentName(const std::string& name) {
  std::string shown = name;
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = '?';
  return shown;
}

bool lineFeedInQuotes(std::string_view sql) {
  char quote = 0;  // the quote of the name or string we are in, or 0
  for (size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (quote == 0) {
      if (c == '`' || c == '\'' || c == '"') quote = c;
    } else if (c == '\n') {
      return true;
    } else if (c == '\\' && quote != '`' && i + 1 < sql.size()) {
      if (sql[++i] == '\n') return true;  // an escaped byte
    } else if (c == quote) {
      quote = 0;  // a doubled quote closes and opens again
    }
  }
  return false;
}

std::string dropLine(const std::string& table, bool isView) {
  return (isView ? kDropViewPrefix : kDropTablePrefix) +
         quoteIdentifier(table) + ";";
}

std::string rowLineStartFor(const std::string& table) {
  return "INSERT INTO " + quoteIdentifier(table) + " ";
}

std::string rowLinePrefix(const std::string& table,
                          const std::vector<std::string>& columns) {
  std::string prefix = rowLineStartFor(table);
  if (!columns.empty()) {
    prefix += "(";
    for (size_t i = 0; i < columns.size(); ++i) {
      if (i != 0) prefix += ",";
      prefix += quoteIdentifier(columns[i]);
    }
    prefix += ") ";
  }
  prefix += "VALUES (";
  return prefix;
}

bool isRowLine(std::string_view line) {
  return line.substr(0, sizeof(kRowLineStart) - 1) == kRowLineStart;
}

std::string preambleLine(const std::string& characterSet) {
  return std::string(kPreambleStart) + characterSet +
         " */; /*!40014 SET FOREIGN_KEY_CHECKS=0 */;"
         " /*!40101 SET SQL_MODE='NO_AUTO_VALUE_ON_ZERO' */;"
         " /*!40103 SET TIME_ZONE='+00:00' */;";
}

std::vector<std::string> headerLines(const std::string& database,
                                     const std::string& createdText) {
  return {hashLine(),
          "#",
          kHeaderDatabasePrefix + commentName(database) + "'",
          kHeaderCreatedPrefix + createdText,
          "#",
          hashLine(),
          ""};
}

}  // namespace backup_format
