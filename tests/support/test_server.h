// Access to the private test server started by the test fixture, and to
// the built program, for tests that run against a real server.
#ifndef VKT_TESTS_SUPPORT_TEST_SERVER_H_
#define VKT_TESTS_SUPPORT_TEST_SERVER_H_

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <mysql.h>

namespace testing_support {

struct ServerInfo {
  std::string socket;
  std::string port;
  std::string user;
  std::string password;
  std::string database;  // the sample database
};

// Reads the fixture's env file and exports MYSQL_UNIX_PORT/MYSQL_TCP_PORT,
// so that the client library (and the program) reach the private server.
const ServerInfo& server();

// A connection as the test user; closed by the destructor.
class Connection {
 public:
  explicit Connection(const std::string& database = "");
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  MYSQL* handle() { return mysql_; }
  // Runs statements; fails the current test on error.
  void exec(const std::string& sql);
  // First column of every row of a query.
  std::vector<std::string> column(const std::string& sql);
  std::string scalar(const std::string& sql);

 private:
  MYSQL* mysql_;
};

// Drops and creates `name` (utf8mb4).
void recreateDatabase(const std::string& name);

// CHECKSUM TABLE (extended) of every base table of `database`.
std::map<std::string, std::string> checksums(const std::string& database);
// Row counts of every base table.
std::map<std::string, long> rowCounts(const std::string& database);

// How every table, view, routine, trigger and event of `database` is
// shown by SHOW CREATE (the database's own name put as `DB`), sorted.
std::vector<std::string> definitions(const std::string& database);

// Loads `file` with the program's --einspielen into `<database>_load`,
// which it creates, and expects it to hold what `database` holds: the same
// CHECKSUM TABLE of every table (past rows included), row counts and
// definitions. Drops it again.
void expectLoadsLikeRestored(const std::string& file, const std::string& database);

// Restores `file` into a fresh `database` with the stock client, whose
// character set is latin1 as under a C locale, or `clientCharset` ("" for
// the client's default); with `force`, the client goes on after an error.
// Returns the client's exit status; its messages go to *errors. A file of
// this program that the client restores, and that passes the check, is
// loaded by the program as well (expectLoadsLikeRestored), once per file.
int restore(const std::string& file, const std::string& database,
            std::string* errors = nullptr,
            const std::string& clientCharset = "latin1", bool force = false);

struct ProgramRun {
  int status = -1;  // exit status, or -1 when it did not exit normally
  std::string out;
  std::string err;
};

// Runs the built program in `workDir` with `input` on stdin.
ProgramRun runProgram(const std::string& workDir, const std::string& input,
                      const std::map<std::string, std::string>& env = {});

// Runs the built program as runProgram does, but through
// `bash -c '<shellSetup>; exec program'`, e.g. to set a ulimit first. The
// setup does not reach the files that collect the output.
ProgramRun runProgramAfter(const std::string& shellSetup,
                           const std::string& workDir, const std::string& input);

// `text` in single quotes for the shell.
std::string quoteShell(const std::string& text);

// Runs a shell command; returns its exit status and stdout.
int shell(const std::string& command, std::string* out = nullptr);

// A fresh empty directory under the system's temporary directory, removed
// by the destructor.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// The built program started in the background, as runProgram starts it
// (or as runProgramAfter does, when `shellSetup` is given). wait() collects
// it; the destructor waits too when nobody did.
class RunningProgram {
 public:
  RunningProgram(const std::string& workDir, const std::string& input,
                 const std::string& shellSetup = "");
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;
  int pid() const { return pid_; }
  // What it has written to stdout so far.
  std::string outputSoFar() const;
  ProgramRun wait();

 private:
  TempDir io_;
  int pid_ = -1;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
// Files in `dir` whose names end with `suffix`, sorted.
std::vector<std::string> listFiles(const std::string& dir,
                                   const std::string& suffix);
// The 14-digit stamp of a backup file name ("<dir>/<db>-<stamp>.sql" or
// ".sql.zst").
std::string stampOf(const std::string& backupFile);

// The bytes of a backup file; a compressed one (".zst") decompressed by
// the zstd tool.
std::string plainBytes(const std::string& file);

// The frames that the seek table at the end of a compressed file lists;
// empty when the table is missing, malformed or its compressed sizes do
// not add up to the bytes before it.
struct FrameSpan {
  std::uint64_t packedBegin, packedSize, plainBegin, plainSize;
};
std::vector<FrameSpan> seekTable(const std::string& file);
// The value of `key` in a settings text, "" when absent.
std::string settingValue(const std::string& settings, const std::string& key);

// A settings file for the test server.
std::string settingsFor(const std::string& database, const std::string& savePath,
                        const std::string& lastBackup = "",
                        const std::string& switches = "1111");

// Waits until the server's clock has passed the second of the last change.
void waitForNextSecond();

}  // namespace testing_support

#endif  // VKT_TESTS_SUPPORT_TEST_SERVER_H_
