#include "app/terminal_text.h"

#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <streambuf>

namespace terminal_text {
namespace {

// What Windows-1252 puts at 0x80 to 0x9F; 0 where it assigns nothing.
const char16_t kWindows1252High[32] = {
    0x20AC, 0,      0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0,      0x017D, 0,
    0,      0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0,      0x017E, 0x0178};

// A code point from U+0080 to U+FFFF.
void appendCodePoint(unsigned codePoint, std::string* out) {
  if (codePoint < 0x800) {
    out->push_back(static_cast<char>(0xC0 | codePoint >> 6));
  } else {
    out->push_back(static_cast<char>(0xE0 | codePoint >> 12));
    out->push_back(static_cast<char>(0x80 | (codePoint >> 6 & 0x3F)));
  }
  out->push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
}

// The length of the well-formed multi-byte UTF-8 sequence that `s` begins
// with; 0 when it begins with none; -1 when `s` ends inside one.
int sequenceLength(std::string_view s) {
  const unsigned char lead = static_cast<unsigned char>(s[0]);
  int length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the second byte's range
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // no overlong forms
    if (lead == 0xED) high = 0x9F;  // no surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;  // nothing above U+10FFFF
  } else {
    return 0;
  }
  for (int i = 1; i < length; ++i) {
    if (static_cast<size_t>(i) == s.size()) return -1;
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (c < (i == 1 ? low : 0x80) || c > (i == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

// Collects the converted text for one descriptor and writes it out.
class Utf8Writer {
 public:
  explicit Utf8Writer(int fd) : fd_(fd) {}

  void put(const char* data, size_t size) {
    pending_.append(data, size);
    pending_.erase(0, appendUtf8(pending_, false, &converted_));
    if (converted_.size() >= kWriteSize) writeOut();
  }

  // Converts what is left, a cut-off sequence as single bytes, and writes
  // everything. False when the descriptor refused it.
  bool flush() {
    appendUtf8(pending_, true, &converted_);
    pending_.clear();
    return writeOut();
  }

 private:
  static constexpr size_t kWriteSize = 4096;

  bool writeOut() {
    size_t done = 0;
    bool ok = true;
    while (done < converted_.size()) {
      ssize_t n = write(fd_, converted_.data() + done, converted_.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        ok = false;
        break;
      }
      done += static_cast<size_t>(n);
    }
    converted_.clear();
    return ok;
  }

  int fd_;
  std::string pending_;    // the start of a sequence not yet complete
  std::string converted_;  // UTF-8, not yet written
};

class Utf8StreamBuf : public std::streambuf {
 public:
  explicit Utf8StreamBuf(Utf8Writer* writer) : writer_(writer) {}

 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof()))
      return traits_type::not_eof(c);
    const char byte = traits_type::to_char_type(c);
    writer_->put(&byte, 1);
    return c;
  }
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    writer_->put(data, static_cast<size_t>(size));
    return size;
  }
  int sync() override { return writer_->flush() ? 0 : -1; }

 private:
  Utf8Writer* writer_;
};

// The C stream's writes (the settings store's messages) go through the
// same writer as the C++ stream's, so their order is kept.
ssize_t writeThrough(void* cookie, const char* data, size_t size) {
  Utf8Writer* writer = static_cast<Utf8Writer*>(cookie);
  writer->put(data, size);
  return writer->flush() ? static_cast<ssize_t>(size) : -1;
}

// The writer and the buffer live to the end of the process: the streams
// are flushed into them at exit.
void convert(int fd, std::ostream& stream, FILE** cStream) {
  Utf8Writer* writer = new Utf8Writer(fd);
  stream.rdbuf(new Utf8StreamBuf(writer));
  cookie_io_functions_t io{nullptr, writeThrough, nullptr, nullptr};
  FILE* converted = fopencookie(writer, "w", io);
  if (converted == nullptr) return;
  setvbuf(converted, nullptr, _IONBF, 0);
  *cStream = converted;
}

bool localeIsUtf8() {
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = current != nullptr ? current : "C";
  const bool utf8 = std::setlocale(LC_CTYPE, "") != nullptr &&
                    std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
  std::setlocale(LC_CTYPE, saved.c_str());
  return utf8;
}

// True when `fd` is the stream that systemd connected to the journal.
bool isJournalStream(int fd) {
  const char* named = std::getenv("JOURNAL_STREAM");
  unsigned long long device = 0, inode = 0;
  int length = 0;
  if (named == nullptr ||
      std::sscanf(named, "%llu:%llu%n", &device, &inode, &length) != 2 ||
      named[length] != '\0')
    return false;
  struct stat st;
  return fstat(fd, &st) == 0 && st.st_dev == device && st.st_ino == inode;
}

}  // namespace

size_t appendUtf8(std::string_view bytes, bool final, std::string* out) {
  size_t i = 0;
  while (i < bytes.size()) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      out->push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    const int length = sequenceLength(bytes.substr(i));
    if (length < 0 && !final) break;
    if (length > 0) {
      out->append(bytes.data() + i, static_cast<size_t>(length));
      i += static_cast<size_t>(length);
      continue;
    }
    const unsigned codePoint = c >= 0xA0 ? c : kWindows1252High[c - 0x80];
    appendCodePoint(codePoint != 0 ? codePoint : 0xFFFD, out);
    ++i;
  }
  return i;
}

void convertConsoleStreams() {
  const bool outIsTerminal = isatty(STDOUT_FILENO) == 1;
  const bool errIsTerminal = isatty(STDERR_FILENO) == 1;
  const bool terminalIsUtf8 =
      (outIsTerminal || errIsTerminal) && localeIsUtf8();
  const bool convertOut =
      (outIsTerminal && terminalIsUtf8) || isJournalStream(STDOUT_FILENO);
  const bool convertErr =
      (errIsTerminal && terminalIsUtf8) || isJournalStream(STDERR_FILENO);
  if (convertOut) convert(STDOUT_FILENO, std::cout, &stdout);
  if (convertErr) {
    convert(STDERR_FILENO, std::cerr, &stderr);
    std::clog.rdbuf(std::cerr.rdbuf());
  }
}

}  // namespace terminal_text
