#include "backup/definitions.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <string_view>
#include <tuple>
#include <unordered_set>

#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/run_session.h"

using console_text::printLine;

namespace {

using backup_format::SectionKind;

using console_text::kNoDefinition;

// Each kind's word in SHOW CREATE (also the type that the list queries
// give).
struct KindKeyword {
  SectionKind kind;
  const char* keyword;
};

constexpr KindKeyword kKinds[] = {
    {SectionKind::kTrigger, "TRIGGER"},
    {SectionKind::kProcedure, "PROCEDURE"},
    {SectionKind::kFunction, "FUNCTION"},
    {SectionKind::kEvent, "EVENT"},
};

const char* keywordOf(SectionKind kind) {
  for (const KindKeyword& names : kKinds)
    if (names.kind == kind) return names.keyword;
  return kKinds[0].keyword;  // not reached: objects have one of the kinds above
}

SectionKind kindOf(const std::string& keyword) {
  for (const KindKeyword& names : kKinds)
    if (keyword == names.keyword) return names.kind;
  return SectionKind::kNone;
}

// The column named `name` exactly, or -1.
int columnNamed(const db::Rows& rows, const char* name) {
  for (size_t i = 0; i < rows.columnCount(); ++i)
    if (rows.columnName(i) == name) return static_cast<int>(i);
  return -1;
}

// Fills `object` from the answer to SHOW CREATE: the statement, and the
// session it was made in, by column name.
void takeShowCreate(const db::Rows& rows, ObjectDefinition* object) {
  if (rows.size() == 0) {
    object->error = console_text::kDefinitionGone;
    return;
  }
  bool statementFound = false;
  for (size_t i = 0; i < rows.columnCount(); ++i) {
    const char* column = rows.columnName(i).c_str();
    const int at = static_cast<int>(i);
    const std::string& value = rows.text(0, at);
    if (std::strncmp(column, "Create ", 7) == 0 ||
        std::strcmp(column, "SQL Original Statement") == 0) {
      statementFound = !rows.isNull(0, at);
      object->createText = value;
    } else if (std::strcmp(column, "character_set_client") == 0) {
      object->characterSet = value;
    } else if (std::strcmp(column, "collation_connection") == 0) {
      object->collation = value;
    } else if (std::strcmp(column, "sql_mode") == 0) {
      object->sqlMode = value;
      object->hasSqlMode = true;
    } else if (std::strcmp(column, "time_zone") == 0) {
      object->timeZone = value;
      object->hasTimeZone = true;
    }
  }
  if (!statementFound) object->error = kNoDefinition;
}


// True when the database name of a grant (with the wildcards % and _, and
// \ before a byte taken as it is) matches `name`.
bool grantPatternMatches(std::string_view pattern, std::string_view name) {
  // matched[j]: the pattern read so far matches the first j bytes.
  std::vector<bool> matched(name.size() + 1, false);
  matched[0] = true;
  for (size_t i = 0; i < pattern.size(); ++i) {
    char byte = pattern[i];
    const bool literal = byte == '\\' && i + 1 < pattern.size();
    if (literal) byte = pattern[++i];
    std::vector<bool> next(name.size() + 1, false);
    bool any = false;
    for (size_t j = 0; j <= name.size(); ++j) {
      any = any || matched[j];
      if (!literal && byte == '%') {
        next[j] = any;
      } else if (j < name.size()) {
        next[j + 1] = matched[j] && ((!literal && byte == '_') || name[j] == byte);
      }
    }
    matched.swap(next);
  }
  return matched[name.size()];
}

// What one line of SHOW GRANTS gives TRIGGER on: all databases, a
// database pattern, or one table.
struct TriggerGrant {
  bool found = false;
  bool everywhere = false;
  std::string database;
  std::string table;  // empty for the whole database
};

TriggerGrant triggerGrantOf(std::string_view line) {
  TriggerGrant grant;
  constexpr std::string_view kStart = "GRANT ";
  if (line.substr(0, kStart.size()) != kStart) return grant;
  // The privileges end at the first " ON " outside names and column lists.
  bool quoted = false;
  int depth = 0;
  size_t on = std::string_view::npos;
  std::vector<std::string_view> privileges;
  size_t itemStart = kStart.size();
  for (size_t i = itemStart; i < line.size() && on == std::string_view::npos; ++i) {
    const char c = line[i];
    if (c == '`') quoted = !quoted;
    if (quoted) continue;
    if (c == '(') ++depth;
    if (c == ')') --depth;
    if (depth != 0) continue;
    if (c == ',' || line.substr(i, 4) == " ON ") {
      privileges.push_back(line.substr(itemStart, i - itemStart));
      itemStart = i + 1;
      while (itemStart < line.size() && line[itemStart] == ' ') ++itemStart;
      if (c != ',') on = i + 4;
    }
  }
  bool trigger = false;
  for (std::string_view privilege : privileges)
    trigger = trigger || privilege == "TRIGGER" || privilege == "ALL PRIVILEGES" ||
              privilege == "ALL";
  if (!trigger || on == std::string_view::npos) return grant;
  size_t at = on;
  if (line.substr(at, 3) == "*.*") {
    grant.found = grant.everywhere = true;
    return grant;
  }
  if (!backup_format::readQuotedIdentifier(line, &at, &grant.database) || line.substr(at, 1) != ".")
    return grant;
  ++at;
  grant.found = line.substr(at, 1) == "*" || backup_format::readQuotedIdentifier(line, &at, &grant.table);
  return grant;
}

bool listObjects(db::Session& session, const char* statement,
                 std::vector<ObjectDefinition>* objects) {
  db::Rows rows;
  if (!session.select(statement, &rows)) return false;
  for (size_t i = 0; i < rows.size(); ++i) {
    ObjectDefinition object;
    object.kind = kindOf(rows.text(i, 0));
    if (object.kind == SectionKind::kNone || rows.isNull(i, 1)) continue;
    object.name = rows.text(i, 1);
    objects->push_back(std::move(object));
  }
  return true;
}

ObjectDefinition showCreate(db::Session& session, SectionKind kind,
                            const std::string& name, const char* what) {
  ObjectDefinition object;
  object.kind = kind;
  object.name = name;
  object.hexFormTaken = session.executesImmediate();
  db::Rows rows;
  if (!session.select(std::string("SHOW CREATE ") + what + " " +
                          backup_format::quoteIdentifier(name),
                      &rows))
    object.error = run_session::errorText(session);
  else
    takeShowCreate(rows, &object);
  return object;
}

// SHOW TRIGGERS reads this database's triggers alone, where a query of
// information_schema.TRIGGERS opens the tables of every database on the
// server. It gives each table's triggers of one timing and event in the
// order they fire; tables (by their bytes), timings and events are put in
// order here.
bool listTriggers(db::Session& session, std::vector<ObjectDefinition>* objects) {
  db::Rows rows;
  if (!session.select("SHOW TRIGGERS", &rows)) return false;
  const int name = columnNamed(rows, "Trigger");
  const int table = columnNamed(rows, "Table");
  const int timing = columnNamed(rows, "Timing");
  const int event = columnNamed(rows, "Event");
  if (name < 0 || table < 0 || timing < 0 || event < 0) return false;
  std::vector<size_t> order;
  for (size_t i = 0; i < rows.size(); ++i)
    if (!rows.isNull(i, name)) order.push_back(i);
  auto key = [&](size_t row) {
    return std::tie(rows.text(row, table), rows.text(row, timing),
                    rows.text(row, event));
  };
  std::stable_sort(order.begin(), order.end(),
                   [&](size_t a, size_t b) { return key(a) < key(b); });
  for (size_t row : order) {
    ObjectDefinition object;
    object.kind = SectionKind::kTrigger;
    object.name = rows.text(row, name);
    objects->push_back(std::move(object));
  }
  return true;
}

// SHOW EVENTS lists this database's events, in order of their names' bytes
// here, and tells a missing right by refusing; information_schema.EVENTS
// would show none without a word.
db::Session::Answer listEvents(db::Session& session,
                               std::vector<ObjectDefinition>* objects) {
  db::Rows rows;
  const db::Session::Answer answer =
      session.selectUnlessRefused("SHOW EVENTS", &rows, db::kNoDatabaseRight);
  if (answer != db::Session::Answer::kRows) return answer;
  const int name = columnNamed(rows, "Name");
  if (name < 0) return db::Session::Answer::kFailed;
  std::vector<std::string> names;
  for (size_t i = 0; i < rows.size(); ++i)
    if (!rows.isNull(i, name)) names.push_back(rows.text(i, name));
  std::sort(names.begin(), names.end());
  for (std::string& eventName : names) {
    ObjectDefinition object;
    object.kind = SectionKind::kEvent;
    object.name = std::move(eventName);
    objects->push_back(std::move(object));
  }
  return answer;
}

// Whether the session may see every trigger: TRIGGER granted to the user
// or its role on all databases, on `database`, or on each base table.
// False when the grants could not be read.
bool triggersVisible(db::Session& session, const std::string& database,
                     const std::vector<TableEntry>& tables, bool* visible) {
  db::Rows rows;
  if (!session.select("SHOW GRANTS", &rows)) return false;
  bool everywhere = false;
  std::unordered_set<std::string> grantedTables;
  for (size_t i = 0; i < rows.size(); ++i) {
    if (rows.isNull(i, 0)) continue;
    const TriggerGrant grant = triggerGrantOf(rows.text(i, 0));
    if (!grant.found) continue;
    if (grant.everywhere ||
        (grant.table.empty() && grantPatternMatches(grant.database, database)))
      everywhere = true;
    else if (!grant.table.empty() && grant.database == database)
      grantedTables.insert(grant.table);
  }
  *visible = true;
  if (everywhere) return true;
  for (const TableEntry& table : tables)
    if (!table.isView && grantedTables.count(table.name) == 0) *visible = false;
  return true;
}

// Says when the right to see every trigger is missing (rightsMissing),
// or that the grants could not be read (objectsListed false).
void checkTriggerRight(db::Session& session, const std::string& database,
                       Inventory* inventory) {
  bool triggers = false;
  if (!triggersVisible(session, database, inventory->tables, &triggers)) {
    run_session::printError(session);
    inventory->objectsListed = false;
  } else if (!triggers) {
    printLine(console_text::kNoTriggerRight);
    inventory->rightsMissing = true;
  }
}

// Runs `read` with the session's results unconverted, which give each
// text in the character set of the session that made it; false, said on
// the console, when the session could not be switched or switched back.
bool readUnconverted(db::Session& session, const std::function<void()>& read) {
  if (!session.execute("SET @vkt_results = @@character_set_results, "
                       "character_set_results = binary")) {
    run_session::printError(session);
    return false;
  }
  read();
  if (!session.execute("SET character_set_results = @vkt_results")) {
    run_session::printError(session);
    return false;
  }
  return true;
}

}  // namespace

bool readDefinitions(db::Session& session, const std::string& database,
                     Inventory* inventory) {
  std::vector<ObjectDefinition>& objects = inventory->objects;
  console_text::printStart(console_text::kQueryingObjects);
  // Functions before procedures; triggers in the order they fire, so that
  // creating them one after the other gives that order back.
  db::Session::Answer events = db::Session::Answer::kFailed;
  inventory->objectsListed =
      listObjects(session,
                  "SELECT ROUTINE_TYPE, ROUTINE_NAME FROM "
                  "information_schema.ROUTINES WHERE ROUTINE_SCHEMA = "
                  "DATABASE() AND ROUTINE_TYPE IN ('FUNCTION', 'PROCEDURE') "
                  "ORDER BY ROUTINE_TYPE, BINARY ROUTINE_NAME",
                  &objects) &&
      listTriggers(session, &objects) &&
      (events = listEvents(session, &objects)) != db::Session::Answer::kFailed;
  if (!inventory->objectsListed) {
    run_session::printError(session);
    objects.clear();
  } else {
    printLine(console_text::kOk);
    checkTriggerRight(session, database, inventory);
    if (events == db::Session::Answer::kRefused) {
      printLine(console_text::kNoEventRight);
      inventory->rightsMissing = true;
    }
  }
  if (objects.empty()) return true;
  return readUnconverted(session, [&session, &objects] {
    for (ObjectDefinition& object : objects)
      object = showCreate(session, object.kind, object.name, keywordOf(object.kind));
  });
}

bool readViewDefinitions(db::Session& session, Inventory* inventory) {
  bool anyView = false;
  for (const TableEntry& table : inventory->tables)
    anyView = anyView || table.isView;
  if (!anyView) return true;
  return readUnconverted(session, [&session, inventory] {
    for (const TableEntry& table : inventory->tables)
      if (table.isView)
        inventory->viewDefinitions[table.name] =
            showCreate(session, SectionKind::kTable, table.name, "VIEW");
  });
}
