// Where a long value is cut into pieces that are escaped one by one: in a
// character set whose second byte may be a backslash or a quote, a cut
// inside a character would escape half of it.
#include "backup/row_reader.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <string>

namespace {

db::CharacterSet charset(const std::string& name, unsigned maxBytes) {
  db::CharacterSet set;
  set.name = name;
  set.maxBytes = maxBytes;
  return set;
}

TEST(PieceEnd, TheLastPieceEndsAtTheValuesEnd) {
  const std::string value(10, 'a');
  EXPECT_EQ(pieceEnd(charset("gbk", 2), value.data(), 0, 10, 10), 10u);
  EXPECT_EQ(pieceEnd(charset("gbk", 2), value.data(), 0, 25, 10), 10u);
}

TEST(PieceEnd, SingleByteAndUtf8CutAnywhere) {
  const std::string value(20, '\xc3');
  EXPECT_EQ(pieceEnd(charset("latin1", 1), value.data(), 0, 7, 20), 7u);
  EXPECT_EQ(pieceEnd(charset("utf8mb4", 4), value.data(), 0, 7, 20), 7u);
  EXPECT_EQ(pieceEnd(charset("utf8mb3", 3), value.data(), 3, 7, 20), 7u);
}

TEST(PieceEnd, MultiByteCutsAfterTwoAsciiBytes) {
  // 0x81 0x5C is one GBK character whose second byte is a backslash.
  std::string value = "ab";
  for (int i = 0; i < 10; ++i) value += "\x81\x5c";
  EXPECT_EQ(pieceEnd(charset("gbk", 2), value.data(), 0, 10, value.size()), 2u);
  std::string ascii = "abcdefgh" + value;
  EXPECT_EQ(pieceEnd(charset("sjis", 2), ascii.data(), 0, 6, ascii.size()), 6u);
}

TEST(PieceEnd, MultiByteWithoutAPlaceTakesTheRest) {
  std::string value = "ab";
  for (int i = 0; i < 10; ++i) value += "\x81\x5c";
  EXPECT_EQ(pieceEnd(charset("gbk", 2), value.data(), 2, 10, value.size()),
            value.size());
}

// Values escaped in place of the client library: every length around
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
    ASSERT_EQ(std::string(room.get(), static_cast<size_t>(end - room.get())), expected) << "round " << round;
  }
}

}  // namespace
