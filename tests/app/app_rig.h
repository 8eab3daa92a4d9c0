#pragma once

#include <QString>
#include <QTemporaryDir>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "app/dialog_window.h"
#include "base/clock.h"
#include "cli/options/device_options.h"
#include "dialog/dialog_controls.h"

namespace qz::app::test {

// A dialog window over the virtual chip, with virtual time and an operator who answers every
// message box at once (and records it).
class WindowRig {
 public:
  // `sim_mode` ("rom", "firmware" or empty: from the EEPROM), an optional EEPROM file and faults.
  explicit WindowRig(const std::string& sim_mode = "rom", const std::string& eeprom_file = {},
                     const std::vector<std::string>& faults = {});
  ~WindowRig();

  [[nodiscard]] DialogWindow& Window() { return *window_; }
  [[nodiscard]] cli::DeviceSession& Session() { return *session_; }
  // The widget of control `id`; fails the test when there is none.
  [[nodiscard]] QWidget* Control(int id);
  // Message boxes shown so far, in order.
  [[nodiscard]] const std::vector<MessageBoxRequest>& Messages() const { return messages_; }
  [[nodiscard]] std::vector<std::string> MessageTexts() const;

  // Ends the window (its dialog object and worker) before the session goes.
  void DestroyWindow();

 private:
  ManualClock clock_;
  std::unique_ptr<cli::DeviceSession> session_;
  std::unique_ptr<DialogWindow> window_;
  std::vector<MessageBoxRequest> messages_;
};

// A mouse click on a control as an operator makes it (on the indicator of a check box or radio).
void Click(QWidget* control);
// Types `text` into an edit, replacing what it held.
void TypeInto(QWidget* edit, const QString& text);

// A generated, valid image file of 32784 bytes at `path`; returns its bytes.
std::vector<std::uint8_t> WriteSampleImage(const QString& path);
// The first `count` bytes of `bytes` written to `path`.
void WriteFile(const QString& path, const std::vector<std::uint8_t>& bytes, std::size_t count);
[[nodiscard]] std::vector<std::uint8_t> ReadFile(const QString& path);

}  // namespace qz::app::test
