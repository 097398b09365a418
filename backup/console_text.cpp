#include "backup/console_text.h"

#include <cerrno>
#include <iostream>

namespace console_text {

void printLine(const std::string& text) { std::cout << text << std::endl; }

std::string writeFailure(int error) {
  std::string cause;
  switch (error) {
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
      cause = "Fehler Nummer " + std::to_string(error) + ".";
  }
  return "Fehler: Die Datei konnte nicht geschrieben werden: " + cause;
}

}  // namespace console_text
