#include "backup/check_lines.h"

#include <cstring>

namespace backup_check {
namespace {

constexpr std::size_t kBlockSize = std::size_t{1} << 20;

// The first `byte` among `length` bytes at `from`, or nullptr.
const char* find(const char* from, char byte, std::size_t length) {
  return length == 0 ? nullptr : static_cast<const char*>(std::memchr(from, byte, length));
}

}  // namespace

bool LineReader::next(Line* line) {
  for (;;) {
    // Of a line that goes on past the bytes read, only new bytes are
    // searched for its end.
    const char* start = buffer_.data() + consumed_;
    const char* lf = find(start + searched_, '\n', filled_ - consumed_ - searched_);
    searched_ = lf == nullptr ? filled_ - consumed_ : 0;
    if (lf == nullptr && !eof_ && filled_ - consumed_ >= heldMax_) return skipLine(line);
    if (lf != nullptr || eof_) {
      if (lf == nullptr && consumed_ == filled_) return false;
      const std::size_t length =
          lf != nullptr ? static_cast<std::size_t>(lf - start) : filled_ - consumed_;
      line->ended = lf != nullptr;
      line->crlf = line->ended && length > 0 && start[length - 1] == '\r';
      line->text = std::string_view(start, length - (line->crlf ? 1 : 0));
      line->number = ++lines_;
      const std::size_t end = consumed_ + length;
      line->nul = nul_ < end;
      if (line->nul) findNulFrom(end);
      consumed_ = end + (line->ended ? 1 : 0);
      searched_ = 0;
      line->tooLong = false;
      return true;
    }
    if (!refill()) return skipLine(line);
  }
}

// The rest of a line too long to hold, read past without keeping it; the
// memory that held its start is let go.
bool LineReader::skipLine(Line* line) {
  bufferOffset_ += filled_;
  consumed_ = filled_ = searched_ = 0;
  nul_ = kNone;
  buffer_.release();
  line->ended = false;
  while (!line->ended && !eof_) {
    refill();
    const char* lf = find(buffer_.data(), '\n', filled_);
    line->ended = lf != nullptr;
    consumed_ = line->ended ? static_cast<std::size_t>(lf - buffer_.data()) + 1 : filled_;
  }
  if (line->ended) findNulFrom(consumed_);
  line->text = std::string_view();
  line->crlf = line->ended;
  line->nul = false;
  line->tooLong = true;
  line->number = ++lines_;
  return true;
}

// False when the buffer cannot grow to hold the line read so far.
bool LineReader::refill() {
  const std::size_t kept = filled_ - consumed_;
  if (consumed_ > 0 && kept > 0) std::memmove(buffer_.data(), buffer_.data() + consumed_, kept);
  bufferOffset_ += consumed_;
  if (nul_ != kNone) nul_ -= consumed_;
  consumed_ = 0;
  filled_ = kept;
  if (buffer_.size() < kept + kBlockSize && !buffer_.tryResize(kept + kBlockSize)) return false;
  const ssize_t n =
      bytes_.readAt(buffer_.data() + filled_, buffer_.size() - filled_, bufferOffset_ + filled_);
  if (n < 0) failed_ = true;
  if (n <= 0) {
    eof_ = true;
    return true;
  }
  const std::size_t from = filled_;
  filled_ += static_cast<std::size_t>(n);
  if (nul_ == kNone) findNulFrom(from);
  return true;
}

void LineReader::findNulFrom(std::size_t from) {
  const char* found = find(buffer_.data() + from, '\0', filled_ - from);
  nul_ = found == nullptr ? kNone : static_cast<std::size_t>(found - buffer_.data());
}

}  // namespace backup_check
