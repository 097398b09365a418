#include "backup/row_lexer.h"

#include <algorithm>
#include <climits>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace row_lexer {

namespace {

// The first quote, LF or NUL in [p, end), or null. Most values are short:
// sixteen bytes are looked at together in line, without a call, where the
// processor can.
inline const char* findQuoteOrStop(const char* p, const char* end) {
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('\'');
  const __m128i lineEnd = _mm_set1_epi8('\n');
  const __m128i nul = _mm_setzero_si128();
  for (; end - p >= 16; p += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const int hits = _mm_movemask_epi8(
        _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, lineEnd)),
                     _mm_cmpeq_epi8(bytes, nul)));
    if (hits != 0) return p + __builtin_ctz(static_cast<unsigned>(hits));
  }
#endif
  for (; p < end; ++p)
    if (*p == '\'' || *p == '\n' || *p == '\0') return p;
  return nullptr;
}

}  // namespace

// Values from `p` on: quoted strings (backslash escapes) or NULL,
// separated by commas. Returns the byte after the last value and sets
// `*count` to their number; null when a value has another shape or does
// not end before `end` or before an LF. The bytes may go on past the line.
const char* lexValues(const char* p, const char* end, int* count) {
  int values = 0;
  for (;;) {
    if (end - p >= 4 && std::memcmp(p, "NULL", 4) == 0) {
      p += 4;
    } else if (p < end && *p == '\'') {
      // The closing quote is the first one after an even run of
      // backslashes.
      const char* from = ++p;
      for (;;) {
        const char* quote = findQuoteOrStop(p, end);
        if (quote == nullptr || *quote != '\'') return nullptr;
        const char* run = quote;
        while (run > from && run[-1] == '\\') --run;
        p = quote + 1;
        if ((quote - run) % 2 == 0) break;
      }
    } else {
      return nullptr;
    }
    if (values == INT_MAX) return nullptr;
    ++values;
    if (p < end && *p == ',') {
      ++p;
      continue;
    }
    *count = values;
    return p;
  }
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
  const auto startsHere = [&](std::string_view start) {
    return static_cast<std::size_t>(end - p) >= start.size() &&
           std::memcmp(p, start.data(), start.size()) == 0;
  };
  if (form_.shared && !inStatement_) {
    *statementEnds = false;
    return startsHere(form_.head) ? p + form_.head.size() : nullptr;
  }
  const std::string_view start = form_.rowStart();
  if (!startsHere(start)) return nullptr;
  int values = 0;
  const char* q = lexValues(p + start.size(), end, &values);
  if (q == nullptr || values != form_.valueCount || end - q < 2 || q[0] != ')')
    return nullptr;
  *statementEnds = q[1] == backup_format::kStatementEnds;
  if (!*statementEnds && !(form_.shared && q[1] == backup_format::kStatementGoesOn))
    return nullptr;
  return q + 2;
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
