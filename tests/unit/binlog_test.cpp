// The tables the server's binary log shows changed: event sequences as the
// log reader hands them over, one row per rule.
#include "backup/binlog.h"
#include "backup/log_statement.h"
#include "backup/sql_lexer.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using Kind = binlog::LogEvent::Kind;

constexpr unsigned kStart = 1714557600;
constexpr unsigned kUtf8mb4 = 45;
constexpr unsigned kGbk = 28;

// A query event's status block as the server writes it: flags, sql_mode,
// then the client's character set with the connection's and server's
// collations. Each event's block must outlive its event.
std::string status(unsigned long long sqlMode = 0, unsigned collation = kUtf8mb4) {
  std::string block = std::string("\0\0\0\0\0", 5) + '\1';
  for (int i = 0; i < 8; ++i) block += static_cast<char>((sqlMode >> (8 * i)) & 0xFF);
  block += '\4';
  for (int i = 0; i < 3; ++i) block += {static_cast<char>(collation & 0xFF),
                                       static_cast<char>(collation >> 8)};
  return block;
}

binlog::LogEvent event(Kind kind, unsigned long long next, const char* database = "",
                   const char* text = "") {
  static const std::string utf8 = status();
  binlog::LogEvent e;
  e.kind = kind;
  e.nextPosition = next;
  e.database = database;
  (kind == Kind::kTableMap ? e.table : e.statement) = text;
  if (kind == Kind::kQuery) e.status = utf8;
  return e;
}

binlog::LogEvent statement(unsigned long long next, const char* text,
                       const std::string& block, const char* database = "shop") {
  binlog::LogEvent e = event(Kind::kQuery, next, database, text);
  e.status = block;
  return e;
}

binlog::LogEvent startEvent(unsigned timestamp, unsigned long long next = 0) {
  binlog::LogEvent e = event(Kind::kFormat, next);
  e.timestamp = timestamp;
  return e;
}

backup_format::LogPosition at(const char* file, unsigned long long position,
                              long long start = kStart) {
  backup_format::LogPosition p;
  p.file = file;
  p.position = position;
  p.start = start;
  return p;
}

// The stream from "b.000001" at 100, as the server sends it: the made-up
// rotate and start events, then `events`.
struct Stream {
  std::vector<binlog::LogEvent> events;
  backup_format::LogPosition from = at("b.000001", 100);
  backup_format::LogPosition to = at("b.000001", 400);
  binlog::LogRead read;
  std::vector<binlog::Cascade> cascades;
  binlog::Schema schema;
  std::vector<std::string> tables = {"a", "b", "child", "logged", "Mixed", "my table"};
  bool synced = false;  // sync_binlog=1
  mutable int schemaReads = 0;
  mutable int wideReads = 0;

  Stream() {
    read.opened = true;
    read.filtersKnown = true;
    for (const std::string& table : tables) schema.tables.insert(log_statement::lower(table));
    schema.views = {"vw"};
    schema.seesEveryDatabase = true;
    schema.byteWiseCollations = {8, 33, kUtf8mb4};
  }

  // Events up to the snapshot's position, none of them a change.
  void complete() { events = {event(Kind::kFraming, 400)}; }

  binlog::Changes run(long long* endStart = nullptr) const {
    binlog::Collector collector("shop", tables, from, to, cascades,
                                [this](bool wide) -> const binlog::Schema& {
                                  ++schemaReads;
                                  wideReads += wide;
                                  return schema;
                                },
                                synced);
    std::vector<binlog::LogEvent> all = {event(Kind::kRotate, 0), startEvent(kStart)};
    all.insert(all.end(), events.begin(), events.end());
    for (const binlog::LogEvent& e : all)
      if (!collector.take(e)) break;
    if (endStart != nullptr) *endStart = collector.endFileStart();
    return collector.finish(read);
  }
};

std::set<std::string> sorted(const std::unordered_set<std::string>& names) {
  return std::set<std::string>(names.begin(), names.end());
}

}  // namespace

TEST(Binlog, EachEventIsAttributedOrTheAnswerIsNotClean) {
  const struct {
    const char* rule;
    std::function<void(Stream&)> change;
    bool clean;
    std::set<std::string> tables;
  } cases[] = {
      {"nothing logged", [](Stream& s) { s.to = s.from; }, true, {}},
      {"rows of this database's table",
       [](Stream& s) {
         s.events = {event(Kind::kFraming, 150), event(Kind::kTableMap, 200, "shop", "a"),
                     event(Kind::kRows, 300), event(Kind::kFraming, 400)};
       },
       true, {"a"}},
      {"rows of another database's table",
       [](Stream& s) {
         s.events = {event(Kind::kTableMap, 200, "crm", "a"), event(Kind::kRows, 400)};
       },
       true, {}},
      {"committed after the snapshot",
       [](Stream& s) {
         s.events = {event(Kind::kTableMap, 400, "shop", "a"),
                     event(Kind::kTableMap, 500, "shop", "b")};
       },
       true, {"a"}},
      {"a statement names tables, whatever their case, but not in its texts",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "shop",
                           "UPDATE `mixed` JOIN b USING (id) SET x = 'child'")};
       },
       true, {"Mixed", "b"}},
      {"transaction bounds and grants name nothing",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 200, "shop", "BEGIN /* a */"),
                     event(Kind::kQuery, 300, "", "GRANT SELECT ON shop.a TO x"),
                     event(Kind::kQuery, 400, "shop", "COMMIT")};
       },
       true, {}},
      {"a statement of another database",
       [](Stream& s) { s.events = {event(Kind::kQuery, 400, "crm", "DELETE FROM a")}; },
       true, {}},
      {"a statement of another database naming this one's table",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "crm", "DELETE FROM `shop`.a")};
       },
       true, {"a"}},
      {"an XA transaction (prepared, maybe before the previous position)",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "shop", "XA COMMIT X'31'")};
       },
       false, {}},
      {"an unknown event",
       [](Stream& s) {
         s.events = {event(Kind::kUnknown, 200), event(Kind::kFraming, 400)};
       },
       false, {}},
      {"a cascade of rows, over and over",
       [](Stream& s) {
         s.cascades = {{"shop", "a", "b"}, {"shop", "b", "child"}, {"shop", "logged", "a"}};
         s.events = {event(Kind::kTableMap, 400, "shop", "a")};
       },
       true, {"a", "b", "child"}},
      {"rows of another database's parent cascade into this one",
       [](Stream& s) {
         s.cascades = {{"crm", "orders", "child"}};
         s.events = {event(Kind::kTableMap, 300, "crm", "orders"),
                     event(Kind::kTableMap, 400, "crm", "customers")};
       },
       true, {"child"}},
      {"a trigger's rows are logged as rows of their own",
       [](Stream& s) {
         s.schema.triggers["a"] = {{"INSERT INTO `logged` VALUES (NEW.id)"}};
         s.events = {event(Kind::kTableMap, 400, "shop", "a")};
       },
       true, {"a"}},
      {"a statement's trigger writes the tables its body names",
       [](Stream& s) {
         s.schema.triggers["a"] = {{"BEGIN INSERT INTO `logged` VALUES (NEW.id); END"}};
         s.schema.triggers["b"] = {{"INSERT INTO child VALUES (1)"}};
         s.events = {event(Kind::kQuery, 400, "shop", "INSERT INTO a VALUES (1)")};
       },
       true, {"a", "logged"}},
      {"a function called by a statement, and the procedure a trigger calls",
       [](Stream& s) {
         s.schema.routines["bump"] = {"BEGIN UPDATE logged SET n = n + 1; RETURN 1; END"};
         s.schema.routines["fill"] = {"INSERT INTO `Mixed` SELECT * FROM a"};
         s.schema.triggers["child"] = {{"CALL fill()"}};
         s.events = {event(Kind::kQuery, 300, "shop", "SELECT `shop`.`bump`()"),
                     event(Kind::kQuery, 400, "shop", "DELETE FROM child")};
       },
       true, {"logged", "Mixed", "a", "child"}},
      {"names in double quotes under ANSI_QUOTES",
       [](Stream& s) {
         static const std::string ansi = status(sql_lexer::kModeAnsiQuotes);
         s.events = {statement(400, "UPDATE \"my table\" SET n = 1", ansi)};
       },
       true, {"my table"}},
      {"a backslash that escapes nothing under NO_BACKSLASH_ESCAPES",
       [](Stream& s) {
         static const std::string plain = status(sql_lexer::kModeNoBackslashEscapes);
         s.events = {statement(400, "UPDATE b SET x = 'a\\', y = 'logged'", plain)};
       },
       true, {"b"}},
      {"a versioned comment is read as the server runs it",
       [](Stream& s) { s.events = {event(Kind::kQuery, 400, "shop", "DELETE /*!50001 a */")}; },
       true, {"a"}},
      {"a DROP of this database and its tables made again",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 300, "", "DROP DATABASE shop"),
                     event(Kind::kQuery, 400, "shop", "CREATE TABLE a (id INT)")};
       },
       true, {"a"}},
      {"tables renamed and emptied after a statement",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 200, "shop", "DELETE FROM child"),
                     event(Kind::kQuery, 300, "shop", "RENAME TABLE a TO t, b TO a, t TO b"),
                     event(Kind::kQuery, 400, "shop", "TRUNCATE logged")};
       },
       true, {"a", "b", "child", "logged"}},
      // Each of these would be clean but for its rule.
      {"a write through a view",
       [](Stream& s) { s.events = {event(Kind::kQuery, 400, "shop", "UPDATE vw SET n = 1")}; },
       false, {}},
      {"a statement's trigger writes through a view",
       [](Stream& s) {
         s.schema.triggers["a"] = {{"UPDATE `vw` SET n = n + 1"}};
         s.events = {event(Kind::kQuery, 400, "shop", "INSERT INTO a VALUES (1)")};
       },
       false, {}},
      {"a statement of a database whose objects reach this one",
       [](Stream& s) {
         s.schema.reaching = {"crm"};
         s.events = {event(Kind::kQuery, 400, "crm", "UPDATE vw SET n = 1")};
       },
       false, {}},
      {"a statement of this database naming one whose objects reach it",
       [](Stream& s) {
         s.schema.reaching = {"crm"};
         s.events = {event(Kind::kQuery, 400, "shop", "INSERT INTO crm.orders VALUES (1)")};
       },
       false, {}},
      {"a qualifier that a tab parts from its dot",
       [](Stream& s) {
         s.schema.reaching = {"crm"};
         s.events = {event(Kind::kQuery, 400, "shop", "INSERT INTO crm\t.orders VALUES (1)")};
       },
       false, {}},
      {"a qualifier that a comment parts from its dot",
       [](Stream& s) {
         s.schema.reaching = {"crm"};
         s.events = {event(Kind::kQuery, 400, "shop", "INSERT INTO crm/**/.orders VALUES (1)")};
       },
       false, {}},
      {"a trigger of this database writing into one whose objects reach it",
       [](Stream& s) {
         s.schema.reaching = {"crm"};
         s.schema.triggers["a"] = {{"INSERT INTO crm.orders VALUES (NEW.id)"}};
         s.events = {event(Kind::kQuery, 400, "shop", "INSERT INTO a VALUES (1)")};
       },
       false, {}},
      {"a routine of this database naming one the account cannot see into",
       [](Stream& s) {
         s.schema.seesEveryDatabase = false;
         s.schema.routines["bump"] = {"UPDATE crm.x SET n = 1"};
         s.events = {event(Kind::kQuery, 400, "shop", "DO bump()")};
       },
       false, {}},
      {"a statement of another database the account cannot see into",
       [](Stream& s) {
         s.schema.seesEveryDatabase = false;
         s.events = {event(Kind::kQuery, 400, "crm", "DELETE FROM a")};
       },
       false, {}},
      {"a name qualified by a database the account cannot see into",
       [](Stream& s) {
         s.schema.seesEveryDatabase = false;
         s.events = {event(Kind::kQuery, 300, "shop", "UPDATE a SET n = a.n + 1"),
                     event(Kind::kQuery, 400, "shop", "INSERT INTO crm.orders VALUES (1)")};
       },
       false, {}},
      {"a routine whose body the server withholds",
       [](Stream& s) {
         s.schema.routines["bump"] = {"", 0, false};
         s.events = {event(Kind::kQuery, 400, "shop", "DO bump()")};
       },
       false, {}},
      {"a statement in a character set read otherwise byte by byte",
       [](Stream& s) {
         static const std::string gbk = status(0, kGbk);
         s.events = {statement(400, "UPDATE b SET x = 1", gbk)};
       },
       false, {}},
      {"a status block holding a code of unknown length",
       [](Stream& s) {
         static const std::string odd = status() + "\\x7f\\x01";
         s.events = {statement(400, "UPDATE b SET x = 1", odd)};
       },
       false, {}},
      {"a name beyond ASCII where the server does not fold names",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "shop", "UPDATE b SET gr\xC3\xB6\xC3\x9F" "e = 1")};
       },
       true, {"b"}},
      {"a name beyond ASCII that may be a table where the server folds names",
       [](Stream& s) {
         s.schema.foldsNames = true;
         s.events = {event(Kind::kQuery, 400, "shop", "UPDATE \xC3\x84PFEL SET n = 1")};
       },
       false, {}},
      {"dynamic SQL, whose names need not be in its text",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "shop",
                           "EXECUTE IMMEDIATE CONCAT('UPDATE ', 'b SET n = 1')")};
       },
       false, {}},
      {"a quote that does not end",
       [](Stream& s) { s.events = {event(Kind::kQuery, 400, "shop", "UPDATE b SET x = 'a")}; },
       false, {}},
      {"a trigger dropped after a statement that may have fired it",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 300, "shop", "INSERT INTO a VALUES (1)"),
                     event(Kind::kQuery, 400, "crm", "DROP TRIGGER crm.w")};
       },
       false, {}},
      {"the file made anew",
       [](Stream& s) { s.complete(); s.from.start = kStart + 1; }, false, {}},
      {"the start of the file not recorded",
       [](Stream& s) { s.complete(); s.from.start = 0; }, false, {}},
      {"purged", [](Stream& s) { s.complete(); s.read.error = binlog::kLogNotThere; },
       false, {}},
      {"an error while reading",
       [](Stream& s) {
         s.complete();
         s.read.error = 2013;
       },
       false, {}},
      {"filters", [](Stream& s) { s.complete(); s.read.filters = "shop"; }, false, {}},
      {"the log ends before the snapshot's position",
       [](Stream& s) { s.events = {event(Kind::kTableMap, 200, "shop", "a")}; }, false, {}},
      {"over a restart into the next files",
       [](Stream& s) {
         s.to = at("b.000003", 300, kStart + 20);
         s.events = {event(Kind::kTableMap, 200, "shop", "a"), event(Kind::kStop, 223),
                     event(Kind::kRotate, 0), startEvent(kStart + 10, 256),
                     event(Kind::kTableMap, 300, "shop", "b"),
                     event(Kind::kRotate, 350), startEvent(kStart + 20, 256),
                     event(Kind::kTableMap, 300, "shop", "child"),
                     event(Kind::kTableMap, 350, "shop", "logged")};
       },
       true, {"a", "b", "child"}},
      // A file closed by neither a rotation nor a stop ended in a crash,
      // which may have cost a log not synced at every commit its end.
      {"a file left open by a crash",
       [](Stream& s) {
         s.to = at("b.000002", 300, kStart + 10);
         s.events = {event(Kind::kTableMap, 200, "shop", "a"), event(Kind::kRotate, 0),
                     startEvent(kStart + 10, 256), event(Kind::kTableMap, 300, "shop", "b")};
       },
       false, {}},
      {"a file left open by a crash, the log synced at every commit",
       [](Stream& s) {
         s.synced = true;
         s.to = at("b.000002", 300, kStart + 10);
         s.events = {event(Kind::kTableMap, 200, "shop", "a"), event(Kind::kRotate, 0),
                     startEvent(kStart + 10, 256), event(Kind::kTableMap, 300, "shop", "b")};
       },
       true, {"a", "b"}},
      {"the snapshot's file ends at its position",
       [](Stream& s) {
         s.events = {event(Kind::kTableMap, 400, "shop", "a"), event(Kind::kRotate, 0),
                     startEvent(kStart + 10, 256), event(Kind::kTableMap, 300, "shop", "b")};
       },
       true, {"a"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    Stream stream;
    c.change(stream);
    const binlog::Changes changes = stream.run();
    EXPECT_EQ(changes.clean, c.clean) << changes.why;
    EXPECT_EQ(changes.why.empty(), c.clean);
    EXPECT_EQ(sorted(changes.tables), c.tables);
  }
  // A log of rows alone asks nothing of the schema; statements of this
  // database that name only its own tables ask nothing of the others.
  Stream rows;
  rows.events = {event(Kind::kTableMap, 400, "shop", "a")};
  rows.run();
  EXPECT_EQ(rows.schemaReads, 0);
  Stream own;
  own.events = {event(Kind::kQuery, 300, "shop", "UPDATE a SET n = a.n + 1"),
                event(Kind::kQuery, 400, "shop", "INSERT INTO shop.b SELECT * FROM `a`")};
  EXPECT_TRUE(own.run().clean);
  EXPECT_EQ(own.wideReads, 0);
  // Only what a statement reached may hold a new identity: rows leave it.
  Stream shapes;
  shapes.events = {event(Kind::kTableMap, 200, "shop", "a"), event(Kind::kRows, 300),
                   event(Kind::kQuery, 400, "shop", "TRUNCATE b")};
  const binlog::Changes reshaped = shapes.run();
  EXPECT_EQ(sorted(reshaped.tables), (std::set<std::string>{"a", "b"}));
  EXPECT_EQ(sorted(reshaped.reshaped), std::set<std::string>{"b"});
}

// Between the snapshot and a late read of the identities, only rows and
// the statements that frame them prove that no identity moved.
TEST(Binlog, OnlyRowsAndTheirFramingLeaveIdentities) {
  const struct {
    binlog::LogEvent event;
    bool leaves;
  } cases[] = {
      {event(Kind::kRotate, 0), true},
      {startEvent(kStart), true},
      {event(Kind::kTableMap, 200, "shop", "a"), true},
      {event(Kind::kRows, 200), true},
      {event(Kind::kFraming, 200), true},
      {event(Kind::kQuery, 200, "shop", "BEGIN"), true},
      {event(Kind::kQuery, 200, "shop", "commit"), true},
      {event(Kind::kQuery, 200, "shop", "ROLLBACK"), true},
      {event(Kind::kQuery, 200, "shop", "COMMIT "), false},
      {event(Kind::kQuery, 200, "shop", "BEGIN; TRUNCATE a"), false},
      {event(Kind::kQuery, 200, "shop", "RENAME TABLE a TO c, b TO a"), false},
      {event(Kind::kQuery, 200, "crm", "ALTER TABLE shop.a ENGINE=InnoDB"), false},
      {event(Kind::kQuery, 200, "shop", "XA COMMIT 'x'"), false},
      {event(Kind::kQuery, 200, "shop", ""), false},
      {event(Kind::kUnknown, 200), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.event.statement));
    EXPECT_EQ(binlog::leavesIdentities(c.event), c.leaves);
  }
}

// A database reaches this one through a body that names it or another
// that does, or through a writing foreign key into it or such another.
TEST(Binlog, DatabasesReachThisOneThroughBodiesKeysAndChains) {
  const std::vector<binlog::ForeignBody> bodies = {
      {"crm", {"UPDATE `shop`.a SET n = 1"}},
      {"erp", {"SELECT * FROM crm.orders"}},
      {"hr", {"UPDATE hr.x SET note = 'shop'"}},
      {"wiki", {"", 0, false}},
      {"ansi", {"INSERT INTO \"Shop\".a VALUES (1)", sql_lexer::kModeAnsiQuotes}}};
  const std::vector<binlog::ForeignKey> keys = {{"shop", "pay"}, {"pay", "bank"},
                                                {"other", "shop"}};
  const std::unordered_set<std::string> reaching =
      binlog::reachingDatabases("shop", bodies, keys);
  EXPECT_EQ(sorted(reaching),
            (std::set<std::string>{"ansi", "bank", "crm", "erp", "pay", "wiki"}));
}

TEST(Binlog, TheSnapshotFilesStartIsTakenFromItsStartEvent) {
  Stream stream;
  long long start = 0;
  stream.to = stream.from;
  stream.run(&start);
  EXPECT_EQ(start, kStart);
  stream.to = at("b.000002", 300);
  stream.events = {event(Kind::kRotate, 150), event(Kind::kRotate, 0),
                   startEvent(kStart + 7, 256), event(Kind::kFraming, 300)};
  EXPECT_TRUE(stream.run(&start).clean);
  EXPECT_EQ(start, kStart + 7);
  EXPECT_EQ(binlog::nextLogFile("b.000009"), "b.000010");
  EXPECT_EQ(binlog::nextLogFile("b.999999"), "b.1000000");
}
