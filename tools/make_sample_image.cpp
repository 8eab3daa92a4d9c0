// qz670x-make-image: writes a generated image file, valid or broken in one named way, for
// trying the tool without a vendor image and for testing it.
#include <cstdint>
#include <iostream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "image/image_file.h"
#include "image/sample_image.h"

namespace {

constexpr int kUsageError = 64;
constexpr int kWriteError = 74;

// A 16-bit hexadecimal value: 1 to 4 digits, with or without 0x.
bool ParseHex16(std::string text, std::uint16_t& value) {
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) text.erase(0, 2);
  if (text.empty() || text.size() > 4) return false;
  unsigned result = 0;
  for (char c : text) {
    unsigned digit = 0;
    if (c >= '0' && c <= '9') {
      digit = static_cast<unsigned>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<unsigned>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<unsigned>(c - 'A' + 10);
    } else {
      return false;
    }
    result = result * 16 + digit;
  }
  value = static_cast<std::uint16_t>(result);
  return true;
}

const CLI::Validator kHex16{[](std::string& text) -> std::string {
                              std::uint16_t value = 0;
                              return ParseHex16(text, value)
                                         ? std::string()
                                         : "not a 16-bit hexadecimal value: " + text;
                            },
                            "HEX"};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> variant_names;
  for (qz::SampleVariant variant : qz::kSampleVariants) {
    variant_names.emplace_back(qz::SampleVariantName(variant));
  }

  CLI::App app{"qz670x-make-image: writes a generated QZ670x image file (32784 bytes) with "
               "correct byte sum and CRC",
               "qz670x-make-image"};
  app.allow_windows_style_options(false);  // "/path/out.bin" is a file on every platform
  std::string out_path;
  std::string variant_name = "valid";
  std::string vid_text;
  std::string pid_text;
  std::string firmware_id_text;
  app.add_option("OUT", out_path, "Image file to write")->required();
  app.add_option("--variant", variant_name,
                 "Kind of image: valid; no-fwl, no-cid, no-hsd, no-fsd, no-str (that tag "
                 "missing); fwl-at-end, str-at-end (the only such block runs past the end); "
                 "two-fwl; bad-cid (CId 0x28); bad-variant (header byte 3 is 0x01)")
      ->check(CLI::IsMember(variant_names))
      ->capture_default_str();
  app.add_option("--vid", vid_text, "idVendor of both device descriptors (default 1D6C)")
      ->check(kHex16);
  app.add_option("--pid", pid_text, "idProduct of both device descriptors (default 6841)")
      ->check(kHex16);
  app.add_option("--firmware-id", firmware_id_text, "Firmware ID (default 5067)")
      ->check(kHex16);

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    std::cout << app.help();
    return 0;
  } catch (const CLI::ParseError& e) {
    std::cerr << "qz670x-make-image: " << e.what() << '\n';
    return kUsageError;
  }

  qz::SampleImageOptions options;
  options.variant = *qz::ParseSampleVariant(variant_name);
  if (!vid_text.empty()) (void)ParseHex16(vid_text, options.vendor_id);
  if (!pid_text.empty()) (void)ParseHex16(pid_text, options.product_id);
  if (!firmware_id_text.empty()) (void)ParseHex16(firmware_id_text, options.firmware_id);

  static qz::ImageBuffer image;
  qz::BuildSampleImage(options, image);
  qz::AtomicFileWriter writer;
  if (!writer.Open(out_path.c_str()) || !writer.Write(image.data(), qz::kImageSize) ||
      !writer.Commit()) {
    std::cerr << "qz670x-make-image: cannot write " << out_path << '\n';
    return kWriteError;
  }
  return 0;
}
