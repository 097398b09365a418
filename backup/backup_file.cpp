#include "backup/backup_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup_format.h"

namespace {

// The mapping moves forward in windows of this size, so memory stays flat.
constexpr std::size_t kWindowLength = std::size_t{8} << 20;
// Space is reserved in steps of this size (halved down to one page when a
// step does not fit).
constexpr std::uint64_t kReserveStep = std::uint64_t{32} << 20;

// Runs of at least this many bytes go to the file with one write().
constexpr std::size_t kLargeRun = std::size_t{64} << 10;

// Writing back to disk is started behind the writer every this many bytes,
// so that the sync at the end waits only for the last of them.
constexpr std::uint64_t kWritebackStep = std::uint64_t{8} << 20;

// Bytes copied from another file: at most this many per copy, and through
// a buffer of this size where the kernel cannot copy between the files.
constexpr std::uint64_t kCopyPiece = std::uint64_t{8} << 20;
constexpr std::size_t kCopyBuffer = std::size_t{1} << 20;
// A cache line, as far as copies between two addresses care.
constexpr std::size_t kLine = 64;

bool mappingAllowed = true;

std::uint64_t pageSize() {
  static const std::uint64_t size = static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE));
  return size;
}

// Errors that say the file system cannot reserve or map, not that it is
// out of space: the file is then written with plain writes.
bool meansUnsupported(int error) {
  return error == EOPNOTSUPP || error == ENOSYS || error == EINVAL ||
         error == ENODEV || error == EACCES;
}

bool writeAll(int fd, const char* data, std::size_t length,
              std::uint64_t offset, int* error) {
  while (length > 0) {
    ssize_t n = ::pwrite(fd, data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = n < 0 ? errno : ENOSPC;
      return false;
    }
    data += n;
    offset += static_cast<std::uint64_t>(n);
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string directoryOf(const std::string& path) {
  std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Renames without replacing an existing file of the new name.
int renameNoReplace(const std::string& from, const std::string& to) {
#ifdef RENAME_NOREPLACE
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(),
                RENAME_NOREPLACE) == 0)
    return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
#endif
  // Where the file system has no such rename: a hard link fails on an
  // existing name as well.
  if (link(from.c_str(), to.c_str()) != 0) return errno;
  unlink(from.c_str());
  return 0;
}

}  // namespace

void giveToDirectoryOwner(int fd, const std::string& path) {
  struct stat dir, file;
  // One link only: a hard link that the directory's owner made to a file
  // of root's is never given away.
  if (geteuid() != 0 || stat(directoryOf(path).c_str(), &dir) != 0 ||
      dir.st_uid == 0 || fstat(fd, &file) != 0 || file.st_uid != 0 ||
      !S_ISREG(file.st_mode) || file.st_nlink != 1)
    return;
  if (fchown(fd, dir.st_uid, dir.st_gid) != 0) {
    // Not permitted (a sandbox without the call): the file stays root's.
  }
}

void BackupFile::setMappingAllowed(bool allowed) { mappingAllowed = allowed; }

BackupFile::~BackupFile() { close(); }

bool BackupFile::fail(int error) {
  int none = 0;
  error_.compare_exchange_strong(none, error != 0 ? error : EIO);
  return false;
}

bool BackupFile::create(const std::string& finalName, bool compressed) {
  if (fd_ >= 0 || failed() || !path_.empty()) return fail(EBUSY);
  finalPath_ = finalName;
  path_ = finalName + kWorkingSuffix;
  fd_ = ::open(path_.c_str(),
               O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd_ < 0) return fail(errno);
  giveToDirectoryOwner(fd_, path_);
  reserveStep_ = kReserveStep;
  mapped_ = mappingAllowed;
  // From here on only the compressing thread stores into the file, until
  // endCompression().
  if (compressed)
    compressor_ = std::make_unique<zstd_frames::Compressor>(
        [this](const char* data, std::size_t length) { return store(data, length); });
  return true;
}

bool BackupFile::settle() {
  if (compressor_ && !compressor_->drain()) fail(EIO);
  return !failed();
}

void BackupFile::startFrame() {
  if (compressor_) compressor_->endFrame();
}

void BackupFile::beginRows() {
  startFrame();
  inRows_ = true;
}

// Rows outside their block would land in another table's place (or before
// any table): nothing more is written.
bool BackupFile::refuseRows() {
  rowsMisplaced_ = true;
  return fail(EPROTO);
}

bool BackupFile::put(const char* data, std::size_t length) {
  if (!compressor_) return store(data, length);
  if (fd_ < 0 || failed()) return fail(EBADF);
  compressor_->add(data, length);
  return !failed();
}

// Writes the last frames and the seek table; the file is plain bytes again
// for the caller's thread.
bool BackupFile::endCompression() {
  if (!compressor_) return true;
  const bool drained = compressor_->drain();
  const std::string table = zstd_frames::seekTable(compressor_->frames());
  compressor_.reset();
  if (!drained) return fail(EIO);
  return store(table.data(), table.size());
}

bool BackupFile::writeLine(std::string_view text) {
  static const char kLineEnd[] = "\r\n";
  if (!inRows_ && backup_format::isRowsBlockLine(text)) return refuseRows();
  if (!mapped_ || compressor_) {
    // One write() (or one piece of a frame) per line: build the line with
    // its line ends first.
    scratch_.clear();
    std::size_t start = 0;
    for (std::size_t lf = text.find('\n'); lf != std::string_view::npos;
         lf = text.find('\n', start)) {
      scratch_.append(text.data() + start, lf - start).append(kLineEnd, 2);
      start = lf + 1;
    }
    scratch_.append(text.data() + start, text.size() - start);
    scratch_.append(kLineEnd, 2);
    return put(scratch_.data(), scratch_.size());
  }
  std::size_t start = 0;
  for (std::size_t lf = text.find('\n'); lf != std::string_view::npos;
       lf = text.find('\n', start)) {
    if (!put(text.data() + start, lf - start) || !put(kLineEnd, 2))
      return false;
    start = lf + 1;
  }
  return put(text.data() + start, text.size() - start) &&
         put(kLineEnd, 2);
}

BackupFile::CopyOutcome BackupFile::appendFrom(int source, std::uint64_t offset,
                                               std::uint64_t length) {
  if (!inRows_) refuseRows();
  if (fd_ < 0 || failed()) {
    fail(EBADF);
    return CopyOutcome::kOutputFailed;
  }
  if (compressor_) {
    // The bytes go into frames: read, then compressed.
    copyBuffer_.resize(kCopyBuffer);
    while (length > 0) {
      const std::size_t want =
          static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyBuffer));
      ssize_t n;
      do {
        n = pread(source, &copyBuffer_[0], want, static_cast<off_t>(offset));
      } while (n < 0 && errno == EINTR);
      if (n < 0) return CopyOutcome::kSourceFailed;
      if (n == 0) return CopyOutcome::kSourceShort;
      if (!put(copyBuffer_.data(), static_cast<std::size_t>(n)))
        return CopyOutcome::kOutputFailed;
      offset += static_cast<std::uint64_t>(n);
      length -= static_cast<std::uint64_t>(n);
    }
    return CopyOutcome::kCopied;
  }
  return copy(source, offset, length);
}

BackupFile::CopyOutcome BackupFile::appendFrames(
    int source, const std::vector<zstd_frames::Frame>& frames) {
  if (!inRows_) refuseRows();
  if (fd_ < 0 || failed() || !compressor_ || frames.empty()) {
    fail(EBADF);
    return CopyOutcome::kOutputFailed;
  }
  if (!compressor_->drain()) {
    fail(EIO);
    return CopyOutcome::kOutputFailed;
  }
  const std::uint64_t begin = frames.front().packedBegin;
  const std::uint64_t end = frames.back().packedBegin + frames.back().packedSize;
  const CopyOutcome outcome = copy(source, begin, end - begin);
  if (outcome == CopyOutcome::kCopied) compressor_->addWritten(frames);
  return outcome;
}

// Appends bytes of `source` as they are.
BackupFile::CopyOutcome BackupFile::copy(int source, std::uint64_t offset,
                                         std::uint64_t length) {
  // Reserved first, so that a full disk is the reservation's error.
  if (mapped_ && !reserve(size_ + length) && failed())
    return CopyOutcome::kOutputFailed;
  while (length > 0) {
    const std::size_t piece =
        static_cast<std::size_t>(std::min<std::uint64_t>(length, kCopyPiece));
    const std::uint64_t before = size_;
    const CopyOutcome outcome = copyPiece(source, offset, piece);
    if (outcome != CopyOutcome::kCopied) return outcome;
    offset += size_ - before;
    length -= size_ - before;
    if (size_ - writebackFrom_ >= kWritebackStep) startWriteback();
  }
  return CopyOutcome::kCopied;
}

// Copies up to `length` bytes (at least one) and advances size_ by them.
BackupFile::CopyOutcome BackupFile::copyPiece(int source, std::uint64_t offset,
                                              std::size_t length) {
  // Where the bytes lie at another offset within a page than they will in
  // this file, each page of the source spans two of the file, and the
  // kernel's copy runs at under half its speed: reading and writing them
  // through a buffer then costs less. Where the offsets agree, a file
  // system may even share the blocks instead of copying them.
  if (!kernelCopy_ || offset % pageSize() != size_ % pageSize())
    return readAndStore(source, offset, length);
  loff_t in = static_cast<loff_t>(offset);
  loff_t out = static_cast<loff_t>(size_);
  ssize_t n;
  do {
    n = copy_file_range(source, &in, fd_, &out, length, 0);
  } while (n < 0 && errno == EINTR);
  if (n > 0) {
    size_ += static_cast<std::uint64_t>(n);
    return CopyOutcome::kCopied;
  }
  if (n == 0) return CopyOutcome::kSourceShort;
  // Not supported between these files, or an error of one side: the plain
  // path tells which side failed.
  if (meansUnsupported(errno) || errno == EXDEV) kernelCopy_ = false;
  return readAndStore(source, offset, length);
}

BackupFile::CopyOutcome BackupFile::readAndStore(int source, std::uint64_t offset,
                                                 std::size_t length) {
  // The kernel copies fastest between addresses at the same offset within
  // a cache line: the bytes are read to one at the source's offset, then
  // moved in memory to one at this file's offset before they are stored.
  const std::size_t want = std::min(length, kCopyBuffer);
  copyBuffer_.resize(want + 2 * kLine);
  const auto start = reinterpret_cast<std::uintptr_t>(&copyBuffer_[0]);
  char* const line = &copyBuffer_[0] + (kLine - start % kLine) % kLine;
  char* const in = line + offset % kLine;
  ssize_t n;
  do {
    n = pread(source, in, want, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  if (n < 0) return CopyOutcome::kSourceFailed;
  if (n == 0) return CopyOutcome::kSourceShort;
  char* const out = line + size_ % kLine;
  if (out != in) std::memmove(out, in, static_cast<std::size_t>(n));
  return store(out, static_cast<std::size_t>(n)) ? CopyOutcome::kCopied
                                                 : CopyOutcome::kOutputFailed;
}

bool BackupFile::store(const char* data, std::size_t length) {
  if (fd_ < 0 || failed()) return fail(EBADF);
  if (length == 0) return true;
  if (!(mapped_ ? storeMapped(data, length) : storeWritten(data, length)))
    return false;
  if (size_ - writebackFrom_ >= kWritebackStep) startWriteback();
  return true;
}

// Starts writing the whole pages behind the writer to disk, without waiting
// for it: they are never stored to again. Only advice: the sync in finish()
// reports any error.
void BackupFile::startWriteback() {
  const std::uint64_t end = size_ / pageSize() * pageSize();
#ifdef SYNC_FILE_RANGE_WRITE
  sync_file_range(fd_, static_cast<off_t>(writebackFrom_),
                  static_cast<off_t>(end - writebackFrom_), SYNC_FILE_RANGE_WRITE);
#endif
  writebackFrom_ = end;
  // The mapped pages behind it are let go: they stay in the page cache,
  // dirty until written, but no longer count as this process's memory.
  if (window_ != nullptr && end > windowStart_) {
    const std::uint64_t done = std::min<std::uint64_t>(end - windowStart_, windowLength_);
    madvise(window_, static_cast<std::size_t>(done), MADV_DONTNEED);
  }
}

bool BackupFile::storeWritten(const char* data, std::size_t length) {
  int error = 0;
  if (!writeAll(fd_, data, length, size_, &error)) return fail(error);
  size_ += length;
  return true;
}

bool BackupFile::storeMapped(const char* data, std::size_t length) {
  if (!reserve(size_ + length)) {
    if (mapped_) return false;  // a real error, kept
    // Reserving is not supported here: the rest goes through write().
    return storeWritten(data, length);
  }
  // A large run of lines costs less as one write() than as page faults.
  if (length >= kLargeRun) return storeWritten(data, length);
  while (length > 0) {
    if (window_ == nullptr || size_ < windowStart_ ||
        size_ >= windowStart_ + windowLength_) {
      if (!moveWindow(size_)) {
        if (mapped_) return false;
        return storeWritten(data, length);
      }
    }
    std::size_t room =
        static_cast<std::size_t>(windowStart_ + windowLength_ - size_);
    std::size_t n = std::min(room, length);
    std::memcpy(window_ + (size_ - windowStart_), data, n);
    size_ += n;
    data += n;
    length -= n;
  }
  return true;
}

// Grows the file so that it holds at least `end` bytes. On a file system
// that cannot reserve, switches to plain writes (mapped_ false) and returns
// false with no error kept.
bool BackupFile::reserve(std::uint64_t end) {
  while (reserved_ < end) {
    std::uint64_t step = std::max(reserveStep_, end - reserved_);
    step = (step + pageSize() - 1) / pageSize() * pageSize();
    int error = posix_fallocate(fd_, static_cast<off_t>(reserved_),
                                static_cast<off_t>(step));
    if (error == 0) {
      reserved_ += step;
      continue;
    }
    if (meansUnsupported(error) && size_ == reserved_) {
      unmap();
      mapped_ = false;
      return false;
    }
    // Out of space or over a size limit: try a smaller step before giving
    // up, so that a file that fits is not refused for its reservation.
    if (step > end - reserved_ && reserveStep_ > pageSize()) {
      reserveStep_ = std::max(pageSize(), reserveStep_ / 2);
      continue;
    }
    return fail(error);
  }
  return true;
}

bool BackupFile::moveWindow(std::uint64_t offset) {
  unmap();
  std::uint64_t start = offset / pageSize() * pageSize();
  std::size_t length = static_cast<std::size_t>(
      std::min<std::uint64_t>(kWindowLength, reserved_ - start));
  void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd_,
                   static_cast<off_t>(start));
  if (map == MAP_FAILED) {
    int error = errno;
    if (meansUnsupported(error) && size_ == 0) {
      // Nothing was stored through a mapping yet: give the reservation
      // back and write plainly.
      mapped_ = false;
      if (ftruncate(fd_, 0) != 0) return fail(errno);
      reserved_ = 0;
      return false;
    }
    return fail(error);
  }
  window_ = static_cast<char*>(map);
  windowStart_ = start;
  windowLength_ = length;
  return true;
}

void BackupFile::unmap() {
  if (window_ != nullptr) munmap(window_, windowLength_);
  window_ = nullptr;
  windowLength_ = 0;
}

void BackupFile::close() {
  if (compressor_) compressor_->drain();
  compressor_.reset();
  unmap();
  if (fd_ < 0) return;
  if (reserved_ > size_ && ftruncate(fd_, static_cast<off_t>(size_)) != 0)
    fail(errno);
  ::close(fd_);
  fd_ = -1;
}

bool BackupFile::finish() {
  if (fd_ < 0 || failed() || !endCompression()) {
    close();
    return fail(EBADF);
  }
  unmap();
  if (reserved_ != size_ && ftruncate(fd_, static_cast<off_t>(size_)) != 0)
    fail(errno);
  if (!failed() && fsync(fd_) != 0) fail(errno);
  if (::close(fd_) != 0) fail(errno);
  fd_ = -1;
  if (failed()) return false;
  if (int error = renameNoReplace(path_, finalPath_)) return fail(error);
  path_ = finalPath_;
  int dir = ::open(directoryOf(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    fsync(dir);
    ::close(dir);
  }
  return true;
}
