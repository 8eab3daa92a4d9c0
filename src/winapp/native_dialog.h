#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "dialog/exit_rules.h"
#include "winapp/win32_dialog_controls.h"

namespace qz {
class Clock;
class CQZ670xWriteEepromMPUtyDlg;
class HidBackend;
class HotplugSource;
class Win32HotplugSource;
}  // namespace qz

namespace qz::winapp {

// Resource number of the program's icon.
inline constexpr int kMainIconResource = 128;

// The main dialog as a native Windows dialog: the window is made from the in-memory template,
// its controls reach the dialog object through Win32DialogControls, and its procedure is the
// dialog's message map. It owns the dialog object for the dialog's life and ends it by the Exit
// sequence however it is asked to close (Exit, Enter, Escape, the window manager's close); while
// a job runs only after an explicit yes.
class NativeDialog {
 public:
  // Chooses a file for a "..." button: the full path, or nullopt when cancelled.
  using FileChooser = std::function<std::optional<std::wstring>(HWND owner)>;
  // Asks a yes/no question (default no); true for yes.
  using Confirmer = std::function<bool(const std::string& text)>;

  // `backend`, `clock` and `hotplug` are not owned and must outlive the dialog. Without a
  // `hotplug` source the dialog registers its own window for USB device notifications;
  // with one (the virtual chips' bus) it polls that source.
  NativeDialog(HINSTANCE instance, HidBackend& backend, Clock& clock, HotplugSource* hotplug,
               std::string app_name);
  // Ends the dialog if it still runs (the worker is stopped and joined first).
  ~NativeDialog();
  NativeDialog(const NativeDialog&) = delete;
  NativeDialog& operator=(const NativeDialog&) = delete;

  // Makes the window and runs the dialog's initialisation; false when the window could not be
  // made (GetLastError tells why).
  bool Create();
  // Handles messages until the dialog has ended.
  void RunMessageLoop();
  // Handles the messages already waiting, without blocking (tests).
  void PumpMessages();
  [[nodiscard]] bool Ended() const { return ended_; }

  [[nodiscard]] HWND Window() const { return window_; }
  // The dialog object, or null once the dialog has ended.
  [[nodiscard]] CQZ670xWriteEepromMPUtyDlg* Dialog() { return dialog_.get(); }

  // Test seams; the defaults are the real modal dialogs.
  void SetMessagePresenter(Win32DialogControls::MessagePresenter presenter);
  void SetFileChooser(FileChooser chooser) { file_chooser_ = std::move(chooser); }
  void SetConfirmer(Confirmer confirmer) { confirmer_ = std::move(confirmer); }

 private:
  static INT_PTR CALLBACK Procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  INT_PTR Handle(UINT message, WPARAM wparam, LPARAM lparam);
  void OnInit();
  void OnCommand(int id);
  void OnPaint();
  void Browse(int target_edit);
  void DrainHotplug();
  void Guarded(const std::function<void()>& handler) { exit_rules_.Guarded(handler); }
  bool AskStopQuestion();
  // OnExit, then the dialog object is destroyed and the window goes. Runs once; the destructor
  // runs it too.
  void EndDialog();

  HINSTANCE instance_;
  HidBackend& backend_;
  Clock& clock_;
  HotplugSource* polled_hotplug_;
  std::string app_name_;
  HWND window_ = nullptr;
  HICON icon_ = nullptr;
  std::unique_ptr<Win32DialogControls> controls_;
  std::unique_ptr<Win32HotplugSource> window_hotplug_;
  std::unique_ptr<CQZ670xWriteEepromMPUtyDlg> dialog_;
  Win32DialogControls::MessagePresenter presenter_;
  FileChooser file_chooser_;
  Confirmer confirmer_;
  ExitRules exit_rules_;
  bool ended_ = false;
};

// A "..." button's file choice: the open dialog with the one "All Files (*.bin)" entry. The full
// path, or nullopt when cancelled; an empty path when the choice does not fit the path edits.
[[nodiscard]] std::optional<std::wstring> ChooseBinFile(HWND owner);

}  // namespace qz::winapp
