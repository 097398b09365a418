// Compressed backup files: a series of zstd frames, each with its content
// checksum, then a seek table in zstd's seekable format (a skippable frame
// listing every frame's compressed and decompressed size), so that other
// tools can seek in the file. Decompressed, the frames hold exactly the
// bytes a plain backup file holds.
#ifndef VKT_BACKUP_ZSTD_FRAMES_H_
#define VKT_BACKUP_ZSTD_FRAMES_H_

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <sys/types.h>

namespace zstd_frames {

// A frame holds at most this many decompressed bytes: a long rows block
// is cut into frames of this size.
constexpr std::size_t kFrameBytes = std::size_t{2} << 20;

// One frame of a compressed file: where it lies in the file and in the
// decompressed bytes. `sound` is false for a frame whose checksum or
// content did not hold; its decompressed bytes are then replaced.
struct Frame {
  std::uint64_t packedBegin = 0;
  std::uint64_t packedSize = 0;
  std::uint64_t plainBegin = 0;
  std::uint64_t plainSize = 0;
  bool sound = true;
};

// The seek table for frames of these sizes, as a skippable frame.
std::string seekTable(const std::vector<Frame>& frames);

// True when `fd` begins with a zstd frame (or a skippable one).
bool looksCompressed(int fd);

// Reads `length` bytes of `fd` at `offset` into `buffer`, whatever a
// single pread() gives and through interruptions: fewer only at the end of
// the file or when reading fails after some were read; -1 when it fails
// before any.
ssize_t readAt(int fd, void* buffer, std::size_t length, std::uint64_t offset);

// The first decompressed bytes of the compressed file `fd`, at most
// `length` of them, from its first frame on (a leading skippable frame is
// skipped); only as much is read and decompressed as they need. Fewer
// where the file ends or stops decompressing.
std::string decompressedStart(int fd, std::size_t length);

// Decompresses the file `source` into `target` (empty, written from its
// first byte) frame by frame and lists the frames found; skippable frames
// are skipped. A frame that does not decompress, or whose checksum does
// not hold, is written as NUL bytes closed by a line feed, as long as its
// sizes can be read, so that no line around it stays whole; otherwise the
// decompressed bytes end before it. False when `target` cannot be written,
// and, with `*tooLarge` set, as soon as the decompressed bytes would pass
// `limit` (what was written by then stays in `target`).
bool decompressFile(int source, int target, std::vector<Frame>* frames,
                    std::uint64_t limit = UINT64_MAX, bool* tooLarge = nullptr);

// The decompressed bytes of a compressed file, read at any offset without
// decompressing the file anywhere first. Only the frames read are
// decompressed, each checked against its checksum, and the kFramesAhead
// frames after the furthest one read are decompressed ahead, each on a
// thread of its own. At most
// `heldFrames` decompressed frames are held at a time (those furthest
// behind go first), so memory stays bounded whatever the file's size. A frame that
// does not decompress, or whose checksum does not hold, reads as NUL bytes
// closed by a line feed, so that no line around it stays whole.
class Reader {
 public:
  static constexpr std::size_t kFramesAhead = 2;
  // Frames behind the one read are held for readers that follow closely.
  static constexpr std::size_t kHeldFrames = 4;
  // A single reader needs none behind.
  static constexpr std::size_t kHeldFramesOneReader = kFramesAhead + 1;

  // Lists the frames of `fd` (not owned; it must stay open while the
  // reader is used) by their headers; skippable frames are skipped. The
  // bytes end before a frame whose size cannot be found.
  explicit Reader(int fd, std::size_t heldFrames = kHeldFrames);
  ~Reader();
  Reader(const Reader&) = delete;
  Reader& operator=(const Reader&) = delete;

  // False when a frame does not tell its decompressed size or holds more
  // than kFrameBytes: such a file is not one to read in place.
  bool bounded() const { return bounded_; }
  // The number of decompressed bytes.
  std::uint64_t size() const;

  // Copies up to `length` decompressed bytes from `offset` into `buffer`;
  // fewer only at the end. Safe to call from several threads.
  std::size_t read(char* buffer, std::size_t length, std::uint64_t offset);
  // The decompressed bytes from `offset` to the end of its frame, where
  // they lie: `*data` and `*size` stay valid while the returned pointer is
  // held. No bytes at the end. Safe to call from several threads.
  std::shared_ptr<const void> view(std::uint64_t offset, const char** data,
                                   std::size_t* size);

  // For the run of full frames (kFrameBytes each, each followed by
  // another) from the one that begins at `offset`: the start of the last of
  // them when it is not the first, else `offset`. Where frames end only at
  // block ends and every kFrameBytes inside a block, the frames before it
  // hold nothing but the block that begins at `offset`, and it begins
  // inside that block.
  std::uint64_t lastOfFullFrames(std::uint64_t offset) const;

  // The frames; `sound` only for those decompressed and found whole.
  std::vector<Frame> frames() const;

  // Lets the decompressed frames go; reading ahead follows the next reads.
  void release();

 private:
  struct Held;
  std::size_t frameAt(std::uint64_t offset) const;
  std::shared_ptr<const Held> frame(std::size_t index);
  std::shared_ptr<const Held> reach(std::size_t index);
  bool decompress(std::size_t index, char* plain);
  void readAhead();
  std::unique_ptr<char[]> buffer();
  void giveBack(std::unique_ptr<char[]> buffer);

  int fd_;
  const std::size_t heldFrames_;
  bool bounded_ = true;
  std::vector<Frame> frames_;
  std::vector<bool> checked_;  // decompressed and found whole
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::size_t, std::shared_ptr<Held>> held_;  // by frame
  std::size_t furthest_ = 0;  // the furthest frame read
  bool stopping_ = false;
  std::vector<std::thread> ahead_;
  // Buffers of kFrameBytes no longer held, to decompress the next frames
  // into: fresh memory for every frame would cost the kernel more than the
  // decompression.
  std::mutex spareMutex_;
  std::vector<std::unique_ptr<char[]>> spare_;
};

// Compresses frames on a thread of its own, while the caller goes on
// producing lines, and hands the compressed frames to `sink` in order.
// At most two frames wait for the thread, so memory stays bounded.
class Compressor {
 public:
  using Sink = std::function<bool(const char*, std::size_t)>;
  explicit Compressor(Sink sink);
  ~Compressor();
  Compressor(const Compressor&) = delete;
  Compressor& operator=(const Compressor&) = delete;

  // Appends bytes to the current frame, ending it whenever it is full.
  void add(const char* data, std::size_t length);
  // Ends the current frame, if it holds anything: the next bytes begin a
  // new one.
  void endFrame();
  // Ends the current frame and waits until every frame is in the sink.
  // False once a frame could not be compressed or the sink failed.
  bool drain();
  // Records frames the caller put into the sink itself after drain().
  void addWritten(const std::vector<Frame>& copied);
  // Every frame in the sink so far (call after drain()).
  const std::vector<Frame>& frames() const { return frames_; }

 private:
  void work(bool onThread);

  Sink sink_;
  std::string current_;
  std::uint64_t plainSize_ = 0;  // decompressed bytes of the frames so far
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::string> waiting_;  // frames for the thread, in order
  std::vector<std::string> spare_;   // buffers to reuse
  bool busy_ = false;     // the thread holds a frame
  bool stopping_ = false;
  bool failed_ = false;
  std::vector<Frame> frames_;
  std::thread thread_;
};

}  // namespace zstd_frames

#endif  // VKT_BACKUP_ZSTD_FRAMES_H_
