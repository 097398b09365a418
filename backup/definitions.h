// The definitions that are not tables' (functions, procedures, triggers,
// events) and the statements of views, read from the server with the
// results unconverted, so that each text comes in the character set it
// was written in and can be replayed under that character set.
#ifndef VKT_BACKUP_DEFINITIONS_H_
#define VKT_BACKUP_DEFINITIONS_H_

#include <string>

#include "backup/db_session.h"
#include "backup/inventory.h"

// Reads every view's statement of inventory->tables into
// inventory->viewDefinitions, once. A statement that could not be read
// carries its error. False only when the session could not be switched to
// unconverted results or back (said on the console).
bool readViewDefinitions(db::Session& session, Inventory* inventory);

// Lists the database's functions and procedures, its triggers in the
// order they fire and its events into inventory->objects, and reads each
// one's definition; sets objectsListed (false, said on the console, when a
// list query failed) and rightsMissing (the server hides triggers or
// events from this user, said on the console). `database` is the
// session's, as its grants name it. False as readViewDefinitions().
bool readDefinitions(db::Session& session, const std::string& database,
                     Inventory* inventory);

#endif  // VKT_BACKUP_DEFINITIONS_H_
