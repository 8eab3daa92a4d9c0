// `check` and `save`: the dialog's "Read From File" and "Save BIN" run on in-memory controls.
#include <algorithm>
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/hex_text.h"
#include "base/clock.h"
#include "cli/cli_common.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hid_backend.h"
#include "image/image_format.h"

namespace qz::cli {

namespace {

struct DescriptorOption {
  const char* name;
  std::optional<std::string> DescriptorOptions::*value;
  int box;
  int edit;
  const char* help;
  bool hex;  // an ID or release number: the dialog reads its edit as hexadecimal
};

constexpr std::array<DescriptorOption, 11> kDescriptorOptions = {{
    {"--manufacturer", &DescriptorOptions::manufacturer, ctl::kManufacturerBox,
     ctl::kManufacturerEdit, "Manufacturer string (1 to 32 characters)", false},
    {"--product", &DescriptorOptions::product, ctl::kProductBox, ctl::kProductEdit,
     "Product string (1 to 32 characters)", false},
    {"--serial", &DescriptorOptions::serial, ctl::kSerialBox, ctl::kSerialEdit,
     "Serial-number string (1 to 32 characters)", false},
    {"--hs-audio", &DescriptorOptions::hs_audio, ctl::kHsAudioBox, ctl::kHsAudioEdit,
     "High-speed audio-interface string (1 to 32 characters)", false},
    {"--fs-audio", &DescriptorOptions::fs_audio, ctl::kFsAudioBox, ctl::kFsAudioEdit,
     "Full-speed audio-interface string (1 to 32 characters)", false},
    {"--hs-bcd", &DescriptorOptions::hs_bcd, ctl::kHsBcdBox, ctl::kHsBcdEdit,
     "High-speed release number (bcdDevice), hexadecimal", true},
    {"--fs-bcd", &DescriptorOptions::fs_bcd, ctl::kFsBcdBox, ctl::kFsBcdEdit,
     "Full-speed release number (bcdDevice), hexadecimal", true},
    {"--hs-vid", &DescriptorOptions::hs_vid, ctl::kHsVidBox, ctl::kHsVidEdit,
     "High-speed vendor ID, hexadecimal", true},
    {"--hs-pid", &DescriptorOptions::hs_pid, ctl::kHsPidBox, ctl::kHsPidEdit,
     "High-speed product ID, hexadecimal", true},
    {"--fs-vid", &DescriptorOptions::fs_vid, ctl::kFsVidBox, ctl::kFsVidEdit,
     "Full-speed vendor ID, hexadecimal", true},
    {"--fs-pid", &DescriptorOptions::fs_pid, ctl::kFsPidBox, ctl::kFsPidEdit,
     "Full-speed product ID, hexadecimal", true},
}};

// Exit status of an image command, from the first message shown that this table names.
struct MessageExit {
  std::string_view text;
  Exit exit;
};

constexpr std::array<MessageExit, 26> kMessageExits = {{
    // the image was rejected
    {msg::kFailPathError, Exit::kImageRejected},
    {msg::kFailToOpenFile, Exit::kImageRejected},
    {msg::kFileSizeError, Exit::kImageRejected},
    {msg::kInvalidFile, Exit::kImageRejected},
    {msg::kInvalidFileCrc, Exit::kImageRejected},
    {msg::kFwError, Exit::kImageRejected},
    {msg::kReadFileError, Exit::kImageRejected},
    {msg::kOriginalFilePathError, Exit::kImageRejected},
    {msg::kUpdateFilePathError, Exit::kImageRejected},
    {msg::kUpdateFileError1, Exit::kImageRejected},
    {msg::kUpdateFileError2, Exit::kImageRejected},
    {msg::kUpdateFileError3, Exit::kImageRejected},
    // an override was rejected
    {msg::kInvalidHsVendorId, Exit::kOverrideRejected},
    {msg::kInvalidHsVendorIdValue, Exit::kOverrideRejected},
    {msg::kInvalidHsProductId, Exit::kOverrideRejected},
    {msg::kInvalidHsProductIdValue, Exit::kOverrideRejected},
    {msg::kInvalidHsBcd, Exit::kOverrideRejected},
    {msg::kInvalidHsBcdValue, Exit::kOverrideRejected},
    {msg::kInvalidFsVendorId, Exit::kOverrideRejected},
    {msg::kInvalidFsVendorIdValue, Exit::kOverrideRejected},
    {msg::kInvalidFsProductId, Exit::kOverrideRejected},
    {msg::kInvalidFsProductIdValue, Exit::kOverrideRejected},
    {msg::kInvalidFsBcd, Exit::kOverrideRejected},
    {msg::kInvalidFsBcdValue, Exit::kOverrideRejected},
    // the update file could not be created, or a write into it failed (then "Save File
    // Error!" is the only message)
    {msg::kUpdateFileError4, Exit::kUpdateFileNotWritten},
    {msg::kSaveFileError, Exit::kUpdateFileNotWritten},
}};

constexpr std::array<std::string_view, 5> kStringLengthMessages = {
    msg::kManufacturerLength, msg::kProductLength, msg::kHsAudioLength, msg::kFsAudioLength,
    msg::kSerialLength};

Exit ExitFromMessages(const std::vector<std::string>& texts) {
  for (const std::string& text : texts) {
    for (const MessageExit& entry : kMessageExits) {
      if (text == entry.text) return entry.exit;
    }
    for (std::string_view length_message : kStringLengthMessages) {
      if (text == length_message) return Exit::kOverrideRejected;
    }
  }
  return Exit::kOk;
}

// A dialog on in-memory controls with no chip: its message boxes go to the command's output.
class HeadlessDialog {
 public:
  explicit HeadlessDialog(const Output& output)
      : dialog_(controls_, backend_, clock_, nullptr, "qz670x-mp-cli") {
    (void)dialog_.OnInitDialog();
    controls_.ClearMessages();
    controls_.SetMessageHandler(
        [&output](const MessageBoxRequest& message) { output.Message(message); });
  }
  ~HeadlessDialog() {
    controls_.SetMessageHandler(nullptr);
    dialog_.OnExit();
  }
  HeadlessDialog(const HeadlessDialog&) = delete;
  HeadlessDialog& operator=(const HeadlessDialog&) = delete;

  HeadlessControls& Controls() { return controls_; }
  CQZ670xWriteEepromMPUtyDlg& Dialog() { return dialog_; }

 private:
  HeadlessControls controls_;
  NullHidBackend backend_;
  SystemClock clock_;
  CQZ670xWriteEepromMPUtyDlg dialog_;
};

std::string Hex4(unsigned value) { return FormatHex(value & 0xFFFFu, 4); }
std::string Hex2(unsigned value) { return FormatHex(value & 0xFFu, 2); }

constexpr std::array<std::string_view, 5> kTags = {kFwLTag, kCIdTag, kHsDTag, kFsDTag, kStrTag};

constexpr std::array<std::string_view, 6> kSlotNames = {
    "manufacturer", "product", "high-speed audio interface", "slot 4",
    "full-speed audio interface", "serial number"};

// The summary of a loaded image: what the check found and what the overrides would change.
nlohmann::json Summarise(const std::string& path, const CQZ670xWriteEepromMPUtyDlg& dialog) {
  const ImageBuffer& image = dialog.FileImage;
  nlohmann::json summary = {{"type", "summary"}, {"image", path}};
  if (dialog.FwInfo.found != 0) {
    summary["firmware_id"] = Hex4(dialog.FwInfo.info_words[kFirmwareIdWord]);
    summary["updated"] = (dialog.FwInfo.info_bytes[kUpdatedMarkByte] & kUpdatedMarkBit) != 0;
  } else {
    summary["firmware_id"] = nullptr;
    summary["updated"] = nullptr;
  }
  summary["cid"] = Hex2(dialog.CId.cid);

  nlohmann::json tags = nlohmann::json::object();
  for (std::string_view tag : kTags) {
    std::uint32_t position = 0;
    if (FindImageTag(&image, tag.data(), tag.size(), &position) == S_OK) {
      tags[std::string(tag)] = position;
    } else {
      tags[std::string(tag)] = nullptr;
    }
  }
  summary["tags"] = tags;

  const auto device = [&image](std::string_view tag) -> nlohmann::json {
    std::uint32_t block = 0;
    if (FindImageBlock(&image, tag, kDeviceDescriptorPatchSpan, &block) != S_OK) return nullptr;
    const std::uint8_t* descriptor = image.data() + block;
    return {{"vendor_id", Hex4(ReadLe16(descriptor + kIdVendorOffset))},
            {"product_id", Hex4(ReadLe16(descriptor + kIdProductOffset))},
            {"bcd_device", Hex4(ReadLe16(descriptor + kBcdDeviceOffset))}};
  };
  summary["hs_device"] = device(kHsDTag);
  summary["fs_device"] = device(kFsDTag);

  std::uint32_t area = 0;
  if (FindImageBlock(&image, kStrTag, kStringAreaSize, &area) == S_OK) {
    nlohmann::json strings = nlohmann::json::array();
    for (std::size_t slot = 1; slot <= kStringSlotCount; ++slot) {
      strings.push_back({{"slot", slot},
                         {"name", kSlotNames[slot - 1]},
                         {"text", DecodeStringSlot(image.data() + area, slot)}});
    }
    summary["strings"] = strings;
  } else {
    summary["strings"] = nullptr;
  }
  return summary;
}

void PrintSummary(const nlohmann::json& summary, std::ostream& out) {
  out << "image: " << summary["image"].get<std::string>() << '\n';
  if (summary["firmware_id"].is_null()) {
    out << "firmware ID: none (no QZFwLTag)\n";
  } else {
    out << "firmware ID: " << summary["firmware_id"].get<std::string>() << '\n';
    out << "updated mark: " << (summary["updated"].get<bool>() ? "set" : "clear") << '\n';
  }
  out << "CId: 0x" << summary["cid"].get<std::string>() << '\n';
  for (std::string_view tag : kTags) {
    const nlohmann::json& position = summary["tags"][std::string(tag)];
    out << tag << ": ";
    if (position.is_null()) {
      out << "not found\n";
    } else {
      const auto offset = position.get<unsigned>();
      out << "at " << offset << " (0x" << Hex4(offset) << ")\n";
    }
  }
  const auto device = [&out](const char* label, const nlohmann::json& descriptor) {
    out << label << ": ";
    if (descriptor.is_null()) {
      out << "none\n";
      return;
    }
    out << "idVendor " << descriptor["vendor_id"].get<std::string>() << ", idProduct "
        << descriptor["product_id"].get<std::string>() << ", bcdDevice "
        << descriptor["bcd_device"].get<std::string>() << '\n';
  };
  device("high-speed device", summary["hs_device"]);
  device("full-speed device", summary["fs_device"]);
  if (summary["strings"].is_null()) {
    out << "strings: none\n";
  } else {
    for (const nlohmann::json& entry : summary["strings"]) {
      out << "string " << entry["slot"].get<unsigned>() << " ("
          << entry["name"].get<std::string>() << "): \"" << entry["text"].get<std::string>()
          << "\"\n";
    }
  }
}


}  // namespace

void TargetOptions::AddTo(CLI::App& command) {
  CLI::Option* factory_flag =
      command.add_flag("--factory", factory, "Factory mode: write all 32768 bytes");
  CLI::Option* developer_flag = command.add_flag(
      "--developer", developer, "Developer mode: write the first 16400 bytes (default)");
  factory_flag->excludes(developer_flag);
  command.add_flag("--evb", evb,
                   "Use the evaluation board's IDs: VID 0x1D6C, PID 0x0001 (high speed) and "
                   "0x0002 (full speed)");
  command.add_option("--vid", vid, "Vendor ID of the chip to look for first (hex)")
      ->type_name("HEX")
      ->capture_default_str();
  command.add_option("--pid", pid, "Product ID of the chip to look for first (hex)")
      ->type_name("HEX")
      ->capture_default_str();
}

void DescriptorOptions::AddTo(CLI::App& command) {
  for (const DescriptorOption& option : kDescriptorOptions) {
    command.add_option(option.name, this->*option.value, option.help)
        ->group("Descriptor overrides (the value is taken verbatim, even empty)");
  }
}

void DescriptorOptions::ApplyTo(DialogControls& controls) const {
  for (const DescriptorOption& option : kDescriptorOptions) {
    const std::optional<std::string>& value = this->*option.value;
    if (!value) continue;
    controls.SetChecked(option.box, true);
    controls.SetText(option.edit, *value);
  }
}

std::vector<std::pair<std::string, std::string>> DescriptorOptions::Applied() const {
  std::vector<std::pair<std::string, std::string>> applied;
  for (const DescriptorOption& option : kDescriptorOptions) {
    const std::optional<std::string>& value = this->*option.value;
    if (value) applied.emplace_back(std::string(option.name).substr(2), *value);
  }
  return applied;
}

namespace {

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Whether `text` is 1 to `most` hexadecimal digits and nothing else.
bool PlainHex(std::string_view text, std::size_t most) {
  return !text.empty() && text.size() <= most && std::all_of(text.begin(), text.end(), IsHexDigit);
}

}  // namespace

void DescriptorOptions::NoteShortReads(const Output& output) const {
  for (const DescriptorOption& option : kDescriptorOptions) {
    const std::optional<std::string>& value = this->*option.value;
    if (!option.hex || !value || value->empty()) continue;
    std::string_view digits = *value;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
      digits.remove_prefix(2);
    }
    const std::uint32_t read = ParseHexText(*value);
    // (the whole text read, or a value the dialog refuses anyway)
    if (PlainHex(digits, digits.size()) || read > 0xFFFFu) continue;
    const std::string reads_as = FormatHex(read, 4);
    if (output.json) {
      output.JsonLine(JsonText({{"type", "note"},
                                {"option", option.name},
                                {"text", *value},
                                {"reads_as", reads_as}}));
    } else {
      *output.err << "qz670x-mp-cli: " << option.name << " \"" << *value << "\" reads as "
                  << reads_as << '\n';
    }
  }
}

std::string DescriptorOptions::NotPlainHex() const {
  for (const DescriptorOption& option : kDescriptorOptions) {
    const std::optional<std::string>& value = this->*option.value;
    if (option.hex && value && !PlainHex(*value, 4)) {
      return std::string(option.name) + " \"" + *value + "\": give 1 to 4 hexadecimal digits";
    }
  }
  return "";
}

std::vector<std::string> SplitEmptyOptionValues(int argc, const char* const* argv) {
  std::vector<std::string> args;
  args.reserve(static_cast<std::size_t>(argc) + 1);
  bool positional_only = false;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--") positional_only = true;
    bool split = false;
    if (!positional_only && i > 0 && arg.size() > 3 && arg.back() == '=') {
      for (const DescriptorOption& option : kDescriptorOptions) {
        if (arg.substr(0, arg.size() - 1) == option.name) split = true;
      }
    }
    if (split) {
      // "--name=" means an empty value, which the parser would otherwise look for further on
      args.emplace_back(arg.substr(0, arg.size() - 1));
      args.emplace_back();
    } else {
      args.emplace_back(arg);
    }
  }
  return args;
}

void AddImageCommands(CLI::App& app, Context& context) {
  // check IMAGE
  {
    auto image = std::make_shared<std::string>();
    CLI::App* check = app.add_subcommand(
        "check", "Load and check an image file, as \"Read From File\" does, and summarise it");
    check->add_option("IMAGE", *image, "Image file (.bin, 32784 bytes)")
        ->required()
        ->check(PathLengthValidator());
    check->callback([image, &context] {
      HeadlessDialog headless(context.output);
      headless.Controls().SetText(ctl::kOriginPath, *image);
      headless.Dialog().OnReadFromFile();
      const std::vector<std::string> texts = headless.Controls().MessageTexts();
      if (!texts.empty()) {
        const Exit exit = ExitFromMessages(texts);
        context.exit_code = static_cast<int>(exit == Exit::kOk ? Exit::kImageRejected : exit);
        return;
      }
      const nlohmann::json summary = Summarise(*image, headless.Dialog());
      if (context.output.json) {
        context.output.JsonLine(
            summary.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
      } else {
        PrintSummary(summary, *context.output.out);
      }
      context.exit_code = static_cast<int>(Exit::kOk);
    });
  }

  // save ORIGIN UPDATE [overrides]
  {
    struct SaveArguments {
      std::string origin;
      std::string update;
      DescriptorOptions overrides;
    };
    auto arguments = std::make_shared<SaveArguments>();
    CLI::App* save = app.add_subcommand(
        "save",
        "Apply descriptor overrides to an image and save it as a new valid image, as "
        "\"Save BIN\" does (an update path equal to the origin replaces it)");
    save->add_option("ORIGIN", arguments->origin, "Origin image file")
        ->required()
        ->check(PathLengthValidator());
    save->add_option("UPDATE", arguments->update, "Update image file to write")
        ->required()
        ->check(PathLengthValidator());
    arguments->overrides.AddTo(*save);
    save->callback([arguments, &context] {
      HeadlessDialog headless(context.output);
      HeadlessControls& controls = headless.Controls();
      controls.SetText(ctl::kOriginPath, arguments->origin);
      controls.SetText(ctl::kUpdatePath, arguments->update);
      arguments->overrides.NoteShortReads(context.output);
      arguments->overrides.ApplyTo(controls);
      headless.Dialog().OnSaveBin();
      context.exit_code = static_cast<int>(ExitFromMessages(controls.MessageTexts()));
    });
  }
}

}  // namespace qz::cli
