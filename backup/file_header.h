// Whose backup a file is, by its header rather than by its name: the
// names of two databases' files can be the same.
#ifndef VKT_BACKUP_FILE_HEADER_H_
#define VKT_BACKUP_FILE_HEADER_H_

#include <string>

namespace file_header {

// True when the file open as `fd`, plain or compressed (by its first
// bytes), begins with the header of a backup of `database`. Reads only its
// start; `fd` is not moved.
bool namesDatabase(int fd, const std::string& database);

// The same for the file at `path`; false when it cannot be opened.
bool fileNamesDatabase(const std::string& path, const std::string& database);

}  // namespace file_header

#endif  // VKT_BACKUP_FILE_HEADER_H_
