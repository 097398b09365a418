// The block that closes a backup file: the closing lines, then what the
// next run judges its base by (the settings, the log's position, the
// tables' identities).
#ifndef VKT_BACKUP_CLOSING_BLOCK_H_
#define VKT_BACKUP_CLOSING_BLOCK_H_

#include <string>

#include "backup/backup_file.h"
#include "backup/backup_format.h"
#include "backup/inventory.h"

// Writes the closing lines into `out` in a frame of their own (the last
// rows block stays its frames), then, in another, the settings line
// (`settings` as backup_format::settingsText() gives it), the log's
// position `logAt` when the log is on, and one identity line per table of
// `inventory` whose identity is known. True when the lines of that second
// frame were written; a failed closing line shows in out.failed().
bool writeClosingBlock(const Inventory& inventory, const std::string& settings,
                       const backup_format::LogPosition& logAt, BackupFile& out);

#endif  // VKT_BACKUP_CLOSING_BLOCK_H_
