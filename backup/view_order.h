// The order of the inventory's tables in the file: base tables first, in
// the server's order, then the views, each after the views it reads, so
// that a restore can create every view.
#ifndef VKT_BACKUP_VIEW_ORDER_H_
#define VKT_BACKUP_VIEW_ORDER_H_

#include <set>
#include <string>

#include "backup/db_session.h"
#include "backup/inventory.h"

// Puts inventory->tables in that order; views the server cannot use come
// last, and views in a cycle in the server's order. Reads the views'
// statements from inventory->viewDefinitions; `session` converts those
// written in another character set than its own, so that their names
// match the inventory's. `database` is the session's.
void orderViews(db::Session& session, const std::string& database,
                Inventory* inventory);

// The names that the select of `definition`, the CREATE VIEW text of
// `view`, may read from: every backquoted name after "VIEW `view` AS",
// except an alias (after AS) and a column (after "." unless it follows
// `database`).
std::set<std::string> namesReadBy(const std::string& definition,
                                  const std::string& view,
                                  const std::string& database);

#endif  // VKT_BACKUP_VIEW_ORDER_H_
