#include "backup/backup_check.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/local_time.h"
#include "backup/object_section.h"
#include "backup/zstd_frames.h"

namespace backup_check {
namespace {

namespace bf = backup_format;
using bf::SectionKind;

constexpr std::size_t kBlockSize = std::size_t{1} << 20;
// A definition's statement is kept whole to be read as the client reads
// it; one longer than this is not checked (no server takes it anyway).
constexpr std::size_t kStatementKept = std::size_t{64} << 20;
// Progress is told after every this many bytes.
constexpr std::uint64_t kProgressStep = std::uint64_t{64} << 20;
// The stock client keeps no more than 15 bytes of a delimiter.
constexpr std::size_t kLongestDelimiter = 15;
constexpr std::size_t kHeaderLines = 8;

// The words that the stock client takes, at the start of a statement's
// first line, for a command of its own rather than SQL to send.
constexpr const char* kClientCommands[] = {
    "?",       "charset", "clear",  "connect", "delimiter", "edit",
    "ego",     "exit",    "go",     "help",    "nopager",   "notee",
    "nowarning", "pager", "print",  "prompt",  "quit",      "rehash",
    "source",  "status",  "system", "tee",     "use",       "warnings"};

bool startsWith(std::string_view text, std::string_view start) {
  return text.size() >= start.size() &&
         std::memcmp(text.data(), start.data(), start.size()) == 0;
}

bool endsWith(std::string_view text, std::string_view end) {
  return text.size() >= end.size() &&
         text.substr(text.size() - end.size()) == end;
}

// The first word of a line, as the client looks it up among its commands.
bool isClientCommand(std::string_view line) {
  std::size_t length = 0;
  while (length < line.size() && !std::isspace(static_cast<unsigned char>(line[length])) &&
         line[length] != ';')
    ++length;
  if (length == 0) return false;
  for (const char* command : kClientCommands)
    if (std::strlen(command) == length &&
        strncasecmp(command, line.data(), length) == 0)
      return true;
  return false;
}

// The columns of a CREATE TABLE as the server prints it (one column a
// line, each line "  `name` ..."), and those of its period when it names
// them itself; row_start and row_end when it does not.
struct CreateColumns {
  std::vector<std::string> names;
  std::string periodStart = "row_start";
  std::string periodEnd = "row_end";
};

CreateColumns createColumns(std::string_view create) {
  CreateColumns columns;
  std::string name;
  for (std::size_t at = create.find('\n'); at != std::string_view::npos;
       at = create.find('\n', at + 1)) {
    std::size_t from = at + 3;
    if (create.compare(at + 1, 2, "  ") != 0 || !bf::readQuotedIdentifier(create, &from, &name)) continue;
    columns.names.push_back(name);
    const std::string_view rest = create.substr(from, create.find('\n', from) - from);
    if (rest.find(" AS ROW START") != std::string_view::npos) columns.periodStart = name;
    if (rest.find(" AS ROW END") != std::string_view::npos) columns.periodEnd = name;
  }
  return columns;
}

// The values of a row's line after its first `from` bytes, each quoted
// string without its quotes and escapes as it stands, NULL as "NULL"; the
// line has the shape valuesUpTo() accepts.
std::vector<std::string_view> rowValues(std::string_view line, std::size_t from) {
  std::vector<std::string_view> values;
  std::size_t at = from;
  while (at < line.size()) {
    if (line[at] == '\'') {
      std::size_t end = at + 1;
      while (end < line.size() && line[end] != '\'') end += line[end] == '\\' ? 2 : 1;
      values.push_back(line.substr(at + 1, end - at - 1));
      at = end + 1;
    } else {
      values.push_back(line.substr(at, 4));
      at += 4;
    }
    if (at >= line.size() || line[at] != ',') break;
    ++at;
  }
  return values;
}

// One line of the file, without its line end.
struct Line {
  std::string_view text;
  std::uint64_t number = 0;
  bool ended = false;  // had its LF
  bool crlf = false;   // and a CR before it
  bool nul = false;    // holds a NUL byte
  bool tooLong = false;  // longer than a line held: skipped, its text empty
};

// The lines of bytes read in large blocks; a line longer than a block
// grows the buffer to hold it, up to `heldMax` bytes (or as far as memory
// goes): a longer one is skipped to its end. Finds NUL bytes a block at a
// time.
class LineReader {
 public:
  LineReader(const previous_backup::PlainBytes& bytes, std::size_t heldMax)
      : bytes_(bytes), heldMax_(heldMax) {}

  bool next(Line* line) {
    for (;;) {
      // Of a line that goes on past the bytes read, only new bytes are
      // searched for its end.
      const char* start = buffer_.data() + consumed_;
      const char* lf = static_cast<const char*>(
          std::memchr(start + searched_, '\n', filled_ - consumed_ - searched_));
      searched_ = lf == nullptr ? filled_ - consumed_ : 0;
      if (lf == nullptr && !eof_ && filled_ - consumed_ >= heldMax_) return skipLine(line);
      if (lf != nullptr || eof_) {
        if (lf == nullptr && consumed_ == filled_) return false;
        const std::size_t length =
            lf != nullptr ? static_cast<std::size_t>(lf - start) : filled_ - consumed_;
        line->ended = lf != nullptr;
        line->crlf = line->ended && length > 0 && start[length - 1] == '\r';
        line->text = std::string_view(start, length - (line->crlf ? 1 : 0));
        line->number = ++lines_;
        const std::size_t end = consumed_ + length;
        line->nul = nul_ < end;
        if (line->nul) findNul(end);
        consumed_ = end + (line->ended ? 1 : 0);
        searched_ = 0;
        line->tooLong = false;
        return true;
      }
      if (!refill()) return skipLine(line);
    }
  }

  bool failed() const { return failed_; }
  std::uint64_t offset() const { return bufferOffset_ + consumed_; }

 private:
  // The rest of a line too long to hold, read past without keeping it;
  // the memory that held its start is let go.
  bool skipLine(Line* line) {
    bufferOffset_ += filled_;
    consumed_ = filled_ = searched_ = 0;
    nul_ = kNone;
    std::string().swap(buffer_);
    line->ended = false;
    while (!line->ended && !eof_) {
      refill();
      const char* lf = static_cast<const char*>(std::memchr(buffer_.data(), '\n', filled_));
      line->ended = lf != nullptr;
      consumed_ = line->ended ? static_cast<std::size_t>(lf - buffer_.data()) + 1 : filled_;
    }
    if (line->ended) findNulFrom(consumed_);
    line->text = std::string_view();
    line->crlf = line->ended;
    line->nul = false;
    line->tooLong = true;
    line->number = ++lines_;
    return true;
  }

  // False when the buffer cannot grow to hold the line read so far.
  bool refill() {
    const std::size_t kept = filled_ - consumed_;
    if (consumed_ > 0) std::memmove(&buffer_[0], buffer_.data() + consumed_, kept);
    bufferOffset_ += consumed_;
    if (nul_ != kNone) nul_ -= consumed_;
    consumed_ = 0;
    filled_ = kept;
    if (buffer_.size() < kept + kBlockSize) {
      try {
        buffer_.resize(kept + kBlockSize);
      } catch (const std::bad_alloc&) {
        return false;
      }
    }
    const ssize_t n =
        bytes_.readAt(&buffer_[filled_], buffer_.size() - filled_, bufferOffset_ + filled_);
    if (n < 0) failed_ = true;
    if (n <= 0) {
      eof_ = true;
      return true;
    }
    const std::size_t from = filled_;
    filled_ += static_cast<std::size_t>(n);
    if (nul_ == kNone) findNulFrom(from);
    return true;
  }

  // The next NUL byte at or after `from` among the bytes read.
  void findNulFrom(std::size_t from) {
    const void* found = std::memchr(buffer_.data() + from, '\0', filled_ - from);
    nul_ = found == nullptr ? kNone
                            : static_cast<std::size_t>(static_cast<const char*>(found) -
                                                       buffer_.data());
  }
  void findNul(std::size_t from) { findNulFrom(from); }

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const previous_backup::PlainBytes& bytes_;
  const std::size_t heldMax_;
  std::string buffer_;
  std::uint64_t bufferOffset_ = 0;  // of buffer_[0]
  std::size_t consumed_ = 0;
  std::size_t filled_ = 0;
  std::size_t searched_ = 0;  // bytes after consumed_ known to hold no LF
  std::size_t nul_ = kNone;  // the next NUL byte in the buffer
  std::uint64_t lines_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

// What the checker keeps of each table section until the settings line
// tells which parts the file holds.
struct TableRecord {
  std::uint64_t line = 0;          // of its comment line
  std::uint64_t rowsEarly = 0;     // a row line before any structure
  std::uint64_t firstRow = 0;
  bool structure = false;
};

// A statement being read to its delimiter.
struct Statement {
  std::string text;  // lines joined by LF, without the delimiter
  std::uint64_t line = 0;  // its first line; 0 when none is open
  bool tooLong = false;
  bool open() const { return line != 0; }
};

// Follows the file line by line and collects the faults.
class TextCheck {
 public:
  void take(const Line& line) {
    lastLine_ = line.number;
    lastEnded_ = line.ended;
    if (line.nul) fault(line.number, console_text::kCheckNul);
    if (line.ended && !line.crlf) fault(line.number, console_text::kCheckNoCrLf);
    if (line.tooLong) return fault(line.number, console_text::kCheckLineTooLong);
    if (asciiOnly_) judgeAscii(line);
    switch (stage_) {
      case Stage::kHeader: return header(line);
      case Stage::kPreamble: return preamble(line);
      case Stage::kSections: return sections(line);
      case Stage::kIdentities: return identity(line);
    }
  }

  Report finish() {
    if (stage_ != Stage::kIdentities) {
      closeSection(lastLine_ + 1);
      fault(lastLine_, console_text::kCheckNoClosing);
    }
    if (lastLine_ > 0 && !lastEnded_) fault(lastLine_, console_text::kCheckLastLine);
    judgeTables();
    std::stable_sort(report_.faults.begin(), report_.faults.end(),
                     [](const Fault& a, const Fault& b) { return a.line < b.line; });
    return std::move(report_);
  }

  void fault(std::uint64_t line, const std::string& why) {
    if (report_.faults.size() >= kFaultsKept) {
      ++report_.faultsLeftOut;
      return;
    }
    report_.faults.push_back({line, -1, why});
  }

  Summary& summary() { return report_.summary; }

 private:
  enum class Stage { kHeader, kPreamble, kSections, kIdentities };
  enum class Part {
    kNone,           // between sections, or before the first
    kTableComment,   // the update line and the line of '#' come
    kTableBody,
    kObjectHead,     // the line of '#' and the DELIMITER line come
    kObjectStatements,
    kObjectEnd,      // the empty line after DELIMITER ; comes
    kObjectDone,
  };
  enum class Rows { kBefore, kIn, kAfter };

  // --- header, preamble, closing block -------------------------------

  void header(const Line& line) {
    const std::string_view text = line.text;
    bool sound;
    switch (line.number) {
      case 1: case 6: sound = text == bf::hashLine(); break;
      case 2: case 5: sound = text == "#"; break;
      case 3:
        sound = startsWith(text, bf::kHeaderDatabasePrefix) && endsWith(text, "'");
        database_ = bf::nameFromComment(quotedName(text));
        break;
      case 4: {
        time_t when;
        sound = startsWith(text, bf::kHeaderCreatedPrefix) &&
                local_time::fromCommentText(
                    std::string(text.substr(sizeof(bf::kHeaderCreatedPrefix) - 1)), &when);
        break;
      }
      case 7:
        sound = text == bf::kSandboxLine;
        if (!sound) fault(line.number, console_text::kCheckNoSandbox);
        // A file without it (written before it was) goes on with its preamble.
        if (text.empty()) stage_ = Stage::kPreamble;
        sound = true;
        break;
      default: sound = text.empty(); break;
    }
    if (!sound) fault(line.number, console_text::kCheckNotHeader);
    if (line.number == kHeaderLines) stage_ = Stage::kPreamble;
  }

  // The client's character set line, then the preamble line, whose
  // character set it must name. In a file without the line (written before
  // it was) only ASCII is read alike by every client.
  void preamble(const Line& line) {
    const std::string_view text = line.text;
    if (clientCharsetAt_ == 0 && startsWith(text, bf::kClientCharsetStart)) {
      clientCharsetAt_ = line.number;
      clientCharset_ = std::string(text);
      return;
    }
    const std::size_t from = sizeof(bf::kPreambleStart) - 1;
    const std::size_t end = text.find(" */;", from);
    const std::string charset = startsWith(text, bf::kPreambleStart) && end != std::string_view::npos
                                    ? std::string(text.substr(from, end - from))
                                    : std::string();
    const bool sound = !charset.empty() && bf::rowsReadAlike(text, charset);
    if (!sound) fault(line.number, console_text::kCheckNoPreamble);
    if (clientCharsetAt_ != 0 && (!sound || clientCharset_ != bf::clientCharsetLine(charset)))
      fault(clientCharsetAt_, console_text::kCheckClientCharset);
    asciiOnly_ = clientCharsetAt_ == 0;
    fileCharset_ = charset;
    stage_ = Stage::kSections;
    part_ = Part::kNone;
  }

  // Without the character set line, the first byte over 0x7F is a fault.
  void judgeAscii(const Line& line) {
    const bool ascii = std::none_of(line.text.begin(), line.text.end(),
                                    [](char c) { return (c & 0x80) != 0; });
    if (ascii) return;
    fault(line.number, console_text::kCheckNoClientCharset);
    asciiOnly_ = false;
  }

  void settings(const Line& line) {
    const std::string_view text = line.text;
    const std::size_t first = sizeof(bf::kSettingsCommentPrefix) - 1;
    bool known = false;
    for (int bits = 0; bits < 8 && !known; ++bits) {
      if (text.substr(first) ==
          bf::settingsText(bits & 1, bits & 2, bits & 4) + "'") {
        known = true;
        structureSaved_ = bits & 1;
        dataSaved_ = (bits & 2) != 0;
      }
    }
    if (!known) fault(line.number, console_text::kCheckSettings);
    if (!lastWasCommit_) fault(line.number, console_text::kCheckNoClosing);
    stage_ = Stage::kIdentities;
  }

  void identity(const Line& line) {
    bf::LogPosition at;
    if (bf::parseLogPositionLine(line.text, &at)) return;
    std::string table, identity;
    if (!bf::parseIdentityLine(line.text, &table, &identity) ||
        tableNames_.count(table) == 0)
      fault(line.number, console_text::kCheckIdentity);
  }

  // What only the settings line tells: whether each table needed its
  // structure before its rows, and whether rows may stand in the file.
  void judgeTables() {
    bool structure = structureSaved_ > 0;
    if (structureSaved_ < 0)  // no settings line: judged by the other tables
      for (const TableRecord& table : tables_) structure = structure || table.structure;
    for (const TableRecord& table : tables_) {
      if (structure && !table.structure)
        fault(table.line, console_text::kCheckNoStructure);
      if (structure && table.rowsEarly != 0)
        fault(table.rowsEarly, console_text::kCheckRowsBeforeCreate);
      if (!dataSaved_ && table.firstRow != 0)
        fault(table.firstRow, console_text::kCheckRowsUnsaved);
    }
  }

  // --- sections -------------------------------------------------------

  void sections(const Line& line) {
    const std::string_view text = line.text;
    if (part_ == Part::kObjectStatements) return objectStatement(line);
    if (part_ == Part::kTableComment) return tableComment(line);
    const SectionKind kind = bf::sectionKind(text);
    if (kind != SectionKind::kNone) {
      closeSection(line.number);
      if (kind == SectionKind::kSettings) return settings(line);
      openSection(kind, line);
      lastWasCommit_ = false;
      return;
    }
    if (!text.empty()) lastWasCommit_ = text == bf::kCommitLine;
    switch (part_) {
      case Part::kNone:
      case Part::kObjectDone:
        // The file's closing COMMIT line and empty lines only.
        if (!text.empty() && text != bf::kCommitLine)
          fault(line.number, isComment(text) ? console_text::kCheckCommentLine
                                             : console_text::kCheckForeignLine);
        return;
      case Part::kTableComment: return tableComment(line);
      case Part::kTableBody: return tableBody(line);
      case Part::kObjectHead: return objectHead(line);
      case Part::kObjectEnd:
        if (!text.empty()) fault(line.number, console_text::kCheckSectionShape);
        part_ = Part::kObjectDone;
        return;
      case Part::kObjectStatements: return;
    }
  }

  static bool isComment(std::string_view text) {
    return !text.empty() && text[0] == bf::kCommentMark;
  }

  void openSection(SectionKind kind, const Line& line) {
    sectionLine_ = line.number;
    sectionKind_ = kind;
    sectionName_ = bf::nameFromComment(quotedName(line.text));
    definitionCharset_ = fileCharset_;
    headLines_ = 0;
    if (kind == SectionKind::kTable) {
      table_ = sectionName_;
      tableNames_.insert(table_);
      tables_.push_back({line.number, 0, 0, false});
      part_ = Part::kTableComment;
      rows_ = Rows::kBefore;
      isView_ = false;
      viewRestored_ = false;
      columnsKnown_ = false;
      historyOn_ = historyOff_ = false;
      rowForm_ = RowForm();
      ++summary().tables;
    } else {
      part_ = Part::kObjectHead;
      objectStatements_.clear();
      backslashEscapes_ = true;
      takePlace(kind == SectionKind::kTrigger ? Place::kTriggers
                : kind == SectionKind::kEvent ? Place::kEvents
                                              : Place::kRoutines,
                line.number);
    }
  }

  // The sections come in the order the writer puts them, which is the
  // order a restore needs: base tables, then functions and procedures
  // (views may call them), views, triggers (after the rows), events.
  enum class Place { kTables, kRoutines, kViews, kTriggers, kEvents };

  void takePlace(Place place, std::uint64_t line) {
    if (place < place_) return fault(line, console_text::kCheckSectionOrder);
    place_ = place;
  }

  // The text between the first and the last apostrophe.
  static std::string quotedName(std::string_view line) {
    const std::size_t first = line.find(bf::kNameQuote);
    const std::size_t last = line.rfind(bf::kNameQuote);
    if (first == std::string_view::npos || last == first) return std::string();
    return std::string(line.substr(first + 1, last - first - 1));
  }

  // Ends the section before `line`: what it left open is a fault.
  void closeSection(std::uint64_t line) {
    if (part_ == Part::kTableBody) {
      if (statement_.open()) fault(statement_.line, console_text::kCheckNotEnded);
      if (rowForm_.inStatement) fault(line - 1, console_text::kCheckNotEnded);
      if (rows_ == Rows::kIn) fault(line - 1, console_text::kCheckSectionShape);
      if (historyOn_ && !historyOff_) fault(line - 1, console_text::kCheckHistory);
      if (isView_) {
        --summary().tables;
        ++summary().views;
      }
    } else if (part_ == Part::kObjectStatements) {
      fault(statement_.open() ? statement_.line : line - 1, console_text::kCheckNotEnded);
    } else if (part_ == Part::kTableComment || part_ == Part::kObjectHead ||
               part_ == Part::kObjectEnd) {
      fault(sectionLine_, console_text::kCheckSectionShape);
    }
    statement_ = Statement();
    part_ = Part::kNone;
  }

  void tableComment(const Line& line) {
    const bool sound =
        ++headLines_ == 1
            ? startsWith(line.text, bf::kUpdateCommentPrefix) && endsWith(line.text, "'")
            : line.text == bf::hashLine();
    if (!sound) fault(line.number, console_text::kCheckSectionShape);
    if (headLines_ == 2) part_ = Part::kTableBody;
  }

  // --- a table's body ------------------------------------------------

  // The rows' form, settled by each statement's first line.
  struct RowForm {
    std::string head;     // the statement head of several rows a statement
    std::string prefix;   // the part of a row line before its values
    int values = -1;      // the values each row holds; -1 until known
    int periodStart = -1;  // the places of a past row's period, or -1
    int periodEnd = -1;
    bool inStatement = false;  // several rows a statement, not yet ended
  };

  void tableBody(const Line& line) {
    const std::string_view text = line.text;
    if (statement_.open()) return statementLine(line, ";");
    if (rowForm_.inStatement) return sharedRow(line);
    if (bf::isRowLine(text)) return rowLine(line);
    if (text.empty()) {
      if (rows_ == Rows::kIn) rows_ = Rows::kAfter;
      return;
    }
    if (rows_ == Rows::kIn) return fault(line.number, console_text::kCheckForeignLine);
    if (isComment(text)) return fault(line.number, console_text::kCheckCommentLine);
    if (text == bf::kHistoryOnLine) {
      if (rows_ != Rows::kBefore || historyOn_) fault(line.number, console_text::kCheckHistory);
      historyOn_ = true;
      return;
    }
    if (text == bf::kHistoryOffLine) {
      if (!historyOn_ || historyOff_ || rows_ != Rows::kAfter)
        fault(line.number, console_text::kCheckHistory);
      historyOff_ = true;
      return;
    }
    startStatement(line, ";");
  }

  void startStatement(const Line& line, std::string_view delimiter) {
    if (isClientCommand(line.text)) fault(line.number, console_text::kCheckCommand);
    statement_ = Statement();
    statement_.line = line.number;
    statementLine(line, delimiter);
  }

  // Keeps the statement's lines until one ends with the delimiter.
  void statementLine(const Line& line, std::string_view delimiter) {
    Statement& statement = statement_;
    const bool ends = endsWith(line.text, delimiter);
    if (part_ == Part::kTableBody && !ends &&
        (line.text.empty() || isComment(line.text))) {
      // No table statement holds an empty or comment line: it was left open.
      if (statement.tooLong || clientSends(statement.text, delimiter, statement.line))
        fault(statement.line, console_text::kCheckNotEnded);
      statement = Statement();
      return tableBody(line);
    }
    if (!statement.tooLong) {
      if (statement.line != line.number) statement.text += '\n';
      statement.text.append(line.text.data(),
                            line.text.size() - (ends ? delimiter.size() : 0));
      if (statement.text.size() > kStatementKept) {
        statement.tooLong = true;
        statement.text.clear();
        statement.text.shrink_to_fit();
      }
    }
    if (!ends) return;
    if (part_ == Part::kTableBody && !statement.tooLong &&
        bf::clientReading(statement.text, delimiter, backslashEscapes_) ==
            bf::ClientReading::kLeftOpen) {
      // The delimiter stands inside a string the client reads on: so does
      // the statement.
      statement.text.append(delimiter.data(), delimiter.size());
      return;
    }
    const std::uint64_t first = statement.line;
    std::string text = std::move(statement.text);
    const bool tooLong = statement.tooLong;
    statement = Statement();
    if (tooLong) return fault(first, console_text::kCheckTooLong);
    if (!clientSends(text, delimiter, first)) return;
    if (part_ == Part::kTableBody)
      tableStatement(text, first);
    else
      objectStatementDone(text, first);
  }

  // True when the client sends `text` as one statement; else the fault.
  bool clientSends(std::string_view text, std::string_view delimiter,
                   std::uint64_t first) {
    std::size_t at = 0;
    const bf::ClientReading reading =
        bf::clientReading(text, delimiter, backslashEscapes_, &at);
    // The line of what the client found: the statement's lines are joined
    // by LF.
    const std::uint64_t line =
        first + std::count(text.begin(), text.begin() + std::min(at, text.size()), '\n');
    switch (reading) {
      case bf::ClientReading::kSends: return true;
      case bf::ClientReading::kDelimiterInside:
        fault(line, console_text::kCheckDelimiterInside);
        return false;
      case bf::ClientReading::kCommand:
        fault(line, console_text::kCheckCommand);
        return false;
      case bf::ClientReading::kLeftOpen:
        fault(line, console_text::kCheckLeftOpen);
        return false;
      case bf::ClientReading::kNul:
        fault(line, console_text::kCheckNul);
        return false;
    }
    return false;
  }

  // A whole statement of a table's structure block.
  void tableStatement(const std::string& text, std::uint64_t line) {
    if (text + ";" == bf::kCommitLine) return;
    if (rows_ != Rows::kBefore) return fault(line, console_text::kCheckForeignLine);
    if (startsWith(text, bf::kDropStart)) {
      if (text + ";" != bf::dropLine(table_, false) && text + ";" != bf::dropLine(table_, true))
        fault(line, console_text::kCheckOtherName);
      return;
    }
    const bool created = tables_.back().structure;
    if (startsWith(text, bf::kViewSessionStart)) {
      // A view's session before its definition, and the restore's after it.
      if (!object_section::isSessionLine(text, SectionKind::kNone, created,
                                         &definitionCharset_) ||
          created != isView_ || viewRestored_)
        fault(line, console_text::kCheckForeignLine);
      viewRestored_ = created;
      isView_ = true;
      return;
    }
    if (created) return fault(line, console_text::kCheckForeignLine);
    tables_.back().structure = true;
    // Only a view's definition may stand in its hex form.
    std::string decoded;
    if (isView_) {
      const std::string& create = bf::statementFromHex(text, &decoded) ? decoded : text;
      std::string named;
      if (!object_section::createsObject(create, SectionKind::kNone, database_, &named) ||
          !namesThis(named, table_))
        return fault(line, console_text::kCheckOtherName);
      return takePlace(Place::kViews, line);
    }
    const std::string named = bf::quoteIdentifier(table_) + " ";
    if (!startsWith(text, bf::kCreateTableStart + named) &&
        !startsWith(text, bf::kCreateSequenceStart + named))
      return fault(line, startsWith(text, bf::kCreateStart) ? console_text::kCheckOtherName
                                                           : console_text::kCheckForeignLine);
    takePlace(Place::kTables, line);
    baseTables_.insert(table_);
    const std::string& create = text;
    CreateColumns columns = createColumns(create);
    columns_.clear();
    for (std::string& column : columns.names) columns_.insert(std::move(column));
    columnCount_ = static_cast<int>(columns_.size());
    periodStart_ = columns.periodStart;
    periodEnd_ = columns.periodEnd;
    columnsKnown_ = columnCount_ > 0;
  }

  // A row line, or the head of a statement of several rows.
  void rowLine(const Line& line) {
    const std::string_view text = line.text;
    TableRecord& table = tables_.back();
    if (rows_ == Rows::kAfter) return fault(line.number, console_text::kCheckRowOutside);
    if (rows_ == Rows::kBefore) {
      takePlace(Place::kTables, line.number);
      rows_ = Rows::kIn;
      table.firstRow = line.number;
      if (!table.structure) table.rowsEarly = line.number;
    }
    if (!rowForm_.head.empty() && text == rowForm_.head) {
      rowForm_.inStatement = true;
      return;
    }
    if (rowForm_.prefix.empty() || !startsWith(text, rowForm_.prefix)) {
      if (!settleForm(line)) return;
      if (rowForm_.inStatement) return;
    }
    ++summary().rows;
    countValues(line, previous_backup::rowValueCount(text, rowForm_.prefix));
    judgePeriod(line, rowForm_.prefix.size());
  }

  // A row of a statement of several rows.
  void sharedRow(const Line& line) {
    const std::string_view text = line.text;
    if (!startsWith(text, bf::kRowValuesStart)) {
      rowForm_.inStatement = false;
      fault(line.number - 1, console_text::kCheckNotEnded);
      return tableBody(line);
    }
    const char last = text.back();
    if (last != bf::kStatementEnds && last != bf::kStatementGoesOn)
      return fault(line.number, console_text::kCheckRowShape);
    if (last == bf::kStatementEnds) rowForm_.inStatement = false;
    ++summary().rows;
    countValues(line, previous_backup::valuesUpTo(text, 1, last));
    judgePeriod(line, 1);
  }

  // A past row's period: its start (a time stamp as the server prints it,
  // so in the order of its text) before its end.
  void judgePeriod(const Line& line, std::size_t from) {
    if (rowForm_.periodStart < 0 || rowForm_.periodEnd < 0) return;
    const std::vector<std::string_view> values = rowValues(line.text, from);
    const std::size_t start = static_cast<std::size_t>(rowForm_.periodStart);
    const std::size_t end = static_cast<std::size_t>(rowForm_.periodEnd);
    if (start < values.size() && end < values.size() && !(values[start] < values[end]))
      fault(line.number, console_text::kCheckPeriod);
  }

  void countValues(const Line& line, int values) {
    if (values <= 0) return fault(line.number, console_text::kCheckRowShape);
    if (rowForm_.values < 0) rowForm_.values = values;
    if (values != rowForm_.values)
      fault(line.number, console_text::checkColumnCount(values, rowForm_.values));
  }

  // Reads the row line's table, column list and form: "INSERT INTO `t` "
  // then "(`a`,`b`) " or nothing, then "VALUES" (a statement head) or
  // "VALUES (" and the values. False, with the fault, when it is none.
  bool settleForm(const Line& line) {
    const std::string_view text = line.text;
    const std::string start = bf::rowLineStartFor(table_);
    if (!startsWith(text, start)) {
      fault(line.number, console_text::kCheckRowOtherTable);
      return false;
    }
    std::size_t at = start.size();
    std::vector<std::string> list;
    if (at < text.size() && text[at] == '(') {
      std::string name;
      do {
        ++at;
        if (!bf::readQuotedIdentifier(text, &at, &name)) {
          fault(line.number, console_text::kCheckRowShape);
          return false;
        }
        list.push_back(name);
      } while (at < text.size() && text[at] == ',');
      if (text.compare(at, 2, ") ") != 0) {
        fault(line.number, console_text::kCheckRowShape);
        return false;
      }
      at += 2;
    }
    constexpr std::string_view kValues = "VALUES";
    if (text.compare(at, kValues.size(), kValues) != 0) {
      fault(line.number, console_text::kCheckRowShape);
      return false;
    }
    rowForm_.head = std::string(text.substr(0, at + kValues.size()));
    rowForm_.prefix = rowForm_.head + " (";
    rowForm_.inStatement = text.size() == rowForm_.head.size();
    rowForm_.values = list.empty() ? (columnsKnown_ ? columnCount_ : -1)
                                   : static_cast<int>(list.size());
    if (columnsKnown_ && !list.empty()) judgeColumnList(line, list);
    // Past rows: each must end after it began, or the server refuses it.
    rowForm_.periodStart = rowForm_.periodEnd = -1;
    for (std::size_t i = 0; historyOn_ && i < list.size(); ++i) {
      if (list[i] == periodStart_) rowForm_.periodStart = static_cast<int>(i);
      if (list[i] == periodEnd_) rowForm_.periodEnd = static_cast<int>(i);
    }
    return true;
  }

  // A column list names every column of the CREATE TABLE once, and the
  // period's columns of a table versioned without naming them.
  void judgeColumnList(const Line& line, const std::vector<std::string>& list) {
    std::unordered_set<std::string> named;
    std::size_t implicit = 0;
    for (const std::string& column : list) {
      const bool known = columns_.count(column) != 0;
      const bool period = !known && (column == "row_start" || column == "row_end");
      if ((!known && !period) || !named.insert(column).second)
        return fault(line.number, console_text::kCheckUnknownColumn);
      if (period) ++implicit;
    }
    if (list.size() - implicit != columns_.size())
      fault(line.number, console_text::checkColumnCount(static_cast<int>(list.size()),
                                                        columnCount_));
  }

  // --- an object section ----------------------------------------------

  void objectHead(const Line& line) {
    const std::string_view text = line.text;
    if (++headLines_ == 1) {
      if (text != bf::hashLine()) fault(line.number, console_text::kCheckSectionShape);
      return;
    }
    const std::string_view command = bf::kDelimiterCommand;
    delimiter_.clear();
    if (startsWith(text, command)) delimiter_ = std::string(text.substr(command.size()));
    const bool plain = !delimiter_.empty() && delimiter_.size() <= kLongestDelimiter &&
                       std::none_of(delimiter_.begin(), delimiter_.end(), [](char c) {
                         return std::isspace(static_cast<unsigned char>(c)) ||
                                c == '\\' || c == '\'' || c == '"' || c == '`';
                       });
    if (!plain) {
      fault(line.number, console_text::kCheckSectionShape);
      part_ = Part::kNone;
      return;
    }
    part_ = Part::kObjectStatements;
  }

  void objectStatement(const Line& line) {
    if (statement_.open()) return statementLine(line, delimiter_);
    if (line.text == std::string(bf::kDelimiterCommand) + ";") {
      judgeObject();
      part_ = Part::kObjectEnd;
      return;
    }
    // The client takes a command word only on a line without the delimiter.
    if (isClientCommand(line.text) && line.text.find(delimiter_) == std::string_view::npos)
      fault(line.number, console_text::kCheckCommand);
    statement_ = Statement();
    statement_.line = line.number;
    statementLine(line, delimiter_);
  }

  // The kinds of an object section's statements, in order.
  enum class ObjectStatement { kDrop, kSession, kDefinition, kOther };

  // Each statement as the writer writes it for this section's object: its
  // DROP, its session lines, its CREATE (of its kind and name, in this
  // database); a DROP or a definition may stand as its hex form.
  void objectStatementDone(const std::string& text, std::uint64_t line) {
    std::string decoded;
    ObjectStatement kind = ObjectStatement::kOther;
    const bool hex = bf::statementFromHex(text, &decoded);
    const std::string_view statement = hex ? std::string_view(decoded) : text;
    const bool defined =
        std::count(objectStatements_.begin(), objectStatements_.end(),
                   ObjectStatement::kDefinition) > 0;
    std::string named, table;
    if (object_section::isDropOf(statement, sectionKind_, sectionName_)) {
      kind = ObjectStatement::kDrop;
    } else if (!hex && object_section::isSessionLine(text, sectionKind_, defined,
                                                     &definitionCharset_)) {
      kind = ObjectStatement::kSession;
      // The client reads what follows under the session the line sets:
      // the object's own, then the one it saved.
      backslashEscapes_ = text.find("NO_BACKSLASH_ESCAPES") == std::string::npos;
    } else if (object_section::createsObject(statement, sectionKind_, database_, &named,
                                             &table) &&
               namesThis(named, sectionName_)) {
      kind = ObjectStatement::kDefinition;
      // A trigger after its table.
      std::string onTable;
      if (sectionKind_ == SectionKind::kTrigger &&
          object_section::nameInCharset(table, definitionCharset_, fileCharset_, &onTable) &&
          baseTables_.count(onTable) == 0)
        fault(line, console_text::kCheckSectionOrder);
    } else {
      fault(line, startsWith(statement, bf::kDropStart) || startsWith(statement, bf::kCreateStart)
                      ? console_text::kCheckOtherName
                      : console_text::kCheckForeignLine);
    }
    objectStatements_.push_back(kind);
  }

  // Whether a definition's name, in the definition's character set, is
  // `name`, the section's in the file's; a name in a set that cannot be
  // written in the file's here is taken as it is.
  bool namesThis(const std::string& named, const std::string& name) const {
    std::string converted;
    return !object_section::nameInCharset(named, definitionCharset_, fileCharset_, &converted) ||
           converted == name;
  }

  // The statements are [DROP], SET, the definition, SET.
  void judgeObject() {
    using S = ObjectStatement;
    std::vector<S> kinds = objectStatements_;
    if (!kinds.empty() && kinds.front() == S::kDrop) kinds.erase(kinds.begin());
    const bool sound = kinds.size() == 3 && kinds[0] == S::kSession &&
                       kinds[1] == S::kDefinition && kinds[2] == S::kSession;
    if (!sound) return fault(sectionLine_, console_text::kCheckSectionShape);
    switch (sectionKind_) {
      case SectionKind::kTrigger: ++summary().triggers; break;
      case SectionKind::kEvent: ++summary().events; break;
      default: ++summary().routines; break;
    }
  }

  Report report_;
  Stage stage_ = Stage::kHeader;
  Part part_ = Part::kNone;
  std::uint64_t lastLine_ = 0;
  bool lastEnded_ = true;
  bool lastWasCommit_ = false;
  std::uint64_t clientCharsetAt_ = 0;  // the character set line's, or 0
  std::string clientCharset_;
  bool asciiOnly_ = false;  // no character set line: every byte must be ASCII
  int structureSaved_ = -1;  // from the settings line; -1 until known
  bool dataSaved_ = true;
  std::vector<TableRecord> tables_;
  std::unordered_set<std::string> tableNames_;
  std::unordered_set<std::string> baseTables_;  // with their CREATE TABLE
  std::string database_;  // as the header names it
  std::string fileCharset_;        // as the preamble sets it
  std::string definitionCharset_;  // as the last session line sets it
  Place place_ = Place::kTables;
  // The section being read.
  std::uint64_t sectionLine_ = 0;
  SectionKind sectionKind_ = SectionKind::kNone;
  std::string sectionName_;
  int headLines_ = 0;
  Statement statement_;
  bool backslashEscapes_ = true;
  // A table's.
  std::string table_;
  Rows rows_ = Rows::kBefore;
  bool isView_ = false;
  bool viewRestored_ = false;
  bool historyOn_ = false;
  bool historyOff_ = false;
  bool columnsKnown_ = false;
  int columnCount_ = 0;
  std::unordered_set<std::string> columns_;
  std::string periodStart_;  // the names of the period's columns
  std::string periodEnd_;
  RowForm rowForm_;
  // An object's.
  std::string delimiter_;
  std::vector<ObjectStatement> objectStatements_;
};

// Bytes held in memory, as a file holds them.
class TextBytes : public previous_backup::PlainBytes {
 public:
  explicit TextBytes(std::string_view text) : text_(text) {}
  ssize_t readAt(char* buffer, std::size_t length, std::uint64_t offset) const override {
    if (offset >= text_.size()) return 0;
    const std::size_t n = std::min<std::size_t>(length, text_.size() - offset);
    std::memcpy(buffer, text_.data() + offset, n);
    return static_cast<ssize_t>(n);
  }
  FileStamp stamp() const override { return FileStamp(); }

 private:
  std::string_view text_;
};

void addFrameFault(Report* report, std::int64_t frame, const char* why) {
  if (report->faults.size() >= kFaultsKept) {
    ++report->faultsLeftOut;
    return;
  }
  report->faults.insert(report->faults.begin(), {0, frame, why});
}

// Whether the bytes of `fd` at `offset` are `wanted`.
bool readsAs(int fd, std::uint64_t offset, const std::string& wanted) {
  std::string found(wanted.size(), '\0');
  return zstd_frames::readAt(fd, &found[0], found.size(), offset) ==
             static_cast<ssize_t>(found.size()) &&
         found == wanted;
}

// The frames tile the file from its first byte, and the seek table after
// them lists exactly them and ends the file.
void checkFrames(int fd, const std::vector<zstd_frames::Frame>& frames,
                 std::uint64_t fileSize, Report* report) {
  std::uint64_t at = 0;
  bool tiled = true;
  for (std::size_t i = frames.size(); i-- > 0;)
    if (!frames[i].sound) addFrameFault(report, static_cast<std::int64_t>(i),
                                        console_text::kCheckFrameDamaged);
  for (const zstd_frames::Frame& frame : frames) {
    tiled = tiled && frame.packedBegin == at;
    at = frame.packedBegin + frame.packedSize;
  }
  const std::string wanted = zstd_frames::seekTable(frames);
  const bool sound = tiled && fileSize >= at && fileSize - at == wanted.size() &&
                     readsAs(fd, at, wanted);
  if (!sound)
    addFrameFault(report, static_cast<std::int64_t>(frames.size()),
                  console_text::kCheckSeekTable);
}

}  // namespace

Report checkBytes(const previous_backup::PlainBytes& bytes, std::uint64_t total,
                  const Progress& progress, std::size_t lineHeldMax) {
  TextCheck check;
  LineReader reader(bytes, lineHeldMax);
  Line line;
  std::uint64_t nextProgress = kProgressStep;
  while (reader.next(&line)) {
    check.take(line);
    if (progress && reader.offset() >= nextProgress) {
      progress(reader.offset(), total);
      nextProgress = reader.offset() + kProgressStep;
    }
  }
  if (reader.failed()) check.fault(line.number + 1, console_text::kCheckUnreadable);
  check.summary().bytes = reader.offset();
  return check.finish();
}

Report checkText(std::string_view text) {
  return checkBytes(TextBytes(text), text.size());
}

Report checkFile(const std::string& path, const Progress& progress) {
  // Never waits on a FIFO: only a regular file is read.
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  struct stat status;
  if (fd < 0 || fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    const int error = fd < 0 ? errno : EINVAL;
    if (fd >= 0) close(fd);
    Report report;
    report.faults.push_back({0, -1, console_text::checkCannotOpen(path, error)});
    return report;
  }
  const std::uint64_t size = static_cast<std::uint64_t>(status.st_size);
  Report report;
  if (!zstd_frames::looksCompressed(fd)) {
    posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    report = checkBytes(previous_backup::FileBytes(fd), size, progress);
  } else {
    previous_backup::PackedBytes packed(fd);
    if (!packed.readable()) {
      report.faults.push_back({0, -1, console_text::kCheckNotOurFrames});
    } else {
      report = checkBytes(packed, 0, progress);
      checkFrames(fd, packed.framesRead(), size, &report);
    }
    report.summary.packedBytes = size;
  }
  close(fd);
  return report;
}

}  // namespace backup_check
