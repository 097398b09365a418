// Fuzzes the reading of the binary log's statements: a query event's status
// block and its text, as a hostile or damaged log may hand them over. The
// first byte gives the status block's length. Whatever the bytes, the
// reading ends; its words are never empty, the qualifiers are among them,
// and a stream of such events ends in an answer, clean or not.
#include <stdint.h>
#include <stdlib.h>

#include <string>
#include <string_view>
#include <unordered_set>

#include "backup/binlog.h"
#include "backup/log_statement.h"
#include "backup/sql_lexer.h"

namespace {

void checkWords(std::string_view text, unsigned long long mode) {
  std::unordered_set<std::string> words, qualifiers;
  if (!log_statement::readWords(text, mode, &words, &qualifiers)) return;
  for (const std::string& word : words)
    if (word.empty()) abort();
  for (const std::string& name : qualifiers)
    if (words.count(name) == 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  const size_t statusLength = std::min<size_t>(bytes[0], size - 1);
  const std::string_view status = bytes.substr(1, statusLength);
  const std::string_view text = bytes.substr(1 + statusLength);
  const log_statement::Session session = log_statement::readSession(status);
  checkWords(text, session.sqlMode);
  for (unsigned long long mode :
       {0ull, sql_lexer::kModeAnsiQuotes, sql_lexer::kModeNoBackslashEscapes})
    checkWords(text, mode);

  // The same text as a statement of the log, and as a trigger's body.
  binlog::Schema schema;
  schema.tables = {"a", "b"};
  schema.views = {"v"};
  schema.triggers["a"] = {{std::string(text), session.sqlMode}};
  schema.routines["f"] = {std::string(text), 0};
  schema.byteWiseCollations = {session.clientCollation};
  schema.seesEveryDatabase = (size & 1) != 0;
  backup_format::LogPosition from, to;
  from.file = to.file = "b.000001";
  from.position = 4;
  to.position = 300;
  from.start = 1;
  binlog::Collector collector("shop", {"a", "b"}, from, to, {{"crm", "p", "b"}},
                              [&schema](bool) -> const binlog::Schema& { return schema; });
  binlog::LogEvent start;
  start.kind = binlog::LogEvent::Kind::kFormat;
  start.timestamp = 1;
  binlog::LogEvent query;
  query.kind = binlog::LogEvent::Kind::kQuery;
  query.nextPosition = 300;
  query.database = (size & 2) != 0 ? "shop" : "crm";
  query.statement = text;
  query.status = status;
  if (collector.take(start)) collector.take(query);
  binlog::LogRead read;
  read.opened = read.filtersKnown = true;
  const binlog::Changes changes = collector.finish(read);
  if (changes.clean != changes.why.empty()) abort();
  return 0;
}
