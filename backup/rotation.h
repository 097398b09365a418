// Removing old backups of one database from its save path.
#ifndef VKT_BACKUP_ROTATION_H_
#define VKT_BACKUP_ROTATION_H_

#include <string>

namespace rotation {

// After a complete run: deletes from `directory` the complete backups of
// `database` beyond the newest `keep`, and its working files (a complete
// backup's name followed by BackupFile::kWorkingSuffix) older than its
// newest complete backup. A complete backup is a regular file named
// exactly "<database>-<14 digits>.sql" or ".sql.zst" (the database part
// made as fileName() makes it) whose header names `database` (two
// databases can share a file name; a working file killed before its
// header stays); no other file is ever deleted, nor the file named
// `written`. Nothing happens while `keep` is 0 or less. Each
// deletion is printed, each failure too; returns the number of failures.
int removeOldBackups(const std::string& directory, const std::string& database,
                     int keep, const std::string& written);

}  // namespace rotation

#endif  // VKT_BACKUP_ROTATION_H_
