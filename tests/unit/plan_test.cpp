// The plan: which rows are copied, read or left out, and why. One row per
// rule, each a change of one fact of a table that is otherwise copied.
#include "backup/plan.h"
#include "backup/change_rules.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace {

using plan::Reason;
using plan::Rows;

// Everything the plan reads, for one table "t" (and possibly a view "v"):
// as made, t is unchanged and its rows can be copied.
struct Facts {
  TableEntry table;
  PreviousTableEntry previous;
  std::vector<TableEntry> extraTables;
  std::vector<PreviousTableEntry> extraPrevious;
  std::unordered_map<std::string, ObjectDefinition> views;
  std::vector<ObjectDefinition> objects;
  bool objectsListed = true;
  bool rightsMissing = false;
  bool sessionMatches = true;
  bool incremental = true;
  // A clean answer from the server's log, and the tables it shows changed.
  bool logClean = false;
  std::unordered_set<std::string> logged;
  plan::Settings settings;

  Facts() {
    table.name = previous.name = "t";
    table.updateText = "2024-05-01 10:00:00";
    table.updateTime = previous.updateTime = 1714557600;
    table.updateKnown = previous.updateKnown = true;
    table.updateTracksRows = true;
    table.columnCount = previous.valueCount = 2;
    table.identity = previous.identity = "1714557600 InnoDB #0:5:6";
    table.lastingIdentity = "InnoDB #0:5:6";
    previous.blockWhole = previous.rowsTrusted = true;
    previous.rowCount = 3;
    previous.rowPrefix = backup_format::rowLinePrefix("t", {});
    previous.statementRowsMax = 1;
  }

  // The server restarted since the previous backup, whose file recorded
  // the log's position; the log answers cleanly.
  void afterRestart() {
    logClean = true;
    table.updateKnown = false;
    table.updateText = "";
    table.identity = "";
    previous.identity = "- InnoDB #0:5:6";
  }

  // A view "v" whose statements are those of the previous file.
  void addView() {
    TableEntry view;
    view.name = "v";
    view.isView = true;
    extraTables.push_back(view);
    ObjectDefinition definition;
    definition.name = "v";
    definition.createText = "CREATE VIEW `v` AS SELECT 1";
    definition.characterSet = "utf8mb4";
    definition.collation = "utf8mb4_general_ci";
    views["v"] = definition;
    PreviousTableEntry old;
    old.name = "v";
    old.blockWhole = true;
    old.definition = object_section::joinLines(
        object_section::viewLines(definition, settings.dropTable));
    extraPrevious.push_back(old);
  }

  plan::Plan make() const {
    std::vector<TableEntry> tables = {table};
    tables.insert(tables.end(), extraTables.begin(), extraTables.end());
    std::vector<PreviousTableEntry> previousTables = {previous};
    previousTables.insert(previousTables.end(), extraPrevious.begin(),
                          extraPrevious.end());
    std::unordered_map<std::string, size_t> byName;
    for (size_t i = 0; i < previousTables.size(); ++i)
      byName.emplace(previousTables[i].name, i);
    std::vector<object_section::PreviousObject> previousObjects;
    plan::Now now;
    now.tables = &tables;
    now.viewDefinitions = &views;
    now.objects = &objects;
    now.objectsListed = objectsListed;
    now.rightsMissing = rightsMissing;
    now.loggedChanges = logClean ? &logged : nullptr;
    plan::Previous file;
    file.tables = &previousTables;
    file.byName = &byName;
    file.objects = &previousObjects;
    file.sessionMatches = sessionMatches;
    return plan::make(now, incremental ? &file : nullptr, settings);
  }
};

}  // namespace

TEST(Plan, EachRuleDecidesItsTable) {
  const struct {
    const char* rule;
    std::function<void(Facts&)> change;
    Rows rows;
    Reason reason;
    bool unchanged;
    int changes;  // of the whole run
    bool readFirst = false;
  } cases[] = {
      {"nothing changed", [](Facts&) {}, Rows::kCopy, Reason::kUnchanged, true, 0},
      {"no rows saved", [](Facts& f) { f.settings.saveData = false; }, Rows::kNone,
       Reason::kRowsNotSaved, true, 0},
      {"rows kept elsewhere", [](Facts& f) { f.table.rowsElsewhere = true; },
       Rows::kNone, Reason::kNoRowsOfItsOwn, true, 0},
      {"full run", [](Facts& f) { f.incremental = false; }, Rows::kRead,
       Reason::kNoPreviousBackup, false, 1},
      // The table of the previous file is gone as well: two changes.
      {"new table", [](Facts& f) { f.previous.name = "old"; }, Rows::kRead,
       Reason::kNew, false, 2},
      {"block not whole", [](Facts& f) { f.previous.blockWhole = false; },
       Rows::kRead, Reason::kBlockNotWhole, false, 1},
      {"update time unknown now", [](Facts& f) { f.table.updateKnown = false; },
       Rows::kRead, Reason::kUpdateTimeUnknown, false, 1},
      {"update time unknown in the file",
       [](Facts& f) { f.previous.updateKnown = false; }, Rows::kRead,
       Reason::kUpdateTimeUnknown, false, 1},
      {"update time moved", [](Facts& f) { ++f.table.updateTime; }, Rows::kRead,
       Reason::kUpdateTimeMoved, false, 1},
      // Aria, or Create_time later than Update_time.
      {"update time does not follow the rows",
       [](Facts& f) { f.table.updateTracksRows = false; }, Rows::kRead,
       Reason::kUpdateTimeUntrusted, false, 1},
      {"a sequence", [](Facts& f) { f.table.isSequence = true; }, Rows::kRead,
       Reason::kUpdateTimeUntrusted, false, 1},
      {"identity moved", [](Facts& f) { f.table.identity += "x"; }, Rows::kRead,
       Reason::kIdentityDiffers, false, 1},
      {"identity unknown", [](Facts& f) { f.table.identity = f.previous.identity = ""; },
       Rows::kRead, Reason::kIdentityDiffers, false, 1},
      // A RENAME swap of two MyISAM tables alike in every fact: the
      // identity does not tell them apart.
      {"identity shared with another table of the file",
       [](Facts& f) {
         PreviousTableEntry twin = f.previous;
         twin.name = "u";
         f.extraPrevious.push_back(twin);
         TableEntry now = f.table;
         now.name = "u";
         f.extraTables.push_back(now);
       },
       Rows::kRead, Reason::kIdentityShared, false, 2},
      {"identity unknown in two tables of the file",
       [](Facts& f) {
         f.table.identity = f.previous.identity = "";
         PreviousTableEntry twin = f.previous;
         twin.name = "u";
         f.extraPrevious.push_back(twin);
       },
       Rows::kRead, Reason::kIdentityDiffers, false, 2},
      {"emptied (Rows 0)", [](Facts& f) { f.table.reportedEmpty = true; },
       Rows::kRead, Reason::kEmptied, false, 1},
      {"Rows 0, none in the file either",
       [](Facts& f) {
         f.table.reportedEmpty = true;
         f.previous.rowCount = 0;
       },
       Rows::kCopy, Reason::kUnchanged, true, 0},
      {"preamble differs", [](Facts& f) { f.sessionMatches = false; }, Rows::kRead,
       Reason::kSessionDiffers, true, 0},
      {"rows not trusted", [](Facts& f) { f.previous.rowsTrusted = false; },
       Rows::kRead, Reason::kRowsNotTrusted, true, 0},
      {"column count", [](Facts& f) { f.table.columnCount = 3; }, Rows::kRead,
       Reason::kColumnCount, true, 0},
      {"column list", [](Facts& f) { f.table.columns = {"a", "b"}; }, Rows::kRead,
       Reason::kColumnList, true, 0},
      {"rows one a statement, several asked",
       [](Facts& f) { f.settings.rowsPerStatement = 5; }, Rows::kRead,
       Reason::kRowForm, true, 0},
      {"statements of more rows than asked",
       [](Facts& f) {
         f.settings.rowsPerStatement = 5;
         f.previous.rowsShared = true;
         f.previous.statementRowsMax = 6;
       },
       Rows::kRead, Reason::kStatementRows, true, 0},
      {"statements of as many rows as asked",
       [](Facts& f) {
         f.settings.rowsPerStatement = 5;
         f.previous.rowsShared = true;
         f.previous.statementRowsMax = 5;
       },
       Rows::kCopy, Reason::kUnchanged, true, 0},
      {"locked at the snapshot, changed",
       [](Facts& f) {
         f.table.lockedAtSnapshot = true;
         ++f.table.updateTime;
       },
       Rows::kRead, Reason::kUpdateTimeMoved, false, 1, true},
      {"locked at the snapshot, unchanged",
       [](Facts& f) { f.table.lockedAtSnapshot = true; }, Rows::kCopy,
       Reason::kUnchanged, true, 0},
      // Views: their statements against the file's; t stays unchanged.
      {"view unchanged", [](Facts& f) { f.addView(); }, Rows::kCopy,
       Reason::kUnchanged, true, 0},
      {"view changed",
       [](Facts& f) {
         f.addView();
         f.views["v"].createText += " + 1";
       },
       Rows::kCopy, Reason::kUnchanged, true, 1},
      {"view's block not whole",
       [](Facts& f) {
         f.addView();
         f.extraPrevious.back().blockWhole = false;
       },
       Rows::kCopy, Reason::kUnchanged, true, 1},
      {"view changed, structure not saved",
       [](Facts& f) {
         f.addView();
         f.views["v"].createText += " + 1";
         f.settings.saveStructure = false;
       },
       Rows::kCopy, Reason::kUnchanged, true, 0},
      {"view added", [](Facts& f) {
         f.addView();
         f.extraPrevious.clear();
       },
       Rows::kCopy, Reason::kUnchanged, true, 1},
      // Routines, triggers and events.
      {"object added",
       [](Facts& f) {
         ObjectDefinition trigger;
         trigger.kind = backup_format::SectionKind::kTrigger;
         trigger.name = "tr";
         f.objects.push_back(trigger);
       },
       Rows::kCopy, Reason::kUnchanged, true, 1},
      {"objects not listed", [](Facts& f) { f.objectsListed = false; }, Rows::kCopy,
       Reason::kUnchanged, true, 1},
      {"rights to see objects missing", [](Facts& f) { f.rightsMissing = true; },
       Rows::kCopy, Reason::kUnchanged, true, 1},
      // With a clean answer from the server's log (after a restart, the
      // server knows no update time, and the file recorded none).
      {"log: unchanged, no update time known",
       [](Facts& f) { f.afterRestart(); }, Rows::kCopy, Reason::kUnchanged, true, 0},
      {"log: changed", [](Facts& f) { f.afterRestart(); f.logged = {"t"}; },
       Rows::kRead, Reason::kLogChanged, false, 1},
      {"log: another table changed", [](Facts& f) { f.afterRestart(); f.logged = {"u"}; },
       Rows::kCopy, Reason::kUnchanged, true, 0},
      {"log: both update times known, moved",
       [](Facts& f) { f.logClean = true; ++f.table.updateTime; }, Rows::kRead,
       Reason::kUpdateTimeMoved, false, 1},
      {"log: both update times known, equal",
       [](Facts& f) { f.logClean = true; }, Rows::kCopy, Reason::kUnchanged, true, 0},
      {"log: lasting identity moved",
       [](Facts& f) { f.afterRestart(); f.table.lastingIdentity += "x"; }, Rows::kRead,
       Reason::kIdentityDiffers, false, 1},
      {"log: no lasting identity (another engine)",
       [](Facts& f) { f.afterRestart(); f.table.lastingIdentity = ""; }, Rows::kRead,
       Reason::kIdentityDiffers, false, 1},
      {"log: no identity in the file",
       [](Facts& f) { f.afterRestart(); f.previous.identity = ""; }, Rows::kRead,
       Reason::kIdentityDiffers, false, 1},
      {"log: a sequence", [](Facts& f) { f.afterRestart(); f.table.isSequence = true; },
       Rows::kRead, Reason::kUpdateTimeUntrusted, false, 1},
      {"log: block not whole",
       [](Facts& f) { f.afterRestart(); f.previous.blockWhole = false; }, Rows::kRead,
       Reason::kBlockNotWhole, false, 1},
      {"log: Rows 0 (an estimate after a restart)",
       [](Facts& f) { f.afterRestart(); f.table.reportedEmpty = true; }, Rows::kCopy,
       Reason::kUnchanged, true, 0},
      {"log: rows not trusted",
       [](Facts& f) { f.afterRestart(); f.previous.rowsTrusted = false; }, Rows::kRead,
       Reason::kRowsNotTrusted, true, 0},
      {"objects unknown, structure not saved",
       [](Facts& f) {
         f.rightsMissing = true;
         f.settings.saveStructure = false;
       },
       Rows::kCopy, Reason::kUnchanged, true, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rule);
    Facts facts;
    c.change(facts);
    const plan::Plan made = facts.make();
    ASSERT_EQ(made.tables.size(), 1 + facts.extraTables.size());
    const plan::TablePlan& t = made.tables[0];
    EXPECT_EQ(t.rows, c.rows);
    EXPECT_EQ(t.reason, c.reason);
    EXPECT_EQ(t.unchanged, c.unchanged);
    EXPECT_EQ(t.readFirst, c.readFirst);
    EXPECT_EQ(made.changes, c.changes);
    // A view has no rows of its own; another table meets t's fate.
    for (size_t i = 1; i < made.tables.size(); ++i)
      EXPECT_EQ(made.tables[i].rows,
                facts.extraTables[i - 1].isView ? Rows::kNone : c.rows);
  }
}

// A clean answer of the log carries an InnoDB table's identity over only
// with the create time recorded beside it: a RENAME swap logged nowhere
// moves that time.
TEST(Plan, InnodbIdentityIsCarriedOnlyWithItsCreateTime) {
  const struct {
    const char* previous;
    time_t created;
    const char* carried;
  } cases[] = {
      {"1714557600 InnoDB 1714550000 :5:6", 1714550000, "InnoDB 1714550000 :5:6"},
      {"- InnoDB 1714550000 #P#p0:5:6 #P#p1:7:8", 1714550000,
       "InnoDB 1714550000 #P#p0:5:6 #P#p1:7:8"},
      {"- InnoDB 1714550000 :5:6", 1714550001, ""},
      {"- InnoDB 1714550000 :5:6", 171455000, ""},
      {"- InnoDB 1714550000 :5:6", -1, ""},
      {"- InnoDB :5:6", 1714550000, ""},  // written before create times counted
      {"- InnoDB 1714550000 ", 1714550000, ""},
      {"- MyISAM 3 16384 1714550000", 1714550000, ""},
      {"", 1714550000, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.previous);
    EXPECT_EQ(change_rules::carriedInnodbIdentity(c.previous, c.created), c.carried);
  }
}

// After a restart only the log may prove a table unchanged: its rows are
// worth judging while its identity is known or still to be settled.
TEST(Plan, RowsTheLogMayProveAreJudged) {
  Facts f;
  f.afterRestart();
  EXPECT_TRUE(plan::logMayTell(f.table, f.previous));
  f.table.lastingIdentity = "";
  EXPECT_FALSE(plan::logMayTell(f.table, f.previous));
  f.table.identityPending = true;
  EXPECT_TRUE(plan::logMayTell(f.table, f.previous));
  f.table.updateKnown = true;
  f.table.updateTime += 1;
  EXPECT_FALSE(plan::logMayTell(f.table, f.previous));
}
