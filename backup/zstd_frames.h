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
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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

// Decompresses the file `source` into `target` (empty, written from its
// first byte) frame by frame and lists the frames found; skippable frames
// are skipped. A frame that does not decompress, or whose checksum does
// not hold, is written as NUL bytes closed by a line feed, as long as its
// sizes can be read, so that no line around it stays whole; otherwise the
// decompressed bytes end before it. False when `target` cannot be written.
bool decompressFile(int source, int target, std::vector<Frame>* frames);

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
