#pragma once

#include <functional>
#include <string>

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "dialog/dialog_controls.h"
#include "dialog/ui_call_queue.h"

namespace qz::winapp {

// The dialog object's controls over a Windows dialog's child windows, addressed by control ID.
// Texts cross as UTF-16 (the W functions). A call from another thread than the dialog's (the
// programming worker) is queued, the dialog is woken with kRunQueuedMessage, and the caller
// waits until the call has run there; after StopWaitingForUi() such calls return at once.
class Win32DialogControls final : public DialogControls {
 public:
  // Posted to the dialog to run what is queued; its procedure calls RunQueued().
  static constexpr UINT kRunQueuedMessage = WM_APP + 0x51;

  // Shows one message box and returns when it is dismissed (tests answer boxes this way).
  using MessagePresenter = std::function<void(const MessageBoxRequest&)>;

  // `dialog` is not owned. Construct on the dialog's thread.
  explicit Win32DialogControls(HWND dialog);
  ~Win32DialogControls() override;
  Win32DialogControls(const Win32DialogControls&) = delete;
  Win32DialogControls& operator=(const Win32DialogControls&) = delete;

  [[nodiscard]] bool IsChecked(int id) const override;
  void SetChecked(int id, bool checked) override;
  [[nodiscard]] bool IsEnabled(int id) const override;
  void SetEnabled(int id, bool enabled) override;
  [[nodiscard]] bool IsVisible(int id) const override;
  void SetVisible(int id, bool visible) override;
  [[nodiscard]] std::string Text(int id) const override;
  void SetText(int id, std::string_view text) override;
  void SetProgressRange(int id, int low, int high) override;
  void SetProgress(int id, int position) override;
  [[nodiscard]] int Progress(int id) const override;
  void ShowMessage(const MessageBoxRequest& message) override;
  void PostToUi(std::function<void()> task) override;
  void StopWaitingForUi() override;

  // Runs the queued calls (the dialog's procedure, on kRunQueuedMessage).
  void RunQueued() { calls_.RunQueued(); }
  // Each queued call runs through `runner` (the window defers closing until it returns).
  void SetTaskRunner(UiCallQueue::TaskRunner runner) { calls_.SetTaskRunner(std::move(runner)); }
  void SetMessagePresenter(MessagePresenter presenter) { presenter_ = std::move(presenter); }
  // The dialog object is gone: queued work is dropped from now on.
  void Shutdown() { calls_.Shutdown(); }

 private:
  bool RunOnUi(std::function<void()> task) const { return calls_.RunOnUi(std::move(task)); }
  [[nodiscard]] HWND Item(int id) const { return GetDlgItem(dialog_, id); }

  HWND dialog_;
  MessagePresenter presenter_;
  mutable UiCallQueue calls_;
  ProgressMemo progress_;
};

// Text conversions for the W functions.
[[nodiscard]] std::wstring Widen(std::string_view utf8);
[[nodiscard]] std::string Narrow(std::wstring_view wide);

}  // namespace qz::winapp
