#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace qz {

// Carries work from other threads (the programming worker) to the UI thread of a dialog's
// controls, whatever toolkit draws them.
//
// RunOnUi runs a task at once on the UI thread; from any other thread it queues the task, wakes
// the UI thread through `wake` and waits until the task has run there, so a worker goes on only
// after its progress step is shown or its message box is dismissed. After StopWaiting() such
// calls return at once without running, so the UI thread can wait for the worker without either
// thread waiting for the other. The UI thread runs what is queued with RunQueued().
class UiCallQueue {
 public:
  // Runs one queued task on the UI thread (a window wraps it, e.g. to defer closing).
  using TaskRunner = std::function<void(const std::function<void()>&)>;

  // Construct on the UI thread. `wake` may be called from any thread and must make the UI
  // thread call RunQueued() soon (a queued call or a posted message).
  explicit UiCallQueue(std::function<void()> wake);
  UiCallQueue(const UiCallQueue&) = delete;
  UiCallQueue& operator=(const UiCallQueue&) = delete;

  [[nodiscard]] bool OnUiThread() const { return std::this_thread::get_id() == ui_thread_; }

  // Runs `task` on the UI thread and returns whether it ran.
  bool RunOnUi(std::function<void()> task);
  // Runs `task` later on the UI thread, from any thread; nobody waits for it.
  void Post(std::function<void()> task);
  // Runs everything queued (UI thread), each task through the runner when one is set.
  void RunQueued();
  void SetTaskRunner(TaskRunner runner) { runner_ = std::move(runner); }

  // From now on no caller waits for the UI thread (see above).
  void StopWaiting();
  // The owner is going away: queued work is dropped, posted tasks included, and nothing new is
  // taken.
  void Shutdown();

 private:
  struct Call {
    std::function<void()> task;
    bool waited = false;  // a caller blocks on it (dropped once waiting has stopped)
    bool done = false;
  };

  std::function<void()> wake_;
  std::thread::id ui_thread_;
  TaskRunner runner_;

  std::mutex mutex_;
  std::condition_variable call_done_;
  std::deque<std::shared_ptr<Call>> queue_;
  bool stop_waiting_ = false;
  bool shut_down_ = false;
};

// The last position given to each progress bar: a worker's step that would not move the bar
// needs no trip to the UI thread. Thread-safe.
class ProgressMemo {
 public:
  // Records `position` for bar `id`; false when a call from another thread than the UI thread
  // can be skipped because the bar shows that position already.
  [[nodiscard]] bool NeedsUpdate(int id, int position, bool on_ui_thread);

 private:
  std::mutex mutex_;
  std::map<int, int> positions_;
};

}  // namespace qz
