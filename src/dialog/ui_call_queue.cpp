#include "dialog/ui_call_queue.h"

#include <utility>

namespace qz {

UiCallQueue::UiCallQueue(std::function<void()> wake)
    : wake_(std::move(wake)), ui_thread_(std::this_thread::get_id()) {}

bool UiCallQueue::RunOnUi(std::function<void()> task) {
  if (OnUiThread()) {
    task();
    return true;
  }
  auto call = std::make_shared<Call>();
  call->task = std::move(task);
  call->waited = true;
  std::unique_lock lock(mutex_);
  if (stop_waiting_ || shut_down_) return false;
  queue_.push_back(call);
  lock.unlock();
  wake_();  // the call itself travels through queue_ under our lock; the wake-up carries nothing
  lock.lock();
  call_done_.wait(lock, [&] { return call->done || stop_waiting_ || shut_down_; });
  return call->done;
}

void UiCallQueue::Post(std::function<void()> task) {
  auto call = std::make_shared<Call>();
  call->task = std::move(task);
  {
    std::lock_guard lock(mutex_);
    if (shut_down_) return;
    queue_.push_back(std::move(call));
  }
  wake_();
}

void UiCallQueue::RunQueued() {
  for (;;) {
    std::shared_ptr<Call> call;
    {
      std::lock_guard lock(mutex_);
      if (queue_.empty()) return;
      call = std::move(queue_.front());
      queue_.pop_front();
      // Nobody waits for these any more (the worker has been let go, or the owner is gone).
      if (shut_down_ || (call->waited && stop_waiting_)) continue;
    }
    if (runner_) {
      runner_(call->task);
    } else {
      call->task();
    }
    {
      std::lock_guard lock(mutex_);
      call->done = true;
    }
    call_done_.notify_all();
  }
}

void UiCallQueue::StopWaiting() {
  {
    std::lock_guard lock(mutex_);
    stop_waiting_ = true;
  }
  call_done_.notify_all();
}

void UiCallQueue::Shutdown() {
  {
    std::lock_guard lock(mutex_);
    shut_down_ = true;
    queue_.clear();
  }
  call_done_.notify_all();
}

bool ProgressMemo::NeedsUpdate(int id, int position, bool on_ui_thread) {
  std::lock_guard lock(mutex_);
  auto [it, inserted] = positions_.try_emplace(id, position);
  if (!inserted && it->second == position && !on_ui_thread) return false;  // the bar shows it
  it->second = position;
  return true;
}

}  // namespace qz
