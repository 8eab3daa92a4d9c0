#include "image/image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#ifdef _WIN32
#include <io.h>
#include <process.h>

#include <filesystem>
#include <system_error>

#include "base/file_path.h"
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string_view>
#include <system_error>

namespace qz {

namespace {

// Attempts at finding an unused temporary name before giving up.
constexpr int kTempNameAttempts = 64;
// Bytes of the target's name that the temporary name carries.
constexpr std::size_t kTempNameBaseBytes = 64;

std::atomic<unsigned> temp_counter{0};

#ifdef _WIN32
// The C runtime's descriptors, always binary: text mode would turn bytes 0x0A into 0x0D 0x0A.
// Paths are UTF-8 text and reach the file system through the wide functions whole.
constexpr char kSeparators[] = "/\\";
using FileStatus = struct _stat64;
std::wstring Wide(const char* path) { return PathFromUtf8(path).wstring(); }
int OpenForReading(const char* path) {
  return _wopen(Wide(path).c_str(), _O_RDONLY | _O_BINARY | _O_NOINHERIT);
}
int CreateNew(const char* path) {
  return _wopen(Wide(path).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                _S_IREAD | _S_IWRITE);
}
bool StatusOf(const char* path, FileStatus& status) {
  return _wstat64(Wide(path).c_str(), &status) == 0;
}
bool StatusOf(int fd, FileStatus& status) { return _fstat64(fd, &status) == 0; }
bool IsRegular(const FileStatus& status) { return (status.st_mode & _S_IFMT) == _S_IFREG; }
bool IsWritable(const char* path) { return _waccess(Wide(path).c_str(), 2) == 0; }
std::ptrdiff_t ReadSome(int fd, std::uint8_t* buffer, std::size_t size) {
  return _read(fd, buffer, static_cast<unsigned>(std::min<std::size_t>(size, 1U << 30)));
}
std::ptrdiff_t WriteSome(int fd, const std::uint8_t* bytes, std::size_t count) {
  return _write(fd, bytes, static_cast<unsigned>(std::min<std::size_t>(count, 1U << 30)));
}
bool Sync(int fd) { return _commit(fd) == 0; }
bool CloseFile(int fd) { return _close(fd) == 0; }
void KeepPermissions(int, const FileStatus&) {}
// Replaces `target` in one step (MoveFileEx with replace-existing underneath).
bool ReplaceWith(const std::string& temp, const std::string& target) {
  std::error_code error;
  std::filesystem::rename(PathFromUtf8(temp), PathFromUtf8(target), error);
  return !error;
}
void SyncDirectory(const std::string&) {}
void RemoveFile(const std::string& path) { (void)_wunlink(Wide(path.c_str()).c_str()); }
int ProcessId() { return _getpid(); }
// Links are followed by the file system itself.
std::string ResolveTarget(const char* path) { return path; }
// The system's reason for the last failed call: Windows' own words where the C runtime kept
// Windows' error code, else the runtime's.
std::string SystemReason() {
  const unsigned long code = _doserrno;
  if (code != 0) return std::system_category().message(static_cast<int>(code));
  return std::generic_category().message(errno);
}
void ForgetSystemReason() { _doserrno = 0; }
#else
constexpr char kSeparators[] = "/";
using FileStatus = struct stat;
// Without O_NONBLOCK, opening a FIFO would wait for a writer, forever; a regular file reads
// the same either way.
int OpenForReading(const char* path) { return open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC); }
// 0666 less the umask, as for any newly created file
int CreateNew(const char* path) { return open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666); }
bool StatusOf(const char* path, FileStatus& status) { return stat(path, &status) == 0; }
bool StatusOf(int fd, FileStatus& status) { return fstat(fd, &status) == 0; }
bool IsRegular(const FileStatus& status) { return S_ISREG(status.st_mode); }
bool IsWritable(const char* path) { return access(path, W_OK) == 0; }
std::ptrdiff_t ReadSome(int fd, std::uint8_t* buffer, std::size_t size) {
  return read(fd, buffer, size);
}
std::ptrdiff_t WriteSome(int fd, const std::uint8_t* bytes, std::size_t count) {
  return write(fd, bytes, count);
}
bool Sync(int fd) { return fsync(fd) == 0; }
bool CloseFile(int fd) { return close(fd) == 0; }
// a replaced file keeps its permissions
void KeepPermissions(int fd, const FileStatus& status) { (void)fchmod(fd, status.st_mode & 07777); }
bool ReplaceWith(const std::string& temp, const std::string& target) {
  return rename(temp.c_str(), target.c_str()) == 0;
}
// makes a rename in `directory` durable
void SyncDirectory(const std::string& directory) {
  const int dir_fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir_fd >= 0) {
    (void)fsync(dir_fd);
    close(dir_fd);
  }
}
void RemoveFile(const std::string& path) { unlink(path.c_str()); }
int ProcessId() { return static_cast<int>(getpid()); }
// The system's reason for the last failed call.
std::string SystemReason() { return std::generic_category().message(errno); }
void ForgetSystemReason() {}

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
#endif

// A file's name as the reasons give it: quoted, so an empty or blank name shows.
std::string Quoted(std::string_view path) {
  std::string quoted;
  quoted.reserve(path.size() + 2);
  quoted.push_back('"');
  quoted.append(path);
  quoted.push_back('"');
  return quoted;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of(kSeparators);
  return slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
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

std::optional<std::size_t> ReadImageFile(const char* path, ImageBuffer& image,
                                         std::string* why) {
  const auto fail = [why, path](const std::string& reason) -> std::optional<std::size_t> {
    if (why != nullptr) *why = Quoted(path == nullptr ? "" : path) + ": " + reason;
    return std::nullopt;
  };
  if (path == nullptr || *path == '\0') return fail("no file name given");
  ForgetSystemReason();
  const int fd = OpenForReading(path);
  if (fd < 0) return fail(SystemReason());
  FileStatus status {};
  if (!StatusOf(fd, status)) {
    const std::string reason = SystemReason();
    (void)CloseFile(fd);
    return fail(reason);
  }
  if (!IsRegular(status)) {
    (void)CloseFile(fd);
    return fail((status.st_mode & S_IFMT) == S_IFDIR ? "is a directory, not a file"
                                                     : "is not a regular file");
  }
  const std::size_t count = ReadImageBytes(
      [fd](std::uint8_t* buffer, std::size_t size) -> std::ptrdiff_t {
        for (;;) {
          const std::ptrdiff_t got = ReadSome(fd, buffer, size);
          if (got < 0 && errno == EINTR) continue;
          return got;
        }
      },
      image);
  (void)CloseFile(fd);
  return count;
}

AtomicFileWriter::~AtomicFileWriter() { Abort(); }

bool AtomicFileWriter::Open(const char* path) {
  Abort();
  error_.clear();
  const auto fail = [this](const std::string& reason) {
    error_ = reason;
    target_path_.clear();
    return false;
  };
  if (path == nullptr || *path == '\0') return fail(Quoted("") + ": no file name given");
  const std::string_view requested(path);
  if (std::string_view(kSeparators).find(requested.back()) != std::string_view::npos) {
    return fail(Quoted(requested) + ": names a folder, not a file");
  }

  target_path_ = ResolveTarget(path);
  FileStatus status {};
  const bool exists = StatusOf(target_path_.c_str(), status);
  if (exists) {
    if (!IsRegular(status)) return fail(Quoted(target_path_) + ": is not a regular file");
    ForgetSystemReason();
    if (!IsWritable(target_path_.c_str())) return fail(Quoted(target_path_) + ": " + SystemReason());
  }

  const std::size_t slash = target_path_.find_last_of(kSeparators);
  const std::string directory = FolderOf(target_path_);
  // At most 64 bytes of the target's name, so that the temporary name stays within the
  // 255-byte limit of a file name even when the target's name nearly fills it.
  const std::string base =
      (slash == std::string::npos ? target_path_ : target_path_.substr(slash + 1))
          .substr(0, kTempNameBaseBytes);
  const std::string prefix = (slash == std::string::npos ? directory + "/" : directory) + "." +
                             base + ".tmp-" + std::to_string(ProcessId()) + "-";

  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    std::string candidate = prefix + std::to_string(temp_counter.fetch_add(1));
    ForgetSystemReason();
    const int fd = CreateNew(candidate.c_str());
    if (fd >= 0) {
      fd_ = fd;
      temp_path_ = std::move(candidate);
      if (exists) KeepPermissions(fd_, status);
      return true;
    }
    if (errno != EEXIST) break;
  }
  return fail("no file can be made in the folder " + Quoted(directory) + ": " + SystemReason());
}

bool AtomicFileWriter::Write(const std::uint8_t* bytes, std::size_t count) {
  if (fd_ < 0) return false;
  while (count > 0) {
    const std::ptrdiff_t written = WriteSome(fd_, bytes, count);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) {
      error_ = Quoted(temp_path_) + ": " + (written < 0 ? SystemReason() : "nothing written");
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
  const bool synced = Sync(fd_);
  const bool closed = CloseFile(fd_);
  fd_ = -1;
  if (!synced || !closed || !ReplaceWith(temp_path_, target_path_)) {
    error_ = Quoted(target_path_) + ": " + SystemReason();
    Abort();
    return false;
  }
  temp_path_.clear();

  // make the rename itself durable; the file is complete either way
  SyncDirectory(FolderOf(target_path_));
  target_path_.clear();
  return true;
}

void AtomicFileWriter::Abort() {
  if (fd_ >= 0) {
    (void)CloseFile(fd_);
    fd_ = -1;
  }
  if (!temp_path_.empty()) {
    RemoveFile(temp_path_);
    temp_path_.clear();
  }
  target_path_.clear();
}

}  // namespace qz
