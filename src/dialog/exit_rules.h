#pragma once

#include <functional>

namespace qz {

class CQZ670xWriteEepromMPUtyDlg;

// The ways out of the dialog's window, the same in every toolkit: Exit, Enter (Exit is the
// default button), Escape and the window manager's close all ask here.
//
// Without a job the Exit sequence runs at once. While a job runs it runs only after an explicit
// yes to the stop question (asked once, however many requests come while it is open), since
// stopping a job half-way leaves the chip without a header. While a handler of the dialog object
// is on the stack (inside one of its message boxes) the sequence waits until it has returned,
// and the handler does not hand a job to the worker when its box closes.
class ExitRules {
 public:
  enum class Outcome { kEnded, kDeferred, kRefused };

  // `dialog` gives the dialog object (null once it has ended); `end` runs the Exit sequence and
  // closes the window; `ask` asks the stop question and returns true for yes.
  ExitRules(std::function<CQZ670xWriteEepromMPUtyDlg*()> dialog, std::function<void()> end,
            std::function<bool()> ask);

  // Runs a handler of the dialog object (a click, a queued UI call of the worker, a device
  // change); an exit asked for meanwhile runs when the outermost handler returns, and
  // `after_outermost` (when set) runs after every outermost handler that did not end the dialog.
  void Guarded(const std::function<void()>& handler);
  void SetAfterOutermost(std::function<void()> after) { after_outermost_ = std::move(after); }

  // A request to leave; `confirmed` skips the question (the operator already said yes).
  Outcome Request(bool confirmed = false);

  [[nodiscard]] bool InsideHandler() const { return depth_ > 0; }

 private:
  std::function<CQZ670xWriteEepromMPUtyDlg*()> dialog_;
  std::function<void()> end_;
  std::function<bool()> ask_;
  std::function<void()> after_outermost_;
  int depth_ = 0;
  bool pending_ = false;
  bool asking_ = false;
};

}  // namespace qz
