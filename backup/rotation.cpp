#include "backup/rotation.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "backup/backup_file.h"
#include "backup/backup_format.h"
#include "backup/console_text.h"
#include "backup/file_header.h"

namespace rotation {
namespace {

struct Found {
  std::string stamp;
  std::string name;
  bool working = false;
};

bool allDigits(const std::string& text) {
  return std::all_of(text.begin(), text.end(),
                     [](char c) { return c >= '0' && c <= '9'; });
}

// The file `name` as a backup of the database whose names begin with
// `prefix`; false for any other name.
bool parse(const std::string& name, const std::string& prefix, Found* found) {
  const std::size_t stampEnd = prefix.size() + backup_format::kStampLength;
  if (name.size() <= stampEnd || name.compare(0, prefix.size(), prefix) != 0)
    return false;
  found->stamp = name.substr(prefix.size(), backup_format::kStampLength);
  if (!allDigits(found->stamp)) return false;
  std::string rest = name.substr(stampEnd);
  const std::string working = BackupFile::kWorkingSuffix;
  found->working = rest.size() > working.size() &&
                   rest.compare(rest.size() - working.size(), working.size(),
                                working) == 0;
  if (found->working) rest.resize(rest.size() - working.size());
  const std::string plain = backup_format::kFileSuffix;
  if (rest != plain && rest != plain + backup_format::kCompressedSuffix)
    return false;
  found->name = name;
  return true;
}

std::string baseName(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool remove(const std::string& path) {
  if (unlink(path.c_str()) == 0) {
    console_text::printLine(console_text::removed(path));
    return true;
  }
  console_text::printLine(console_text::notRemoved(path, std::strerror(errno)));
  return false;
}

}  // namespace

int removeOldBackups(const std::string& directory, const std::string& database,
                     int keep, const std::string& written) {
  if (keep <= 0) return 0;
  std::unique_ptr<DIR, int (*)(DIR*)> dir(opendir(directory.c_str()), closedir);
  if (!dir) {
    console_text::printLine(console_text::notSearched(directory, std::strerror(errno)));
    return 1;
  }
  const std::string prefix = backup_format::fileNamePrefix(database);
  const std::string keepName = baseName(written);
  std::vector<Found> complete;
  std::vector<Found> working;
  while (const dirent* entry = readdir(dir.get())) {
    Found found;
    if (!parse(entry->d_name, prefix, &found) || found.name == keepName) continue;
    struct stat status;
    const std::string path = directory + "/" + found.name;
    if (lstat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    // Another database may write files of the same name.
    if (!file_header::fileNamesDatabase(path, database)) continue;
    (found.working ? working : complete).push_back(found);
  }
  // The file just written is the newest complete backup and one of those
  // kept.
  std::string newest = keepName.size() > prefix.size()
                           ? keepName.substr(prefix.size(), backup_format::kStampLength)
                           : std::string();
  std::sort(complete.begin(), complete.end(), [](const Found& a, const Found& b) {
    return a.stamp != b.stamp ? a.stamp > b.stamp : a.name > b.name;
  });
  if (!complete.empty()) newest = std::max(newest, complete.front().stamp);
  int failures = 0;
  for (std::size_t i = static_cast<std::size_t>(keep - 1); i < complete.size(); ++i)
    if (!remove(directory + "/" + complete[i].name)) ++failures;
  for (const Found& file : working)
    if (file.stamp < newest && !remove(directory + "/" + file.name)) ++failures;
  return failures;
}

}  // namespace rotation
