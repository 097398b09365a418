#include "backup/row_lexer.h"

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace row_lexer {

namespace {

// The bytes of a 64-byte block that the values' grammar turns on, one bit
// each, byte i at bit i.
struct BlockBits {
  std::uint64_t quote = 0;
  std::uint64_t backslash = 0;
  std::uint64_t comma = 0;
  std::uint64_t letterN = 0;  // where a NULL may begin
  std::uint64_t stop = 0;     // LF or NUL
};

constexpr std::size_t kBlock = 64;
// A NULL that begins at a block's last byte is read on 3 bytes past it.
constexpr std::size_t kBlockRead = kBlock + 3;

inline BlockBits bitsOf(const char* b) {
  BlockBits bits;
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('\'');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i comma = _mm_set1_epi8(',');
  const __m128i letterN = _mm_set1_epi8('N');
  const __m128i lineEnd = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b));
  const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 16));
  const __m128i v2 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 32));
  const __m128i v3 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + 48));
  const auto bitsOf16 = [](__m128i hits) {
    return std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(hits))};
  };
  const auto mask = [&](__m128i h0, __m128i h1, __m128i h2, __m128i h3) {
    return bitsOf16(h0) | bitsOf16(h1) << 16 | bitsOf16(h2) << 32 | bitsOf16(h3) << 48;
  };
  const auto equal = [&](__m128i c) {
    return mask(_mm_cmpeq_epi8(v0, c), _mm_cmpeq_epi8(v1, c), _mm_cmpeq_epi8(v2, c),
                _mm_cmpeq_epi8(v3, c));
  };
  bits.quote = equal(quote);
  bits.backslash = equal(backslash);
  bits.comma = equal(comma);
  bits.letterN = equal(letterN);
  bits.stop = mask(_mm_or_si128(_mm_cmpeq_epi8(v0, lineEnd), _mm_cmpeq_epi8(v0, nul)),
                   _mm_or_si128(_mm_cmpeq_epi8(v1, lineEnd), _mm_cmpeq_epi8(v1, nul)),
                   _mm_or_si128(_mm_cmpeq_epi8(v2, lineEnd), _mm_cmpeq_epi8(v2, nul)),
                   _mm_or_si128(_mm_cmpeq_epi8(v3, lineEnd), _mm_cmpeq_epi8(v3, nul)));
#else
  for (std::size_t i = 0; i < kBlock; ++i) {
    const std::uint64_t bit = std::uint64_t{1} << i;
    switch (b[i]) {
      case '\'': bits.quote |= bit; break;
      case '\\': bits.backslash |= bit; break;
      case ',': bits.comma |= bit; break;
      case 'N': bits.letterN |= bit; break;
      case '\n': case '\0': bits.stop |= bit; break;
      default: break;
    }
  }
#endif
  return bits;
}

inline int lowestBit(std::uint64_t bits) { return __builtin_ctzll(bits); }

// Without a call: the processor's own count is not in the baseline set.
inline std::uint64_t bitCount(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555u;
  x = (x & 0x3333333333333333u) + ((x >> 2) & 0x3333333333333333u);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0fu;
  return (x * 0x0101010101010101u) >> 56;
}

// The bytes that a backslash escapes: the one after each run of an odd
// number of backslashes. `*carry` is 1 when the block before ended in such
// a run (its first byte is escaped), and is set so for the next block.
inline std::uint64_t escapedBy(std::uint64_t backslash, std::uint64_t* carry) {
  if ((backslash | *carry) == 0) return 0;
  std::uint64_t escaped = *carry;
  backslash &= ~escaped;  // an escaped backslash starts no run
  *carry = 0;
  while (backslash != 0) {
    const int start = lowestBit(backslash);
    const std::uint64_t run = ~(backslash >> start);
    const int after = run == 0 ? 64 : start + lowestBit(run);
    if (((after - start) & 1) != 0) {
      if (after < 64) escaped |= std::uint64_t{1} << after;
      else *carry = 1;
    }
    backslash = after < 64 ? backslash & (~std::uint64_t{0} << after) : 0;
  }
  return escaped;
}

// Bit i set when an odd number of bits 0..i of `bits` are set.
inline std::uint64_t prefixXor(std::uint64_t bits) {
  bits ^= bits << 1;
  bits ^= bits << 2;
  bits ^= bits << 4;
  bits ^= bits << 8;
  bits ^= bits << 16;
  bits ^= bits << 32;
  return bits;
}

using Wide = unsigned __int128;

// Whether "NULL" begins at `p`, its four bytes compared at once.
inline bool isNullAt(const char* p) {
  std::uint32_t word;
  std::uint32_t null;
  std::memcpy(&word, p, 4);
  std::memcpy(&null, "NULL", 4);
  return word == null;
}

}  // namespace

namespace {

// The values are read 64 bytes at a time, as bit masks: which quotes are
// escaped, which bytes lie inside strings (a running parity of the other
// quotes), where values begin and end. The values end at the first value
// end that no comma follows; every byte before it must then be part of a
// value or a comma between two, and no LF or NUL. This reads as the grammar
// read a byte at a time does (the unit tests hold the two side by side),
// without a branch for each value.
template <BlockBits (*kBitsOf)(const char*), std::uint64_t (*kPrefixXor)(std::uint64_t)>
[[gnu::always_inline]] inline const char* lexBlocks(const char* p, const char* end, int* count) {
  std::uint64_t escapeCarry = 0;  // the next block's first byte is escaped
  std::uint64_t inString = 0;     // all ones when the next block begins in a string
  std::uint64_t endsCarry = 0;    // value ends that fall past a block
  std::uint64_t nullCarry = 0;    // bytes of a NULL that fall past a block
  bool valueFirst = true;         // the next block's first byte must begin a value
  std::uint64_t values = 0;
  char tail[kBlockRead];
  const std::size_t size = static_cast<std::size_t>(end - p);
  // A value may end at `end`, at a block's start: that block is read too.
  for (std::size_t from = 0; from <= size; from += kBlock) {
    const char* const b = p + from;
    const char* at = b;
    const std::size_t left = size - from;
    if (left < kBlockRead) {
      // Past `end`, NUL bytes: they stop every value.
      if (left > 0) std::memcpy(tail, b, left);
      std::memset(tail + left, 0, kBlockRead - left);
      at = tail;
    }
    const BlockBits bits = kBitsOf(at);
    const std::uint64_t quotes = bits.quote & ~escapedBy(bits.backslash, &escapeCarry);
    const std::uint64_t inside = kPrefixXor(quotes) ^ inString;  // an opening quote is inside
    inString = 0 - (inside >> 63);
    const std::uint64_t outside = ~inside & ~quotes;
    std::uint64_t nulls = 0;
    for (std::uint64_t n = bits.letterN & outside; n != 0; n &= n - 1) {
      const int i = lowestBit(n);
      if (isNullAt(at + i)) nulls |= std::uint64_t{1} << i;
    }
    const Wide nullBytes = Wide{nulls} | Wide{nulls} << 1 | Wide{nulls} << 2 | Wide{nulls} << 3;
    const Wide valueEnds = Wide{quotes & ~inside} << 1 | Wide{nulls} << 4;
    const std::uint64_t starts = (quotes & inside) | nulls;
    const std::uint64_t ends = static_cast<std::uint64_t>(valueEnds) | endsCarry;
    const std::uint64_t partOfNull = static_cast<std::uint64_t>(nullBytes) | nullCarry;
    endsCarry = static_cast<std::uint64_t>(valueEnds >> 64);
    nullCarry = static_cast<std::uint64_t>(nullBytes >> 64);
    const std::uint64_t commas = bits.comma & outside;
    // The bytes before the values' end, all of them when it is not here.
    const std::uint64_t last = ends & ~commas;
    const std::uint64_t before = last != 0 ? (last & (0 - last)) - 1 : ~std::uint64_t{0};
    const std::uint64_t between = commas & before;
    const Wide afterCommas = Wide{between} << 1;
    if ((valueFirst && (starts & 1) == 0) || (bits.stop & before) != 0 ||
        (outside & ~(commas | partOfNull) & before) != 0 ||
        (static_cast<std::uint64_t>(afterCommas) & ~starts) != 0)
      return nullptr;
    valueFirst = (afterCommas >> 64) != 0;
    values += bitCount(starts & before);
    if (last != 0) {
      if (values > INT_MAX) return nullptr;
      *count = static_cast<int>(values);
      return b + lowestBit(last);
    }
  }
  return nullptr;
}

}  // namespace

#if defined(__x86_64__)
#define VKT_WIDE [[gnu::target("avx2,bmi,bmi2,popcnt,pclmul")]]
namespace {

VKT_WIDE inline std::uint64_t equalWide(__m256i v0, __m256i v1, __m256i c) {
  return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v0, c)))} |
         std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v1, c)))}
             << 32;
}

VKT_WIDE BlockBits bitsOfWide(const char* b) {
  BlockBits bits;
  const __m256i v0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b));
  const __m256i v1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b + 32));
  bits.quote = equalWide(v0, v1, _mm256_set1_epi8('\''));
  bits.backslash = equalWide(v0, v1, _mm256_set1_epi8('\\'));
  bits.comma = equalWide(v0, v1, _mm256_set1_epi8(','));
  bits.letterN = equalWide(v0, v1, _mm256_set1_epi8('N'));
  bits.stop = equalWide(v0, v1, _mm256_set1_epi8('\n')) | equalWide(v0, v1, _mm256_setzero_si256());
  return bits;
}

// One carry-less multiplication by all ones.
VKT_WIDE inline std::uint64_t prefixXorWide(std::uint64_t bits) {
  return static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_clmulepi64_si128(
      _mm_set_epi64x(0, static_cast<long long>(bits)), _mm_set1_epi8(-1), 0)));
}

}  // namespace

VKT_WIDE const char* lexValues32(const char* p, const char* end, int* count) {
  return lexBlocks<bitsOfWide, prefixXorWide>(p, end, count);
}

bool has32ByteCompares() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
         __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("popcnt") &&
         __builtin_cpu_supports("pclmul");
}
#else
const char* lexValues32(const char* p, const char* end, int* count) {
  return lexValues16(p, end, count);
}

bool has32ByteCompares() { return false; }
#endif

const char* lexValues16(const char* p, const char* end, int* count) {
  return lexBlocks<bitsOf, prefixXor>(p, end, count);
}

namespace {

using Lexer = const char* (*)(const char*, const char*, int*);
const char* lexValuesFirst(const char* p, const char* end, int* count);
// Chosen at the first call, whenever that is (no order of static
// initialisation to rely on), then called straight.
std::atomic<Lexer> lexer{lexValuesFirst};

const char* lexValuesFirst(const char* p, const char* end, int* count) {
  const Lexer chosen = has32ByteCompares() ? lexValues32 : lexValues16;
  lexer.store(chosen, std::memory_order_relaxed);
  return chosen(p, end, count);
}

}  // namespace

const char* lexValues(const char* p, const char* end, int* count) {
  return lexer.load(std::memory_order_relaxed)(p, end, count);
}

const char* rowBody(const char* p, const char* end, std::string_view start, int valueCount) {
  if (static_cast<std::size_t>(end - p) < start.size() ||
      std::memcmp(p, start.data(), start.size()) != 0)
    return nullptr;
  int values = 0;
  const char* q = lexValues(p + start.size(), end, &values);
  if (q == nullptr || values != valueCount || end - q < 2 || q[0] != ')') return nullptr;
  return q + 1;
}

int valuesUpTo(std::string_view line, std::size_t from, char last) {
  const char* const end = line.data() + line.size();
  int count = 0;
  const char* p = lexValues(line.data() + from, end, &count);
  return p != nullptr && end - p == 2 && p[0] == ')' && p[1] == last ? count : -1;
}

std::vector<std::string_view> valuesOf(std::string_view line, std::size_t from) {
  std::vector<std::string_view> values;
  std::size_t at = from;
  while (at < line.size()) {
    if (line[at] == '\'') {
      std::size_t end = at + 1;
      while (end < line.size() && line[end] != '\'') end += line[end] == '\\' ? 2 : 1;
      values.push_back(line.substr(at + 1, end - at - 1));
      at = end + 1;
    } else {
      values.push_back(line.substr(at, 4));
      at += 4;
    }
    if (at >= line.size() || line[at] != ',') break;
    ++at;
  }
  return values;
}

int rowValueCount(std::string_view line, std::string_view prefix) {
  if (!backup_format::startsWith(line, prefix)) return -1;
  return valuesUpTo(line, prefix.size(), backup_format::kStatementEnds);
}

std::string_view rowPrefixOf(std::string_view line) {
  static constexpr std::string_view kValues = "VALUES (";
  // A backquoted name may hold "VALUES (": skip the names first.
  bool quoted = false;
  for (std::size_t at = 0; at < line.size(); ++at) {
    if (line[at] == '`') quoted = !quoted;
    if (!quoted && line.compare(at, kValues.size(), kValues) == 0)
      return line.substr(0, at + kValues.size());
  }
  return {};
}

// One loop, the state kept in a local.
void RowShape::feed(std::string_view piece) {
  const char* p = piece.data();
  const char* const end = p + piece.size();
  State state = state_;
  while (p < end) {
    switch (state) {
      case State::kExpected: {
        const std::size_t n =
            std::min<std::size_t>(end - p, expected_.size() - matched_);
        if (std::memcmp(p, expected_.data() + matched_, n) != 0) {
          state = State::kBad;
          break;
        }
        matched_ += n;
        p += n;
        if (matched_ == expected_.size()) state = State::kValue;
        break;
      }
      case State::kValue:
        p = values(p, end, &state);
        break;
      case State::kNull:
        if (*p != "NULL"[matched_]) {
          state = State::kBad;
          break;
        }
        ++p;
        if (++matched_ == 4) state = valueEnded();
        break;
      case State::kQuoted:
        p = inQuotes(p, end, &state);
        break;
      case State::kAfterValue:
        if (*p == ',') {
          state = State::kValue;
        } else if (*p == ')') {
          state = State::kLast;
        } else {
          state = State::kBad;
        }
        ++p;
        break;
      case State::kLast:
        last_ = *p++;
        state = State::kEnd;
        break;
      case State::kEnd:
        state = State::kBad;  // bytes after the last
        break;
      case State::kBad:
        p = end;
        break;
    }
  }
  state_ = state;
}

// Values and the commas between them, from the start of a value at `p`
// on, while they lie whole in the piece: the common case, in one loop.
const char* RowShape::values(const char* p, const char* end, State* state) {
  for (;;) {
    if (*p == '\'') {
      oddRun_ = false;
      *state = State::kQuoted;
      p = inQuotes(p + 1, end, state);
      if (*state == State::kQuoted) return p;  // the piece ended inside
    } else if (end - p >= 4 && std::memcmp(p, "NULL", 4) == 0) {
      p += 4;
      *state = valueEnded();
    } else if (*p == 'N') {
      *state = State::kNull;  // NULL cut by the piece's end
      matched_ = 1;
      return p + 1;
    } else {
      *state = State::kBad;
      return end;
    }
    if (*state != State::kAfterValue || p == end || *p != ',') return p;
    ++p;
    *state = State::kValue;
    if (p == end) return p;
  }
}

// Inside quotes, from `p` on: the closing quote is the first one after an
// even run of backslashes, and a run may go on from the piece before.
// Sets `*state` once the value ends.
const char* RowShape::inQuotes(const char* p, const char* end, State* state) {
  const char* const from = p;
  for (;;) {
    const char* quote = static_cast<const char*>(std::memchr(p, '\'', end - p));
    const char* stop = quote != nullptr ? quote : end;
    if (std::memchr(p, '\0', stop - p) != nullptr) {
      *state = State::kBad;
      return end;
    }
    const char* run = stop;
    while (run > p && run[-1] == '\\') --run;
    const bool odd = (((stop - run) & 1) != 0) != (run == from && oddRun_);
    if (quote == nullptr) {
      oddRun_ = odd;
      return end;
    }
    oddRun_ = false;
    p = quote + 1;
    if (!odd) {
      *state = valueEnded();
      return p;
    }
  }
}

RowShape::State RowShape::valueEnded() {
  if (count_ == INT_MAX) return State::kBad;
  ++count_;
  return State::kAfterValue;
}


bool RowLineJudge::take(std::string_view line) {
  const char* const end = line.data() + line.size();
  bool statementEnds;
  if (rowEnd(line.data(), end, &statementEnds) != end) return false;
  count(statementEnds);
  return true;
}

std::size_t RowLineJudge::takeLexed(const char* p, const char* end, std::size_t held) {
  bool statementEnds;
  const char* q = rowEnd(p, end, &statementEnds);
  if (q == nullptr) return 0;
  if (end - q >= 2 && q[0] == '\r' && q[1] == '\n') ++q;
  if (q == end || *q != '\n' || static_cast<std::size_t>(q - p) > held) return 0;
  count(statementEnds);
  return static_cast<std::size_t>(q + 1 - p);
}

// The line whose bytes begin at `p` and may run on past it to `end`, when
// it continues the rows as their form asks here: the byte after its last
// one, and `*statementEnds` whether it ends a statement; null for any
// other line. Only a statement head or a row of the form's values can
// continue them.
const char* RowLineJudge::rowEnd(const char* p, const char* end,
                                 bool* statementEnds) const {
  if (form_.shared && !inStatement_) {
    *statementEnds = false;
    const std::string_view head = form_.head;
    return static_cast<std::size_t>(end - p) >= head.size() &&
                   std::memcmp(p, head.data(), head.size()) == 0
               ? p + head.size()
               : nullptr;
  }
  const char* last = rowBody(p, end, form_.rowStart(), form_.valueCount);
  if (last == nullptr) return nullptr;
  *statementEnds = *last == backup_format::kStatementEnds;
  if (!*statementEnds && !(form_.shared && *last == backup_format::kStatementGoesOn))
    return nullptr;
  return last + 1;
}

// Counts a line that rowEnd() let continue the rows.
void RowLineJudge::count(bool statementEnds) {
  if (form_.shared && !inStatement_) {
    inStatement_ = true;  // a statement head
    return;
  }
  ++rows_;
  inStatement_ = form_.shared && !statementEnds;
}

// Counts a row line that streamed, of `values` values and `last` after
// them; true when it continues the rows.
bool RowLineJudge::rowEnded(int values, char last) {
  ++rows_;
  if (!form_.shared)
    return values == form_.valueCount && last == backup_format::kStatementEnds;
  if (values != form_.valueCount) return false;
  if (last == backup_format::kStatementEnds) inStatement_ = false;
  return last == backup_format::kStatementEnds || last == backup_format::kStatementGoesOn;
}

}  // namespace row_lexer
