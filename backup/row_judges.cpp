#include "backup/row_judges.h"

#include <algorithm>
#include <climits>
#include <system_error>
#include <utility>

namespace previous_backup {

using file_lines::FileLines;
using file_lines::Line;
using file_lines::kLineHeldStreaming;

namespace {

bool isComment(std::string_view line) {
  return !line.empty() && line[0] == backup_format::kCommentMark;
}

}  // namespace

RowJudges::RowJudges(const file_lines::PlainBytes& bytes) : bytes_(bytes) {
  const unsigned cores = std::thread::hardware_concurrency();
  const unsigned helpers = cores > 1 ? std::min(3u, cores - 1) : 0;
  for (unsigned i = 0; i < helpers; ++i) {
    try {
      helpers_.emplace_back(&RowJudges::work, this);
    } catch (const std::system_error&) {
      break;  // no more threads to be had: finish() does the rest
    }
  }
}

void RowJudges::add(RowRun run) {
  std::unique_lock<std::mutex> lock(mutex_);
  runs_.push_back(std::move(run));
  // Bytes held only for a while are judged close behind the index pass:
  // when the helpers fall behind, the caller judges too.
  if (bytes_.heldAfterReading() && runs_.size() > 1) judgeNext(lock, &callerBuffer_);
  lock.unlock();
  wake_.notify_one();
}

std::vector<std::size_t> RowJudges::finish() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  wake_.notify_all();
  work();
  for (std::thread& helper : helpers_) helper.join();
  helpers_.clear();
  return failed_;
}

void RowJudges::work() {
  file_lines::LineBuffer buffer;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    wake_.wait(lock, [this] { return closing_ || !runs_.empty(); });
    if (runs_.empty()) return;  // closing, and nothing left
    judgeNext(lock, &buffer);
  }
}

// Judges the first waiting run, reading into `buffer`; `lock` holds
// mutex_, released meanwhile.
void RowJudges::judgeNext(std::unique_lock<std::mutex>& lock,
                          file_lines::LineBuffer* buffer) {
  const RowRun run = std::move(runs_.front());
  runs_.pop_front();
  lock.unlock();
  const bool sound = judge(run, buffer);
  lock.lock();
  if (!sound) failed_.push_back(run.table);
}

// Every line of the run continues the rows in the block's form, and the
// run ends no statement short.
bool RowJudges::judge(const RowRun& run, file_lines::LineBuffer* buffer) const {
  FileLines lines(bytes_, run.begin, run.end, kLineHeldStreaming, buffer);
  row_lexer::RowLineJudge rows(*run.form);
  Line line;
  for (;;) {
    // Most lines are judged where they lie; the one that runs past the
    // buffer, and any the lexer cannot take, come whole through next().
    lines.takeLexed([&rows](const char* p, const char* end) {
      return rows.takeLexed(p, end, kLineHeldStreaming);
    });
    if (!lines.next(&line)) break;
    const bool sound = line.cut ? rows.takeCut(lines, &line, [](std::string_view) {})
                                : rows.take(line.text);
    if (!line.ended || !sound) return false;
  }
  return lines.position() == run.end && rows.closed();
}

void BlockJudge::take(const Line& line) {
  if (!line.ended) sound_ = false;
  if (!sound_) return;
  const bool afterEmpty = lastLineEmpty_;
  const bool commit = line.text == backup_format::kCommitLine;
  lastLineEmpty_ = line.text.empty();
  keepDefinition(line.text);
  switch (phase_) {
    case Phase::kBeforeRows:
      if (backup_format::isRowLine(line.text)) {
        phase_ = Phase::kRows;
        rowsBegin_ = runBegin_ = line.offset;
        settleForm(line.text);
        countRow(line);
      } else if (commit) {
        phase_ = Phase::kCommitted;
        if (!afterEmpty) sound_ = false;
      } else if (isComment(line.text)) {
        sound_ = false;
      } else if (line.text.empty()) {
        structureEnded_ = true;
      } else if (structureEnded_ && !backup_format::isHistoryLine(line.text)) {
        // A statement between the structure and the rows (rows whose
        // head was damaged, say) would leave rows out of the block.
        sound_ = false;
      }
      break;
    case Phase::kRows:
      if (line.text.empty()) {
        phase_ = Phase::kClosed;
        rowsEnd_ = line.offset;
        handOver(rowsEnd_);
        rowsCrLf_ = rowsCrLf_ && line.crlf;  // the closing line too
      } else {
        countRow(line);
      }
      break;
    case Phase::kClosed:
      if (commit)
        phase_ = Phase::kCommitted;
      else if (line.text == backup_format::kHistoryOffLine && !historyOff_)
        historyOff_ = true;  // after the rows of a table whose past rows are saved
      else if (!line.text.empty())
        sound_ = false;
      break;
    case Phase::kCommitted:
      if (!line.text.empty()) sound_ = false;
      break;
  }
}

void BlockJudge::takeCut(Line* line, FileLines& lines) {
  if (!sound_) return;
  const std::string_view text = line->text;
  const bool row = phase_ == Phase::kRows ||
                   (phase_ == Phase::kBeforeRows && backup_format::isRowLine(text));
  lastLineEmpty_ = false;
  keepDefinition(text);
  if (!definitionDone_) {
    definition_ += std::string("\n\n\0", 3);
    definitionDone_ = true;
  }
  if (!row) {
    lines.rest(line, [](std::string_view) {});
    if (!line->ended || phase_ != Phase::kBeforeRows || isComment(text)) sound_ = false;
    return;
  }
  if (phase_ == Phase::kBeforeRows) {
    phase_ = Phase::kRows;
    rowsBegin_ = runBegin_ = line->offset;
    // A statement head is never this long: the prefix must be in the head.
    if (!backup_format::startsWith(text, rowStart_)) reject();
    form_->prefix = std::string(row_lexer::rowPrefixOf(text));
    if (form_->prefix.empty()) reject();
  }
  const bool statementHead = isStatementHead(text);
  const bool counting = sound_ && !statementHead && form_->valueCount < 0;
  row_lexer::RowShape shape(form_->rowStart());
  char last = text.back();
  auto take = [&](std::string_view piece) {
    if (counting) shape.feed(piece);
    last = piece.back();
  };
  take(text);
  lines.rest(line, take);
  if (!line->ended) return reject();
  int values = 0;
  if (counting) {
    char after;
    values = shape.finish(&after);
    if (!form_->shared && after != backup_format::kStatementEnds) values = -1;
  }
  countRow(*line, statementHead, last, values);
}

void BlockJudge::finish(PreviousTableEntry* entry) const {
  const bool located = entry->position >= 0;
  const bool ended = phase_ == Phase::kClosed || phase_ == Phase::kCommitted;
  entry->rowCount = rowCount_;
  entry->rowPrefix = form_->prefix;
  entry->valueCount = form_->valueCount;
  entry->rowsShared = form_->shared;
  entry->statementRowsMax = statementRowsMax_;
  entry->rowsBegin = rowsBegin_;
  entry->rowsEnd = rowsEnd_;
  entry->rowsCrLf = rowsCrLf_;
  entry->definition = definition_;
  // Rows are trusted when the block is sound and its rows are closed.
  entry->rowsTrusted = located && sound_ && ended && rowCount_ > 0 &&
                       form_->valueCount > 0 && judges_ != nullptr;
  // A block is whole when it ends where a section can end: after its
  // rows' empty line or the COMMIT line, or, without rows, right after
  // its comment block or after an empty line (the end of its structure
  // block).
  entry->blockWhole =
      located && sound_ &&
      (ended || (phase_ == Phase::kBeforeRows && lastLineEmpty_));
}

// The form of the rows, from the block's first row line: a row line of
// one INSERT of the block's table, or a statement head.
void BlockJudge::settleForm(std::string_view line) {
  if (!backup_format::startsWith(line, rowStart_)) return reject();
  const std::string asPrefix = std::string(line) + " (";
  if (row_lexer::rowPrefixOf(asPrefix).size() == asPrefix.size()) {
    form_->shared = true;
    form_->head = std::string(line);
    form_->prefix = asPrefix;
    return;  // the values come on the next line
  }
  form_->prefix = std::string(row_lexer::rowPrefixOf(line));
  if (form_->prefix.empty()) return reject();
  form_->valueCount = row_lexer::rowValueCount(line, form_->prefix);
  if (form_->valueCount <= 0) reject();
}

// Counts the rows and hands them to the judges in runs that end where a
// statement ends. Only the first row is lexed here: the judges lex every
// line, so a line miscounted here fails there.
void BlockJudge::countRow(const Line& row) {
  const std::string_view line = row.text;
  const bool head = isStatementHead(line);
  const int values =
      !head && form_->valueCount < 0 ? row_lexer::valuesUpTo(line, 1, line.back()) : 0;
  countRow(row, head, line.back(), values);
}

// The same for a row line that is a statement head or not, ends in
// `last`, and holds `values` values (counted only while the rows' number
// of values is not known).
void BlockJudge::countRow(const Line& row, bool head, char last, int values) {
  rowsCrLf_ = rowsCrLf_ && row.crlf;
  if (head) {
    statementRows_ = 0;
    return;
  }
  if (rowCount_ == INT_MAX) return reject();
  ++rowCount_;
  statementRows_ = form_->shared ? statementRows_ + 1 : 1;
  statementRowsMax_ = std::max(statementRowsMax_, statementRows_);
  if (form_->valueCount < 0) {
    if (values <= 0) return reject();
    form_->valueCount = values;  // before the first run is handed over
  }
  const bool statementEnds =
      !form_->shared || last == backup_format::kStatementEnds;
  if (statementEnds && row.next - runBegin_ >= runBytes_) handOver(row.next);
}

// Gives the row lines from the last hand-over up to `end` to the judges.
void BlockJudge::handOver(std::uint64_t end) {
  if (judges_ != nullptr && sound_ && end > runBegin_)
    judges_->add({table_, form_, runBegin_, end});
  runBegin_ = end;
}

// The body's lines before its first empty line, row line or COMMIT line.
void BlockJudge::keepDefinition(std::string_view line) {
  if (definitionDone_ || line.empty() || backup_format::isRowLine(line) ||
      line == backup_format::kCommitLine) {
    definitionDone_ = true;
    return;
  }
  if (!definition_.empty()) definition_ += '\n';
  definition_ += line;
}

}  // namespace previous_backup
