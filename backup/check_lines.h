// The lines of a backup file as the check reads them: from any bytes,
// in large blocks, with their numbers, their line ends and whether they
// hold a NUL byte, each held whole up to a bound.
#ifndef VKT_BACKUP_CHECK_LINES_H_
#define VKT_BACKUP_CHECK_LINES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "backup/file_lines.h"

namespace backup_check {

// One line of the file, without its line end.
struct Line {
  std::string_view text;
  std::uint64_t number = 0;
  bool ended = false;  // had its LF
  bool crlf = false;   // and a CR before it
  bool nul = false;    // holds a NUL byte
  bool tooLong = false;  // longer than a line held: skipped, its text empty
};

// The lines of bytes read in large blocks; a line longer than a block
// grows the buffer to hold it, up to `heldMax` bytes (or as far as memory
// goes): a longer one is skipped to its end. Finds NUL bytes a block at a
// time.
class LineReader {
 public:
  LineReader(const file_lines::PlainBytes& bytes, std::size_t heldMax)
      : bytes_(bytes), heldMax_(heldMax) {}

  // The next line into *line (its text valid until the next call); false
  // at the end.
  bool next(Line* line);
  bool failed() const { return failed_; }
  std::uint64_t offset() const { return bufferOffset_ + consumed_; }

 private:
  bool skipLine(Line* line);
  bool refill();
  // The next NUL byte at or after `from` among the bytes read.
  void findNulFrom(std::size_t from);

  static constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  const file_lines::PlainBytes& bytes_;
  const std::size_t heldMax_;
  file_lines::LineBuffer buffer_;  // grows in place for a long line
  std::uint64_t bufferOffset_ = 0;  // of buffer_[0]
  std::size_t consumed_ = 0;
  std::size_t filled_ = 0;
  std::size_t searched_ = 0;  // bytes after consumed_ known to hold no LF
  std::size_t nul_ = kNone;  // the next NUL byte in the buffer
  std::uint64_t lines_ = 0;
  bool eof_ = false;
  bool failed_ = false;
};

}  // namespace backup_check

#endif  // VKT_BACKUP_CHECK_LINES_H_
