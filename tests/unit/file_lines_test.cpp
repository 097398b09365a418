// The line splitter that every reader of a backup file shares.
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "backup/file_lines.h"

namespace {

// Bytes made up as they are read: one line of `length` bytes, then "\n",
// then "end\n".
class OneLongLine : public file_lines::PlainBytes {
 public:
  explicit OneLongLine(std::uint64_t length) : length_(length) {}
  ssize_t readAt(char* buffer, std::size_t length, std::uint64_t offset) const override {
    const std::uint64_t size = length_ + 5;
    if (offset >= size) return 0;
    length = static_cast<std::size_t>(std::min<std::uint64_t>(length, size - offset));
    static const char kTail[] = "\nend\n";
    for (std::size_t i = 0; i < length; ++i)
      buffer[i] = offset + i < length_ ? 'x' : kTail[offset + i - length_];
    return static_cast<ssize_t>(length);
  }
  FileStamp stamp() const override { return FileStamp(); }

 private:
  std::uint64_t length_;
};

// Bytes held in memory in pieces of `piece` bytes, as the frames of a
// compressed file are, or (piece 0) read only by copying, as a plain file is.
class PiecedBytes : public file_lines::PlainBytes {
 public:
  PiecedBytes(std::string_view text, std::size_t piece) : text_(text), piece_(piece) {}
  ssize_t readAt(char* buffer, std::size_t length, std::uint64_t offset) const override {
    return file_lines::TextBytes(text_).readAt(buffer, length, offset);
  }
  FileStamp stamp() const override { return FileStamp(); }
  bool viewAt(std::uint64_t offset, file_lines::HeldView* view) const override {
    if (piece_ == 0) return false;
    const std::size_t from = std::min<std::size_t>(offset, text_.size());
    view->data = text_.data() + from;
    view->size = std::min(text_.size() - from, piece_ - from % piece_);
    return true;
  }

 private:
  std::string_view text_;
  std::size_t piece_;
};

// The lines as the reader gives them, NUL bytes shown as '@'.
std::string linesOf(const file_lines::PlainBytes& bytes, const file_lines::LineReading& reading) {
  file_lines::FileLines lines(bytes, 0, UINT64_MAX, reading);
  file_lines::Line line;
  std::string out;
  while (lines.next(&line)) {
    std::string text(line.text);
    std::replace(text.begin(), text.end(), '\0', '@');
    out += text + "|" + std::to_string(line.offset) + "-" + std::to_string(line.next) +
           (line.ended ? " ended" : "") + (line.crlf ? " crlf" : "") + (line.cut ? " cut" : "") +
           (line.nul ? " nul" : "") + ";";
  }
  return out;
}

std::uint64_t addressSpaceKiB() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);)
    if (line.compare(0, 7, "VmSize:") == 0) return std::stoull(line.substr(7));
  return 0;
}

}  // namespace

// A line held whole, however long, costs about its length: the buffer grows
// in place. In a process that may take 288 MiB more than it holds, a line
// of 192 MiB is read whole (a buffer that doubled, copying, would need the
// old 128 MiB beside the new 256 MiB).
TEST(FileLines, ALongLineHeldWholeCostsAboutItsLength) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "a sanitizer's allocator copies on every realloc";
#endif
  const std::uint64_t heldKiB = addressSpaceKiB();
  ASSERT_GT(heldKiB, 0u);
  const std::uint64_t length = std::uint64_t{192} << 20;
  const OneLongLine bytes(length);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlim_t most = (heldKiB << 10) + (rlim_t{288} << 20);
    const rlimit limit{most, most};
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(3);
    try {
      file_lines::FileLines lines(bytes, 0, UINT64_MAX, SIZE_MAX);
      file_lines::Line line;
      const bool whole = lines.next(&line) && !line.cut && line.text.size() == length &&
                         line.text.find_first_not_of('x') == std::string::npos;
      const bool next = lines.next(&line) && line.text == "end" && !lines.next(&line);
      _exit(whole && next ? 0 : 1);
    } catch (...) {
      _exit(2);  // out of memory
    }
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

// Where the bytes lie (in memory, in pieces of any size, or read by
// copying) changes nothing of the lines: a line that runs on from piece to
// piece comes whole, its line end and NUL bytes found, one too long to
// hold is read past.
TEST(FileLines, LinesAreTheSameWhereverTheBytesLie) {
  const std::string text = std::string("ab\r\nc") + '\0' + "d\r\n\r\n" +
                           std::string(40, 'x') + "\r\nlong" + '\0' + std::string(30, 'y') +
                           "\r\n" + '\0' + "\nlast\r";
  file_lines::LineReading reading;
  reading.held = 24;
  reading.skipLong = true;
  reading.findNul = true;
  const std::string whole = linesOf(file_lines::TextBytes(text), reading);
  EXPECT_EQ(whole,
            "ab|0-4 ended crlf;c@d|4-9 ended crlf nul;|9-11 ended crlf;|11-53 ended crlf cut;"
            "|53-90 ended crlf cut;@|90-92 ended nul;last\r|92-97;");
  for (std::size_t piece : {0, 1, 2, 3, 5, 7, 64})
    EXPECT_EQ(linesOf(PiecedBytes(text, piece), reading), whole) << "pieces of " << piece;
}
