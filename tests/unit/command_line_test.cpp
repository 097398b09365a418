// The options a Debian tool answers, and what an unknown one does: the
// built program run in an empty directory, without a terminal.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

struct Outcome {
  int status = -1;
  std::string out;  // stdout and stderr
};

// Runs the program with `arguments` (shell words) in a fresh directory,
// after the shell command `setup` there, stdin empty.
Outcome run(const std::string& arguments, const std::string& setup = "true") {
  char name[] = "/tmp/vkt-cli-XXXXXX";
  const std::string dir = mkdtemp(name);
  const std::string command = "cd " + dir + " && " + setup + " && " VKT_BINARY " " + arguments +
                              " </dev/null 2>&1; echo \"#$?\"; rm -rf " + dir;
  Outcome outcome;
  FILE* pipe = popen(command.c_str(), "r");
  char buffer[4096];
  for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0;)
    outcome.out.append(buffer, n);
  pclose(pipe);
  const std::size_t mark = outcome.out.rfind('#');
  outcome.status = std::atoi(outcome.out.c_str() + mark + 1);
  outcome.out.resize(mark);
  return outcome;
}

}  // namespace

TEST(CommandLine, HelpVersionAndUnknownOptions) {
  const Outcome help = run("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* part : {"--pruefen", "--einspielen", "--datenbank", "save-path", "zeilen-je-insert", "kompression",
                           "Exit-Status", "velmoraskintide(1)"})
    EXPECT_NE(help.out.find(part), std::string::npos) << part;
  EXPECT_EQ(help.out.find("Host:"), std::string::npos);

  const Outcome version = run("--version");
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out.rfind("velmoraskintide ", 0), 0u) << version.out;

  // An unknown option, or one more than --help takes: exit 2, no banner,
  // no prompt, no settings file made.
  for (const char* arguments : {"--hilfe", "-x", "--help extra", "--pruefen -q f.sql",
                                "--einspielen", "--einspielen a.sql b.sql",
                                "--einspielen a.sql --verbindungen 0",
                                "--einspielen a.sql --datenbank"}) {
    const Outcome unknown = run(arguments);
    EXPECT_EQ(unknown.status, 2) << arguments;
    EXPECT_EQ(unknown.out.find("Host:"), std::string::npos) << arguments;
    EXPECT_EQ(unknown.out.find("Velmoraskintide"), std::string::npos) << arguments;
  }

  // A file that is not there fails its check with 1; without a file and
  // without vkt.ini there is no last backup to check.
  EXPECT_EQ(run("--pruefen missing.sql").status, 1);
  // A FIFO is refused at once rather than waited on.
  EXPECT_EQ(run("--pruefen fifo.sql", "mkfifo fifo.sql").status, 1);
  EXPECT_EQ(run("--pruefen").status, 1);
  // So are the files to load, before any server is asked for.
  for (const char* file : {"missing.sql", "fifo.sql", "-"}) {
    const Outcome load = run(std::string("--einspielen ") + file, "mkfifo fifo.sql");
    EXPECT_EQ(load.status, 1) << file;
    EXPECT_NE(load.out.find("Nichts wurde ge\xE4ndert."), std::string::npos) << load.out;
    EXPECT_EQ(load.out.find("Ini-Datei"), std::string::npos) << load.out;
  }
}
