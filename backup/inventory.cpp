#include "backup/inventory.h"

#include <initializer_list>

#include <strings.h>

namespace {

bool isOneOf(const std::string& engine,
             std::initializer_list<const char*> names) {
  for (const char* name : names)
    if (strcasecmp(engine.c_str(), name) == 0) return true;
  return false;
}

}  // namespace

// Engines that move a table's update time on every change of its rows.
// Others do not: Aria keeps it for many minutes.
bool updateTimeFollowsRows(const std::string& engine) {
  return isOneOf(engine, {"InnoDB", "MyISAM"});
}

std::string historyRowsKept(const TableEntry& table) {
  // Without both period columns nothing can be judged: every row stays.
  if (table.periodStart.empty() || table.periodEnd.empty()) return "TRUE";
  const std::string start = backup_format::quoteIdentifier(table.periodStart);
  const std::string end = backup_format::quoteIdentifier(table.periodEnd);
  std::string kept = start + " < " + end;
  if (!table.nullableAutoIncrement.empty()) {
    // A current row's period ends at the largest timestamp: 2038 up to
    // MariaDB 11.4, 2106 after it on 64-bit servers.
    kept += " AND (" + backup_format::quoteIdentifier(table.nullableAutoIncrement) +
            " IS NOT NULL OR " + end + " IN (TIMESTAMP'2038-01-19 03:14:07.999999', "
            "TIMESTAMP'2106-02-07 06:28:15.999999'))";
  }
  return kept;
}

