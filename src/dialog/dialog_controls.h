#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace qz {

enum class MessageIcon { kNone, kStop, kInformation };

// What a message box is about, for the boxes that something else follows.
enum class MessageAbout {
  kOther,
  kReplug,          // the chip was erased: it must be re-plugged and come back in ROM mode
  kDeviceNotFound,  // the device search found no chip
};

// One modal message box as the dialog shows it.
struct MessageBoxRequest {
  std::string text;
  std::string caption;
  MessageIcon icon = MessageIcon::kNone;
  MessageAbout about = MessageAbout::kOther;  // set where the dialog raises the box
  // Why, beside the system's text (which stays as it is): the failed check and its values, or
  // the file and the system's reason. Empty when the text says all there is.
  std::string detail{};
};

// The box's text with its detail (if any) as a second line, for whatever shows both as one text.
[[nodiscard]] inline std::string TextWithDetail(const MessageBoxRequest& message) {
  return message.detail.empty() ? message.text : message.text + "\n" + message.detail;
}

// The dialog object's only way to its controls, addressed by the numeric control IDs.
// Implemented over Qt widgets by the application and in memory for tests and the command line.
//
// Threads: the UI thread may call everything. The programming worker calls only SetProgress,
// ShowMessage and SetEnabled(1002, ...); each call completes (a message box is dismissed)
// before it returns. PostToUi may be called from any thread.
class DialogControls {
 public:
  virtual ~DialogControls() = default;

  [[nodiscard]] virtual bool IsChecked(int id) const = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  [[nodiscard]] virtual bool IsEnabled(int id) const = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;
  [[nodiscard]] virtual bool IsVisible(int id) const = 0;
  virtual void SetVisible(int id, bool visible) = 0;

  // Whole text of an edit or label, UTF-8.
  [[nodiscard]] virtual std::string Text(int id) const = 0;
  virtual void SetText(int id, std::string_view text) = 0;

  // Progress bar range and position.
  virtual void SetProgressRange(int id, int low, int high) = 0;
  virtual void SetProgress(int id, int position) = 0;
  [[nodiscard]] virtual int Progress(int id) const = 0;

  // Shows a modal message box and returns when it has been dismissed.
  virtual void ShowMessage(const MessageBoxRequest& message) = 0;

  // Runs `task` later on the UI thread (the thread that owns the dialog).
  virtual void PostToUi(std::function<void()> task) = 0;

  // Called on the UI thread just before it waits for the worker to end: from then on a
  // worker's call must not wait for the UI thread (a message box counts as dismissed at once).
  virtual void StopWaitingForUi() {}

  // Text of an edit read through a buffer of `max_chars` + 1 characters: at most `max_chars`
  // UTF-16 code units of it.
  [[nodiscard]] std::string GetText(int id, std::size_t max_chars) const;
};

}  // namespace qz
