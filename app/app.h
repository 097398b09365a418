// The console front end: one run from banner to teardown.
#ifndef VKT_APP_APP_H_
#define VKT_APP_APP_H_

#include <string>
#include <vector>

class CIniFile;
class BackupEngine;

// The settings file in the working directory.
constexpr char kSettingsFileName[] = "vkt.ini";
constexpr char kSettingsSection[] = "DBDATEN";
// The file beside it that one run at a time holds locked. It is never
// removed: removing a lock file lets a third run lock a new file while the
// second still holds the old one.
constexpr char kRunLockFileName[] = "vkt.ini.lock";

// The values a run carries from stage to stage.
struct RunValues {
  std::string host;
  std::string user;
  std::string password;
  std::string databaseName;
  std::string savePath;
  std::string lastBackupTime;
  bool saveStructure = true;
  bool saveData = true;
  bool dropTable = false;
  bool fromPreviousBackup = true;
  bool compressed = false;  // `kompression=zstd`
  int keepBackups = 0;      // `anzahl-backups`; 0 keeps all
  int rowsPerStatement = 1;  // zeilen-je-insert
  bool settingsLoaded = false;
};

// Runs the whole program once and returns its exit status: 0 when the run
// ended with a complete backup file whose time was stored in the settings
// file, or with "no changes since the last backup"; 1 on every other path.
int runProgram();

// The exit status of a command line that the program does not take.
constexpr int kUsageError = 2;

// Runs what the command line `arguments` (after the program's name) asks
// for: none, a backup run (runProgram()); "--help" or "--version", the
// text on stdout (0); "--pruefen" and files, their check (checkBackups();
// without files, the last backup that vkt.ini names). Anything else is
// told on stderr with kUsageError, and nothing is run or asked.
int runCommandLine(const std::vector<std::string>& arguments);

// Checks the backup file `path` (backup/backup_check.h), named `shown` on
// the console, and prints OK or its faults, and a summary. True when it
// holds.
bool checkBackup(const std::string& path, const std::string& shown);

// "--einspielen FILE [--datenbank NAME] [--ersetzen] [--verbindungen N]":
// checks the file, then loads it into the database (backup/backup_load.h)
// on the server that vkt.ini names. 0 when every table and object of the
// file was loaded whole, 1 when the file was refused or the load failed,
// kUsageError for words it does not take.
int runLoad(const std::vector<std::string>& arguments);

// Checks each backup file (backup/backup_check.h) and prints per file OK
// or its faults, and a summary. 0 when every file holds, else 1.
int checkBackups(const std::vector<std::string>& paths);

// The name of the last backup that vkt.ini in the working directory names
// (save-path, db-name, zeit-last-backup, kompression): the file the last
// complete run wrote. False, told on stderr, when it names none.
bool lastBackupName(std::string* path);

// Makes sure descriptors 0, 1 and 2 are open, on /dev/null where they were
// closed, so that no file or connection opened later takes their place.
// False when /dev/null cannot be opened.
bool openStandardDescriptors();

// What taking the run lock ended with.
enum class LockOutcome {
  kHeld,        // this run holds the lock
  kBusy,        // another run holds it
  kFailed,      // the lock file could not be opened or locked
  kNotRegular,  // the lock file's name is taken by something else (a FIFO)
};

// An exclusive lock on a file, taken without waiting and held until
// destruction.
class RunLock {
 public:
  // Opens (creating with mode 0600, never through a symbolic link, never
  // waiting on a FIFO) and locks `path`, which must be a regular file.
  explicit RunLock(const char* path);
  ~RunLock();
  RunLock(const RunLock&) = delete;
  RunLock& operator=(const RunLock&) = delete;

  LockOutcome outcome() const { return outcome_; }
  int error() const { return error_; }  // errno of a failure, else 0

 private:
  int fd_ = -1;
  LockOutcome outcome_ = LockOutcome::kFailed;
  int error_ = 0;
};

// Asks for host, user, password and database name on the console, one
// whitespace-delimited word each, and switches on the three save switches.
// At end of input the variables keep what they held.
void promptConnectionData(std::string& host, std::string& user,
                          std::string& password, std::string& databaseName,
                          bool& saveStructure, bool& saveData, bool& dropTable);

// Prints the pause prompt and waits for one key (a terminal) or one byte
// (anything else); goes on at once at end of input.
void pauseForKey();

// Settings stage: prints the loading line, constructs nothing itself but
// reads `settings` (already constructed on the settings file) into
// `values`, or prompts when it could not be loaded. False, with the key
// named on stderr, when a value of the file was too long to be read whole:
// the run must not go on.
bool takeSettings(CIniFile& settings, RunValues& values);

// Storing stage, after a successful backup run. True when the backup time
// was set and the settings file saved.
bool storeSettings(CIniFile& settings, const RunValues& values,
                   const BackupEngine& engine);

#endif  // VKT_APP_APP_H_
