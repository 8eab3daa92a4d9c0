#include "image/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>

namespace qz {

namespace {

// Attempts at finding an unused temporary name before giving up.
constexpr int kTempNameAttempts = 64;
// Bytes of the target's name that the temporary name carries.
constexpr std::size_t kTempNameBaseBytes = 64;

std::atomic<unsigned> temp_counter{0};

// Resolves a symbolic link so that the file it names is replaced, not the link. A link whose
// target does not exist yet is replaced by a plain file, as creating through it would.
std::string ResolveTarget(const char* path) {
  struct stat link_status {};
  if (lstat(path, &link_status) == 0 && S_ISLNK(link_status.st_mode)) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return resolved;
  }
  return path;
}

}  // namespace

std::size_t ReadImageBytes(const ByteReader& read, ImageBuffer& image) {
  std::size_t count = 0;
  while (count < kImageBufferSize) {
    const std::size_t want = std::min(kFilePieceSize, kImageBufferSize - count);
    const std::ptrdiff_t got = read(image.data() + count, want);
    // end of input, or a read error: the short count tells the caller
    if (got <= 0) break;
    count += std::min(static_cast<std::size_t>(got), want);
  }
  return count;
}

std::optional<std::size_t> ReadImageFile(const char* path, ImageBuffer& image) {
  if (path == nullptr || *path == '\0') return std::nullopt;
  // Without O_NONBLOCK, opening a FIFO would wait for a writer, forever; a regular file reads
  // the same either way.
  const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
    close(fd);
    return std::nullopt;
  }
  const std::size_t count = ReadImageBytes(
      [fd](std::uint8_t* buffer, std::size_t size) -> std::ptrdiff_t {
        for (;;) {
          const ssize_t got = read(fd, buffer, size);
          if (got < 0 && errno == EINTR) continue;
          return got;
        }
      },
      image);
  close(fd);
  return count;
}

AtomicFileWriter::~AtomicFileWriter() { Abort(); }

bool AtomicFileWriter::Open(const char* path) {
  Abort();
  if (path == nullptr || *path == '\0') return false;
  const std::string_view requested(path);
  if (requested.back() == '/') return false;  // names a directory

  target_path_ = ResolveTarget(path);
  struct stat status {};
  const bool exists = stat(target_path_.c_str(), &status) == 0;
  if (exists) {
    if (!S_ISREG(status.st_mode)) return false;
    if (access(target_path_.c_str(), W_OK) != 0) return false;
  }

  const std::size_t slash = target_path_.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : target_path_.substr(0, slash + 1);
  // At most 64 bytes of the target's name, so that the temporary name stays within the
  // 255-byte limit of a file name even when the target's name nearly fills it.
  const std::string base =
      (slash == std::string::npos ? target_path_ : target_path_.substr(slash + 1))
          .substr(0, kTempNameBaseBytes);
  const std::string prefix = (slash == std::string::npos ? directory + "/" : directory) + "." +
                             base + ".tmp-" + std::to_string(getpid()) + "-";

  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::string candidate = prefix + std::to_string(temp_counter.fetch_add(1));
    // 0666 less the umask, as for any newly created file
    const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = std::move(candidate);
      // a replaced file keeps its permissions
      if (exists) (void)fchmod(fd_, status.st_mode & 07777);
      return true;
    }
    if (errno != EEXIST) break;
  }
  target_path_.clear();
  return false;
}

bool AtomicFileWriter::Write(const std::uint8_t* bytes, std::size_t count) {
  if (fd_ < 0) return false;
  while (count > 0) {
    const ssize_t written = write(fd_, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      Abort();
      return false;
    }
    bytes += written;
    count -= static_cast<std::size_t>(written);
  }
  return true;
}

bool AtomicFileWriter::Commit() {
  if (fd_ < 0) return false;
  const bool synced = fsync(fd_) == 0;
  const bool closed = close(fd_) == 0;
  fd_ = -1;
  if (!synced || !closed || rename(temp_path_.c_str(), target_path_.c_str()) != 0) {
    Abort();
    return false;
  }
  temp_path_.clear();

  // make the rename itself durable; the file is complete either way
  const std::size_t slash = target_path_.rfind('/');
  const std::string directory =
      slash == std::string::npos ? std::string(".") : target_path_.substr(0, slash + 1);
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)fsync(dir_fd);
    close(dir_fd);
  }
  target_path_.clear();
  return true;
}

void AtomicFileWriter::Abort() {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    unlink(temp_path_.c_str());
    temp_path_.clear();
  }
  target_path_.clear();
}

}  // namespace qz
