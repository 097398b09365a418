#include "backup/row_lexer.h"

#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

// The values' grammar read a byte at a time, as row_lexer.h states it.
const char* valuesByByte(const char* p, const char* end, int* count) {
  int values = 0;
  for (;;) {
    if (end - p >= 4 && std::memcmp(p, "NULL", 4) == 0) {
      p += 4;
    } else if (p < end && *p == '\'') {
      for (++p;; ++p) {
        if (p == end || *p == '\n' || *p == '\0') return nullptr;
        if (*p == '\\') {
          if (++p == end || *p == '\n' || *p == '\0') return nullptr;
        } else if (*p == '\'') {
          ++p;
          break;
        }
      }
    } else {
      return nullptr;
    }
    ++values;
    if (p < end && *p == ',') {
      ++p;
      continue;
    }
    *count = values;
    return p;
  }
}

// Rows as the writer writes them, of values short and long (across the
// 64-byte blocks the lexer reads), then bytes changed to those the grammar
// turns on, and the end put anywhere.
std::string rowLike(std::mt19937& random) {
  static const char kSpecial[] = {'\'', '\\', ',', 'N', 'U', 'L', '\n', '\0', ')', 'x', '\r'};
  const auto below = [&random](std::size_t n) {
    return static_cast<std::size_t>(std::uniform_int_distribution<std::size_t>(0, n - 1)(random));
  };
  std::string row;
  const std::size_t values = 1 + below(12);
  for (std::size_t v = 0; v < values; ++v) {
    if (v > 0) row += ',';
    if (below(5) == 0) {
      row += "NULL";
      continue;
    }
    row += '\'';
    const std::size_t length = below(4) == 0 ? below(200) : below(20);
    for (std::size_t i = 0; i < length; ++i) {
      switch (below(12)) {
        case 0: row += "\\'"; break;
        case 1: row += std::string(1 + below(5), '\\') ; break;
        case 2: row += "NULL"; break;
        case 3: row += ','; break;
        default: row += static_cast<char>('a' + below(26)); break;
      }
    }
    row += '\'';
  }
  row += below(2) == 0 ? ");\r\nINSERT INTO `t` VALUES ('1');\r\n" : "),";
  for (std::size_t changes = below(4); changes > 0; --changes) {
    const std::size_t at = below(row.size());
    if (below(2) == 0) {
      row[at] = kSpecial[below(sizeof kSpecial)];
    } else {
      row.insert(at, 1, row[at]);  // ",," "''" "\\"
    }
  }
  return row;
}

}  // namespace

// Both readings of the values find what the byte-at-a-time reading finds,
// wherever the bytes end: at once or across blocks, escapes running over a
// block's end, NULL cut by it, a stray byte anywhere.
TEST(RowLexer, BlocksReadAsBytesDo) {
  std::mt19937 random(20261209);
  int sound = 0;
  for (int n = 0; n < 100000; ++n) {
    std::string row = rowLike(random);
    // Where the buffer ends: mostly past the row, sometimes inside it.
    const std::size_t size =
        n % 4 == 0 ? std::uniform_int_distribution<std::size_t>(0, row.size())(random) : row.size();
    // Bytes of its own, so that a read past the end is seen by the sanitizers.
    const std::unique_ptr<char[]> bytes(new char[size + 1]);
    std::memcpy(bytes.get(), row.data(), size);
    const char* const begin = bytes.get();
    const char* const end = begin + size;
    int wanted = -1;
    const char* const expected = valuesByByte(begin, end, &wanted);
    sound += expected != nullptr;
    for (const auto lex : {row_lexer::lexValues16, row_lexer::lexValues32}) {
      if (lex == row_lexer::lexValues32 && !row_lexer::has32ByteCompares()) continue;
      int count = -1;
      const char* const got = lex(begin, end, &count);
      ASSERT_EQ(got, expected) << "case " << n << ": " << std::string(begin, size);
      if (got != nullptr) {
        ASSERT_EQ(count, wanted) << "case " << n;
      }
    }
  }
  // Both outcomes are drawn often.
  EXPECT_GT(sound, 20000);
  EXPECT_LT(sound, 80000);
}
