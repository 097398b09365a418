#include "backup/closing_block.h"

#include "backup/change_rules.h"

namespace {

bool writeIdentities(const Inventory& inventory, const std::string& settings,
                     const backup_format::LogPosition& logAt, BackupFile& out) {
  out.startFrame();
  bool written = out.writeLine(backup_format::settingsLine(settings));
  // With the log on, its position, and the lasting identity of every table
  // whose update time is not known: the next run may tell it unchanged by
  // the log.
  const std::string logLine = backup_format::logPositionLine(logAt);
  if (!logLine.empty()) written = out.writeLine(logLine) && written;
  for (const TableEntry& table : inventory.tables) {
    const std::string identity =
        !table.identity.empty() || logLine.empty()
            ? table.identity
            : change_rules::identityWithoutTime(table.lastingIdentity);
    if (!identity.empty())
      written = out.writeLine(backup_format::identityLine(table.name, identity)) &&
                written;
  }
  return written;
}

}  // namespace

bool writeClosingBlock(const Inventory& inventory, const std::string& settings,
                       const backup_format::LogPosition& logAt, BackupFile& out) {
  out.startFrame();
  for (const std::string& line : backup_format::closingLines())
    out.writeLine(line);
  return writeIdentities(inventory, settings, logAt, out);
}
