// Console text on a UTF-8 terminal and in the systemd journal.
//
// The program's own texts are Windows-1252 bytes, and files and pipes get
// them byte for byte. A terminal whose locale is UTF-8 would show every
// umlaut as a replacement character, and the journal keeps a line that is
// not UTF-8 as a blob that `systemctl status` does not show, so there the
// console streams are converted on the way out.
#ifndef VKT_APP_TERMINAL_TEXT_H_
#define VKT_APP_TERMINAL_TEXT_H_

#include <cstddef>
#include <string>
#include <string_view>

namespace terminal_text {

// Appends `bytes` to *out as UTF-8. A well-formed UTF-8 sequence of two or
// more bytes (a name or a server message in UTF-8) is kept as it is; every
// other byte is read as Windows-1252, its five unassigned bytes as U+FFFD.
// Unless `final`, a cut-off UTF-8 sequence at the end is left unconsumed
// for the next call. Returns the number of bytes consumed.
size_t appendUtf8(std::string_view bytes, bool final, std::string* out);

// Points std::cout/stdout (and, separately, std::cerr, std::clog/stderr) at
// a converter to UTF-8 when that descriptor is a terminal and the locale's
// character set (LC_CTYPE, LC_ALL, LANG) is UTF-8, or when it is the
// journal's stream: the device and inode that systemd names in
// $JOURNAL_STREAM ("<device>:<inode>", in decimal), whatever the locale.
// Leaves the streams untouched otherwise, and the process's C locale as it
// found it. Call once, before anything is written.
void convertConsoleStreams();

}  // namespace terminal_text

#endif  // VKT_APP_TERMINAL_TEXT_H_
