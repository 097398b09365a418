// The backup file being written. Every line of a backup goes through this
// type: the header, the sections, dumped rows and copied rows.
//
// Contract:
//   - A line is in the file the moment writeLine()/appendFrom() returns: it is
//     stored into a shared mapping of the file (or, where the file cannot
//     be mapped, written with one write() per call), so other processes see
//     it and it stays if the program is killed. Nothing waits in a buffer
//     of the program.
//   - Space is reserved ahead in large steps, so that a full disk or a file
//     size limit is an error code of the reservation, never a fault on a
//     store. A killed run leaves zero bytes after its last complete line,
//     up to the end of the current reservation.
//   - The file is created under its working name (the final name plus
//     kWorkingSuffix, which does not end in ".sql"), exclusively, without
//     following a symlink, with mode 0600. Only finish() gives it its final
//     name, after the file was cut to its length and synced to disk. A file
//     that is not finished keeps its working name.
//   - The first failure of any step is kept; every later call fails at once
//     and writes nothing.
//   - Rows go only into a rows block, between beginRows() and endRows(): a
//     row line (backup_format::isRowsBlockLine), a part of a line
//     (writePart) or bytes copied in (appendFrom, appendFrames) outside one
//     are refused and written nowhere; the file then counts as failed
//     (rowsMisplaced() tells why), so no path can put rows in another
//     table's place unnoticed.
//   - A compressed file (create() with `compressed`) holds the same bytes as
//     zstd frames, compressed on a thread of their own: a line is in the
//     file once its frame is, and the frames' seek table ends a finished
//     file. A new frame begins at every startFrame() and every
//     zstd_frames::kFrameBytes decompressed bytes.
#ifndef VKT_BACKUP_BACKUP_FILE_H_
#define VKT_BACKUP_BACKUP_FILE_H_

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "backup/zstd_frames.h"

class BackupFile {
 public:
  static constexpr char kWorkingSuffix[] = ".unvollstaendig";

  BackupFile() = default;
  // Closes a file that was not finished, as close() does.
  ~BackupFile();
  BackupFile(const BackupFile&) = delete;
  BackupFile& operator=(const BackupFile&) = delete;

  // Creates the working file for `finalName`. False when it exists (also as
  // a symlink) or cannot be created, or when this object already made a
  // file (one object writes one file); error() tells why.
  bool create(const std::string& finalName, bool compressed = false);

  // Where a section begins: a compressed file begins a new frame here.
  void startFrame();

  // Opens a rows block, at a new frame (so that the block can later be
  // copied as its frames); endRows() closes it. Rows are taken only while
  // a block is open.
  void beginRows();
  void endRows() { inRows_ = false; }
  // True once rows were refused for being written outside a rows block.
  bool rowsMisplaced() const { return rowsMisplaced_; }

  // Appends `text` and a CR LF line end, every LF inside `text` stored as
  // CR LF. False once any write of this file failed.
  bool writeLine(std::string_view text);

  // Appends `text` as it is, without a line end: a part of a line too long
  // to be built whole first. A line written in parts is in the file once
  // its line end is; a killed run may leave the parts before it.
  // Only inside a rows block.
  bool writePart(std::string_view text) {
    if (!inRows_) return refuseRows();
    return put(text.data(), text.size());
  }

  enum class CopyOutcome { kCopied, kSourceShort, kSourceFailed, kOutputFailed };

  // Appends `length` bytes of the regular file `source` from `offset`, as
  // they are: copied inside the kernel where the file systems allow it and
  // the bytes keep their offset within a page, else read and written
  // through a buffer, which then costs less.
  // kSourceShort when the source ends before them, kSourceFailed when it
  // cannot be read: the bytes copied so far stay, and this file stays
  // usable. kOutputFailed is a failure of this file, kept as any other.
  CopyOutcome appendFrom(int source, std::uint64_t offset, std::uint64_t length);

  // For a compressed file: appends the compressed `frames` of the file
  // `source` (one after the other there) as they are, each a frame of this
  // file. The outcomes are appendFrom()'s.
  CopyOutcome appendFrames(int source, const std::vector<zstd_frames::Frame>& frames);

  // Waits until everything written so far is in the file (a compressed
  // file's frames are written on a thread of their own). False once any
  // write of this file failed.
  bool settle();

  // Cuts the file to the bytes written, syncs it, closes it and renames it
  // to its final name (never replacing a file of that name), then syncs the
  // directory. False when any step failed; the file then keeps its working
  // name.
  bool finish();

  // Cuts the file to the bytes written and closes it under its working
  // name: for a run that ends incomplete.
  void close();

  bool failed() const { return error_ != 0; }
  int error() const { return error_; }  // the first errno, 0 while none
  bool compressed() const { return compressor_ != nullptr; }
  // The bytes in the file; for a compressed one, known once it is closed.
  std::uint64_t bytesWritten() const { return size_; }
  // Where the file is now: the working name until finish() succeeded.
  const std::string& path() const { return path_; }
  // True while lines are stored through a mapping (false after a fallback
  // to plain writes). For tests.
  bool mapped() const { return mapped_; }

  // For tests: forces plain writes for files created afterwards.
  static void setMappingAllowed(bool allowed);

 private:
  bool put(const char* data, std::size_t length);
  bool refuseRows();
  CopyOutcome copy(int source, std::uint64_t offset, std::uint64_t length);
  bool endCompression();
  bool store(const char* data, std::size_t length);
  CopyOutcome copyPiece(int source, std::uint64_t offset, std::size_t length);
  CopyOutcome readAndStore(int source, std::uint64_t offset, std::size_t length);
  bool storeMapped(const char* data, std::size_t length);
  bool storeWritten(const char* data, std::size_t length);
  void startWriteback();
  bool reserve(std::uint64_t end);
  bool moveWindow(std::uint64_t offset);
  void unmap();
  bool fail(int error);

  int fd_ = -1;
  std::string path_;
  std::string finalPath_;
  std::uint64_t size_ = 0;      // bytes written
  std::uint64_t reserved_ = 0;  // the file's size while mapped
  std::uint64_t reserveStep_ = 0;
  std::uint64_t writebackFrom_ = 0;  // pages before it are being written back
  char* window_ = nullptr;      // mapping of [windowStart_, +windowLength_)
  std::uint64_t windowStart_ = 0;
  std::size_t windowLength_ = 0;
  bool mapped_ = false;
  bool inRows_ = false;        // between beginRows() and endRows()
  bool rowsMisplaced_ = false;
  bool kernelCopy_ = true;  // copy_file_range() works between the files
  std::atomic<int> error_{0};  // also set by the compressing thread
  std::unique_ptr<zstd_frames::Compressor> compressor_;
  std::string scratch_;  // a line with its line ends, on the write() path
  std::string copyBuffer_;  // bytes of another file, where the kernel cannot copy
};

// A file that a run as root creates in a directory of another user (the
// system user's working directory or save path) goes to that user, so that
// the user's own runs can still lock and read it. `fd` is the new file,
// made at `path`. Does nothing when the process is not root, the directory
// is root's or the file is not; a failure leaves the file root's.
void giveToDirectoryOwner(int fd, const std::string& path);

#endif  // VKT_BACKUP_BACKUP_FILE_H_
