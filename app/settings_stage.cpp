#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <iostream>

#include "app/app.h"
#include "backup/backup_engine.h"
#include "backup/backup_format.h"
#include "ini/ini_file.h"

namespace {

// A missing text key leaves the setting as it was (empty).
void takeText(CIniFile& settings, const char* key, std::string& target) {
  const char* text = settings.getValue(kSettingsSection, key);
  if (text != nullptr) target = text;
}

// zeilen-je-insert: the most rows an INSERT holds. Absent, 1 or not a
// whole number from 1 on: one row an INSERT.
int takeRowsPerStatement(CIniFile& settings) {
  // An optional key: its absence is no fault to report.
  if (!settings.findSection(kSettingsSection) ||
      !settings.findValue("zeilen-je-insert"))
    return 1;
  const char* text = settings.getValue(kSettingsSection, "zeilen-je-insert");
  if (text == nullptr) return 1;
  char* end = nullptr;
  errno = 0;
  const long rows = std::strtol(text, &end, 10);
  if (end != text && *end == '\0' && errno == 0 && rows >= 1 && rows <= INT_MAX &&
      std::isdigit(static_cast<unsigned char>(text[0])))
    return static_cast<int>(rows);
  std::cout << "Ung\xFCltiger Wert f\xFCr zeilen-je-insert: '" << text
            << "'. Es wird eine Zeile je INSERT geschrieben." << std::endl;
  return 1;
}

}  // namespace

bool takeSettings(CIniFile& settings, RunValues& values) {
  values.settingsLoaded = settings.isLoaded();
  if (!values.settingsLoaded) {
    std::cout << "Konnte " << kSettingsFileName << " nicht laden." << std::endl;
    promptConnectionData(values.host, values.user, values.password,
                         values.databaseName, values.saveStructure,
                         values.saveData, values.dropTable);
    return true;
  }
  std::cout << "Ini-Datei " << kSettingsFileName << " geladen." << std::endl;
  // A cut value would be taken for another one: a save path cut short names
  // another directory, and storing the file would keep the cut text.
  if (settings.cutValueName() != nullptr) {
    std::cerr << "Fehler: Der Wert von '"
              << backup_format::commentName(settings.cutValueName())
              << "' in der " << kSettingsFileName << " ist l\xE4nger als "
              << kIniReadValueLength << " Bytes. Abbruch." << std::endl;
    return false;
  }
  takeText(settings, "host", values.host);
  takeText(settings, "user", values.user);
  takeText(settings, "pass", values.password);
  takeText(settings, "db-name", values.databaseName);
  takeText(settings, "save-path", values.savePath);
  values.saveStructure = settings.getBoolValue(kSettingsSection, "save-strucktur");
  values.saveData = settings.getBoolValue(kSettingsSection, "save-daten");
  values.dropTable = settings.getBoolValue(kSettingsSection, "droptable");
  values.fromPreviousBackup =
      settings.getBoolValue(kSettingsSection, "backup-from-file");
  takeText(settings, "zeit-last-backup", values.lastBackupTime);
  values.rowsPerStatement = takeRowsPerStatement(settings);
  return true;
}

bool storeSettings(CIniFile& settings, const RunValues& values,
                   const BackupEngine& engine) {
  if (!values.settingsLoaded) {
    std::cout << "Speichere die Verbindungsdaten in der 'vkt.ini'" << std::endl;
    if (settings.addSection(kSettingsSection)) {
      settings.addValue(nullptr, "host", values.host.c_str());
      settings.addValue(nullptr, "user", values.user.c_str());
      settings.addValue(nullptr, "pass", values.password.c_str());
      settings.addValue(nullptr, "db-name", values.databaseName.c_str());
      settings.addValue(nullptr, "save-path", "");
      settings.addValue(nullptr, "save-strucktur", values.saveStructure ? "1" : "0");
      settings.addValue(nullptr, "save-daten", values.saveData ? "1" : "0");
      settings.addValue(nullptr, "droptable", values.dropTable ? "1" : "0");
      settings.save();
    }
  }
  // Without the section (a loaded file that lacks it) the time is not
  // set; the file is saved all the same.
  bool timeSet = settings.setValue(kSettingsSection, "zeit-last-backup",
                                   engine.getBackupTime().c_str());
  bool saved = settings.save();
  if (!saved)
    std::cerr << "Konnte die Datei " << kSettingsFileName
              << " nicht speichern! Das n\xE4" "chste Backup vergleicht mit "
                 "dem vorigen." << std::endl;
  return timeSet && saved;
}
