#include "dialog/exit_rules.h"

#include <utility>

#include "dialog/qz670x_dialog.h"

namespace qz {

ExitRules::ExitRules(std::function<CQZ670xWriteEepromMPUtyDlg*()> dialog,
                     std::function<void()> end, std::function<bool()> ask)
    : dialog_(std::move(dialog)), end_(std::move(end)), ask_(std::move(ask)) {}

void ExitRules::Guarded(const std::function<void()>& handler) {
  ++depth_;
  handler();
  --depth_;
  if (depth_ != 0) return;
  if (pending_) {
    pending_ = false;
    end_();
    return;
  }
  if (after_outermost_) after_outermost_();
}

ExitRules::Outcome ExitRules::Request(bool confirmed) {
  CQZ670xWriteEepromMPUtyDlg* dialog = dialog_();
  if (dialog == nullptr) return Outcome::kEnded;
  // the question is open: a second request waits for its answer (a confirmed one need not)
  if (pending_ || (asking_ && !confirmed)) return Outcome::kDeferred;
  if (dialog->JobActive() && !confirmed) {
    asking_ = true;
    const bool stop = ask_();
    asking_ = false;
    dialog = dialog_();
    if (dialog == nullptr) return Outcome::kEnded;
    if (!stop) return Outcome::kRefused;
  }
  if (depth_ > 0) {
    dialog->CancelWriteRequest();
    pending_ = true;
    return Outcome::kDeferred;
  }
  end_();
  return Outcome::kEnded;
}

}  // namespace qz
