// Compresses a plain backup file as the program writes a compressed one
// (backup/backup_file.h): zstd frames, a new one at every section and
// rows block, and the seek table. Line ends are written as CR LF. Usage: pack PLAIN PACKED (PACKED must not exist).
#include <cstdio>
#include <fstream>
#include <string>

#include "backup/backup_file.h"
#include "backup/backup_format.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  BackupFile out;
  if (!in || !out.create(argv[2], true)) return 1;
  std::string line;
  bool inRows = false;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() && inRows) {
      out.endRows();
      inRows = false;
    }
    if (!line.empty() && line[0] == '#') out.startFrame();
    // Rows are taken only inside a rows block, which begins a frame.
    if (!inRows && backup_format::isRowsBlockLine(line)) {
      out.beginRows();
      inRows = true;
    }
    out.writeLine(line);
  }
  return out.finish() ? 0 : 1;
}
