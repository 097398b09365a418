// The program's run from banner to final pause, against the test server.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

const char kPause[] = "Dr\xFC" "cken Sie eine beliebige Taste . . . \n";

int countOf(const std::string& text, const std::string& part) {
  int n = 0;
  for (size_t at = text.find(part); at != std::string::npos;
       at = text.find(part, at + part.size()))
    ++n;
  return n;
}

std::string bannerText() {
  return "---------------------------------------------\n"
         "- Velmoraskintide               Version 0.9 -\n"
         "---------------------------------------------\n"
         "- Programmed By Torvald Umbrisk             -\n"
         "- www.example.org                           -\n"
         "---------------------------------------------\n"
         "\n";
}

}  // namespace

TEST(RunSequence, ConnectsAndReportsTheServerInFourAlignedLines) {
  ts::TempDir dir;
  const ts::ServerInfo& s = ts::server();
  ts::writeFile(dir.path() + "/vkt.ini",
                ts::settingsFor(s.database, dir.path(), "", "0000"));
  ts::ProgramRun run = ts::runProgram(dir.path(), "");
  EXPECT_EQ(run.status, 0);
  ASSERT_EQ(run.out.compare(0, bannerText().size(), bannerText()), 0) << run.out;
  for (const std::string& line : std::vector<std::string>{
        "Lade Ini-Datei: Ini-Datei vkt.ini geladen.\n",
        "Erzeuge MySql-Socket: OK\n", "Verbinde zum Server': OK\n\n",
        "Servername:    localhost\nServerversion: ",
        "Datenbankname: " + s.database + "\nverbunden als: " + s.user + "\n\n",
        "Start des Backups mit Taste\n" + std::string(kPause)})
    EXPECT_NE(run.out.find(line), std::string::npos) << line << "\n" << run.out;
  EXPECT_EQ(countOf(run.out, kPause), 2);
}

TEST(RunSequence, RefusedConnectionsTakeTheFailurePath) {
  const ts::ServerInfo& s = ts::server();
  struct Case {
    const char* what;
    std::string settings;
    std::map<std::string, std::string> env;
  } cases[] = {
      {"wrong password",
       "[DBDATEN]\nhost=localhost\nuser=" + s.user + "\npass=wrong\ndb-name=" +
           s.database + "\n", {}},
      {"unknown database",
       "[DBDATEN]\nhost=localhost\nuser=" + s.user + "\npass=" + s.password +
           "\ndb-name=no_such_db\n", {}},
      {"server down",
       "[DBDATEN]\nhost=localhost\nuser=" + s.user + "\npass=" + s.password +
           "\ndb-name=" + s.database + "\n",
       {{"MYSQL_UNIX_PORT", "/nonexistent/socket"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ts::TempDir dir;
    ts::writeFile(dir.path() + "/vkt.ini", c.settings);
    ts::ProgramRun run = ts::runProgram(dir.path(), "x", c.env);
    EXPECT_EQ(run.status, 1);
    size_t failed = run.out.find("Verbinde zum Server': Fehler!\n");
    ASSERT_NE(failed, std::string::npos) << run.out;
    // The library's own message follows on the next line.
    size_t message = failed + std::string("Verbinde zum Server': Fehler!\n").size();
    EXPECT_NE(run.out[message], '\n');
    EXPECT_EQ(run.out.find("Start des Backups mit Taste"), std::string::npos);
    EXPECT_EQ(countOf(run.out, kPause), 1);
    EXPECT_TRUE(ts::listFiles(dir.path(), ".sql").empty());
    // Nothing is stored after a failed connection.
    EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), c.settings);
  }
}

TEST(RunSequence, PromptTakesOneWordPerValue) {
  ts::TempDir dir;
  const ts::ServerInfo& s = ts::server();
  // Two words on the first line: host and user. No vkt.ini, so the prompt
  // runs; the database does not exist, so nothing is written under "/".
  ts::ProgramRun run = ts::runProgram(
      dir.path(), "localhost " + s.user + "\n\n  " + s.password + "\nno_such_db\n");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Lade Ini-Datei: Konnte vkt.ini nicht laden.\n"
                         "Btte die Verbindungsdaten eingeben.\n"
                         "Host: User: Pass: DB-Name: \n"),
            std::string::npos)
      << run.out;
  // The connection got that far: the server refused only the database.
  EXPECT_NE(run.out.find("no_such_db"), std::string::npos) << run.out;
  EXPECT_EQ(run.out.find("Access denied for user"), std::string::npos) << run.out;
}

TEST(RunSequence, EndOfInputAtThePromptNeitherHangsNorCrashes) {
  ts::TempDir dir;
  ts::ProgramRun run = ts::runProgram(dir.path(), "onlyhost");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.out.find("Host: User: Pass: DB-Name: \n"), std::string::npos);
  EXPECT_NE(run.out.find("Verbinde zum Server': Fehler!"), std::string::npos);
  EXPECT_EQ(countOf(run.out, kPause), 1);
  EXPECT_FALSE(ts::readFile(dir.path() + "/vkt.ini").size());
}

// A second run in the same directory while the first waits at its pause:
// it says so and ends at once, and neither the settings nor the save path
// see it. The first run then ends as if alone.
TEST(RunSequence, ASecondRunInTheSameDirectoryTouchesNothing) {
  const ts::ServerInfo& s = ts::server();
  ts::TempDir dir;
  ts::TempDir keyDir;
  const std::string settings = ts::settingsFor(s.database, dir.path(), "", "1110");
  ts::writeFile(dir.path() + "/vkt.ini", settings);
  const std::string keys = keyDir.path() + "/keys";
  ASSERT_EQ(mkfifo(keys.c_str(), 0600), 0);

  // The first run reads its keys from the pipe: it waits at its first
  // pause until the test presses one.
  ts::RunningProgram first(dir.path(), "", "exec 0<" + keys);
  struct Keyboard {
    int fd;
    // One key, then the end of input: the first run goes on to its end.
    void press() {
      EXPECT_EQ(write(fd, "x", 1), 1);
      close(fd);
      fd = -1;
    }
    ~Keyboard() {
      if (fd >= 0) close(fd);
    }
  } keyboard{open(keys.c_str(), O_RDWR | O_CLOEXEC)};
  ASSERT_GE(keyboard.fd, 0);
  bool waiting = false;
  for (int attempt = 0; attempt < 3000 && !waiting; ++attempt) {
    // The prompt without its line end, which comes after the key.
    const std::string prompt = std::string("Start des Backups mit Taste\n") + kPause;
    waiting = first.outputSoFar().find(prompt.substr(0, prompt.size() - 1)) !=
              std::string::npos;
    if (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_TRUE(waiting) << first.outputSoFar();

  ts::ProgramRun second = ts::runProgram(dir.path(), "");
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, "");
  EXPECT_EQ(second.err, "Ein anderes Backup l\xE4uft bereits in diesem Verzeichnis "
                        "(vkt.ini.lock). Abbruch.\n");
  EXPECT_EQ(ts::listFiles(dir.path(), ""),
            (std::vector<std::string>{dir.path() + "/.", dir.path() + "/..",
                                      dir.path() + "/vkt.ini",
                                      dir.path() + "/vkt.ini.lock"}));
  EXPECT_EQ(ts::readFile(dir.path() + "/vkt.ini"), settings);

  keyboard.press();
  ts::ProgramRun run = first.wait();
  EXPECT_EQ(run.status, 0) << run.out;
  std::vector<std::string> files = ts::listFiles(dir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u) << run.out;
  EXPECT_EQ(ts::settingValue(ts::readFile(dir.path() + "/vkt.ini"), "zeit-last-backup"),
            ts::stampOf(files[0]));
  std::string errors;
  EXPECT_EQ(ts::restore(files[0], "vkt_lock_restored", &errors), 0) << errors;
}

TEST(RunSequence, RotationDeletesOnlyThisDatabasesOldBackupsAndWorkingFiles) {
  ts::TempDir dir;
  const ts::ServerInfo& s = ts::server();
  const std::string db = s.database;
  const std::vector<std::string> deleted = {
      db + "-20200101000000.sql", db + "-20200102000000.sql.zst",
      db + "-20200101000000.sql.unvollstaendig",
      db + "-20200104000000.sql.zst.unvollstaendig"};
  const std::vector<std::string> kept = {
      db + "-20200103000000.sql",  // the newest but one
      db + "-29991231000000.sql.unvollstaendig",  // newer than the new backup
      "other-20200101000000.sql", db + "-2-20200101000000.sql",
      db + "-2020010100000.sql", db + "-20200101-00000.sql",
      db + "-20200101000000.sql.gz",
      db + "-20200101000000.sql.bak", db + "-20200101000000.sqlx",
      "notes.txt"};
  // Files of this name that are no backup of this database: another
  // database's ("a/b" writes the files of "a_b"), or no backup at all.
  const std::vector<std::string> foreign = {
      db + "-20200101010000.sql", db + "-20200101020000.sql.zst",
      db + "-20200101030000.sql.unvollstaendig", db + "-20200101040000.sql"};
  std::string other = db;
  other[other.find('_')] = '/';
  auto header = [](const std::string& name) {
    return std::string(84, '#') + "\r\n#\r\n# Backup der Datenbank '" + name +
           "'\r\n# Erstellt: 01.01.2020 00:00:00\r\n";
  };
  auto write = [&](const std::string& name, const std::string& content) {
    const std::string path = dir.path() + "/" + name;
    const bool packed = name.find(".zst") != std::string::npos;
    ts::writeFile(packed ? path + ".plain" : path, content);
    if (packed) {
      ASSERT_EQ(ts::shell("zstd -q --rm '" + path + ".plain' -o '" + path + "'"), 0);
    }
  };
  for (const std::string& name : deleted) write(name, header(db));
  for (const std::string& name : kept) write(name, header(db));
  for (size_t i = 0; i < foreign.size(); ++i)
    write(foreign[i], i + 1 < foreign.size() ? header(other) : "x");
  // A directory of a backup's name is no backup.
  ASSERT_EQ(mkdir((dir.path() + "/" + db + "-20190101000000.sql").c_str(), 0700), 0);
  // An old backup that cannot be deleted (a mount point: EBUSY, even for
  // root) is told and changes nothing else.
  const std::string busy = dir.path() + "/" + db + "-20200101120000.sql";
  ts::writeFile(busy, "x");
  ts::writeFile(dir.path() + "/mounted", header(db));
  const bool mounted =
      mount((dir.path() + "/mounted").c_str(), busy.c_str(), nullptr, MS_BIND, nullptr) == 0;
  ts::writeFile(dir.path() + "/vkt.ini",
                ts::settingsFor(db, dir.path(), "", "1100") + "anzahl-backups=2\r\n");
  ts::ProgramRun run = ts::runProgram(dir.path(), "");
  if (mounted) umount2(busy.c_str(), MNT_DETACH);
  EXPECT_EQ(run.status, 0) << run.out;
  if (mounted) {
    EXPECT_NE(run.out.find("Konnte altes Backup " + busy + " nicht l\xF6schen: " +
                           std::strerror(EBUSY) + "\n"),
              std::string::npos) << run.out;
    EXPECT_EQ(ts::readFile(busy), "x");  // the bind mount gone
  } else {
    ADD_FAILURE() << "no bind mount to be had: " << std::strerror(errno);
  }
  struct stat status;
  for (const std::string& name : deleted) {
    EXPECT_NE(lstat((dir.path() + "/" + name).c_str(), &status), 0) << name;
    EXPECT_NE(run.out.find("Altes Backup gel\xF6scht: " + dir.path() + "/" + name),
              std::string::npos) << run.out;
  }
  for (const std::string& name : kept)
    EXPECT_EQ(lstat((dir.path() + "/" + name).c_str(), &status), 0) << name;
  for (const std::string& name : foreign)
    EXPECT_EQ(lstat((dir.path() + "/" + name).c_str(), &status), 0) << name;
  EXPECT_EQ(lstat((dir.path() + "/" + db + "-20190101000000.sql").c_str(), &status), 0);
  std::string written = dir.path() + "/" + db + "-" +
      ts::settingValue(ts::readFile(dir.path() + "/vkt.ini"), "zeit-last-backup") + ".sql";
  EXPECT_EQ(lstat(written.c_str(), &status), 0) << run.out;
  EXPECT_EQ(countOf(run.out, "Altes Backup gel\xF6scht: "), 4) << run.out;
}

// A run by hand as root in the directories of the nightly service's system
// user leaves files that the user's next run can lock and read: the lock
// file and the backup are given to the directory's owner, and vkt.ini
// keeps its owner.
TEST(RunSequence, ARunAsRootLeavesTheDirectoryOwnersFilesToTheOwner) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const uid_t kUser = 4321;
  const gid_t kGroup = 4322;
  const ts::ServerInfo& s = ts::server();
  ts::TempDir dir;
  ts::TempDir saveDir;
  ts::writeFile(dir.path() + "/vkt.ini",
                ts::settingsFor(s.database, saveDir.path(), "", "1110"));
  for (const std::string& path :
       {dir.path(), saveDir.path(), dir.path() + "/vkt.ini"})
    ASSERT_EQ(chown(path.c_str(), kUser, kGroup), 0) << path;

  ts::ProgramRun run = ts::runProgram(dir.path(), "");
  EXPECT_EQ(run.status, 0) << run.out << run.err;
  std::vector<std::string> files = ts::listFiles(saveDir.path(), ".sql");
  ASSERT_EQ(files.size(), 1u) << run.out;
  for (const std::string& path :
       {files[0], dir.path() + "/vkt.ini.lock", dir.path() + "/vkt.ini"}) {
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0) << path;
    EXPECT_EQ(st.st_uid, kUser) << path;
    EXPECT_EQ(st.st_gid, kGroup) << path;
  }
}

// The unit's step after a run: --pruefen without a file checks the backup
// that vkt.ini names as the last one, compressed or not.
TEST(RunSequence, CheckWithoutAFileChecksTheLastBackup) {
  const ts::ServerInfo& s = ts::server();
  for (const char* compression : {"", "kompression=zstd\r\n"}) {
    ts::TempDir dir;
    ts::writeFile(dir.path() + "/vkt.ini",
                  ts::settingsFor(s.database, dir.path(), "", "1110") + compression);
    ASSERT_EQ(ts::runProgram(dir.path(), "").status, 0);
    std::string out;
    EXPECT_EQ(ts::shell("cd " + dir.path() + " && " VKT_BINARY " --pruefen 2>&1", &out), 0)
        << out;
    const std::vector<std::string> files =
        ts::listFiles(dir.path(), *compression ? ".sql.zst" : ".sql");
    ASSERT_EQ(files.size(), 1u);
    EXPECT_NE(out.find(files[0] + ": OK\n"), std::string::npos) << out;

    // The same file damaged: the check fails with 1.
    const std::string& path = files[0];
    std::string bytes = ts::readFile(path);
    bytes.resize(bytes.size() / 2);
    ts::writeFile(path, bytes);
    EXPECT_EQ(ts::shell("cd " + dir.path() + " && " VKT_BINARY " --pruefen >/dev/null 2>&1"),
              1);
  }
}
