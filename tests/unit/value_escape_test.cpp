// Values escaped in place of the client library must read back as the
// library's own escapes would: the restore parses them.
#include "backup/value_escape.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

namespace {

// Values escaped in place of the client library, and the test whether a
// value needs escaping at all: every length around
// the sixteen bytes looked at together, the escaped bytes dense and sparse
// at every place, between whole and broken UTF-8 characters and any other
// byte. The room is exactly twice the value, so a store past it is caught
// by the address sanitizer.
TEST(EscapeByteWise, WritesWhatTheClientLibraryWrites) {
  db::Session library;  // not connected: its default character set
  ASSERT_TRUE(library.open());
  ASSERT_TRUE(escapesByteWise(library.characterSet()));
  const std::string special("\0\n\r\\'\"\x1a" "\xC3\xA4\xF0\x9F\x98\x80\xC3", 14);
  std::mt19937 random(30);
  for (int round = 0; round < 20000; ++round) {
    const size_t length = random() % 80;
    const unsigned density = 1 + random() % 16;
    std::string value;
    for (size_t i = 0; i < length; ++i)
      value += random() % density == 0 ? special[random() % special.size()]
                                       : static_cast<char>(random() % 256);
    std::string expected(2 * length + 1, '\0');
    expected.resize(library.escape(&expected[0], value.data(), length));
    std::unique_ptr<char[]> room(new char[2 * length]);
    char* end = escapeByteWise(room.get(), value.data(), length);
    ASSERT_EQ(std::string(room.get(), static_cast<size_t>(end - room.get())), expected)
        << "round " << round;
    ASSERT_EQ(needsEscaping(value.data(), length), expected != value) << "round " << round;
  }
}

}  // namespace
