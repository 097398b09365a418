// The program's run from banner to final pause, against the test server.
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
  // The banner's lines are all 45 characters wide.
  std::string banner = bannerText();
  for (size_t start = 0, end; (end = banner.find('\n', start)) != std::string::npos &&
                              end != start;
       start = end + 1)
    EXPECT_EQ(end - start, 45u);
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
    EXPECT_EQ(run.status, 0);
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
  EXPECT_EQ(run.status, 0);
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
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.out.find("Host: User: Pass: DB-Name: \n"), std::string::npos);
  EXPECT_NE(run.out.find("Verbinde zum Server': Fehler!"), std::string::npos);
  EXPECT_EQ(countOf(run.out, kPause), 1);
  EXPECT_FALSE(ts::readFile(dir.path() + "/vkt.ini").size());
}
