// The one door to the server: a client connection and the few forms of
// query the engine asks. No other file of the product sees the client
// library; every result is freed when its owner goes, on every path.
#ifndef VKT_BACKUP_DB_SESSION_H_
#define VKT_BACKUP_DB_SESSION_H_

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "backup/binlog.h"

struct st_mysql;
struct st_mysql_res;

namespace db {

// The server's error numbers for a refused privilege.
constexpr unsigned kNoPrivilege = 1227;      // needs a global privilege
constexpr unsigned kNoDatabaseRight = 1044;  // no access to the database
// The server's error number for a lock not granted within lock_wait_timeout.
constexpr unsigned kLockWaitTimeout = 1205;

// An answer read whole: its column names and its rows' values, copied out
// of the client library. A NULL reads as "" and tells itself by isNull().
class Rows {
 public:
  size_t size() const { return nulls_.size() / columnCount(); }
  size_t columnCount() const { return names_.empty() ? 1 : names_.size(); }
  const std::string& columnName(size_t column) const { return names_[column]; }
  // The first column whose name contains `part`, or -1.
  int findColumn(const char* part) const;
  // "" for a NULL and for a column that is not there (-1 among them).
  const std::string& text(size_t row, int column) const;
  bool isNull(size_t row, int column) const;

 private:
  friend class Session;
  std::vector<std::string> names_;
  std::vector<std::string> values_;  // row after row
  std::vector<bool> nulls_;
};

// The rows of one query, one at a time, as the client library hands them
// over: nothing of the answer is held but the current row. The session
// takes no other query until the cursor is gone.
class RowCursor {
 public:
  RowCursor(RowCursor&& other) noexcept;
  RowCursor& operator=(RowCursor&&) = delete;
  RowCursor(const RowCursor&) = delete;
  ~RowCursor();

  // False when the query failed: the session's error() tells why.
  bool started() const { return result_ != nullptr; }
  unsigned fieldCount() const { return fieldCount_; }
  // The next row; false after the last one, or when the fetch failed.
  bool next();
  // The current row's values (nullptr for a NULL) and their lengths.
  const char* const* values() const { return values_; }
  const unsigned long* lengths() const { return lengths_; }
  // True when the rows ended by an error, not by their end: the two look
  // alike to next().
  bool failed() const;

 private:
  friend class Session;
  explicit RowCursor(st_mysql* connection);
  st_mysql* connection_;
  st_mysql_res* result_ = nullptr;
  unsigned fieldCount_ = 0;
  char** values_ = nullptr;
  unsigned long* lengths_ = nullptr;
};

// Reads all of `text` as a whole decimal number; false when it is not one.
bool wholeNumber(const std::string& text, long long* number);

// The connection's character set as escaping sees it.
struct CharacterSet {
  std::string name;
  unsigned maxBytes = 1;  // the most bytes of one character
};

class Session {
 public:
  Session() = default;
  ~Session() { close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Makes the client handle; false when there is no memory for it.
  bool open();
  bool isOpen() const { return connection_ != nullptr; }
  // Connects the handle made by open() to `database`.
  bool connect(const std::string& host, const std::string& user,
               const std::string& password, const std::string& database);
  // Closes the connection; the server lets go of its locks.
  void close();

  // Runs a statement; an answer with rows is read and dropped.
  bool execute(std::string_view statement);
  // The rows the last statement changed or inserted.
  unsigned long long affectedRows() const;
  // Runs a query and reads its whole answer into *rows.
  bool select(const std::string& statement, Rows* rows);
  // The first value of the first row as a whole number.
  bool selectNumber(const std::string& statement, long long* number);
  // How a query ended that the server may refuse for a missing right.
  enum class Answer { kRows, kRefused, kFailed };
  // select(), telling a refusal with the error number `refusal` apart
  // from any other failure.
  Answer selectUnlessRefused(const std::string& statement, Rows* rows,
                             unsigned refusal = kNoPrivilege);
  // Streams the answer of a query row by row.
  RowCursor stream(const std::string& statement);

  // The last error, as the server or the client library says it.
  std::string error() const;
  unsigned errorNumber() const;
  std::string serverVersion() const;
  // Whether the server runs EXECUTE IMMEDIATE: MariaDB 10.2 and later.
  bool executesImmediate() const;
  std::string characterSetName() const;
  // Makes `name` the connection's character set, on both sides: the
  // server's and the one escaping uses.
  bool setCharacterSet(const std::string& name);
  CharacterSet characterSet() const;
  // Escapes `length` bytes of `from` into `to` (room for 2 * length + 1)
  // for a quoted value in the connection's character set; the escaped
  // length.
  unsigned long escape(char* to, const char* from, unsigned long length) const;

 private:
  // Sends `statement`; false when the server refused it.
  bool send(std::string_view statement);

  st_mysql* connection_ = nullptr;
};

// Reads the server's binary log from `file` at `position` on a connection
// of its own (the `REPLICATION SLAVE` privilege), handing each event to
// `visit` until it returns false or the log ends: it never waits for
// events to come. The client library checks each event's checksum.
binlog::LogRead readLog(const std::string& host, const std::string& user,
                        const std::string& password, const std::string& file,
                        unsigned long long position,
                        const std::function<bool(const binlog::LogEvent&)>& visit);

}  // namespace db

#endif  // VKT_BACKUP_DB_SESSION_H_
