// Where a long value is cut into pieces that are escaped one by one: in a
// character set whose second byte may be a backslash or a quote, a cut
// inside a character would escape half of it.
#include "backup/row_reader.h"

#include <gtest/gtest.h>

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

}  // namespace
