// The shape of a CREATE TABLE as SHOW CREATE TABLE prints it, read as the
// server reads it: what a backup file's table structure may hold.
#ifndef VKT_BACKUP_CREATE_TABLE_H_
#define VKT_BACKUP_CREATE_TABLE_H_

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace create_table {

// What a CREATE TABLE tells of where the table's rows live.
struct Storage {
  std::vector<std::string> engines;  // every engine it names, upper case
  // Its table options, in order, in upper case: each name (its last word,
  // a quoted one unquoted) and value (a word, a string's text where it is
  // a plain word, "" otherwise).
  std::vector<std::pair<std::string, std::string>> options;
  bool partitioned = false;
};

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
// partitions', must stand as a bare word (ENGINE=InnoDB). `*storage`,
// where given, gets what tells where the table's rows live.
bool readsAsPrinted(std::string_view create, Storage* storage = nullptr);

// Whether the table holds rows of its own, which its section may carry: no
// engine keeps them elsewhere (backup_format::keepsRowsElsewhere()), and a
// CONNECT table is proven to keep them in a file it made itself (a file
// type, no FILE_NAME, CONNECTION or other option that may point at rows of
// anyone else's, no partitions). A restore would write the rows of any
// other into another server, another table or a file outside the database,
// or add them to rows still there.
bool keepsOwnRows(const Storage& storage);

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
