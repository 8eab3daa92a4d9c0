#pragma once

#include <QObject>

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "dialog/dialog_controls.h"
#include "dialog/ui_call_queue.h"

class QButtonGroup;
class QWidget;

namespace qz::app {

// The dialog object's controls over real widgets, addressed by control ID.
//
// Calls from the UI thread act on the widgets at once. A call from any other thread (the
// programming worker) is queued to the UI thread and waits until it has run there, so a worker
// goes on only after its progress step is shown or its message box is dismissed. After
// StopWaitingForUi() such calls return at once without touching a widget, so the UI thread can
// wait for the worker without either thread waiting for the other.
class QtDialogControls final : public QObject, public DialogControls {
  Q_OBJECT

 public:
  // Shows one message box and returns when it is dismissed. Runs on the UI thread.
  using MessagePresenter = std::function<void(const MessageBoxRequest&)>;
  // Runs one piece of queued UI work (the window wraps it to defer closing until it returns).
  using TaskRunner = UiCallQueue::TaskRunner;

  // `owner` owns the message boxes; `widgets` maps each control ID to its widget; `radios` is
  // the exclusive group of the mode radios. None is owned. Construct on the UI thread.
  QtDialogControls(QWidget* owner, std::map<int, QWidget*> widgets, QButtonGroup* radios);
  ~QtDialogControls() override;
  QtDialogControls(const QtDialogControls&) = delete;
  QtDialogControls& operator=(const QtDialogControls&) = delete;

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

  // The dialog object is gone: queued work is dropped from now on, posted tasks included.
  void Shutdown();

  // Replaces the modal QMessageBox (tests answer boxes this way). Set on the UI thread.
  void SetMessagePresenter(MessagePresenter presenter);
  // Sees every box first; returning true takes it off the screen (the re-plug box, when the
  // program re-plugs the chip itself). Set on the UI thread.
  void SetMessageFilter(std::function<bool(const MessageBoxRequest&)> filter);
  void SetTaskRunner(TaskRunner runner);

  // The widget of control `id`, or null for an unknown ID.
  [[nodiscard]] QWidget* Widget(int id) const;
  [[nodiscard]] bool OnUiThread() const;

 private:
  // Runs `task` on the UI thread: at once when called there, otherwise queued and waited for.
  // Returns whether it ran.
  bool RunOnUi(std::function<void()> task) const { return calls_.RunOnUi(std::move(task)); }
  Q_INVOKABLE void RunQueued() { calls_.RunQueued(); }
  void Present(const MessageBoxRequest& message);

  QWidget* owner_;
  std::map<int, QWidget*> widgets_;
  QButtonGroup* radios_;
  MessagePresenter presenter_;
  std::function<bool(const MessageBoxRequest&)> filter_;
  mutable UiCallQueue calls_;

  ProgressMemo progress_;
};

}  // namespace qz::app
