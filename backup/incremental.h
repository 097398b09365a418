// The previous backup as the base of an incremental run: waiting for its
// index, judging whether it can serve, and the plan made with it.
#ifndef VKT_BACKUP_INCREMENTAL_H_
#define VKT_BACKUP_INCREMENTAL_H_

#include <memory>
#include <string>
#include <unordered_set>

#include "backup/db_session.h"
#include "backup/inventory.h"
#include "backup/plan.h"
#include "backup/previous_backup.h"
#include "backup/previous_file.h"

namespace incremental {

// Which rows of the previous backup are worth judging: those of tables
// whose update time is the inventory's, and, with the log on, those the
// log may show unchanged. Reads `inventory` when called: it must outlive
// the function.
previous_backup::RowsWanted rowsWorthJudging(const Inventory& inventory);

// Waits for the previous backup `fileName` that `indexing` opens and
// indexes; nullptr, said on the console, when it cannot be read.
std::unique_ptr<PreviousBackup> loadPreviousBackup(PreviousIndexing& indexing,
                                                   const std::string& fileName);

// True, and says why on the console, when `previous` was written with
// settings other than `settings` (backup_format::settingsText()).
bool previousSettingsDiffer(const PreviousBackup& previous,
                            const std::string& settings);

// This run's plan, from the inventory, the settings and, in an incremental
// run, the previous backup and the tables the log shows changed (null when
// it gave no clean answer). Rows are copied only when the previous ones
// were read in `charset`, the run's, as this run's are.
plan::Plan makePlan(const Inventory& inventory, const PreviousBackup* previous,
                    const std::unordered_set<std::string>* loggedChanges,
                    const plan::Settings& settings, const std::string& charset);

// Says how many tables of `previous` the server forgot the update time of,
// and, asking `session`, whether its table cache is too small for the
// database.
void printForgottenUpdateTimes(db::Session& session, const Inventory& inventory,
                               const PreviousBackup& previous);

}  // namespace incremental

#endif  // VKT_BACKUP_INCREMENTAL_H_
