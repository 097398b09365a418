#include "backup/load_plan.h"

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "backup/console_text.h"

namespace load_plan {
namespace {

namespace bf = backup_format;

using bf::endsWith;
using bf::startsWith;

// The offset after a backquoted name that begins at `at`; npos when none.
std::size_t afterQuotedName(std::string_view line, std::size_t at) {
  return bf::readQuotedIdentifier(line, &at, nullptr) ? at : std::string_view::npos;
}

// The offset after "INSERT INTO `t` ", its column list and "VALUES"
// (without the blank after it); npos for a line of another shape.
std::size_t afterValuesWord(std::string_view line) {
  if (!startsWith(line, bf::kRowLineStart)) return std::string_view::npos;
  std::size_t at = afterQuotedName(line, sizeof(bf::kRowLineStart) - 2);
  if (at == std::string_view::npos || at >= line.size() || line[at] != ' ')
    return std::string_view::npos;
  ++at;
  if (at < line.size() && line[at] == '(') {
    do {
      at = afterQuotedName(line, at + 1);
      if (at == std::string_view::npos || at >= line.size()) return std::string_view::npos;
    } while (line[at] == ',');
    if (line.substr(at, 2) != ") ") return std::string_view::npos;
    at += 2;
  }
  const std::string_view word(bf::kValuesWord, sizeof(bf::kValuesWord) - 2);
  return line.substr(at, word.size()) == word ? at + word.size() : std::string_view::npos;
}

// The table name of a comment line that opens a section: between its first
// and last apostrophe, as commentName() wrote it.
std::string sectionName(std::string_view line) {
  const std::size_t first = line.find(bf::kNameQuote);
  const std::size_t last = line.rfind(bf::kNameQuote);
  if (first == last) return "";
  return bf::nameFromComment(line.substr(first + 1, last - first - 1));
}

// The one pass over the file.
class Planner {
 public:
  // Lines are held whole, however long: a row's, or a definition's whose
  // statement is judged whole.
  explicit Planner(const file_lines::PlainBytes& bytes) : lines_(bytes, 0, UINT64_MAX, SIZE_MAX) {}

  Plan run() {
    file_lines::Line line;
    while (plan_.refusal.empty() && lines_.next(&line)) {
      ++number_;
      take(line);
    }
    if (plan_.refusal.empty() && lines_.failed())
      refuse(console_text::kCheckUnreadable);
    if (plan_.refusal.empty() && !preambleSeen_) refuse(console_text::kCheckNoPreamble);
    if (plan_.refusal.empty() && splitter_.inside())
      refuse(console_text::kLoadUnendedStatement);
    for (const TableLoad& table : plan_.tables)
      if (plan_.refusal.empty() && !table.rows.empty() && table.structure.empty()) {
        number_ = table.rows.line;
        refuse(console_text::kLoadNoStructure);
      }
    return std::move(plan_);
  }

 private:
  enum class Where { kHeader, kTable, kObject, kOutside };

  void refuse(const char* why) {
    plan_.refusal = why;
    plan_.refusalLine = number_;
  }

  void take(const file_lines::Line& line) {
    const std::string_view text = line.text;
    if (where_ == Where::kHeader) return header(text);
    if (!splitter_.inside() && !text.empty() && text[0] == bf::kCommentMark)
      return opener(line);
    if (where_ == Where::kObject) {
      plan_.objects.back().statements.end = line.next;
      if (splitter_.take(text) == StatementSplitter::Took::kRefused)
        refuse(splitter_.refusal());
      return;
    }
    if (where_ == Where::kOutside) {
      if (text.empty() || text == bf::kCommitLine) return;
      return refuse(console_text::kLoadForeignLine);
    }
    tableLine(line);
  }

  void header(std::string_view text) {
    if (startsWith(text, bf::kHeaderDatabasePrefix) && plan_.database.empty())
      plan_.database = sectionName(text);
    if (!startsWith(text, bf::kPreambleStart)) return;
    plan_.sessionStatements = bf::preambleStatements(text);
    if (plan_.sessionStatements.empty()) return refuse(console_text::kCheckNoPreamble);
    preambleSeen_ = true;
    where_ = Where::kOutside;
  }

  // A comment line between statements: a section's opener, or a line of
  // its comment block.
  void opener(const file_lines::Line& line) {
    using Kind = bf::SectionKind;
    const Kind kind = bf::sectionKind(line.text);
    if (kind == Kind::kNone) return;
    if (kind == Kind::kSettings) {
      where_ = Where::kOutside;
      lines_.skipTo(UINT64_MAX);  // the identity block closes the file
      return;
    }
    if (kind == Kind::kTable) {
      TableLoad table;
      table.name = sectionName(line.text);
      plan_.tables.push_back(std::move(table));
      where_ = Where::kTable;
      skipLines(2);  // its update line and hash line
      return;
    }
    ObjectLoad object;
    object.name = sectionName(line.text);
    object.kind = kind;
    object.statements = {line.next, line.next, number_ + 1};
    plan_.objects.push_back(std::move(object));
    where_ = Where::kObject;
  }

  void skipLines(int count) {
    file_lines::Line line;
    for (int i = 0; i < count && lines_.next(&line); ++i) ++number_;
  }

  void tableLine(const file_lines::Line& line) {
    TableLoad& table = plan_.tables.back();
    const std::string_view text = line.text;
    if (splitter_.inside()) return structureLine(line, &table);
    if (text.empty() || text == bf::kCommitLine || text == bf::kHistoryOffLine) return;
    if (text == bf::kHistoryOnLine) {
      table.history = true;
      return;
    }
    if (startsWith(text, bf::kDropViewPrefix)) return becomeView(line);
    if (bf::isRowsBlockLine(text)) return rowLine(line, &table);
    if (!table.rows.empty()) return refuse(console_text::kLoadForeignLine);
    if (table.structure.empty()) table.structure = {line.offset, line.next, number_};
    structureLine(line, &table);
  }

  void structureLine(const file_lines::Line& line, TableLoad* table) {
    table->structure.end = line.next;
    if (splitter_.take(line.text) == StatementSplitter::Took::kRefused)
      refuse(splitter_.refusal());
  }

  // A table section that begins with DROP VIEW is a view's: its statements
  // come with the objects.
  void becomeView(const file_lines::Line& line) {
    const TableLoad& table = plan_.tables.back();
    if (!table.structure.empty() || !table.rows.empty())
      return refuse(console_text::kLoadForeignLine);
    ObjectLoad view;
    view.name = table.name;
    view.kind = bf::SectionKind::kTable;
    view.view = true;
    view.statements = {line.offset, line.next, number_};
    plan_.tables.pop_back();
    plan_.objects.push_back(std::move(view));
    where_ = Where::kObject;
  }

  // A row line of one row, a statement head, or a row of a statement of
  // several.
  void rowLine(const file_lines::Line& line, TableLoad* table) {
    const std::string_view end = line.text;
    if (table->rows.empty()) table->rows = {line.offset, line.next, number_};
    table->rows.end = line.next;
    const bool oneRow = bf::isRowLine(line.text);
    // A row line or a statement head begins a statement: a piece may begin.
    if (table->pieces.empty() ||
        (oneRow && line.offset - table->pieces.back().span.begin >= kPieceBytes))
      table->pieces.push_back({{line.offset, line.next, number_}, 0});
    load_plan::RowsPiece& piece = table->pieces.back();
    piece.span.end = line.next;
    piece.longestLine = std::max(piece.longestLine, line.next - line.offset);
    if (oneRow && afterValuesWord(line.text) == line.text.size())
      return;  // a statement head
    const std::size_t values = oneRow ? valuesStart(line.text) : 0;
    const bool closed = endsWith(end, bf::kRowLineEnd) || (!oneRow && endsWith(end, "),"));
    if (values == std::string_view::npos || !closed)
      return refuse(console_text::kLoadForeignLine);
    ++table->rowCount;
    ++table->pieces.back().rowCount;
  }

  file_lines::FileLines lines_;
  Plan plan_;
  Where where_ = Where::kHeader;
  std::uint64_t number_ = 0;
  bool preambleSeen_ = false;
  StatementSplitter splitter_;  // of the structures' and objects' statements
};

}  // namespace

Plan planLoad(const file_lines::PlainBytes& bytes) { return Planner(bytes).run(); }

KeysHeldBack holdBackKeys(std::string_view create, const std::string& table) {
  KeysHeldBack held;
  held.create.assign(create);
  std::vector<std::string_view> lines;
  for (std::size_t from = 0; from <= create.size();) {
    const std::size_t end = std::min(create.find('\n', from), create.size());
    lines.push_back(create.substr(from, end - from));
    from = end + 1;
  }
  const std::string_view options = lines.back();
  if (lines.size() < 3 || !startsWith(lines.front(), bf::kCreateTableStart) ||
      !startsWith(options, bf::kTableOptionsStart) ||
      options.find(bf::kSystemVersioning) != std::string_view::npos)
    return held;
  const std::string_view engine = options.substr(sizeof(bf::kTableOptionsStart) - 1);
  const bool innodb = startsWith(engine, "InnoDB ");
  const bool myisam = startsWith(engine, "MyISAM ") || startsWith(engine, "Aria ");
  // Every part but the last is followed by a comma.
  std::vector<std::string_view> kept, keys;
  for (std::size_t i = 1; i + 1 < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (i + 2 < lines.size()) {
      if (line.empty() || line.back() != ',') return held;
      line.remove_suffix(1);
    }
    if (startsWith(line, bf::kPlainKeyLineStart)) {
      keys.push_back(line.substr(2));
    } else if (startsWith(line, bf::kColumnLineStart) ||
               startsWith(line, bf::kPrimaryKeyLineStart) ||
               startsWith(line, bf::kUniqueKeyLineStart)) {
      kept.push_back(line);
    } else {
      return held;
    }
  }
  if (keys.empty() || kept.empty() || !(innodb || myisam)) return held;
  const std::string alter = bf::kAlterTable + bf::quoteIdentifier(table);
  if (myisam) {
    held.beforeRows = alter + bf::kDisableKeys;
    held.afterRows = alter + bf::kEnableKeys;
    return held;
  }
  held.create.assign(lines.front());
  for (std::size_t i = 0; i < kept.size(); ++i)
    held.create.append("\n").append(kept[i]).append(i + 1 < kept.size() ? "," : "");
  held.create.append("\n").append(options);
  held.afterRows = alter;
  for (std::size_t i = 0; i < keys.size(); ++i)
    held.afterRows.append(i == 0 ? " " : ", ").append(bf::kAddKey).append(keys[i]);
  return held;
}

bool rowsSplittable(std::string_view create) {
  const std::size_t last = create.rfind('\n');
  const std::string_view options =
      create.substr(last == std::string_view::npos ? 0 : last + 1);
  const std::string innodb = std::string(bf::kTableOptionsStart) + "InnoDB ";
  return startsWith(create, bf::kCreateTableStart) && startsWith(options, innodb);
}

std::size_t valuesStart(std::string_view line) {
  const std::size_t at = afterValuesWord(line);
  if (at == std::string_view::npos || line.substr(at, 2) != " (") return std::string_view::npos;
  return at + 1;
}

StatementSplitter::Took StatementSplitter::take(std::string_view line) {
  if (!inside_) {
    if (line.empty() || line[0] == bf::kCommentMark) return Took::kBetween;
    if (startsWith(line, bf::kDelimiterCommand)) {
      delimiter_.assign(line.substr(sizeof(bf::kDelimiterCommand) - 1));
      if (!delimiter_.empty()) return Took::kBetween;
      refusal_ = console_text::kLoadForeignLine;
      return Took::kRefused;
    }
    statement_.clear();
    inside_ = true;
  } else {
    statement_ += '\n';
  }
  statement_.append(line);
  if (!endsWith(statement_, delimiter_)) return Took::kInside;
  const std::string_view body(statement_.data(), statement_.size() - delimiter_.size());
  const bf::ClientReading reading = bf::clientReading(body, delimiter_, backslashEscapes_);
  if (reading == bf::ClientReading::kLeftOpen) return Took::kInside;
  inside_ = false;
  if (reading != bf::ClientReading::kSends) {
    refusal_ = console_text::kLoadClientWouldAct;
    return Took::kRefused;
  }
  statement_.resize(body.size());
  // An object's session line sets the mode its body was written under;
  // the line after the body puts the saved one back.
  if (startsWith(statement_, bf::kObjectSessionStart))
    backslashEscapes_ = statement_.find("NO_BACKSLASH_ESCAPES") == std::string::npos;
  return Took::kEnded;
}

StatementLines::StatementLines(const file_lines::PlainBytes& bytes, const Span& span)
    : lines_(bytes, span.begin, span.end, SIZE_MAX), lineNumber_(span.line - 1) {}

bool StatementLines::refuse(const char* why, std::uint64_t line) {
  refusal_ = why;
  refusalLine_ = line;
  return false;
}

bool StatementLines::next(std::string* statement, std::uint64_t* line) {
  file_lines::Line read;
  while (refusal_.empty() && lines_.next(&read)) {
    ++lineNumber_;
    if (!splitter_.inside()) *line = lineNumber_;
    switch (splitter_.take(read.text)) {
      case StatementSplitter::Took::kBetween:
      case StatementSplitter::Took::kInside:
        continue;
      case StatementSplitter::Took::kEnded:
        *statement = splitter_.statement();
        return true;
      case StatementSplitter::Took::kRefused:
        return refuse(splitter_.refusal(), *line);
    }
  }
  if (refusal_.empty() && lines_.failed())
    return refuse(console_text::kCheckUnreadable, lineNumber_ + 1);
  if (refusal_.empty() && splitter_.inside())
    return refuse(console_text::kLoadUnendedStatement, *line);
  return false;
}

}  // namespace load_plan
