// The settings file as a user meets it: created after a prompt, advanced
// after every successful run, left alone after every failed one.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "tests/support/test_server.h"

namespace ts = testing_support;

namespace {

const char kDb[] = "vkt_settings";

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ts::recreateDatabase(kDb);
    ts::Connection(kDb).exec("CREATE TABLE t (id INT) ENGINE=MyISAM;"
                             "INSERT INTO t VALUES (1),(2)");
    ts::waitForNextSecond();
  }
  std::string ini() const { return dir_.path() + "/vkt.ini"; }
  ts::TempDir dir_;
};

std::string withoutLastBackup(const std::string& settings) {
  size_t at = settings.find("zeit-last-backup=");
  if (at == std::string::npos) return settings;
  return settings.substr(0, at) + settings.substr(settings.find('\n', at) + 1);
}

}  // namespace

// Runs its first argument in the directory of its second, with "/" seen
// through an overlay kept in the fourth (a directory) and thrown away
// afterwards; the work directory and the server's socket directory (third)
// are the real ones.
const char kOverlayRoot[] = R"(set -e
program=$1 work=$2 sockets=$3 scratch=$4
mount -t tmpfs tmpfs "$scratch"
mkdir "$scratch/up" "$scratch/work" "$scratch/root"
mount -t overlay overlay -o "lowerdir=/,upperdir=$scratch/up,workdir=$scratch/work" "$scratch/root"
mount --bind "$work" "$scratch/root$work"
mount --bind "$sockets" "$scratch/root$sockets"
mount --rbind /dev "$scratch/root/dev"
mount --rbind /proc "$scratch/root/proc"
exec chroot "$scratch/root" sh -c 'cd "$1" && exec "$0"' "$program" "$work"
)";

TEST_F(SettingsTest, PromptedRunCreatesAPrivateFileWithNineKeys) {
  const ts::ServerInfo& s = ts::server();
  // The prompt leaves the save path empty, so the file goes under "/": the
  // run writes into an overlay of "/", never into "/" itself.
  ts::TempDir scratch;
  const std::string setup = scratch.path() + "/setup";
  const std::string mountPoint = scratch.path() + "/root";
  ts::writeFile(setup, kOverlayRoot);
  ASSERT_EQ(mkdir(mountPoint.c_str(), 0700), 0);
  if (ts::shell("unshare -m --propagation private mount -t tmpfs tmpfs '" +
                mountPoint + "' 2>/dev/null") != 0)
    GTEST_SKIP() << "no private mount namespace here";
  const std::vector<std::string> before = ts::listFiles("/", "");
  ts::ProgramRun run = ts::runProgramAfter(
      "exec unshare -m --propagation private bash '" + setup + "' \"$0\" '" +
          dir_.path() + "' '" + s.socket.substr(0, s.socket.rfind('/')) + "' '" +
          mountPoint + "'",
      dir_.path(), "localhost\n" + s.user + "\n" + s.password + "\n" + kDb + "\n");
  EXPECT_EQ(ts::listFiles("/", ""), before);
  ASSERT_EQ(run.status, 0) << run.out << run.err;
  EXPECT_NE(run.out.find("Lade Ini-Datei: Konnte vkt.ini nicht laden.\n"), std::string::npos);
  const std::string created = std::string("Erzeuge Datei '/") + kDb + "-";
  const size_t at = run.out.find(created);
  ASSERT_NE(at, std::string::npos) << run.out;
  const std::string stamp = run.out.substr(at + created.size(), 14);
  EXPECT_EQ(run.out.substr(at + created.size() + 14, 6), ".sql' ");
  EXPECT_NE(run.out.find("Speichere die Verbindungsdaten in der 'vkt.ini'\n"), std::string::npos);
  EXPECT_EQ(ts::readFile(ini()),
            "[DBDATEN]\r\nhost=localhost\r\nuser=" + s.user + "\r\npass=" + s.password +
                "\r\ndb-name=" + kDb + "\r\nsave-path=\r\nsave-strucktur=1\r\nsave-daten=1\r\n"
                "droptable=1\r\nzeit-last-backup=" + stamp + "\r\n\r\n");
  struct stat st;
  ASSERT_EQ(stat(ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(SettingsTest, LoadedFileOnlyAdvancesTheLastBackupTime) {
  std::string original = "# my comment\r\n" + ts::settingsFor(kDb, dir_.path());
  ts::writeFile(ini(), original);
  chmod(ini().c_str(), 0640);
  ts::ProgramRun first = ts::runProgram(dir_.path(), "");
  EXPECT_EQ(first.status, 0);
  EXPECT_EQ(first.out.find("Host: "), std::string::npos);
  std::vector<std::string> files = ts::listFiles(dir_.path(), ".sql");
  ASSERT_EQ(files.size(), 1u) << first.out;
  std::string stamp = files[0].substr(files[0].size() - 18, 14);
  std::string after = ts::readFile(ini());
  // Comments are not kept; every key but the time is as it was.
  EXPECT_EQ(withoutLastBackup(after), ts::settingsFor(kDb, dir_.path()));
  EXPECT_NE(after.find("zeit-last-backup=" + stamp + "\r\n"), std::string::npos);
  struct stat st;
  ASSERT_EQ(stat(ini().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  // The next run works against that file.
  ts::Connection(kDb).exec("INSERT INTO t VALUES (3)");
  ts::waitForNextSecond();
  ts::ProgramRun second = ts::runProgram(dir_.path(), "");
  EXPECT_NE(second.out.find("\xD6" "ffne altes Backup: OK\n"), std::string::npos) << second.out;
  EXPECT_NE(second.out.find("Seit dem letzten Backup wurden 1 Tabellen ge\xE4ndert."),
            std::string::npos);
}

// Runs that store nothing leave the file byte for byte; only "nothing
// changed" among them counts as a success for scripts.
TEST_F(SettingsTest, FailedRunsLeaveTheFileByteForByte) {
  const ts::ServerInfo& s = ts::server();
  const char kEmptyDb[] = "vkt_settings_empty";
  ts::recreateDatabase(kEmptyDb);
  // A backup user without the SHOW VIEW privilege may read the view's rows
  // but not its definition.
  const char kHiddenDb[] = "vkt_settings_hidden";
  ts::recreateDatabase(kHiddenDb);
  ts::Connection(kHiddenDb).exec(
      "CREATE TABLE t (id INT); INSERT INTO t VALUES (1);"
      "CREATE VIEW v AS SELECT id FROM t;"
      "CREATE OR REPLACE USER 'vkt_noview'@'localhost' IDENTIFIED BY 'pw';"
      "GRANT SELECT ON vkt_settings_hidden.* TO 'vkt_noview'@'localhost';"
      // Without TRIGGER or EVENT the server hides those objects silently.
      "CREATE OR REPLACE USER 'vkt_notrigger'@'localhost' IDENTIFIED BY 'pw';"
      "GRANT SELECT, SHOW VIEW, EVENT ON vkt_settings_hidden.* TO "
      "'vkt_notrigger'@'localhost';"
      "CREATE OR REPLACE USER 'vkt_noevent'@'localhost' IDENTIFIED BY 'pw';"
      "GRANT SELECT, SHOW VIEW, TRIGGER ON vkt_settings_hidden.* TO "
      "'vkt_noevent'@'localhost';");
  auto hiddenAs = [&](const std::string& user, const char* switches) {
    return "[DBDATEN]\r\nhost=localhost\r\nuser=" + user + "\r\npass=pw\r\ndb-name=" +
           std::string(kHiddenDb) + "\r\nsave-path=" + dir_.path() +
           "\r\nsave-strucktur=" + switches[0] + "\r\nsave-daten=" + switches[1] +
           "\r\n";
  };
  const std::string lock = dir_.path() + "/vkt.ini.lock";
  const std::string elsewhere = dir_.path() + "/elsewhere";
  struct Case {
    const char* what;
    std::string settings;
    int status;
    std::string says;
    std::string lockSetup = "";  // what takes the lock file's name
  } cases[] = {
      {"refused connection",
       "[DBDATEN]\r\nhost=localhost\r\nuser=" + s.user + "\r\npass=nope\r\ndb-name=" +
           kDb + "\r\nsave-path=" + dir_.path() + "\r\nzeit-last-backup=1\r\n",
       1, "Verbinde zum Server': Fehler!\n"},
      {"missing save path", ts::settingsFor(kDb, dir_.path() + "/missing", "20200101000000"),
       1, ".sql nicht zum schreiben \xF6" "ffnen.\n"},
      {"empty database", ts::settingsFor(kEmptyDb, dir_.path()), 1,
       "Datenbank leer, keine Tabellen zum Speichern. Abbruch.\n"},
      {"definition refused", hiddenAs("vkt_noview", "11"),
       1, "Speichere Tabelle 'v'\nAbfrage der Tabellen-beschreibung: Fehler: "},
      {"no right to see triggers", hiddenAs("vkt_notrigger", "11"), 1,
       "Fehler: Ohne das Recht TRIGGER auf die Datenbank zeigt der Server ihre "
       "Trigger nicht.\n"},
      {"no right to see events", hiddenAs("vkt_noevent", "11"), 1,
       "Fehler: Ohne das Recht EVENT auf die Datenbank zeigt der Server ihre "
       "Events nicht.\n"},
      // The store keeps 49 bytes of a value: a longer save path would name
      // another directory.
      {"value too long", ts::settingsFor(kDb, dir_.path() + "/" + std::string(60, 'p')),
       1, "Fehler: Der Wert von 'save-path' in der vkt.ini ist l\xE4nger als 49 "
          "Bytes. Abbruch.\n"},
      {"lock file is a FIFO", ts::settingsFor(kDb, dir_.path()), 1,
       "Die Sperrdatei vkt.ini.lock ist keine gew\xF6hnliche Datei. Abbruch.\n",
       "mkfifo '" + lock + "'"},
      {"lock file is a symbolic link", ts::settingsFor(kDb, dir_.path()), 1,
       "Konnte die Sperrdatei vkt.ini.lock nicht sperren: ",
       "ln -s '" + elsewhere + "' '" + lock + "'"},
      {"nothing changed", "", 0, "Backupvorgang wird abgebrochen.\n"},
  };
  // The last case needs a previous backup that matches the database.
  ts::writeFile(ini(), ts::settingsFor(kDb, dir_.path()));
  ts::runProgram(dir_.path(), "");
  cases[std::size(cases) - 1].settings = ts::readFile(ini());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ts::writeFile(ini(), c.settings);
    if (!c.lockSetup.empty()) {
      std::remove(lock.c_str());
      ASSERT_EQ(ts::shell(c.lockSetup), 0);
    }
    ts::ProgramRun run = ts::runProgram(dir_.path(), "");
    EXPECT_EQ(run.status, c.status);
    EXPECT_NE((run.out + run.err).find(c.says), std::string::npos) << run.out << run.err;
    EXPECT_EQ(ts::readFile(ini()), c.settings) << run.out;
    EXPECT_EQ(ts::listFiles(dir_.path(), ".sql").size(), 1u);
    EXPECT_NE(access(elsewhere.c_str(), F_OK), 0);
    if (!c.lockSetup.empty()) std::remove(lock.c_str());
  }

  // With rows only, the view needs no definition: its section stays empty,
  // and no row goes through it into its base table.
  ts::writeFile(ini(), hiddenAs("vkt_noview", "01"));
  ts::ProgramRun rowsOnly = ts::runProgram(dir_.path(), "");
  EXPECT_EQ(rowsOnly.status, 0) << rowsOnly.out;
  std::vector<std::string> files = ts::listFiles(dir_.path(), ".sql");
  for (const std::string& file : files)
    EXPECT_EQ(ts::readFile(file).find("INSERT INTO `v`"), std::string::npos);
  // Routines and events alone are worth a backup.
  ts::Connection(kEmptyDb).exec(
      "CREATE PROCEDURE p() SELECT 1; CREATE EVENT e ON SCHEDULE EVERY 1 DAY DO SELECT 1");
  ts::writeFile(ini(), ts::settingsFor(kEmptyDb, dir_.path()));
  ts::ProgramRun routinesOnly = ts::runProgram(dir_.path(), "");
  EXPECT_EQ(routinesOnly.status, 0) << routinesOnly.out;
  EXPECT_NE(routinesOnly.out.find("2 von 2 Routinen, Triggern und Events"),
            std::string::npos) << routinesOnly.out;
}

TEST_F(SettingsTest, OddFilesAreReadAsTheyStand) {
  const ts::ServerInfo& s = ts::server();
  // A blank before "=" hides the key; a missing switch reads as false; a
  // number of rows that is none writes one row an INSERT.
  ts::writeFile(ini(), "[DBDATEN]\nhost =localhost\nuser=" + s.user + "\npass=" +
                           s.password + "\ndb-name=" + kDb + "\nsave-path=" +
                           dir_.path() + "\nsave-strucktur=1\nsave-daten=1\n"
                           "zeilen-je-insert=2x\n");
  ts::ProgramRun run = ts::runProgram(dir_.path(), "");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("Wert host konnte nicht gefunden werden.\n"), std::string::npos);
  EXPECT_NE(run.err.find("Wert droptable konnte nicht gefunden werden.\n"), std::string::npos);
  EXPECT_NE(run.err.find("Wert backup-from-file konnte nicht gefunden werden.\n"),
            std::string::npos);
  EXPECT_NE(run.out.find("Servername:    \n"), std::string::npos) << run.out;
  // No incremental attempt, no DROP lines.
  EXPECT_EQ(run.out.find("altes Backup"), std::string::npos);
  std::vector<std::string> files = ts::listFiles(dir_.path(), ".sql");
  ASSERT_EQ(files.size(), 1u);
  EXPECT_EQ(ts::readFile(files[0]).find("DROP TABLE"), std::string::npos);
  EXPECT_NE(run.out.find("Ung\xFCltiger Wert f\xFCr zeilen-je-insert: '2x'."),
            std::string::npos);
  EXPECT_NE(ts::readFile(files[0]).find("\nINSERT INTO `t` VALUES ('2');\r\n"),
            std::string::npos);

  // No section, and an empty file: loaded, no prompt, no connection data.
  for (const std::string& content : {std::string("[OTHER]\nhost=x\n"), std::string()}) {
    ts::writeFile(ini(), content);
    ts::ProgramRun r = ts::runProgram(dir_.path(), "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Ini-Datei vkt.ini geladen."), std::string::npos);
    EXPECT_EQ(r.out.find("Host: "), std::string::npos);
    EXPECT_NE(r.err.find("Schl\xFCssel DBDATEN konnte nicht gefunden werden.\n"),
              std::string::npos);
    EXPECT_EQ(ts::readFile(ini()), content);
  }
}

TEST_F(SettingsTest, ReadOnlySettingsFileIsReportedAndKept) {
  std::string settings = ts::settingsFor(kDb, dir_.path()) + "anzahl-backups=1\r\n";
  ts::writeFile(ini(), settings);
  chmod(ini().c_str(), 0444);
  // The backup the stored time names: the next run compares with it.
  const std::string old = dir_.path() + "/" + kDb + "-20200101000000.sql";
  ts::writeFile(old, std::string(84, '#') + "\r\n#\r\n# Backup der Datenbank '" +
                         kDb + "'\r\n");
  ts::ProgramRun run = ts::runProgram(dir_.path(), "");
  EXPECT_EQ(run.status, 1);  // the backup is whole, but its time not stored
  EXPECT_NE(run.err.find("Konnte die Datei vkt.ini nicht speichern!"), std::string::npos)
      << run.err;
  EXPECT_EQ(ts::readFile(ini()), settings);
  // The backup itself is whole, and the old one stays; once the file is
  // writable again the next run stores its time and lets the old ones go.
  ASSERT_EQ(ts::listFiles(dir_.path(), ".sql").size(), 2u) << run.out;
  chmod(ini().c_str(), 0644);
  ts::Connection(kDb).exec("INSERT INTO t VALUES (4)");
  ts::waitForNextSecond();
  ts::ProgramRun next = ts::runProgram(dir_.path(), "");
  std::vector<std::string> files = ts::listFiles(dir_.path(), ".sql");
  ASSERT_EQ(files.size(), 1u) << next.out;
  EXPECT_NE(ts::readFile(ini()).find(files[0].substr(files[0].size() - 18, 14)),
            std::string::npos);
  std::string errors;
  ASSERT_EQ(ts::restore(files[0], "vkt_settings_restore", &errors), 0) << errors;
  EXPECT_EQ(ts::checksums("vkt_settings_restore"), ts::checksums(kDb));
}
