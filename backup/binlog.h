// The tables of one database that changed between two positions of the
// server's binary log: a pure reading of the events the log reader hands
// over (db::readLog) and of what the schema tells of the tables a change
// writes besides its own. The answer is clean only when every event could
// be attributed; otherwise it says why not, and the run judges changes by
// the update times alone.
#ifndef VKT_BACKUP_BINLOG_H_
#define VKT_BACKUP_BINLOG_H_

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "backup/backup_format.h"
#include "backup/db_session.h"

namespace binlog {

struct Changes {
  bool clean = false;  // every event between the positions was attributed
  std::string why;     // when not clean: the console line that says why
  std::unordered_set<std::string> tables;  // the database's tables changed, when clean
  // When clean: the log holds statements of other databases that may
  // write tables. A trigger or routine of theirs that names this database
  // may write it unseen: the caller must rule that out.
  bool foreignStatements = false;
};

// What the schema tells of the tables a change of one table writes.
struct Reach {
  // (parent, child) of every foreign key whose update or delete rule
  // writes the child (CASCADE, SET NULL, SET DEFAULT).
  std::vector<std::pair<std::string, std::string>> cascades;
  // (parent, child) of every such foreign key whose parent is a table of
  // another database: a statement of any database that names the parent
  // may write the child.
  std::vector<std::pair<std::string, std::string>> foreignCascades;
  // (table, body) of every trigger: a body may write the tables it names
  // and, through the routines it names, theirs.
  std::vector<std::pair<std::string, std::string>> triggers;
  // (name, body) of every stored function and procedure: a statement
  // logged as such that calls one (a function's call is) may write what
  // its body names.
  std::vector<std::pair<std::string, std::string>> routines;
};

// Takes the events from the previous backup's position `from` up to this
// run's snapshot position `to`, both of the same server.
class Collector {
 public:
  Collector(std::string database, const std::vector<std::string>& tables,
            const backup_format::LogPosition& from,
            const backup_format::LogPosition& to, Reach reach);
  // False once nothing more is needed: the snapshot's position is reached,
  // or the answer cannot be clean.
  bool take(const db::LogEvent& event);
  // The answer, once the reader ended as `read` tells.
  Changes finish(const db::LogRead& read) const;
  // The time of the start event of the snapshot's file; 0 when it was not
  // seen.
  long long endFileStart() const { return endFileStart_; }

 private:
  bool fail(std::string why);
  // True once the snapshot's position is reached.
  bool atEnd();
  void takeStatement(const db::LogEvent& event);

  std::string database_;
  std::vector<std::string> tables_;
  Reach reach_;
  // The tables and routines, in lower case: the words of a statement that
  // tell a change.
  std::unordered_set<std::string> tableWords_;
  backup_format::LogPosition from_, to_;
  std::string file_;                 // the file the events are of
  unsigned long long position_ = 0;  // where the next event begins
  bool startChecked_ = false;
  bool reached_ = false;  // the snapshot's position was reached
  long long endFileStart_ = 0;
  std::string why_;  // not clean, when set
  std::unordered_set<std::string> words_;  // tables (and routines) changed
  bool foreignStatements_ = false;  // statements of other databases seen
};

// The name the server gives the file after `file`: its number, one up, in
// as many digits ("log.000009" -> "log.000010").
std::string nextLogFile(const std::string& file);

// The words of a statement that may name a table: backquoted names and
// bare words, in lower case.
std::unordered_set<std::string> nameWords(std::string_view statement);

// `changed` (lower-case names) with every table that a cascade or a
// trigger of a changed table, or a changed (called) routine, can write,
// over and over; `tables` are the database's.
std::unordered_set<std::string> withReach(std::unordered_set<std::string> changed,
                                          const std::vector<std::string>& tables,
                                          const Reach& reach);

}  // namespace binlog

#endif  // VKT_BACKUP_BINLOG_H_
