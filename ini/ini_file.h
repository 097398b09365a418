// CIniFile: a small settings document of named sections holding named short
// text values, read from and written to an INI text file.
//
// The store is written in a plain C-like style: fixed-size character fields,
// singly linked records allocated one by one without exceptions, a stdio
// FILE*, strcmp for names and fprintf for messages. Every field is always
// terminated within its size; over-long input is cut, never overrun.
//
// Messages go to stderr as single Windows-1252 bytes; dump() goes to stdout.
// A section is called "Schl\xFCssel" and a value "Wert" in those messages.
//
// A null name or text argument is read as the empty text (the one exception
// being addValue's section argument, see there).
//
// Not thread-safe: every lookup, the getters included, moves the cursors.

#ifndef VKT_INI_INI_FILE_H_
#define VKT_INI_INI_FILE_H_

#include <cstddef>
#include <cstdio>

// The longest value text the reader takes from a line.
const size_t kIniReadValueLength = 49;

// One named value. Lists of values keep the order of adding.
struct IniValue {
  char name[21];   // at most 20 characters, always terminated
  char value[51];  // at most 50 characters, always terminated
  IniValue* next;  // following value of the same section, or null
};

// One named section. Lists of sections keep the order of adding.
struct IniSection {
  char name[21];     // at most 20 characters, always terminated
  IniValue* values;  // first value, or null while the section is empty
  IniSection* next;  // following section, or null
};

class CIniFile {
 public:
  // Empty document named "test.ini"; nothing is read. isLoaded() is false.
  CIniFile();

  // Empty document named `fileName` (cut to 31 characters), then reads that
  // file. isLoaded() is true when it could be opened for reading as a
  // regular file, even when empty; a missing or unreadable file, or anything
  // but a regular file (a directory, a FIFO: never waited for), gives an
  // empty document and false. Prints nothing of its own: only duplicate
  // sections or entries in the file cause the add operations' messages.
  explicit CIniFile(const char* fileName);

  // Closes a file left open and frees the document. Nothing is written.
  virtual ~CIniFile();

  CIniFile(const CIniFile&) = delete;
  CIniFile& operator=(const CIniFile&) = delete;

  // ---- Lookups. Both move the cursors. ----
  //
  // Names are compared whole and case-sensitively (strcmp), after cutting the
  // wanted name to the 20 characters a record can hold, so a name finds the
  // record that adding the same name made.

  // Walks the sections from the first, leaving currentSection on each one
  // visited. True on a match, and currentSection stays on it; otherwise
  // currentSection is the first section (null in an empty document).
  bool findSection(const char* name);

  // The same walk over currentSection's values with currentValue; on no
  // match currentValue is that section's first value (or null). False, with
  // both cursors unchanged, when currentSection is null.
  bool findValue(const char* name);

  // ---- Getters. A missing section prints
  // "Schl\xFCssel <section> konnte nicht gefunden werden.\n" (the value is then
  // not looked at); a missing value prints
  // "Wert <name> konnte nicht gefunden werden.\n". ----

  // The stored text, or null when missing. The pointer is the record's own
  // text: it shows later setValue() changes and is valid until clear() or
  // destruction.
  const char* getValue(const char* section, const char* name);
  // atoi of the stored text; 0 when missing.
  int getIntValue(const char* section, const char* name);
  // atof of the stored text; 0.0 when missing.
  double getDoubleValue(const char* section, const char* name);
  // atoi of the stored text != 0; false when missing.
  bool getBoolValue(const char* section, const char* name);

  // ---- Changes. A refused or failed change alters nothing but the
  // cursors. Names are cut to 20 characters, texts to 50. ----

  // Appends an empty section and leaves currentSection on it. An existing
  // name is refused with "Schl\xFCssel <name> ist bereits vorhanden! Es wurde
  // kein neuer angelegt!\n", leaving currentSection on that section. No memory:
  // "F\xFCr den Schl\xFCssel <name> konnte kein Speicher zur verf\xFCgung gestellt
  // werden.\n". Returns true when the section was added.
  bool addSection(const char* name);

  // Appends a value to the named section, or to currentSection when
  // `section` is null, and leaves currentValue on it. A missing section (or
  // no current section) gives false silently. An existing value name is
  // refused with "Wert <name> bereits vorhanden! Es wurde kein neuer
  // angelegt!\n" and keeps its text. No memory: "F\xFCr den Wert <name> konnte
  // kein Speicher zur verf\xFCgung gestellt werden.\n".
  bool addValue(const char* section, const char* name, const char* text);

  // addValue() with `number` as decimal text ("-15"); never overwrites.
  bool addIntValue(const char* section, const char* name, int number);

  // Overwrites an existing value in place and returns true. A missing section
  // prints its "nicht gefunden" message and gives false. A missing value
  // prints "Wert <name> konnte nicht gefunden werden.\n" then
  // "Lege Wert <name> neu an.\n" and returns addValue(section, name, text).
  bool setValue(const char* section, const char* name, const char* text);

  // Frees every value and section; the document and both cursors are null.
  // The file handle is not touched.
  void clear();

  // Prints "[name]\n", then " -> name = \"text\"\n" per value, then "\n"
  // for every section, on stdout.
  void dump();

  // ---- The file. ----

  bool isLoaded() const { return loaded; }

  // The name (as read) of the first entry whose value was longer than the
  // kIniReadValueLength characters the reader takes, and so was cut; null
  // when every value was read whole.
  const char* cutValueName() const {
    return cutValue[0] != '\0' ? cutValue : nullptr;
  }

  // When `fileName` is not null it replaces the stored name (cut to 31
  // characters). Then writes the whole document to the file: "[name]\r\n",
  // "name=text\r\n" per value and "\r\n" after every section; an empty
  // document gives an empty file.
  //
  // The file is replaced whole or not at all: the document goes to a
  // temporary file beside the target (through a symbolic link, beside the
  // file it names), which is flushed to disk and renamed over the target
  // only when every write succeeded; otherwise the temporary file is removed
  // and the old file stays as it was. A new file gets mode 0600 (it holds a
  // password); an existing file keeps its mode and, where allowed, its
  // owner. An existing target that is no regular file, that this process
  // may not write, or that has no write permission bit at all (read-only,
  // even for root), stays untouched, as does one in a directory that does
  // not allow creating the temporary file.
  // Temporary files of earlier saves of the same target that were killed
  // before they finished ("<target>.XXXXXX", regular files of this user)
  // are removed first: they may hold a password.
  // No message; the document and isLoaded() are unchanged. Returns true
  // when the file was replaced.
  bool save(const char* fileName = nullptr);

  // Closes an open file, then opens the stored file name without waiting: 'r'
  // reads it, 'w' truncates or creates it (a new file with mode 0600) and
  // writes in place; anything but a regular file is refused, as is any other
  // mode. True when open.
  bool openFile(char mode);

  // Closes the open file, if any, unchecked.
  void closeFile();

  // Does nothing when no file is open. Otherwise reads the file from its
  // start into the document, adding to what it holds. A CR LF pair reads as
  // a single line end; any other CR is text. Lines are taken in pieces of at
  // most 99 characters, each piece handled as a line of its own (text after
  // a NUL byte in a piece is not seen):
  //   "#..."       a comment, ignored;
  //   "[name]..."  addSection(name): the text up to the first "]" or the end,
  //                at most 17 characters;
  //   "name=text"  addValue(null, name, text): the name is the text before
  //                the first "=" cut to 18 characters, the value all the text
  //                after that first "=" cut to 49 characters (also when the
  //                name was cut; cutValueName() then tells). Entries before
  //                any section are dropped;
  //   otherwise    ignored.
  // Nothing is trimmed; the reader reports no syntax errors.
  void readSections();

  // Writes the document to the open file in the syntax described at save().
  // Stops at the first failed write; the stream's error flag tells.
  void writeSections();

 private:
  bool openTemporaryBeside(const char* target, char** tempName);
  bool finishTemporary();

  FILE* file;                   // open only while reading or saving
  char fileName[32];            // at most 31 characters, always terminated
  IniSection* sections;         // first section, or null
  IniSection* currentSection;   // section cursor
  IniValue* currentValue;       // value cursor
  bool loaded;                  // the constructor could read the file
  char cutValue[21];            // see cutValueName(); "" while none
};

// Test hook: the next `count` record allocations fail as if memory ran out.
// Zero (the default) lets every allocation through.
void iniFailNextAllocations(int count);

#endif  // VKT_INI_INI_FILE_H_
