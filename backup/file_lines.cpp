#include "backup/file_lines.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>

#include <sys/stat.h>
#include <unistd.h>

namespace file_lines {

LineBuffer::LineBuffer() : data_(static_cast<char*>(std::malloc(1))) {
  if (data_ == nullptr) throw std::bad_alloc();
}

LineBuffer::~LineBuffer() { std::free(data_); }

void LineBuffer::resize(std::size_t size) {
  if (!tryResize(size)) throw std::bad_alloc();
}

bool LineBuffer::tryResize(std::size_t size) {
  void* grown = std::realloc(data_, size > 0 ? size : 1);
  if (grown == nullptr) return false;
  data_ = static_cast<char*>(grown);
  size_ = size;
  return true;
}

void LineBuffer::release() {
  // Shrinking keeps the block where it is if the allocator cannot move it.
  tryResize(0);
  size_ = 0;
}

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

FileStamp FileBytes::stamp() const { return stampOf(fd_); }

PackedBytes::PackedBytes(int fd) : fd_(dup(fd)) {
  if (fd_ >= 0) reader_ = std::make_unique<zstd_frames::Reader>(fd_);
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

bool FileLines::cut(Line* line) {
  head_.assign(buffer_->data() + consumed_, held_);
  line->text = head_;
  line->ended = line->crlf = false;
  line->cut = true;
  line->offset = bufferOffset_ + consumed_;
  line->next = line->offset + held_;
  consumed_ += held_;
  searched_ = 0;
  inCutLine_ = true;
  return true;
}

bool FileLines::refill() {
  // Keep the unfinished line (at most `held_` bytes of it).
  std::size_t kept = filled_ - consumed_;
  if (consumed_ > 0) std::memmove(buffer_->data(), buffer_->data() + consumed_, kept);
  bufferOffset_ += consumed_;
  consumed_ = 0;
  filled_ = kept;
  if (buffer_->size() < kept + blockSize_) buffer_->resize(kept + blockSize_);
  std::size_t want = buffer_->size() - filled_;
  if (end_ - readAt_ < want) want = static_cast<std::size_t>(end_ - readAt_);
  const ssize_t n = bytes_.readAt(buffer_->data() + filled_, want, readAt_);
  if (n < 0) {
    failed_ = true;
    return false;
  }
  if (n == 0) eof_ = true;
  filled_ += static_cast<std::size_t>(n);
  readAt_ += static_cast<std::uint64_t>(n);
  if (readAt_ >= end_) eof_ = true;
  return true;
}

}  // namespace file_lines
