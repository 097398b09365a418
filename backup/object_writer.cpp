#include "backup/object_writer.h"

#include <string>
#include <vector>

#include "backup/console_text.h"
#include "backup/object_section.h"

using backup_format::SectionKind;
using console_text::printLine;

namespace {

bool isRoutine(SectionKind kind) {
  return kind == SectionKind::kFunction || kind == SectionKind::kProcedure;
}

bool writeObject(const ObjectDefinition& object, bool dropFirst, BackupFile& out) {
  printLine("");
  printLine(console_text::savingObject(object.kind, object.name));
  std::vector<std::string> lines =
      object_section::objectLines(object, dropFirst);
  if (lines.empty()) {
    printLine(console_text::error(
        object.error.empty() ? console_text::kUnwritableDefinition : object.error));
    return false;
  }
  out.startFrame();
  if (!out.writeLine(
          backup_format::sectionOpener(object.kind, object.name))) {
    printLine(console_text::kCannotWrite);
    return false;
  }
  for (const std::string& line : lines)
    if (!out.writeLine(line)) return false;
  return true;
}

// Writes the objects of the kinds `wanted` takes, in the inventory's
// order; the number written.
template <typename Wanted>
int writeEach(const Inventory& inventory, Wanted wanted, bool dropFirst,
              BackupFile& out) {
  int saved = 0;
  for (const ObjectDefinition& object : inventory.objects)
    if (wanted(object.kind) && writeObject(object, dropFirst, out)) ++saved;
  return saved;
}

}  // namespace

namespace object_writer {

int writeRoutines(const Inventory& inventory, bool dropFirst, BackupFile& out) {
  return writeEach(inventory, isRoutine, dropFirst, out);
}

int writeObjects(const Inventory& inventory, SectionKind kind, bool dropFirst,
                 BackupFile& out) {
  return writeEach(inventory, [kind](SectionKind other) { return other == kind; },
                   dropFirst, out);
}

bool objectsWhole(const Inventory& inventory, int saved) {
  return inventory.objectsListed && !inventory.rightsMissing &&
         saved == static_cast<int>(inventory.objects.size());
}

}  // namespace object_writer
