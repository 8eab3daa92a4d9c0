// The dialog's image work: loading and checking an image file, the descriptor overrides, and
// Save BIN. All of it runs on the UI thread, on FileImage and UpdateImage (and the caller's
// target of ApplyDescriptorUpdates); no image memory is allocated here.
#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "base/hex_text.h"
#include "base/text.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "image/image_file.h"
#include "image/image_format.h"
#include "image/utf16.h"

namespace qz {

namespace {

// Edits are read through fixed buffers: paths and hexadecimal edits 260 characters, string
// edits 128, one of which holds the terminator. A longer path is refused, not cut.
constexpr std::size_t kPathChars = 259;
constexpr std::size_t kHexEditChars = 259;
constexpr std::size_t kStringEditChars = 127;

struct HexField {
  int box;
  int edit;
  std::string_view empty_message;
  std::string_view value_message;
};

// High speed, then full speed; within each: vendor ID, product ID, release number.
constexpr std::array<HexField, 3> kHsFields = {{
    {ctl::kHsVidBox, ctl::kHsVidEdit, msg::kInvalidHsVendorId, msg::kInvalidHsVendorIdValue},
    {ctl::kHsPidBox, ctl::kHsPidEdit, msg::kInvalidHsProductId, msg::kInvalidHsProductIdValue},
    {ctl::kHsBcdBox, ctl::kHsBcdEdit, msg::kInvalidHsBcd, msg::kInvalidHsBcdValue},
}};
constexpr std::array<HexField, 3> kFsFields = {{
    {ctl::kFsVidBox, ctl::kFsVidEdit, msg::kInvalidFsVendorId, msg::kInvalidFsVendorIdValue},
    {ctl::kFsPidBox, ctl::kFsPidEdit, msg::kInvalidFsProductId, msg::kInvalidFsProductIdValue},
    {ctl::kFsBcdBox, ctl::kFsBcdEdit, msg::kInvalidFsBcd, msg::kInvalidFsBcdValue},
}};

struct StringField {
  int box;
  int edit;
  std::string_view length_message;
};

// Manufacturer, product, high-speed audio interface, full-speed audio interface, serial number.
constexpr std::array<StringField, 5> kStringFields = {{
    {ctl::kManufacturerBox, ctl::kManufacturerEdit, msg::kManufacturerLength},
    {ctl::kProductBox, ctl::kProductEdit, msg::kProductLength},
    {ctl::kHsAudioBox, ctl::kHsAudioEdit, msg::kHsAudioLength},
    {ctl::kFsAudioBox, ctl::kFsAudioEdit, msg::kFsAudioLength},
    {ctl::kSerialBox, ctl::kSerialEdit, msg::kSerialLength},
}};

// One device-descriptor field of the request.
struct HexValue {
  bool flag = false;
  std::uint16_t value = 0;
};

// Update file: 128 pieces of 256 bytes and a last one of 16.
static_assert(kImageSize % kFilePieceSize == 16);

}  // namespace

HResult CQZ670xWriteEepromMPUtyDlg::LoadImageFile(const char* path) {
  if (path == nullptr) {
    ShowMessage(msg::kFailPathError);
    return E_FAIL;
  }
  FileImage.Clear();
  std::optional<std::size_t> count;
  std::string why;
  if (origin_bytes_) {
    std::size_t offset = 0;
    const std::vector<std::uint8_t>& bytes = *origin_bytes_;
    count = ReadImageBytes(
        [&](std::uint8_t* buffer, std::size_t size) -> std::ptrdiff_t {
          const std::size_t take = std::min(size, bytes.size() - offset);
          std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), take, buffer);
          offset += take;
          return static_cast<std::ptrdiff_t>(take);
        },
        FileImage);
  } else {
    count = ReadImageFile(path, FileImage, &why);
  }
  if (!count) {
    ShowRefusal(msg::kFailToOpenFile, why);
    return E_FAIL;
  }
  if (*count != kImageSize) {
    // (reading stops when the buffer is full: a file that fills it may be longer still)
    ShowRefusal(msg::kFileSizeError,
                "the file has " + std::string(*count >= kImageBufferSize ? "at least " : "") +
                    std::to_string(*count) + " bytes, an image has " +
                    std::to_string(kImageSize));
    return E_FAIL;
  }
  if (!ImageSumMatches(FileImage, &why)) {
    ShowRefusal(msg::kInvalidFile, why);
    return E_FAIL;
  }
  if (!ImageCrcMatches(FileImage, &why)) {
    ShowRefusal(msg::kInvalidFileCrc, why);
    return E_FAIL;
  }
  FwInfo.found = 0;
  CId.found = 0;
  if (CheckImageHeader(&FileImage, HeaderVariant, FwInfo, CId, &why) != S_OK) {
    ShowRefusal(msg::kFwError, why);
    return E_FAIL;
  }
  return S_OK;
}

std::optional<std::string> CQZ670xWriteEepromMPUtyDlg::PathEditText(int id) const {
  std::string text = controls_.Text(id);
  if (TruncateUtf16Units(text, kPathChars) != text) return std::nullopt;
  return text;
}

void CQZ670xWriteEepromMPUtyDlg::UseOriginBytes(
    std::shared_ptr<const std::vector<std::uint8_t>> bytes) {
  origin_bytes_ = std::move(bytes);
}

void CQZ670xWriteEepromMPUtyDlg::OnReadFromFile() {
  const std::optional<std::string> path = PathEditText(ctl::kOriginPath);
  if (LoadImageFile(path ? path->c_str() : nullptr) != S_OK) ShowMessage(msg::kReadFileError);
}

HResult CQZ670xWriteEepromMPUtyDlg::ApplyDescriptorUpdates(ImageBuffer& target, bool use_evb,
                                                           std::string_view string_area_failure,
                                                           bool* string_area_refused) {
  // One speed's three fields: each checked box's edit must hold a value of 16 bits.
  const auto read_fields = [this](const std::array<HexField, 3>& fields,
                                  std::array<HexValue, 3>& values) {
    for (std::size_t i = 0; i < fields.size(); ++i) {
      const HexField& field = fields[i];
      values[i] = HexValue{};
      // checked state alone counts, enabled or not
      if (!controls_.IsChecked(field.box)) continue;
      const std::string text = controls_.GetText(field.edit, kHexEditChars);
      if (text.empty()) {
        ShowMessage(field.empty_message);
        return false;
      }
      const std::uint32_t value = ParseHexText(text);
      if (value > 0xFFFFu) {
        ShowMessage(field.value_message);
        return false;
      }
      values[i] = HexValue{true, static_cast<std::uint16_t>(value)};
    }
    return true;
  };

  // device descriptors: a missing block is left alone without a message
  std::array<HexValue, 3> hs{};
  if (!read_fields(kHsFields, hs)) return E_FAIL;
  (void)PatchHsDeviceDescriptor(&target, use_evb, hs[0].flag, hs[0].value, hs[1].flag,
                                hs[1].value, hs[2].flag, hs[2].value);
  std::array<HexValue, 3> fs{};
  if (!read_fields(kFsFields, fs)) return E_FAIL;
  (void)PatchFsDeviceDescriptor(&target, use_evb, fs[0].flag, fs[0].value, fs[1].flag,
                                fs[1].value, fs[2].flag, fs[2].value);

  // strings: 1 to 32 UTF-16 code units of valid UTF-8
  std::array<std::string, kStringFields.size()> texts;
  std::array<bool, kStringFields.size()> flags{};
  for (std::size_t i = 0; i < kStringFields.size(); ++i) {
    const StringField& field = kStringFields[i];
    if (!controls_.IsChecked(field.box)) continue;
    texts[i] = controls_.GetText(field.edit, kStringEditChars);
    const std::optional<std::size_t> units = Utf16Length(texts[i]);
    if (!units || *units == 0 || *units > kMaxStringUnits) {
      ShowMessage(field.length_message);
      return E_FAIL;
    }
    flags[i] = true;
  }
  // made even with no string box checked, so a missing string area always ends here
  if (PatchStringDescriptors(&target, flags[0], texts[0].c_str(), flags[1], texts[1].c_str(),
                             flags[2], texts[2].c_str(), flags[3], texts[3].c_str(), flags[4],
                             texts[4].c_str()) != S_OK) {
    if (string_area_refused != nullptr) *string_area_refused = true;
    ShowMessage(string_area_failure);
    return E_FAIL;
  }
  return S_OK;
}

HResult CQZ670xWriteEepromMPUtyDlg::SaveUpdatedImage(const char* origin, const char* update) {
  if (origin == nullptr) {
    ShowMessage(msg::kOriginalFilePathError);
    return E_FAIL;
  }
  if (update == nullptr) {
    ShowMessage(msg::kUpdateFilePathError);
    return E_FAIL;
  }
  if (LoadImageFile(origin) != S_OK) {
    ShowMessage(msg::kUpdateFileError1);
    return E_FAIL;
  }
  UpdateImage.Clear();
  UpdateImage.bytes = FileImage.bytes;

  // a saved file never receives the evaluation-board identities
  if (ApplyDescriptorUpdates(UpdateImage, false, msg::kUpdateFileError2) != S_OK) return E_FAIL;
  if (MarkImageUpdated(&UpdateImage) != S_OK) {
    ShowMessage(msg::kUpdateFileError3);
    return E_FAIL;
  }
  WriteImageTrailer(UpdateImage);

  // The new image goes to a temporary file that replaces the update file only when complete,
  // so a failed save never leaves a truncated file nor destroys an origin saved onto itself.
  AtomicFileWriter writer;
  if (!writer.Open(update)) {
    ShowRefusal(msg::kUpdateFileError4, writer.Error());
    return E_FAIL;
  }
  for (std::size_t offset = 0; offset < kImageSize; offset += kFilePieceSize) {
    const std::size_t piece = std::min(kFilePieceSize, kImageSize - offset);
    if (!writer.Write(UpdateImage.data() + offset, piece)) {
      save_failure_ = writer.Error();
      return E_FAIL;
    }
  }
  if (!writer.Commit()) {
    save_failure_ = writer.Error();
    return E_FAIL;
  }
  ShowMessage(msg::kSaveFileOk);
  return S_OK;
}

void CQZ670xWriteEepromMPUtyDlg::OnSaveBin() {
  const std::optional<std::string> origin = PathEditText(ctl::kOriginPath);
  const std::optional<std::string> update = PathEditText(ctl::kUpdatePath);
  save_failure_.clear();
  if (SaveUpdatedImage(origin ? origin->c_str() : nullptr, update ? update->c_str() : nullptr) !=
      S_OK) {
    // only a write or commit failure has no message of its own before this one
    ShowRefusal(msg::kSaveFileError, std::exchange(save_failure_, {}));
  }
}

}  // namespace qz
