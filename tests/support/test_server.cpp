#include "tests/support/test_server.h"

#include "backup/backup_check.h"
#include "backup/backup_file.h"
#include "backup/backup_format.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

namespace testing_support {
namespace {

std::string envValue(const std::string& text, const std::string& key) {
  std::istringstream lines(text);
  std::string line;
  while (std::getline(lines, line))
    if (line.compare(0, key.size() + 1, key + "=") == 0)
      return line.substr(key.size() + 1);
  return "";
}

ServerInfo loadServer() {
  std::string env = readFile(std::string(VKT_TESTDB_DIR) + "/env");
  if (env.empty()) {
    std::fprintf(stderr, "test server not running (no %s/env)\n",
                 VKT_TESTDB_DIR);
    std::abort();
  }
  ServerInfo info;
  info.socket = envValue(env, "VKT_DB_SOCKET");
  info.port = envValue(env, "VKT_DB_PORT");
  info.user = envValue(env, "VKT_DB_USER");
  info.password = envValue(env, "VKT_DB_PASSWORD");
  info.database = envValue(env, "VKT_DB_NAME");
  setenv("MYSQL_UNIX_PORT", info.socket.c_str(), 1);
  setenv("MYSQL_TCP_PORT", info.port.c_str(), 1);
  return info;
}

std::string clientArgs() {
  const ServerInfo& s = server();
  return "--no-defaults -S " + quoteShell(s.socket) + " -u " +
         quoteShell(s.user) + " -p" + quoteShell(s.password);
}

}  // namespace

std::string quoteShell(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

const ServerInfo& server() {
  static const ServerInfo info = loadServer();
  return info;
}

Connection::Connection(const std::string& database)
    // The client library reads MYSQL_UNIX_PORT once, at its first init.
    : mysql_((server(), mysql_init(nullptr))) {
  const ServerInfo& s = server();
  if (mysql_real_connect(mysql_, "localhost", s.user.c_str(),
                         s.password.c_str(),
                         database.empty() ? nullptr : database.c_str(), 0,
                         nullptr, CLIENT_MULTI_STATEMENTS) == nullptr) {
    ADD_FAILURE() << "connect: " << mysql_error(mysql_);
  }
  mysql_set_character_set(mysql_, "utf8mb4");
}

Connection::~Connection() { mysql_close(mysql_); }

void Connection::exec(const std::string& sql) {
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << "query failed: " << mysql_error(mysql_) << "\n" << sql;
    return;
  }
  do {
    if (MYSQL_RES* r = mysql_store_result(mysql_)) mysql_free_result(r);
  } while (mysql_next_result(mysql_) == 0);
  if (mysql_errno(mysql_) != 0)
    ADD_FAILURE() << "statement failed: " << mysql_error(mysql_) << "\n" << sql;
}

std::vector<std::string> Connection::column(const std::string& sql) {
  std::vector<std::string> values;
  if (mysql_real_query(mysql_, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << "query failed: " << mysql_error(mysql_) << "\n" << sql;
    return values;
  }
  MYSQL_RES* result = mysql_store_result(mysql_);
  if (result == nullptr) return values;
  while (MYSQL_ROW row = mysql_fetch_row(result)) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    values.push_back(row[0] ? std::string(row[0], lengths[0]) : "NULL");
  }
  mysql_free_result(result);
  return values;
}

std::string Connection::scalar(const std::string& sql) {
  std::vector<std::string> values = column(sql);
  return values.empty() ? std::string() : values[0];
}

void recreateDatabase(const std::string& name) {
  Connection c;
  c.exec("DROP DATABASE IF EXISTS `" + name + "`");
  c.exec("CREATE DATABASE `" + name + "` CHARACTER SET utf8mb4");
}

namespace {

std::string quoteName(const std::string& name) {
  std::string quoted = "`";
  for (char ch : name) quoted += ch == '`' ? std::string("``") : std::string(1, ch);
  return quoted + "`";
}

std::vector<std::string> baseTables(Connection& c) {
  return c.column("SELECT TABLE_NAME FROM information_schema.TABLES WHERE "
                  "TABLE_SCHEMA = DATABASE() AND TABLE_TYPE = 'BASE TABLE'");
}

}  // namespace

std::map<std::string, std::string> checksums(const std::string& database) {
  Connection c(database);
  std::map<std::string, std::string> sums;
  for (const std::string& table : baseTables(c)) {
    MYSQL* h = c.handle();
    std::string sql = "CHECKSUM TABLE " + quoteName(table) + " EXTENDED";
    if (mysql_real_query(h, sql.data(), sql.size()) != 0) {
      ADD_FAILURE() << mysql_error(h);
      continue;
    }
    MYSQL_RES* r = mysql_store_result(h);
    MYSQL_ROW row = r ? mysql_fetch_row(r) : nullptr;
    sums[table] = row && row[1] ? row[1] : "NULL";
    if (r) mysql_free_result(r);
  }
  return sums;
}

std::map<std::string, long> rowCounts(const std::string& database) {
  Connection c(database);
  std::map<std::string, long> counts;
  for (const std::string& table : baseTables(c))
    counts[table] = std::atol(c.scalar("SELECT COUNT(*) FROM " + quoteName(table)).c_str());
  return counts;
}

namespace {

// The row of a SHOW statement, its columns joined by tabs, but for the
// creation time and with the database's name put as `DB`.
std::string shownRow(Connection& c, const std::string& sql, const std::string& database) {
  MYSQL* h = c.handle();
  if (mysql_real_query(h, sql.data(), sql.size()) != 0) {
    ADD_FAILURE() << mysql_error(h) << "\n" << sql;
    return "";
  }
  MYSQL_RES* result = mysql_store_result(h);
  std::string text;
  if (MYSQL_ROW row = result ? mysql_fetch_row(result) : nullptr) {
    unsigned long* lengths = mysql_fetch_lengths(result);
    for (unsigned i = 0; i < mysql_num_fields(result); ++i)
      if (std::string(mysql_fetch_field_direct(result, i)->name) != "Created")
        text += (row[i] ? std::string(row[i], lengths[i]) : "NULL") + "\t";
  }
  if (result) mysql_free_result(result);
  const std::string name = quoteName(database);
  for (std::size_t at; (at = text.find(name)) != std::string::npos;)
    text.replace(at, name.size(), "`DB`");
  return text;
}

}  // namespace

std::vector<std::string> definitions(const std::string& database) {
  Connection c(database);
  c.exec("SET character_set_results = binary");
  std::vector<std::string> all;
  const struct {
    const char* list;
    const char* show;
  } kinds[] = {
      {"SELECT CONCAT(IF(TABLE_TYPE = 'VIEW', 'VIEW ', 'TABLE '), TABLE_NAME) FROM "
       "information_schema.TABLES WHERE TABLE_SCHEMA = DATABASE()", "SHOW CREATE "},
      {"SELECT CONCAT(ROUTINE_TYPE, ' ', ROUTINE_NAME) FROM information_schema.ROUTINES"
       " WHERE ROUTINE_SCHEMA = DATABASE()", "SHOW CREATE "},
      {"SELECT CONCAT('TRIGGER ', TRIGGER_NAME) FROM information_schema.TRIGGERS WHERE "
       "TRIGGER_SCHEMA = DATABASE()", "SHOW CREATE "},
      {"SELECT CONCAT('EVENT ', EVENT_NAME) FROM information_schema.EVENTS WHERE "
       "EVENT_SCHEMA = DATABASE()", "SHOW CREATE "},
  };
  for (const auto& kind : kinds)
    for (const std::string& object : c.column(kind.list)) {
      const std::size_t blank = object.find(' ');
      all.push_back(object + ": " +
                    shownRow(c, kind.show + object.substr(0, blank) + " " +
                                    quoteName(object.substr(blank + 1)),
                             database));
    }
  std::sort(all.begin(), all.end());
  return all;
}

void expectLoadsLikeRestored(const std::string& file, const std::string& database) {
  const std::string loaded = database + "_load";
  Connection().exec("DROP DATABASE IF EXISTS " + quoteName(loaded));
  TempDir dir;
  writeFile(dir.path() + "/vkt.ini", settingsFor(database, dir.path()));
  std::string out;
  EXPECT_EQ(shell("cd " + quoteShell(dir.path()) + " && " VKT_BINARY " --einspielen " +
                      quoteShell(file) + " --datenbank " + quoteShell(loaded) +
                      " </dev/null 2>&1",
                  &out),
            0)
      << out;
  EXPECT_EQ(checksums(loaded), checksums(database)) << file;
  EXPECT_EQ(rowCounts(loaded), rowCounts(database)) << file;
  EXPECT_EQ(definitions(loaded), definitions(database)) << file;
  Connection().exec("DROP DATABASE " + quoteName(loaded));
}

int restore(const std::string& file, const std::string& database,
            std::string* errors, const std::string& clientCharset, bool force) {
  // Every file of this program that a test restores is checked as well: a
  // file that the client restores must pass the check (a damaged one may
  // fail both). A peer's dump is not checked, nor a file a run left
  // incomplete.
  const bool ours = (readFile(file).compare(0, backup_format::kHashLineLength,
                                            backup_format::hashLine()) == 0 ||
                     (file.size() > 4 && file.compare(file.size() - 4, 4, ".zst") == 0)) &&
                    file.find(BackupFile::kWorkingSuffix) == std::string::npos;
  const backup_check::Report check =
      ours ? backup_check::checkFile(file) : backup_check::Report();
  recreateDatabase(database);
  TempDir dir;
  std::string errFile = dir.path() + "/err";
  std::string charset =
      clientCharset.empty() ? "" : " --default-character-set=" + clientCharset;
  // A compressed file is checked, then restored as an administrator does.
  const bool packed = file.size() > 4 && file.compare(file.size() - 4, 4, ".zst") == 0;
  int status = shell((packed ? "zstd -q -t " + quoteShell(file) + " && zstd -dc " +
                                   quoteShell(file) + " | "
                             : std::string()) +
                     "mariadb " + clientArgs() + charset + (force ? " --force " : " ") +
                     quoteShell(database) +
                     (packed ? std::string() : " < " + quoteShell(file)) +
                     " 2> " + quoteShell(errFile));
  const std::string told = readFile(errFile);
  if (errors != nullptr) *errors = told;
  // With --force, a client that met errors exits 0 all the same.
  const bool restored = status == 0 && (!force || told.empty());
  // What the stock client restored, the program's own loader loads alike;
  // a file restored again (under other client settings) is loaded once.
  static std::set<std::string> loaded;
  struct stat written {};
  const bool seen =
      stat(file.c_str(), &written) == 0 &&
      !loaded
           .insert(file + "\n" + std::to_string(written.st_size) + "\n" +
                   std::to_string(written.st_mtim.tv_sec) + "." +
                   std::to_string(written.st_mtim.tv_nsec))
           .second;
  if (restored && ours && check.holds() && !seen) expectLoadsLikeRestored(file, database);
  if (restored && !check.holds()) {
    std::string faults;
    for (const backup_check::Fault& fault : check.faults)
      faults += "\n  " + std::to_string(fault.line) + "/" + std::to_string(fault.frame) +
                ": " + fault.why;
    ADD_FAILURE() << "the check fails a file that restores: " << file << faults;
  }
  return status;
}

namespace {

// Forks the program (or `bash -c shellSetup; exec program` when shellSetup
// is given) in workDir, with `env` added to its environment and
// stdin/stdout/stderr on files in `io`.
pid_t startProgram(const std::string& io, const std::string& workDir,
                   const std::string& input, const std::string& shellSetup,
                   const std::map<std::string, std::string>& env = {}) {
  server();
  writeFile(io + "/in", input);
  pid_t pid = fork();
  if (pid == 0) {
    if (chdir(workDir.c_str()) != 0) _exit(126);
    for (const auto& [key, value] : env) setenv(key.c_str(), value.c_str(), 1);
    int in = open((io + "/in").c_str(), O_RDONLY);
    int out = open((io + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open((io + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    if (shellSetup.empty()) {
      execl(VKT_BINARY, VKT_BINARY, static_cast<char*>(nullptr));
    } else {
      // The setup applies to the program only: its output goes through
      // pipes to cat processes started before it, which write the files.
      std::string script = "set -o pipefail; { " + shellSetup +
                           "; exec \"$0\"; } 2> >(cat >&2) | cat";
      execl("/bin/bash", "bash", "-c", script.c_str(), VKT_BINARY,
            static_cast<char*>(nullptr));
    }
    _exit(127);
  }
  return pid;
}

ProgramRun collectProgram(const std::string& io, pid_t pid) {
  ProgramRun run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = readFile(io + "/out");
  run.err = readFile(io + "/err");
  return run;
}

}  // namespace

ProgramRun runProgramAfter(const std::string& shellSetup,
                           const std::string& workDir, const std::string& input) {
  TempDir io;
  return collectProgram(io.path(),
                        startProgram(io.path(), workDir, input, shellSetup));
}

RunningProgram::RunningProgram(const std::string& workDir,
                               const std::string& input,
                               const std::string& shellSetup)
    : pid_(startProgram(io_.path(), workDir, input, shellSetup)) {}

std::string RunningProgram::outputSoFar() const {
  return readFile(io_.path() + "/out");
}

RunningProgram::~RunningProgram() {
  if (pid_ > 0) wait();
}

ProgramRun RunningProgram::wait() {
  if (pid_ <= 0) return ProgramRun();
  ProgramRun run = collectProgram(io_.path(), pid_);
  pid_ = -1;
  return run;
}

ProgramRun runProgram(const std::string& workDir, const std::string& input,
                      const std::map<std::string, std::string>& env) {
  TempDir io;
  return collectProgram(io.path(),
                        startProgram(io.path(), workDir, input, "", env));
}

int shell(const std::string& command, std::string* out) {
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return -1;
  std::string text;
  std::array<char, 4096> buffer;
  size_t n;
  while ((n = fread(buffer.data(), 1, buffer.size(), pipe)) > 0)
    text.append(buffer.data(), n);
  int status = pclose(pipe);
  if (out != nullptr) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TempDir::TempDir() {
  char pattern[] = "/tmp/vkt-test.XXXXXX";
  char* made = mkdtemp(pattern);
  path_ = made != nullptr ? made : "";
}

TempDir::~TempDir() {
  if (!path_.empty()) shell("chmod -R u+rwx " + quoteShell(path_) + " 2>/dev/null; rm -rf " + quoteShell(path_));
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << content;
}

std::vector<std::string> listFiles(const std::string& dir,
                                   const std::string& suffix) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name.size() >= suffix.size() &&
          name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
        names.push_back(dir + "/" + name);
    }
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string settingsFor(const std::string& database, const std::string& savePath,
                        const std::string& lastBackup,
                        const std::string& switches) {
  const ServerInfo& s = server();
  auto bit = [&](size_t i) { return std::string(1, switches.at(i)); };
  std::string text = "[DBDATEN]\r\nhost=localhost\r\nuser=" + s.user +
                     "\r\npass=" + s.password + "\r\ndb-name=" + database +
                     "\r\nsave-path=" + savePath + "\r\nsave-strucktur=" +
                     bit(0) + "\r\nsave-daten=" + bit(1) + "\r\ndroptable=" +
                     bit(2) + "\r\nbackup-from-file=" + bit(3) + "\r\n";
  if (!lastBackup.empty()) text += "zeit-last-backup=" + lastBackup + "\r\n";
  return text + "\r\n";
}

std::string stampOf(const std::string& backupFile) {
  const std::string::size_type sql = backupFile.rfind(".sql");
  return sql == std::string::npos || sql < 14 ? "" : backupFile.substr(sql - 14, 14);
}

std::string plainBytes(const std::string& file) {
  if (file.size() < 4 || file.compare(file.size() - 4, 4, ".zst") != 0)
    return readFile(file);
  TempDir dir;
  if (shell("zstd -q -dc " + quoteShell(file) + " > " + quoteShell(dir.path() + "/plain")) != 0)
    return "(zstd -dc failed)";
  return readFile(dir.path() + "/plain");
}

std::vector<FrameSpan> seekTable(const std::string& file) {
  const std::string bytes = readFile(file);
  auto little = [&](std::size_t at) {
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(bytes[at + i]);
    return v;
  };
  if (bytes.size() < 17 || little(bytes.size() - 4) != 0x8F92EAB1u) return {};
  const std::uint32_t frames = little(bytes.size() - 9);
  const std::size_t tableSize = 8 + 8 * std::size_t{frames} + 9;
  if (tableSize > bytes.size()) return {};
  const std::size_t start = bytes.size() - tableSize;
  if (little(start) != 0x184D2A5Eu || little(start + 4) != tableSize - 8) return {};
  std::vector<FrameSpan> spans;
  std::uint64_t packed = 0;
  std::uint64_t plain = 0;
  for (std::uint32_t i = 0; i < frames; ++i) {
    spans.push_back({packed, little(start + 8 + 8 * i), plain, little(start + 12 + 8 * i)});
    packed += spans.back().packedSize;
    plain += spans.back().plainSize;
  }
  if (packed != start) return {};  // the frames fill the file up to the table
  return spans;
}

std::string settingValue(const std::string& settings, const std::string& key) {
  size_t at = settings.find("\n" + key + "=");
  if (at == std::string::npos) return "";
  at += key.size() + 2;
  size_t end = settings.find_first_of("\r\n", at);
  return settings.substr(at, end - at);
}

void waitForNextSecond() {
  Connection c;
  std::string start = c.scalar("SELECT NOW()");
  for (int i = 0; i < 60 && !start.empty() && c.scalar("SELECT NOW()") == start; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

}  // namespace testing_support
