// An image file from the input: loaded and checked as the dialog does it, patched with
// override texts from the input, then saved with Save BIN. A save that says "Save File OK!"
// must leave a file that loads again.
#include <algorithm>
#include <array>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "base/clock.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "fuzz_entries.h"
#include "fuzz_input.h"
#include "hid/hid_backend.h"
#include "image/image_format.h"
#include "image/sample_image.h"

namespace qz::fuzz {

namespace {

// Check boxes of the overrides, in the order of the input's mask bits, and their edits.
constexpr std::array<std::pair<int, int>, 11> kOverrides = {{
    {ctl::kHsVidBox, ctl::kHsVidEdit},
    {ctl::kHsPidBox, ctl::kHsPidEdit},
    {ctl::kHsBcdBox, ctl::kHsBcdEdit},
    {ctl::kFsVidBox, ctl::kFsVidEdit},
    {ctl::kFsPidBox, ctl::kFsPidEdit},
    {ctl::kFsBcdBox, ctl::kFsBcdEdit},
    {ctl::kManufacturerBox, ctl::kManufacturerEdit},
    {ctl::kProductBox, ctl::kProductEdit},
    {ctl::kHsAudioBox, ctl::kHsAudioEdit},
    {ctl::kFsAudioBox, ctl::kFsAudioEdit},
    {ctl::kSerialBox, ctl::kSerialEdit},
}};

// Input layout:
//   byte 0   bit 0: start from a generated image (else the rest of the input is the file)
//            bit 1: recompute the byte sum and CRC before writing the file
//            bit 2: the evaluation-board IDs for the write copy
//            bits 4..7: generated variant
//   bytes 1-2  which overrides are checked (bit i: kOverrides[i])
//   then 11 texts (length byte, bytes), one per override
//   rest     generated: (offset high, offset low, value) patches; else the file's bytes
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int FuzzImageFile(const std::uint8_t* data, std::size_t size) {
  FuzzInput input(data, size);
  const std::uint8_t mode = input.Byte();
  const std::uint16_t mask = input.Word();
  std::array<std::string, kOverrides.size()> texts;
  for (std::string& text : texts) text = input.Text();

  std::vector<std::uint8_t> file;
  if ((mode & 0x01) != 0) {
    ImageBuffer image;
    SampleImageOptions options;
    options.variant = kSampleVariants[(mode >> 4) % kSampleVariants.size()];
    BuildSampleImage(options, image);
    while (input.Left() >= 3) {
      const std::size_t offset = input.Word() % kImageSize;
      image[offset] = input.Byte();
    }
    if ((mode & 0x02) != 0) WriteImageTrailer(image);
    file.assign(image.bytes.begin(), image.bytes.begin() + kImageSize);
  } else {
    file.assign(input.Rest(), input.Rest() + input.Left());
    if ((mode & 0x02) != 0 && file.size() == kImageSize) {
      ImageBuffer image;
      std::copy(file.begin(), file.end(), image.bytes.begin());
      WriteImageTrailer(image);
      file.assign(image.bytes.begin(), image.bytes.begin() + kImageSize);
    }
  }

  // the header check alone, on whatever the bytes are
  ImageBuffer raw;
  std::copy_n(file.begin(), std::min(file.size(), kImageSize), raw.bytes.begin());
  FirmwareInfo raw_info;
  CIdState raw_cid;
  (void)CheckImageHeader(&raw, 0, raw_info, raw_cid);

  const std::string origin = ScratchDirectory() + "/origin.bin";
  const std::string update = ScratchDirectory() + "/update.bin";
  Require(WriteFile(origin, file), "the input file can be written");

  HeadlessControls controls;
  NullHidBackend backend;
  ManualClock clock;
  CQZ670xWriteEepromMPUtyDlg dialog(controls, backend, clock, nullptr, "fuzz");
  for (std::size_t i = 0; i < kOverrides.size(); ++i) {
    controls.SetChecked(kOverrides[i].first, (mask >> i & 1) != 0);
    controls.SetText(kOverrides[i].second, texts[i]);
  }

  // the write path's image steps
  if (dialog.LoadImageFile(origin.c_str()) == S_OK) {
    dialog.WriteImage.Clear();
    std::copy_n(dialog.FileImage.bytes.begin(), kImageSize, dialog.WriteImage.bytes.begin());
    if (dialog.ApplyDescriptorUpdates(dialog.WriteImage, (mode & 0x04) != 0,
                                      msg::kReplaceStringError) == S_OK) {
      (void)CheckImageHeader(&dialog.WriteImage, dialog.HeaderVariant, dialog.FwInfo, dialog.CId);
    }
  }

  // Save BIN, and the saved file read back
  controls.ClearMessages();
  std::remove(update.c_str());
  const HResult saved = dialog.SaveUpdatedImage(origin.c_str(), update.c_str());
  const std::vector<std::string> messages = controls.MessageTexts();
  const bool said_ok = std::find(messages.begin(), messages.end(), std::string(msg::kSaveFileOk)) !=
                       messages.end();
  Require(said_ok == (saved == S_OK), "\"Save File OK!\" exactly when the save succeeded");
  if (said_ok) {
    HeadlessControls check_controls;
    CQZ670xWriteEepromMPUtyDlg check(check_controls, backend, clock, nullptr, "fuzz");
    Require(check.LoadImageFile(update.c_str()) == S_OK, "a saved image loads again");
  }
  return 0;
}

}  // namespace qz::fuzz
