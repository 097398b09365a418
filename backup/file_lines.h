// The bytes of a backup file and the lines they hold: the one way this
// program reads its own files. A plain file is read through its
// descriptor, a compressed one frame by frame in place; either way the
// lines come out of large blocks, and a line longer than the reader holds
// comes cut, so that no line costs more memory than a bound.
#ifndef VKT_BACKUP_FILE_LINES_H_
#define VKT_BACKUP_FILE_LINES_H_

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "backup/zstd_frames.h"

// What tells that a file changed: which file it is, its size and the times
// of its last changes. The kernel moves the change time on every write and
// truncation, and no program can set it back.
struct FileStamp {
  dev_t device = 0;
  ino_t inode = 0;
  off_t size = -1;  // -1: the file could not be examined
  timespec changed{};
  timespec modified{};
};

namespace file_lines {

// Bytes a source holds in memory, seen where they lie.
struct HeldView {
  const char* data = nullptr;
  std::size_t size = 0;
  std::shared_ptr<const void> keep;  // holds them while the view is read
};

// The bytes of a backup as a plain backup file holds them: the
// file's own, or the decompressed bytes of a compressed one.
class PlainBytes {
 public:
  virtual ~PlainBytes() = default;
  // Copies up to `length` bytes from `offset` into `buffer`: fewer only at
  // the end, -1 when they cannot be read. Safe to call from several threads.
  virtual ssize_t readAt(char* buffer, std::size_t length,
                         std::uint64_t offset) const = 0;
  // The stamp of the file they come from, now.
  virtual FileStamp stamp() const = 0;
  // After the first row line of a rows block that begins at `rowsBegin`:
  // an offset inside the block's row lines, every byte before which is
  // known to belong to the block without being read. Reading may go on
  // after the line end that follows it. `rowsBegin` when nothing is known.
  virtual std::uint64_t rowsKnownUpTo(std::uint64_t rowsBegin) const {
    return rowsBegin;
  }
  // True when bytes read are held in memory for a while, so that whoever
  // reads them again must follow closely.
  virtual bool heldAfterReading() const { return false; }
  // The bytes from `offset` on that lie together in memory, to be read
  // where they are rather than copied: false when this source holds none
  // (readAt() copies them); true with none at the end.
  virtual bool viewAt(std::uint64_t offset, HeldView* view) const;
};

// A file's own bytes, read through `fd` (not owned).
class FileBytes : public PlainBytes {
 public:
  explicit FileBytes(int fd) : fd_(fd) {}
  ssize_t readAt(char* buffer, std::size_t length,
                 std::uint64_t offset) const override;
  FileStamp stamp() const override;

 private:
  int fd_;
};

// The decompressed bytes of a compressed backup, read in place:
// only the frames read are decompressed, and only a few are held at a time.
class PackedBytes : public PlainBytes {
 public:
  // Reads `fd` through a descriptor of its own, so that the reader's thread
  // never reads a descriptor closed or reused meanwhile. `heldFrames` as
  // zstd_frames::Reader takes it.
  explicit PackedBytes(int fd, std::size_t heldFrames = zstd_frames::Reader::kHeldFrames);
  ~PackedBytes() override;
  PackedBytes(const PackedBytes&) = delete;
  PackedBytes& operator=(const PackedBytes&) = delete;

  // False when the file is not one of this program's frames (a frame
  // larger than zstd_frames::kFrameBytes, or of unknown size): it must then
  // be decompressed as a whole.
  bool readable() const;

  ssize_t readAt(char* buffer, std::size_t length,
                 std::uint64_t offset) const override;
  FileStamp stamp() const override;
  std::uint64_t rowsKnownUpTo(std::uint64_t rowsBegin) const override;
  bool heldAfterReading() const override { return true; }
  // A decompressed frame from `offset` to its end.
  bool viewAt(std::uint64_t offset, HeldView* view) const override;

  // The frames, each sound only where it was read whole so far; lets the
  // decompressed frames go.
  std::vector<zstd_frames::Frame> framesRead() const;

 private:
  int fd_;
  std::unique_ptr<zstd_frames::Reader> reader_;
};

// Bytes held in memory (not owned), as a file would hold them.
class TextBytes : public PlainBytes {
 public:
  explicit TextBytes(std::string_view text) : text_(text) {}
  ssize_t readAt(char* buffer, std::size_t length,
                 std::uint64_t offset) const override;
  FileStamp stamp() const override { return FileStamp(); }
  bool viewAt(std::uint64_t offset, HeldView* view) const override;

 private:
  std::string_view text_;
};

// The stamp of the open file `fd` now; unknown (size -1) when it cannot be
// examined.
FileStamp stampOf(int fd);

// Equal only when both stamps are known and nothing in them differs.
bool sameFile(const FileStamp& a, const FileStamp& b);

// A line is held whole up to this many bytes. A longer one is judged, and
// its rows copied, as it streams; of a longer line that is no row line
// (a definition's, an object's) the reader keeps no more than this, and
// such a definition or object then equals none written.
constexpr std::size_t kLineHeld = std::size_t{1} << 20;

#ifndef VKT_READER_BYTES
constexpr std::size_t kBlockSize = std::size_t{1} << 20;
// Bytes held in memory are read in smaller blocks: each is a copy.
constexpr std::size_t kHeldBlockSize = std::size_t{256} << 10;
// A line longer than kLineBytes comes cut: its first kLineBytes bytes, then
// the rest in pieces for whoever wants them, so that no line costs more
// memory than this, whatever its length.
constexpr std::size_t kLineBytes = kLineHeld;
// Readers that judge every byte as it streams hold less of a line.
constexpr std::size_t kLineHeldStreaming = std::size_t{64} << 10;
// Bytes held in memory are read where they lie, as many as lie together.
constexpr std::size_t kViewMost = SIZE_MAX;
#else
// The fuzzer reads a few bytes at a time and holds little more than a
// comment block's line, so that its short inputs take every path of long
// lines and of pieces.
constexpr std::size_t kBlockSize = VKT_READER_BYTES;
constexpr std::size_t kHeldBlockSize = VKT_READER_BYTES + 3;
constexpr std::size_t kLineBytes = 128;
constexpr std::size_t kLineHeldStreaming = 7;
// and reads bytes held in memory a few at a time, so that its lines run
// on from one to the next.
constexpr std::size_t kViewMost = VKT_READER_BYTES;
#endif

// Memory for the lines being read. A large buffer grows in place (it is
// remapped, not copied), so that a line far longer than a block costs
// about its length, not twice or three times that.
class LineBuffer {
 public:
  LineBuffer();
  ~LineBuffer();
  LineBuffer(const LineBuffer&) = delete;
  LineBuffer& operator=(const LineBuffer&) = delete;
  char* data() { return data_; }
  const char* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Throws std::bad_alloc when there is no memory for `size` bytes.
  void resize(std::size_t size);
  // resize() for a reader that goes on without the memory: false, the
  // bytes kept as they were, when there is none.
  bool tryResize(std::size_t size);
  // Lets the memory go; the buffer is empty.
  void release();

 private:
  char* data_;  // never null, so that it may be searched when empty
  std::size_t size_ = 0;
  std::size_t mapped_ = 0;  // the bytes mapped for a large buffer, or 0
};

// One line as the reader gives it.
struct Line {
  std::string_view text;  // without its line end; the first bytes when cut
  bool ended = false;     // had its LF
  bool crlf = false;      // its LF had a CR before it
  bool cut = false;       // longer than the reader holds: `text` is its head
  bool nul = false;       // holds a NUL byte (LineReading::findNul)
  std::uint64_t offset = 0;  // of its first byte in the file
  std::uint64_t next = 0;    // of the byte after its line end
};

// What a reader asks of its lines beyond their bytes.
struct LineReading {
  std::size_t held = kLineBytes;  // a longer line comes cut
  // A cut line is read past at once, its text empty, and so is one longer
  // than memory can hold: for a reader that judges no part of it and must
  // end in a verdict on any file rather than run out of memory.
  bool skipLong = false;
  bool findNul = false;  // sets Line::nul, a block of bytes at a time
  // A read that fails ends the bytes there: what was read of the last line
  // still comes, not ended, before next() is false.
  bool lastLineOnFailure = false;
};

// The lines of [begin, end) of a file, read in large blocks, or where they
// lie when the source holds them in memory (a decompressed frame): only a
// line that runs on past such a block is copied, to be held whole. A
// line's text, followed by its line end, stays valid until the next call
// of next(). A line longer than `held` bytes comes cut (Line::cut): rest()
// streams the bytes after its head and tells how it ended; next() skips
// what rest() did not read. Every byte is searched for a line end once.
class FileLines {
 public:
  FileLines(const PlainBytes& bytes, std::uint64_t begin, std::uint64_t end,
            const LineReading& reading)
      : bytes_(bytes),
        blockSize_(bytes.heldAfterReading() ? kHeldBlockSize : kBlockSize),
        reading_(reading),
        held_(reading.held),
        readAt_(begin),
        end_(end),
        dataOffset_(begin) {}
  FileLines(const PlainBytes& bytes, std::uint64_t begin,
            std::uint64_t end = UINT64_MAX, std::size_t held = kLineBytes)
      : FileLines(bytes, begin, end, LineReading{held}) {}
  // Reads into `buffer`, whatever it holds: one buffer serves reader after
  // reader, so that each need not fault in fresh memory.
  FileLines(const PlainBytes& bytes, std::uint64_t begin, std::uint64_t end,
            std::size_t held, LineBuffer* buffer)
      : FileLines(bytes, begin, end, held) {
    buffer_ = buffer;
    data_ = buffer->data();
  }
  FileLines(const FileLines&) = delete;
  FileLines& operator=(const FileLines&) = delete;

  // False at the end of the range, or when the file could not be read.
  bool next(Line* line) {
    if (inCutLine_) skipRest();
    for (;;) {
      const char* start = data_ + consumed_;
      const std::size_t pending = filled_ - consumed_;
      const char* lf = static_cast<const char*>(
          std::memchr(start + searched_, '\n', pending - searched_));
      if (lf != nullptr || eof_) {
        if (lf == nullptr && pending == 0) return false;
        std::size_t length = lf != nullptr ? static_cast<std::size_t>(lf - start)
                                           : pending;
        if (length > held_) return cut(line, length);
        line->ended = lf != nullptr;
        line->crlf = line->ended && length > 0 && start[length - 1] == '\r';
        line->cut = false;
        line->nul = reading_.findNul && holdsNul(consumed_, consumed_ + length);
        line->text = std::string_view(start, length - (line->crlf ? 1 : 0));
        line->offset = dataOffset_ + consumed_;
        consumed_ += length + (line->ended ? 1 : 0);
        searched_ = 0;
        line->next = dataOffset_ + consumed_;
        return true;
      }
      searched_ = pending;
      if (pending > held_) return cut(line, pending);
      if (!refill()) return outOfMemory_ ? cut(line, filled_ - consumed_) : false;
    }
  }

  // For the cut line last given by next(): hands every byte after its head
  // to `onPiece` as it is read (the line end left out), then sets the
  // line's `ended`, `crlf` and `next`. `line->text` stays the head.
  template <typename OnPiece>
  void rest(Line* line, OnPiece&& onPiece) {
    if (!inCutLine_) return;
    inCutLine_ = false;
    for (;;) {
      const char* start = data_ + consumed_;
      const std::size_t pending = filled_ - consumed_;
      const char* lf = static_cast<const char*>(std::memchr(start, '\n', pending));
      if (lf != nullptr || eof_) {
        std::size_t length = lf != nullptr ? static_cast<std::size_t>(lf - start)
                                           : pending;
        line->ended = lf != nullptr;
        line->crlf = line->ended && length > 0 && start[length - 1] == '\r';
        const std::size_t text = length - (line->crlf ? 1 : 0);
        if (text > 0) onPiece(std::string_view(start, text));
        consumed_ += length + (line->ended ? 1 : 0);
        searched_ = 0;
        line->next = dataOffset_ + consumed_;
        return;
      }
      // A CR at the end may be the first half of the line end: kept back.
      const std::size_t kept = pending > 0 && start[pending - 1] == '\r' ? 1 : 0;
      if (pending > kept) onPiece(std::string_view(start, pending - kept));
      consumed_ += pending - kept;
      if (!refill()) {
        searched_ = 0;
        line->ended = line->crlf = false;
        line->next = dataOffset_ + consumed_;
        return;
      }
    }
  }

  // Hands the ended lines that lie whole in the buffer, none longer than
  // next() gives whole nor holding a NUL byte where they are looked for
  // (LineReading::findNul), to `take(text, crlf, next)` while it returns
  // true; the line it refuses is left for next(). A tight loop for the
  // many short lines of a rows block.
  template <typename Take>
  void takeWhole(Take&& take) {
    if (inCutLine_) return;
    for (;;) {
      const char* start = data_ + consumed_;
      const std::size_t pending = filled_ - consumed_;
      const char* lf = static_cast<const char*>(
          std::memchr(start + searched_, '\n', pending - searched_));
      if (lf == nullptr) {
        searched_ = pending;
        return;
      }
      const std::size_t length = static_cast<std::size_t>(lf - start);
      if (length > held_ || (reading_.findNul && holdsNul(consumed_, consumed_ + length))) {
        searched_ = 0;
        return;
      }
      const bool crlf = length > 0 && start[length - 1] == '\r';
      const std::uint64_t next = dataOffset_ + consumed_ + length + 1;
      if (!take(std::string_view(start, length - (crlf ? 1 : 0)), crlf, next)) {
        searched_ = 0;
        return;
      }
      consumed_ += length + 1;
      searched_ = 0;
    }
  }

  // Hands the bytes after the lines read so far, as far as the buffer
  // holds them, to `lex(begin, end)`, which takes the line at `begin` and
  // returns its length with its line end, or 0 to leave it to next(); then
  // the bytes after it, while it takes lines. For a reader that finds the
  // line ends itself as it judges each byte.
  template <typename Lex>
  void takeLexed(Lex&& lex) {
    if (inCutLine_ || (consumed_ == filled_ && !eof_ && !refill())) return;
    for (;;) {
      const char* start = data_ + consumed_;
      const std::size_t taken = lex(start, data_ + filled_);
      if (taken == 0) return;
      consumed_ += taken;
      searched_ = 0;
    }
  }

  // The offset of the first byte not read yet.
  std::uint64_t position() const { return dataOffset_ + consumed_; }

  bool failed() const { return failed_; }

  // Goes on at `offset`, a line start not before the next line's start.
  void skipTo(std::uint64_t offset) {
    inCutLine_ = false;
    searched_ = 0;
    if (offset <= dataOffset_ + filled_) {
      consumed_ = static_cast<std::size_t>(offset - dataOffset_);
      return;
    }
    dropView();
    dataOffset_ = readAt_ = offset;
    consumed_ = filled_ = 0;
    eof_ = readAt_ >= end_;
  }

 private:
  static constexpr std::size_t kNoNul = static_cast<std::size_t>(-1);

  // Whether [begin, end) of the bytes held has a NUL byte. The bytes are
  // searched once, up to the first NUL, for all the lines they hold.
  bool holdsNul(std::size_t begin, std::size_t end) {
    if (nul_ != kNoNul && nul_ < begin) {
      nul_ = kNoNul;
      nulSearched_ = begin;
    }
    if (nul_ == kNoNul && nulSearched_ < end) {
      const std::size_t from = std::max(nulSearched_, begin);
      const void* found = std::memchr(data_ + from, '\0', filled_ - from);
      nul_ = found != nullptr ? static_cast<std::size_t>(static_cast<const char*>(found) - data_)
                              : kNoNul;
      nulSearched_ = found != nullptr ? nul_ + 1 : filled_;
    }
    return nul_ < end;
  }

  // The rare paths stay out of next(), which every line goes through.
  [[gnu::noinline]] void skipRest();
  // Gives the line that begins at consumed_, whose first `length` bytes
  // hold no LF and are more than `held_` (or more than memory holds), cut:
  // whether a line comes cut depends on its length alone, never on where a
  // block of the file ends. The byte after the head is no LF, so the head
  // holds no part of a line end.
  [[gnu::noinline]] bool cut(Line* line, std::size_t length);
  // cut() for LineReading::skipLong: reads past the line.
  bool skipLong(Line* line, std::size_t length);
  // More bytes after the unfinished line: where they lie when the source
  // holds them and no line runs on, else copied into the buffer after it.
  bool refill();
  // Moves the unfinished line to the buffer's start, the buffer grown to
  // `size` bytes; false when it cannot grow (LineReading::skipLong).
  bool keepInBuffer(std::size_t size);
  bool grow(std::size_t size);
  void dropView();
  void forgetNulBefore(std::size_t shift);

  const PlainBytes& bytes_;
  const std::size_t blockSize_;  // read at a time, at least
  const LineReading reading_;
  const std::size_t held_;       // of a line, at most
  std::uint64_t readAt_;
  std::uint64_t end_;
  std::uint64_t dataOffset_;  // file offset of data_[0]
  LineBuffer own_;
  LineBuffer* buffer_ = &own_;
  const char* data_ = own_.data();  // the buffer's bytes, or a view's
  HeldView view_;                   // when data_ is a view's
  std::string head_;  // of the cut line
  std::size_t consumed_ = 0;
  std::size_t filled_ = 0;
  std::size_t searched_ = 0;  // bytes after consumed_ known to hold no LF
  std::size_t nul_ = kNoNul;  // the first NUL byte found in data_
  std::size_t nulSearched_ = 0;  // bytes of data_ before it searched
  bool inCutLine_ = false;    // the rest of a cut line is not read yet
  bool eof_ = false;
  bool failed_ = false;
  bool outOfMemory_ = false;  // the buffer could not grow (skipLong)
};

}  // namespace file_lines

#endif  // VKT_BACKUP_FILE_LINES_H_
