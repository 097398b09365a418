// The shape of a CREATE TABLE as SHOW CREATE TABLE prints it, read as the
// server reads it: what a backup file's table structure may hold.
#ifndef VKT_BACKUP_CREATE_TABLE_H_
#define VKT_BACKUP_CREATE_TABLE_H_

#include <string>
#include <string_view>
#include <vector>

namespace create_table {

// True when `create`, lexed in the file's session, is CREATE TABLE, a
// name, then in parentheses columns and keys (each led by a name or by
// PRIMARY, UNIQUE, KEY, INDEX, FULLTEXT, SPATIAL, CONSTRAINT, FOREIGN,
// CHECK, PERIOD or VECTOR), then table options as the server prints them
// (name=value, DEFAULT CHARSET=..., DATA or INDEX DIRECTORY=..., WITH
// SYSTEM VERSIONING, MySQL's TABLESPACE) and its partitioning. Anything
// else, a SELECT or LIKE that would fill or shape the table from another,
// is refused. A CREATE SEQUENCE is taken as the server prints it: its
// name, type, values (start, minvalue, maxvalue, increment, cache, cycle)
// and table options. Every engine it names, the table's and its
// partitions', must stand as a bare word (ENGINE=InnoDB); `*engines`,
// where given, gets them (upper case).
bool readsAsPrinted(std::string_view create, std::vector<std::string>* engines = nullptr);

// The columns of a CREATE TABLE as the server prints it (one column a
// line, each line "  `name` ..."), and those of its period when it names
// them itself; row_start and row_end when it does not.
struct Columns {
  std::vector<std::string> names;
  std::string periodStart = "row_start";
  std::string periodEnd = "row_end";
};
Columns columnsOf(std::string_view create);

}  // namespace create_table

#endif  // VKT_BACKUP_CREATE_TABLE_H_
