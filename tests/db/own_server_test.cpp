// Runs against a second private server of the test's own: one that goes
// away in the middle of a run, and one started with options of its own.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

// A second server, so that stopping it leaves the shared one alone.
class OwnServer {
 public:
  OwnServer() : state_(dir_.path() + "/state") {}
  ~OwnServer() { stop(); }
  // `options`: further options for the server.
  bool start(const std::string& options = "") {
    if (ts::shell("VKT_DB_SERVER_OPTIONS='" + options + "' " + script() + " start " +
                  state_ + " >/dev/null 2>&1") != 0)
      return false;
    std::string env = ts::readFile(state_ + "/env");
    size_t at = env.find("VKT_DB_SOCKET=");
    socket_ = env.substr(at + 14, env.find('\n', at) - at - 14);
    return true;
  }
  void stop() { ts::shell(script() + " stop " + state_ + " >/dev/null 2>&1"); }
  // Runs SQL on this server; returns the first column of the output.
  std::string sql(const std::string& statements) {
    const ts::ServerInfo& s = ts::server();
    std::string out;
    ts::shell("mariadb --no-defaults -N -S " + socket_ + " -u" + s.user + " -p'" +
                  s.password + "' " + s.database + " -e \"" + statements + "\"",
              &out);
    return out;
  }
  const std::string& socket() const { return socket_; }

 private:
  static std::string script() { return std::string(VKT_SOURCE_DIR) + "/scripts/testdb.sh"; }
  ts::TempDir dir_;
  std::string state_;
  std::string socket_;
};

// Starts the program against `socket`: the child takes the socket from the
// environment that the test process has when it forks.
std::unique_ptr<ts::RunningProgram> startAgainst(const std::string& socket,
                                                 const std::string& dir) {
  std::string saved = getenv("MYSQL_UNIX_PORT") ? getenv("MYSQL_UNIX_PORT") : "";
  setenv("MYSQL_UNIX_PORT", socket.c_str(), 1);
  auto program = std::make_unique<ts::RunningProgram>(dir, "");
  setenv("MYSQL_UNIX_PORT", saved.c_str(), 1);
  return program;
}

}  // namespace

// The server goes away after the inventory, while the first table's rows
// stream: every later step fails, the run says the backup is incomplete,
// and the settings keep naming nothing new. The next run, with the server
// back, writes a whole backup.
TEST(ServerStop, StoppedServerMakesTheRunIncompleteAndTheNextRunRecovers) {
  OwnServer server;
  ASSERT_TRUE(server.start());
  const ts::ServerInfo& s = ts::server();
  // Sorts first, and far larger than what the sockets between server and
  // program hold.
  server.sql("CREATE TABLE aaa_big (id INT PRIMARY KEY, pad CHAR(100)) ENGINE=InnoDB;"
             "INSERT INTO aaa_big SELECT seq, REPEAT('x', 100) FROM seq_1_to_300000;");
  ts::TempDir dir;
  std::string settings = ts::settingsFor(s.database, dir.path(), "", "1110");
  ts::writeFile(dir.path() + "/vkt.ini", settings);

  // Each step waits for what the server shows of the program, never for
  // a time: the program's SELECT waits behind a client holding the table
  // locked; the program is stopped, the lock let go, and the server begins
  // to send rows that nobody reads; then the server goes.
  auto shown = [&server](const std::string& where) {
    for (int poll = 0; poll < 30000; ++poll) {
      if (server.sql("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE "
                     "ID <> CONNECTION_ID() AND " + where).compare(0, 1, "1") == 0)
        return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  };
  const std::string programSelect = "INFO LIKE 'SELECT % FROM %aaa_big%'";
  ts::shell("(mariadb --no-defaults -S " + server.socket() + " -u" + s.user + " -p'" +
            s.password + "' " + s.database +
            " -e 'LOCK TABLES aaa_big WRITE; SELECT SLEEP(3600)' >/dev/null 2>&1 &)");
  ASSERT_TRUE(shown("INFO = 'SELECT SLEEP(3600)'")) << "the lock was never taken";
  auto program = startAgainst(server.socket(), dir.path());
  ASSERT_TRUE(shown(programSelect + " AND STATE = 'Waiting for table metadata lock'"))
      << "the program's SELECT was never seen waiting";
  kill(program->pid(), SIGSTOP);
  server.sql("SELECT CONCAT('KILL ', ID) FROM information_schema.PROCESSLIST WHERE "
             "INFO = 'SELECT SLEEP(3600)' INTO @kill; EXECUTE IMMEDIATE @kill");
  ASSERT_TRUE(shown(programSelect + " AND STATE <> 'Waiting for table metadata lock'"))
      << "the program's SELECT never began";
  server.stop();
  kill(program->pid(), SIGCONT);
  ts::ProgramRun run = program->wait();

  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Fehler: "), std::string::npos) << run.out;
  EXPECT_NE(run.out.find(" ist unvollst\xE4ndig"), std::string::npos) << run.out;
  EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), settings);

  // With the server back (holding only the sample), the next run is whole.
  ASSERT_TRUE(server.start());
  ts::waitForNextSecond();
  ts::ProgramRun next = startAgainst(server.socket(), dir.path())->wait();
  EXPECT_EQ(next.status, 0);
  EXPECT_EQ(next.out.find(" ist unvollst\xE4ndig"), std::string::npos) << next.out;
  std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_FALSE(files.empty());
  EXPECT_EQ(ts::settingValue(ts::readFile(dir.path() + "/vkt.ini"), "zeit-last-backup"),
            ts::stampOf(files.back()));
  std::string errors;
  ASSERT_EQ(ts::restore(files.back(), "vkt_stop_restored", &errors), 0) << errors;
  std::string expected;
  for (const auto& [table, sum] : ts::checksums("vkt_stop_restored"))
    expected += s.database + "." + table + "\t" + sum + "\n";
  EXPECT_EQ(server.sql("CHECKSUM TABLE artikel, bestellungen, kunden EXTENDED"), expected);
}

// A server whose sessions may not set the time refuses every past row, so
// a versioned table's rows are saved as its current ones, said on the
// console, and the file restores on that very server.
TEST(OwnServer, PastRowsAreLeftOutWhereNoSessionMaySetTheTime) {
  OwnServer server;
  ASSERT_TRUE(server.start("--secure-timestamp=YES"));
  const ts::ServerInfo& s = ts::server();
  server.sql("CREATE TABLE kept (id INT PRIMARY KEY, n INT) WITH SYSTEM VERSIONING;"
             "INSERT INTO kept VALUES (1, 1), (2, 2); UPDATE kept SET n = 3 WHERE id = 1;");
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(s.database, dir.path(), "", "1110"));
  ts::ProgramRun run = startAgainst(server.socket(), dir.path())->wait();
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find("Hinweis: Die fr\xFCheren Zeilenversionen der Tabelle 'kept'"),
            std::string::npos) << run.out;
  std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u);
  server.sql("CREATE DATABASE restored");
  std::string out;
  EXPECT_EQ(ts::shell("mariadb --no-defaults -S " + server.socket() + " -u" + s.user +
                          " -p'" + s.password + "' restored < '" + files[0] + "'" +
                          " 2>&1",
                      &out),
            0) << out;
  EXPECT_EQ(server.sql("SELECT GROUP_CONCAT(id, ':', n ORDER BY id) FROM restored.kept"),
            "1:3,2:2\n");
}
