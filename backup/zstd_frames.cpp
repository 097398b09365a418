#include "backup/zstd_frames.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>

#include <unistd.h>
#include <zstd.h>

namespace zstd_frames {
namespace {

// Level 1: on backup files it makes them about a fifteenth of their size,
// several times faster than the fetch delivers rows.
constexpr int kLevel = 1;

constexpr std::uint32_t kFrameMagic = 0xFD2FB528u;
constexpr std::uint32_t kSkippableMagic = 0x184D2A50u;  // to 0x184D2A5F
constexpr std::uint32_t kSeekTableMagic = 0x184D2A5Eu;
constexpr std::uint32_t kSeekableMagic = 0x8F92EAB1u;
constexpr std::size_t kFooterSize = 9;

// A window larger than this is refused: it would cost that much memory.
constexpr int kWindowLogMax = 24;

// How much of a damaged frame is read to find its end.
const std::size_t kLargestFrame =
    ZSTD_compressBound(kFrameBytes) + 32;  // and the largest frame header

void putLittle32(std::string* out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>(value >> (8 * i)));
}

std::uint32_t little32(const unsigned char* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

// A skippable frame's magic number: any of sixteen.
bool isSkippable(const unsigned char* head) {
  return (little32(head) & 0xFFFFFFF0u) == kSkippableMagic;
}

// Whether a frame's stated decompressed size is one this program writes:
// known, and no more than kFrameBytes.
bool contentBounded(unsigned long long content) {
  return content != ZSTD_CONTENTSIZE_UNKNOWN && content != ZSTD_CONTENTSIZE_ERROR &&
         content <= kFrameBytes;
}

// What a damaged frame reads as: NUL bytes closed by a line feed, so that
// no line around it stays whole.
void fillDamaged(char* plain, std::size_t size) {
  std::memset(plain, '\0', size);
  if (size >= 2) plain[size - 1] = '\n';
}

bool writeAt(int fd, const char* data, std::size_t length, std::uint64_t offset) {
  while (length > 0) {
    ssize_t n = pwrite(fd, data, length, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    length -= static_cast<std::size_t>(n);
    offset += static_cast<std::uint64_t>(n);
  }
  return true;
}

// Reads a file forward from a position, keeping what was read but not yet
// consumed.
class Input {
 public:
  explicit Input(int fd) : fd_(fd), buffer_(ZSTD_DStreamInSize()) {}
  // Moves to `offset`, dropping what was read.
  void seek(std::uint64_t offset) {
    position_ = offset;
    begin_ = end_ = 0;
  }
  // The unread bytes; refills when none are left. Empty at the end.
  ZSTD_inBuffer pending() {
    if (begin_ == end_) {
      ssize_t n = readAt(fd_, buffer_.data(), buffer_.size(), position_);
      begin_ = 0;
      end_ = n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return {buffer_.data() + begin_, end_ - begin_, 0};
  }
  void consume(std::size_t n) {
    begin_ += n;
    position_ += n;
  }
  std::uint64_t position() const { return position_; }

 private:
  int fd_;
  std::vector<char> buffer_;
  std::uint64_t position_ = 0;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

enum class FrameOutcome { kWhole, kDamaged, kEnd, kWriteFailed, kTooLarge };

// Decompresses the frame at the input's position into `target` from
// `plainAt`, up to `limit` at most; advances the input past it when whole.
FrameOutcome decompressFrame(ZSTD_DCtx* context, Input& input, int target,
                             std::uint64_t* plainAt, std::uint64_t limit,
                             std::vector<char>& output) {
  ZSTD_DCtx_reset(context, ZSTD_reset_session_only);
  for (;;) {
    ZSTD_inBuffer in = input.pending();
    if (in.size == 0) return FrameOutcome::kDamaged;  // cut short
    ZSTD_outBuffer out = {output.data(), output.size(), 0};
    const std::size_t result = ZSTD_decompressStream(context, &out, &in);
    if (ZSTD_isError(result)) return FrameOutcome::kDamaged;
    input.consume(in.pos);
    if (out.pos > limit - std::min(limit, *plainAt)) return FrameOutcome::kTooLarge;
    if (!writeAt(target, output.data(), out.pos, *plainAt))
      return FrameOutcome::kWriteFailed;
    *plainAt += out.pos;
    if (result == 0) return FrameOutcome::kWhole;
  }
}

}  // namespace

ssize_t readAt(int fd, void* buffer, std::size_t length, std::uint64_t offset) {
  std::size_t done = 0;
  while (done < length) {
    ssize_t n = pread(fd, static_cast<char*>(buffer) + done, length - done,
                      static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    if (n == 0) break;
    done += static_cast<std::size_t>(n);
  }
  return static_cast<ssize_t>(done);
}

std::string seekTable(const std::vector<Frame>& frames) {
  std::string table;
  putLittle32(&table, kSeekTableMagic);
  putLittle32(&table, static_cast<std::uint32_t>(8 * frames.size() + kFooterSize));
  for (const Frame& frame : frames) {
    putLittle32(&table, static_cast<std::uint32_t>(frame.packedSize));
    putLittle32(&table, static_cast<std::uint32_t>(frame.plainSize));
  }
  putLittle32(&table, static_cast<std::uint32_t>(frames.size()));
  table.push_back('\0');  // no checksums: every frame carries its own
  putLittle32(&table, kSeekableMagic);
  return table;
}

bool looksCompressed(int fd) {
  unsigned char magic[4];
  if (readAt(fd, magic, 4, 0) != 4) return false;
  const std::uint32_t value = little32(magic);
  return value == kFrameMagic || isSkippable(magic);
}

std::string decompressedStart(int fd, std::size_t length) {
  std::string plain;
  std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(
      ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!context ||
      ZSTD_isError(ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax,
                                          kWindowLogMax)))
    return plain;
  std::vector<char> packed(ZSTD_DStreamInSize());
  std::vector<char> output(length);
  std::uint64_t offset = 0;
  ZSTD_outBuffer out{output.data(), output.size(), 0};
  while (out.pos < out.size) {
    const ssize_t n = readAt(fd, packed.data(), packed.size(), offset);
    if (n <= 0) break;
    ZSTD_inBuffer in{packed.data(), static_cast<std::size_t>(n), 0};
    while (in.pos < in.size && out.pos < out.size) {
      const std::size_t before = in.pos + out.pos;
      const std::size_t result = ZSTD_decompressStream(context.get(), &out, &in);
      if (ZSTD_isError(result) || in.pos + out.pos == before) {
        plain.assign(output.data(), out.pos);
        return plain;
      }
    }
    offset += in.pos;
  }
  plain.assign(output.data(), out.pos);
  return plain;
}

bool decompressFile(int source, int target, std::vector<Frame>* frames,
                    std::uint64_t limit, bool* tooLarge) {
  if (tooLarge != nullptr) *tooLarge = false;
  auto refuse = [tooLarge] {
    if (tooLarge != nullptr) *tooLarge = true;
    return false;
  };
  std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(
      ZSTD_createDCtx(), ZSTD_freeDCtx);
  if (!context) return false;
  ZSTD_DCtx_setParameter(context.get(), ZSTD_d_windowLogMax, kWindowLogMax);
  std::vector<char> output(ZSTD_DStreamOutSize());
  Input input(source);
  std::uint64_t plainAt = 0;
  for (;;) {
    const std::uint64_t packedBegin = input.position();
    unsigned char head[8];
    const ssize_t headLength = readAt(source, head, sizeof head, packedBegin);
    if (headLength < 4) break;  // the end, or a few stray bytes
    if (isSkippable(head)) {
      if (headLength < 8) break;
      input.seek(packedBegin + 8 + little32(head + 4));
      continue;
    }
    Frame frame;
    frame.packedBegin = packedBegin;
    frame.plainBegin = plainAt;
    const FrameOutcome outcome =
        decompressFrame(context.get(), input, target, &plainAt, limit, output);
    if (outcome == FrameOutcome::kWriteFailed) return false;
    if (outcome == FrameOutcome::kTooLarge) return refuse();
    if (outcome == FrameOutcome::kWhole) {
      frame.packedSize = input.position() - packedBegin;
      frame.plainSize = plainAt - frame.plainBegin;
      frames->push_back(frame);
      continue;
    }
    // Damaged: replaced by as many NUL bytes as it held, when its sizes
    // can be read and are those of a frame this program writes; else the
    // decompressed bytes end before it.
    std::vector<char> packed(kLargestFrame);
    const ssize_t n = readAt(source, packed.data(), packed.size(), packedBegin);
    const std::size_t size =
        n > 0 ? ZSTD_findFrameCompressedSize(packed.data(), static_cast<std::size_t>(n))
              : 0;
    const unsigned long long content =
        n > 0 ? ZSTD_getFrameContentSize(packed.data(), static_cast<std::size_t>(n))
              : ZSTD_CONTENTSIZE_ERROR;
    if (n <= 0 || ZSTD_isError(size) || !contentBounded(content)) {
      return ftruncate(target, static_cast<off_t>(frame.plainBegin)) == 0;
    }
    if (content > limit - std::min(limit, frame.plainBegin)) return refuse();
    std::string fill(static_cast<std::size_t>(content), '\0');
    fillDamaged(&fill[0], fill.size());
    if (!writeAt(target, fill.data(), fill.size(), frame.plainBegin) ||
        ftruncate(target, static_cast<off_t>(frame.plainBegin + fill.size())) != 0)
      return false;
    plainAt = frame.plainBegin + fill.size();
    frame.packedSize = size;
    frame.plainSize = fill.size();
    frame.sound = false;
    frames->push_back(frame);
    input.seek(packedBegin + size);
  }
  return ftruncate(target, static_cast<off_t>(plainAt)) == 0;
}

struct Reader::Held {
  std::unique_ptr<char[]> bytes;  // kFrameBytes, `size` of them used
  std::size_t size = 0;
  bool ready = false;  // `bytes` is filled
};

Reader::Reader(int fd, std::size_t heldFrames) : fd_(fd), heldFrames_(heldFrames) {
  // Compressed bytes from `bufferAt`, read in large pieces; a frame of
  // this program's size fits whole.
  std::vector<char> buffer;
  std::uint64_t bufferAt = 0;
  std::size_t filled = 0;
  bool toEnd = false;  // the buffer holds the file up to its end
  const auto view = [&](std::uint64_t at, std::size_t want) -> std::size_t {
    if (at < bufferAt || (at + want > bufferAt + filled && !toEnd)) {
      buffer.resize(std::max<std::size_t>(want, std::size_t{4} << 20));
      const ssize_t n = readAt(fd, buffer.data(), buffer.size(), at);
      bufferAt = at;
      filled = n > 0 ? static_cast<std::size_t>(n) : 0;
      toEnd = filled < buffer.size();
    }
    if (at >= bufferAt + filled) return 0;
    return static_cast<std::size_t>(std::min<std::uint64_t>(want, bufferAt + filled - at));
  };
  std::uint64_t at = 0;
  std::uint64_t plainAt = 0;
  for (;;) {
    std::size_t n = view(at, 8);
    if (n < 4) break;  // the end, or a few stray bytes
    const unsigned char* head =
        reinterpret_cast<const unsigned char*>(buffer.data() + (at - bufferAt));
    if (isSkippable(head)) {
      if (n < 8) break;
      at += 8 + std::uint64_t{little32(head + 4)};
      continue;
    }
    n = view(at, kLargestFrame);
    const char* packed = buffer.data() + (at - bufferAt);
    const std::size_t size = ZSTD_findFrameCompressedSize(packed, n);
    if (ZSTD_isError(size)) break;  // damaged beyond telling its end
    const unsigned long long content = ZSTD_getFrameContentSize(packed, n);
    if (!contentBounded(content)) {
      bounded_ = false;
      break;
    }
    Frame frame;
    frame.packedBegin = at;
    frame.packedSize = size;
    frame.plainBegin = plainAt;
    frame.plainSize = content;
    frame.sound = false;
    frames_.push_back(frame);
    at += size;
    plainAt += content;
  }
  checked_.assign(frames_.size(), false);
  if (!bounded_ || frames_.size() < 2) return;
  try {
    for (std::size_t i = 0; i < kFramesAhead; ++i)
      ahead_.emplace_back(&Reader::readAhead, this);
  } catch (const std::system_error&) {
    // No more threads to be had: the frames are decompressed where they
    // are read.
  }
}

Reader::~Reader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (std::thread& ahead : ahead_) ahead.join();
  held_.clear();  // their buffers go back to spare_, still there
}

std::uint64_t Reader::size() const {
  return frames_.empty() ? 0 : frames_.back().plainBegin + frames_.back().plainSize;
}

std::size_t Reader::frameAt(std::uint64_t offset) const {
  auto after = std::upper_bound(
      frames_.begin(), frames_.end(), offset,
      [](std::uint64_t at, const Frame& f) { return at < f.plainBegin; });
  return static_cast<std::size_t>(after - frames_.begin()) - 1;
}

std::size_t Reader::read(char* buffer, std::size_t length, std::uint64_t offset) {
  const std::uint64_t end = size();
  std::size_t done = 0;
  while (done < length && offset + done < end) {
    const std::uint64_t at = offset + done;
    const std::size_t index = frameAt(at);
    const std::shared_ptr<const Held> held = reach(index);
    const std::size_t from = static_cast<std::size_t>(at - frames_[index].plainBegin);
    const std::size_t n = std::min(length - done, held->size - from);
    std::memcpy(buffer + done, held->bytes.get() + from, n);
    done += n;
  }
  return done;
}

std::shared_ptr<const void> Reader::view(std::uint64_t offset, const char** data,
                                         std::size_t* size) {
  *data = nullptr;
  *size = 0;
  if (offset >= this->size()) return nullptr;
  const std::size_t index = frameAt(offset);
  std::shared_ptr<const Held> held = reach(index);
  const std::size_t from = static_cast<std::size_t>(offset - frames_[index].plainBegin);
  *data = held->bytes.get() + from;
  *size = held->size - from;
  return held;
}

// Frame `index` decompressed, the frames after it decompressed ahead.
std::shared_ptr<const Reader::Held> Reader::reach(std::size_t index) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (index > furthest_) {
      furthest_ = index;
      changed_.notify_all();
    }
  }
  return frame(index);
}

std::uint64_t Reader::lastOfFullFrames(std::uint64_t offset) const {
  const std::size_t first = offset < size() ? frameAt(offset) : frames_.size();
  if (first >= frames_.size() || frames_[first].plainBegin != offset) return offset;
  std::size_t last = first;
  while (last + 2 < frames_.size() && frames_[last + 1].plainSize == kFrameBytes &&
         frames_[last].plainSize == kFrameBytes)
    ++last;
  return frames_[last].plainBegin;
}

std::vector<Frame> Reader::frames() const {
  std::vector<Frame> frames = frames_;
  std::lock_guard<std::mutex> lock(mutex_);
  for (std::size_t i = 0; i < frames.size(); ++i) frames[i].sound = checked_[i];
  return frames;
}

void Reader::release() {
  std::lock_guard<std::mutex> lock(mutex_);
  furthest_ = 0;
  for (auto held = held_.begin(); held != held_.end();)
    held = held->second->ready ? held_.erase(held) : std::next(held);
  std::lock_guard<std::mutex> spareLock(spareMutex_);
  spare_.clear();
}

// The frame decompressed: held already, decompressed by another thread
// now, or decompressed here.
std::shared_ptr<const Reader::Held> Reader::frame(std::size_t index) {
  std::unique_lock<std::mutex> lock(mutex_);
  for (auto found = held_.find(index); found != held_.end(); found = held_.find(index)) {
    const std::shared_ptr<Held> held = found->second;
    if (held->ready) return held;
    changed_.wait(lock);
  }
  // The buffer goes back to the spares once no one holds the frame.
  const std::shared_ptr<Held> held(new Held, [this](Held* gone) {
    giveBack(std::move(gone->bytes));
    delete gone;
  });
  held_.emplace(index, held);
  lock.unlock();
  held->bytes = buffer();
  held->size = static_cast<std::size_t>(frames_[index].plainSize);
  const bool whole = decompress(index, held->bytes.get());
  lock.lock();
  held->ready = true;
  if (whole) checked_[index] = true;
  // The frames furthest behind go first; one being read stays with its
  // reader until it is done.
  for (auto oldest = held_.begin(); held_.size() > heldFrames_ && oldest != held_.end();)
    oldest = oldest->first != index && oldest->second->ready ? held_.erase(oldest)
                                                             : std::next(oldest);
  changed_.notify_all();
  return held;
}

std::unique_ptr<char[]> Reader::buffer() {
  std::lock_guard<std::mutex> lock(spareMutex_);
  if (spare_.empty()) return std::unique_ptr<char[]>(new char[kFrameBytes]);
  std::unique_ptr<char[]> spare = std::move(spare_.back());
  spare_.pop_back();
  return spare;
}

void Reader::giveBack(std::unique_ptr<char[]> buffer) {
  if (!buffer) return;
  std::lock_guard<std::mutex> lock(spareMutex_);
  spare_.push_back(std::move(buffer));
}

// Decompresses frame `index` into `plain` (its plainSize bytes); false,
// with `plain` filled as a damaged frame reads, when it does not
// decompress whole or its checksum does not hold.
bool Reader::decompress(std::size_t index, char* plain) {
  // One context and one buffer of compressed bytes for each thread.
  thread_local std::unique_ptr<ZSTD_DCtx, std::size_t (*)(ZSTD_DCtx*)> context(
      ZSTD_createDCtx(), ZSTD_freeDCtx);
  thread_local std::vector<char> packed;
  const Frame& frame = frames_[index];
  const std::size_t plainSize = static_cast<std::size_t>(frame.plainSize);
  packed.resize(static_cast<std::size_t>(frame.packedSize));
  const bool read = readAt(fd_, packed.data(), packed.size(), frame.packedBegin) ==
                    static_cast<ssize_t>(packed.size());
  const std::size_t n =
      read && context ? ZSTD_decompressDCtx(context.get(), plain, plainSize,
                                            packed.data(), packed.size())
                      : plainSize + 1;
  if (!ZSTD_isError(n) && n == plainSize) return true;
  fillDamaged(plain, plainSize);
  return false;
}

// Decompresses the first of the kFramesAhead frames after the furthest one
// read that is not held, until stopped.
void Reader::readAhead() {
  std::unique_lock<std::mutex> lock(mutex_);
  std::size_t next = 0;
  const auto wanted = [this, &next] {
    for (next = furthest_ + 1; next <= furthest_ + kFramesAhead && next < frames_.size();
         ++next)
      if (held_.find(next) == held_.end()) return true;
    return false;
  };
  for (;;) {
    changed_.wait(lock, [this, &wanted] { return stopping_ || wanted(); });
    if (stopping_) return;
    lock.unlock();
    frame(next);
    lock.lock();
  }
}

Compressor::Compressor(Sink sink) : sink_(std::move(sink)) {
  current_.reserve(kFrameBytes);
  try {
    thread_ = std::thread(&Compressor::work, this, true);
  } catch (const std::system_error&) {
    // No thread to be had: endFrame() compresses on the caller's thread.
  }
}

Compressor::~Compressor() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void Compressor::add(const char* data, std::size_t length) {
  while (length > 0) {
    const std::size_t n = std::min(length, kFrameBytes - current_.size());
    current_.append(data, n);
    data += n;
    length -= n;
    if (current_.size() == kFrameBytes) endFrame();
  }
}

void Compressor::endFrame() {
  if (current_.empty()) return;
  std::unique_lock<std::mutex> lock(mutex_);
  if (!thread_.joinable()) {
    waiting_.push_back(std::move(current_));
    current_.clear();
    lock.unlock();
    work(false);
    return;
  }
  changed_.wait(lock, [this] { return waiting_.size() < 2; });
  waiting_.push_back(std::move(current_));
  current_.clear();
  if (!spare_.empty()) {
    current_ = std::move(spare_.back());
    spare_.pop_back();
  }
  lock.unlock();
  changed_.notify_all();
}

bool Compressor::drain() {
  endFrame();
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [this] { return waiting_.empty() && !busy_; });
  return !failed_;
}

void Compressor::addWritten(const std::vector<Frame>& copied) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (Frame frame : copied) {
    frame.packedBegin = frames_.empty() ? 0 : frames_.back().packedBegin + frames_.back().packedSize;
    frame.plainBegin = plainSize_;
    plainSize_ += frame.plainSize;
    frames_.push_back(frame);
  }
}

// Compresses the waiting frames in order: on the thread until stopped,
// otherwise those waiting now.
void Compressor::work(bool onThread) {
  std::unique_ptr<ZSTD_CCtx, std::size_t (*)(ZSTD_CCtx*)> context(
      ZSTD_createCCtx(), ZSTD_freeCCtx);
  if (context) {
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, kLevel);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  }
  std::string packed;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (onThread)
      changed_.wait(lock, [this] { return stopping_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    std::string plain = std::move(waiting_.front());
    waiting_.pop_front();
    busy_ = true;
    const bool failedBefore = failed_;
    lock.unlock();
    changed_.notify_all();
    bool written = false;
    std::size_t size = 0;
    if (context && !failedBefore) {
      packed.resize(ZSTD_compressBound(plain.size()));
      size = ZSTD_compress2(context.get(), &packed[0], packed.size(),
                            plain.data(), plain.size());
      written = !ZSTD_isError(size) && sink_(packed.data(), size);
    }
    lock.lock();
    busy_ = false;
    if (written) {
      Frame frame;
      if (!frames_.empty())
        frame.packedBegin = frames_.back().packedBegin + frames_.back().packedSize;
      frame.packedSize = size;
      frame.plainBegin = plainSize_;
      frame.plainSize = plain.size();
      plainSize_ += plain.size();
      frames_.push_back(frame);
    } else {
      failed_ = true;
    }
    plain.clear();
    spare_.push_back(std::move(plain));
    changed_.notify_all();
  }
}

}  // namespace zstd_frames
