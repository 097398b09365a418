// Everything the engine says on the console, and the one way it says it.
// The texts are Windows-1252 bytes (console_text.cpp writes them as
// escapes, so that the sources stay ASCII); names in them are shown as on
// the file's comment lines, so that no control byte reaches the terminal.
#ifndef VKT_BACKUP_CONSOLE_TEXT_H_
#define VKT_BACKUP_CONSOLE_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "backup/backup_format.h"

namespace console_text {

// Writes `text` and a line end to standard output, flushed.
void printLine(const std::string& text);
// Writes `text` without a line end, flushed: the start of a line that
// a step's outcome ("OK", "Fehler!", ...) ends.
void printStart(const std::string& text);

// Outcomes and errors.
extern const char kOk[];
extern const char kFailed[];
std::string error(const std::string& why);  // "Fehler: " and `why`
extern const char kCannotWrite[];
extern const char kRowsNotWritten[];
// Rows were handed to the file outside their table's rows block.
extern const char kRowsOutsideBlock[];
extern const char kUnwritableDefinition[];
// The line that tells why the backup file could not be written: no room
// left, a file too large, an input/output error, or else the error number
// `errorNumber` (an errno value).
std::string writeFailure(int errorNumber);

// Connecting.
extern const char kCreatingSocket[];
extern const char kNoMemoryForSocket[];
extern const char kNoSocket[];      // on standard error
extern const char kNotConnected[];  // on standard error
extern const char kConnecting[];
std::string serverName(const std::string& host);
std::string serverVersion(const std::string& version);
std::string databaseName(const std::string& database);
std::string connectedAs(const std::string& user);

// The inventory and the definitions.
extern const char kQueryingTables[];
std::string historyNotSaved(const std::string& table);
// The rows of the CONNECT table `table` are not its own and not saved.
std::string connectRowsElsewhere(const std::string& table);
// Past rows of `table` that a restore could not take back, left out.
std::string historyRowsLeftOut(const std::string& table, long long rows);
std::string processGrantMissing(const std::string& account);
std::string lockRefused(const std::string& why);
// The lock on the tables without transactions was not granted within
// `seconds`: the run stops.
std::string lockNotGranted(int seconds);
extern const char kNoMemoryForLock[];
extern const char kQueryingObjects[];
extern const char kNoTriggerRight[];
extern const char kNoEventRight[];
extern const char kNoDefinition[];
extern const char kDefinitionGone[];
// The word for a trigger, procedure, function or event.
const char* kindWord(backup_format::SectionKind kind);

// The run.
extern const char kDatabaseEmpty[];
extern const char kNoPreviousBackup[];
extern const char kNothingChanged[];
extern const char kRunStopped[];
std::string tablesChanged(int changed);
extern const char kStarting[];
std::string forgottenUpdateTimes(int tables);
std::string tableCacheTooSmall(int tables, long long cache);
std::string previousSettingsUnknown();
std::string previousSettingsDiffer(const std::string& changes);
extern const char kNow[];  // between a setting's old and new value
// Why the server's binary log tells no changes this run: the line, and
// its reasons.
std::string logNotRead(const std::string& why);
extern const char kLogOff[];
extern const char kLogNoPreviousPosition[];
extern const char kLogPurged[];
extern const char kLogMadeAnew[];
extern const char kLogEndedEarly[];
extern const char kLogCrashed[];
extern const char kLogXaTransaction[];
extern const char kLogForeignWriter[];
std::string logGrantMissing(const std::string& account);
std::string logFiltered(const std::string& filters);
std::string logUnknownEvent(int type);
extern const char kLogStatementUnreadable[];
extern const char kLogSchemaChanged[];
extern const char kLogOthersUnseen[];
extern const char kLogReplicaUnlogged[];
std::string logThroughView(const std::string& view);
std::string logRoutineWithheld(const std::string& routine);
std::string logReadError(const std::string& message);

// The file.
std::string cannotCreate(const std::string& fileName);
std::string creatingFile(const std::string& fileName);
extern const char kWritingHeader[];
std::string tablesSaved(int saved, size_t tables);
std::string objectsSaved(int saved, size_t objects);
std::string incomplete(const std::string& path);

// A table's or an object's section.
std::string wrongTableNumber(int index);
std::string savingTable(const std::string& table);
std::string savingObject(backup_format::SectionKind kind, const std::string& name);
extern const char kQueryingDefinition[];
extern const char kNoTableDefinition[];
extern const char kLineFeedInName[];
extern const char kQueryingRows[];
extern const char kNoData[];
std::string rowsSaved(int rows);

// Tables without transactions, read first.
std::string readingFirst(size_t tables);
std::string noScratchFile(const std::string& beside);
std::string readingTable(const std::string& table);
std::string rowsRead(int rows);
extern const char kTakingRowsReadFirst[];
extern const char kRowsNotRead[];

// The previous backup.
extern const char kOpeningPrevious[];
std::string cannotRead(const std::string& fileName);
// The previous file's header names another database than `database`.
std::string otherDatabasesFile(const std::string& fileName,
                               const std::string& database);
std::string previousTooLargeUnpacked(const std::string& fileName);
extern const char kReadingPrevious[];
extern const char kCopyingRows[];
extern const char kPreviousChanged[];

// Old backups removed.
std::string removed(const std::string& path);
std::string notRemoved(const std::string& path, const char* why);
std::string notSearched(const std::string& directory, const char* why);

// Checking a backup file (the faults, each said after its line or frame).
extern const char kCheckNotHeader[];
extern const char kCheckNoSandbox[];
extern const char kCheckNoPreamble[];
extern const char kCheckClientCharset[];
extern const char kCheckCharsetNotByteWise[];
extern const char kCheckNoCrLf[];
extern const char kCheckNul[];
extern const char kCheckDelimiterInside[];
extern const char kCheckCommand[];
extern const char kCheckLeftOpen[];
extern const char kCheckNotEnded[];
extern const char kCheckTooLong[];
extern const char kCheckLineTooLong[];
extern const char kCheckForeignLine[];
extern const char kCheckCommentLine[];
extern const char kCheckSectionShape[];
extern const char kCheckSecondSection[];
extern const char kCheckOtherName[];
extern const char kCheckSectionOrder[];
extern const char kCheckRowsBeforeCreate[];
extern const char kCheckNoStructure[];
extern const char kCheckRowsUnsaved[];
extern const char kCheckDropSetting[];
extern const char kCheckRowOtherTable[];
extern const char kCheckRowShape[];
extern const char kCheckUnknownColumn[];
extern const char kCheckRowOutside[];
extern const char kCheckRowsElsewhere[];
extern const char kCheckHistory[];
extern const char kCheckPeriod[];
extern const char kCheckNoClosing[];
extern const char kCheckSettings[];
extern const char kCheckIdentity[];
extern const char kCheckLastLine[];
extern const char kCheckUnreadable[];
extern const char kCheckFrameDamaged[];
extern const char kCheckNotOurFrames[];
extern const char kCheckSeekTable[];
std::string checkColumnCount(int found, int wanted);
// "Zeile <n>: <why>" or "Frame <n>: <why>", indented under the file's line.
std::string checkFault(std::uint64_t line, std::int64_t frame,
                       const std::string& why);
std::string checkHolds(const std::string& path);
std::string checkFails(const std::string& path, std::uint64_t faults);
std::string checkLeftOut(std::uint64_t faults);
std::string checkCannotOpen(const std::string& path, int errorNumber);
std::string checkSummary(std::uint64_t tables, std::uint64_t views,
                         std::uint64_t rows, std::uint64_t routines,
                         std::uint64_t triggers, std::uint64_t events,
                         std::uint64_t bytes, std::uint64_t packedBytes);
// The progress line: the share of `total` done, or the MiB done when the
// total is not known (0).
std::string checkProgress(const std::string& path, std::uint64_t done,
                          std::uint64_t total);

// Loading a backup file into a database. Why a file cannot be loaded,
// said after its line as the checker's faults are.
extern const char kLoadForeignLine[];
extern const char kLoadClientWouldAct[];
extern const char kLoadUnendedStatement[];
extern const char kLoadNoStructure[];
std::string loadRefused(std::uint64_t line, const std::string& why);
extern const char kLoadCheckRefused[];
extern const char kLoadNoDatabase[];
std::string loadTarget(const std::string& path, const std::string& database,
                       int connections);
std::string loadCreatingDatabase(const std::string& database);
std::string loadNotEmpty(const std::string& database);
std::string loadReplacing(const std::string& database);
extern const char kLoadStdinUnreadable[];
// The file changed after its check: before anything was sent, or while
// it was loaded.
extern const char kLoadChangedBeforeLoad[];
extern const char kLoadChangedWhileLoading[];
// The first error: the table or object, the file's line, the server's
// message.
std::string loadFailed(const std::string& name, std::uint64_t line,
                       const std::string& message);
std::string loadRowsDiffer(const std::string& table, std::uint64_t loaded,
                           std::uint64_t inFile);
extern const char kLoadStopped[];
std::string loadIncomplete(const std::string& table);
std::string loadObjectsMissing(std::size_t objects);
std::string loadAborted(std::size_t tablesWhole, std::size_t tables);
std::string loadSummary(std::size_t tables, std::uint64_t rows, std::size_t objects,
                        double seconds);
// The progress line: bytes of the file, rows a second, tables done, and
// the time left ("?" while not known).
std::string loadProgress(std::uint64_t done, std::uint64_t total,
                         std::uint64_t rowsPerSecond, std::size_t tablesDone,
                         std::size_t tables, long secondsLeft);

// The progress line of a table's rows.
extern const char kProgressTable[];
extern const char kProgressRows[];

}  // namespace console_text

#endif  // VKT_BACKUP_CONSOLE_TEXT_H_
