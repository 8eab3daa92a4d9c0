// `list` and `read`: the chips on the bus, and a dump of a chip's EEPROM.

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/hex_text.h"
#include "base/clock.h"
#include "cli/terminal.h"
#include "cli/cli_common.h"
#include "cli/options/device_options.h"
#include "cli/interrupt.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/chip_identities.h"
#include "hid/command_reports.h"
#include "image/image_file.h"

namespace qz::cli {

namespace {

constexpr const char* kAppName = "qz670x-mp-cli";
// EEPROM bytes one read request asks for (the reply holds them from offset 9).
constexpr std::size_t kReadChunk = 16;

using Identity = UsbIdentity;

// The operator's target, given as 1 to 4 hexadecimal digits with an optional 0x.
std::string CheckHex16(const std::string& text) {
  std::string_view digits = text;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits.remove_prefix(2);
  }
  const bool ok = !digits.empty() && digits.size() <= 4 &&
                  std::all_of(digits.begin(), digits.end(),
                              [](char c) { return std::isxdigit(static_cast<unsigned char>(c)); });
  return ok ? std::string() : "must be 1 to 4 hexadecimal digits, not \"" + text + "\"";
}

std::uint16_t Hex16(const std::string& text) {
  return static_cast<std::uint16_t>(std::stoul(text, nullptr, 16));
}

std::string HexId(std::uint16_t value) { return FormatHex(value, 4); }

bool IsRomIdentity(std::uint16_t vendor_id, std::uint16_t product_id) {
  return std::any_of(kRomIdentities.begin(), kRomIdentities.end(), [&](const UsbIdentity& rom) {
    return rom.vendor_id == vendor_id && rom.product_id == product_id;
  });
}

// The device search's identities, in its order, each once.
std::vector<Identity> SearchedIdentities(Identity target) {
  std::vector<Identity> identities{target};
  identities.insert(identities.end(), kFixedSearchIdentities.begin(), kFixedSearchIdentities.end());
  std::vector<Identity> unique;
  for (const Identity& identity : identities) {
    const bool seen = std::any_of(unique.begin(), unique.end(), [&](const Identity& u) {
      return u.vendor_id == identity.vendor_id && u.product_id == identity.product_id;
    });
    if (!seen) unique.push_back(identity);
  }
  return unique;
}

MessageBoxRequest NotFoundMessage() {
  return MessageBoxRequest{std::string(msg::kDeviceNotFound), kAppName, MessageIcon::kStop,
                           MessageAbout::kDeviceNotFound};
}

// Reports a session that could not be made or finished, or a file that could not be written.
int FileError(const Context& context, const std::string& why) {
  *context.output.err << kAppName << ": " << why << '\n';
  return static_cast<int>(Exit::kIoError);
}

bool StderrIsTerminal(const Context& context) {
  return context.output.err == &std::cerr && StandardErrorIsTerminal();
}

// --- list ------------------------------------------------------------------------------

struct ListArgs {
  DeviceOptions device;
  std::string vid = "1D6C";
  std::string pid = "6841";
};

int RunList(Context& context, const ListArgs& args) {
  std::string why;
  const std::unique_ptr<DeviceSession> session = DeviceSession::Create(args.device, &why);
  if (!session) return FileError(context, why);

  const std::vector<Identity> identities =
      SearchedIdentities({Hex16(args.vid), Hex16(args.pid)});
  int found = 0;
  for (const HidDeviceInfo& device : session->Backend().Enumerate()) {
    const bool searched = std::any_of(identities.begin(), identities.end(), [&](const Identity& i) {
      return i.vendor_id == device.vendor_id && i.product_id == device.product_id;
    });
    if (!searched) continue;
    ++found;
    const char* mode = IsRomIdentity(device.vendor_id, device.product_id) ? "rom" : "firmware";
    if (context.output.json) {
      context.output.JsonLine(nlohmann::json{{"type", "device"},
                                             {"path", device.path},
                                             {"port", device.port},
                                             {"serial", device.serial},
                                             {"vid", HexId(device.vendor_id)},
                                             {"pid", HexId(device.product_id)},
                                             {"mode", mode}}
                                  .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
    } else {
      *context.output.out << device.path << "  " << (device.port.empty() ? "-" : device.port)
                          << "  " << HexId(device.vendor_id) << ':'
                          << HexId(device.product_id) << "  " << mode << '\n';
    }
  }
  if (!session->Finish(&why)) return FileError(context, why);
  if (found == 0) {
    context.output.Message(NotFoundMessage());
    return static_cast<int>(Exit::kNoChip);
  }
  return static_cast<int>(Exit::kOk);
}

// --- read ------------------------------------------------------------------------------

struct ReadArgs {
  DeviceOptions device;
  std::string out_path;
  int length = static_cast<int>(kEepromSize);
  std::optional<std::string> vid, pid;
};

// Shows the share of `done` in `total` when it has moved on: a JSON line, or a counter on a
// terminal's stderr.
class ReadProgress {
 public:
  ReadProgress(const Context& context, std::size_t total)
      : context_(context), total_(total), terminal_(StderrIsTerminal(context)) {}

  void Update(std::size_t done) {
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == last_) return;
    last_ = percent;
    if (context_.output.json) {
      context_.output.JsonLine(nlohmann::json{{"type", "progress"}, {"percent", percent}}.dump());
    } else if (terminal_) {
      *context_.output.err << "\rReading EEPROM: " << percent << '%' << std::flush;
      line_open_ = done != total_;
      if (!line_open_) *context_.output.err << '\n';
    }
  }

  // Ends a counter the read left short, before other text goes to the terminal.
  void EndLine() {
    if (line_open_) *context_.output.err << '\n';
    line_open_ = false;
  }

 private:
  const Context& context_;
  std::size_t total_;
  bool terminal_;
  int last_ = -1;
  bool line_open_ = false;
};

// Says that a signal stopped the read: a line on stderr, or a JSON line.
void ReportInterruptedRead(const Context& context, int signal) {
  if (context.output.json) {
    context.output.JsonLine(nlohmann::json{{"type", "interrupted"}, {"signal", signal}}.dump());
  } else {
    *context.output.err << kAppName << ": interrupted by " << SignalName(signal)
                        << ": the read was stopped; no file written\n";
  }
}

int RunRead(Context& context, const ReadArgs& args) {
  // From here on SIGINT and SIGTERM stop the read between two chunks.
  const ScopedInterruptHandlers interrupts;
  std::string why;
  const std::unique_ptr<DeviceSession> session = DeviceSession::Create(args.device, &why);
  if (!session) return FileError(context, why);

  HeadlessControls controls;
  controls.SetMessageHandler(
      [&context](const MessageBoxRequest& message) { context.output.Message(message); });
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(args.length));
  std::optional<std::size_t> failed_at;
  int stopped_by = 0;  // the signal that stopped the read
  {
    CQZ670xWriteEepromMPUtyDlg dlg(controls, session->Backend(), session->GetClock(),
                                   session->Hotplug(), kAppName);
    (void)dlg.OnInitDialog();
    if (args.vid) controls.SetText(ctl::kVendorId, *args.vid);
    if (args.pid) controls.SetText(ctl::kProductId, *args.pid);

    // search: the dialog shows "USB deivce is NOT found!!" itself
    stopped_by = interrupts.Signal();
    if (stopped_by == 0 && dlg.SearchDevice() != S_OK) {
      dlg.OnExit();
      (void)session->Finish(nullptr);
      return static_cast<int>(Exit::kNoChip);
    }

    // read in chunks, each with the current sequence byte
    ReadProgress progress(context, bytes.size());
    if (stopped_by == 0) progress.Update(0);
    for (std::size_t address = 0; stopped_by == 0 && address < bytes.size();
         address += kReadChunk) {
      const auto count = static_cast<std::uint8_t>(std::min(kReadChunk, bytes.size() - address));
      const bool read = PacedEepromTransfer(dlg.Link, dlg.ReportSequence,
                                            static_cast<std::uint16_t>(address), true, count,
                                            bytes.data() + address);
      // (a signal may also be why the transfer failed: its wait was cut short)
      stopped_by = interrupts.Signal();
      if (stopped_by != 0) break;
      if (!read) {
        failed_at = address;
        break;
      }
      progress.Update(address + count);
    }
    progress.EndLine();
    dlg.ReleaseDevice();
    if (failed_at) {
      dlg.ShowMessage(msg::kFailToReadEeprom, msg::kCaptionRead, MessageIcon::kStop);
    }
    dlg.OnExit();
  }

  if (stopped_by != 0) {
    ReportInterruptedRead(context, stopped_by);
    if (!session->Finish(&why)) (void)FileError(context, why);
    return InterruptedExit(stopped_by);
  }
  if (failed_at) {
    if (context.output.json) {
      context.output.JsonLine(
          nlohmann::json{{"type", "read-error"}, {"address", *failed_at}}.dump());
    } else {
      *context.output.err << kAppName << ": no answer to the EEPROM read at address 0x"
                          << HexId(static_cast<std::uint16_t>(*failed_at)) << '\n';
    }
    (void)session->Finish(nullptr);
    return static_cast<int>(Exit::kIoError);
  }

  AtomicFileWriter writer;
  if (!writer.Open(args.out_path.c_str()) || !writer.Write(bytes.data(), bytes.size()) ||
      !writer.Commit()) {
    (void)session->Finish(nullptr);
    return FileError(context, args.out_path + ": cannot write the file");
  }
  if (!session->Finish(&why)) return FileError(context, why);
  if (context.output.json) {
    context.output.JsonLine(nlohmann::json{{"type", "read"},
                                           {"file", args.out_path},
                                           {"length", bytes.size()}}
                                .dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
  }
  return static_cast<int>(Exit::kOk);
}

}  // namespace

void AddDeviceCommands(CLI::App& app, Context& context) {
  auto list_args = std::make_shared<ListArgs>();
  CLI::App* list = app.add_subcommand(
      "list", "List the chips present under the identities the device search tries");
  AddDeviceOptions(*list, list_args->device);
  list->add_option("--vid", list_args->vid, "Target vendor ID, hexadecimal (default 1D6C)")
      ->type_name("HEX")
      ->check(CheckHex16);
  list->add_option("--pid", list_args->pid, "Target product ID, hexadecimal (default 6841)")
      ->type_name("HEX")
      ->check(CheckHex16);
  list->callback([&context, list_args] { context.exit_code = RunList(context, *list_args); });

  auto read_args = std::make_shared<ReadArgs>();
  CLI::App* read = app.add_subcommand("read", "Copy the chip's EEPROM into a file");
  read->add_option("OUT", read_args->out_path, "File to write the EEPROM bytes to")->required();
  read->add_option("--length", read_args->length, "Bytes to read from address 0 (1 to 32768)");
  AddDeviceOptions(*read, read_args->device);
  read->add_option("--vid", read_args->vid, "Target vendor ID, hexadecimal (default 1D6C)")
      ->type_name("HEX")
      ->check(CheckHex16);
  read->add_option("--pid", read_args->pid, "Target product ID, hexadecimal (default 6841)")
      ->type_name("HEX")
      ->check(CheckHex16);
  read->callback([&context, read_args] { context.exit_code = RunRead(context, *read_args); });
}

}  // namespace qz::cli
