#include <string>
#include <vector>

#include "app/app.h"
#include "app/terminal_text.h"

int main(int argc, char** argv) {
  terminal_text::convertConsoleStreams();
  return runCommandLine(std::vector<std::string>(argv + (argc > 0 ? 1 : 0), argv + argc));
}
