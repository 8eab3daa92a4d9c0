#include "app/signal_notifier.h"

#include <QSocketNotifier>

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace qz::app {

namespace {

// The end the handler writes to, or -1. Lock-free, so the handler may read it.
std::atomic<int> handler_fd{-1};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void ForwardSignal(int signal_number) {
  const int saved_errno = errno;  // the interrupted code may be about to look at errno
  const int fd = handler_fd.load();
  if (fd >= 0) {
    const auto byte = static_cast<unsigned char>(signal_number);
    // Non-blocking: with the pair full, the signal is dropped rather than the thread stuck.
    (void)!::write(fd, &byte, 1);
  }
  errno = saved_errno;
}

}  // namespace

SignalNotifier::SignalNotifier(std::initializer_list<int> signal_numbers, QObject* parent)
    : QObject(parent) {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, fds) != 0) return;
  read_fd_ = fds[0];
  write_fd_ = fds[1];
  handler_fd.store(write_fd_);

  notifier_ = std::make_unique<QSocketNotifier>(read_fd_, QSocketNotifier::Read);
  connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });

  for (int signal_number : signal_numbers) {
    struct sigaction action {};
    action.sa_handler = ForwardSignal;
    sigemptyset(&action.sa_mask);
    // A system call the signal interrupts in the event loop's thread goes on.
    action.sa_flags = SA_RESTART;
    Previous previous{signal_number, {}};
    if (::sigaction(signal_number, &action, &previous.action) == 0) {
      previous_.push_back(previous);
    }
  }
}

SignalNotifier::~SignalNotifier() {
  for (auto it = previous_.rbegin(); it != previous_.rend(); ++it) {
    (void)::sigaction(it->signal_number, &it->action, nullptr);
  }
  handler_fd.store(-1);
  notifier_.reset();
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
}

void SignalNotifier::Drain() {
  unsigned char bytes[16];
  for (;;) {
    const ssize_t count = ::read(read_fd_, bytes, sizeof bytes);
    if (count <= 0) {
      if (count < 0 && errno == EINTR) continue;
      return;  // empty (EAGAIN), or closed
    }
    for (ssize_t i = 0; i < count; ++i) Q_EMIT Caught(bytes[i]);
  }
}

}  // namespace qz::app
