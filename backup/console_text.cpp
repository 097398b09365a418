#include "backup/console_text.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

namespace console_text {

namespace {

std::string named(const std::string& name) {
  return backup_format::commentName(name);
}

}  // namespace

void printLine(const std::string& text) { std::cout << text << std::endl; }

void printStart(const std::string& text) { std::cout << text << std::flush; }

const char kOk[] = "OK";
const char kFailed[] = "Fehler!";

std::string error(const std::string& why) { return "Fehler: " + why; }

const char kCannotWrite[] = "Kann nicht in die Datei schreiben!";
const char kRowsNotWritten[] = "Fehler: Die Daten konnten nicht geschrieben werden.";
const char kRowsOutsideBlock[] =
    "Fehler: Datenzeilen sollten au\xDF" "erhalb des Datenblocks ihrer Tabelle "
    "in die Datei; sie wurden abgewiesen, die Datei wird nicht weitergeschrieben.";
const char kUnwritableDefinition[] =
    "Die Definition l\xE4\xDFt sich nicht sicher in die Datei schreiben.";

std::string writeFailure(int errorNumber) {
  std::string cause;
  switch (errorNumber) {
    case ENOSPC:
      cause = "kein Platz mehr auf dem Datentr\xE4ger.";
      break;
    case EFBIG:
      cause = "die Datei ist zu gro\xDF.";
      break;
    case EIO:
      cause = "Ein-/Ausgabefehler.";
      break;
    default:
      cause = "Fehler Nummer " + std::to_string(errorNumber) + ".";
  }
  return "Fehler: Die Datei konnte nicht geschrieben werden: " + cause;
}

const char kCreatingSocket[] = "Erzeuge MySql-Socket: ";
const char kNoMemoryForSocket[] = "Kein Speicher f\xFCr den MySql-Socket.";
const char kNoSocket[] = "Kein MySqlSocket offen!";
const char kNotConnected[] = "Es besteht keine Verbindung zu einer Datenbank!";
const char kConnecting[] = "Verbinde zum Server': ";

std::string serverName(const std::string& host) {
  return "Servername:    " + named(host);
}

std::string serverVersion(const std::string& version) {
  return "Serverversion: " + version;
}

std::string databaseName(const std::string& database) {
  return "Datenbankname: " + named(database);
}

std::string connectedAs(const std::string& user) {
  return "verbunden als: " + named(user);
}

const char kQueryingTables[] = "Abfrage der Tabellen-Namen und -Zeiten: ";

std::string historyNotSaved(const std::string& table) {
  return "Hinweis: Die fr\xFCheren Zeilenversionen der Tabelle '" + named(table) +
         "' (WITH SYSTEM VERSIONING) sind nicht im Backup.";
}

std::string connectRowsElsewhere(const std::string& table) {
  return "Hinweis: Die Zeilen der CONNECT-Tabelle '" + named(table) +
         "' liegen nicht in ihr selbst (ein anderer Server, eine andere Tabelle oder "
         "eine Datei au\xDF" "erhalb der Datenbank) und sind nicht im Backup.";
}

std::string historyRowsLeftOut(const std::string& table, long long rows) {
  return "Hinweis: " + std::to_string(rows) + " fr\xFChere Zeilenversionen der "
         "Tabelle '" + named(table) + "' kann der Server nicht zur\xFC" "cknehmen "
         "(Beginn nicht vor dem Ende, oder NULL in einer AUTO_INCREMENT-Spalte); "
         "sie sind nicht im Backup.";
}

std::string processGrantMissing(const std::string& account) {
  return "Hinweis: Ohne das Recht PROCESS werden alle InnoDB-Tabellen "
         "vom Server gelesen, denn ihre \xC4nderungen sind nicht sicher "
         "zu erkennen. Es fehlt: GRANT PROCESS ON *.* TO " +
         account + ";";
}

std::string lockNotGranted(int seconds) {
  return "Fehler: Die Tabellen ohne Transaktionen (MyISAM, Aria, ...) waren "
         "nach " + std::to_string(seconds) +
         " Sekunden noch von einem anderen Client gesperrt (lock_wait_timeout). "
         "Abbruch.";
}

std::string lockRefused(const std::string& why) {
  return "Hinweis: Die Tabellen ohne Transaktionen (MyISAM, Aria, ...) "
         "konnten nicht gesperrt werden und sind nicht aus einem Moment "
         "gelesen: " +
         named(why);
}

const char kNoMemoryForLock[] = "Kein Speicher f\xFCr eine zweite Verbindung.";
const char kQueryingObjects[] = "Abfrage der Routinen, Trigger und Events: ";
const char kNoTriggerRight[] =
    "Fehler: Ohne das Recht TRIGGER auf die Datenbank zeigt der Server "
    "ihre Trigger nicht.";
const char kNoEventRight[] =
    "Fehler: Ohne das Recht EVENT auf die Datenbank zeigt der Server "
    "ihre Events nicht.";
const char kNoDefinition[] =
    "Der Server gibt die Definition nicht heraus (fehlende Rechte?).";
const char kDefinitionGone[] = "Der Server kennt die Definition nicht mehr.";

const char* kindWord(backup_format::SectionKind kind) {
  using backup_format::SectionKind;
  switch (kind) {
    case SectionKind::kProcedure:
      return "Prozedur";
    case SectionKind::kFunction:
      return "Funktion";
    case SectionKind::kEvent:
      return "Event";
    default:
      return "Trigger";
  }
}

const char kDatabaseEmpty[] = "Datenbank leer, keine Tabellen zum Speichern. Abbruch.";
const char kNoPreviousBackup[] = "Konnte kein altes Backup laden! Starte direktes Update.";
const char kNothingChanged[] =
    "Es gab keine \xC4nderungen in der Datenbank seit dem letzten Backup!";
const char kRunStopped[] = "Backupvorgang wird abgebrochen.";

std::string tablesChanged(int changed) {
  return "Seit dem letzten Backup wurden " + std::to_string(changed) +
         " Tabellen ge\xE4ndert.";
}

const char kStarting[] = "Starte Backupvorgang.";

std::string logNotRead(const std::string& why) {
  return "Hinweis: Das Bin\xE4rlog des Servers wird diesmal nicht gelesen, " + why +
         ". Ge\xE4nderte Tabellen werden an ihrer \xC4nderungszeit erkannt.";
}

const char kLogOff[] = "denn der Server schreibt keines";
const char kLogNoPreviousPosition[] =
    "denn das vorige Backup nennt keine Position darin";
const char kLogPurged[] =
    "denn es reicht nicht mehr bis zur Position des vorigen Backups zur\xFC"
    "ck (gel\xF6scht)";
const char kLogMadeAnew[] =
    "denn es wurde seit dem vorigen Backup neu angelegt (RESET MASTER)";
const char kLogEndedEarly[] = "denn es endet vor der Position dieses Backups";
const char kLogCrashed[] =
    "denn der Server brach seit dem vorigen Backup ab, ohne es zu schlie\xDF"
    "en, und ohne sync_binlog=1 kann ihm ein Ende fehlen, das die Tabellen haben";
const char kLogXaTransaction[] = "denn es enth\xE4lt eine XA-Transaktion";
const char kLogForeignWriter[] =
    "denn es enth\xE4lt Anweisungen anderer Datenbanken, deren Trigger, "
    "Routinen, Sichten oder Fremdschl\xFCssel in diese schreiben k\xF6nnen";
const char kLogStatementUnreadable[] =
    "denn es enth\xE4lt eine Anweisung in einem Zeichensatz oder SQL-Modus, "
    "den das Programm nicht sicher lesen kann";
const char kLogSchemaChanged[] =
    "denn nach einer Anweisung darin wurde das Schema ge\xE4ndert (DROP, RENAME, "
    "CREATE OR REPLACE)";
const char kLogOthersUnseen[] =
    "denn es enth\xE4lt Anweisungen, die andere Datenbanken nennen, deren Trigger, "
    "Routinen und Sichten dieser Benutzer nicht sieht (GRANT SELECT, SHOW VIEW, "
    "TRIGGER ON *.*)";
const char kLogReplicaUnlogged[] =
    "denn der Server ist ein Replikat, dessen Log nicht enth\xE4lt, was die "
    "Replikation schreibt (log_slave_updates=OFF)";

std::string logThroughView(const std::string& view) {
  return "denn eine Anweisung darin kann durch die Sicht '" + named(view) + "' schreiben";
}

std::string logRoutineWithheld(const std::string& routine) {
  return "denn eine Anweisung darin ruft die Routine '" + named(routine) +
         "' auf, deren Text der Server nicht zeigt";
}

std::string logGrantMissing(const std::string& account) {
  return "denn es fehlt ein Recht: GRANT REPLICATION SLAVE, BINLOG MONITOR ON *.* TO " +
         account + ";";
}

std::string logFiltered(const std::string& filters) {
  return "denn binlog_do_db/binlog_ignore_db k\xF6nnen diese Datenbank verbergen (" +
         filters + ")";
}

std::string logUnknownEvent(int type) {
  return "denn es enth\xE4lt ein unbekanntes Ereignis (Typ " + std::to_string(type) + ")";
}

std::string logReadError(const std::string& message) {
  return "denn es lie\xDF sich nicht lesen: " + message;
}

std::string forgottenUpdateTimes(int tables) {
  return "Hinweis: " + std::to_string(tables) +
         " Tabellen werden neu gelesen, weil der Server ihre letzte "
         "\xC4nderungszeit nicht kennt.";
}

std::string tableCacheTooSmall(int tables, long long cache) {
  return "Hinweis: Die Datenbank hat " + std::to_string(tables) +
         " Tabellen, der Server h\xE4lt aber nur die Definitionen von " +
         std::to_string(cache) +
         " im Speicher und vergisst die \xC4nderungszeiten der \xFC"
         "brigen. Erh\xF6hen Sie table_definition_cache auf mehr als " +
         std::to_string(tables) + ".";
}

std::string previousSettingsUnknown() {
  return "Das alte Backup nennt seine Einstellungen nicht (es stammt von "
         "einer \xE4lteren Version oder ist besch\xE4""digt)! Starte direktes "
         "Update.";
}

std::string previousSettingsDiffer(const std::string& changes) {
  return "Das alte Backup wurde mit anderen Einstellungen geschrieben (" +
         changes + ")! Starte direktes Update.";
}

const char kNow[] = ", jetzt ";

std::string cannotCreate(const std::string& fileName) {
  return "Konnte Datei " + named(fileName) + " nicht zum schreiben \xF6" "ffnen.";
}

std::string creatingFile(const std::string& fileName) {
  return "Erzeuge Datei '" + named(fileName) + "' zum Speichern der Daten.";
}

const char kWritingHeader[] = "Schreibe Dateikopf.";

std::string tablesSaved(int saved, size_t tables) {
  return std::to_string(saved) + " von " + std::to_string(tables) +
         " Tabellen erfolgreich gespeichert.";
}

std::string objectsSaved(int saved, size_t objects) {
  return std::to_string(saved) + " von " + std::to_string(objects) +
         " Routinen, Triggern und Events erfolgreich gespeichert.";
}

std::string incomplete(const std::string& path) {
  return "Achtung: Das Backup " + named(path) +
         " ist unvollst\xE4ndig und gilt nicht als letztes Backup!";
}

std::string wrongTableNumber(int index) {
  return "Falsche Tabellennummer! (" + std::to_string(index) + ")";
}

std::string savingTable(const std::string& table) {
  return "Speichere Tabelle '" + named(table) + "'";
}

std::string savingObject(backup_format::SectionKind kind, const std::string& name) {
  return std::string("Speichere ") + kindWord(kind) + " '" + named(name) + "'";
}

const char kQueryingDefinition[] = "Abfrage der Tabellen-beschreibung: ";
const char kNoTableDefinition[] =
    "Fehler: Der Server lieferte keine Tabellenbeschreibung.";
const char kLineFeedInName[] =
    "Fehler: Ein Name der Tabelle enth\xE4lt einen Zeilenumbruch, den "
    "die Datei nicht wiedergeben kann.";
const char kQueryingRows[] = "Abfrage der Tabellen-Daten aus der DB: ";
const char kNoData[] = "Keine Daten zum Speichern.";

std::string rowsSaved(int rows) {
  return std::to_string(rows) + " Datens\xE4tze gespeichert.";
}

std::string readingFirst(size_t tables) {
  return "Lese zuerst " + std::to_string(tables) +
         " Tabellen ohne Transaktionen (MyISAM, Aria, ...).";
}

std::string noScratchFile(const std::string& beside) {
  return "Fehler: Konnte keine Zwischendatei neben " + named(beside) + " anlegen.";
}

std::string readingTable(const std::string& table) {
  return "Lese Tabelle '" + named(table) + "'";
}

std::string rowsRead(int rows) {
  return std::to_string(rows) + " Datens\xE4tze gelesen.";
}

const char kTakingRowsReadFirst[] = "\xDC" "bernehme die zuerst gelesenen Daten.";
const char kRowsNotRead[] = "Fehler: Die Daten wurden nicht gelesen.";

const char kOpeningPrevious[] = "\xD6" "ffne altes Backup: ";

std::string cannotRead(const std::string& fileName) {
  return "Konnte Datei " + named(fileName) + " nicht zum lesen \xF6" "ffnen.";
}

std::string otherDatabasesFile(const std::string& fileName,
                               const std::string& database) {
  return "Die Datei " + named(fileName) + " ist kein Backup der Datenbank '" +
         named(database) + "'.";
}

std::string previousTooLargeUnpacked(const std::string& fileName) {
  return "Fehler: Entpackt br\xE4uchte " + named(fileName) +
         " mehr als die H\xE4lfte des freien Platzes. Es dient nicht als Grundlage.";
}

const char kReadingPrevious[] = "Lese Daten aus dem alten Backup.";
const char kCopyingRows[] = "Kopiere die Daten aus dem alten Backup heraus.";
const char kPreviousChanged[] =
    "Fehler: Das alte Backup hat sich beim Kopieren ver\xE4ndert.";

std::string removed(const std::string& path) {
  return "Altes Backup gel\xF6scht: " + path;
}

std::string notRemoved(const std::string& path, const char* why) {
  return "Konnte altes Backup " + path + " nicht l\xF6schen: " + why;
}

std::string notSearched(const std::string& directory, const char* why) {
  return "Konnte das Verzeichnis " + directory +
         " nicht nach alten Backups durchsuchen: " + why;
}

const char kCheckNotHeader[] = "nicht der Kopf eines Backups";
const char kCheckNoSandbox[] =
    "keine Sandbox-Zeile: der Client f\xFChrt Befehle aus der Datei aus";
const char kCheckNoPreamble[] = "nicht die erste Anweisungszeile eines Backups";
const char kCheckClientCharset[] =
    "die Zeichensatz-Zeile nennt nicht den Zeichensatz der Datei";
const char kCheckCharsetNotByteWise[] =
    "ein Zeichensatz, in dem ein Zeichen auf einen Backslash oder ein "
    "Anf\xFChrungszeichen enden kann";
const char kCheckNoCrLf[] = "Zeilenende ohne CR";
const char kCheckNul[] = "NUL-Byte: der Client bricht hier ab";
const char kCheckDelimiterInside[] =
    "der Client beendet die Anweisung vor ihrem Ende (Trennzeichen darin)";
const char kCheckCommand[] = "ein Befehl, den der Client selbst ausf\xFChrt";
const char kCheckLeftOpen[] =
    "eine Zeichenkette oder ein Kommentar bleibt offen";
const char kCheckNotEnded[] = "die Anweisung endet nicht vor dieser Zeile";
const char kCheckTooLong[] = "die Anweisung ist zu lang zum Pr\xFC" "fen";
const char kCheckLineTooLong[] =
    "die Zeile ist l\xE4nger als 1 GiB (oder als der Speicher fasst): kein Server nimmt sie";
const char kCheckForeignLine[] = "eine Zeile, die hier nicht stehen kann";
const char kCheckCommentLine[] = "eine Kommentarzeile im Abschnitt einer Tabelle";
const char kCheckSectionShape[] = "der Abschnitt hat nicht die geschriebene Form";
const char kCheckSecondSection[] = "ein zweiter Abschnitt desselben Objekts";
const char kCheckOtherName[] = "die Anweisung nennt ein anderes Objekt";
const char kCheckSectionOrder[] =
    "der Abschnitt steht vor einem, den die Wiederherstellung vor ihm braucht"
    " (Tabellen, Routinen, Views, Trigger, Events)";
const char kCheckRowsBeforeCreate[] = "Zeilen vor dem CREATE TABLE ihrer Tabelle";
const char kCheckNoStructure[] =
    "die Tabelle hat keine Struktur, obwohl save-strucktur=1";
const char kCheckRowsUnsaved[] = "Zeilen, obwohl save-daten=0";
const char kCheckDropSetting[] =
    "der Abschnitt hat ein DROP, wo droptable=0, oder keins, wo droptable=1";
const char kCheckRowOtherTable[] = "die Zeile nennt eine andere Tabelle";
const char kCheckRowShape[] = "die Zeile hat nicht die geschriebene Form";
const char kCheckUnknownColumn[] = "die Zeile nennt eine Spalte, die das CREATE TABLE nicht hat";
const char kCheckRowOutside[] = "eine Zeile au\xDF" "erhalb eines Zeilenblocks";
const char kCheckRowsElsewhere[] =
    "Zeilen einer Tabelle, deren Engine keine eigenen Zeilen h\xE4lt";
const char kCheckHistory[] = "die Zeile zur Historie steht nicht bei ihren Zeilen";
const char kCheckPeriod[] =
    "die Zeile der Historie endet nicht nach ihrem Beginn (row_end <= row_start)";
const char kCheckNoClosing[] =
    "der Schlussblock fehlt: die Datei ist abgeschnitten";
const char kCheckSettings[] = "die Einstellungszeile ist unbekannt";
const char kCheckIdentity[] = "eine Kennung ohne Tabelle in der Datei";
const char kCheckLastLine[] = "die letzte Zeile hat kein Zeilenende";
const char kCheckUnreadable[] = "die Datei l\xE4\xDFt sich hier nicht lesen";
const char kCheckFrameDamaged[] =
    "der Frame l\xE4\xDFt sich nicht entpacken oder seine Pr\xFC" "fsumme stimmt nicht";
const char kCheckNotOurFrames[] =
    "keine zstd-Frames dieses Programms (ein Frame ohne Gr\xF6\xDF" "e oder zu gro\xDF)";
const char kCheckSeekTable[] =
    "die Sprungtabelle fehlt oder nennt andere Frames (Datei abgeschnitten?)";

std::string checkColumnCount(int found, int wanted) {
  return "die Zeile hat " + std::to_string(found) + " Werte, ihre Tabelle " +
         std::to_string(wanted) + " Spalten";
}

std::string checkFault(std::uint64_t line, std::int64_t frame,
                       const std::string& why) {
  if (frame >= 0) return "  Frame " + std::to_string(frame) + ": " + why;
  if (line == 0) return "  " + why;
  return "  Zeile " + std::to_string(line) + ": " + why;
}

std::string checkHolds(const std::string& path) { return named(path) + ": OK"; }

std::string checkFails(const std::string& path, std::uint64_t faults) {
  return named(path) + ": FEHLER (" + std::to_string(faults) + ")";
}

std::string checkLeftOut(std::uint64_t faults) {
  return "  ... und " + std::to_string(faults) + " weitere";
}

std::string checkCannotOpen(const std::string& path, int errorNumber) {
  return named(path) + ": FEHLER: l\xE4\xDFt sich nicht \xF6" "ffnen: " +
         std::strerror(errorNumber);
}

std::string checkSummary(std::uint64_t tables, std::uint64_t views,
                         std::uint64_t rows, std::uint64_t routines,
                         std::uint64_t triggers, std::uint64_t events,
                         std::uint64_t bytes, std::uint64_t packedBytes) {
  std::string text = "  " + std::to_string(tables) + " Tabellen, " +
                     std::to_string(rows) + " Zeilen, " +
                     std::to_string(views) + " Views, " +
                     std::to_string(routines) + " Routinen, " +
                     std::to_string(triggers) + " Trigger, " +
                     std::to_string(events) + " Events, " +
                     std::to_string(bytes) + " Bytes";
  if (packedBytes > 0) text += " (" + std::to_string(packedBytes) + " gepackt)";
  return text;
}

std::string checkProgress(const std::string& path, std::uint64_t done,
                          std::uint64_t total) {
  if (total == 0) return named(path) + ": " + std::to_string(done >> 20) + " MiB";
  return named(path) + ": " + std::to_string(done * 100 / total) + " %";
}

const char kLoadForeignLine[] = "eine Zeile, die dieses Programm so nicht schreibt";
const char kLoadClientWouldAct[] =
    "eine Anweisung, die der Client nicht so sendet, wie sie steht";
const char kLoadUnendedStatement[] = "eine Anweisung endet nicht";
const char kLoadNoStructure[] = "Zeilen ohne die Struktur ihrer Tabelle";

std::string loadRefused(std::uint64_t line, const std::string& why) {
  return "Die Datei kann nicht eingespielt werden (Zeile " + std::to_string(line) +
         "): " + why + ". Nichts wurde ge\xE4ndert.";
}

const char kLoadCheckRefused[] =
    "Die Datei besteht die Pr\xFC" "fung nicht und wird nicht eingespielt. Nichts "
    "wurde ge\xE4ndert.";
const char kLoadNoDatabase[] =
    "Die Datei nennt keine Datenbank; bitte mit --datenbank NAME angeben.";

std::string loadTarget(const std::string& path, const std::string& database,
                       int connections) {
  return "Spiele " + named(path) + " in die Datenbank '" +
         backup_format::commentName(database) + "' ein (" +
         std::to_string(connections) + " Verbindungen).";
}

std::string loadCreatingDatabase(const std::string& database) {
  return "Die Datenbank '" + backup_format::commentName(database) +
         "' fehlt und wird angelegt.";
}

std::string loadNotEmpty(const std::string& database) {
  return "Die Datenbank '" + backup_format::commentName(database) +
         "' ist nicht leer. Abbruch, nichts wurde ge\xE4ndert (--ersetzen ersetzt, "
         "was die Datei enth\xE4lt).";
}

std::string loadReplacing(const std::string& database) {
  return "Die Datenbank '" + backup_format::commentName(database) +
         "' ist nicht leer: Was die Datei enth\xE4lt, wird ersetzt (--ersetzen).";
}

const char kLoadStdinUnreadable[] =
    "Fehler: Die Standardeingabe l\xE4\xDFt sich nicht zwischenspeichern.";

const char kLoadChangedBeforeLoad[] =
    "Die Datei hat sich seit ihrer Pr\xFC" "fung ge\xE4ndert. Nichts wurde ge\xE4ndert.";
const char kLoadChangedWhileLoading[] =
    "Fehler: Die Datei hat sich w\xE4hrend des Einspielens ge\xE4ndert; was eingespielt "
    "wurde, ist nicht verl\xE4\xDFlich.";

std::string loadFailed(const std::string& name, std::uint64_t line,
                       const std::string& message) {
  return "Fehler bei '" + backup_format::commentName(name) + "', Zeile " +
         std::to_string(line) + " der Datei: " + message;
}

std::string loadRowsDiffer(const std::string& table, std::uint64_t loaded,
                           std::uint64_t inFile) {
  return "Fehler: Tabelle '" + backup_format::commentName(table) + "': " +
         std::to_string(loaded) + " Zeilen eingespielt, die Datei enth\xE4lt " +
         std::to_string(inFile) + ".";
}

const char kLoadStopped[] = "Einspielen durch ein Signal angehalten.";

std::string loadIncomplete(const std::string& table) {
  return "  unvollst\xE4ndig: Tabelle '" + backup_format::commentName(table) + "'";
}

std::string loadObjectsMissing(std::size_t objects) {
  return "  nicht angelegt: " + std::to_string(objects) +
         " Views, Routinen, Trigger und Events";
}

std::string loadAborted(std::size_t tablesWhole, std::size_t tables) {
  return "Einspielen abgebrochen: " + std::to_string(tablesWhole) + " von " +
         std::to_string(tables) + " Tabellen vollst\xE4ndig.";
}

std::string loadSummary(std::size_t tables, std::uint64_t rows, std::size_t objects,
                        double seconds) {
  char time[32];
  std::snprintf(time, sizeof time, "%.1f", seconds);
  return "Eingespielt: " + std::to_string(tables) + " Tabellen mit " +
         std::to_string(rows) + " Zeilen, " + std::to_string(objects) +
         " Views, Routinen, Trigger und Events in " + time + " s.";
}

std::string loadProgress(std::uint64_t done, std::uint64_t total,
                         std::uint64_t rowsPerSecond, std::size_t tablesDone,
                         std::size_t tables, long secondsLeft) {
  return "Einspielen: " + std::to_string(done >> 20) + " von " +
         std::to_string(total >> 20) + " MiB, " + std::to_string(rowsPerSecond) +
         " Zeilen/s, " + std::to_string(tablesDone) + " von " +
         std::to_string(tables) + " Tabellen, noch " +
         (secondsLeft < 0 ? std::string("?") : std::to_string(secondsLeft)) + " s";
}

const char kProgressTable[] = "Tabelle '";
const char kProgressRows[] = " Zeilen, ";

}  // namespace console_text
