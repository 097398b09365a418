// The one writer of backup files: the bytes it stores, mapped or written,
// and how it creates, names and leaves its files.
#include "backup/backup_file.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)),
                     std::istreambuf_iterator<char>());
}

class BackupFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char dir[] = "/tmp/vkt-file-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    dir_ = dir;
  }
  void TearDown() override {
    BackupFile::setMappingAllowed(true);
    std::system(("rm -rf '" + dir_ + "'").c_str());
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// Short lines that cross the mapping's windows and its reservation steps,
// between long runs that go to the file in one piece.
void writeSample(BackupFile& file) {
  ASSERT_TRUE(file.writeLine("CREATE TABLE `t` (\n  `a` int\r\n)"));
  ASSERT_TRUE(file.writeLine(""));
  const std::string line(97, 'x');
  const std::string big(3 << 20, 'y');
  for (int i = 0; i < 420000; ++i) {
    ASSERT_TRUE(file.writeLine(line));
    if (i % 50000 == 0) {
      ASSERT_TRUE(file.writeLine(big));
    }
  }
  ASSERT_TRUE(file.writeLine("raw"));
}

TEST_F(BackupFileTest, MappedAndWrittenFilesHoldTheSameBytes) {
  std::string contents[2];
  for (bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "written");
    BackupFile::setMappingAllowed(mapped);
    const std::string name = path(mapped ? "m.sql" : "w.sql");
    BackupFile file;
    ASSERT_TRUE(file.create(name));
    writeSample(file);
    EXPECT_EQ(file.mapped(), mapped);
    ASSERT_TRUE(file.finish()) << file.error();
    EXPECT_EQ(file.path(), name);
    contents[mapped] = readAll(name);
    EXPECT_EQ(contents[mapped].size(), file.bytesWritten());
  }
  EXPECT_EQ(contents[0], contents[1]);
  const std::string head = "CREATE TABLE `t` (\r\n  `a` int\r\r\n)\r\n\r\n";
  EXPECT_EQ(contents[1].substr(0, head.size()), head);
  EXPECT_EQ(contents[1].substr(contents[1].size() - 7), "\r\nraw\r\n");
}

// Bytes of other files: copied by the kernel from a file on the same file
// system, through a buffer from a memory file; a source that ends early
// leaves what it had and the file usable.
TEST_F(BackupFileTest, CopiedBytesAreTheSourcesWhereverTheyComeFrom) {
  std::string disk(20 << 20, '\0');
  for (size_t i = 0; i < disk.size(); ++i) disk[i] = static_cast<char>(i * 7 % 251);
  std::ofstream(path("source"), std::ios::binary) << disk;
  const int onDisk = open(path("source").c_str(), O_RDONLY);
  const int inMemory = memfd_create("source", 0);
  ASSERT_GE(onDisk, 0);
  ASSERT_EQ(pwrite(inMemory, "memory\r\n", 8, 0), 8);
  for (bool mapped : {true, false}) {
    SCOPED_TRACE(mapped ? "mapped" : "written");
    BackupFile::setMappingAllowed(mapped);
    const std::string name = path(mapped ? "m.sql" : "w.sql");
    BackupFile file;
    ASSERT_TRUE(file.create(name));
    ASSERT_TRUE(file.writeLine("head"));
    file.beginRows();
    using Outcome = BackupFile::CopyOutcome;
    EXPECT_EQ(file.appendFrom(onDisk, 3, disk.size() - 3), Outcome::kCopied);
    // Copied inside the kernel, which reports the source's end as a copy of
    // no bytes.
    EXPECT_EQ(file.appendFrom(onDisk, disk.size() - 10, 20), Outcome::kSourceShort);
    EXPECT_EQ(file.appendFrom(inMemory, 0, 8), Outcome::kCopied);
    EXPECT_EQ(file.appendFrom(onDisk, disk.size() - 10, 20), Outcome::kSourceShort);
    EXPECT_EQ(file.appendFrom(-1, 0, 5), Outcome::kSourceFailed);
    ASSERT_TRUE(file.writeLine("tail"));
    ASSERT_TRUE(file.finish()) << file.error();
    EXPECT_TRUE(readAll(name) == "head\r\n" + disk.substr(3) +
                                     disk.substr(disk.size() - 10) + "memory\r\n" +
                                     disk.substr(disk.size() - 10) + "tail\r\n");
  }
  close(onDisk);
  close(inMemory);
}

// Rows only inside a rows block: a row line, a part of a line or copied
// bytes anywhere else are refused, nothing of them is written, and the
// file fails for good.
TEST_F(BackupFileTest, RowsOutsideARowsBlockAreRefused) {
  const int source = memfd_create("source", 0);
  ASSERT_EQ(pwrite(source, "('1');\r\n", 8, 0), 8);
  const struct {
    const char* what;
    bool (*write)(BackupFile&, int);
  } cases[] = {
      {"row line", [](BackupFile& f, int) { return f.writeLine("INSERT INTO `t` VALUES ('1');"); }},
      {"statement head", [](BackupFile& f, int) { return f.writeLine("INSERT INTO `t` VALUES"); }},
      {"row of a statement", [](BackupFile& f, int) { return f.writeLine("('1'),"); }},
      {"part of a line", [](BackupFile& f, int) { return f.writePart("INSERT"); }},
      {"copied bytes", [](BackupFile& f, int fd) {
         return f.appendFrom(fd, 0, 8) == BackupFile::CopyOutcome::kCopied;
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = path(std::string(c.what) + ".sql");
    BackupFile file;
    ASSERT_TRUE(file.create(name));
    ASSERT_TRUE(file.writeLine("CREATE TABLE `t` (\nINSERT INTO `t` VALUES ('x'))"));
    file.beginRows();
    ASSERT_TRUE(c.write(file, source));
    file.endRows();
    ASSERT_TRUE(file.writeLine(""));
    EXPECT_FALSE(file.rowsMisplaced());
    const std::uint64_t before = file.bytesWritten();
    EXPECT_FALSE(c.write(file, source));
    EXPECT_TRUE(file.rowsMisplaced());
    EXPECT_TRUE(file.failed());
    file.beginRows();
    EXPECT_FALSE(file.writeLine("('2');"));
    EXPECT_FALSE(file.finish());
    EXPECT_EQ(readAll(name + BackupFile::kWorkingSuffix).size(), before);
  }
  close(source);
}

TEST_F(BackupFileTest, OnlyAFinishedFileHasItsNameAndAnUnfinishedOneIsCut) {
  const std::string name = path("db-1.sql");
  const std::string working = name + BackupFile::kWorkingSuffix;
  {
    BackupFile file;
    ASSERT_TRUE(file.create(name));
    ASSERT_TRUE(file.writeLine("one"));
    EXPECT_EQ(file.path(), working);
    struct stat status;
    ASSERT_EQ(stat(working.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_NE(access(name.c_str(), F_OK), 0);
  }
  // Left as it was when the writer went away: no reserved zeros after it.
  EXPECT_EQ(readAll(working), "one\r\n");
  // An existing working file is never reused, nor a planted symlink.
  const std::string target = path("target");
  {
    BackupFile again;
    EXPECT_FALSE(again.create(name));
    std::ofstream(target) << "keep";
    ASSERT_EQ(symlink(target.c_str(), (path("db-2.sql") + BackupFile::kWorkingSuffix).c_str()), 0);
    BackupFile planted;
    EXPECT_FALSE(planted.create(path("db-2.sql")));
    EXPECT_EQ(readAll(target), "keep");
  }
  // A final name that exists by now is not replaced.
  BackupFile late;
  ASSERT_TRUE(late.create(path("db-3.sql")));
  std::ofstream(path("db-3.sql")) << "other";
  EXPECT_FALSE(late.finish());
  EXPECT_EQ(readAll(path("db-3.sql")), "other");
  EXPECT_EQ(late.path(), path("db-3.sql") + BackupFile::kWorkingSuffix);
}

}  // namespace

// As root, a new file in another user's directory goes to that user, but
// never a file of root's that has a second link (one the user may have
// made to a file elsewhere), and nothing changes in a directory of root's,
// whatever its group.
TEST_F(BackupFileTest, OnlyAFileOfOneLinkInAnotherUsersDirectoryIsGivenAway) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root";
  const uid_t kUser = 4321;
  const gid_t kGroup = 4322;
  const struct {
    uid_t directoryOwner;
    bool secondLink;
    uid_t owner;
    gid_t group;
  } cases[] = {
      {kUser, false, kUser, kGroup},
      {kUser, true, 0, 0},
      {0, false, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.directoryOwner) + (c.secondLink ? ", linked" : ""));
    ASSERT_EQ(chown(dir_.c_str(), c.directoryOwner, kGroup), 0);
    const std::string file = path("f");
    int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(fchown(fd, 0, 0), 0);
    if (c.secondLink) {
      ASSERT_EQ(link(file.c_str(), path("link").c_str()), 0);
    }
    giveToDirectoryOwner(fd, file);
    struct stat st;
    ASSERT_EQ(fstat(fd, &st), 0);
    EXPECT_EQ(st.st_uid, c.owner);
    EXPECT_EQ(st.st_gid, c.group);
    close(fd);
    std::remove(file.c_str());
    std::remove(path("link").c_str());
  }
}
