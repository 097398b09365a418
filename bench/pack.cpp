// Compresses a plain backup file as the program writes a compressed one
// (backup/backup_file.h): zstd frames, a new one at every section, and the
// seek table. Usage: pack PLAIN PACKED (PACKED must not exist).
#include <cstdio>
#include <fstream>
#include <string>

#include "backup/backup_file.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  std::ifstream in(argv[1], std::ios::binary);
  BackupFile out;
  if (!in || !out.create(argv[2], true)) return 1;
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line[0] == '#') out.startFrame();
    line += '\n';
    out.writePart(line);
  }
  return out.finish() ? 0 : 1;
}
