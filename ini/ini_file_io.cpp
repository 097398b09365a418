// Reading CIniFile from its settings file and writing it back.

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ini/ini_file.h"
#include "ini/ini_text.h"

namespace {

// Longest names and values the reader takes from a line.
const size_t kReadSectionName = 17;
const size_t kReadValueName = 18;
const size_t kReadValueText = kIniReadValueLength;

// The next character as a text-mode stream would give it: a CR LF pair is
// one line feed, any other CR is kept.
int getTextChar(FILE* f) {
  int c = getc(f);
  if (c != '\r') return c;
  int next = getc(f);
  if (next == '\n') return '\n';
  if (next != EOF) ungetc(next, f);
  return '\r';
}

// fgets on the translated stream: at most size-1 characters, up to and
// including a line feed. False at the end of the file or on a read error.
// *goesOn tells that the line goes on after the piece.
bool readPiece(FILE* f, char* buf, size_t size, bool* goesOn) {
  size_t n = 0;
  *goesOn = false;
  while (n + 1 < size) {
    int c = getTextChar(f);
    if (c == EOF) break;
    buf[n++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  buf[n] = '\0';
  if (n + 1 == size && buf[n - 1] != '\n') {
    int next = getc(f);
    *goesOn = next != EOF && next != '\n' && next != '\r';
    if (next != EOF) ungetc(next, f);
  }
  return n > 0;
}

// Handles one piece of at most 99 characters as a line of its own. A value
// longer than the reader takes (also one whose line goes on after the
// piece) leaves its name in `cutName` when that is still empty.
void readLine(CIniFile& ini, char* line, bool goesOn, char* cutName,
              size_t cutNameSize) {
  if (line[0] == '#') return;
  line[strcspn(line, "\n")] = '\0';
  if (line[0] == '[') {
    char name[kReadSectionName + 1];
    iniCopyPart(name, sizeof name, line + 1, strcspn(line + 1, "]"));
    ini.addSection(name);
    return;
  }
  const char* equals = strchr(line, '=');
  if (equals == nullptr) return;
  char name[kReadValueName + 1];
  char text[kReadValueText + 1];
  iniCopyPart(name, sizeof name, line, static_cast<size_t>(equals - line));
  iniCopyText(text, sizeof text, equals + 1);
  if ((goesOn || strlen(equals + 1) > kReadValueText) && cutName[0] == '\0')
    iniCopyText(cutName, cutNameSize, name);
  ini.addValue(nullptr, name, text);
}

// Opens `name` as a stream, or null when that fails or it is no regular
// file. The open never waits: a FIFO would wait for its other end.
FILE* openRegular(const char* name, int flags, const char* mode) {
  int fd = open(name, flags | O_NONBLOCK | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  struct stat st;
  FILE* f = nullptr;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
      fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) == 0)
    f = fdopen(fd, mode);
  if (f == nullptr) close(fd);
  return f;
}

FILE* openForReading(const char* name) {
  return openRegular(name, O_RDONLY, "rb");
}

FILE* openForWriting(const char* name) {
  return openRegular(name, O_WRONLY | O_CREAT | O_TRUNC, "wb");
}

// The file that save() replaces: what a symbolic link names, else the name
// itself. Null when out of memory. The caller frees it.
char* resolveTarget(const char* name) {
  char* real = realpath(name, nullptr);
  return real != nullptr ? real : strdup(name);
}

// The directory part of `path` ("." when it has none) into `dir`. False
// when it does not fit.
bool directoryOf(const char* path, char* dir, size_t size) {
  const char* slash = strrchr(path, '/');
  if (slash == nullptr) {
    iniCopyText(dir, size, ".");
    return true;
  }
  size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
  if (length >= size) return false;
  iniCopyPart(dir, size, path, length);
  return true;
}

// Makes a finished rename durable; failures only cost durability.
void syncDirectoryOf(const char* path) {
  char dir[PATH_MAX];
  if (!directoryOf(path, dir, sizeof dir)) return;
  int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  if (fsync(fd) != 0) {
    // Nothing to undo: the new file is in place either way.
  }
  close(fd);
}

// True when `name` is `base`, a dot and six letters or digits: the name
// that mkostemp gives a temporary file of a save of `base`.
bool isTemporaryName(const char* name, const char* base) {
  size_t length = strlen(base);
  if (strncmp(name, base, length) != 0 || name[length] != '.') return false;
  const char* tail = name + length + 1;
  for (int i = 0; i < 6; ++i) {
    char c = tail[i];
    if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') ||
          (c >= 'a' && c <= 'z')))
      return false;
  }
  return tail[6] == '\0';
}

// Removes the temporary files that saves of `target` left behind when they
// were killed: they may hold a password. Only regular files of this user
// are taken; a symbolic link, a directory or another user's file stays.
void removeStaleTemporaries(const char* target) {
  char dir[PATH_MAX];
  if (!directoryOf(target, dir, sizeof dir)) return;
  const char* slash = strrchr(target, '/');
  const char* base = slash != nullptr ? slash + 1 : target;
  DIR* entries = opendir(dir);
  if (entries == nullptr) return;
  int dirFd = dirfd(entries);
  while (struct dirent* entry = readdir(entries)) {
    if (!isTemporaryName(entry->d_name, base)) continue;
    struct stat st;
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(st.st_mode) && st.st_uid == geteuid())
      unlinkat(dirFd, entry->d_name, 0);
  }
  closedir(entries);
}

// Gives the new file the existing target's owner and mode.
void copyOwnerAndMode(int fd, const struct stat& target) {
  if (target.st_uid != geteuid() || target.st_gid != getegid()) {
    if (fchown(fd, target.st_uid, target.st_gid) != 0) {
      // Not permitted for others' files: the new file stays ours.
    }
  }
  if (fchmod(fd, target.st_mode & 07777) != 0) {
    // The file keeps mode 0600, which is never less safe.
  }
}

}  // namespace

CIniFile::CIniFile(const char* name) : CIniFile() {
  iniCopyText(fileName, sizeof fileName, name != nullptr ? name : "");
  loaded = openFile('r');
  if (loaded) {
    readSections();
    closeFile();
  }
}

bool CIniFile::openFile(char mode) {
  closeFile();
  if (mode == 'r') file = openForReading(fileName);
  if (mode == 'w') file = openForWriting(fileName);
  return file != nullptr;
}

void CIniFile::closeFile() {
  if (file == nullptr) return;
  fclose(file);
  file = nullptr;
}

void CIniFile::readSections() {
  if (file == nullptr || fseek(file, 0, SEEK_SET) != 0) return;
  char line[100];
  bool goesOn = false;
  while (readPiece(file, line, sizeof line, &goesOn))
    readLine(*this, line, goesOn, cutValue, sizeof cutValue);
}

void CIniFile::writeSections() {
  if (file == nullptr) return;
  for (IniSection* s = sections; s != nullptr; s = s->next) {
    if (fprintf(file, "[%s]\r\n", s->name) < 0) return;
    for (IniValue* v = s->values; v != nullptr; v = v->next)
      if (fprintf(file, "%s=%s\r\n", v->name, v->value) < 0) return;
    if (fprintf(file, "\r\n") < 0) return;
  }
}

bool CIniFile::save(const char* name) {
  if (name != nullptr) iniCopyText(fileName, sizeof fileName, name);
  closeFile();
  if (fileName[0] == '\0') return false;
  char* target = resolveTarget(fileName);
  char* temp = nullptr;
  bool saved = false;
  if (target != nullptr) removeStaleTemporaries(target);
  if (target != nullptr && openTemporaryBeside(target, &temp)) {
    writeSections();
    saved = finishTemporary() && rename(temp, target) == 0;
    if (saved) {
      syncDirectoryOf(target);
    } else {
      unlink(temp);
    }
  }
  free(temp);
  free(target);
  return saved;
}

// Creates "<target>.XXXXXX" with mode 0600 (or the target's owner and mode)
// and opens it as `file`. Refuses a target that exists but is no regular
// file or may not be written by this process.
bool CIniFile::openTemporaryBeside(const char* target, char** tempName) {
  struct stat st;
  bool exists = stat(target, &st) == 0;
  if (exists && (!S_ISREG(st.st_mode) || access(target, W_OK) != 0 ||
                 (st.st_mode & 0222) == 0))
    return false;
  static const char kSuffix[] = ".XXXXXX";
  size_t length = strlen(target);
  char* temp = static_cast<char*>(malloc(length + sizeof kSuffix));
  if (temp == nullptr) return false;
  memcpy(temp, target, length);
  memcpy(temp + length, kSuffix, sizeof kSuffix);
  int fd = mkostemp(temp, O_CLOEXEC);
  if (fd >= 0 && exists) copyOwnerAndMode(fd, st);
  file = fd >= 0 ? fdopen(fd, "wb") : nullptr;
  if (file == nullptr) {
    if (fd >= 0) {
      close(fd);
      unlink(temp);
    }
    free(temp);
    return false;
  }
  *tempName = temp;
  return true;
}

// Flushes the temporary file to disk and closes it. True only when every
// write, the flush and the close succeeded.
bool CIniFile::finishTemporary() {
  bool ok = fflush(file) == 0 && ferror(file) == 0 && fsync(fileno(file)) == 0;
  ok = fclose(file) == 0 && ok;
  file = nullptr;
  return ok;
}
