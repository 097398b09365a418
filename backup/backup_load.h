// Loading a backup file of this program into a database, at the server's
// speed: the tables' structures first, then their rows over several
// connections at once (largest tables first), each row line of the file
// joined with the next into INSERTs of many rows, then the views,
// routines, triggers and events in the file's order, so that no trigger
// fires on a restored row. Only the file's SQL statements are sent.
//
// Memory: per connection a batch (at most kBatchBytes) and the file's
// block being read, and the longest row; never the file.
#ifndef VKT_BACKUP_BACKUP_LOAD_H_
#define VKT_BACKUP_BACKUP_LOAD_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "backup/file_lines.h"
#include "backup/load_plan.h"

namespace backup_load {

// The most bytes of one INSERT the loader builds, unless the server's
// max_allowed_packet is smaller. A row longer than that is sent alone.
constexpr std::size_t kBatchBytes = std::size_t{2} << 20;

struct Target {
  std::string host;
  std::string user;
  std::string password;
  std::string database;
  bool replace = false;  // a database that is not empty is loaded into
  int connections = 0;   // 0: as many as fit the server
};

// What the progress line shows, counted as the load goes.
struct Progress {
  std::uint64_t bytes = 0;  // of the file's row lines sent
  std::uint64_t totalBytes = 0;  // of all its row lines
  std::uint64_t rows = 0;
  std::size_t tablesDone = 0;
  std::size_t tables = 0;
  bool finished = false;  // the rows are done: the line goes
};

// Called on the calling thread about four times a second while rows load.
using ProgressShown = std::function<void(const Progress&)>;

// The connections that fit the server `target` names when none are asked
// for: its processors, from 2 to 8.
int fittingConnections(const Target& target);

// Loads `bytes`, planned as `plan` (which must be loadable), into the
// target; says on the console what it does, the first error with its
// table and line, and at the end which tables are incomplete. True only
// when every statement succeeded and every table holds as many rows as
// the file. `stop`, when set (by a signal), ends the load after the
// statements under way, as a failure.
bool load(const file_lines::PlainBytes& bytes, const load_plan::Plan& plan,
          const Target& target, const ProgressShown& shown,
          const std::atomic<bool>* stop);

}  // namespace backup_load

#endif  // VKT_BACKUP_BACKUP_LOAD_H_
