// The writer of the object sections: functions, procedures, triggers and
// events, each in a section of its own, from the inventory's definitions.
#ifndef VKT_BACKUP_OBJECT_WRITER_H_
#define VKT_BACKUP_OBJECT_WRITER_H_

#include "backup/backup_file.h"
#include "backup/backup_format.h"
#include "backup/inventory.h"

namespace object_writer {

// Writes the sections of the inventory's functions and procedures into
// `out`, each in a frame of its own, saying each on the console; with
// `dropFirst`, each section drops its object first. The number written
// whole.
int writeRoutines(const Inventory& inventory, bool dropFirst, BackupFile& out);

// The same for the inventory's objects of `kind` (triggers, events).
int writeObjects(const Inventory& inventory, backup_format::SectionKind kind,
                 bool dropFirst, BackupFile& out);

// True when every definition was listed and `saved` of them written, as
// many as there are.
bool objectsWhole(const Inventory& inventory, int saved);

}  // namespace object_writer

#endif  // VKT_BACKUP_OBJECT_WRITER_H_
