#include "app/app.h"
#include "app/terminal_text.h"

int main() {
  terminal_text::convertConsoleStreams();
  return runProgram();
}
