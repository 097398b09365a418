#include "backup/create_table.h"

#include <cctype>
#include <string>
#include <unordered_set>
#include <vector>

#include "backup/backup_format.h"
#include "backup/sql_lexer.h"

namespace create_table {
namespace {

using Kind = sql_lexer::Token::Kind;
using Token = sql_lexer::Token;

class Reader {
 public:
  Reader(std::string_view create, std::vector<Token> tokens, Storage* storage)
      : create_(create), tokens_(std::move(tokens)), storage_(storage) {}

  bool create() {
    if (!word("CREATE")) return false;
    if (word("SEQUENCE")) return sequence();
    if (!word("TABLE") || !name() || !punctuation('(')) return false;
    if (!columns()) return false;
    while (at_ < tokens_.size())
      if (!option() && !partitioning()) return false;
    return true;
  }

 private:
  // Keeps the option whose name is `name` and whose value is the token at
  // `value` (kNoValue: none).
  static constexpr std::size_t kNoValue = static_cast<std::size_t>(-1);
  void keep(const std::string& name, std::size_t value) {
    if (storage_ == nullptr) return;
    storage_->options.emplace_back(upper(name),
                                   value == kNoValue ? "" : upper(valueText(tokens_[value])));
  }

  // A word as it stands, a string's text where it is a plain word in
  // quotes; "" otherwise.
  std::string valueText(const Token& token) const {
    if (token.kind == Kind::kWord) return token.text;
    if (token.kind != Kind::kString || token.end < 2 || token.end > create_.size() ||
        create_[token.end - 1] != '\'')
      return "";
    std::size_t from = token.end - 1;
    while (from > 0 && (std::isalnum(static_cast<unsigned char>(create_[from - 1])) ||
                        create_[from - 1] == '_'))
      --from;
    if (from == 0 || create_[from - 1] != '\'') return "";
    return std::string(create_.substr(from, token.end - 1 - from));
  }

  static std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
  }

  bool word(const char* text) {
    if (at_ >= tokens_.size() || tokens_[at_].kind != Kind::kWord || tokens_[at_].text != text)
      return false;
    ++at_;
    return true;
  }
  bool punctuation(char c) {
    if (at_ >= tokens_.size() || tokens_[at_].kind != Kind::kPunctuation ||
        tokens_[at_].text[0] != c)
      return false;
    ++at_;
    return true;
  }
  bool name() {
    if (at_ >= tokens_.size() ||
        (tokens_[at_].kind != Kind::kName && tokens_[at_].kind != Kind::kWord))
      return false;
    ++at_;
    return true;
  }

  // Past the parentheses opened just before `at_`.
  bool group() {
    for (int depth = 1; at_ < tokens_.size(); ++at_) {
      if (tokens_[at_].kind != Kind::kPunctuation) continue;
      if (tokens_[at_].text[0] == '(') ++depth;
      if (tokens_[at_].text[0] == ')' && --depth == 0) {
        ++at_;
        return true;
      }
    }
    return false;
  }

  // The columns and keys, each led as the server leads them, up to the
  // closing parenthesis.
  bool columns() {
    static const std::unordered_set<std::string> kLeads = {
        "PRIMARY", "UNIQUE", "KEY",   "INDEX",  "FULLTEXT", "SPATIAL",
        "CONSTRAINT", "FOREIGN", "CHECK", "PERIOD", "VECTOR"};
    for (;;) {
      if (at_ >= tokens_.size()) return false;
      const Token& lead = tokens_[at_];
      if (lead.kind != Kind::kName && !(lead.kind == Kind::kWord && kLeads.count(lead.text)))
        return false;
      for (int depth = 0;; ++at_) {
        if (at_ >= tokens_.size()) return false;
        if (tokens_[at_].kind != Kind::kPunctuation) continue;
        const char c = tokens_[at_].text[0];
        if (c == '(') ++depth;
        if (c == ')' && depth-- == 0) {
          ++at_;
          return true;
        }
        if (c == ',' && depth == 0) {
          ++at_;
          break;
        }
      }
    }
  }

  // A sequence as the server prints it: its type where it has one, its
  // values, then table options.
  bool sequence() {
    if (!name()) return false;
    if (word("AS")) {
      if (!(word("TINYINT") || word("SMALLINT") || word("MEDIUMINT") || word("INT") ||
            word("INTEGER") || word("BIGINT")))
        return false;
      word("UNSIGNED");
    }
    if (!(word("START") && word("WITH") && number() && word("MINVALUE") && number() &&
          word("MAXVALUE") && number() && word("INCREMENT") && word("BY") && number()))
      return false;
    if (!word("NOCACHE") && !(word("CACHE") && number())) return false;
    if (!word("CYCLE") && !word("NOCYCLE")) return false;
    while (at_ < tokens_.size())
      if (!option()) return false;
    return true;
  }

  // An integer, with its sign where it has one.
  bool number() {
    punctuation('-');
    if (at_ >= tokens_.size() || tokens_[at_].kind != Kind::kWord) return false;
    for (const char c : tokens_[at_].text)
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    ++at_;
    return true;
  }

  // One table option: name=value, where a name may be two words.
  bool option() {
    const std::size_t start = at_;
    if (at_ < tokens_.size() && tokens_[at_].kind == Kind::kVersionedComment) {
      ++at_;  // the partitioning of older servers' form
      return true;
    }
    if (word("WITH")) {
      if (word("SYSTEM") && word("VERSIONING")) return true;
      at_ = start;
      return false;
    }
    // MySQL's general tablespaces: TABLESPACE `ts` [STORAGE DISK].
    if (word("TABLESPACE")) {
      if (!name()) {
        at_ = start;
        return false;
      }
      if (word("STORAGE") && !name()) {
        at_ = start;
        return false;
      }
      return true;
    }
    if (word("DEFAULT") || word("DATA") || word("INDEX")) {
      if (!(word("CHARSET") || word("COLLATE") || word("DIRECTORY") ||
            (word("CHARACTER") && word("SET")))) {
        at_ = start;
        return false;
      }
    } else if (word("CHARACTER")) {
      if (!word("SET")) {
        at_ = start;
        return false;
      }
    } else if (!(at_ < tokens_.size() && !word("PARTITION") && name())) {
      at_ = start;
      return false;
    }
    const std::string name = tokens_[at_ - 1].text;  // the last word of the name
    if (!punctuation('=')) {
      at_ = start;
      return false;
    }
    if (punctuation('(')) {
      keep(name, kNoValue);  // UNION=(...)
      return group();
    }
    if (at_ >= tokens_.size() || tokens_[at_].kind == Kind::kPunctuation) {
      at_ = start;
      return false;
    }
    keep(name, at_++);  // a word, a number, a name or a string
    return true;
  }


  // PARTITION BY ... with its partitions: the words of a partitioning,
  // numbers, strings, "=" and groups, to the end.
  bool partitioning() {
    if (!word("PARTITION") || !word("BY")) return false;
    if (storage_ != nullptr) storage_->partitioned = true;
    static const std::unordered_set<std::string> kWords = {
        "LINEAR", "HASH", "KEY", "RANGE", "LIST", "COLUMNS", "ALGORITHM", "SYSTEM_TIME",
        "INTERVAL", "LIMIT", "STARTS", "AUTO", "SECOND", "MINUTE", "HOUR", "DAY", "WEEK",
        "MONTH", "QUARTER", "YEAR", "TIMESTAMP", "PARTITIONS", "SUBPARTITION", "SUBPARTITIONS",
        "BY"};
    while (at_ < tokens_.size()) {
      const Token& t = tokens_[at_];
      if (t.kind == Kind::kPunctuation) {
        if (t.text[0] == '(') {
          ++at_;
          if (!group()) return false;
          continue;
        }
        if (t.text[0] != '=') return false;
      } else if (t.kind == Kind::kWord) {
        const bool number = std::isdigit(static_cast<unsigned char>(t.text[0])) != 0;
        if (!number && kWords.count(t.text) == 0) return false;
      } else if (t.kind != Kind::kString && t.kind != Kind::kVersionedComment) {
        return false;
      }
      ++at_;
    }
    return true;
  }

  std::string_view create_;
  std::vector<Token> tokens_;
  Storage* storage_;
  std::size_t at_ = 0;
};

// The engines that `tokens` name, the table's and its partitions', each
// as a bare word after ENGINE and "=", as the server prints them; false
// for an ENGINE followed by anything else.
bool readEngines(const std::vector<Token>& tokens, std::vector<std::string>* engines) {
  for (std::size_t i = 0; i < tokens.size(); ++i) {
    if (tokens[i].kind != Kind::kWord || tokens[i].text != "ENGINE") continue;
    std::size_t at = i + 1;
    if (at < tokens.size() && tokens[at].kind == Kind::kPunctuation && tokens[at].text == "=") ++at;
    if (at >= tokens.size() || tokens[at].kind != Kind::kWord) return false;
    engines->push_back(tokens[at].text);
  }
  return true;
}

}  // namespace

bool readsAsPrinted(std::string_view create, Storage* storage) {
  std::vector<Token> tokens;
  Storage read;
  if (!sql_lexer::readKeywordTokens(create, 0, &tokens) ||
      !readEngines(tokens, &read.engines) ||
      !Reader(create, std::move(tokens), &read).create())
    return false;
  if (storage != nullptr) *storage = std::move(read);
  return true;
}

bool keepsOwnRows(const Storage& storage) {
  bool connect = false;
  for (const std::string& engine : storage.engines) {
    if (backup_format::keepsRowsElsewhere(engine)) return false;
    connect = connect || engine == "CONNECT";
  }
  if (!connect) return true;
  // A CONNECT table holds rows of its own only in a file of one of these
  // types that it makes itself, beside its definition, and drops with it:
  // no FILE_NAME (a file of anyone's), no CONNECTION or other source.
  static const std::unordered_set<std::string> kFileTypes = {
      "DOS", "FIX", "BIN", "CSV", "FMT", "DBF", "VEC", "JSON", "XML", "INI"};
  static const std::unordered_set<std::string> kOptions = {
      "ENGINE", "CHARSET", "COLLATE", "COMMENT", "TABLE_TYPE", "SEP_CHAR",
      "QUOTED", "HEADER", "LRECL", "DATA_CHARSET", "ENDING"};
  if (storage.partitioned || storage.engines.size() != 1) return false;
  bool ownFile = false;
  for (const auto& [name, value] : storage.options) {
    if (kOptions.count(name) == 0) return false;
    if (name == "TABLE_TYPE") ownFile = kFileTypes.count(value) != 0;
  }
  return ownFile;
}

Columns columnsOf(std::string_view create) {
  Columns columns;
  std::string name;
  for (std::size_t at = create.find('\n'); at != std::string_view::npos;
       at = create.find('\n', at + 1)) {
    std::size_t from = at + 3;
    if (create.compare(at + 1, 2, "  ") != 0 ||
        !backup_format::readQuotedIdentifier(create, &from, &name))
      continue;
    columns.names.push_back(name);
    const std::string_view rest = create.substr(from, create.find('\n', from) - from);
    if (rest.find(" AS ROW START") != std::string_view::npos) columns.periodStart = name;
    if (rest.find(" AS ROW END") != std::string_view::npos) columns.periodEnd = name;
  }
  return columns;
}

}  // namespace create_table
