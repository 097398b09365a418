// The judges of a previous backup's table blocks, as the index pass reads
// them: BlockJudge follows one block's body line by line and settles the
// form of its rows; RowJudges lexes every row line of the wanted blocks on
// helper threads, in runs, close behind the pass.
#ifndef VKT_BACKUP_ROW_JUDGES_H_
#define VKT_BACKUP_ROW_JUDGES_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "backup/backup_format.h"
#include "backup/file_lines.h"
#include "backup/previous_entry.h"
#include "backup/row_lexer.h"

namespace previous_backup {

// Row lines after a block's first are judged on helper threads, in runs
// of about this many bytes, cut at line starts.
constexpr std::uint64_t kJudgedRun = std::uint64_t{4} << 20;
// The same for bytes held in memory only for a while: shorter runs keep
// the judges, and the bytes they read, close behind the index pass.
constexpr std::uint64_t kJudgedRunHeld = std::uint64_t{1} << 20;

// A run of row lines of one block, to be judged against the block's
// first row.
struct RowRun {
  std::size_t table;  // the block's place in the index
  std::shared_ptr<const row_lexer::RowForm> form;
  std::uint64_t begin;  // a line start, where no statement is open
  std::uint64_t end;    // a line start, where no statement is open
};

// Judges runs of row lines on helper threads (up to three, one fewer than
// the machine has cores) while the index pass goes on; finish() judges
// what is left on the calling thread too.
class RowJudges {
 public:
  explicit RowJudges(const file_lines::PlainBytes& bytes);
  ~RowJudges() { finish(); }
  RowJudges(const RowJudges&) = delete;
  RowJudges& operator=(const RowJudges&) = delete;

  void add(RowRun run);

  // Judges every run added, then gives the places of the blocks that hold
  // a bad row line.
  std::vector<std::size_t> finish();

 private:
  void work();
  void judgeNext(std::unique_lock<std::mutex>& lock, file_lines::LineBuffer* buffer);
  bool judge(const RowRun& run, file_lines::LineBuffer* buffer) const;

  const file_lines::PlainBytes& bytes_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<RowRun> runs_;
  bool closing_ = false;
  std::vector<std::size_t> failed_;
  std::vector<std::thread> helpers_;
  file_lines::LineBuffer callerBuffer_;  // for runs judged by the caller of add()
};

// Judges one table block's body line by line while the index is built.
// The first row sets the rows' form, prefix and number of values; the
// row lines go to `judges` in runs, or, without judges (rows not wanted),
// are only counted and never trusted.
class BlockJudge {
 public:
  BlockJudge(const std::string& name, std::size_t table, RowJudges* judges,
             std::uint64_t runBytes = kJudgedRun)
      : rowStart_(backup_format::rowLineStartFor(name)),
        table_(table),
        judges_(judges),
        runBytes_(runBytes) {}

  // Marks the block as damaged whatever its body holds.
  void reject() { sound_ = false; }

  // True when `line` was the first row line of rows no one wants judged.
  bool firstUnwantedRow(const file_lines::Line& line) const {
    return judges_ == nullptr && sound_ && phase_ == Phase::kRows &&
           line.offset == rowsBegin_;
  }

  // True while the rows of a wanted block are being read, sound so far:
  // their lines may then go to takeRow().
  bool inWantedRows() const {
    return judges_ != nullptr && sound_ && phase_ == Phase::kRows &&
           form_->valueCount > 0;
  }

  // take() for an ended line of those rows that is no longer than a line
  // read whole; false, taking nothing, for the empty line that closes them
  // and for a comment line (it may open the next section).
  bool takeRow(std::string_view text, bool crlf, std::uint64_t next) {
    if (text.empty() || text.front() == backup_format::kCommentMark) return false;
    file_lines::Line row;
    row.crlf = crlf;
    row.next = next;
    countRow(row, isStatementHead(text), text.back(), 0);
    return true;
  }

  void take(const file_lines::Line& line);

  // The same for a cut line (Line::cut) of `lines`. Only a row line can be
  // sound at such a length; its rest streams, and the values of the rows'
  // first line are counted as it does. A definition line too long to keep
  // leaves a definition that no view's statements equal.
  void takeCut(file_lines::Line* line, file_lines::FileLines& lines);

  // Writes what the body showed into `entry`, whose position is known.
  void finish(PreviousTableEntry* entry) const;

 private:
  enum class Phase { kBeforeRows, kRows, kClosed, kCommitted };

  void settleForm(std::string_view line);
  // Whether the row line `line` (not empty) is a statement head: in rows
  // of several a statement, the line that begins no row.
  bool isStatementHead(std::string_view line) const {
    static_assert(sizeof(backup_format::kRowValuesStart) == 2, "one byte begins a row");
    return form_->shared && line.front() != backup_format::kRowValuesStart[0];
  }
  void countRow(const file_lines::Line& row);
  void countRow(const file_lines::Line& row, bool head, char last, int values);
  void handOver(std::uint64_t end);
  void keepDefinition(std::string_view line);

  std::string rowStart_;
  std::size_t table_;
  RowJudges* judges_;
  std::uint64_t runBytes_;  // rows handed over at a time, at least
  std::shared_ptr<row_lexer::RowForm> form_ = std::make_shared<row_lexer::RowForm>();
  std::uint64_t runBegin_ = 0;  // the first row line not handed over
  std::string definition_;
  bool definitionDone_ = false;
  Phase phase_ = Phase::kBeforeRows;
  bool sound_ = true;
  bool lastLineEmpty_ = true;  // also true while the body is empty
  bool structureEnded_ = false;  // an empty line came before the rows
  bool historyOff_ = false;    // the rows' history line after them was seen
  int rowCount_ = 0;
  int statementRows_ = 0;
  int statementRowsMax_ = 0;
  std::uint64_t rowsBegin_ = 0;
  std::uint64_t rowsEnd_ = 0;
  bool rowsCrLf_ = true;
};

}  // namespace previous_backup

#endif  // VKT_BACKUP_ROW_JUDGES_H_
