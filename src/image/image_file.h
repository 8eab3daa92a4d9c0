#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "image/image_buffer.h"

namespace qz {

// Image files are read and written in pieces of this many bytes.
inline constexpr std::size_t kFilePieceSize = 256;

// One read from a byte source: fills at most `size` bytes of `buffer` and returns the count,
// 0 at end of input, or a negative value on a read error.
using ByteReader = std::function<std::ptrdiff_t(std::uint8_t* buffer, std::size_t size)>;

// Reads from `read` into `image` from its start, each read asking for the smaller of 256 and
// the room left, until end of input, a read error, or kImageBufferSize bytes. Returns the
// count of bytes read. The caller clears the buffer first.
std::size_t ReadImageBytes(const ByteReader& read, ImageBuffer& image);

// Opens `path` and reads it with ReadImageBytes. nullopt when the file cannot be opened for
// reading (missing, not permitted, or not a regular file), with `why` (may be null) naming the
// file and the system's reason; otherwise the count of bytes read.
std::optional<std::size_t> ReadImageFile(const char* path, ImageBuffer& image,
                                         std::string* why = nullptr);

// Replaces a file only once its new content is complete: the bytes go to a temporary file in
// the target's directory, which is flushed to disk and renamed over the target by Commit. Until
// then the target keeps its old content (or stays absent); a writer destroyed or aborted before
// Commit removes its temporary file.
class AtomicFileWriter {
 public:
  AtomicFileWriter() = default;
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Prepares to write `path`. False, with no file created, when the target could not be
  // created or replaced: a null or empty path, a missing directory, a path naming a directory
  // or another non-regular file, an existing file without write permission, or a directory
  // where no temporary file can be made. A symbolic link is followed to the file it names.
  [[nodiscard]] bool Open(const char* path);
  // Appends `count` bytes. False on a write error; the writer is then aborted.
  [[nodiscard]] bool Write(const std::uint8_t* bytes, std::size_t count);
  // Flushes the bytes to disk and renames the temporary file over the target. False on any
  // failure; the target is then untouched and the temporary file removed.
  [[nodiscard]] bool Commit();
  // Drops the temporary file. The target is untouched.
  void Abort();

  // Why the last Open, Write or Commit failed: the file or folder and the system's reason.
  [[nodiscard]] const std::string& Error() const { return error_; }

  // Path of the temporary file while open (for tests), else empty.
  [[nodiscard]] const std::string& TemporaryPath() const { return temp_path_; }

 private:
  int fd_ = -1;
  std::string temp_path_;
  std::string target_path_;
  std::string error_;
};

}  // namespace qz
