#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include <strings.h>
#include <sys/stat.h>

#include "app/app.h"
#include "backup/backup_check.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "ini/ini_file.h"

namespace {

// A key of the settings file, without the store's message when missing.
std::string settingText(CIniFile& settings, const char* key) {
  if (!settings.findSection(kSettingsSection) || !settings.findValue(key)) return "";
  const char* text = settings.getValue(kSettingsSection, key);
  return text == nullptr ? "" : text;
}

bool exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

// The progress line on a terminal (stderr), redrawn in place.
class CheckProgress {
 public:
  explicit CheckProgress(const std::string& path)
      : path_(path), shown_(isatty(STDERR_FILENO) == 1) {}
  ~CheckProgress() {
    if (drawn_) std::cerr << "\r\x1b[K" << std::flush;
  }
  void operator()(std::uint64_t done, std::uint64_t total) {
    if (!shown_) return;
    std::cerr << '\r' << console_text::checkProgress(path_, done, total) << "\x1b[K"
              << std::flush;
    drawn_ = true;
  }

 private:
  std::string path_;
  bool shown_;
  bool drawn_ = false;
};

}  // namespace

bool checkBackup(const std::string& path, const std::string& shown) {
  backup_check::Report report;
  {
    CheckProgress progress(shown);
    report = backup_check::checkFile(
        path, [&](std::uint64_t done, std::uint64_t total) { progress(done, total); });
  }
  if (report.holds()) {
    std::cout << console_text::checkHolds(shown) << '\n';
  } else {
    std::cout << console_text::checkFails(shown, report.faults.size() + report.faultsLeftOut)
              << '\n';
    for (const backup_check::Fault& fault : report.faults)
      std::cout << console_text::checkFault(fault.line, fault.frame, fault.why) << '\n';
    if (report.faultsLeftOut > 0)
      std::cout << console_text::checkLeftOut(report.faultsLeftOut) << '\n';
  }
  const backup_check::Summary& s = report.summary;
  if (s.bytes > 0)
    std::cout << console_text::checkSummary(s.tables, s.views, s.rows, s.routines,
                                            s.triggers, s.events, s.bytes, s.packedBytes)
              << '\n';
  std::cout << std::flush;
  return report.holds();
}

bool lastBackupName(std::string* path) {
  CIniFile settings(kSettingsFileName);
  if (!settings.isLoaded()) {
    std::cerr << "Konnte " << kSettingsFileName << " nicht laden." << std::endl;
    return false;
  }
  const std::string database = settingText(settings, "db-name");
  const std::string stamp = settingText(settings, "zeit-last-backup");
  if (database.empty() || stamp.empty()) {
    std::cerr << "Die " << kSettingsFileName
              << " nennt kein letztes Backup (db-name, zeit-last-backup)." << std::endl;
    return false;
  }
  const std::string savePath = settingText(settings, "save-path");
  const bool compressed = strcasecmp(settingText(settings, "kompression").c_str(), "zstd") == 0;
  *path = backup_format::fileName(savePath, database, stamp, compressed);
  // Written before the setting changed: the other form.
  const std::string other = backup_format::fileName(savePath, database, stamp, !compressed);
  if (!exists(*path) && exists(other)) *path = other;
  return true;
}

int checkBackups(const std::vector<std::string>& paths) {
  bool allHold = true;
  for (const std::string& path : paths) allHold = checkBackup(path, path) && allHold;
  return allHold ? 0 : 1;
}
