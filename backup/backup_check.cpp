#include "backup/backup_check.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <unordered_set>
#include <utility>

#include <strings.h>

#include "backup/backup_format.h"
#include "backup/block_count.h"
#include "backup/create_table.h"
#include "backup/file_lines.h"
#include "backup/console_text.h"
#include "backup/local_time.h"
#include "backup/object_section.h"
#include "backup/row_lexer.h"
#include "backup/sql_lexer.h"

namespace backup_check {
namespace {

namespace bf = backup_format;
using bf::endsWith;
using bf::SectionKind;
using bf::startsWith;

// The session a file's tables and views are made in: its preamble's
// SQL_MODE='NO_AUTO_VALUE_ON_ZERO', under which backslashes escape and
// double quotes enclose strings.
constexpr unsigned long long kFileSqlMode = 0;

// Whether the server, reading the plain statement `text` in `charset` (its
// session line's), finds its quotes and semicolons where the check, which
// reads single bytes, does: always in a set lexedByteWise(), else only
// for ASCII text.
bool readAlikeIn(std::string_view text, const std::string& charset) {
  return bf::lexedByteWise(charset) ||
         std::none_of(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
}

// A definition's statement is kept whole to be read as the client reads
// it; one longer than this is not checked (no server takes it anyway).
constexpr std::size_t kStatementKept = std::size_t{64} << 20;
// Progress is told after every this many bytes.
constexpr std::uint64_t kProgressStep = std::uint64_t{64} << 20;
constexpr std::size_t kHeaderLines = 8;

// A line as the check takes it, with its number (from 1). A cut line is
// one longer than the check holds, read past without its text.
struct NumberedLine : file_lines::Line {
  std::uint64_t number = 0;
};

// What the checker keeps of each table section until the settings line
// tells which parts the file holds.
struct TableRecord {
  std::uint64_t line = 0;          // of its comment line
  std::uint64_t rowsEarly = 0;     // a row line before any structure
  std::uint64_t firstRow = 0;
  bool structure = false;
  bool dropped = false;  // its DROP came first
};

// Whether a section with a definition had its DROP, which the settings
// line tells it must, or must not, have.
struct DropRecord {
  std::uint64_t line = 0;  // of the section's first line
  bool dropped = false;
};

// A statement being read to its delimiter.
struct Statement {
  std::string text;  // lines joined by LF, without the delimiter
  std::uint64_t line = 0;  // its first line; 0 when none is open
  bool tooLong = false;
  bool open() const { return line != 0; }
};

// The rows' form, settled by each statement's first line, and whether a
// statement of several rows is open.
struct RowsState {
  std::string head;     // the statement head of several rows a statement
  std::string prefix;   // the part of a row line before its values
  int values = -1;      // the values each row holds; -1 until known
  int periodStart = -1;  // the places of a past row's period, or -1
  int periodEnd = -1;
  bool inStatement = false;  // several rows a statement, not yet ended
};

enum class Rows { kBefore, kIn, kAfter };

// The kinds of an object section's statements, in order.
enum class ObjectStatement { kDrop, kSession, kDefinition, kOther };

// What the check knows of one section, made afresh for each.
struct Section {
  std::uint64_t line = 0;  // of its first line
  SectionKind kind = SectionKind::kNone;
  std::string name;               // as its first line names it
  std::string definitionCharset;  // as its last session line sets it
  int headLines = 0;
  Statement statement;
  // The session's mode as the client reads what follows: a definition's
  // own after its session line, else the file's.
  unsigned long long sqlMode = 0;  // as sql_lexer's bits
  bool backslashEscapes() const { return (sqlMode & sql_lexer::kModeNoBackslashEscapes) == 0; }
  // A table's.
  Rows rows = Rows::kBefore;
  bool isView = false;
  bool viewRestored = false;
  bool historyOn = false;
  bool historyOff = false;
  bool rowsElsewhere = false;  // it holds none of its own (create_table::keepsOwnRows)
  bool columnsKnown = false;
  int columnCount = 0;
  std::unordered_set<std::string> columns;
  std::string periodStart;  // the names of the period's columns
  std::string periodEnd;
  RowsState rowsState;
  // An object's.
  std::string delimiter;
  std::vector<ObjectStatement> objectStatements;
};

// Follows the file line by line and collects the faults.
class TextCheck {
 public:
  void take(const NumberedLine& line) {
    lastLine_ = line.number;
    lastEnded_ = line.ended;
    // A line too long to hold was read past: nothing more of it is known.
    if (line.cut) return fault(line.number, console_text::kCheckLineTooLong);
    if (line.nul) fault(line.number, console_text::kCheckNul);
    if (line.ended && !line.crlf) fault(line.number, console_text::kCheckNoCrLf);
    switch (stage_) {
      case Stage::kHeader: return header(line);
      case Stage::kPreamble: return preamble(line);
      case Stage::kSections: return sections(line);
      case Stage::kIdentities: return identity(line);
    }
  }

  // Whether the next lines may go to takeRow(): they are in a rows block
  // whose form is settled and whose rows have no period to judge.
  bool inRows() const {
    const RowsState& form = section_.rowsState;
    return stage_ == Stage::kSections && part_ == Part::kTableBody &&
           !section_.statement.open() && section_.rows == Rows::kIn &&
           (form.inStatement || !form.prefix.empty()) && form.values > 0 &&
           (form.periodStart < 0 || form.periodEnd < 0);
  }

  // The row line whose bytes begin at `p` and may run on past it to
  // `end`, numbered `number`, in a tight loop for the bulk of a file: its
  // length with its line end when take() would find nothing in it but a
  // row to count, no longer than `held`; 0 leaves it to take(), as it does
  // any other line and the last row of a statement. The lexer finds the
  // line's end as it reads the values, so no byte is searched twice.
  std::size_t takeRow(const char* p, const char* end, std::size_t held,
                      std::uint64_t number) {
    const RowsState& form = section_.rowsState;
    const std::string_view start =
        form.inStatement ? std::string_view(bf::kRowValuesStart) : form.prefix;
    const char last = form.inStatement ? bf::kStatementGoesOn : bf::kStatementEnds;
    const char* q = row_lexer::rowBody(p, end, start, form.values);
    // The line ends in `last`, then CR LF.
    if (q == nullptr || end - q < 3 || q[0] != last || q[1] != '\r' || q[2] != '\n' ||
        static_cast<std::size_t>(q + 2 - p) > held)
      return 0;
    lastLine_ = number;
    lastEnded_ = true;
    lastWasCommit_ = false;
    ++summary().rows;
    return static_cast<std::size_t>(q + 3 - p);
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

  // --- header, preamble, closing block -------------------------------

  void header(const NumberedLine& line) {
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
  void preamble(const NumberedLine& line) {
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
    // The check reads single bytes; the client would read such a set's
    // characters whole, and end a string where the check does not.
    if (sound && !bf::lexedByteWise(charset))
      fault(line.number, console_text::kCheckCharsetNotByteWise);
    if (clientCharsetAt_ != 0 && (!sound || clientCharset_ != bf::clientCharsetLine(charset)))
      fault(clientCharsetAt_, console_text::kCheckClientCharset);
    fileCharset_ = charset;
    stage_ = Stage::kSections;
    part_ = Part::kNone;
  }

  void settings(const NumberedLine& line) {
    const std::string_view text = line.text;
    const std::size_t first = sizeof(bf::kSettingsCommentPrefix) - 1;
    bool known = false;
    for (int bits = 0; bits < 8 && !known; ++bits) {
      if (text.substr(first) ==
          bf::settingsText(bits & 1, bits & 2, bits & 4) + "'") {
        known = true;
        structureSaved_ = bits & 1;
        dataSaved_ = (bits & 2) != 0;
        dropSaved_ = (bits & 4) != 0 ? 1 : 0;
      }
    }
    if (!known) fault(line.number, console_text::kCheckSettings);
    if (!lastWasCommit_) fault(line.number, console_text::kCheckNoClosing);
    stage_ = Stage::kIdentities;
  }

  void identity(const NumberedLine& line) {
    bf::LogPosition at;
    if (bf::parseLogPositionLine(line.text, &at)) return;
    std::string table, identity;
    if (!bf::parseIdentityLine(line.text, &table, &identity) ||
        sectionNames_.count(sectionKey(SectionKind::kTable, table)) == 0)
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
      if (table.structure) drops_.push_back({table.line, table.dropped});
    }
    for (const DropRecord& section : drops_)
      if (dropSaved_ >= 0 && section.dropped != (dropSaved_ == 1))
        fault(section.line, console_text::kCheckDropSetting);
  }

  // --- sections -------------------------------------------------------

  void sections(const NumberedLine& line) {
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

  // A section's kind and name as one key of sectionNames_.
  static std::string sectionKey(SectionKind kind, const std::string& name) {
    return static_cast<char>('0' + static_cast<int>(kind)) + name;
  }

  static bool isComment(std::string_view text) {
    return !text.empty() && text[0] == bf::kCommentMark;
  }

  void openSection(SectionKind kind, const NumberedLine& line) {
    section_ = Section();
    section_.line = line.number;
    section_.kind = kind;
    section_.name = bf::nameFromComment(quotedName(line.text));
    section_.definitionCharset = fileCharset_;
    // The writer writes each object once: a second section would replace
    // what the first restored.
    if (!sectionNames_.insert(sectionKey(kind, section_.name)).second)
      fault(line.number, console_text::kCheckSecondSection);
    if (kind == SectionKind::kTable) {
      tables_.push_back({line.number, 0, 0, false});
      part_ = Part::kTableComment;
      ++summary().tables;
    } else {
      part_ = Part::kObjectHead;
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
      if (section_.statement.open()) fault(section_.statement.line, console_text::kCheckNotEnded);
      if (section_.rowsState.inStatement) fault(line - 1, console_text::kCheckNotEnded);
      if (section_.rows == Rows::kIn) fault(line - 1, console_text::kCheckSectionShape);
      if (section_.historyOn && !section_.historyOff) fault(line - 1, console_text::kCheckHistory);
      if (section_.isView) {
        --summary().tables;
        ++summary().views;
      }
    } else if (part_ == Part::kObjectStatements) {
      fault(section_.statement.open() ? section_.statement.line : line - 1, console_text::kCheckNotEnded);
    } else if (part_ == Part::kTableComment || part_ == Part::kObjectHead ||
               part_ == Part::kObjectEnd) {
      fault(section_.line, console_text::kCheckSectionShape);
    }
    section_.statement = Statement();
    part_ = Part::kNone;
  }

  void tableComment(const NumberedLine& line) {
    const bool sound =
        ++section_.headLines == 1
            ? startsWith(line.text, bf::kUpdateCommentPrefix) && endsWith(line.text, "'")
            : line.text == bf::hashLine();
    if (!sound) fault(line.number, console_text::kCheckSectionShape);
    if (section_.headLines == 2) part_ = Part::kTableBody;
  }

  // --- a table's body ------------------------------------------------

  void tableBody(const NumberedLine& line) {
    const std::string_view text = line.text;
    if (section_.statement.open()) return statementLine(line, ";");
    if (section_.rowsState.inStatement) return sharedRow(line);
    if (bf::isRowLine(text)) return rowLine(line);
    if (text.empty()) {
      if (section_.rows == Rows::kIn) section_.rows = Rows::kAfter;
      return;
    }
    if (section_.rows == Rows::kIn) return fault(line.number, console_text::kCheckForeignLine);
    if (isComment(text)) return fault(line.number, console_text::kCheckCommentLine);
    if (text == bf::kHistoryOnLine) {
      if (section_.rows != Rows::kBefore || section_.historyOn) fault(line.number, console_text::kCheckHistory);
      section_.historyOn = true;
      return;
    }
    if (text == bf::kHistoryOffLine) {
      // A table without rows has none between the two lines.
      if (!section_.historyOn || section_.historyOff) fault(line.number, console_text::kCheckHistory);
      section_.historyOff = true;
      return;
    }
    startStatement(line, ";");
  }

  void startStatement(const NumberedLine& line, std::string_view delimiter) {
    if (bf::isClientCommand(line.text)) fault(line.number, console_text::kCheckCommand);
    section_.statement = Statement();
    section_.statement.line = line.number;
    statementLine(line, delimiter);
  }

  // Keeps the statement's lines until one ends with the delimiter.
  void statementLine(const NumberedLine& line, std::string_view delimiter) {
    Statement& statement = section_.statement;
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
        bf::clientReading(statement.text, delimiter, section_.backslashEscapes()) ==
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
        bf::clientReading(text, delimiter, section_.backslashEscapes(), &at);
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

  // A definition or view as it stands (in its hex form, EXECUTE IMMEDIATE
  // runs one statement whatever the text holds): the server must read it
  // in its session's character set as the check does, and as one
  // statement (`one`).
  void judgePlain(std::string_view text, std::uint64_t line, bool one) {
    if (!readAlikeIn(text, section_.definitionCharset))
      fault(line, console_text::kCheckCharsetNotByteWise);
    else if (!one)
      fault(line, console_text::kCheckForeignLine);
  }

  // A whole statement of a table's structure block.
  void tableStatement(const std::string& text, std::uint64_t line) {
    if (text + ";" == bf::kCommitLine) return;
    if (section_.rows != Rows::kBefore) return fault(line, console_text::kCheckForeignLine);
    if (startsWith(text, bf::kDropStart)) {
      if (text + ";" != bf::dropLine(section_.name, false) &&
          text + ";" != bf::dropLine(section_.name, true))
        return fault(line, console_text::kCheckOtherName);
      // A DROP after the CREATE would drop the table just made.
      if (tables_.back().structure || tables_.back().dropped)
        return fault(line, console_text::kCheckForeignLine);
      tables_.back().dropped = true;
      return;
    }
    const bool created = tables_.back().structure;
    if (startsWith(text, bf::kViewSessionStart)) {
      // A view's session before its definition, and the restore's after it.
      if (!object_section::isSessionLine(text, SectionKind::kNone, created,
                                         &section_.definitionCharset) ||
          created != section_.isView || section_.viewRestored)
        fault(line, console_text::kCheckForeignLine);
      section_.viewRestored = created;
      section_.isView = true;
      return;
    }
    if (created) return fault(line, console_text::kCheckForeignLine);
    tables_.back().structure = true;
    // Only a view's definition may stand in its hex form.
    std::string decoded;
    if (section_.isView) {
      const bool hex = bf::statementFromHex(text, &decoded);
      const std::string& create = hex ? decoded : text;
      std::string named;
      if (!object_section::createsObject(create, SectionKind::kNone, database_, &named) ||
          !namesThis(named, section_.name))
        return fault(line, console_text::kCheckOtherName);
      if (!hex) judgePlain(text, line, sql_lexer::readsAsOnePlainStatement(text, kFileSqlMode));
      return takePlace(Place::kViews, line);
    }
    const std::string named = bf::quoteIdentifier(section_.name) + " ";
    if (!startsWith(text, bf::kCreateTableStart + named) &&
        !startsWith(text, bf::kCreateSequenceStart + named))
      return fault(line, startsWith(text, bf::kCreateStart) ? console_text::kCheckOtherName
                                                           : console_text::kCheckForeignLine);
    // The server prints no comment in a table's structure, to the client
    // nor to the server.
    bool commented = !sql_lexer::readsAsOnePlainStatement(text, kFileSqlMode);
    bf::clientReading(text, ";", section_.backslashEscapes(), nullptr, &commented);
    for (std::size_t at = text.find('\n'); at != std::string::npos && !commented;
         at = text.find('\n', at + 1))
      commented = !bf::continuesTableStructure(std::string_view(text).substr(at + 1));
    // Nor anything that would fill or shape the table from another.
    create_table::Storage storage;
    if (commented || !create_table::readsAsPrinted(text, &storage))
      fault(line, console_text::kCheckForeignLine);
    section_.rowsElsewhere = !create_table::keepsOwnRows(storage);
    takePlace(Place::kTables, line);
    baseTables_.insert(section_.name);
    const std::string& create = text;
    create_table::Columns columns = create_table::columnsOf(create);
    section_.columns.clear();
    for (std::string& column : columns.names) section_.columns.insert(std::move(column));
    section_.columnCount = static_cast<int>(section_.columns.size());
    section_.periodStart = columns.periodStart;
    section_.periodEnd = columns.periodEnd;
    section_.columnsKnown = section_.columnCount > 0;
  }

  // A row line, or the head of a statement of several rows.
  void rowLine(const NumberedLine& line) {
    const std::string_view text = line.text;
    TableRecord& table = tables_.back();
    if (section_.rows == Rows::kAfter) return fault(line.number, console_text::kCheckRowOutside);
    if (section_.rowsElsewhere) return fault(line.number, console_text::kCheckRowsElsewhere);
    if (section_.rows == Rows::kBefore) {
      takePlace(Place::kTables, line.number);
      section_.rows = Rows::kIn;
      table.firstRow = line.number;
      if (!table.structure) table.rowsEarly = line.number;
    }
    if (!section_.rowsState.head.empty() && text == section_.rowsState.head) {
      section_.rowsState.inStatement = true;
      return;
    }
    if (section_.rowsState.prefix.empty() || !startsWith(text, section_.rowsState.prefix)) {
      if (!settleForm(line)) return;
      if (section_.rowsState.inStatement) return;
    }
    ++summary().rows;
    countValues(line, row_lexer::rowValueCount(text, section_.rowsState.prefix));
    judgePeriod(line, section_.rowsState.prefix.size());
  }

  // A row of a statement of several rows.
  void sharedRow(const NumberedLine& line) {
    const std::string_view text = line.text;
    if (!startsWith(text, bf::kRowValuesStart)) {
      section_.rowsState.inStatement = false;
      fault(line.number - 1, console_text::kCheckNotEnded);
      return tableBody(line);
    }
    const char last = text.back();
    if (last != bf::kStatementEnds && last != bf::kStatementGoesOn)
      return fault(line.number, console_text::kCheckRowShape);
    if (last == bf::kStatementEnds) section_.rowsState.inStatement = false;
    ++summary().rows;
    countValues(line, row_lexer::valuesUpTo(text, 1, last));
    judgePeriod(line, 1);
  }

  // A past row's period: its start (a time stamp as the server prints it,
  // so in the order of its text) before its end.
  void judgePeriod(const NumberedLine& line, std::size_t from) {
    if (section_.rowsState.periodStart < 0 || section_.rowsState.periodEnd < 0) return;
    const std::vector<std::string_view> values = row_lexer::valuesOf(line.text, from);
    const std::size_t start = static_cast<std::size_t>(section_.rowsState.periodStart);
    const std::size_t end = static_cast<std::size_t>(section_.rowsState.periodEnd);
    if (start < values.size() && end < values.size() && !(values[start] < values[end]))
      fault(line.number, console_text::kCheckPeriod);
  }

  void countValues(const NumberedLine& line, int values) {
    if (values <= 0) return fault(line.number, console_text::kCheckRowShape);
    if (section_.rowsState.values < 0) section_.rowsState.values = values;
    if (values != section_.rowsState.values)
      fault(line.number, console_text::checkColumnCount(values, section_.rowsState.values));
  }

  // Reads the row line's table, column list and form: "INSERT INTO `t` "
  // then "(`a`,`b`) " or nothing, then "VALUES" (a statement head) or
  // "VALUES (" and the values. False, with the fault, when it is none.
  bool settleForm(const NumberedLine& line) {
    const std::string_view text = line.text;
    const std::string start = bf::rowLineStartFor(section_.name);
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
    section_.rowsState.head = std::string(text.substr(0, at + kValues.size()));
    section_.rowsState.prefix = section_.rowsState.head + " (";
    section_.rowsState.inStatement = text.size() == section_.rowsState.head.size();
    section_.rowsState.values = list.empty() ? (section_.columnsKnown ? section_.columnCount : -1)
                                   : static_cast<int>(list.size());
    if (section_.columnsKnown && !list.empty()) judgeColumnList(line, list);
    // Past rows: each must end after it began, or the server refuses it.
    section_.rowsState.periodStart = section_.rowsState.periodEnd = -1;
    for (std::size_t i = 0; section_.historyOn && i < list.size(); ++i) {
      if (list[i] == section_.periodStart) section_.rowsState.periodStart = static_cast<int>(i);
      if (list[i] == section_.periodEnd) section_.rowsState.periodEnd = static_cast<int>(i);
    }
    return true;
  }

  // A column list names every column of the CREATE TABLE once, and the
  // period's columns of a table versioned without naming them.
  void judgeColumnList(const NumberedLine& line, const std::vector<std::string>& list) {
    std::unordered_set<std::string> named;
    std::size_t implicit = 0;
    for (const std::string& column : list) {
      const bool known = section_.columns.count(column) != 0;
      const bool period = !known && (column == "row_start" || column == "row_end");
      if ((!known && !period) || !named.insert(column).second)
        return fault(line.number, console_text::kCheckUnknownColumn);
      if (period) ++implicit;
    }
    if (list.size() - implicit != section_.columns.size())
      fault(line.number, console_text::checkColumnCount(static_cast<int>(list.size()),
                                                        section_.columnCount));
  }

  // --- an object section ----------------------------------------------

  void objectHead(const NumberedLine& line) {
    const std::string_view text = line.text;
    if (++section_.headLines == 1) {
      if (text != bf::hashLine()) fault(line.number, console_text::kCheckSectionShape);
      return;
    }
    const std::string_view command = bf::kDelimiterCommand;
    section_.delimiter.clear();
    if (startsWith(text, command)) section_.delimiter = std::string(text.substr(command.size()));
    if (!object_section::isDelimiterForm(section_.delimiter)) {
      fault(line.number, console_text::kCheckSectionShape);
      part_ = Part::kNone;
      return;
    }
    part_ = Part::kObjectStatements;
  }

  void objectStatement(const NumberedLine& line) {
    if (section_.statement.open()) return statementLine(line, section_.delimiter);
    if (line.text == std::string(bf::kDelimiterCommand) + ";") {
      judgeObject();
      part_ = Part::kObjectEnd;
      return;
    }
    // The client takes a command word only on a line without the delimiter.
    if (bf::isClientCommand(line.text) && line.text.find(section_.delimiter) == std::string_view::npos)
      fault(line.number, console_text::kCheckCommand);
    section_.statement = Statement();
    section_.statement.line = line.number;
    statementLine(line, section_.delimiter);
  }

  // Each statement as the writer writes it for this section's object: its
  // DROP, its session lines, its CREATE (of its kind and name, in this
  // database); a DROP or a definition may stand as its hex form.
  void objectStatementDone(const std::string& text, std::uint64_t line) {
    std::string decoded;
    ObjectStatement kind = ObjectStatement::kOther;
    const bool hex = bf::statementFromHex(text, &decoded);
    const std::string_view statement = hex ? std::string_view(decoded) : text;
    const bool defined =
        std::count(section_.objectStatements.begin(), section_.objectStatements.end(),
                   ObjectStatement::kDefinition) > 0;
    std::string named, table;
    if (object_section::isDropOf(statement, section_.kind, section_.name)) {
      kind = ObjectStatement::kDrop;
    } else if (!hex && object_section::isSessionLine(text, section_.kind, defined,
                                                     &section_.definitionCharset,
                                                     &section_.sqlMode)) {
      // The client reads what follows under the session the line sets
      // (sqlMode): the object's own, then the one it saved.
      kind = ObjectStatement::kSession;
    } else if (object_section::createsObject(statement, section_.kind, database_, &named,
                                             &table) &&
               namesThis(named, section_.name)) {
      kind = ObjectStatement::kDefinition;
      if (!hex)
        judgePlain(statement, line, block_count::endsOnlyAtItsEnd(statement, section_.sqlMode));
      // A trigger after its table.
      std::string onTable;
      if (section_.kind == SectionKind::kTrigger &&
          object_section::nameInCharset(table, section_.definitionCharset, fileCharset_, &onTable) &&
          baseTables_.count(onTable) == 0)
        fault(line, console_text::kCheckSectionOrder);
    } else {
      fault(line, startsWith(statement, bf::kDropStart) || startsWith(statement, bf::kCreateStart)
                      ? console_text::kCheckOtherName
                      : console_text::kCheckForeignLine);
    }
    section_.objectStatements.push_back(kind);
  }

  // Whether a definition's name, in the definition's character set, is
  // `name`, the section's in the file's; a name in a set that cannot be
  // written in the file's here is taken as it is.
  bool namesThis(const std::string& named, const std::string& name) const {
    std::string converted;
    return !object_section::nameInCharset(named, section_.definitionCharset, fileCharset_, &converted) ||
           converted == name;
  }

  // The statements are [DROP], SET, the definition, SET.
  void judgeObject() {
    using S = ObjectStatement;
    std::vector<S> kinds = section_.objectStatements;
    if (!kinds.empty() && kinds.front() == S::kDrop) kinds.erase(kinds.begin());
    const bool sound = kinds.size() == 3 && kinds[0] == S::kSession &&
                       kinds[1] == S::kDefinition && kinds[2] == S::kSession;
    if (!sound) return fault(section_.line, console_text::kCheckSectionShape);
    drops_.push_back({section_.line, section_.objectStatements.front() == S::kDrop});
    switch (section_.kind) {
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
  int structureSaved_ = -1;  // from the settings line; -1 until known
  bool dataSaved_ = true;
  int dropSaved_ = -1;  // from the settings line; -1 until known
  std::vector<DropRecord> drops_;  // of the object sections
  std::vector<TableRecord> tables_;
  std::unordered_set<std::string> sectionNames_;  // sectionKey() of each section
  std::unordered_set<std::string> baseTables_;  // with their CREATE TABLE
  std::string database_;  // as the header names it
  std::string fileCharset_;        // as the preamble sets it
  Place place_ = Place::kTables;
  Section section_;  // the one being read, made afresh for each
};

}  // namespace

Report checkBytes(const file_lines::PlainBytes& bytes, std::uint64_t total,
                  const Progress& progress, std::size_t lineHeldMax) {
  TextCheck check;
  file_lines::LineReading reading;
  reading.held = lineHeldMax;
  reading.skipLong = true;
  reading.findNul = true;
  reading.lastLineOnFailure = true;
  file_lines::FileLines lines(bytes, 0, UINT64_MAX, reading);
  NumberedLine line;
  std::uint64_t nextProgress = kProgressStep;
  while (lines.next(&line)) {
    ++line.number;
    check.take(line);
    if (check.inRows())
      lines.takeLexed([&check, &line, lineHeldMax](const char* p, const char* end) {
        const std::size_t taken = check.takeRow(p, end, lineHeldMax, line.number + 1);
        if (taken != 0) ++line.number;
        return taken;
      });
    if (progress && lines.position() >= nextProgress) {
      progress(lines.position(), total);
      nextProgress = lines.position() + kProgressStep;
    }
  }
  if (lines.failed()) check.fault(line.number + 1, console_text::kCheckUnreadable);
  check.summary().bytes = lines.position();
  return check.finish();
}

}  // namespace backup_check
