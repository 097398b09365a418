// The tables the server's binary log shows changed: event sequences as the
// log reader hands them over, one row per rule.
#include "backup/binlog.h"

#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

namespace {

using Kind = db::LogEvent::Kind;

constexpr unsigned kStart = 1714557600;

db::LogEvent event(Kind kind, unsigned long long next, const char* database = "",
                   const char* text = "") {
  db::LogEvent e;
  e.kind = kind;
  e.nextPosition = next;
  e.database = database;
  (kind == Kind::kTableMap ? e.table : e.statement) = text;
  return e;
}

db::LogEvent startEvent(unsigned timestamp, unsigned long long next = 0) {
  db::LogEvent e = event(Kind::kFormat, next);
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
  std::vector<db::LogEvent> events;
  backup_format::LogPosition from = at("b.000001", 100);
  backup_format::LogPosition to = at("b.000001", 400);
  db::LogRead read;
  binlog::Reach reach;
  std::vector<std::string> tables = {"a", "b", "child", "logged", "Mixed"};

  Stream() {
    read.opened = true;
    read.filtersKnown = true;
  }

  // Events up to the snapshot's position, none of them a change.
  void complete() { events = {event(Kind::kFraming, 400)}; }

  binlog::Changes run(long long* endStart = nullptr) const {
    binlog::Collector collector("shop", tables, from, to, reach);
    std::vector<db::LogEvent> all = {event(Kind::kRotate, 0), startEvent(kStart)};
    all.insert(all.end(), events.begin(), events.end());
    for (const db::LogEvent& e : all)
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
      {"a statement names tables, whatever their case",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "shop",
                           "UPDATE `mixed` JOIN b USING (id) SET x = 'child'")};
       },
       true, {"Mixed", "b", "child"}},
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
      {"a statement of another database naming this one",
       [](Stream& s) {
         s.events = {event(Kind::kQuery, 400, "crm", "DELETE FROM `shop`.a")};
       },
       false, {}},
      {"a statement of no database naming this one",
       [](Stream& s) { s.events = {event(Kind::kQuery, 400, "", "DROP DATABASE shop")}; },
       false, {}},
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
      {"a cascade, over and over",
       [](Stream& s) {
         s.reach.cascades = {{"a", "b"}, {"b", "child"}, {"logged", "a"}};
         s.events = {event(Kind::kTableMap, 400, "shop", "a")};
       },
       true, {"a", "b", "child"}},
      {"a cascade from another database's table",
       [](Stream& s) {
         s.reach.foreignCascades = {{"orders", "child"}};
         s.events = {event(Kind::kQuery, 300, "crm", "DELETE FROM orders WHERE id = 1"),
                     event(Kind::kQuery, 400, "crm", "DELETE FROM customers")};
       },
       true, {"child"}},
      {"a trigger's body names the tables it writes",
       [](Stream& s) {
         s.reach.triggers = {{"a", "BEGIN INSERT INTO `logged` VALUES (NEW.id); END"},
                             {"b", "INSERT INTO child VALUES (1)"}};
         s.events = {event(Kind::kTableMap, 400, "shop", "a")};
       },
       true, {"a", "logged"}},
      // Each of these would be clean but for its rule.
      {"a function called by a statement, and the procedure a trigger calls",
       [](Stream& s) {
         s.reach.routines = {{"bump", "BEGIN UPDATE logged SET n = n + 1; RETURN 1; END"},
                             {"fill", "INSERT INTO `Mixed` SELECT * FROM a"}};
         s.reach.triggers = {{"child", "CALL fill()"}};
         s.events = {event(Kind::kQuery, 300, "shop", "SELECT `shop`.`bump`()"),
                     event(Kind::kTableMap, 400, "shop", "child")};
       },
       true, {"logged", "Mixed", "a", "child"}},
      {"the file made anew",
       [](Stream& s) { s.complete(); s.from.start = kStart + 1; }, false, {}},
      {"the start of the file not recorded",
       [](Stream& s) { s.complete(); s.from.start = 0; }, false, {}},
      {"purged", [](Stream& s) { s.complete(); s.read.error = db::kLogNotThere; },
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
         s.events = {event(Kind::kTableMap, 200, "shop", "a"), event(Kind::kFraming, 223),
                     event(Kind::kRotate, 0), startEvent(kStart + 10, 256),
                     event(Kind::kTableMap, 300, "shop", "b"),
                     event(Kind::kRotate, 350), startEvent(kStart + 20, 256),
                     event(Kind::kTableMap, 300, "shop", "child"),
                     event(Kind::kTableMap, 350, "shop", "logged")};
       },
       true, {"a", "b", "child"}},
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
}

TEST(Binlog, TheSnapshotFilesStartIsTakenFromItsStartEvent) {
  Stream stream;
  long long start = 0;
  stream.to = stream.from;
  stream.run(&start);
  EXPECT_EQ(start, kStart);
  stream.to = at("b.000002", 300);
  stream.events = {event(Kind::kRotate, 0), startEvent(kStart + 7, 256),
                   event(Kind::kFraming, 300)};
  EXPECT_TRUE(stream.run(&start).clean);
  EXPECT_EQ(start, kStart + 7);
  EXPECT_EQ(binlog::nextLogFile("b.000009"), "b.000010");
  EXPECT_EQ(binlog::nextLogFile("b.999999"), "b.1000000");
}
