#include "backup/db_session.h"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <mysql.h>
#include <mariadb_rpl.h>

namespace db {

using binlog::LogEvent;
using binlog::LogRead;

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
  if (connection_ == nullptr) return false;
  // No statement this program sends reads a file of this machine.
  const unsigned int off = 0;
  mysql_optionsv(connection_, MYSQL_OPT_LOCAL_INFILE, &off);
  return true;
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

bool Session::send(std::string_view statement) {
  return mysql_real_query(connection_, statement.data(),
                          static_cast<unsigned long>(statement.size())) == 0;
}

bool Session::execute(std::string_view statement) {
  if (!send(statement)) return false;
  Result dropped(mysql_store_result(connection_));
  return dropped != nullptr || mysql_field_count(connection_) == 0;
}

unsigned long long Session::affectedRows() const {
  return mysql_affected_rows(connection_);
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

namespace {

struct ConnectionCloser {
  void operator()(MYSQL* connection) const { mysql_close(connection); }
};
struct StreamCloser {
  void operator()(MARIADB_RPL* stream) const { mariadb_rpl_close(stream); }
};
struct EventFreer {
  void operator()(MARIADB_RPL_EVENT* event) const { mariadb_free_rpl_event(event); }
};

std::string_view view(const MARIADB_STRING& text) {
  return text.str == nullptr ? std::string_view() : std::string_view(text.str, text.length);
}

LogEvent::Kind kindOf(enum mariadb_rpl_event type) {
  switch (type) {
    case ROTATE_EVENT: return LogEvent::Kind::kRotate;
    case FORMAT_DESCRIPTION_EVENT: return LogEvent::Kind::kFormat;
    case QUERY_EVENT: return LogEvent::Kind::kQuery;
    case TABLE_MAP_EVENT: return LogEvent::Kind::kTableMap;
    case WRITE_ROWS_EVENT_V1: case UPDATE_ROWS_EVENT_V1: case DELETE_ROWS_EVENT_V1:
    case WRITE_ROWS_EVENT: case UPDATE_ROWS_EVENT: case DELETE_ROWS_EVENT:
    case WRITE_ROWS_COMPRESSED_EVENT_V1: case UPDATE_ROWS_COMPRESSED_EVENT_V1:
    case DELETE_ROWS_COMPRESSED_EVENT_V1: case WRITE_ROWS_COMPRESSED_EVENT:
    case UPDATE_ROWS_COMPRESSED_EVENT: case DELETE_ROWS_COMPRESSED_EVENT:
      return LogEvent::Kind::kRows;
    // What frames a transaction or a file, or belongs to the statement of
    // a query event (its insert id, random seeds, user variables).
    case GTID_EVENT: case GTID_LIST_EVENT: case BINLOG_CHECKPOINT_EVENT:
    case XID_EVENT: case ANNOTATE_ROWS_EVENT: case HEARTBEAT_LOG_EVENT:
    case INTVAR_EVENT: case RAND_EVENT: case USER_VAR_EVENT: case XA_PREPARE_LOG_EVENT:
      return LogEvent::Kind::kFraming;
    case STOP_EVENT: return LogEvent::Kind::kStop;
    default: return LogEvent::Kind::kUnknown;
  }
}

LogEvent eventOf(const MARIADB_RPL_EVENT& raw) {
  LogEvent event;
  event.kind = kindOf(raw.event_type);
  event.type = static_cast<int>(raw.event_type);
  event.timestamp = raw.timestamp;
  event.nextPosition = raw.next_event_pos;
  switch (event.kind) {
    case LogEvent::Kind::kRotate:
      event.file = view(raw.event.rotate.filename);
      event.rotatePosition = raw.event.rotate.position;
      break;
    case LogEvent::Kind::kQuery:
      event.database = view(raw.event.query.database);
      event.statement = view(raw.event.query.statement);
      event.status = view(raw.event.query.status);
      break;
    case LogEvent::Kind::kTableMap:
      event.database = view(raw.event.table_map.database);
      event.table = view(raw.event.table_map.table);
      break;
    default: break;
  }
  return event;
}

// The filters that keep databases out of the log, as SHOW MASTER STATUS
// lists them (it needs BINLOG MONITOR).
void readFilters(MYSQL* connection, LogRead* read) {
  if (mysql_query(connection, "SHOW MASTER STATUS") != 0) return;
  Result result(mysql_store_result(connection));
  if (!result) return;
  MYSQL_ROW row = mysql_fetch_row(result.get());
  const unsigned fields = mysql_num_fields(result.get());
  if (row == nullptr || fields < 4) return;
  read->filtersKnown = true;
  for (unsigned i = 2; i < 4; ++i)
    if (row[i] != nullptr && row[i][0] != '\0')
      read->filters += std::string(read->filters.empty() ? "" : " ") + row[i];
}

void failWith(MYSQL* connection, LogRead* read) {
  read->error = mysql_errno(connection);
  read->message = mysql_error(connection);
}

}  // namespace

LogRead readLog(const std::string& host, const std::string& user,
                const std::string& password, const std::string& file,
                unsigned long long position,
                const std::function<bool(const LogEvent&)>& visit) {
  LogRead read;
  std::unique_ptr<MYSQL, ConnectionCloser> connection(mysql_init(nullptr));
  if (!connection) return read;
  if (mysql_real_connect(connection.get(), host.c_str(), user.c_str(),
                         password.c_str(), nullptr, 0, nullptr, 0) == nullptr) {
    failWith(connection.get(), &read);
    return read;
  }
  readFilters(connection.get(), &read);
  // The server sends events with the checksum it writes, and MariaDB's own
  // events (GTIDs, annotations) only to a reader that says it knows them.
  if (mysql_query(connection.get(),
                  "SET @master_binlog_checksum=@@global.binlog_checksum") != 0 ||
      mysql_query(connection.get(), "SET @mariadb_slave_capability=4") != 0) {
    failWith(connection.get(), &read);
    return read;
  }
  std::unique_ptr<MARIADB_RPL, StreamCloser> stream(mariadb_rpl_init(connection.get()));
  if (!stream) {
    failWith(connection.get(), &read);
    return read;
  }
  // Server id 0 and the non-blocking flag: a reader that no replica's
  // id can clash with, and a stream that ends at the end of the log.
  const unsigned int flags = MARIADB_RPL_BINLOG_DUMP_NON_BLOCK;
  if (mariadb_rpl_optionsv(stream.get(), MARIADB_RPL_FILENAME, file.c_str(),
                           file.size()) != 0 ||
      mariadb_rpl_optionsv(stream.get(), MARIADB_RPL_START,
                           static_cast<unsigned long>(position)) != 0 ||
      mariadb_rpl_optionsv(stream.get(), MARIADB_RPL_SERVER_ID, 0u) != 0 ||
      mariadb_rpl_optionsv(stream.get(), MARIADB_RPL_FLAGS, flags) != 0 ||
      mariadb_rpl_open(stream.get()) != 0) {
    failWith(connection.get(), &read);
    return read;
  }
  read.opened = true;
  // Each event is fetched into a new one: the library frees the event it
  // is handed when a packet is damaged.
  for (;;) {
    std::unique_ptr<MARIADB_RPL_EVENT, EventFreer> event(
        mariadb_rpl_fetch(stream.get(), nullptr));
    if (!event) break;
    if (!visit(eventOf(*event))) return read;
  }
  // The end of the log, or an error.
  if (mysql_errno(connection.get()) != 0) failWith(connection.get(), &read);
  else if (mariadb_rpl_errno(stream.get()) != 0) {
    read.error = mariadb_rpl_errno(stream.get());
    read.message = mariadb_rpl_error(stream.get());
  }
  return read;
}

}  // namespace db
