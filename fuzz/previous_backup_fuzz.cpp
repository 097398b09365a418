// Indexes arbitrary bytes as a previous backup and copies every block whose
// rows were judged whole; aborts when a copy yields anything but exactly the
// indexed number of that table's rows, in the block's form, and the closing
// empty line. Bytes that begin like zstd frames are read as a compressed
// previous backup is: in place, where its frames allow, and then indexed
// alike when decompressed as a whole first; the frames found must tile
// both files. Other bytes are also compressed into small frames, cut
// anywhere in a line, and read in place: indexed as the plain bytes are.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include <sys/mman.h>
#include <unistd.h>
#include <zstd.h>

#include "backup/backup_format.h"
#include "backup/previous_backup.h"
#include "backup/row_lexer.h"
#include "backup/zstd_frames.h"

namespace {

void check(bool condition) {
  if (!condition) std::abort();
}

// `copied` must be the table's rows in the block's form, then one empty
// line: `rowCount` CR LF row lines, each with the block's prefix and number
// of values; or, for several rows a statement, statement heads each
// followed by row lines "(" values ")," and a last one "(" values ");",
// `rowCount` row lines in all.
void checkCopy(const std::string& copied, const PreviousTableEntry& entry) {
  const std::string start = backup_format::rowLineStartFor(entry.name);
  const std::string head = entry.rowPrefix.substr(0, entry.rowPrefix.size() - 2);
  size_t pos = 0;
  bool inStatement = false;
  for (int row = 0; row < entry.rowCount;) {
    const size_t end = copied.find("\r\n", pos);
    check(end != std::string::npos);
    std::string line = copied.substr(pos, end - pos);
    pos = end + 2;
    if (!entry.rowsShared) {
      check(line.compare(0, start.size(), start) == 0);
      check(row_lexer::rowValueCount(line, entry.rowPrefix) == entry.valueCount);
      ++row;
    } else if (!inStatement) {
      check(line == head && head.compare(0, start.size(), start) == 0);
      inStatement = true;
    } else {
      check(!line.empty() && (line.back() == ',' || line.back() == ';'));
      inStatement = line.back() == ',';
      line.back() = ';';
      check(row_lexer::rowValueCount(line, "(") == entry.valueCount);
      ++row;
    }
  }
  check(!inStatement);
  check(copied.compare(pos, std::string::npos, "\r\n") == 0);
}

// Copies `entry` into a fresh backup file and returns what it holds.
template <typename Source>
std::string copyOut(const Source& in, const PreviousTableEntry& entry) {
  static const std::string name =
      "/tmp/vkt-fuzz-copy-" + std::to_string(getpid()) + ".sql";
  unlink(name.c_str());
  BackupFile out;
  check(out.create(name));
  out.beginRows();
  const RowsResult rows = previous_backup::copyRows(in, entry, out);
  out.endRows();
  check(rows.whole && rows.rows == entry.rowCount);
  check(out.finish());
  std::ifstream file(name, std::ios::binary);
  std::string copied((std::istreambuf_iterator<char>(file)),
                     std::istreambuf_iterator<char>());
  unlink(name.c_str());
  return copied;
}

}  // namespace

// Decompresses `packed` into a new file as the engine does and checks the
// frames it lists: one after the other in both files, inside both.
int decompressed(int packed, size_t packedSize) {
  int plain = memfd_create("fuzz-plain", 0);
  check(plain >= 0);
  std::vector<zstd_frames::Frame> frames;
  check(zstd_frames::decompressFile(packed, plain, &frames));
  const off_t plainSize = lseek(plain, 0, SEEK_END);
  uint64_t plainAt = 0;
  uint64_t packedAt = 0;
  for (const zstd_frames::Frame& frame : frames) {
    check(frame.plainBegin == plainAt && frame.packedBegin >= packedAt);
    check(frame.packedSize > 0 && frame.packedBegin + frame.packedSize <= packedSize);
    plainAt += frame.plainSize;
    packedAt = frame.packedBegin + frame.packedSize;
  }
  check(static_cast<uint64_t>(plainSize) == plainAt);
  return plain;
}

// `data` compressed into frames of `cut` bytes each, with their checksums,
// as a new file of `*packedSize` bytes.
int compressedInFrames(const uint8_t* data, size_t size, size_t cut,
                       size_t* packedSize) {
  const int packed = memfd_create("fuzz-packed", 0);
  check(packed >= 0);
  std::unique_ptr<ZSTD_CCtx, size_t (*)(ZSTD_CCtx*)> context(ZSTD_createCCtx(),
                                                             ZSTD_freeCCtx);
  check(context != nullptr);
  ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
  std::string frame;
  *packedSize = 0;
  for (size_t at = 0; at < size; at += cut) {
    const size_t n = std::min(cut, size - at);
    frame.resize(ZSTD_compressBound(n));
    const size_t written =
        ZSTD_compress2(context.get(), &frame[0], frame.size(), data + at, n);
    check(!ZSTD_isError(written));
    check(write(packed, frame.data(), written) == static_cast<ssize_t>(written));
    *packedSize += written;
  }
  return packed;
}

// Every trusted block of `index` copies whole, in its form.
template <typename Source>
void checkCopies(const Source& in, const previous_backup::Index& index) {
  for (const PreviousTableEntry& entry : index.tables) {
    if (!entry.rowsTrusted) continue;
    check(entry.rowCount > 0);
    check(entry.blockWhole);
    checkCopy(copyOut(in, entry), entry);
  }
}

// The frames read in place tile both files, and the index of the bytes
// read in place is the index of the same bytes decompressed as a whole.
void checkInPlace(const file_lines::PackedBytes& bytes, int plain,
                  size_t packedSize) {
  const previous_backup::Index inPlace = previous_backup::buildIndex(bytes);
  const previous_backup::Index whole = previous_backup::buildIndex(plain);
  check(inPlace.tables.size() == whole.tables.size());
  for (size_t i = 0; i < whole.tables.size(); ++i) {
    const PreviousTableEntry& a = inPlace.tables[i];
    const PreviousTableEntry& b = whole.tables[i];
    check(a.name == b.name && a.rowsTrusted == b.rowsTrusted &&
          a.blockWhole == b.blockWhole && a.rowCount == b.rowCount &&
          a.rowsBegin == b.rowsBegin && a.rowsEnd == b.rowsEnd);
  }
  uint64_t plainAt = 0;
  uint64_t packedAt = 0;
  for (const zstd_frames::Frame& frame : bytes.framesRead()) {
    check(frame.plainBegin == plainAt && frame.packedBegin >= packedAt);
    check(frame.packedSize > 0 && frame.packedBegin + frame.packedSize <= packedSize);
    plainAt += frame.plainSize;
    packedAt = frame.packedBegin + frame.packedSize;
  }
  check(static_cast<uint64_t>(lseek(plain, 0, SEEK_END)) == plainAt);
  checkCopies(bytes, inPlace);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int in = memfd_create("fuzz", 0);
  check(in >= 0);
  check(write(in, data, size) == static_cast<ssize_t>(size));
  const bool packedInput = zstd_frames::looksCompressed(in);
  if (packedInput) {
    const file_lines::PackedBytes bytes(in);
    if (bytes.readable()) {
      const int plain = decompressed(in, size);
      checkInPlace(bytes, plain, size);
      close(plain);
      close(in);
      return 0;
    }
    const int plain = decompressed(in, size);
    close(in);
    in = plain;
  }
  checkCopies(in, previous_backup::buildIndex(in));
  if (!packedInput && size > 0) {
    size_t packedSize = 0;
    const int packed =
        compressedInFrames(data, size, 1 + data[size - 1] % 128, &packedSize);
    {
      const file_lines::PackedBytes bytes(packed);
      check(bytes.readable());
      checkInPlace(bytes, in, packedSize);
    }
    close(packed);
  }
  close(in);
  return 0;
}
