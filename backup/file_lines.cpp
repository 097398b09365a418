#include "backup/file_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace file_lines {

namespace {

// A buffer this large is mapped from the kernel itself and grows by
// remapping: the allocator, once it serves large blocks from its heap,
// would grow it by copying and keep the old block's pages.
constexpr std::size_t kMappedFrom = std::size_t{4} << 20;

std::size_t pagesFor(std::size_t size) {
  const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return (size + page - 1) / page * page;
}

}  // namespace

LineBuffer::LineBuffer() : data_(static_cast<char*>(std::malloc(1))) {
  if (data_ == nullptr) throw std::bad_alloc();
}

LineBuffer::~LineBuffer() {
  if (mapped_ > 0)
    munmap(data_, mapped_);
  else
    std::free(data_);
}

void LineBuffer::resize(std::size_t size) {
  if (!tryResize(size)) throw std::bad_alloc();
}

bool LineBuffer::tryResize(std::size_t size) {
  if (mapped_ == 0 && size < kMappedFrom) {
    void* grown = std::realloc(data_, size > 0 ? size : 1);
    if (grown == nullptr) return false;
    data_ = static_cast<char*>(grown);
  } else if (size > mapped_) {
    const std::size_t bytes = pagesFor(size);
    void* grown = mapped_ == 0 ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE,
                                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0)
                               : mremap(data_, mapped_, bytes, MREMAP_MAYMOVE);
    if (grown == MAP_FAILED) return false;
    if (mapped_ == 0) {
      std::memcpy(grown, data_, size_);
      std::free(data_);
    }
    data_ = static_cast<char*>(grown);
    mapped_ = bytes;
  }
  size_ = size;
  return true;
}

void LineBuffer::release() {
  if (mapped_ > 0) {
    void* empty = std::malloc(1);
    if (empty == nullptr) return;  // kept, to stay searchable
    munmap(data_, mapped_);
    data_ = static_cast<char*>(empty);
    mapped_ = 0;
  } else {
    // Shrinking keeps the block where it is if the allocator cannot move it.
    tryResize(0);
  }
  size_ = 0;
}

bool PlainBytes::viewAt(std::uint64_t, HeldView*) const { return false; }

ssize_t FileBytes::readAt(char* buffer, std::size_t length,
                          std::uint64_t offset) const {
  ssize_t n;
  do {
    n = pread(fd_, buffer, length, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

ssize_t TextBytes::readAt(char* buffer, std::size_t length, std::uint64_t offset) const {
  if (offset >= text_.size()) return 0;
  const std::size_t n = std::min<std::size_t>(length, text_.size() - offset);
  std::memcpy(buffer, text_.data() + offset, n);
  return static_cast<ssize_t>(n);
}

bool TextBytes::viewAt(std::uint64_t offset, HeldView* view) const {
  const std::size_t from = static_cast<std::size_t>(std::min<std::uint64_t>(offset, text_.size()));
  view->data = text_.data() + from;
  view->size = text_.size() - from;
  return true;
}

FileStamp FileBytes::stamp() const { return stampOf(fd_); }

PackedBytes::PackedBytes(int fd, std::size_t heldFrames) : fd_(dup(fd)) {
  if (fd_ >= 0) reader_ = std::make_unique<zstd_frames::Reader>(fd_, heldFrames);
}

PackedBytes::~PackedBytes() {
  reader_.reset();  // its thread first
  if (fd_ >= 0) close(fd_);
}

bool PackedBytes::readable() const { return reader_ != nullptr && reader_->bounded(); }

ssize_t PackedBytes::readAt(char* buffer, std::size_t length,
                            std::uint64_t offset) const {
  return static_cast<ssize_t>(reader_->read(buffer, length, offset));
}

bool PackedBytes::viewAt(std::uint64_t offset, HeldView* view) const {
  view->keep = reader_->view(offset, &view->data, &view->size);
  return true;
}

FileStamp PackedBytes::stamp() const { return stampOf(fd_); }

// A frame begins every rows block and the section after it, and a frame is
// cut inside a block only when full.
std::uint64_t PackedBytes::rowsKnownUpTo(std::uint64_t rowsBegin) const {
  return reader_->lastOfFullFrames(rowsBegin);
}

std::vector<zstd_frames::Frame> PackedBytes::framesRead() const {
  std::vector<zstd_frames::Frame> frames = reader_->frames();
  reader_->release();
  return frames;
}

FileStamp stampOf(int fd) {
  FileStamp stamp;
  struct stat status;
  if (fstat(fd, &status) != 0) return stamp;
  stamp.device = status.st_dev;
  stamp.inode = status.st_ino;
  stamp.size = status.st_size;
  stamp.changed = status.st_ctim;
  stamp.modified = status.st_mtim;
  return stamp;
}

bool sameFile(const FileStamp& a, const FileStamp& b) {
  return a.size >= 0 && b.size >= 0 && a.device == b.device &&
         a.inode == b.inode && a.size == b.size &&
         a.changed.tv_sec == b.changed.tv_sec &&
         a.changed.tv_nsec == b.changed.tv_nsec &&
         a.modified.tv_sec == b.modified.tv_sec &&
         a.modified.tv_nsec == b.modified.tv_nsec;
}

void FileLines::skipRest() {
  Line skipped;
  rest(&skipped, [](std::string_view) {});
}

bool FileLines::cut(Line* line, std::size_t length) {
  if (reading_.skipLong) return skipLong(line, length);
  head_.assign(data_ + consumed_, held_);
  line->text = head_;
  line->ended = line->crlf = false;
  line->cut = true;
  line->nul = false;
  line->offset = dataOffset_ + consumed_;
  line->next = line->offset + held_;
  consumed_ += held_;
  searched_ = 0;
  inCutLine_ = true;
  return true;
}

bool FileLines::skipLong(Line* line, std::size_t length) {
  outOfMemory_ = false;
  line->text = std::string_view();
  line->cut = true;
  line->nul = false;
  line->offset = dataOffset_ + consumed_;
  // A CR at the end of the bytes held may begin the line end: kept back.
  consumed_ += length - (length > 0 && data_[consumed_ + length - 1] == '\r' ? 1 : 0);
  searched_ = 0;
  if (consumed_ == filled_ && view_.data == nullptr) {
    // The memory that held the line's start goes.
    dataOffset_ += consumed_;
    consumed_ = filled_ = 0;
    buffer_->release();
    data_ = buffer_->data();
    nul_ = kNoNul;
    nulSearched_ = 0;
  }
  inCutLine_ = true;
  rest(line, [](std::string_view) {});
  return true;
}

void FileLines::dropView() {
  view_ = HeldView();
  data_ = buffer_->data();
}

void FileLines::forgetNulBefore(std::size_t shift) {
  nulSearched_ = nulSearched_ > shift ? nulSearched_ - shift : 0;
  nul_ = nul_ != kNoNul && nul_ >= shift ? nul_ - shift : kNoNul;
}

bool FileLines::grow(std::size_t size) {
  if (buffer_->size() >= size) return true;
  if (!reading_.skipLong) {
    buffer_->resize(size);
    return true;
  }
  outOfMemory_ = !buffer_->tryResize(size);
  return !outOfMemory_;
}

bool FileLines::keepInBuffer(std::size_t size) {
  const std::size_t kept = filled_ - consumed_;
  if (view_.data == nullptr) {
    if (consumed_ > 0 && kept > 0) std::memmove(buffer_->data(), data_ + consumed_, kept);
  } else {
    if (!grow(size)) return false;
    std::memcpy(buffer_->data(), data_ + consumed_, kept);
    view_ = HeldView();
  }
  forgetNulBefore(consumed_);
  dataOffset_ += consumed_;
  consumed_ = 0;
  filled_ = kept;
  data_ = buffer_->data();
  const bool grown = grow(size);
  data_ = buffer_->data();
  return grown;
}

bool FileLines::refill() {
  HeldView next;
  const bool inMemory = bytes_.viewAt(readAt_, &next);
  const std::uint64_t left = end_ > readAt_ ? end_ - readAt_ : 0;
  const std::uint64_t viewed = std::min<std::uint64_t>(left, kViewMost);
  if (inMemory && next.size > viewed) next.size = static_cast<std::size_t>(viewed);
  if (inMemory && next.size == 0) {
    eof_ = true;
    return true;
  }
  if (inMemory && consumed_ == filled_) {
    // No line runs on: the bytes are read where they lie.
    view_ = std::move(next);
    data_ = view_.data;
    dataOffset_ = readAt_;
    consumed_ = searched_ = 0;
    filled_ = view_.size;
    nul_ = kNoNul;
    nulSearched_ = 0;
    readAt_ += filled_;
    eof_ = readAt_ >= end_;
    return true;
  }
  // Keep the unfinished line (at most `held_` bytes of it) and add to it:
  // from memory only as far as its line end, so that the bytes after it
  // are read where they lie.
  std::size_t want = blockSize_;
  const char* lf = nullptr;
  if (inMemory) {
    lf = static_cast<const char*>(std::memchr(next.data, '\n', next.size));
    want = lf != nullptr ? static_cast<std::size_t>(lf - next.data) + 1 : next.size;
  }
  if (!keepInBuffer(filled_ - consumed_ + want)) return false;
  ssize_t n;
  if (inMemory) {
    std::memcpy(buffer_->data() + filled_, next.data, want);
    n = static_cast<ssize_t>(want);
    // Only the line end just copied needs finding.
    searched_ = filled_ + want - (lf != nullptr ? 1 : 0);
  } else {
    want = buffer_->size() - filled_;
    if (left < want) want = static_cast<std::size_t>(left);
    n = bytes_.readAt(buffer_->data() + filled_, want, readAt_);
  }
  if (n < 0) {
    failed_ = true;
    eof_ = reading_.lastLineOnFailure;
    return eof_;
  }
  if (n == 0) eof_ = true;
  filled_ += static_cast<std::size_t>(n);
  readAt_ += static_cast<std::uint64_t>(n);
  if (readAt_ >= end_) eof_ = true;
  return true;
}

}  // namespace file_lines
