#pragma once
// The Windows console and command line as the commands expect them: UTF-8 text in and out.
#ifdef _WIN32

#include <memory>
#include <streambuf>
#include <string>
#include <vector>

namespace qz::winconsole {

// The program's arguments from the wide command line, as UTF-8, the program's path first. The
// narrow argv that main() receives went through the ANSI code page, which keeps only the
// characters it has and turns every other one into '?'.
[[nodiscard]] std::vector<std::string> WideCommandLineArguments();

// While it lives, std::cout and std::cerr write UTF-8 text to a console as UTF-16
// (WriteConsoleW), so that every character shows whatever the console's code page; a stream
// redirected to a file or a pipe keeps its UTF-8 bytes as they are.
class ConsoleStreams {
 public:
  ConsoleStreams();
  ~ConsoleStreams();
  ConsoleStreams(const ConsoleStreams&) = delete;
  ConsoleStreams& operator=(const ConsoleStreams&) = delete;

 private:
  std::unique_ptr<std::streambuf> out_;
  std::unique_ptr<std::streambuf> err_;
  std::streambuf* previous_out_ = nullptr;
  std::streambuf* previous_err_ = nullptr;
};

// Console control events as the command's signals: Ctrl-C and Ctrl-Break as SIGINT; closing the
// console, logging off and shutting down as SIGTERM. `record` is called with the signal on the
// system's handler thread. Unless `keep_catching`, each signal is caught once and the next one
// of its kind takes the default action (the process ends), as on Linux. A closing console waits
// for the command to end (the system allows a few seconds). One registration at a time.
void CatchConsoleControl(void (*record)(int), bool keep_catching);
void ReleaseConsoleControl();

}  // namespace qz::winconsole

#endif
