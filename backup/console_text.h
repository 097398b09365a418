// What the engine says on the console. Texts are Windows-1252 bytes,
// written as escapes so that the sources stay ASCII.
#ifndef VKT_BACKUP_CONSOLE_TEXT_H_
#define VKT_BACKUP_CONSOLE_TEXT_H_

#include <string>

namespace console_text {

// Writes `text` and a line end to standard output, flushed.
void printLine(const std::string& text);

// The line that tells why the backup file could not be written: no room
// left, a file too large, an input/output error, or else the error number
// `error` (an errno value).
std::string writeFailure(int error);

}  // namespace console_text

#endif  // VKT_BACKUP_CONSOLE_TEXT_H_
