// Checking a backup file without a server: reads it as the stock `mariadb`
// client reads it and as this program writes it, and tells every fault
// with its line (or, in a compressed file, its frame).
//
// What holds in a file that passes:
//   - the header lines, the sandbox line, the client's character set line
//     naming the preamble line's character set (in a file without it, as
//     earlier versions wrote, every byte after the header is ASCII), the
//     preamble line;
//   - every line ends with CR LF, and no byte is NUL;
//   - every statement ends where the client ends it, at a line's end: no
//     delimiter inside it, no string or comment left open, no backslash
//     command and no client command word at its start; an object's
//     statements are read under its own DELIMITER and SET lines;
//   - each section holds only the statements the writer writes for it,
//     the hex form decoded and held to the same rules: an object's DROP of
//     its own kind and name, its session lines as the writer makes them,
//     its CREATE of its own kind and name (in the header's database where
//     it names one); a table's DROP and one CREATE TABLE (or SEQUENCE) of
//     its own name; a DROP first, where the settings line says droptable=1
//     and nowhere else; a DELIMITER the writer would choose; a view's DROP, session lines and CREATE ... VIEW of its
//     own name;
//   - the sections in the writer's order: base tables, functions and
//     procedures, views, triggers (each after its table), events;
//   - table sections in order: a comment block, the structure (when the
//     settings line says it is saved) before any row, then the rows: each
//     names the section's table, holds the values the writer writes
//     (quoted strings or NULL) and as many as its column list or its
//     CREATE TABLE gives; several rows a statement are closed before the
//     block's empty line; no row line outside a rows block; the history
//     lines around the rows they belong to, and each past row's period
//     start before its end;
//   - the closing block: the COMMIT line, the settings line, and identity
//     lines that each name a table of the file;
//   - in a compressed file: every frame decompresses and its checksum
//     holds, the frames follow each other with nothing between them, and
//     the seek table after them lists exactly them.
// What it cannot know: whether the rows equal the source's, and whether
// the server takes each definition (only that the client sends it whole).
//
// Memory: the longest line (at most kLineHeldMax, or a statement of a
// definition) and a block of the file; never the file.
#ifndef VKT_BACKUP_BACKUP_CHECK_H_
#define VKT_BACKUP_BACKUP_CHECK_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "backup/previous_backup.h"

namespace backup_check {

// One fault: the line it was found on (from 1; 0 when it is no line's),
// the frame for a fault of a compressed file's frames (from 0; -1 for
// none), and why, as a console text.
struct Fault {
  std::uint64_t line = 0;
  std::int64_t frame = -1;
  std::string why;
};

// What a file holds, for a summary at a glance.
struct Summary {
  std::uint64_t tables = 0;
  std::uint64_t views = 0;
  std::uint64_t rows = 0;
  std::uint64_t routines = 0;  // procedures and functions
  std::uint64_t triggers = 0;
  std::uint64_t events = 0;
  std::uint64_t bytes = 0;        // the plain bytes read
  std::uint64_t packedBytes = 0;  // the file's bytes, when compressed
};

// At most this many faults are kept for a file; the others are counted.
constexpr std::size_t kFaultsKept = 100;

struct Report {
  std::vector<Fault> faults;  // frame faults first, then by line
  std::uint64_t faultsLeftOut = 0;
  Summary summary;
  bool holds() const { return faults.empty() && faultsLeftOut == 0; }
};

// Told now and then while a file is read: the bytes done of `total`.
using Progress = std::function<void(std::uint64_t done, std::uint64_t total)>;

// The longest line the check holds: 1 GiB, the most max_allowed_packet
// can be, so no server takes a longer statement. A longer line (or one
// longer than memory can hold) is a fault, read past without holding it.
constexpr std::size_t kLineHeldMax = std::size_t{1} << 30;

// Checks the plain bytes of a backup file, from the first to the last.
Report checkBytes(const file_lines::PlainBytes& bytes,
                  std::uint64_t total = 0, const Progress& progress = nullptr,
                  std::size_t lineHeldMax = kLineHeldMax);

// Checks `text` as a plain backup file.
Report checkText(std::string_view text);

// Checks the file at `path`: plain, or zstd frames (read in place).
Report checkFile(const std::string& path, const Progress& progress = nullptr);

}  // namespace backup_check

#endif  // VKT_BACKUP_BACKUP_CHECK_H_
