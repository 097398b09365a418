#include "backup/value_escape.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstring>

namespace {

// The bytes that mysql_real_escape_string rewrites, and what it writes
// after the backslash for each.
constexpr char kEscaped[] = {'\0', '\n', '\r', '\\', '\'', '"', '\x1a'};
constexpr char kEscapedAs[] = {'0', 'n', 'r', '\\', '\'', '"', 'Z'};

struct EscapeTable {
  char as[256] = {};  // 0 for a byte written as it is
  constexpr EscapeTable() {
    for (size_t i = 0; i < sizeof kEscaped; ++i)
      as[static_cast<unsigned char>(kEscaped[i])] = kEscapedAs[i];
  }
};
constexpr EscapeTable kEscapeTable;

#if defined(__SSE2__)
// One bit for each of the sixteen bytes that is escaped. The bytes are
// spelt out, so that the compiler keeps their vectors in registers.
__attribute__((always_inline)) inline int escapedMask(__m128i bytes) {
  static_assert(sizeof kEscaped == 7, "one comparison per escaped byte");
  const __m128i hits = _mm_or_si128(
      _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[0])),
                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[1]))),
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[2])),
                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[3])))),
      _mm_or_si128(
          _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[4])),
                       _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[5]))),
          _mm_cmpeq_epi8(bytes, _mm_set1_epi8(kEscaped[6]))));
  return _mm_movemask_epi8(hits);
}

// Whether any of the `rest` bytes (4 to 15) at `bytes` is escaped. They are
// read as words that lie inside them, overlapping where they must; or,
// where `last16` is not null, as the sixteen bytes that end at theirs.
bool anyEscaped(const char* bytes, size_t rest, const char* last16) {
  if (last16 != nullptr) {
    const int hits = escapedMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(last16)));
    return (hits >> (16 - rest)) != 0;
  }
  if (rest >= 8) {
    long long first, last;
    std::memcpy(&first, bytes, 8);
    std::memcpy(&last, bytes + rest - 8, 8);
    return escapedMask(_mm_set_epi64x(last, first)) != 0;
  }
  int first, last;
  std::memcpy(&first, bytes, 4);
  std::memcpy(&last, bytes + rest - 4, 4);
  return escapedMask(_mm_set_epi32(last, first, last, first)) != 0;
}

// Copies `rest` bytes (4 to 15) with two word moves that may overlap.
void copyShort(char* to, const char* from, size_t rest) {
  if (rest >= 8) {
    char first[8], last[8];
    std::memcpy(first, from, 8);
    std::memcpy(last, from + rest - 8, 8);
    std::memcpy(to, first, 8);
    std::memcpy(to + rest - 8, last, 8);
    return;
  }
  char first[4], last[4];
  std::memcpy(first, from, 4);
  std::memcpy(last, from + rest - 4, 4);
  std::memcpy(to, first, 4);
  std::memcpy(to + rest - 4, last, 4);
}
#endif

}  // namespace

// Sixteen bytes are looked at together where the processor can: most
// values need no escaping, and this test runs for every one of them.
bool needsEscaping(const char* value, unsigned long length) {
  unsigned long i = 0;
#if defined(__SSE2__)
  for (; i + 16 <= length; i += 16)
    if (escapedMask(_mm_loadu_si128(reinterpret_cast<const __m128i*>(value + i))) != 0)
      return true;
#endif
  for (; i < length; ++i)
    if (kEscapeTable.as[static_cast<unsigned char>(value[i])] != 0) return true;
  return false;
}

bool escapesByteWise(const db::CharacterSet& charset) {
  return charset.maxBytes <= 1 || charset.name.compare(0, 4, "utf8") == 0;
}

char* escapeByteWise(char* to, const char* value, size_t length) {
  size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes are stored as they are, then the first that is escaped
  // (if any) is written over with its escape: the room of twice the bytes
  // holds each store, as the bytes before it took at most twice theirs.
  while (i + 16 <= length) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(value + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), bytes);
    const int hits = escapedMask(bytes);
    if (hits == 0) {
      i += 16;
      to += 16;
      continue;
    }
    const int plain = __builtin_ctz(static_cast<unsigned>(hits));
    i += plain;
    to += plain;
    *to++ = '\\';
    *to++ = kEscapeTable.as[static_cast<unsigned char>(value[i++])];
  }
  // Fewer than sixteen bytes are left, most values being short: when none
  // of them is escaped they are copied whole.
  const size_t rest = length - i;
  if (rest >= 4 && !anyEscaped(value + i, rest, length >= 16 ? value + length - 16 : nullptr)) {
    copyShort(to, value + i, rest);
    return to + rest;
  }
#endif
  for (; i < length; ++i) {
    const char as = kEscapeTable.as[static_cast<unsigned char>(value[i])];
    if (as != 0) {
      *to++ = '\\';
      *to++ = as;
    } else {
      *to++ = value[i];
    }
  }
  return to;
}
