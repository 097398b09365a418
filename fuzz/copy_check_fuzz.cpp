// Takes the bytes as a previous backup file and lets the plan decide, for a
// database whose tables match the file's blocks, which rows it copies;
// then writes those rows, as the table writer copies them, into a file of
// their own, which the check must call sound. So a block the index trusts
// never puts into a new backup what the check (and a restore) would not
// take. Blocks whose rows name their columns (invisible or history
// columns) are left out: their structure cannot be told from the rows.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "backup/backup_check.h"
#include "backup/backup_format.h"
#include "backup/file_lines.h"
#include "backup/plan.h"
#include "backup/previous_backup.h"

namespace bf = backup_format;

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// The character set of a preamble the run would take as its own; "" for
// none of those tried.
std::string preambleCharset(const previous_backup::Index& index) {
  for (const char* charset : {"utf8mb4", "utf8mb3", "latin1", "binary"})
    if (index.hasPreamble && bf::rowsReadAlike(index.preamble, charset)) return charset;
  return "";
}

// A table as the server would list it for `entry`: unchanged since, of as
// many columns as its rows hold values.
TableEntry tableFor(const PreviousTableEntry& entry) {
  TableEntry table;
  table.name = entry.name;
  table.updateText = entry.updateText;
  table.updateTime = entry.updateTime;
  table.updateKnown = entry.updateKnown;
  table.updateTracksRows = true;
  table.columnCount = entry.valueCount;
  table.identity = entry.identity;
  return table;
}

std::string createStatement(const PreviousTableEntry& entry) {
  std::string create = bf::kCreateTableStart + bf::quoteIdentifier(entry.name) + " (";
  for (int i = 0; i < entry.valueCount; ++i)
    create += std::string(i == 0 ? "" : ",") + "\r\n  `c" + std::to_string(i) + "` text";
  return create + "\r\n) ENGINE=InnoDB;";
}

// What the run copies under `settings`, written as a new file, and
// checked.
void checkCopies(std::string_view bytes, const previous_backup::Index& index,
                 const std::string& charset, const plan::Now& now,
                 const plan::Previous& previous,
                 const std::vector<const PreviousTableEntry*>& entries,
                 const plan::Settings& settings) {
  const plan::Plan planned = plan::make(now, &previous, settings);
  std::string file;
  for (const std::string& line : bf::headerLines("fuzz", "07.12.2026 12:12:25"))
    file += line + bf::kLineEnd;
  file += bf::clientCharsetLine(charset) + bf::kLineEnd + bf::preambleLine(charset) +
          bf::kLineEnd + bf::kLineEnd;
  size_t copied = 0;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (planned.tables[i].rows != plan::Rows::kCopy) continue;
    const PreviousTableEntry& entry = *entries[i];
    // The same name twice: only the first block is ever copied from.
    if (&index.tables[previous.byName->at(entry.name)] != &entry) continue;
    ++copied;
    file += bf::sectionOpener(bf::SectionKind::kTable, entry.name) + bf::kLineEnd +
            bf::kUpdateCommentPrefix + entry.updateText + "'" + bf::kLineEnd +
            bf::hashLine() + bf::kLineEnd + createStatement(entry) + bf::kLineEnd +
            bf::kLineEnd;
    // The rows and their closing empty line, each line ended by CR LF, as
    // the copy writes them (rows ended by LF alone are judged again and
    // written so).
    check(entry.rowsBegin < entry.rowsEnd && entry.rowsEnd <= bytes.size());
    std::string_view rows = bytes.substr(entry.rowsBegin, entry.rowsEnd - entry.rowsBegin);
    while (!rows.empty()) {
      const size_t lf = rows.find('\n');
      std::string_view line = rows.substr(0, lf);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      file.append(line).append(bf::kLineEnd);
      rows = lf == std::string_view::npos ? std::string_view() : rows.substr(lf + 1);
    }
    file += bf::kLineEnd;
  }
  if (copied == 0) return;
  for (const std::string& line : bf::closingLines()) file += line + bf::kLineEnd;
  file += bf::settingsLine(bf::settingsText(true, true, false)) + bf::kLineEnd;
  check(backup_check::checkText(file).holds());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const previous_backup::Index index = previous_backup::buildIndex(file_lines::TextBytes(bytes));
  // The run takes a previous file only where it saved rows.
  if (index.settings.find("save-daten=1") == std::string::npos) return 0;
  const std::string charset = preambleCharset(index);
  if (charset.empty()) return 0;

  std::vector<TableEntry> tables;
  std::unordered_map<std::string, size_t> byName;
  std::vector<const PreviousTableEntry*> entries;
  int statementRowsMax = 2;
  for (size_t i = 0; i < index.tables.size(); ++i) {
    const PreviousTableEntry& entry = index.tables[i];
    byName.emplace(entry.name, i);
    if (entry.rowPrefix != bf::rowLinePrefix(entry.name, {})) continue;
    tables.push_back(tableFor(entry));
    entries.push_back(&entry);
    statementRowsMax = std::max(statementRowsMax, entry.statementRowsMax);
  }
  const std::unordered_map<std::string, ObjectDefinition> views;
  const std::vector<ObjectDefinition> objects;
  plan::Now now;
  now.tables = &tables;
  now.viewDefinitions = &views;
  now.objects = &objects;
  plan::Previous previous;
  previous.tables = &index.tables;
  previous.byName = &byName;
  previous.objects = &index.objects;
  previous.sessionMatches = true;
  // Rows one a statement, then several.
  for (int rows : {1, statementRowsMax}) {
    plan::Settings settings;
    settings.rowsPerStatement = rows;
    checkCopies(bytes, index, charset, now, previous, entries, settings);
  }
  return 0;
}
