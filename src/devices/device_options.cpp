#include "devices/device_options.h"

#include <filesystem>

#include "crypto/crypto.h"

namespace qz {

void DeviceOptions::DescribeSession(const std::string& image, const std::string& app_name) {
  program = app_name + " " + QZ_VERSION;
  if (record.empty() && sim_replay.empty()) return;
  // an image that cannot be read is refused later, by the dialog's own check
  std::string ignored;
  image_sha256 = crypto::FileSha256Hex(image, &ignored);
  std::error_code error;
  const std::uintmax_t size = std::filesystem::file_size(image, error);
  image_length = error ? 0 : static_cast<std::uint64_t>(size);
}

}  // namespace qz
