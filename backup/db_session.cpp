#include "backup/db_session.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <mysql.h>

namespace db {

namespace {

struct ResultDeleter {
  void operator()(MYSQL_RES* result) const { mysql_free_result(result); }
};
using Result = std::unique_ptr<MYSQL_RES, ResultDeleter>;

const std::string kEmpty;

}  // namespace

int Rows::findColumn(const char* part) const {
  for (size_t i = 0; i < names_.size(); ++i)
    if (std::strstr(names_[i].c_str(), part) != nullptr) return static_cast<int>(i);
  return -1;
}

const std::string& Rows::text(size_t row, int column) const {
  if (column < 0 || static_cast<size_t>(column) >= names_.size()) return kEmpty;
  return values_[row * names_.size() + static_cast<size_t>(column)];
}

bool Rows::isNull(size_t row, int column) const {
  if (column < 0 || static_cast<size_t>(column) >= names_.size()) return true;
  return nulls_[row * names_.size() + static_cast<size_t>(column)];
}

RowCursor::RowCursor(st_mysql* connection) : connection_(connection) {}

RowCursor::RowCursor(RowCursor&& other) noexcept
    : connection_(other.connection_),
      result_(other.result_),
      fieldCount_(other.fieldCount_),
      values_(other.values_),
      lengths_(other.lengths_) {
  other.result_ = nullptr;
}

RowCursor::~RowCursor() {
  if (result_ != nullptr) mysql_free_result(result_);
}

bool RowCursor::next() {
  if (result_ == nullptr) return false;
  values_ = mysql_fetch_row(result_);
  if (values_ == nullptr) return false;
  lengths_ = mysql_fetch_lengths(result_);
  return true;
}

bool RowCursor::failed() const { return mysql_errno(connection_) != 0; }

bool Session::open() {
  close();
  connection_ = mysql_init(nullptr);
  return connection_ != nullptr;
}

bool Session::connect(const std::string& host, const std::string& user,
                      const std::string& password,
                      const std::string& database) {
  return connection_ != nullptr &&
         mysql_real_connect(connection_, host.c_str(), user.c_str(),
                            password.c_str(), database.c_str(), 0, nullptr,
                            0) != nullptr;
}

void Session::close() {
  if (connection_ == nullptr) return;
  mysql_close(connection_);
  connection_ = nullptr;
}

bool wholeNumber(const std::string& text, long long* number) {
  char* end = nullptr;
  *number = std::strtoll(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0';
}

bool Session::send(const std::string& statement) {
  return mysql_real_query(connection_, statement.data(),
                          static_cast<unsigned long>(statement.size())) == 0;
}

bool Session::execute(const std::string& statement) {
  if (!send(statement)) return false;
  Result dropped(mysql_store_result(connection_));
  return dropped != nullptr || mysql_field_count(connection_) == 0;
}

bool Session::select(const std::string& statement, Rows* rows) {
  *rows = Rows();
  if (!send(statement)) return false;
  Result result(mysql_store_result(connection_));
  if (!result) return false;
  const unsigned fields = mysql_num_fields(result.get());
  if (fields == 0) return false;
  MYSQL_FIELD* names = mysql_fetch_fields(result.get());
  for (unsigned i = 0; i < fields; ++i) rows->names_.emplace_back(names[i].name);
  const size_t count = mysql_num_rows(result.get());
  rows->values_.reserve(count * fields);
  rows->nulls_.reserve(count * fields);
  while (MYSQL_ROW row = mysql_fetch_row(result.get())) {
    const unsigned long* lengths = mysql_fetch_lengths(result.get());
    for (unsigned i = 0; i < fields; ++i) {
      rows->nulls_.push_back(row[i] == nullptr);
      rows->values_.emplace_back(row[i] == nullptr ? "" : row[i],
                                 row[i] == nullptr ? 0 : lengths[i]);
    }
  }
  return mysql_errno(connection_) == 0;
}

bool Session::selectNumber(const std::string& statement, long long* number) {
  Rows rows;
  return select(statement, &rows) && rows.size() > 0 && !rows.isNull(0, 0) &&
         wholeNumber(rows.text(0, 0), number);
}

Session::Answer Session::selectUnlessRefused(const std::string& statement,
                                             Rows* rows, unsigned refusal) {
  if (select(statement, rows)) return Answer::kRows;
  return errorNumber() == refusal ? Answer::kRefused : Answer::kFailed;
}

RowCursor Session::stream(const std::string& statement) {
  RowCursor cursor(connection_);
  if (!send(statement)) return cursor;
  cursor.result_ = mysql_use_result(connection_);
  if (cursor.result_ != nullptr) cursor.fieldCount_ = mysql_num_fields(cursor.result_);
  return cursor;
}

std::string Session::error() const {
  return connection_ == nullptr ? std::string() : mysql_error(connection_);
}

unsigned Session::errorNumber() const {
  return connection_ == nullptr ? 0 : mysql_errno(connection_);
}

std::string Session::serverVersion() const {
  return mysql_get_server_info(connection_);
}

bool Session::executesImmediate() const {
  constexpr unsigned long kFirstVersion = 100200;  // 10.2.0
  return connection_ != nullptr &&
         std::strstr(mysql_get_server_info(connection_), "MariaDB") != nullptr &&
         mysql_get_server_version(connection_) >= kFirstVersion;
}

std::string Session::characterSetName() const {
  return mysql_character_set_name(connection_);
}

bool Session::setCharacterSet(const std::string& name) {
  return mysql_set_character_set(connection_, name.c_str()) == 0;
}

CharacterSet Session::characterSet() const {
  MY_CHARSET_INFO info;
  mysql_get_character_set_info(connection_, &info);
  CharacterSet set;
  set.name = info.csname != nullptr ? info.csname : "";
  set.maxBytes = info.mbmaxlen;
  return set;
}

unsigned long Session::escape(char* to, const char* from,
                              unsigned long length) const {
  return mysql_real_escape_string(connection_, to, from, length);
}

}  // namespace db
