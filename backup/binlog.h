// The tables of one database that changed between two positions of the
// server's binary log: a pure reading of the events the log reader hands
// over (db::readLog) and of what the schema tells of the tables a change
// writes besides its own. The answer is clean only when every event could
// be attributed; otherwise it says why not, and the run judges changes by
// the update times alone.
#ifndef VKT_BACKUP_BINLOG_H_
#define VKT_BACKUP_BINLOG_H_

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "backup/backup_format.h"

namespace binlog {

// One event of the server's binary log as the log reader hands it over.
// Its texts point into the client library's event: valid only during the
// call that receives it.
struct LogEvent {
  enum class Kind {
    kRotate,    // the next file: `file`, from `rotatePosition`
    kFormat,    // a file's start event; `timestamp` is the file's start
    kQuery,     // a statement: `database` is its default database
    kTableMap,  // rows of `database`.`table` follow
    kRows,      // rows of the table map before them
    kFraming,   // changes nothing by itself: GTID, XID, checkpoint, ...
    kStop,      // the server stopped and closed the file
    kUnknown,   // anything else: its number is `type`
  };
  Kind kind = Kind::kUnknown;
  int type = 0;
  unsigned timestamp = 0;
  // Where the next event begins in the current file; 0 for the events the
  // server makes up at the start of a stream.
  unsigned long long nextPosition = 0;
  std::string_view database, table, statement, file;
  // A statement's status block: the session's sql_mode, character set, ...
  std::string_view status;
  unsigned long long rotatePosition = 0;
};

// How a read of the log ended.
struct LogRead {
  bool opened = false;   // the server began to send the log
  unsigned error = 0;    // the server's or client library's error number
  std::string message;   // its text
  // The binlog_do_db and binlog_ignore_db filters, joined; `filtersKnown`
  // false when the server would not tell them.
  bool filtersKnown = false;
  std::string filters;
};

// The server refuses to send the log: it purged or never had the file or
// position asked for.
constexpr unsigned kLogNotThere = 1236;


struct Changes {
  bool clean = false;  // every event between the positions was attributed
  std::string why;     // when not clean: the console line that says why
  std::unordered_set<std::string> tables;  // the database's tables changed, when clean
  // Those of `tables` a statement wrote or named: only a statement (ALTER,
  // TRUNCATE, RENAME, ...) moves a table's InnoDB identity; rows do not.
  std::unordered_set<std::string> reshaped;
};

// A body the server keeps for a trigger, routine or view, and the
// sql_mode it was made under, which its text is lexed in.
struct Body {
  std::string text;
  unsigned long long sqlMode = 0;
  bool known = true;  // false: the server withholds it
};

// What the schema tells of where a statement's names lead. The log
// reader asks for it once, at the first statement that needs it: a log of
// rows alone needs none of it. What it tells of other databases (the
// fields marked "wide") costs a read of every database's triggers,
// routines and views; it is asked for once more, and only for a statement
// or body that runs in or names something beyond this database's own
// tables and views.
struct Schema {
  // Set when the schema could not be read: the console line's reason.
  std::string unread;
  // This database's base tables and views, in lower case.
  std::unordered_set<std::string> tables, views;
  // Its triggers' bodies, by the table they are on, in lower case.
  std::unordered_map<std::string, std::vector<Body>> triggers;
  // Its stored functions and procedures, by name in lower case.
  std::unordered_map<std::string, Body> routines;
  // Wide: the other databases whose triggers, routines, views or foreign
  // keys may write this one, directly or through yet others
  // (reachingDatabases).
  std::unordered_set<std::string> reaching;
  // Wide: the account sees every database's triggers, routines and views:
  // only then does a statement of another database prove nothing of this
  // one.
  bool seesEveryDatabase = false;
  // The server folds the case of names (lower_case_table_names): a name
  // with bytes beyond ASCII may then name a table in another case than
  // this reader can fold.
  bool foldsNames = false;
  // The client collations whose statements are lexed byte by byte: no
  // byte of a character of several is an ASCII byte in their sets.
  std::unordered_set<unsigned> byteWiseCollations;
};

// An object of another database that holds a body (trigger, routine,
// view), or the two databases of a foreign key that writes its child.
struct ForeignBody {
  std::string database;
  Body body;
};
struct ForeignKey {
  std::string childDatabase, parentDatabase;
};

// The databases other than `database` from which a change may reach it:
// those holding a body that names it or another such database (or a body
// that cannot be read), and those holding the parent of a writing foreign
// key whose child is in it or in another such database. Lower case.
std::unordered_set<std::string> reachingDatabases(const std::string& database,
                                                  const std::vector<ForeignBody>& bodies,
                                                  const std::vector<ForeignKey>& keys);

// A foreign key of this database whose update or delete rule writes the
// child (CASCADE, SET NULL, SET DEFAULT); its parent may be a table of
// another database.
struct Cascade {
  std::string parentDatabase, parent, child;
};

// Takes the events from the previous backup's position `from` up to this
// run's snapshot position `to`, both of the same server. A statement event
// counts only as far as it can be proven: every name it holds resolved,
// under the session the event records, to a base table of this database
// or to nothing of it. Anything else makes the answer not clean.
class Collector {
 public:
  // The schema, its wide fields filled when `wide` is asked; the same
  // object at every call.
  using SchemaSource = std::function<const Schema&(bool wide)>;
  // `logSynced`: the server syncs its log at every commit (sync_binlog=1),
  // so that a crash cannot have cost the log changes the tables kept.
  Collector(std::string database, const std::vector<std::string>& tables,
            const backup_format::LogPosition& from,
            const backup_format::LogPosition& to, const std::vector<Cascade>& cascades,
            SchemaSource schema, bool logSynced = false);
  // False once nothing more is needed: the snapshot's position is reached,
  // or the answer cannot be clean.
  bool take(const LogEvent& event);
  // The answer, once the reader ended as `read` tells.
  Changes finish(const LogRead& read) const;
  // The time of the start event of the snapshot's file; 0 when it was not
  // seen.
  long long endFileStart() const { return endFileStart_; }

 private:
  bool fail(std::string why);
  // True once the snapshot's position is reached.
  bool atEnd();
  void takeStatement(const LogEvent& event);
  const Schema& schema();
  // The schema with its wide fields; false, the answer failed, when they
  // could not be read.
  bool readWide();
  // For a statement or body that may lead beyond this database: false, the
  // answer failed, unless nothing of other databases it runs in or names
  // may reach this one.
  bool othersStayApart(const std::string& defaultDatabase,
                       const std::unordered_set<std::string>& words, bool runsCode);
  // Resolves the words of a statement or body in this database; with
  // `runsCode`, views and triggers count.
  void resolve(const std::unordered_set<std::string>& words, bool runsCode);
  bool reachesOthers(const std::unordered_set<std::string>& words);
  bool qualifiesOwnNames(const std::unordered_set<std::string>& qualifiers) const;
  void touchTable(const std::string& table, bool runsCode);
  // Rows of `database`.`table` (lower case) were logged.
  void tableRows(const std::string& database, const std::string& table);
  void touchRoutine(const std::string& routine);
  void resolveBody(const Body& body);

  std::string database_;  // as the server names it
  std::string lowerDatabase_;
  std::vector<std::string> tables_;
  // This database's children of each parent, by cascadeKey.
  std::unordered_map<std::string, std::vector<std::string>> cascades_;
  SchemaSource schemaSource_;
  const Schema* schema_ = nullptr;
  bool wideRead_ = false;
  backup_format::LogPosition from_, to_;
  std::string file_;                 // the file the events are of
  unsigned long long position_ = 0;  // where the next event begins
  bool startChecked_ = false;
  bool logSynced_;
  // The last event the current file holds is a rotation or a stop: the
  // server closed it.
  bool fileClosed_ = false;
  bool reached_ = false;  // the snapshot's position was reached
  long long endFileStart_ = 0;
  std::string why_;  // not clean, when set
  std::unordered_set<std::string> changed_;   // tables written, lower case
  std::unordered_set<std::string> reshaped_;  // those a statement reached
  bool inStatement_ = false;                  // a statement is being taken
  std::unordered_set<std::string> fired_;     // tables whose triggers are resolved
  std::unordered_set<std::string> called_;    // routines resolved
  bool statementRan_ = false;  // a statement that runs code was logged
};

// True for an event that moves no table's identity: rows and their table
// map, framing, a file's start, its rotation or stop, and a statement that is
// exactly BEGIN, COMMIT or ROLLBACK. Any other statement may be ALTER,
// TRUNCATE or RENAME; an event of another kind is not known.
bool leavesIdentities(const LogEvent& event);

// The name the server gives the file after `file`: its number, one up, in
// as many digits ("log.000009" -> "log.000010").
std::string nextLogFile(const std::string& file);

}  // namespace binlog

#endif  // VKT_BACKUP_BINLOG_H_
