// The in-memory document of CIniFile: records, cursors, getters, changes.

#include "ini/ini_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

#include "ini/ini_text.h"

namespace {

int failAllocations = 0;

bool allocationAllowed() {
  if (failAllocations > 0) {
    --failAllocations;
    return false;
  }
  return true;
}

IniSection* newSection() {
  return allocationAllowed() ? new (std::nothrow) IniSection : nullptr;
}

IniValue* newValue() {
  return allocationAllowed() ? new (std::nothrow) IniValue : nullptr;
}

const char* orEmpty(const char* text) { return text ? text : ""; }

}  // namespace

void iniFailNextAllocations(int count) { failAllocations = count; }

void iniCopyText(char* dst, size_t size, const char* src) {
  iniCopyPart(dst, size, src, strlen(src));
}

void iniCopyPart(char* dst, size_t size, const char* src, size_t length) {
  if (length > size - 1) length = size - 1;
  memcpy(dst, src, length);
  dst[length] = '\0';
}

CIniFile::CIniFile()
    : file(nullptr), sections(nullptr), currentSection(nullptr),
      currentValue(nullptr), loaded(false) {
  iniCopyText(fileName, sizeof fileName, "test.ini");
  cutValue[0] = '\0';
}

CIniFile::~CIniFile() {
  closeFile();
  clear();
}

bool CIniFile::findSection(const char* name) {
  char key[sizeof(IniSection::name)];
  iniCopyText(key, sizeof key, orEmpty(name));
  for (IniSection* s = sections; s != nullptr; s = s->next) {
    currentSection = s;
    if (strcmp(s->name, key) == 0) return true;
  }
  currentSection = sections;
  return false;
}

bool CIniFile::findValue(const char* name) {
  if (currentSection == nullptr) return false;
  char key[sizeof(IniValue::name)];
  iniCopyText(key, sizeof key, orEmpty(name));
  for (IniValue* v = currentSection->values; v != nullptr; v = v->next) {
    currentValue = v;
    if (strcmp(v->name, key) == 0) return true;
  }
  currentValue = currentSection->values;
  return false;
}

const char* CIniFile::getValue(const char* section, const char* name) {
  if (!findSection(section)) {
    fprintf(stderr, "Schl\xFCssel %s konnte nicht gefunden werden.\n",
            orEmpty(section));
    return nullptr;
  }
  if (!findValue(name)) {
    fprintf(stderr, "Wert %s konnte nicht gefunden werden.\n", orEmpty(name));
    return nullptr;
  }
  return currentValue->value;
}

int CIniFile::getIntValue(const char* section, const char* name) {
  const char* text = getValue(section, name);
  return text ? atoi(text) : 0;
}

double CIniFile::getDoubleValue(const char* section, const char* name) {
  const char* text = getValue(section, name);
  return text ? atof(text) : 0.0;
}

bool CIniFile::getBoolValue(const char* section, const char* name) {
  const char* text = getValue(section, name);
  return text ? atoi(text) != 0 : false;
}

bool CIniFile::addSection(const char* name) {
  name = orEmpty(name);
  if (findSection(name)) {
    fprintf(stderr,
            "Schl\xFCssel %s ist bereits vorhanden! "
            "Es wurde kein neuer angelegt!\n", name);
    return false;
  }
  IniSection* section = newSection();
  if (section == nullptr) {
    fprintf(stderr,
            "F\xFCr den Schl\xFCssel %s konnte kein Speicher "
            "zur verf\xFCgung gestellt werden.\n", name);
    return false;
  }
  iniCopyText(section->name, sizeof section->name, name);
  section->values = nullptr;
  section->next = nullptr;
  IniSection** link = &sections;
  while (*link != nullptr) link = &(*link)->next;
  *link = section;
  currentSection = section;
  return true;
}

bool CIniFile::addValue(const char* section, const char* name,
                        const char* text) {
  if (section != nullptr && !findSection(section)) return false;
  if (currentSection == nullptr) return false;
  name = orEmpty(name);
  if (findValue(name)) {
    fprintf(stderr, "Wert %s bereits vorhanden! Es wurde kein neuer angelegt!\n",
            name);
    return false;
  }
  IniValue* value = newValue();
  if (value == nullptr) {
    fprintf(stderr,
            "F\xFCr den Wert %s konnte kein Speicher "
            "zur verf\xFCgung gestellt werden.\n", name);
    return false;
  }
  iniCopyText(value->name, sizeof value->name, name);
  iniCopyText(value->value, sizeof value->value, orEmpty(text));
  value->next = nullptr;
  IniValue** link = &currentSection->values;
  while (*link != nullptr) link = &(*link)->next;
  *link = value;
  currentValue = value;
  return true;
}

bool CIniFile::addIntValue(const char* section, const char* name, int number) {
  char text[16];
  snprintf(text, sizeof text, "%d", number);
  return addValue(section, name, text);
}

bool CIniFile::setValue(const char* section, const char* name,
                        const char* text) {
  section = orEmpty(section);
  name = orEmpty(name);
  if (!findSection(section)) {
    fprintf(stderr, "Schl\xFCssel %s konnte nicht gefunden werden.\n", section);
    return false;
  }
  if (findValue(name)) {
    iniCopyText(currentValue->value, sizeof currentValue->value,
                orEmpty(text));
    return true;
  }
  fprintf(stderr, "Wert %s konnte nicht gefunden werden.\n", name);
  fprintf(stderr, "Lege Wert %s neu an.\n", name);
  return addValue(section, name, text);
}

void CIniFile::clear() {
  while (sections != nullptr) {
    IniSection* section = sections;
    sections = section->next;
    while (section->values != nullptr) {
      IniValue* value = section->values;
      section->values = value->next;
      delete value;
    }
    delete section;
  }
  currentSection = nullptr;
  currentValue = nullptr;
}

void CIniFile::dump() {
  for (IniSection* s = sections; s != nullptr; s = s->next) {
    fprintf(stdout, "[%s]\n", s->name);
    for (IniValue* v = s->values; v != nullptr; v = v->next)
      fprintf(stdout, " -> %s = \"%s\"\n", v->name, v->value);
    fprintf(stdout, "\n");
  }
}
