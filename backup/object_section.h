// Definitions other than a table's: the sections of triggers, functions,
// procedures and events, and the statements of a view's section. How they
// are written, and how a reader follows an object section line by line.
//
// An object section, after its first line ("# Trigger '<name>'" ...):
//   the line of '#'
//   DELIMITER <d>
//   DROP TRIGGER IF EXISTS `<name>`<d>         (only with droptable)
//   /*!50003 SET <save session>, <the object's session> */<d>
//   <the server's definition><d>
//   /*!50003 SET <restore session> */<d>
//   DELIMITER ;
//   (empty line)
// <d> occurs in none of the statements but at their ends, so no body ends a
// statement early, and a reader that knows <d> skips the statements
// whatever lines they hold (a body line may begin with '#').
//
// The DROP statement and the definition stand as the server gives them
// when every reading agrees on them (backup_format::plainToEveryReader:
// no byte over 0x7F, no control byte but TAB, LF and CR, no backslash, no
// double quote under ANSI_QUOTES) and the stock client would do nothing
// but send them (backup_format::clientActsWithin). Any other is written in
// the hex form, on one line:
//   EXECUTE IMMEDIATE 0x<each byte of the statement as two upper-case
//   hexadecimal digits><d>
// under the same session lines. The server takes the literal as binary
// bytes, unconverted, and runs them under the character_set_client, mode
// and time zone those lines set: the object comes back byte for byte. A
// view's definition line is written the same way, "EXECUTE IMMEDIATE
// 0x<hex>;". Only servers that run EXECUTE IMMEDIATE (MariaDB 10.2 on)
// get the hex form; for others a definition is written as it stands where
// the stock client would do nothing but send it, and refused otherwise.
#ifndef VKT_BACKUP_OBJECT_SECTION_H_
#define VKT_BACKUP_OBJECT_SECTION_H_

#include <string>
#include <string_view>
#include <vector>

#include "backup/backup_format.h"

// A definition as the server stores it, with the session it was made in.
struct ObjectDefinition {
  backup_format::SectionKind kind = backup_format::SectionKind::kNone;
  std::string name;          // as listed, in the connection's character set
  std::string createText;    // the SHOW CREATE text, encoded in characterSet
  std::string characterSet;  // character_set_client when it was made
  std::string collation;     // collation_connection when it was made
  std::string sqlMode;       // with hasSqlMode (views have none)
  std::string timeZone;      // with hasTimeZone (events only)
  bool hasSqlMode = false;
  bool hasTimeZone = false;
  // The server runs EXECUTE IMMEDIATE: a statement that not every reading
  // agrees on is written in the hex form.
  bool hexFormTaken = false;
  std::string error;  // why the definition is missing; "" when it is known
};

namespace object_section {

// The lines of an object section after its first line, as laid out above;
// `drop` adds the DROP statement. Empty when the definition is missing,
// when a session value is not a plain word, or when a statement can be
// written neither as it stands nor in the hex form.
std::vector<std::string> objectLines(const ObjectDefinition& object, bool drop);

// The structure block of a view's section without its closing empty line:
// the DROP line (with `drop`), a line setting the view's session, its
// definition (as it stands or in the hex form) and ";", a line restoring
// the session. Empty when the definition is missing, a session value is
// not a plain word, or the definition can be written neither way.
std::vector<std::string> viewLines(const ObjectDefinition& view, bool drop);

// The reading half, for the check: whether a statement (without its
// delimiter, decoded from its hex form) is one that the lines above hold.
//
// The DROP statement of an object section of `kind` for `name`.
bool isDropOf(std::string_view statement, backup_format::SectionKind kind,
              const std::string& name);
// A session line of an object of `kind` (kNone: a view's), the one before
// its definition or, with `restore`, the one after it, with values the
// writer writes (plain words and quoted plain values).
// The line before the definition gives the definition's character set
// to *characterSet and its sql_mode's bits (sql_lexer) to *sqlMode; the
// line after it gives back the file's own session (no bits).
bool isSessionLine(std::string_view statement, backup_format::SectionKind kind,
                   bool restore, std::string* characterSet = nullptr,
                   unsigned long long* sqlMode = nullptr);
// A definition that creates an object of `kind` (kNone: a view), in
// `database` where it names one: CREATE, the clauses the server prints
// before the kind's word (DEFINER, AGGREGATE; ALGORITHM and SQL SECURITY of
// a view), the word and the name, which goes to *name; a trigger's table
// goes to *table. The names are in the definition's character set.
bool createsObject(std::string_view sql, backup_format::SectionKind kind,
                   const std::string& database, std::string* name,
                   std::string* table = nullptr);
// `name`, in character set `from`, written in character set `to`; false
// when that is not known here (only ASCII, the same set, the utf8 sets
// among each other and latin1 to them are).
bool nameInCharset(const std::string& name, const std::string& from,
                   const std::string& to, std::string* converted);

// `lines` joined by LF: the text that a reader gets back from them.
std::string joinLines(const std::vector<std::string>& lines);

// The shortest delimiter of two to fifteen of one of the bytes ";$/|" (the
// stock client keeps no more than fifteen) that occurs in no statement and
// whose first occurrence in each statement followed by it is at that
// statement's end. When none fits, ";;" and the lowest number (zero-padded
// to the fewest digits that leave one free) that follows ";;" nowhere: a
// delimiter is always found.
std::string delimiterFor(const std::vector<std::string>& statements);
// Whether `delimiter` has a form that delimiterFor() gives.
bool isDelimiterForm(std::string_view delimiter);

// Follows the lines of one object section after its first line, as a
// reader meets them, and keeps them.
class SectionText {
 public:
  // Feeds the next line, without its line end.
  void take(std::string_view line);
  // True while the section's statements go on: the next line belongs to
  // the section whatever it holds.
  bool inStatements() const { return inStatements_; }
  // The lines taken, joined by LF.
  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string delimiter_;
  bool empty_ = true;
  bool inStatements_ = false;
  bool statementEnded_ = false;
};

// A trigger, function, procedure or event section of a previous backup.
struct PreviousObject {
  backup_format::SectionKind kind = backup_format::SectionKind::kNone;
  std::string name;  // as the section's first line gives it
  SectionText section;
};

// How many objects were added, dropped, changed or moved between the
// sections of a previous backup and the objects that this run writes (in
// the order it writes them, `drop` as it writes them). An object is
// changed when its section's text differs, and moved when it comes before
// an object it came after (triggers fire in the order they were made).
int countChanges(const std::vector<PreviousObject>& previous,
                 const std::vector<ObjectDefinition>& current, bool drop);

}  // namespace object_section

#endif  // VKT_BACKUP_OBJECT_SECTION_H_
