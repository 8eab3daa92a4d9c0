#include "dialog/headless_controls.h"

#include <stdexcept>

#include "dialog/control_table.h"

namespace qz {

HeadlessControls::HeadlessControls() {
  for (const ControlSpec& spec : kControlTable) {
    if (spec.id == ctl::kNone) continue;
    State state;
    state.visible = spec.visible;
    state.text = std::string(spec.caption);
    states_[spec.id] = state;
  }
}

HeadlessControls::State& HeadlessControls::At(int id) {
  auto it = states_.find(id);
  if (it == states_.end()) throw std::out_of_range("no control " + std::to_string(id));
  return it->second;
}

const HeadlessControls::State& HeadlessControls::At(int id) const {
  auto it = states_.find(id);
  if (it == states_.end()) throw std::out_of_range("no control " + std::to_string(id));
  return it->second;
}

void HeadlessControls::Changed() {
  ++generation_;
  changed_.notify_all();
}

bool HeadlessControls::IsChecked(int id) const {
  std::lock_guard lock(mutex_);
  return At(id).checked;
}

void HeadlessControls::SetChecked(int id, bool checked) {
  std::lock_guard lock(mutex_);
  At(id).checked = checked;
  Changed();
}

bool HeadlessControls::IsEnabled(int id) const {
  std::lock_guard lock(mutex_);
  return At(id).enabled;
}

void HeadlessControls::SetEnabled(int id, bool enabled) {
  std::lock_guard lock(mutex_);
  At(id).enabled = enabled;
  Changed();
}

bool HeadlessControls::IsVisible(int id) const {
  std::lock_guard lock(mutex_);
  return At(id).visible;
}

void HeadlessControls::SetVisible(int id, bool visible) {
  std::lock_guard lock(mutex_);
  At(id).visible = visible;
  Changed();
}

std::string HeadlessControls::Text(int id) const {
  std::lock_guard lock(mutex_);
  return At(id).text;
}

void HeadlessControls::SetText(int id, std::string_view text) {
  std::lock_guard lock(mutex_);
  At(id).text = std::string(text);
  Changed();
}

void HeadlessControls::SetProgressRange(int id, int low, int high) {
  std::lock_guard lock(mutex_);
  State& state = At(id);
  state.low = low;
  state.high = high;
  Changed();
}

void HeadlessControls::SetProgress(int id, int position) {
  std::function<void(int)> handler;
  {
    std::lock_guard lock(mutex_);
    At(id).position = position;
    progress_history_.push_back(position);
    handler = progress_handler_;
    Changed();
  }
  if (handler) handler(position);
}

int HeadlessControls::Progress(int id) const {
  std::lock_guard lock(mutex_);
  return At(id).position;
}

void HeadlessControls::ShowMessage(const MessageBoxRequest& message) {
  MessageHandler handler;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    handler = message_handler_;
    Changed();
  }
  if (handler) handler(message);
}

void HeadlessControls::PostToUi(std::function<void()> task) {
  std::lock_guard lock(mutex_);
  posted_.push_back(std::move(task));
  Changed();
}

void HeadlessControls::StopWaitingForUi() {
  std::lock_guard lock(mutex_);
  Changed();
}

void HeadlessControls::CheckRadio(int id) {
  std::lock_guard lock(mutex_);
  for (int radio : groups::kModeRadios) At(radio).checked = (radio == id);
  Changed();
}

void HeadlessControls::SetMessageHandler(MessageHandler handler) {
  std::lock_guard lock(mutex_);
  message_handler_ = std::move(handler);
}

void HeadlessControls::SetProgressHandler(std::function<void(int)> handler) {
  std::lock_guard lock(mutex_);
  progress_handler_ = std::move(handler);
}

std::vector<MessageBoxRequest> HeadlessControls::Messages() const {
  std::lock_guard lock(mutex_);
  return messages_;
}

std::vector<std::string> HeadlessControls::MessageTexts() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> texts;
  texts.reserve(messages_.size());
  for (const auto& message : messages_) texts.push_back(message.text);
  return texts;
}

void HeadlessControls::ClearMessages() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}

std::vector<int> HeadlessControls::ProgressHistory() const {
  std::lock_guard lock(mutex_);
  return progress_history_;
}

std::size_t HeadlessControls::RunPostedTasks() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> task;
    {
      std::lock_guard lock(mutex_);
      if (posted_.empty()) return ran;
      task = std::move(posted_.front());
      posted_.pop_front();
    }
    task();
    ++ran;
  }
}

bool HeadlessControls::WaitUntil(const std::function<bool()>& predicate,
                                 std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::uint64_t seen;
    {
      std::lock_guard lock(mutex_);
      seen = generation_;
    }
    if (predicate()) return true;
    std::unique_lock lock(mutex_);
    if (!changed_.wait_until(lock, deadline, [&] { return generation_ != seen; })) {
      lock.unlock();
      return predicate();
    }
  }
}

}  // namespace qz
