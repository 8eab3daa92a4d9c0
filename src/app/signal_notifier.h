#pragma once

#include <QObject>

#include <csignal>
#include <initializer_list>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace qz::app {

// Carries Unix signals into the Qt event loop. The handler only writes the signal's number into
// one end of a socket pair (write is safe in a handler; nothing else is done there); a
// QSocketNotifier on the other end emits Caught() on the thread that made this object, where
// any work may run. One instance at a time; the previous actions come back on destruction.
class SignalNotifier final : public QObject {
  Q_OBJECT

 public:
  explicit SignalNotifier(std::initializer_list<int> signal_numbers, QObject* parent = nullptr);
  ~SignalNotifier() override;
  SignalNotifier(const SignalNotifier&) = delete;
  SignalNotifier& operator=(const SignalNotifier&) = delete;

  // False when the socket pair could not be made: the signals then keep their actions.
  [[nodiscard]] bool IsActive() const { return read_fd_ >= 0; }

 Q_SIGNALS:
  // One signal caught, in the order they came.
  void Caught(int signal_number);

 private:
  void Drain();

  struct Previous {
    int signal_number;
    struct sigaction action;
  };
  std::vector<Previous> previous_;
  int read_fd_ = -1;
  int write_fd_ = -1;
  std::unique_ptr<QSocketNotifier> notifier_;
};

}  // namespace qz::app
