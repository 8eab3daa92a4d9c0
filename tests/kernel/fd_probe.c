// Preloaded into the command line in the guest: notes when a hidraw descriptor is closed
// (CLOCK_MONOTONIC, ms) in $QZK_FD_LOG, and at process end waits until $QZK_HOLD_FILE exists,
// so that the guest can look at /proc/PID/fd of a process that has finished its work but is
// still alive.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

static long long now_ms(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

static void note(const char* what) {
  const char* log = getenv("QZK_FD_LOG");
  if (log == NULL) return;
  int fd = open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;
  char line[128];
  int n = snprintf(line, sizeof line, "%s %lld\n", what, now_ms());
  if (n > 0) (void)!write(fd, line, (size_t)n);
  static int (*real_close)(int);
  if (real_close == NULL) real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
  real_close(fd);
}

int close(int fd) {
  static int (*real_close)(int);
  if (real_close == NULL) real_close = (int (*)(int))dlsym(RTLD_NEXT, "close");
  char link[64], target[256];
  snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  ssize_t n = readlink(link, target, sizeof target - 1);
  int hidraw = n > 0 && (target[n] = 0, strncmp(target, "/dev/hidraw", 11) == 0);
  int result = real_close(fd);
  if (hidraw) note("hidraw-closed");
  return result;
}

__attribute__((destructor)) static void hold(void) {
  const char* file = getenv("QZK_HOLD_FILE");
  if (file == NULL) return;
  note("holding");
  for (int i = 0; i < 1000 && access(file, F_OK) != 0; ++i) usleep(20000);
}
