#include "backup/previous_backup.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "backup/backup_format.h"
#include "backup/local_time.h"
#include "backup/progress.h"

namespace previous_backup {

using file_lines::FileBytes;
using file_lines::FileLines;
using file_lines::Line;
using file_lines::PlainBytes;
using file_lines::kBlockSize;
using file_lines::sameFile;
using file_lines::stampOf;
using file_lines::kLineHeldStreaming;

namespace {

// Rows are copied in steps of this size; progress is told after each.
constexpr std::uint64_t kProgressStep = std::uint64_t{16} << 20;
constexpr std::int64_t kNoPosition = -1;


bool startsWith(std::string_view text, std::string_view start) {
  return text.substr(0, start.size()) == start;
}

// The first quote or LF in [p, end), or null. Most values are short:
// sixteen bytes are looked at together in line, without a call, where the
// processor can.
inline const char* findQuoteOrLineEnd(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('\'');
  const __m128i lineEnd = _mm_set1_epi8('\n');
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int hits = _mm_movemask_epi8(_mm_or_si128(
        _mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, lineEnd)));
    if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
  }
#endif
  for (; p < end; ++p)
    if (*p == '\'' || *p == '\n') return p;
  return nullptr;
}

// Values from `p` on: quoted strings (backslash escapes) or NULL,
// separated by commas. Returns the byte after the last value and sets
// `*count` to their number; null when a value has another shape or does
// not end before `end` or before an LF. The bytes may go on past the line.
const char* lexValues(const char* p, const char* end, int* count) {
  int values = 0;
  for (;;) {
    if (end - p >= 4 && std::memcmp(p, "NULL", 4) == 0) {
      p += 4;
    } else if (p < end && *p == '\'') {
      // The closing quote is the first one after an even run of
      // backslashes.
      const char* from = ++p;
      for (;;) {
        const char* quote = findQuoteOrLineEnd(p, end);
        if (quote == nullptr || *quote == '\n') return nullptr;
        const char* run = quote;
        while (run > from && run[-1] == '\\') --run;
        p = quote + 1;
        if ((quote - run) % 2 == 0) break;
      }
    } else {
      return nullptr;
    }
    if (values == INT_MAX) return nullptr;
    ++values;
    if (p < end && *p == ',') {
      ++p;
      continue;
    }
    *count = values;
    return p;
  }
}

bool isComment(std::string_view line) {
  return !line.empty() && line[0] == backup_format::kCommentMark;
}

// The text between the first and the last apostrophe; with a single
// apostrophe everything after it; with none, the whole line.
std::string quotedText(std::string_view line) {
  const auto first = line.find(backup_format::kNameQuote);
  if (first == std::string_view::npos) return std::string(line);
  const auto last = line.rfind(backup_format::kNameQuote);
  if (last == first) return std::string(line.substr(first + 1));
  return std::string(line.substr(first + 1, last - first - 1));
}

// The part of a row line before its values, up to "VALUES (" (the column
// list, if any, included); empty when there is none.
std::string_view rowPrefixOf(std::string_view line) {
  static constexpr std::string_view kValues = "VALUES (";
  // A backquoted name may hold "VALUES (": skip the names first.
  bool quoted = false;
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (line[at] == '`') quoted = !quoted;
    if (!quoted && line.compare(at, kValues.size(), kValues) == 0)
      return line.substr(0, at + kValues.size());
  }
  return {};
}

// The shape that every row of a block has, as its first row tells it.
struct RowForm {
  bool shared = false;  // several rows a statement
  std::string prefix;   // of a row line of one row a statement
  std::string head;     // the statement head, when shared
  int valueCount = -1;
};

// Judges the shape of a row line fed in pieces, as it streams, without
// holding any of it: first the bytes `expected` (what a row holds before
// its values), then values that are quoted strings (backslash escapes) or
// NULL, separated by commas, then ")" and one last byte, and nothing else.
class RowShape {
 public:
  explicit RowShape(std::string_view expected) : expected_(expected) {}

  // Takes the next piece of the line: one loop, the state kept in a local.
  void feed(std::string_view piece) {
    const char* p = piece.data();
    const char* const end = p + piece.size();
    State state = state_;
    while (p < end) {
      switch (state) {
        case State::kExpected: {
          const std::size_t n =
              std::min<std::size_t>(end - p, expected_.size() - matched_);
          if (std::memcmp(p, expected_.data() + matched_, n) != 0) {
            state = State::kBad;
            break;
          }
          matched_ += n;
          p += n;
          if (matched_ == expected_.size()) state = State::kValue;
          break;
        }
        case State::kValue:
          p = values(p, end, &state);
          break;
        case State::kNull:
          if (*p != "NULL"[matched_]) {
            state = State::kBad;
            break;
          }
          ++p;
          if (++matched_ == 4) state = valueEnded();
          break;
        case State::kQuoted:
          p = inQuotes(p, end, &state);
          break;
        case State::kAfterValue:
          if (*p == ',') {
            state = State::kValue;
          } else if (*p == ')') {
            state = State::kLast;
          } else {
            state = State::kBad;
          }
          ++p;
          break;
        case State::kLast:
          last_ = *p++;
          state = State::kEnd;
          break;
        case State::kEnd:
          state = State::kBad;  // bytes after the last
          break;
        case State::kBad:
          p = end;
          break;
      }
    }
    state_ = state;
  }

  // The number of values, -1 when the line has another shape; `*last` is
  // the byte after the closing parenthesis.
  int finish(char* last) const {
    *last = last_;
    return state_ == State::kEnd ? count_ : -1;
  }

 private:
  enum class State { kExpected, kValue, kNull, kQuoted, kAfterValue, kLast, kEnd, kBad };

  // Values and the commas between them, from the start of a value at `p`
  // on, while they lie whole in the piece: the common case, in one loop.
  const char* values(const char* p, const char* end, State* state) {
    for (;;) {
      if (*p == '\'') {
        oddRun_ = false;
        *state = State::kQuoted;
        p = inQuotes(p + 1, end, state);
        if (*state == State::kQuoted) return p;  // the piece ended inside
      } else if (end - p >= 4 && std::memcmp(p, "NULL", 4) == 0) {
        p += 4;
        *state = valueEnded();
      } else if (*p == 'N') {
        *state = State::kNull;  // NULL cut by the piece's end
        matched_ = 1;
        return p + 1;
      } else {
        *state = State::kBad;
        return end;
      }
      if (*state != State::kAfterValue || p == end || *p != ',') return p;
      ++p;
      *state = State::kValue;
      if (p == end) return p;
    }
  }

  // Inside quotes, from `p` on: the closing quote is the first one after an
  // even run of backslashes, and a run may go on from the piece before.
  // Sets `*state` once the value ends.
  const char* inQuotes(const char* p, const char* end, State* state) {
    const char* const from = p;
    for (;;) {
      const char* quote = static_cast<const char*>(std::memchr(p, '\'', end - p));
      const char* stop = quote != nullptr ? quote : end;
      const char* run = stop;
      while (run > p && run[-1] == '\\') --run;
      const bool odd = (((stop - run) & 1) != 0) != (run == from && oddRun_);
      if (quote == nullptr) {
        oddRun_ = odd;
        return end;
      }
      oddRun_ = false;
      p = quote + 1;
      if (!odd) {
        *state = valueEnded();
        return p;
      }
    }
  }

  State valueEnded() {
    if (count_ == INT_MAX) return State::kBad;
    ++count_;
    return State::kAfterValue;
  }

  std::string_view expected_;
  State state_ = expected_.empty() ? State::kValue : State::kExpected;
  std::size_t matched_ = 0;
  bool oddRun_ = false;  // the bytes so far in quotes end in an odd run of '\'
  int count_ = 0;
  char last_ = '\0';
};


// Follows the row lines of a block, from a statement's start on, and
// tells whether each continues the rows as their form asks.
class RowReader {
 public:
  explicit RowReader(const RowForm& form) : form_(form) {}

  bool take(std::string_view line) {
    const char* const end = line.data() + line.size();
    bool statementEnds;
    if (rowEnd(line.data(), end, &statementEnds) != end) return false;
    count(statementEnds);
    return true;
  }

  // take() for the line at `p`, whose bytes may run on to `end`, when it
  // lies whole before `end`, is no longer than `held` bytes before its LF
  // and continues the rows: returns its length with its line end. Any other
  // line is left to take() or takeCut(): 0, and nothing taken. The values'
  // lexer finds the line end, so no byte is searched for it first.
  std::size_t takeLexed(const char* p, const char* end, std::size_t held) {
    bool statementEnds;
    const char* q = rowEnd(p, end, &statementEnds);
    if (q == nullptr) return 0;
    if (end - q >= 2 && q[0] == '\r' && q[1] == '\n') ++q;
    if (q == end || *q != '\n' || static_cast<std::size_t>(q - p) > held) return 0;
    count(statementEnds);
    return static_cast<std::size_t>(q + 1 - p);
  }

  // The same for a cut line (Line::cut) of `lines`, judged as its rest
  // streams; every piece also goes to `onPiece`. Sets the line's end.
  template <typename OnPiece>
  bool takeCut(FileLines& lines, Line* line, OnPiece&& onPiece) {
    if (form_.shared && !inStatement_) {
      // A statement head: the line must be the head, byte for byte.
      std::size_t matched = 0;
      bool same = true;
      auto compare = [&](std::string_view piece) {
        same = same && matched + piece.size() <= form_.head.size() &&
               form_.head.compare(matched, piece.size(), piece) == 0;
        matched += piece.size();
        onPiece(piece);
      };
      compare(line->text);
      lines.rest(line, compare);
      inStatement_ = same && matched == form_.head.size();
      return inStatement_;
    }
    RowShape shape(form_.shared ? std::string_view(backup_format::kRowValuesStart)
                                : std::string_view(form_.prefix));
    auto judge = [&](std::string_view piece) {
      shape.feed(piece);
      onPiece(piece);
    };
    judge(line->text);
    lines.rest(line, judge);
    char last;
    const int count = shape.finish(&last);
    ++rows_;
    if (!form_.shared) return count == form_.valueCount && last == backup_format::kStatementEnds;
    if (count != form_.valueCount) return false;
    if (last == backup_format::kStatementEnds) inStatement_ = false;
    return last == backup_format::kStatementEnds || last == backup_format::kStatementGoesOn;
  }

  // True unless a statement was begun and not ended.
  bool closed() const { return !inStatement_; }
  // The rows taken.
  int rows() const { return rows_; }

 private:
  // The line whose bytes begin at `p` and may run on past it to `end`,
  // when it continues the rows as their form asks here: the byte after
  // its last one, and `*statementEnds` whether it ends a statement; null
  // for any other line. Only a statement head or a row of the form's
  // values can continue them.
  const char* rowEnd(const char* p, const char* end, bool* statementEnds) const {
    const auto startsHere = [&](std::string_view start) {
      return static_cast<std::size_t>(end - p) >= start.size() &&
             std::memcmp(p, start.data(), start.size()) == 0;
    };
    if (form_.shared && !inStatement_) {
      *statementEnds = false;
      return startsHere(form_.head) ? p + form_.head.size() : nullptr;
    }
    const std::string_view start = form_.shared
                                       ? std::string_view(backup_format::kRowValuesStart)
                                       : std::string_view(form_.prefix);
    if (!startsHere(start)) return nullptr;
    int values = 0;
    const char* q = lexValues(p + start.size(), end, &values);
    if (q == nullptr || values != form_.valueCount || end - q < 2 || q[0] != ')')
      return nullptr;
    *statementEnds = q[1] == backup_format::kStatementEnds;
    if (!*statementEnds && !(form_.shared && q[1] == backup_format::kStatementGoesOn))
      return nullptr;
    return q + 2;
  }

  // Counts a line that rowEnd() let continue the rows.
  void count(bool statementEnds) {
    if (form_.shared && !inStatement_) {
      inStatement_ = true;  // a statement head
      return;
    }
    ++rows_;
    inStatement_ = form_.shared && !statementEnds;
  }

  const RowForm& form_;
  bool inStatement_ = false;
  int rows_ = 0;
};

// A run of row lines of one block, to be judged against the block's
// first row.
struct RowRun {
  std::size_t table;  // the block's place in the index
  std::shared_ptr<const RowForm> form;
  std::uint64_t begin;  // a line start, where no statement is open
  std::uint64_t end;    // a line start, where no statement is open
};

// Judges runs of row lines on helper threads (up to three, one fewer than
// the machine has cores) while the index pass goes on; finish() judges
// what is left on the calling thread too.
class RowJudges {
 public:
  explicit RowJudges(const PlainBytes& bytes) : bytes_(bytes) {
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
  ~RowJudges() { finish(); }
  RowJudges(const RowJudges&) = delete;
  RowJudges& operator=(const RowJudges&) = delete;

  void add(RowRun run) {
    std::unique_lock<std::mutex> lock(mutex_);
    runs_.push_back(std::move(run));
    // Bytes held only for a while are judged close behind the index pass:
    // when the helpers fall behind, the caller judges too.
    if (bytes_.heldAfterReading() && runs_.size() > 1) judgeNext(lock, &callerBuffer_);
    lock.unlock();
    wake_.notify_one();
  }

  // Judges every run added, then gives the places of the blocks that hold
  // a bad row line.
  std::vector<std::size_t> finish() {
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

 private:
  void work() {
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
  void judgeNext(std::unique_lock<std::mutex>& lock, file_lines::LineBuffer* buffer) {
    const RowRun run = std::move(runs_.front());
    runs_.pop_front();
    lock.unlock();
    const bool sound = judge(run, buffer);
    lock.lock();
    if (!sound) failed_.push_back(run.table);
  }

  // Every line of the run continues the rows in the block's form, and the
  // run ends no statement short.
  bool judge(const RowRun& run, file_lines::LineBuffer* buffer) const {
    FileLines lines(bytes_, run.begin, run.end, kLineHeldStreaming, buffer);
    RowReader rows(*run.form);
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

  const PlainBytes& bytes_;
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
  bool firstUnwantedRow(const Line& line) const {
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
    const bool head = isStatementHead(text);
    Line row;
    row.crlf = crlf;
    row.next = next;
    countRow(row, head, text.back(), 0);
    return true;
  }

  void take(const Line& line) {
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

  // The same for a cut line (Line::cut) of `lines`. Only a row line can be
  // sound at such a length; its rest streams, and the values of the rows'
  // first line are counted as it does. A definition line too long to keep
  // leaves a definition that no view's statements equal.
  void takeCut(Line* line, FileLines& lines) {
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
      if (!startsWith(text, rowStart_)) reject();
      form_->prefix = std::string(rowPrefixOf(text));
      if (form_->prefix.empty()) reject();
    }
    const bool statementHead = isStatementHead(text);
    const bool counting = sound_ && !statementHead && form_->valueCount < 0;
    RowShape shape(form_->shared ? std::string_view(backup_format::kRowValuesStart)
                                 : std::string_view(form_->prefix));
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

  void finish(PreviousTableEntry* entry) const {
    const bool located = entry->position != kNoPosition;
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

 private:
  enum class Phase { kBeforeRows, kRows, kClosed, kCommitted };

  // The form of the rows, from the block's first row line: a row line of
  // one INSERT of the block's table, or a statement head.
  void settleForm(std::string_view line) {
    if (!startsWith(line, rowStart_)) return reject();
    const std::string asPrefix = std::string(line) + " (";
    if (rowPrefixOf(asPrefix).size() == asPrefix.size()) {
      form_->shared = true;
      form_->head = std::string(line);
      form_->prefix = asPrefix;
      return;  // the values come on the next line
    }
    form_->prefix = std::string(rowPrefixOf(line));
    if (form_->prefix.empty()) return reject();
    form_->valueCount = rowValueCount(line, form_->prefix);
    if (form_->valueCount <= 0) reject();
  }

  // Whether the row line `line` (not empty) is a statement head: in rows
  // of several a statement, the line that begins no row.
  bool isStatementHead(std::string_view line) const {
    static_assert(sizeof(backup_format::kRowValuesStart) == 2, "one byte begins a row");
    return form_->shared && line.front() != backup_format::kRowValuesStart[0];
  }

  // Counts the rows and hands them to the judges in runs that end where a
  // statement ends. Only the first row is lexed here: the judges lex every
  // line, so a line miscounted here fails there.
  void countRow(const Line& row) {
    const std::string_view line = row.text;
    const bool head = isStatementHead(line);
    const int values =
        !head && form_->valueCount < 0 ? valuesUpTo(line, 1, line.back()) : 0;
    countRow(row, head, line.back(), values);
  }

  // The same for a row line that is a statement head or not, ends in
  // `last`, and holds `values` values (counted only while the rows' number
  // of values is not known).
  void countRow(const Line& row, bool head, char last, int values) {
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
  void handOver(std::uint64_t end) {
    if (judges_ != nullptr && sound_ && end > runBegin_)
      judges_->add({table_, form_, runBegin_, end});
    runBegin_ = end;
  }

  // The body's lines before its first empty line, row line or COMMIT line.
  void keepDefinition(std::string_view line) {
    if (definitionDone_ || line.empty() || backup_format::isRowLine(line) ||
        line == backup_format::kCommitLine) {
      definitionDone_ = true;
      return;
    }
    if (!definition_.empty()) definition_ += '\n';
    definition_ += line;
  }

  std::string rowStart_;
  std::size_t table_;
  RowJudges* judges_;
  std::uint64_t runBytes_;  // rows handed over at a time, at least
  std::shared_ptr<RowForm> form_ = std::make_shared<RowForm>();
  std::uint64_t runBegin_ = 0;  // the first row line not handed over
  std::string definition_;
  bool definitionDone_ = false;
  Phase phase_ = Phase::kBeforeRows;
  bool sound_ = true;
  bool lastLineEmpty_ = true;  // also true while the body is empty
  bool historyOff_ = false;    // the rows' history line after them was seen
  int rowCount_ = 0;
  int statementRows_ = 0;
  int statementRowsMax_ = 0;
  std::uint64_t rowsBegin_ = 0;
  std::uint64_t rowsEnd_ = 0;
  bool rowsCrLf_ = true;
};

// The table's comment block, whose first line is `first`: reads the update
// line and the line of '#'. The position is the first byte after the
// block, or none when the file ends inside it. `shapeSound` is false when
// the block's lines are not whole or its last line is not the line of '#'.
PreviousTableEntry readCommentBlock(FileLines& lines, const Line& first,
                                    bool* shapeSound) {
  PreviousTableEntry entry;
  entry.name = backup_format::nameFromComment(quotedText(first.text));
  *shapeSound = false;
  Line line;
  if (first.ended && lines.next(&line)) {
    entry.updateText = quotedText(line.text);
    if (line.ended && lines.next(&line) && line.ended) {
      entry.position = static_cast<std::int64_t>(line.next);
      *shapeSound = line.text == backup_format::hashLine();
    }
  }
  entry.updateKnown =
      local_time::fromCommentText(entry.updateText, &entry.updateTime);
  if (!entry.updateKnown) entry.updateTime = 0;
  return entry;
}

// Gives each identity to the first block of its table's name; a second
// identity line of a name is ignored.
void giveIdentities(
    const std::vector<std::pair<std::string, std::string>>& identities,
    std::vector<PreviousTableEntry>* tables) {
  std::unordered_map<std::string, PreviousTableEntry*> first;
  for (PreviousTableEntry& entry : *tables) first.emplace(entry.name, &entry);
  std::unordered_set<std::string> given;
  for (const auto& identity : identities) {
    auto found = first.find(identity.first);
    if (found != first.end() && given.insert(identity.first).second)
      found->second->identity = identity.second;
  }
}

// An object whose section holds a line too long to keep is known by a
// name that no object has (a comment name holds no line feed): it counts as
// dropped, and the object of its name as added.
void forgetObject(object_section::PreviousObject* object) {
  if (object->name.empty() || object->name.back() != '\n') object->name += '\n';
}

void takeObjectLine(const Line& line, object_section::PreviousObject* object) {
  object->section.take(line.text);
  if (line.cut) forgetObject(object);
}

}  // namespace

int valuesUpTo(std::string_view line, std::size_t from, char last) {
  const char* const end = line.data() + line.size();
  int count = 0;
  const char* p = lexValues(line.data() + from, end, &count);
  return p != nullptr && end - p == 2 && p[0] == ')' && p[1] == last ? count : -1;
}

int rowValueCount(std::string_view line, std::string_view prefix) {
  if (!startsWith(line, prefix)) return -1;
  return valuesUpTo(line, prefix.size(), backup_format::kStatementEnds);
}

Index buildIndex(int fd, const RowsWanted& wanted) {
  return buildIndex(FileBytes(fd), wanted);
}

Index buildIndex(const PlainBytes& bytes, const RowsWanted& wanted) {
  Index index;
  // Taken before the first byte is read: a change while indexing shows.
  const FileStamp stamp = bytes.stamp();
  FileLines lines(bytes, 0);
  Line line;
  for (std::size_t i = 0; i < backup_format::kHeaderLinesSkipped; ++i)
    if (!lines.next(&line)) return index;
  RowJudges judges(bytes);
  BlockJudge judge("", 0, nullptr);
  bool inObject = false;  // the lines belong to the last object section
  bool objectEnded = false;  // its lines ended with the COMMIT line
  bool inIdentities = false;  // the identity block has begun
  std::vector<std::pair<std::string, std::string>> identities;
  while (lines.next(&line)) {
    if (inIdentities) {
      std::string table, identity;
      if (line.ended && backup_format::parseIdentityLine(line.text, &table, &identity))
        identities.emplace_back(std::move(table), std::move(identity));
      else if (line.ended && index.logPosition.file.empty())
        backup_format::parseLogPositionLine(line.text, &index.logPosition);
      continue;
    }
    // An object's statements may hold any line.
    if (inObject && index.objects.back().section.inStatements()) {
      takeObjectLine(line, &index.objects.back());
      continue;
    }
    const backup_format::SectionKind kind = backup_format::sectionKind(line.text);
    if (kind != backup_format::SectionKind::kNone) {
      if (!index.tables.empty() && !inObject) judge.finish(&index.tables.back());
      inObject = kind != backup_format::SectionKind::kTable;
    }
    if (kind == backup_format::SectionKind::kSettings) {
      inIdentities = true;
      inObject = false;
      index.settings = quotedText(line.text);
      if (index.settings.empty() || !line.ended) index.settings = "-";
      continue;
    }
    if (kind == backup_format::SectionKind::kTable) {
      bool shapeSound = false;
      index.tables.push_back(readCommentBlock(lines, line, &shapeSound));
      PreviousTableEntry& entry = index.tables.back();
      entry.file = stamp;
      // Only the rows of tables that may be copied are judged.
      judge = BlockJudge(entry.name, index.tables.size() - 1,
                         !wanted || wanted(entry) ? &judges : nullptr,
                         bytes.heldAfterReading() ? kJudgedRunHeld : kJudgedRun);
      if (!shapeSound) judge.reject();
    } else if (inObject) {
      if (kind != backup_format::SectionKind::kNone) {
        index.objects.push_back({kind, quotedText(line.text), {}});
        if (line.cut) forgetObject(&index.objects.back());
        objectEnded = false;
      } else if (line.text == backup_format::kCommitLine) {
        objectEnded = true;  // the file's closing line
      } else if (!objectEnded || !line.text.empty()) {
        // After the closing COMMIT line, a line of another kind makes the
        // section differ from any written.
        takeObjectLine(line, &index.objects.back());
      }
    } else if (!index.tables.empty()) {
      if (line.cut)
        judge.takeCut(&line, lines);
      else
        judge.take(line);
      // Rows that are not judged need not be read where their extent is
      // known; the block then counts as not read whole.
      if (judge.firstUnwantedRow(line)) {
        const std::uint64_t known = bytes.rowsKnownUpTo(line.offset);
        if (known > line.next) {
          lines.skipTo(known);
          lines.next(&line);  // the rest of a row line, or a whole one
          judge.reject();
        }
      }
      // The lines of wanted rows are only counted here (the judges lex
      // them): most of them go by in one tight loop.
      if (judge.inWantedRows()) {
        lines.takeWhole([&judge](std::string_view text, bool crlf, std::uint64_t next) {
          return judge.takeRow(text, crlf, next);
        });
      }
    } else if (!index.hasPreamble &&
               startsWith(line.text, backup_format::kPreambleStart)) {
      index.hasPreamble = true;
      index.preamble = std::string(line.text);
    }
  }
  if (!index.tables.empty() && !inObject && !inIdentities)
    judge.finish(&index.tables.back());
  giveIdentities(identities, &index.tables);
  for (std::size_t table : judges.finish()) {
    index.tables[table].rowsTrusted = false;
    index.tables[table].blockWhole = false;
  }
  // A file that could not be read to its end is judged by what was read:
  // the last block is then not known to be whole (an object section cut
  // short differs from what the next run writes).
  if (lines.failed() && !index.tables.empty() && !inObject && !inIdentities) {
    index.tables.back().rowsTrusted = false;
    index.tables.back().blockWhole = false;
  }
  return index;
}

namespace {

// Rows with CR LF line ends: copied as they lie, in large pieces, while
// the file is the one that was indexed, unchanged since.
RowsResult copyCrLfRows(int fd, const PreviousTableEntry& entry,
                        BackupFile& out, RowProgress* progress) {
  RowsResult result;
  if (!sameFile(stampOf(fd), entry.file)) return result;
  const std::uint64_t total = entry.rowsEnd - entry.rowsBegin;
  for (std::uint64_t done = 0; done < total;) {
    const std::uint64_t piece = std::min<std::uint64_t>(total - done, kProgressStep);
    if (out.appendFrom(fd, entry.rowsBegin + done, piece) !=
        BackupFile::CopyOutcome::kCopied)
      return result;
    done += piece;
    if (progress != nullptr) {
      // Rows so far, as the share of the block's bytes copied tells them.
      const double share = static_cast<double>(done) / total;
      progress->advanceTo(static_cast<std::uint64_t>(entry.rowCount * share), done);
    }
  }
  // Still the same file: what was copied is what the index judged.
  if (!sameFile(stampOf(fd), entry.file)) return result;
  result.rows = entry.rowCount;
  result.whole = out.writeLine("");
  return result;
}

// Rows with CR LF line ends out of bytes that are not a file of their own:
// read in pieces and written as they are, while the file they come from is
// the one that was indexed.
RowsResult copyCrLfRowsRead(const PlainBytes& bytes,
                            const PreviousTableEntry& entry, BackupFile& out,
                            RowProgress* progress) {
  RowsResult result;
  if (!sameFile(bytes.stamp(), entry.file)) return result;
  const std::uint64_t total = entry.rowsEnd - entry.rowsBegin;
  std::string piece(kBlockSize, '\0');
  for (std::uint64_t done = 0; done < total;) {
    const std::size_t want =
        static_cast<std::size_t>(std::min<std::uint64_t>(total - done, piece.size()));
    if (bytes.readAt(&piece[0], want, entry.rowsBegin + done) !=
            static_cast<ssize_t>(want) ||
        !out.writePart(std::string_view(piece.data(), want)))
      return result;
    done += want;
    if (progress != nullptr) {
      const double share = static_cast<double>(done) / total;
      progress->advanceTo(static_cast<std::uint64_t>(entry.rowCount * share), done);
    }
  }
  if (!sameFile(bytes.stamp(), entry.file)) return result;
  result.rows = entry.rowCount;
  result.whole = out.writeLine("");
  return result;
}

// Rows some of which end in a line feed alone: judged again line by line
// and written with CR LF.
RowsResult copyRowsByLine(const PlainBytes& bytes, const PreviousTableEntry& entry,
                          BackupFile& out, RowProgress* progress) {
  RowsResult result;
  RowForm form;
  form.shared = entry.rowsShared;
  form.prefix = entry.rowPrefix;
  form.head = entry.rowPrefix.substr(0, entry.rowPrefix.size() - 2);
  form.valueCount = entry.valueCount;
  RowReader rows(form);
  FileLines lines(bytes, entry.rowsBegin, entry.rowsEnd + 2, kLineHeldStreaming);
  Line line;
  while (lines.next(&line) && !line.text.empty()) {
    if (line.cut) {
      // Written as it streams: a line found bad on the way leaves the copy
      // not whole, like any other.
      std::uint64_t length = 0;
      bool written = true;
      auto write = [&](std::string_view piece) {
        length += piece.size();
        written = written && out.writePart(piece);
      };
      if (!rows.takeCut(lines, &line, write) || !line.ended ||
          rows.rows() > entry.rowCount || !written || !out.writePart("\r\n"))
        return result;
      if (progress != nullptr) progress->tick(length + 2);
    } else {
      if (!line.ended || !rows.take(line.text) || rows.rows() > entry.rowCount ||
          !out.writeLine(line.text))
        return result;
      if (progress != nullptr) progress->tick(line.text.size() + 2);
    }
    result.rows = rows.rows();
  }
  const bool closed = line.ended && line.text.empty() &&
                      line.offset == entry.rowsEnd && rows.closed();
  result.whole = closed && result.rows == entry.rowCount && out.writeLine("");
  return result;
}

}  // namespace

RowsResult copyRows(int fd, const PreviousTableEntry& entry, BackupFile& out,
                    RowProgress* progress) {
  if (!entry.rowsTrusted || entry.rowsEnd <= entry.rowsBegin) return RowsResult();
  return entry.rowsCrLf ? copyCrLfRows(fd, entry, out, progress)
                        : copyRowsByLine(FileBytes(fd), entry, out, progress);
}

RowsResult copyRows(const PlainBytes& bytes, const PreviousTableEntry& entry,
                    BackupFile& out, RowProgress* progress) {
  if (!entry.rowsTrusted || entry.rowsEnd <= entry.rowsBegin) return RowsResult();
  return entry.rowsCrLf ? copyCrLfRowsRead(bytes, entry, out, progress)
                        : copyRowsByLine(bytes, entry, out, progress);
}

}  // namespace previous_backup
