// The program runner on POSIX: posix_spawnp in a process group of its own, so a time-out stops
// the program and everything it started; standard output and error through pipes, standard
// input through a socket (a program that leaves it unread raises no SIGPIPE here).
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "serials/program_runner.h"

extern char** environ;

namespace qz::serials {
namespace {

// More is not read: a program that prints without end is stopped at its time-out.
constexpr std::size_t kMaxOutput = 1 << 20;

class Pipe {
 public:
  Pipe() {
    if (::pipe2(fds_.data(), O_CLOEXEC) != 0) fds_ = {-1, -1};
  }
  ~Pipe() {
    CloseRead();
    CloseWrite();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  [[nodiscard]] bool Ok() const { return fds_[0] >= 0; }
  [[nodiscard]] int Read() const { return fds_[0]; }
  [[nodiscard]] int Write() const { return fds_[1]; }
  void CloseRead() { Close(fds_[0]); }
  void CloseWrite() { Close(fds_[1]); }

 private:
  static void Close(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  std::array<int, 2> fds_{-1, -1};
};

class PosixRunner final : public ProgramRunner {
 public:
  ProgramRun Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                 const std::string& input) override {
    using Steady = std::chrono::steady_clock;
    ProgramRun run;
    if (argv.empty()) return run.problem = "no program named", run;
    Pipe out, err;
    if (!out.Ok() || !err.Ok()) return run.problem = std::strerror(errno), run;
    std::array<int, 2> in{-1, -1};  // ours, the program's
    if (!input.empty() &&
        ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, in.data()) != 0) {
      return run.problem = std::strerror(errno), run;
    }
    const auto close_in = [&in](std::size_t which) {
      if (in[which] >= 0) ::close(in[which]);
      in[which] = -1;
    };

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (in[1] >= 0) {
      // the program reads its end blocking, as programs expect
      ::fcntl(in[1], F_SETFL, ::fcntl(in[1], F_GETFL) & ~O_NONBLOCK);
      posix_spawn_file_actions_adddup2(&actions, in[1], STDIN_FILENO);
    } else {
      posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_adddup2(&actions, out.Write(), STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err.Write(), STDERR_FILENO);
    posix_spawnattr_setflags(&attributes, static_cast<short>(POSIX_SPAWN_SETPGROUP |
                                                             POSIX_SPAWN_SETSIGDEF |
                                                             POSIX_SPAWN_SETSIGMASK));
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t signals;
    sigemptyset(&signals);
    posix_spawnattr_setsigmask(&attributes, &signals);
    sigaddset(&signals, SIGPIPE);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &signals);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int spawned = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close_in(1);
    if (spawned != 0) {
      close_in(0);
      return run.problem = std::strerror(spawned), run;
    }
    out.CloseWrite();
    err.CloseWrite();

    const Steady::time_point deadline = Steady::now() + timeout;
    const auto left_ms = [&] {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
      return static_cast<int>(std::max<std::int64_t>(0, left.count()));
    };
    // write its input and read both pipes until the program closes them or its time is up
    bool timed_out = false;
    std::size_t written = 0;
    std::array<pollfd, 3> fds{{{out.Read(), POLLIN, 0}, {err.Read(), POLLIN, 0}, {in[0], POLLOUT, 0}}};
    std::array<std::string*, 2> into{&run.output, &run.errors};
    while (fds[0].fd >= 0 || fds[1].fd >= 0) {
      const int ready = ::poll(fds.data(), fds.size(), left_ms());
      if (ready < 0 && errno == EINTR) continue;
      if (ready <= 0) {
        timed_out = true;
        break;
      }
      if (fds[2].fd >= 0 && fds[2].revents != 0) {
        const ssize_t sent = ::send(in[0], input.data() + written, input.size() - written,
                                    MSG_NOSIGNAL);
        if (sent > 0) written += static_cast<std::size_t>(sent);
        // all written, or the program closed its input: it reads no more
        if (written == input.size() || (sent < 0 && errno != EAGAIN && errno != EINTR)) {
          close_in(0);
          fds[2].fd = -1;
        }
      }
      for (std::size_t i = 0; i < 2; ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        char buffer[4096];
        const ssize_t got = ::read(fds[i].fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0 || into[i]->size() > kMaxOutput) {
          fds[i].fd = -1;  // closed; the pipe's owner closes the descriptor
          continue;
        }
        into[i]->append(buffer, static_cast<std::size_t>(got));
      }
    }
    close_in(0);
    // then its end, within the same time
    int status = 0;
    for (;;) {
      const pid_t ended = timed_out ? 0 : ::waitpid(pid, &status, WNOHANG);
      if (ended == pid) break;
      if (ended < 0 && errno != EINTR) break;
      if (timed_out || left_ms() == 0) {
        ::kill(-pid, SIGKILL);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        run.ending = ProgramRun::Ending::kTimedOut;
        return run;
      }
      ::poll(nullptr, 0, std::min(left_ms(), 5));
    }
    run.ending = ProgramRun::Ending::kExited;
    run.exit_code = WIFEXITED(status) ? WEXITSTATUS(status)
                                      : (WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 255);
    return run;
  }
};

}  // namespace

std::unique_ptr<ProgramRunner> MakeProcessRunner() { return std::make_unique<PosixRunner>(); }

}  // namespace qz::serials
