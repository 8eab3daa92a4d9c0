#pragma once

#include <string>

namespace qz::app {

// The application object: start-up, the single-instance rule and the dialog's whole life.
class CQZ670xWriteEepromMPUtyApp {
 public:
  CQZ670xWriteEepromMPUtyApp() = default;
  CQZ670xWriteEepromMPUtyApp(const CQZ670xWriteEepromMPUtyApp&) = delete;
  CQZ670xWriteEepromMPUtyApp& operator=(const CQZ670xWriteEepromMPUtyApp&) = delete;

  // Parses the command line (no arguments, or the device options of the command-line tool),
  // brings a running copy to the front and ends, or runs the dialog until it ends. Returns the
  // process's exit status: 0, 64 for a bad command line, 74 when the device session cannot be
  // made or saved. SIGINT, SIGTERM and SIGHUP end the dialog as its Exit does (after a running
  // job), with status 0.
  int InitInstance(int argc, char** argv);

  // The program's file name without its extension: the caption of message boxes naming none.
  [[nodiscard]] static std::string AppNameOf(const char* argv0);
};

}  // namespace qz::app
