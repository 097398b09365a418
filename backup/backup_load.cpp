#include "backup/backup_load.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/db_session.h"

namespace backup_load {
namespace {

namespace bf = backup_format;
using load_plan::Plan;
using load_plan::TableLoad;

// Client errors (lost connection, server gone) begin here: a statement
// that failed with one is not tried again row by row.
constexpr unsigned kFirstClientError = 2000;
// Room for the packet's header and the statement around the rows.
constexpr long long kPacketRoom = 4096;
constexpr std::size_t kSmallestBatch = std::size_t{64} << 10;

// A statement of the file as it is sent: without the ';' that ends it.
std::string_view withoutSemicolon(std::string_view line) {
  return line.substr(0, line.size() - (line.empty() || line.back() != ';' ? 0 : 1));
}

// Rows of a table for one connection: all of them, or a piece.
struct Job {
  std::size_t table;
  load_plan::RowsPiece rows;
};

// What every connection shares while rows load.
class Shared {
 public:
  Shared(const Plan& plan, const std::atomic<bool>* stop)
      : plan(plan),
        afterRows(plan.tables.size()),
        splittable(plan.tables.size()),
        jobsLeft(plan.tables.size()),
        loaded(plan.tables.size()),
        stop_(stop),
        whole_(plan.tables.size()) {}

  bool stopped() const {
    return failed_.load(std::memory_order_relaxed) ||
           (stop_ != nullptr && stop_->load(std::memory_order_relaxed));
  }
  // Keeps the first failure only, to be told once the progress line is
  // gone; every later one follows from it.
  void fail(const std::string& line) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!failed_.exchange(true)) firstFailure_ = line;
  }
  void tellFailure() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!firstFailure_.empty()) console_text::printLine(firstFailure_);
  }
  void markWhole(std::size_t table) { whole_[table] = 1; }
  bool whole(std::size_t table) const { return whole_[table] != 0; }

  const Plan& plan;
  std::atomic<std::uint64_t> bytes{0};
  std::atomic<std::uint64_t> rows{0};
  std::atomic<std::size_t> tablesDone{0};
  std::atomic<std::size_t> nextJob{0};
  std::vector<Job> jobs;  // largest first
  std::size_t batchBytes = kBatchBytes;
  // Per table: what builds its held-back keys once its rows are in,
  // whether its rows may go in pieces, the pieces not done yet and the
  // rows the server took.
  std::vector<std::string> afterRows;
  std::vector<char> splittable;
  std::vector<std::atomic<std::size_t>> jobsLeft;
  std::vector<std::atomic<std::uint64_t>> loaded;
  std::mutex longRows;  // held while rows longer than a batch are sent

 private:
  const std::atomic<bool>* stop_;
  std::atomic<bool> failed_{false};
  std::mutex mutex_;
  std::string firstFailure_;
  std::vector<char> whole_;  // each written by one connection only
};

// One connection's loading of tables' rows: the file's row lines joined
// into INSERTs of many rows, up to the batch size, each row's values as
// the file holds them.
class RowLoader {
 public:
  RowLoader(const file_lines::PlainBytes& bytes, db::Session& session, Shared& shared)
      : bytes_(bytes), session_(session), shared_(shared) {
    batch_.reserve(shared.batchBytes);
  }

  void run() {
    for (;;) {
      const std::size_t next = shared_.nextJob.fetch_add(1);
      if (next >= shared_.jobs.size() || shared_.stopped()) return;
      const Job& job = shared_.jobs[next];
      // Rows longer than a batch are held whole: one connection at a time
      // holds such rows, and lets their memory go after them.
      std::unique_lock<std::mutex> longRows(shared_.longRows, std::defer_lock);
      if (job.rows.longestLine > shared_.batchBytes) longRows.lock();
      const bool sent = loadRows(shared_.plan.tables[job.table], job.rows);
      if (longRows.owns_lock()) buffer_.resize(0);
      longRows = {};
      if (!sent) return;
      shared_.loaded[job.table].fetch_add(loaded_);
      // The connection that ends a table's last piece finishes the table.
      if (shared_.jobsLeft[job.table].fetch_sub(1) == 1 && !finishTable(job.table)) return;
    }
  }

 private:
  struct RowAt {
    std::size_t offset;  // of its "(" in the batch
    std::uint64_t line;
  };

  // Sends rows of `table`, each as the file holds it, and commits them.
  bool loadRows(const TableLoad& table, const load_plan::RowsPiece& rows) {
    table_ = &table;
    loaded_ = 0;
    if (table.history && !send(withoutSemicolon(bf::kHistoryOnLine), rows.span.line - 1))
      return false;
    file_lines::FileLines lines(bytes_, rows.span.begin, rows.span.end, SIZE_MAX, &buffer_);
    file_lines::Line line;
    std::uint64_t number = rows.span.line - 1;
    std::string head;  // of a statement of several rows, and a blank
    while (lines.next(&line)) {
      ++number;
      pendingBytes_ += line.next - line.offset;
      const std::string_view text = line.text;
      if (bf::isRowLine(text)) {
        const std::size_t at = load_plan::valuesStart(text);
        if (at == std::string_view::npos) {
          head.assign(text).append(" ");
          continue;
        }
        if (!add(text.substr(0, at), withoutSemicolon(text.substr(at)), number)) return false;
      } else if (!add(head, text.substr(0, text.size() - 1), number)) {
        return false;
      }
    }
    if (lines.failed()) {
      shared_.fail(console_text::loadFailed(table.name, number + 1,
                                            console_text::kCheckUnreadable));
      return false;
    }
    if (!flush()) return false;
    if (table.history && !send(withoutSemicolon(bf::kHistoryOffLine), number)) return false;
    return send("COMMIT", number);
  }

  // After every row of a table is in: its held-back keys, and the count.
  bool finishTable(std::size_t index) {
    const TableLoad& table = shared_.plan.tables[index];
    table_ = &table;
    const std::string& afterRows = shared_.afterRows[index];
    if (!afterRows.empty() && !send(afterRows, table.structure.line)) return false;
    const std::uint64_t loaded = shared_.loaded[index].load();
    if (loaded != table.rowCount) {
      shared_.fail(console_text::loadRowsDiffer(table.name, loaded, table.rowCount));
      return false;
    }
    shared_.markWhole(index);
    shared_.tablesDone.fetch_add(1);
    return true;
  }

  // Adds a row to the batch: sends the batch first when the row is of
  // another statement head or would make it too long.
  bool add(std::string_view prefix, std::string_view values, std::uint64_t line) {
    if (!rows_.empty() &&
        (prefix != prefix_ || batch_.size() + 1 + values.size() > shared_.batchBytes) &&
        !flush())
      return false;
    if (rows_.empty()) {
      if (prefix.size() + values.size() > shared_.batchBytes)
        return sendAlone(prefix, values, line);
      prefix_.assign(prefix);
      batch_.assign(prefix);
    } else {
      batch_ += ',';
    }
    rows_.push_back({batch_.size(), line});
    batch_.append(values);
    return true;
  }

  // A row longer than a batch: sent as the file holds it, without a copy
  // where its line holds the statement whole.
  bool sendAlone(std::string_view prefix, std::string_view values, std::uint64_t line) {
    if (prefix.data() + prefix.size() == values.data())
      return sendRows(std::string_view(prefix.data(), prefix.size() + values.size()), line);
    std::string statement(prefix);
    statement.append(values);
    return sendRows(statement, line);
  }

  bool flush() {
    if (rows_.empty()) return true;
    const bool sent = session_.execute(batch_);
    if (sent) loaded_ += session_.affectedRows();
    const bool whole = sent || findFailedRow();
    shared_.rows.fetch_add(rows_.size(), std::memory_order_relaxed);
    shared_.bytes.fetch_add(pendingBytes_, std::memory_order_relaxed);
    pendingBytes_ = 0;
    rows_.clear();
    batch_.clear();
    return whole && !shared_.stopped();
  }

  // After a batch the server refused (and undid): its rows one by one, so
  // that the error names the row's line. Always false.
  bool findFailedRow() {
    std::string message = session_.error();
    std::uint64_t line = rows_.front().line;
    if (session_.errorNumber() < kFirstClientError) {
      for (std::size_t i = 0; i < rows_.size(); ++i) {
        const std::size_t end = i + 1 < rows_.size() ? rows_[i + 1].offset - 1 : batch_.size();
        const std::string row =
            prefix_ + batch_.substr(rows_[i].offset, end - rows_[i].offset);
        if (session_.execute(row)) continue;
        message = session_.error();
        line = rows_[i].line;
        break;
      }
    }
    shared_.fail(console_text::loadFailed(table_->name, line, message));
    return false;
  }

  bool sendRows(std::string_view statement, std::uint64_t line) {
    if (!send(statement, line)) return false;
    loaded_ += session_.affectedRows();
    shared_.rows.fetch_add(1, std::memory_order_relaxed);
    return true;
  }

  bool send(std::string_view statement, std::uint64_t line) {
    if (session_.execute(statement)) return !shared_.stopped();
    shared_.fail(console_text::loadFailed(table_->name, line, session_.error()));
    return false;
  }

  const file_lines::PlainBytes& bytes_;
  db::Session& session_;
  Shared& shared_;
  const TableLoad* table_ = nullptr;
  file_lines::LineBuffer buffer_;  // the file's block, kept from table to table
  std::string batch_;
  std::string prefix_;  // of the rows in the batch
  std::vector<RowAt> rows_;
  std::uint64_t loaded_ = 0;
  std::uint64_t pendingBytes_ = 0;
};

// The database's name as a string literal of the session's character set.
std::string quotedText(const db::Session& session, const std::string& text) {
  std::string escaped(text.size() * 2 + 1, '\0');
  escaped.resize(session.escape(&escaped[0], text.data(),
                                static_cast<unsigned long>(text.size())));
  return "'" + escaped + "'";
}

bool connectTo(db::Session& session, const Target& target, const std::string& database,
               const std::vector<std::string>& sessionStatements) {
  if (!session.open() ||
      !session.connect(target.host, target.user, target.password, database)) {
    console_text::printLine(console_text::error(session.error()));
    return false;
  }
  for (const std::string& statement : sessionStatements)
    if (!session.execute(statement)) {
      console_text::printLine(console_text::error(session.error()));
      return false;
    }
  return true;
}

// Creates a missing database; refuses one that holds anything unless the
// target says to replace it.
bool prepareDatabase(db::Session& session, const Target& target) {
  const std::string name = quotedText(session, target.database);
  long long found = 0;
  if (!session.selectNumber(
          "SELECT COUNT(*) FROM information_schema.SCHEMATA WHERE SCHEMA_NAME = " + name,
          &found)) {
    console_text::printLine(console_text::error(session.error()));
    return false;
  }
  const std::string quoted = bf::quoteIdentifier(target.database);
  if (found == 0) {
    console_text::printLine(console_text::loadCreatingDatabase(target.database));
    if (!session.execute("CREATE DATABASE " + quoted)) {
      console_text::printLine(console_text::error(session.error()));
      return false;
    }
  } else {
    long long held = 0;
    if (!session.selectNumber(
            "SELECT (SELECT COUNT(*) FROM information_schema.TABLES WHERE TABLE_SCHEMA = " +
                name + ") + (SELECT COUNT(*) FROM information_schema.ROUTINES WHERE "
                "ROUTINE_SCHEMA = " + name + ") + (SELECT COUNT(*) FROM "
                "information_schema.EVENTS WHERE EVENT_SCHEMA = " + name + ")",
            &held)) {
      console_text::printLine(console_text::error(session.error()));
      return false;
    }
    if (held > 0 && !target.replace) {
      console_text::printLine(console_text::loadNotEmpty(target.database));
      return false;
    }
    if (held > 0) console_text::printLine(console_text::loadReplacing(target.database));
  }
  if (session.execute("USE " + quoted)) return true;
  console_text::printLine(console_text::error(session.error()));
  return false;
}

// Sends the statements of a span in order; the first refused one is told
// with `name` and its line. With `afterRows`, a CREATE TABLE is sent with
// its plain keys held back, and *afterRows gets what adds them.
bool sendStatements(const file_lines::PlainBytes& bytes, db::Session& session,
                    const load_plan::Span& span, const std::string& name,
                    std::string* afterRows = nullptr, char* splittable = nullptr) {
  load_plan::StatementLines statements(bytes, span);
  std::string statement;
  std::uint64_t line = 0;
  while (statements.next(&statement, &line)) {
    std::string beforeRows;
    if (afterRows != nullptr && statement.compare(0, sizeof(bf::kCreateTableStart) - 1,
                                                  bf::kCreateTableStart) == 0) {
      *splittable = load_plan::rowsSplittable(statement);
      load_plan::KeysHeldBack held = load_plan::holdBackKeys(statement, name);
      statement = std::move(held.create);
      beforeRows = std::move(held.beforeRows);
      *afterRows = std::move(held.afterRows);
    }
    if (!session.execute(statement) || (!beforeRows.empty() && !session.execute(beforeRows))) {
      console_text::printLine(console_text::loadFailed(name, line, session.error()));
      return false;
    }
  }
  if (statements.refusal().empty()) return true;
  console_text::printLine(
      console_text::loadRefused(statements.refusalLine(), statements.refusal()));
  return false;
}

bool createTables(const file_lines::PlainBytes& bytes, const Plan& plan,
                  db::Session& session, bool replace, Shared* shared, std::size_t* created) {
  for (std::size_t i = 0; i < plan.tables.size(); ++i) {
    const TableLoad& table = plan.tables[i];
    if (replace && !session.execute(bf::dropLine(table.name, false))) {
      console_text::printLine(
          console_text::loadFailed(table.name, table.structure.line, session.error()));
      return false;
    }
    std::string* afterRows = table.rows.empty() ? nullptr : &shared->afterRows[i];
    if (!sendStatements(bytes, session, table.structure, table.name, afterRows,
                        &shared->splittable[i]))
      return false;
    ++*created;
  }
  return true;
}

// Runs the row loaders, showing progress until every one has ended.
void loadRows(const file_lines::PlainBytes& bytes, std::vector<std::unique_ptr<db::Session>>& sessions,
              Shared& shared, const ProgressShown& shown) {
  std::mutex mutex;
  std::condition_variable ended;
  std::size_t running = sessions.size();
  std::vector<std::thread> threads;
  for (auto& session : sessions)
    threads.emplace_back([&, s = session.get()] {
      RowLoader(bytes, *s, shared).run();
      std::lock_guard<std::mutex> lock(mutex);
      --running;
      ended.notify_all();
    });
  Progress progress;
  progress.tables = shared.plan.tables.size();
  for (const TableLoad& table : shared.plan.tables)
    progress.totalBytes += table.rows.end - table.rows.begin;
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!ended.wait_for(lock, std::chrono::milliseconds(250), [&] { return running == 0; })) {
      if (!shown) continue;
      progress.bytes = shared.bytes.load();
      progress.rows = shared.rows.load();
      progress.tablesDone = shared.tablesDone.load();
      lock.unlock();
      shown(progress);
      lock.lock();
    }
  }
  for (std::thread& thread : threads) thread.join();
  if (shown) {
    progress.finished = true;
    shown(progress);
  }
  shared.tellFailure();
}

void tellIncomplete(const Plan& plan, const Shared& shared, std::size_t created,
                    std::size_t objectsMissing) {
  std::size_t whole = 0;
  for (std::size_t i = 0; i < plan.tables.size(); ++i) {
    const bool rowsIn = plan.tables[i].rows.empty() || shared.whole(i);
    if (i < created && rowsIn) {
      ++whole;
    } else {
      console_text::printLine(console_text::loadIncomplete(plan.tables[i].name));
    }
  }
  if (objectsMissing > 0)
    console_text::printLine(console_text::loadObjectsMissing(objectsMissing));
  console_text::printLine(console_text::loadAborted(whole, plan.tables.size()));
}

// The rows to send: a table's pieces where they may go over several
// connections, else the table's rows whole; largest first.
void planJobs(const Plan& plan, Shared* shared) {
  for (std::size_t i = 0; i < plan.tables.size(); ++i) {
    const TableLoad& table = plan.tables[i];
    if (table.rows.empty()) continue;
    if (shared->splittable[i]) {
      for (const load_plan::RowsPiece& piece : table.pieces) shared->jobs.push_back({i, piece});
    } else {
      load_plan::RowsPiece whole{table.rows, table.rowCount, 0};
      for (const load_plan::RowsPiece& piece : table.pieces)
        whole.longestLine = std::max(whole.longestLine, piece.longestLine);
      shared->jobs.push_back({i, whole});
    }
    shared->jobsLeft[i] = shared->splittable[i] ? table.pieces.size() : 1;
  }
  std::stable_sort(shared->jobs.begin(), shared->jobs.end(), [](const Job& a, const Job& b) {
    return a.rows.span.end - a.rows.span.begin > b.rows.span.end - b.rows.span.begin;
  });
}

std::size_t mostJobs(const Plan& plan) {
  std::size_t pieces = 0;
  for (const TableLoad& table : plan.tables) pieces += table.pieces.size();
  return pieces;
}

}  // namespace

int fittingConnections(const Target& target) {
  // The server's thread_pool_size defaults to its processors: a count of
  // the server's own, wherever the program runs. Without an answer, this
  // machine's.
  long long processors = 0;
  db::Session session;
  if (!session.open() || !session.connect(target.host, target.user, target.password, "") ||
      !session.selectNumber("SELECT @@thread_pool_size", &processors) || processors <= 0)
    processors = std::thread::hardware_concurrency();
  return static_cast<int>(std::min(8LL, std::max(2LL, processors)));
}

bool load(const file_lines::PlainBytes& bytes, const Plan& plan, const Target& target,
          const ProgressShown& shown, const std::atomic<bool>* stop) {
  const auto start = std::chrono::steady_clock::now();
  db::Session main;
  if (!connectTo(main, target, "", plan.sessionStatements) ||
      !prepareDatabase(main, target))
    return false;
  Shared shared(plan, stop);
  long long packet = 0;
  if (main.selectNumber("SELECT @@max_allowed_packet", &packet))
    shared.batchBytes = static_cast<std::size_t>(std::max<long long>(
        kSmallestBatch, std::min<long long>(kBatchBytes, packet - kPacketRoom)));
  const int asked = target.connections > 0 ? target.connections : fittingConnections(target);
  const std::size_t count =
      std::min<std::size_t>(static_cast<std::size_t>(asked), mostJobs(plan));
  std::vector<std::unique_ptr<db::Session>> sessions;
  bool ready = true;
  for (std::size_t i = 0; i < count && ready; ++i) {
    sessions.push_back(std::make_unique<db::Session>());
    ready = connectTo(*sessions.back(), target, target.database, plan.sessionStatements);
  }
  std::size_t created = 0;
  ready = ready && createTables(bytes, plan, main, target.replace, &shared, &created);
  if (ready) {
    planJobs(plan, &shared);
    loadRows(bytes, sessions, shared, shown);
  }
  sessions.clear();
  std::size_t objects = 0;
  bool whole = ready && !shared.stopped();
  for (const load_plan::ObjectLoad& object : plan.objects) {
    if (!whole) break;
    whole = sendStatements(bytes, main, object.statements, object.name) &&
            !(stop != nullptr && stop->load());
    objects += whole ? 1 : 0;
  }
  whole = whole && main.execute("COMMIT");
  if (stop != nullptr && stop->load()) console_text::printLine(console_text::kLoadStopped);
  if (!whole) {
    tellIncomplete(plan, shared, created, plan.objects.size() - objects);
    return false;
  }
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::uint64_t rows = 0;
  for (const TableLoad& table : plan.tables) rows += table.rowCount;
  console_text::printLine(
      console_text::loadSummary(plan.tables.size(), rows, objects, took.count()));
  return true;
}

}  // namespace backup_load
