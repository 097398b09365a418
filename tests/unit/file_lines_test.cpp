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
