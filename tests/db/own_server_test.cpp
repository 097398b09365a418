// Runs against a second private server of the test's own: one that goes
// away in the middle of a run, and one started with options of its own.
#include <signal.h>
#include <stdlib.h>

#include <chrono>
#include <map>
#include <memory>
#include <set>
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
    options_ = options;
    if (ts::shell("VKT_DB_SERVER_OPTIONS='" + options + "' " + script() + " start " +
                  state_ + " >/dev/null 2>&1") != 0)
      return false;
    std::string env = ts::readFile(state_ + "/env");
    size_t at = env.find("VKT_DB_SOCKET=");
    socket_ = env.substr(at + 14, env.find('\n', at) - at - 14);
    at = env.find("VKT_DB_PORT=");
    port_ = env.substr(at + 12, env.find('\n', at) - at - 12);
    return true;
  }
  void stop() { ts::shell(script() + " stop " + state_ + " >/dev/null 2>&1"); }
  // Stops and starts it again on its data, with the options it had and
  // `more`.
  bool restart(const std::string& more = "") {
    return ts::shell("VKT_DB_SERVER_OPTIONS='" + options_ + " " + more + "' " + script() +
                     " restart " + state_ + " >/dev/null 2>&1") == 0;
  }
  // Kills the server as a crash would, then starts it again on its data.
  bool crashAndRestart() {
    const std::string env = ts::readFile(state_ + "/env");
    const size_t at = env.find("VKT_DB_PID=");
    if (at == std::string::npos) return false;
    kill(static_cast<pid_t>(std::stol(env.substr(at + 11))), SIGKILL);
    for (int wait = 0; wait < 200 && ts::shell("mariadb-admin --no-defaults -S " + socket_ +
                                               " -uroot ping >/dev/null 2>&1") == 0;
         ++wait)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return restart();
  }
  // Runs SQL on this server; returns the first column of the output.
  std::string sql(const std::string& statements) {
    const ts::ServerInfo& s = ts::server();
    // Inside the shell's double quotes, these would be the shell's.
    std::string quoted;
    for (char c : statements) {
      if (c == '\\' || c == '"' || c == '`' || c == '$') quoted += '\\';
      quoted += c;
    }
    std::string out;
    ts::shell("mariadb --no-defaults -N -S " + socket_ + " -u" + s.user + " -p'" +
                  s.password + "' " + s.database + " -e \"" + quoted + "\"",
              &out);
    return out;
  }
  const std::string& socket() const { return socket_; }
  const std::string& port() const { return port_; }

 private:
  static std::string script() { return std::string(VKT_SOURCE_DIR) + "/scripts/testdb.sh"; }
  ts::TempDir dir_;
  std::string state_;
  std::string socket_;
  std::string port_;
  std::string options_;
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

// Waits until the server shows a session of another client that matches
// `where` (a condition on information_schema.PROCESSLIST); false after a
// minute.
bool shownOn(OwnServer& server, const std::string& where) {
  for (int poll = 0; poll < 30000; ++poll) {
    if (server.sql("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE "
                   "ID <> CONNECTION_ID() AND " + where).compare(0, 1, "1") == 0)
      return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
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
  const std::string programSelect = "INFO LIKE 'SELECT % FROM %aaa_big%'";
  ts::shell("(mariadb --no-defaults -S " + server.socket() + " -u" + s.user + " -p'" +
            s.password + "' " + s.database +
            " -e 'LOCK TABLES aaa_big WRITE; SELECT SLEEP(3600)' >/dev/null 2>&1 &)");
  ASSERT_TRUE(shownOn(server, "INFO = 'SELECT SLEEP(3600)'"))
      << "the lock was never taken";
  auto program = startAgainst(server.socket(), dir.path());
  ASSERT_TRUE(
      shownOn(server, programSelect + " AND STATE = 'Waiting for table metadata lock'"))
      << "the program's SELECT was never seen waiting";
  kill(program->pid(), SIGSTOP);
  server.sql("SELECT CONCAT('KILL ', ID) FROM information_schema.PROCESSLIST WHERE "
             "INFO = 'SELECT SLEEP(3600)' INTO @kill; EXECUTE IMMEDIATE @kill");
  ASSERT_TRUE(
      shownOn(server, programSelect + " AND STATE <> 'Waiting for table metadata lock'"))
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

namespace {

// Which tables a run copied out of the previous file, and which it read.
std::map<std::string, bool> copiedTables(const std::string& out) {
  std::map<std::string, bool> copied;
  const std::string opener = "Speichere Tabelle '";
  for (size_t at = out.find(opener); at != std::string::npos; at = out.find(opener, at + 1)) {
    const size_t nameBegin = at + opener.size();
    const std::string name = out.substr(nameBegin, out.find('\'', nameBegin) - nameBegin);
    const size_t next = out.find(opener, nameBegin);
    const size_t copy = out.find("Kopiere die Daten aus dem alten Backup", nameBegin);
    copied[name] = copy < next;
  }
  return copied;
}

// One database of the log's table of cases, backed up in its own directory.
struct LogCase {
  const char* rule;
  const char* tables;  // CREATE and INSERT statements, in the case's database
  const char* change;  // run before the restart; "USE <db>" is put first
  std::set<std::string> read;  // the tables read again; the others copied
};

// Where a case is backed up.
struct CaseHome {
  std::string database;
  ts::TempDir dir;
};

const char kLogLine[] = "Hinweis: Das Bin\xE4rlog des Servers wird diesmal nicht gelesen, ";

class LogServer {
 public:
  explicit LogServer(OwnServer& server) : server_(server) {}
  ts::ProgramRun run(const std::string& dir) {
    return startAgainst(server_.socket(), dir)->wait();
  }
  // The newest backup of `dir` restores (on the shared server) to what
  // `database` holds on this one.
  void expectRestoresEqual(const std::string& dir, const std::string& database) {
    const std::vector<std::string> files = ts::listFiles(dir, ".sql");
    ASSERT_FALSE(files.empty());
    std::string errors;
    ASSERT_EQ(ts::restore(files.back(), "vkt_log_restored", &errors), 0) << errors;
    std::string restored, tables;
    for (const auto& [table, sum] : ts::checksums("vkt_log_restored")) {
      restored += database + "." + table + "\t" + sum + "\n";
      tables += (tables.empty() ? "" : ", ") + database + ".`" + table + "`";
    }
    EXPECT_EQ(server_.sql("CHECKSUM TABLE " + tables + " EXTENDED"), restored);
  }

 private:
  OwnServer& server_;
};

}  // namespace

// With the server's binary log on, an incremental run after a restart
// copies every table the log shows unchanged, though the server knows no
// update time any more, and reads what the log shows changed: by rows, by
// a statement (STATEMENT, MIXED), through a foreign key's cascade or a
// trigger. Without a clean answer from the log (no privilege, purged, made
// anew) it says why and reads by today's rules. Every file restores equal.
TEST(OwnServer, BinaryLogTellsTheChangedTablesAcrossARestart) {
  OwnServer server;
  ASSERT_TRUE(server.start("--log-bin --binlog-format=ROW --server-id=1"));
  LogServer log(server);
  const ts::ServerInfo& s = ts::server();
  const LogCase cases[] = {
      {"rows",
       "CREATE TABLE t1 (id INT PRIMARY KEY, n INT); CREATE TABLE t2 (id INT PRIMARY KEY) "
       "ENGINE=MyISAM; CREATE TABLE never (id INT PRIMARY KEY); INSERT INTO t1 VALUES (1, 1); "
       "INSERT INTO t2 VALUES (1); INSERT INTO never VALUES (1)",
       "UPDATE t1 SET n = n + 1; FLUSH BINARY LOGS", {"t1"}},
      {"changes in another database only",
       "CREATE TABLE t1 (id INT PRIMARY KEY, n INT); INSERT INTO t1 VALUES (1, 1)",
       "CREATE DATABASE vkt_log_other; USE vkt_log_other; CREATE TABLE t1 (n INT); "
       "INSERT INTO t1 VALUES (1); SET SESSION binlog_format = 'STATEMENT'; "
       "UPDATE t1 SET n = 2",
       {}},
      {"a cascade, logged as a statement",
       "CREATE TABLE parent (id INT PRIMARY KEY); CREATE TABLE child (id INT PRIMARY KEY, "
       "p INT, FOREIGN KEY (p) REFERENCES parent (id) ON DELETE CASCADE); CREATE TABLE "
       "other (id INT PRIMARY KEY); INSERT INTO parent VALUES (1), (2); INSERT INTO child "
       "VALUES (1, 1), (2, 2); INSERT INTO other VALUES (1)",
       "SET SESSION binlog_format = 'STATEMENT'; DELETE FROM parent WHERE id = 1",
       {"parent", "child"}},
      {"a trigger, logged as a statement",
       "CREATE TABLE a (id INT PRIMARY KEY); CREATE TABLE audit (id INT); CREATE TABLE "
       "other (id INT PRIMARY KEY); INSERT INTO a VALUES (1); INSERT INTO audit VALUES (1); "
       "INSERT INTO other VALUES (1); CREATE TRIGGER tr AFTER INSERT ON a FOR EACH ROW "
       "INSERT INTO audit VALUES (NEW.id)",
       "SET SESSION binlog_format = 'STATEMENT'; INSERT INTO a VALUES (2)",
       {"a", "audit"}},
      {"MIXED", "CREATE TABLE t1 (id INT PRIMARY KEY, n INT); CREATE TABLE t2 (id INT); "
                "INSERT INTO t1 VALUES (1, 1); INSERT INTO t2 VALUES (1)",
       "SET SESSION binlog_format = 'MIXED'; UPDATE t1 SET n = n + 1", {"t1"}},
      // Changes that move no update time: the statement names them.
      {"a RENAME swap of MyISAM twins",
       "CREATE TABLE a (id INT) ENGINE=MyISAM; CREATE TABLE b (id INT) ENGINE=MyISAM; "
       "CREATE TABLE other (id INT PRIMARY KEY); INSERT INTO a VALUES (1); "
       "INSERT INTO b VALUES (2); INSERT INTO other VALUES (1)",
       "RENAME TABLE a TO tmp, b TO a, tmp TO b", {"a", "b"}},
      {"TRUNCATE and EXCHANGE PARTITION",
       "CREATE TABLE p (id INT PRIMARY KEY) PARTITION BY RANGE (id) (PARTITION p0 VALUES "
       "LESS THAN (10), PARTITION p1 VALUES LESS THAN MAXVALUE); CREATE TABLE q LIKE p; "
       "CREATE TABLE x (id INT PRIMARY KEY); CREATE TABLE other (id INT PRIMARY KEY); "
       "INSERT INTO p VALUES (1), (20); INSERT INTO q VALUES (2), (30); "
       "INSERT INTO x VALUES (3); INSERT INTO other VALUES (1)",
       "ALTER TABLE p TRUNCATE PARTITION p1; ALTER TABLE q EXCHANGE PARTITION p0 WITH TABLE x",
       {"p", "q", "x"}},
      // Logged nowhere, but the swap moves the tables' create times.
      {"an InnoDB RENAME swap the log does not hold",
       "CREATE TABLE a (id INT PRIMARY KEY); CREATE TABLE b (id INT PRIMARY KEY); "
       "CREATE TABLE other (id INT PRIMARY KEY); INSERT INTO a VALUES (1); "
       "INSERT INTO b VALUES (2); INSERT INTO other VALUES (1)",
       "SET SESSION sql_log_bin = 0; RENAME TABLE a TO tmp, b TO a, tmp TO b", {"a", "b"}},
  };
  std::vector<std::unique_ptr<CaseHome>> homes;
  for (const LogCase& c : cases) {
    homes.push_back(std::make_unique<CaseHome>());
    CaseHome& home = *homes.back();
    home.database = "vkt_log_" + std::to_string(homes.size());
    server.sql("CREATE DATABASE " + home.database + "; USE " + home.database + "; " +
               c.tables);
    ts::writeFile(home.dir.path() + "/vkt.ini",
                  ts::settingsFor(home.database, home.dir.path()));
  }
  ts::waitForNextSecond();
  for (const auto& home : homes) ASSERT_EQ(log.run(home->dir.path()).status, 0);
  // Changed before the restart: only the log tells of it afterwards.
  for (size_t i = 0; i < homes.size(); ++i)
    server.sql("USE " + homes[i]->database + "; " + cases[i].change);
  ASSERT_TRUE(server.restart());
  for (size_t i = 0; i < homes.size(); ++i) {
    const LogCase& c = cases[i];
    const CaseHome& home = *homes[i];
    SCOPED_TRACE(c.rule);
    const ts::ProgramRun run = log.run(home.dir.path());
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_EQ(run.out.find(kLogLine), std::string::npos) << run.out;
    for (const auto& [table, copied] : copiedTables(run.out))
      EXPECT_EQ(copied, c.read.count(table) == 0) << table << "\n" << run.out;
    log.expectRestoresEqual(home.dir.path(), home.database);
  }

  // The fallbacks, on the first case's database: the line, and every
  // table whose update time the server does not know read again.
  const CaseHome& first = *homes[0];
  const std::string ini = first.dir.path() + "/vkt.ini";
  const auto fallsBack = [&](const char* why, const std::string& expected) {
    SCOPED_TRACE(why);
    server.sql("USE " + first.database + "; UPDATE t1 SET n = n + 1");
    const ts::ProgramRun run = log.run(first.dir.path());
    ASSERT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find(kLogLine + expected), std::string::npos) << run.out;
    EXPECT_FALSE(copiedTables(run.out)["never"]) << run.out;
    log.expectRestoresEqual(first.dir.path(), first.database);
  };
  // A user without the right to read the log.
  server.sql("CREATE USER nolog@localhost IDENTIFIED BY 'nolog'; GRANT SELECT, SHOW VIEW, "
             "TRIGGER, EVENT ON " + first.database + ".* TO nolog@localhost; GRANT PROCESS "
             "ON *.* TO nolog@localhost");
  const std::string user = "user=" + s.user + "\r\npass=" + s.password + "\r\n";
  const std::string otherUser = "user=nolog\r\npass=nolog\r\n";
  std::string settings = ts::readFile(ini);
  ts::writeFile(ini, settings.replace(settings.find(user), user.size(), otherUser));
  fallsBack("no privilege",
            "denn es fehlt ein Recht: GRANT REPLICATION SLAVE, BINLOG MONITOR ON *.* TO "
            "'nolog'@'localhost';");
  settings = ts::readFile(ini);
  ts::writeFile(ini, settings.replace(settings.find(otherUser), otherUser.size(), user));
  // A statement of another database whose trigger writes this one: the log
  // names only that database's table.
  server.sql("CREATE DATABASE vkt_log_trigger; USE vkt_log_trigger; CREATE TABLE a (id INT); "
             "CREATE TRIGGER w AFTER INSERT ON a FOR EACH ROW UPDATE " + first.database +
             ".never SET id = id + 10");
  ASSERT_EQ(log.run(first.dir.path()).status, 0);
  server.sql("USE vkt_log_trigger; SET SESSION binlog_format = 'STATEMENT'; "
             "INSERT INTO a VALUES (1)");
  fallsBack("a trigger of another database", "denn es enth\xE4lt Anweisungen anderer "
            "Datenbanken, deren Trigger, Routinen, Sichten oder Fremdschl\xFCssel in diese "
            "schreiben k\xF6nnen");
  server.sql("DROP DATABASE vkt_log_trigger");
  // The log purged past the previous backup's position (the server keeps
  // a file until its transactions are checkpointed).
  ASSERT_EQ(log.run(first.dir.path()).status, 0);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string current = server.sql("FLUSH BINARY LOGS; SHOW MASTER STATUS");
    current = current.substr(0, current.find('\t'));
    server.sql("PURGE BINARY LOGS TO '" + current + "'");
    const std::string first = server.sql("SHOW BINARY LOGS");
    if (first.compare(0, current.size(), current) == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  fallsBack("purged", "denn es reicht nicht mehr bis zur Position des vorigen Backups");
  // The log made anew under the same name.
  server.sql("RESET MASTER");
  ASSERT_EQ(log.run(first.dir.path()).status, 0);
  ts::waitForNextSecond();
  server.sql("RESET MASTER");
  fallsBack("made anew", "denn es wurde seit dem vorigen Backup neu angelegt");
  // An event it does not know: a statement the server logs compressed.
  server.sql("SET GLOBAL log_bin_compress = ON; USE " + first.database +
             "; SET SESSION binlog_format = 'STATEMENT'; UPDATE t1 SET n = n + 1 WHERE id IN (" +
             std::string(300, '1') + ", 1); SET GLOBAL log_bin_compress = OFF");
  fallsBack("unknown event", "denn es enth\xE4lt ein unbekanntes Ereignis (Typ 165)");
  // A crash, on a server that does not sync its log at every commit: the
  // log may lack changes the tables kept.
  server.sql("USE " + first.database + "; UPDATE t1 SET n = n + 1");
  ASSERT_TRUE(server.crashAndRestart());
  const ts::ProgramRun crashed = log.run(first.dir.path());
  ASSERT_EQ(crashed.status, 0) << crashed.out;
  EXPECT_NE(crashed.out.find(kLogLine + std::string("denn der Server brach seit dem vorigen "
                                                    "Backup ab")),
            std::string::npos)
      << crashed.out;
  EXPECT_FALSE(copiedTables(crashed.out)["t1"]) << crashed.out;
  log.expectRestoresEqual(first.dir.path(), first.database);
  // A filter that may keep this database out of the log.
  ASSERT_TRUE(server.restart("--binlog-ignore-db=vkt_log_ignored"));
  fallsBack("filters", "denn binlog_do_db/binlog_ignore_db k\xF6nnen diese Datenbank "
                       "verbergen (vkt_log_ignored)");
}

// Writes a statement of the log does not show by its names: through a
// view, a trigger writing through one, a view, trigger or foreign key of
// another database, a name in double quotes. Under STATEMENT and MIXED the log
// proves the changed tables or gives no clean answer; under ROW it stays
// clean and exact. Every run reads what changed and restores equal.
TEST(OwnServer, BinaryLogNeverCopiesATableAStatementWroteUnseen) {
  OwnServer server;
  ASSERT_TRUE(server.start("--log-bin --binlog-format=ROW --server-id=1"));
  LogServer log(server);
  struct Case {
    const char* rule;
    const char* tables;  // {db}: the case's database, {other}: another one
    const char* change;
    std::set<std::string> read;
    bool statementClean;  // what a statement-based log proves
  };
  const char* base = "CREATE TABLE t (id INT PRIMARY KEY, n INT); CREATE TABLE never (id INT "
                     "PRIMARY KEY); INSERT INTO t VALUES (1, 1); INSERT INTO never VALUES (1); ";
  const Case cases[] = {
      {"a view of this database", "CREATE VIEW vw AS SELECT * FROM t",
       "UPDATE vw SET n = n + 1", {"t"}, false},
      {"a view of another database over this one's table",
       "CREATE DATABASE {other}; CREATE VIEW {other}.vw AS SELECT * FROM {db}.t",
       "USE {other}; UPDATE {other}.vw SET n = n + 1", {"t"}, false},
      {"a trigger writing through a view",
       "CREATE TABLE a (id INT PRIMARY KEY); CREATE VIEW vw AS SELECT * FROM t; CREATE "
       "TRIGGER tr AFTER INSERT ON a FOR EACH ROW UPDATE vw SET n = n + 1",
       "INSERT INTO a VALUES (1)", {"a", "t"}, false},
      {"a trigger of another database fired from this one",
       "CREATE DATABASE {other}; CREATE TABLE {other}.a (id INT); CREATE TRIGGER {other}.w "
       "AFTER INSERT ON {other}.a FOR EACH ROW UPDATE {db}.t SET n = n + 1",
       "INSERT INTO {other}.a VALUES (1)", {"t"}, false},
      {"a cascade from another database's parent",
       "CREATE DATABASE {other}; CREATE TABLE {other}.p (id INT PRIMARY KEY); INSERT INTO "
       "{other}.p VALUES (1); CREATE TABLE c (id INT PRIMARY KEY, p INT, FOREIGN KEY (p) "
       "REFERENCES {other}.p (id) ON DELETE CASCADE); INSERT INTO c VALUES (1, 1)",
       "USE {other}; DELETE FROM p", {"c"}, false},
      {"a name in double quotes under ANSI_QUOTES",
       "CREATE TABLE `my table` (id INT PRIMARY KEY, n INT); INSERT INTO `my table` "
       "VALUES (1, 1)",
       "SET SESSION sql_mode = 'ANSI_QUOTES'; UPDATE \"my table\" SET n = n + 1",
       {"my table"}, true},
  };
  const auto fill = [](std::string text, const std::string& db) {
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"{other}", db + "_o"},
                                     {"{db}", db}})
      for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at))
        text.replace(at, key.size(), value);
    return text;
  };
  struct Run {
    const Case* c;
    std::string format;
    CaseHome home;
  };
  std::vector<std::unique_ptr<Run>> runs;
  for (const char* format : {"STATEMENT", "MIXED", "ROW"})
    for (const Case& c : cases) {
      runs.push_back(std::make_unique<Run>());
      Run& run = *runs.back();
      run.c = &c;
      run.format = format;
      run.home.database = "vkt_unseen_" + std::to_string(runs.size());
      server.sql("CREATE DATABASE " + run.home.database + "; USE " + run.home.database +
                 "; " + base + fill(c.tables, run.home.database));
      ts::writeFile(run.home.dir.path() + "/vkt.ini",
                    ts::settingsFor(run.home.database, run.home.dir.path()));
    }
  ts::waitForNextSecond();
  for (const auto& run : runs) ASSERT_EQ(log.run(run->home.dir.path()).status, 0);
  for (const auto& run : runs)
    server.sql("USE " + run->home.database + "; SET SESSION binlog_format = '" +
               run->format + "'; " + fill(run->c->change, run->home.database));
  ASSERT_TRUE(server.restart());
  for (const auto& run : runs) {
    SCOPED_TRACE(std::string(run->c->rule) + " under " + run->format);
    const ts::ProgramRun backup = log.run(run->home.dir.path());
    ASSERT_EQ(backup.status, 0) << backup.out;
    const bool clean = backup.out.find(kLogLine) == std::string::npos;
    if (run->format == "ROW") {
      EXPECT_TRUE(clean) << backup.out;
    } else if (run->format == "STATEMENT") {
      EXPECT_EQ(clean, run->c->statementClean) << backup.out;
    }
    // A run that finds nothing changed names no table: none was read.
    std::map<std::string, bool> copied = copiedTables(backup.out);
    for (const std::string& table : run->c->read)
      EXPECT_TRUE(copied.count(table) != 0 && !copied[table]) << table << "\n" << backup.out;
    if (clean) {
      EXPECT_TRUE(copied["never"]) << backup.out;
    }
    log.expectRestoresEqual(run->home.dir.path(), run->home.database);
  }

  // Without a clean answer, identities read after the log count only where
  // it holds nothing but rows from where it ended before the snapshot. A
  // statement logged while the run waits for its lock on a MyISAM table
  // leaves each InnoDB table to be read: `never`, unchanged since its
  // update time, is read.
  const Run& first = *runs.front();
  const std::string& database = first.home.database;
  const ts::ServerInfo& s = ts::server();
  server.sql("USE " + database + "; CREATE TABLE m (id INT) ENGINE=MyISAM; "
             "INSERT INTO m VALUES (1); UPDATE never SET id = id + 1; ANALYZE TABLE never");
  ts::waitForNextSecond();
  ASSERT_EQ(log.run(first.home.dir.path()).status, 0);
  ts::shell("(mariadb --no-defaults -S " + server.socket() + " -u" + s.user + " -p'" +
            s.password + "' " + database +
            " -e 'LOCK TABLES m WRITE; SELECT SLEEP(3600)' >/dev/null 2>&1 &)");
  ASSERT_TRUE(shownOn(server, "INFO = 'SELECT SLEEP(3600)'"))
      << "the lock was never taken";
  auto program = startAgainst(server.socket(), first.home.dir.path());
  ASSERT_TRUE(
      shownOn(server, "INFO LIKE 'LOCK TABLES%' AND STATE LIKE 'Waiting for table%'"))
      << "the run was never seen waiting for its lock";
  server.sql("USE " + database + "; SET SESSION binlog_format = 'STATEMENT'; "
             "UPDATE vw SET n = n + 1; SELECT CONCAT('KILL ', ID) FROM "
             "information_schema.PROCESSLIST WHERE INFO = 'SELECT SLEEP(3600)' INTO @kill; "
             "EXECUTE IMMEDIATE @kill");
  const ts::ProgramRun late = program->wait();
  ASSERT_EQ(late.status, 0) << late.out;
  EXPECT_NE(late.out.find(kLogLine), std::string::npos) << late.out;
  EXPECT_FALSE(copiedTables(late.out)["never"]) << late.out;
  log.expectRestoresEqual(first.home.dir.path(), database);
}

// A replica whose log leaves out what replication applies
// (log_slave_updates off, the default): after its restart only the
// primary's log knows that a table changed, so the replica's log gives no
// clean answer and the changed table is read again.
TEST(OwnServer, AReplicasLogWithoutWhatItAppliesGivesNoCleanAnswer) {
  OwnServer primary, replica;
  ASSERT_TRUE(primary.start("--log-bin --binlog-format=ROW --server-id=1"));
  ASSERT_TRUE(replica.start("--log-bin --binlog-format=ROW --server-id=2"));
  const ts::ServerInfo& s = ts::server();
  std::string at = primary.sql("SHOW MASTER STATUS");
  const std::string file = at.substr(0, at.find('\t'));
  const std::string position = at.substr(file.size() + 1, at.find('\t', file.size() + 1) -
                                                            file.size() - 1);
  replica.sql("CHANGE MASTER TO MASTER_HOST = '127.0.0.1', MASTER_PORT = " + primary.port() +
              ", MASTER_USER = '" + s.user + "', MASTER_PASSWORD = '" + s.password +
              "', MASTER_LOG_FILE = '" + file + "', MASTER_LOG_POS = " + position +
              ", MASTER_USE_GTID = no; START SLAVE");
  const auto applied = [&](const std::string& query, const std::string& value) {
    for (int attempt = 0; attempt < 300; ++attempt) {
      if (replica.sql(query) == value) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
  };
  primary.sql("CREATE DATABASE vkt_replicated; USE vkt_replicated; CREATE TABLE t (id INT "
              "PRIMARY KEY, n INT); CREATE TABLE never (id INT PRIMARY KEY); INSERT INTO t "
              "VALUES (1, 1); INSERT INTO never VALUES (1)");
  ASSERT_TRUE(applied("SELECT n FROM vkt_replicated.t", "1\n")) << replica.sql(
      "SHOW SLAVE STATUS");
  CaseHome home;
  home.database = "vkt_replicated";
  ts::writeFile(home.dir.path() + "/vkt.ini",
                ts::settingsFor(home.database, home.dir.path()));
  LogServer log(replica);
  ts::waitForNextSecond();
  ASSERT_EQ(log.run(home.dir.path()).status, 0);
  primary.sql("UPDATE vkt_replicated.t SET n = 2");
  ASSERT_TRUE(applied("SELECT n FROM vkt_replicated.t", "2\n"));
  ASSERT_TRUE(replica.restart());
  const ts::ProgramRun run = log.run(home.dir.path());
  ASSERT_EQ(run.status, 0) << run.out;
  EXPECT_NE(run.out.find(std::string(kLogLine) + "denn der Server ist ein Replikat"),
            std::string::npos) << run.out;
  EXPECT_FALSE(copiedTables(run.out)["t"]) << run.out;
  log.expectRestoresEqual(home.dir.path(), home.database);
}

// The loader started in the background against `server`; its output,
// status and process id go to files beside `io`.
struct BackgroundLoad {
  std::string io;
  int pid = 0;
  std::string status;
  std::string out;

  BackgroundLoad(OwnServer& server, const std::string& dir, const std::string& file,
                 const std::string& database)
      : io(dir + "/" + database) {
    ts::shell("cd " + dir + " && (MYSQL_UNIX_PORT=" + server.socket() + " sh -c 'echo $$ > " +
              io + ".pid; exec \"$0\" \"$@\"' " VKT_BINARY " --einspielen " + file +
              " --datenbank " + database + " --verbindungen 2 </dev/null > " + io +
              ".out 2>&1; echo $? > " + io + ".status) >/dev/null 2>&1 &");
    bool inserting = false;
    for (int poll = 0; poll < 15000 && !inserting; ++poll) {
      inserting = server.sql("SELECT COUNT(*) FROM information_schema.PROCESSLIST WHERE "
                             "INFO LIKE 'INSERT INTO %'").compare(0, 1, "0") != 0;
      if (!inserting) std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(inserting) << "the loader's rows were never seen";
    pid = std::atoi(ts::readFile(io + ".pid").c_str());
  }
  void wait() {
    for (int poll = 0; poll < 3000 && ts::readFile(io + ".status").empty(); ++poll)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    status = ts::readFile(io + ".status");
    out = ts::readFile(io + ".out");
  }
};

// A load ended by SIGTERM, and one whose server goes away while the
// loader's INSERTs run, end with status 1, say why, and tell every table
// incomplete whose rows were not all in.
TEST(ServerStop, StoppedLoadsAreToldWithTheirIncompleteTables) {
  OwnServer server;
  ASSERT_TRUE(server.start());
  const ts::ServerInfo& s = ts::server();
  server.sql("CREATE TABLE aaa_big (id INT PRIMARY KEY, pad CHAR(100)) ENGINE=InnoDB;"
             "INSERT INTO aaa_big SELECT seq, REPEAT('x', 100) FROM seq_1_to_200000;"
             "CREATE TABLE bbb_big (id INT PRIMARY KEY, pad CHAR(100)) ENGINE=MyISAM;"
             "INSERT INTO bbb_big SELECT seq, REPEAT('y', 100) FROM seq_1_to_100000;");
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(s.database, dir.path(), "", "1110"));
  ASSERT_EQ(ts::runProgram(dir.path(), "", {{"MYSQL_UNIX_PORT", server.socket()}}).status, 0);
  const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u);

  BackgroundLoad stopped(server, dir.path(), files[0], "vkt_load_stopped");
  ASSERT_GT(stopped.pid, 0);
  kill(stopped.pid, SIGTERM);
  stopped.wait();
  EXPECT_EQ(stopped.status, "1\n") << stopped.out;
  EXPECT_NE(stopped.out.find("Einspielen durch ein Signal angehalten.\n"), std::string::npos)
      << stopped.out;
  EXPECT_NE(stopped.out.find("  unvollst\xE4ndig: Tabelle 'aaa_big'\n"), std::string::npos)
      << stopped.out;

  BackgroundLoad lost(server, dir.path(), files[0], "vkt_load_lost");
  ASSERT_GT(lost.pid, 0);
  kill(lost.pid, SIGSTOP);
  server.stop();
  kill(lost.pid, SIGCONT);
  lost.wait();
  EXPECT_EQ(lost.status, "1\n") << lost.out;
  EXPECT_NE(lost.out.find("Fehler bei '"), std::string::npos) << lost.out;
  EXPECT_NE(lost.out.find("  unvollst\xE4ndig: Tabelle 'aaa_big'\n"), std::string::npos)
      << lost.out;
  for (const BackgroundLoad* load : {&stopped, &lost}) {
    EXPECT_NE(load->out.find("Einspielen abgebrochen: "), std::string::npos) << load->out;
    EXPECT_EQ(load->out.find("Eingespielt:"), std::string::npos) << load->out;
  }
}

// Without --verbindungen the loader takes as many connections as the
// server has processors (its thread_pool_size), not this machine's.
TEST(OwnServer, TheLoaderFitsItsConnectionsToTheServer) {
  OwnServer server;
  ASSERT_TRUE(server.start("--thread-pool-size=3"));
  const ts::ServerInfo& s = ts::server();
  server.sql("CREATE TABLE a (id INT PRIMARY KEY) ENGINE=InnoDB; INSERT INTO a VALUES (1);"
             "CREATE TABLE b (id INT PRIMARY KEY) ENGINE=InnoDB; INSERT INTO b VALUES (1);"
             "CREATE TABLE c (id INT PRIMARY KEY) ENGINE=InnoDB; INSERT INTO c VALUES (1);");
  ts::TempDir dir;
  ts::writeFile(dir.path() + "/vkt.ini", ts::settingsFor(s.database, dir.path()));
  ASSERT_EQ(startAgainst(server.socket(), dir.path())->wait().status, 0);
  const std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u);
  std::string out;
  EXPECT_EQ(ts::shell("cd " + ts::quoteShell(dir.path()) + " && MYSQL_UNIX_PORT=" +
                          ts::quoteShell(server.socket()) + " " VKT_BINARY " --einspielen " +
                          ts::quoteShell(files[0]) + " --datenbank vkt_fitted </dev/null 2>&1",
                      &out),
            0) << out;
  EXPECT_NE(out.find("(3 Verbindungen)"), std::string::npos) << out;
  EXPECT_EQ(server.sql("SELECT COUNT(*) FROM vkt_fitted.a"), "1\n");
}
