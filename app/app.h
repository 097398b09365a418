// The console front end: one run from banner to teardown.
#ifndef VKT_APP_APP_H_
#define VKT_APP_APP_H_

#include <string>

class CIniFile;
class BackupEngine;

// The settings file in the working directory.
constexpr char kSettingsFileName[] = "vkt.ini";
constexpr char kSettingsSection[] = "DBDATEN";

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
  bool settingsLoaded = false;
};

// Runs the whole program once. Always returns 0.
int runProgram();

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
// `values`, or prompts when it could not be loaded.
void takeSettings(CIniFile& settings, RunValues& values);

// Storing stage, after a successful backup run.
void storeSettings(CIniFile& settings, const RunValues& values,
                   const BackupEngine& engine);

#endif  // VKT_APP_APP_H_
