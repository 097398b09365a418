// The backup file format, shared by the writers and the readers.
//
// A backup file is SQL text with CR LF line ends:
//   header (8 lines: six comment lines, the sandbox line, an empty line),
//   the client's character set line, the preamble line and an empty line,
//   then per table a
//   comment block (3 lines), an optional structure block (DROP line,
//   definition + ";", empty line) and an optional rows block (the row
//   lines, then an empty line; where no definition follows to commit them,
//   the COMMIT line and an empty line). With the structure, functions and
//   procedures come before the views, triggers and events after them, each
//   in a section of its own (backup/object_section.h). The closing lines
//   and the identity block end the file.
// What the readers rely on:
//   - the first three lines are header lines and are skipped unread;
//   - from line 4 on, a line that begins with one of the object sections'
//     markers opens such a section; any other line that begins with '#'
//     and holds an apostrophe opens a table's comment block; the name lies
//     between its first and last apostrophe; the next line holds the update
//     time between apostrophes; the line after it is the hash line, and the
//     table's body begins right after it;
//   - no line of a table's body begins with '#' (an object section's
//     statements may hold any line: they are skipped by their delimiter);
//   - a block's rows are in one of two forms. One row a statement: each
//     row line begins with "INSERT INTO `", holds exactly one row, and ends
//     with ");". Several rows a statement: the statement's first line is
//     the statement head ("INSERT INTO `t` VALUES"), then one line per row,
//     "(" values ")" and "," or, for the statement's last row, ";";
//   - the rows of a table whose past rows are saved stand between the
//     history lines: kHistoryOnLine right before them, kHistoryOffLine
//     after their empty line, then an empty line;
//   - after a block's rows or structure, a line that is the COMMIT line
//     ends what the block holds but empty lines;
//   - the settings line opens the identity block, which closes the file:
//     every line after it belongs to the block, and the lines that begin
//     with the identity marker give one table's identity each. A file
//     without the block tells neither its settings nor any identity.
#ifndef VKT_BACKUP_BACKUP_FORMAT_H_
#define VKT_BACKUP_BACKUP_FORMAT_H_

#include <string>
#include <string_view>
#include <vector>

namespace backup_format {

constexpr char kLineEnd[] = "\r\n";

// Whether `text` begins, or ends, with `part`.
inline bool startsWith(std::string_view text, std::string_view part) {
  return text.substr(0, part.size()) == part;
}
inline bool endsWith(std::string_view text, std::string_view part) {
  return text.size() >= part.size() && text.substr(text.size() - part.size()) == part;
}
constexpr size_t kHashLineLength = 84;
constexpr char kCommentMark = '#';
constexpr char kNameQuote = '\'';

// strftime patterns: file name stamp (also `zeit-last-backup`) and the
// dates on the comment lines.
constexpr char kStampPattern[] = "%Y%m%d%H%M%S";
constexpr size_t kStampLength = 14;
constexpr char kCommentDatePattern[] = "%d.%m.%Y %H:%M:%S";
constexpr size_t kCommentDateLength = 19;

constexpr char kHeaderDatabasePrefix[] = "# Backup der Datenbank '";
constexpr char kHeaderCreatedPrefix[] = "# Erstellt: ";
constexpr char kTableCommentPrefix[] = "# Tabelle '";
constexpr char kTriggerCommentPrefix[] = "# Trigger '";
constexpr char kProcedureCommentPrefix[] = "# Prozedur '";
constexpr char kFunctionCommentPrefix[] = "# Funktion '";
constexpr char kEventCommentPrefix[] = "# Event '";
constexpr char kUpdateCommentPrefix[] = "# Update: '";
// "# Einstellungen 'save-strucktur=1 save-daten=1 droptable=1'", then per
// table "# Kennung '<name>' <identity>" (the identity holds no apostrophe).
constexpr char kSettingsCommentPrefix[] = "# Einstellungen '";
constexpr char kIdentityCommentPrefix[] = "# Kennung '";
// In the same block, where the server's binary log stood at the snapshot:
// "# Binlog '<file>' <position> <start> <gtid>", <start> the time of the
// file's start event in seconds since 1970 ("-" when not known), <gtid>
// "-" when not known. Written only by a server with the log on; readers
// that do not know the line skip it as any other line of the block.
constexpr char kLogPositionCommentPrefix[] = "# Binlog '";
constexpr size_t kHeaderLinesSkipped = 3;

constexpr char kDropTablePrefix[] = "DROP TABLE IF EXISTS ";
constexpr char kDropViewPrefix[] = "DROP VIEW IF EXISTS ";
constexpr char kRowLineStart[] = "INSERT INTO `";
constexpr char kRowLineEnd[] = ");";
constexpr char kPreambleStart[] = "/*!40101 SET NAMES ";
constexpr char kCommitLine[] = "COMMIT;";

// The statements around a definition: an object section's delimiter
// command, the session lines of an object (50003) and of a view (50001)
// (a definition's hex form is kHexStatementPrefix, below).
constexpr char kDelimiterCommand[] = "DELIMITER ";
constexpr char kObjectSessionStart[] = "/*!50003 SET ";
constexpr char kViewSessionStart[] = "/*!50001 SET ";
constexpr char kCreateTableStart[] = "CREATE TABLE ";
constexpr char kCreateSequenceStart[] = "CREATE SEQUENCE ";
constexpr char kCreateStart[] = "CREATE ";
constexpr char kDropStart[] = "DROP ";

// Rows of several rows a statement: a row line is kRowValuesStart, the
// values, ")" and the byte that tells whether the statement goes on or
// ends. A statement of more than one row holds at most 1 MiB, the smallest
// max_allowed_packet that clients and servers have had by default, so
// that every restore takes it.
constexpr char kRowValuesStart[] = "(";
constexpr char kStatementGoesOn = ',';
constexpr char kStatementEnds = ';';
// Between a row line's table name (and column list) and its values.
constexpr char kValuesWord[] = "VALUES ";
constexpr size_t kStatementBytesMax = size_t{1} << 20;

// Around the rows of a system-versioned table whose past rows are saved:
// they name the period's columns, whose values only a session that lets
// history be inserted takes (MariaDB 10.11 on). The setting is put back to
// what it was after the rows. Servers from 10.3 to 10.10 know versioned
// tables but not the setting: they stop at the first line with an error
// rather than skip it and take the past rows as current ones.
constexpr char kHistoryOnLine[] =
    "/*M!100300 SET @OLD_SYSTEM_VERSIONING_INSERT_HISTORY="
    "@@SYSTEM_VERSIONING_INSERT_HISTORY, "
    "@@SYSTEM_VERSIONING_INSERT_HISTORY=1 */;";
constexpr char kHistoryOffLine[] =
    "/*M!100300 SET "
    "@@SYSTEM_VERSIONING_INSERT_HISTORY=@OLD_SYSTEM_VERSIONING_INSERT_HISTORY */;";
// Whether `line` is one of the two history lines: between a table's
// structure and its rows nothing else stands but empty lines.
inline bool isHistoryLine(std::string_view line) {
  return line == kHistoryOnLine || line == kHistoryOffLine;
}

// How SHOW CREATE TABLE writes a table's parts, one a line, and the
// statements a load sends around a table's rows so that the server builds
// its plain indexes once, sorted, after them: on InnoDB the indexes added
// by one ALTER TABLE, on MyISAM and Aria disabled, then enabled.
constexpr char kColumnLineStart[] = "  `";
constexpr char kPrimaryKeyLineStart[] = "  PRIMARY KEY (";
constexpr char kUniqueKeyLineStart[] = "  UNIQUE KEY `";
constexpr char kPlainKeyLineStart[] = "  KEY `";
constexpr char kTableOptionsStart[] = ") ENGINE=";
constexpr char kSystemVersioning[] = "WITH SYSTEM VERSIONING";
// Whether `line` may follow the first line of a CREATE TABLE as the
// server prints it: it holds no comment, and begins each further line
// with one of these. A line of another start (rows, say) is not its.
inline bool continuesTableStructure(std::string_view line) {
  for (std::string_view start : {" ", "(", ")", "/*!", "PARTITIONS ", "SUBPARTITION"})
    if (startsWith(line, start)) return true;
  return false;
}
// Whether tables of `engine` (as the server names it, in any case) hold no
// rows of their own: their rows are other tables' (MERGE), another
// server's (FEDERATED, SPIDER), a search daemon's (SPHINX), or none at all
// (BLACKHOLE). Their sections hold no rows: a SELECT reads rows that live
// elsewhere, and inserting them would write there.
bool keepsRowsElsewhere(std::string_view engine);
constexpr char kAlterTable[] = "ALTER TABLE ";
constexpr char kAddKey[] = "ADD ";
constexpr char kDisableKeys[] = " DISABLE KEYS";
constexpr char kEnableKeys[] = " ENABLE KEYS";

// Puts the stock `mariadb` client into its sandbox mode, where it refuses
// the commands that reach the file system or a shell (\!, \., \T, \P). A
// comment to the server and to clients without the \M! comments.
constexpr char kSandboxLine[] = "/*M!999999\\- enable the sandbox mode */";

// Makes the stock client read the rest of the file in the file's own
// character set, whatever it was started with (--default-character-set,
// a my.cnf): it follows no SET NAMES, and a multi-byte set such as gbk,
// big5 or sjis reads a byte over 0x7F together with the next one, a
// backslash, quote or backquote among them, so that an escape is lost and
// a value's text runs as SQL. The client command charset (\C) in an
// executable comment, as the server's log tool writes it: MariaDB's and
// MySQL's clients act on it (also in the sandbox mode) and send the
// server an empty comment. Stands right before the preamble line and
// names its character set; files written before it lack it.
constexpr char kClientCharsetStart[] = "/*!\\C ";
constexpr char kClientCharsetEnd[] = " */";

// What a comment line opens. Base tables and views have table sections;
// the others are sections of their own, each holding one definition.
enum class SectionKind {
  kNone, kTable, kTrigger, kProcedure, kFunction, kEvent, kSettings
};

// The kind of section that `line` opens: kNone for a line that opens none
// (not a comment line, or one without an apostrophe); a table for every
// other comment line with an apostrophe whose marker is none of the other
// kinds'.
SectionKind sectionKind(std::string_view line);

// The first line of a trigger's, procedure's, function's or event's
// section: "# Trigger '<name>'" and so on, the name as commentName()
// writes it.
std::string sectionOpener(SectionKind kind, const std::string& name);

// Each byte of `bytes` as two upper-case hexadecimal digits.
std::string hexDigits(std::string_view bytes);

// `name` fit for a comment line: a backslash doubled, LF and CR written as
// \n and \r, other control bytes as \xHH. The text stays on one line, and
// different names stay different.
std::string commentName(const std::string& name);

// The name that commentName() wrote as `text`. An escape it does not write
// stays as it stands (older files wrote names as they were).
std::string nameFromComment(std::string_view text);

// What the settings line names: which parts a file holds, as
// "save-strucktur=1 save-daten=1 droptable=1".
std::string settingsText(bool saveStructure, bool saveData, bool dropTable);

// The line that opens the identity block: "# Einstellungen '<settings>'".
std::string settingsLine(const std::string& settings);

// One table's line of the identity block; `identity` holds no apostrophe
// and no line end.
std::string identityLine(const std::string& table, const std::string& identity);

// The table and identity of an identity line; false for any other line.
bool parseIdentityLine(std::string_view line, std::string* table,
                       std::string* identity);

// Where the server's binary log stood at a backup's snapshot.
struct LogPosition {
  std::string file;  // "" when the log is off
  unsigned long long position = 0;
  long long start = 0;  // the file's start event; 0 when not known
  std::string gtid;     // "" when not known
};

// The log position line of the identity block; "" when `at` cannot be
// written as one (no file, or a file name with an apostrophe, a blank or
// a control byte).
std::string logPositionLine(const LogPosition& at);

// The position of a log position line; false for any other line.
bool parseLogPositionLine(std::string_view line, LogPosition* at);

// The line of 84 '#'.
const std::string& hashLine();

// <savePath>/<database>-<stamp>.sql, with kCompressedSuffix appended for a
// compressed file. In the database name and the stamp, '/', NUL and the
// other control bytes become '_', so that the name never leaves the save
// path and is made the same on every run.
constexpr char kFileSuffix[] = ".sql";
constexpr char kCompressedSuffix[] = ".zst";
std::string fileName(const std::string& savePath, const std::string& database,
                     const std::string& stamp, bool compressed = false);

// What every backup file name of `database` begins with after the save
// path and its slash: "<database>-", the name made as fileName() makes it.
std::string fileNamePrefix(const std::string& database);

// The name between backquotes, an inner backquote doubled.
std::string quoteIdentifier(const std::string& name);

// Reads at text[*at] a name as quoteIdentifier() writes it into *name
// (unless null) and moves *at past it; false when there is none.
bool readQuotedIdentifier(std::string_view text, std::size_t* at, std::string* name);


// True when `sql`, as the server prints it, holds a line feed inside a
// backquoted name or a quoted string. The line writer stores every LF as
// CR LF, which would change such a name or string: such SQL cannot be
// written.
bool lineFeedInQuotes(std::string_view sql);

// True when the stock `mariadb` client, reading `sql` from a file as one
// statement ended by `delimiter`, would do anything but send it: find the
// delimiter or a backslash command (\u switches the database, \c throws
// the text read so far away, \C switches the character set ...) outside
// what it takes for strings and comments, or be left inside a string or
// comment at its end. The server and the client disagree on comments
// ("--" and a control byte is one to the server only), so a definition
// can hide such text from the server. A NUL stops the client wherever it
// stands. `backslashEscapes`: a backslash escapes the next byte in strings
// (no NO_BACKSLASH_ESCAPES).
bool clientActsWithin(std::string_view sql, std::string_view delimiter,
                      bool backslashEscapes);

// Whether every reading of `sql` takes the same bytes for the same text:
// the stock client in any character set a restore may give it (a
// multi-byte one reads a byte over 0x7F with the byte after it, even a
// backslash or a backquote, and it follows no SET NAMES of the file), in
// either backslash mode, with the server's ANSI_QUOTES known to it or not
// (`ansiQuotes`: the mode it runs under), and the server ("--" and a
// control byte is a comment to the server only). False for a byte over
// 0x7F, a control byte but TAB, LF and CR, DEL, a backslash, and, with
// `ansiQuotes`, a double quote.
bool plainToEveryReader(std::string_view sql, bool ansiQuotes);

// A statement written as its bytes in a hexadecimal literal, for a server
// that runs EXECUTE IMMEDIATE (MariaDB 10.2 on): "EXECUTE IMMEDIATE 0x"
// and hexDigits() of the statement. The literal is binary, so the server
// runs the very bytes under the session's character_set_client, and the
// line holds no quote, comment, backslash or delimiter that a client could
// read.
constexpr char kHexStatementPrefix[] = "EXECUTE IMMEDIATE 0x";
std::string hexStatement(std::string_view sql);

// The statement that hexStatement() wrote as `statement` (without its
// delimiter); false for any other text.
bool statementFromHex(std::string_view statement, std::string* sql);

// Whether the stock client takes the first word of `line` for a command of
// its own (USE, SOURCE, DELIMITER, ...) rather than SQL to send.
bool isClientCommand(std::string_view line);

// How the stock client reads `sql` as clientActsWithin() does, and what it
// finds first when it would do anything but send it.
enum class ClientReading {
  kSends,           // one statement, sent as it stands
  kDelimiterInside, // the delimiter before the statement's end
  kCommand,         // a backslash command outside strings and comments
  kLeftOpen,        // a string or comment not closed at the end
  kNul,             // a NUL byte, which stops the client
};
// `at`, when given, gets the offset of what it found (for kLeftOpen, where
// the string or comment left open begins); `commented`, when given, is set
// when a comment (not a versioned one) stands before that.
ClientReading clientReading(std::string_view sql, std::string_view delimiter,
                            bool backslashEscapes, std::size_t* at = nullptr,
                            bool* commented = nullptr);

// "DROP TABLE IF EXISTS `t`;" or, for a view, "DROP VIEW IF EXISTS `v`;".
std::string dropLine(const std::string& table, bool isView);

// The part of a row line before the values:
// "INSERT INTO `t` VALUES (" or, with an explicit column list,
// "INSERT INTO `t` (`a`,`b`) VALUES (".
std::string rowLinePrefix(const std::string& table,
                          const std::vector<std::string>& columns);

// The start that every row line of `table` has, whatever its column list:
// "INSERT INTO `t` ".
std::string rowLineStartFor(const std::string& table);

// The first line of a statement of several rows: rowLinePrefix() without
// its " (": "INSERT INTO `t` VALUES".
std::string statementHead(const std::string& table,
                          const std::vector<std::string>& columns);

// True when `line` has the shape of a row line or a statement head (of any
// table).
bool isRowLine(std::string_view line);

// True when `line` is one that only a rows block holds: a row line or a
// statement head (isRowLine), or a row of a statement of several rows (it
// begins with kRowValuesStart, as no other line written whole does).
bool isRowsBlockLine(std::string_view line);

// The line that follows the header: it fixes the session settings that the
// rows were written for, so that a restore reads them the same way, and
// turns off autocommit, so that a restore does not commit every row (the
// definitions and COMMIT lines commit them, the closing lines what is
// left). Unique checks stay on: turned off as well, they make MariaDB
// (10.6 on) buffer and sort every row of an empty table until the commit,
// which takes twice as long for rows that come in key order.
std::string preambleLine(const std::string& characterSet);

// The line that makes the client read the file in `characterSet`
// (kClientCharsetStart, the name, kClientCharsetEnd); "" for a name that
// is not one word of letters, digits and '_', which the client could not
// take.
std::string clientCharsetLine(const std::string& characterSet);

// True when no byte of a character of several bytes in `characterSet` is
// an ASCII byte, so that a client reading the file in it finds quotes,
// backslashes and line ends where a reader of single bytes does: UTF-8,
// the EUC sets and the single-byte sets the server knows. In big5, cp932,
// gbk, gb18030 or sjis a character may end in a backslash or a quote.
bool lexedByteWise(std::string_view characterSet);

// The statements of a preamble line that preambleLine() writes (or that
// rowsReadAlike() takes as one) for a character set whose name is letters,
// digits and underscores, each without its ";": what a session that loads
// the file's rows sends first. Empty for any other line.
std::vector<std::string> preambleStatements(std::string_view line);

// True when a previous file's preamble line had the rows read as this
// run's preambleLine() has them: the same line, or the same without the
// bulk-load statements (files written before them).
bool rowsReadAlike(std::string_view previousPreamble,
                   const std::string& characterSet);

// The last lines of every file: commit what is left.
std::vector<std::string> closingLines();

// The eight header lines (each without its line end); the database name
// in its comment form.
std::vector<std::string> headerLines(const std::string& database,
                                     const std::string& createdText);

// The file names of two databases can be the same ("r/s" and "r_s"): a
// file is a backup of `database` only when its third header line names it
// as headerLines() does. `fileStart` is the start of the (decompressed)
// file, at least kHeaderBytes of it where the file is that long.
constexpr size_t kHeaderBytes = 4096;
bool headerNamesDatabase(std::string_view fileStart, const std::string& database);

}  // namespace backup_format

#endif  // VKT_BACKUP_BACKUP_FORMAT_H_
