#include "backup/previous_backup.h"

#include <climits>
#include <limits>

#include "backup/backup_format.h"
#include "backup/local_time.h"
#include "backup/progress.h"

namespace previous_backup {
namespace {

const std::streampos kNoPosition = -1;

bool startsWith(const std::string& text, const std::string& start) {
  return text.compare(0, start.size(), start) == 0;
}

bool endsWith(const std::string& text, const char* end) {
  const std::string::size_type n = std::char_traits<char>::length(end);
  return text.size() >= n && text.compare(text.size() - n, n, end) == 0;
}

bool isComment(const std::string& line) {
  return !line.empty() && line[0] == backup_format::kCommentMark;
}

// A comment line holding an apostrophe begins a table's comment block.
bool opensBlock(const std::string& line) {
  return isComment(line) &&
         line.find(backup_format::kNameQuote) != std::string::npos;
}

// The text between the first and the last apostrophe; with a single
// apostrophe everything after it; with none, the whole line.
std::string quotedText(const std::string& line) {
  const auto first = line.find(backup_format::kNameQuote);
  if (first == std::string::npos) return line;
  const auto last = line.rfind(backup_format::kNameQuote);
  if (last == first) return line.substr(first + 1);
  return line.substr(first + 1, last - first - 1);
}

// A complete row line of the table whose row lines begin with `rowStart`.
bool isOwnRow(const std::string& line, const std::string& rowStart) {
  return startsWith(line, rowStart) &&
         endsWith(line, backup_format::kRowLineEnd);
}

// The part of a row line before its values, up to "VALUES (" (the column
// list, if any, included); "" when there is none.
std::string rowPrefixOf(const std::string& line) {
  static const char kValues[] = "VALUES (";
  // A backquoted name may hold "VALUES (": skip the names first.
  size_t at = 0;
  bool quoted = false;
  for (; at < line.size(); ++at) {
    if (line[at] == '`') quoted = !quoted;
    if (!quoted && line.compare(at, sizeof kValues - 1, kValues) == 0)
      return line.substr(0, at + sizeof kValues - 1);
  }
  return "";
}

void skipLines(std::istream& in, size_t count) {
  for (size_t i = 0; i < count && in; ++i)
    in.ignore(std::numeric_limits<std::streamsize>::max(), '\n');
}

// Judges one table block's body line by line while the index is built.
class BlockJudge {
 public:
  explicit BlockJudge(const std::string& name)
      : rowStart_(backup_format::rowLineStartFor(name)) {}

  // Marks the block as damaged whatever its body holds.
  void reject() { sound_ = false; }

  // Feeds the next body line; `ended` tells whether it had its line end.
  void take(const std::string& line, bool ended) {
    if (!ended) sound_ = false;
    if (!sound_) return;
    lastLineEmpty_ = line.empty();
    switch (phase_) {
      case Phase::kBeforeRows:
        if (backup_format::isRowLine(line)) {
          phase_ = Phase::kRows;
          countRow(line);
        } else if (isComment(line)) {
          sound_ = false;
        }
        break;
      case Phase::kRows:
        if (line.empty())
          phase_ = Phase::kClosed;
        else
          countRow(line);
        break;
      case Phase::kClosed:
        if (!line.empty()) sound_ = false;
        break;
    }
  }

  // Whether the block, now ended, holds whole rows of its own table.
  bool trusted() const {
    return sound_ && phase_ == Phase::kClosed && rowCount_ > 0;
  }
  int rowCount() const { return rowCount_; }
  const std::string& rowPrefix() const { return rowPrefix_; }

  // Whether the block ends where a section can end: after its rows' empty
  // line, or, without rows, right after its comment block or after an
  // empty line (the end of its structure block).
  bool whole() const {
    return sound_ && (phase_ == Phase::kClosed ||
                      (phase_ == Phase::kBeforeRows && lastLineEmpty_));
  }

 private:
  enum class Phase { kBeforeRows, kRows, kClosed };

  // Every row line of a block must have the same prefix (column list).
  void countRow(const std::string& line) {
    if (!isOwnRow(line, rowStart_) || rowCount_ == INT_MAX) {
      sound_ = false;
      return;
    }
    // The first unquoted "VALUES (" ends the prefix, so a line that begins
    // with the first row's prefix has that very prefix.
    if (rowCount_ == 0) {
      rowPrefix_ = rowPrefixOf(line);
    } else if (!startsWith(line, rowPrefix_)) {
      sound_ = false;
      return;
    }
    ++rowCount_;
  }

  std::string rowStart_;
  std::string rowPrefix_;
  Phase phase_ = Phase::kBeforeRows;
  bool sound_ = true;
  bool lastLineEmpty_ = true;  // also true while the body is empty
  int rowCount_ = 0;
};

// The table's comment block, whose first line is in `line` (`ended` tells
// whether it had its line end): reads the update line and the line of '#'.
// The position is the first byte after the block, or none when the file
// ends inside it. `shapeSound` is false when the block's lines are not
// whole or its last line is not the line of '#'.
PreviousTableEntry readCommentBlock(std::istream& in, std::string* line,
                                    bool ended, bool* shapeSound) {
  PreviousTableEntry entry;
  entry.name = quotedText(*line);
  *shapeSound = false;
  if (ended && backup_format::readLine(in, line, &ended)) {
    entry.updateText = quotedText(*line);
    if (ended && backup_format::readLine(in, line, &ended) && ended) {
      entry.position = in.tellg();
      *shapeSound = *line == backup_format::hashLine();
    }
  }
  entry.updateKnown =
      local_time::fromCommentText(entry.updateText, &entry.updateTime);
  if (!entry.updateKnown) entry.updateTime = 0;
  return entry;
}

void finishBlock(const BlockJudge& judge, PreviousTableEntry* entry) {
  entry->rowCount = judge.rowCount();
  entry->rowPrefix = judge.rowPrefix();
  entry->rowsTrusted = judge.trusted() && entry->position != kNoPosition;
  entry->blockWhole = judge.whole() && entry->position != kNoPosition;
}

}  // namespace

Index buildIndex(std::istream& in) {
  Index index;
  skipLines(in, backup_format::kHeaderLinesSkipped);
  std::string line;
  bool ended = false;
  BlockJudge judge("");
  while (backup_format::readLine(in, &line, &ended)) {
    if (opensBlock(line)) {
      if (!index.tables.empty()) finishBlock(judge, &index.tables.back());
      bool shapeSound = false;
      index.tables.push_back(readCommentBlock(in, &line, ended, &shapeSound));
      judge = BlockJudge(index.tables.back().name);
      if (!shapeSound) judge.reject();
    } else if (!index.tables.empty()) {
      judge.take(line, ended);
    } else if (!index.hasPreamble &&
               startsWith(line, backup_format::kPreambleStart)) {
      index.hasPreamble = true;
      index.preamble = line;
    }
  }
  if (!index.tables.empty()) finishBlock(judge, &index.tables.back());
  return index;
}

const PreviousTableEntry* find(const std::vector<PreviousTableEntry>& tables,
                               const std::string& name) {
  for (const PreviousTableEntry& entry : tables)
    if (entry.name == name) return &entry;
  return nullptr;
}

namespace {

// Reads up to the table's first row line, which is left in `line`. False
// when the body no longer looks as it did when the index was built.
bool seekFirstRow(std::istream& in, const std::string& rowStart,
                  std::string* line) {
  bool ended = false;
  while (backup_format::readLine(in, line, &ended)) {
    if (!ended || isComment(*line)) return false;
    if (backup_format::isRowLine(*line)) return isOwnRow(*line, rowStart);
  }
  return false;
}

}  // namespace

int copyRows(std::istream& in, const PreviousTableEntry& entry,
             std::ostream& out, RowProgress* progress) {
  if (!entry.rowsTrusted || entry.position == kNoPosition) return -1;
  in.clear();
  if (!in.seekg(entry.position)) return -1;
  const std::string rowStart = backup_format::rowLineStartFor(entry.name);
  std::string line;
  if (!seekFirstRow(in, rowStart, &line)) return -1;
  int count = 0;
  bool ended = true;
  do {
    if (!isOwnRow(line, rowStart) || count == entry.rowCount) return -1;
    if (!backup_format::writeLine(out, line)) return -1;
    if (progress != nullptr) progress->tick(line.size());
    ++count;
    if (!backup_format::readLine(in, &line, &ended) || !ended) return -1;
  } while (!line.empty());
  if (count != entry.rowCount) return -1;
  if (!backup_format::writeLine(out, "")) return -1;
  return count;
}

}  // namespace previous_backup
