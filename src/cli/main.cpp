#include <iostream>
#include <string>
#include <vector>

#include "cli/cli_common.h"
#ifdef _WIN32
#include "winconsole/windows_console.h"
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
  // The arguments as UTF-16 from the system, the output as UTF-16 to a console: any text, as on
  // Linux.
  (void)argc;
  (void)argv;
  const std::vector<std::string> arguments = qz::winconsole::WideCommandLineArguments();
  std::vector<const char*> pointers;
  for (const std::string& argument : arguments) pointers.push_back(argument.c_str());
  pointers.push_back(nullptr);
  const qz::winconsole::ConsoleStreams console;
  return qz::cli::Run(static_cast<int>(arguments.size()), pointers.data(), std::cout, std::cerr);
#else
  return qz::cli::Run(argc, argv, std::cout, std::cerr);
#endif
}
