#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "dialog/dialog_controls.h"

namespace qz {

// In-memory controls for tests and the command line. Every control of the table exists with
// its template state (visible as in the template, enabled, unchecked, its caption as text);
// message boxes are recorded in order and handed to an optional handler, which plays the
// operator: the box counts as dismissed when the handler returns. Thread-safe.
class HeadlessControls final : public DialogControls {
 public:
  using MessageHandler = std::function<void(const MessageBoxRequest&)>;

  HeadlessControls();

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
  // Nothing here waits for a UI thread; the call wakes every WaitUntil, so a wait that watches
  // the worker's state sees the stop at once.
  void StopWaitingForUi() override;

  // Radio-button click as the platform does it: checks `id` and unchecks the others of its group.
  void CheckRadio(int id);

  // Called for each message box, on the thread that shows it, outside the lock.
  void SetMessageHandler(MessageHandler handler);
  // Called with every progress position set, on the thread that sets it, outside the lock.
  void SetProgressHandler(std::function<void(int)> handler);

  // Messages shown so far, in order.
  [[nodiscard]] std::vector<MessageBoxRequest> Messages() const;
  [[nodiscard]] std::vector<std::string> MessageTexts() const;
  void ClearMessages();
  // Every progress position set so far, in order.
  [[nodiscard]] std::vector<int> ProgressHistory() const;

  // Runs the tasks posted to the UI thread so far (call on the thread that plays the UI thread).
  // Returns how many ran.
  std::size_t RunPostedTasks();
  // Waits until `predicate` (evaluated under no lock) holds or `timeout` passes, waking on every
  // control change and every posted task. Returns whether it holds.
  bool WaitUntil(const std::function<bool()>& predicate, std::chrono::milliseconds timeout);

 private:
  struct State {
    bool checked = false;
    bool enabled = true;
    bool visible = true;
    std::string text;
    int low = 0, high = 100, position = 0;
  };
  State& At(int id);
  const State& At(int id) const;
  void Changed();

  mutable std::mutex mutex_;
  std::condition_variable changed_;
  std::map<int, State> states_;
  std::vector<MessageBoxRequest> messages_;
  std::vector<int> progress_history_;
  std::deque<std::function<void()>> posted_;
  MessageHandler message_handler_;
  std::function<void(int)> progress_handler_;
  std::uint64_t generation_ = 0;
};

}  // namespace qz
