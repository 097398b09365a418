// Fuzzes the settings file reader: any bytes are read, looked up, dumped and
// saved; the saved file must read back into a document that saves to the
// very same bytes.

#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "ini/ini_file.h"

namespace {

char gDir[] = "/dev/shm/inifzXXXXXX";
char gInput[64];
char gFirst[64];
char gSecond[64];

void writeFile(const char* path, const uint8_t* data, size_t size) {
  FILE* f = fopen(path, "wb");
  if (f == nullptr) abort();
  if (size > 0 && fwrite(data, 1, size, f) != size) abort();
  if (fclose(f) != 0) abort();
}

std::string readFile(const char* path) {
  std::string text;
  FILE* f = fopen(path, "rb");
  if (f == nullptr) return text;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  fclose(f);
  return text;
}

void removeFiles() {
  unlink(gInput);
  unlink(gFirst);
  unlink(gSecond);
  rmdir(gDir);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (mkdtemp(gDir) == nullptr) abort();
  snprintf(gInput, sizeof gInput, "%s/in", gDir);
  snprintf(gFirst, sizeof gFirst, "%s/a", gDir);
  snprintf(gSecond, sizeof gSecond, "%s/b", gDir);
  atexit(removeFiles);
  if (freopen("/dev/null", "w", stdout) == nullptr) abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  writeFile(gInput, data, size);
  CIniFile ini(gInput);
  if (!ini.isLoaded()) abort();
  ini.getValue("DBDATEN", "host");
  ini.getIntValue("DBDATEN", "port");
  ini.getBoolValue("DBDATEN", "save-daten");
  ini.getDoubleValue("DBDATEN", "x");

  // What the reader keeps must survive a save and a second read unchanged.
  ini.save(gFirst);
  CIniFile again(gFirst);
  again.save(gSecond);
  if (readFile(gFirst) != readFile(gSecond)) abort();

  // A key made of the first bytes exercises lookups, changes and dump.
  char key[32];
  size_t n = size < sizeof key - 1 ? size : sizeof key - 1;
  memcpy(key, data, n);
  key[n] = '\0';
  ini.getValue(key, key);
  ini.setValue(key, key, key);
  ini.addValue(nullptr, key, key);
  ini.addSection(key);
  ini.addIntValue(nullptr, key, static_cast<int>(size));
  ini.dump();
  return 0;
}
