// How a value's bytes are escaped for a quoted string in a row line, as
// the client library's mysql_real_escape_string escapes them, without
// asking the library for each value where the character set allows.
#ifndef VKT_BACKUP_VALUE_ESCAPE_H_
#define VKT_BACKUP_VALUE_ESCAPE_H_

#include <cstddef>

#include "backup/db_session.h"

// True when any of the `length` bytes at `value` is one the library may
// escape: false means the library copies the value as it is, in any
// character set.
bool needsEscaping(const char* value, unsigned long length);

// True where escaping byte by byte gives what the client library gives:
// in single-byte character sets, and in UTF-8, where no byte of a
// character of several is one of the bytes escaped.
bool escapesByteWise(const db::CharacterSet& charset);

// Writes `length` bytes of `value` to `to` (room for 2 * length) escaped
// for a quoted value as the client library escapes them where
// escapesByteWise() holds; returns the end.
char* escapeByteWise(char* to, const char* value, std::size_t length);

#endif  // VKT_BACKUP_VALUE_ESCAPE_H_
