// qz670x-chip-gadget: the virtual chip served as a real USB HID device through the kernel's USB
// gadget framework (configfs, the `hid` function, /dev/hidgN). A host on the other end of the
// cable (a single-board computer's OTG port, or dummy_hcd on the same machine) sees a QZ670x
// chip: the same model, modes, re-plug and faults as `qz670x-mp-cli --simulate`.
#include <fcntl.h>
#include <poll.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "base/clock.h"
#include "sim/virtual_chip.h"

namespace {

namespace fs = std::filesystem;

constexpr int kUsageError = 64;
constexpr int kSetupError = 74;
constexpr const char* kConfigfs = "/sys/kernel/config";
// An unsaved EEPROM change is written to the file once the host has been quiet this long.
constexpr std::chrono::milliseconds kSaveWhenIdle{200};
// How long to wait for /dev/hidgN after a bind.
constexpr std::chrono::milliseconds kNodeWait{3000};

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

long long MonotonicMs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// One line on stdout, flushed, stamped with CLOCK_MONOTONIC in ms (scripts match on it).
void Say(const std::string& text) {
  std::cout << "qz670x-chip-gadget: [" << MonotonicMs() << "] " << text << std::endl;
}

std::string Hex4(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%04x", value & 0xFFFFu);
  return text;
}

bool WriteText(const fs::path& path, const std::string& text) {
  std::ofstream file(path);
  file << text;
  file.close();
  if (!file) {
    std::cerr << "qz670x-chip-gadget: cannot write " << path.string() << ": "
              << std::strerror(errno) << '\n';
    return false;
  }
  return true;
}

// A vendor-defined collection with one input and one output report of `length` bytes each,
// no report IDs.
std::vector<std::uint8_t> ReportDescriptor(std::uint8_t length) {
  return {0x06, 0x00, 0xFF,  // usage page (vendor 0xFF00)
          0x09, 0x01,        // usage 1
          0xA1, 0x01,        // collection (application)
          0x15, 0x00,        //   logical minimum 0
          0x26, 0xFF, 0x00,  //   logical maximum 255
          0x75, 0x08,        //   report size 8 bits
          0x95, length,      //   report count
          0x09, 0x01,        //   usage 1
          0x81, 0x02,        //   input (data, variable, absolute)
          0x95, length,      //   report count
          0x09, 0x01,        //   usage 1
          0x91, 0x02,        //   output (data, variable, absolute)
          0xC0};             // end collection
}

struct Options {
  std::string udc;
  std::string name = "qz670x";
  std::string eeprom;
  std::string mode;
  std::vector<std::string> faults;
  int report_length = 63;
  int replug_delay_ms = 500;
  std::uint64_t pull_at = 0;
  bool wait_for_power = false;
  int operator_after_ms = 0;
};

// The gadget's configfs tree and its binding to a USB device controller.
class Gadget {
 public:
  Gadget(fs::path root, std::string udc) : root_(std::move(root)), udc_(std::move(udc)) {}

  bool Create(std::uint8_t report_length) {
    std::error_code ec;
    if (fs::exists(root_, ec)) {
      std::cerr << "qz670x-chip-gadget: " << root_.string()
                << " exists already (another gadget of this name?)\n";
      return false;
    }
    const fs::path function = root_ / "functions" / "hid.chip";
    const fs::path config = root_ / "configs" / "c.1";
    if (!fs::create_directory(root_, ec)) return Fail("mkdir " + root_.string(), ec);
    created_ = true;
    const std::vector<std::uint8_t> descriptor = ReportDescriptor(report_length);
    const bool ok =
        WriteText(root_ / "idVendor", Hex4(qz::kQzVendorId)) &&
        WriteText(root_ / "bcdDevice", "0x0100") && WriteText(root_ / "bcdUSB", "0x0200") &&
        fs::create_directory(root_ / "strings" / "0x409", ec) &&
        WriteText(root_ / "strings" / "0x409" / "manufacturer", "qz670x-mp") &&
        WriteText(root_ / "strings" / "0x409" / "product", "QZ670x chip gadget") &&
        WriteText(root_ / "strings" / "0x409" / "serialnumber", "0001") &&
        fs::create_directory(config, ec) &&
        fs::create_directory(config / "strings" / "0x409", ec) &&
        WriteText(config / "strings" / "0x409" / "configuration", "chip") &&
        WriteText(config / "MaxPower", "100") && fs::create_directory(function, ec) &&
        WriteText(function / "protocol", "0") && WriteText(function / "subclass", "0") &&
        WriteText(function / "report_length", std::to_string(report_length)) &&
        WriteText(function / "report_desc",
                  std::string(descriptor.begin(), descriptor.end()));
    if (!ok) return Fail("setting up " + root_.string(), ec);
    fs::create_directory_symlink(function, config / "hid.chip", ec);
    if (ec) return Fail("linking the hid function", ec);
    return true;
  }

  bool SetProduct(std::uint16_t product_id) { return WriteText(root_ / "idProduct", Hex4(product_id)); }

  bool Bind() {
    if (bound_) return true;
    bound_ = WriteText(root_ / "UDC", udc_);
    return bound_;
  }

  void Unbind() {
    if (!bound_) return;
    (void)WriteText(root_ / "UDC", "\n");
    bound_ = false;
  }

  [[nodiscard]] bool Bound() const { return bound_; }

  // /dev/hidgN of the function, from its device number.
  [[nodiscard]] std::string NodePath() const {
    std::ifstream file(root_ / "functions" / "hid.chip" / "dev");
    std::string dev;
    file >> dev;
    const auto colon = dev.find(':');
    if (colon == std::string::npos) return {};
    return "/dev/hidg" + dev.substr(colon + 1);
  }

  // Unbinds and removes the tree, innermost first.
  void Remove() {
    Unbind();
    if (!created_) return;
    std::error_code ec;
    const fs::path config = root_ / "configs" / "c.1";
    fs::remove(config / "hid.chip", ec);
    fs::remove(config / "strings" / "0x409", ec);
    fs::remove(config, ec);
    fs::remove(root_ / "functions" / "hid.chip", ec);
    fs::remove(root_ / "strings" / "0x409", ec);
    fs::remove(root_, ec);
    created_ = false;
  }

 private:
  bool Fail(const std::string& what, const std::error_code& ec) {
    std::cerr << "qz670x-chip-gadget: " << what << ": "
              << (ec ? ec.message() : std::string("failed")) << '\n';
    return false;
  }

  fs::path root_;
  std::string udc_;
  bool created_ = false;
  bool bound_ = false;
};

std::string FirstUdc() {
  std::error_code ec;
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator("/sys/class/udc", ec)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names.empty() ? std::string() : names.front();
}

bool EnsureConfigfs() {
  std::error_code ec;
  if (fs::exists(fs::path(kConfigfs) / "usb_gadget", ec)) return true;
  (void)mount("none", kConfigfs, "configfs", 0, nullptr);
  return fs::exists(fs::path(kConfigfs) / "usb_gadget", ec);
}

// Serves the chip until a stop signal: host output reports go to the chip, its replies go back
// as input reports, and the gadget follows the chip on and off the bus.
class ChipServer {
 public:
  ChipServer(const Options& options, qz::sim::VirtualChip& chip, Gadget& gadget)
      : options_(options), chip_(chip), gadget_(gadget) {}

  int Run() {
    while (g_stop == 0) {
      if (!FollowBus()) return kSetupError;
      if (fd_ < 0) {
        SaveIfIdle();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        continue;
      }
      pollfd entry{fd_, static_cast<short>(POLLIN | (pending_.empty() ? 0 : POLLOUT)), 0};
      const int ready = poll(&entry, 1, 50);
      if (ready < 0 && errno != EINTR) return Fail("poll");
      if (ready <= 0) {
        SaveIfIdle();
        WatchForReplug();
        continue;
      }
      if ((entry.revents & POLLIN) != 0) Receive();
      if ((entry.revents & POLLOUT) != 0 && fd_ >= 0) Flush();
    }
    Detach();
    return Save() ? 0 : kSetupError;
  }

 private:
  // Binds, unbinds or re-binds so that the bus shows what the chip is: present or not, and in
  // the identity of its current plug generation.
  bool FollowBus() {
    const bool want = chip_.Present() && !pulled_;
    if (gadget_.Bound() && (!want || chip_.Generation() != generation_)) {
      Detach();
      Say("unplugged");
      if (want) std::this_thread::sleep_for(std::chrono::milliseconds(options_.replug_delay_ms));
    }
    if (!want || gadget_.Bound()) return true;
    generation_ = chip_.Generation();
    const std::uint16_t product = chip_.ProductId();
    if (!gadget_.SetProduct(product) || !gadget_.Bind()) return false;
    const std::string node = gadget_.NodePath();
    const auto deadline = std::chrono::steady_clock::now() + kNodeWait;
    while ((fd_ = open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)) < 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (fd_ < 0) return Fail("open " + node);
    const std::optional<qz::sim::VirtualChip::HandleId> handle = chip_.OpenHandle();
    handle_ = handle.value_or(0);
    Say("plugged in as " + Hex4(chip_.VendorId()).substr(2) + ":" + Hex4(product).substr(2) +
        " (" + qz::sim::ModeName(chip_.Mode()) + " mode) on " + node);
    return true;
  }

  // After the erase (with --wait-for-power) the chip keeps running until its port's power goes:
  // a disabled port disconnects the function, and a write to /dev/hidgN then fails with
  // ESHUTDOWN (the UDC's state file does not change). An empty report is the probe: the host
  // drops empty reports. The chip then leaves and comes back from its ROM, bound again while
  // the port is still off, so the host finds it in ROM mode once the power returns.
  void WatchForReplug() {
    if (!options_.wait_for_power || fd_ < 0 || !chip_.AwaitingReplug()) {
      erased_at_.reset();
      return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!erased_at_) erased_at_ = now;
    const ssize_t written = write(fd_, pending_probe_, 0);
    if (written < 0 && errno == ESHUTDOWN) {
      Say("port power off: the host is gone");
      chip_.SetPresent(false);
      (void)FollowBus();
      chip_.SetPresent(true);
      return;
    }
    // nobody switched the port: the operator re-plugs the chip
    if (options_.operator_after_ms > 0 &&
        now - *erased_at_ >= std::chrono::milliseconds(options_.operator_after_ms)) {
      Say("re-plugged by the operator");
      chip_.Replug();
    }
  }

  void Detach() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    pending_.clear();
    if (handle_ != 0) chip_.CloseHandle(handle_);
    handle_ = 0;
    gadget_.Unbind();
    (void)Save();
  }

  // One output report from the host: the chip takes it with the report-ID byte in front.
  void Receive() {
    std::vector<std::uint8_t> request(1 + static_cast<std::size_t>(options_.report_length) + 1, 0);
    const ssize_t count = read(fd_, request.data() + 1, request.size() - 1);
    if (count <= 0) return;
    request.resize(1 + static_cast<std::size_t>(count));
    (void)chip_.Write(handle_, request);
    const std::uint64_t transfers = chip_.EepromTransfers();
    dirty_ = true;
    last_activity_ = std::chrono::steady_clock::now();
    // replies are made as the request is taken
    std::vector<std::uint8_t> reply(1 + static_cast<std::size_t>(options_.report_length), 0);
    for (;;) {
      std::fill(reply.begin(), reply.end(), std::uint8_t{0});
      if (chip_.Read(handle_, reply, std::chrono::milliseconds(0)) <= 0) break;
      pending_.emplace_back(reply.begin() + 1, reply.end());
      if (pending_.size() > qz::sim::kInputQueueLimit) pending_.pop_front();
    }
    Flush();
    if (options_.pull_at != 0 && !pulled_ && transfers >= options_.pull_at) {
      pulled_ = true;
      Say("cable pulled at EEPROM transfer " + std::to_string(transfers));
    }
  }

  // Hands queued replies to the function as long as it takes them.
  void Flush() {
    while (!pending_.empty()) {
      const std::vector<std::uint8_t>& reply = pending_.front();
      const ssize_t written = write(fd_, reply.data(), reply.size());
      if (written < 0) return;  // EAGAIN: the host has not fetched the last one yet
      pending_.pop_front();
    }
  }

  void SaveIfIdle() {
    if (dirty_ && std::chrono::steady_clock::now() - last_activity_ >= kSaveWhenIdle) {
      (void)Save();
    }
  }

  bool Save() {
    if (options_.eeprom.empty() || !dirty_) return true;
    std::string error;
    if (!chip_.SaveEeprom(options_.eeprom, &error)) {
      std::cerr << "qz670x-chip-gadget: " << error << '\n';
      return false;
    }
    dirty_ = false;
    return true;
  }

  int Fail(const std::string& what) {
    std::cerr << "qz670x-chip-gadget: " << what << ": " << std::strerror(errno) << '\n';
    return kSetupError;
  }

  const Options& options_;
  qz::sim::VirtualChip& chip_;
  Gadget& gadget_;
  int fd_ = -1;
  qz::sim::VirtualChip::HandleId handle_ = 0;
  std::uint64_t generation_ = 0;
  std::deque<std::vector<std::uint8_t>> pending_;
  bool pulled_ = false;
  bool dirty_ = false;
  std::optional<std::chrono::steady_clock::time_point> erased_at_;
  const std::uint8_t pending_probe_[1] = {0};
  std::chrono::steady_clock::time_point last_activity_;
};

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{
      "Serves the QZ670x virtual chip as a USB HID device through configfs and /dev/hidgN. "
      "Needs root, configfs and a USB device controller (an OTG port, or dummy_hcd); runs until "
      "SIGINT or SIGTERM, then removes the gadget and saves the EEPROM file.",
      "qz670x-chip-gadget"};
  app.add_option("--udc", options.udc,
                 "USB device controller to bind to (default: the first in /sys/class/udc)");
  app.add_option("--name", options.name, "Gadget directory under configfs usb_gadget")
      ->capture_default_str();
  app.add_option("--eeprom", options.eeprom,
                 "The chip's EEPROM file (32768 bytes): loaded at start when it exists, saved "
                 "when the host goes quiet, at every unplug and at the end");
  app.add_option("--mode", options.mode, "Mode at plug-in (default: from the EEPROM header)")
      ->check(CLI::IsMember({"firmware", "rom"}));
  app.add_option("--fault", options.faults,
                 "A fault of the virtual chip, as qz670x-mp-cli --sim-fault takes it "
                 "(repeatable)");
  app.add_option("--report-length", options.report_length,
                 "Data bytes per input and output report, report ID not counted")
      ->check(CLI::IsMember({63, 64}))
      ->capture_default_str();
  app.add_option("--replug-delay", options.replug_delay_ms,
                 "Milliseconds off the bus when the chip re-plugs itself after the erase")
      ->check(CLI::Range(0, 60000))
      ->capture_default_str();
  app.add_flag("--wait-for-power", options.wait_for_power,
               "After the erase the chip keeps running its firmware until its port's power is "
               "switched off (the host's --replug power), then comes back in ROM mode when the "
               "power returns; without it the chip re-plugs itself (--replug-delay)");
  app.add_option("--operator-after", options.operator_after_ms,
                 "With --wait-for-power: milliseconds after the erase when the operator re-plugs "
                 "a chip whose port power was not switched (0: never)")
      ->check(CLI::Range(0, 600000))
      ->capture_default_str();
  app.add_option("--pull-at", options.pull_at,
                 "Pull the cable at the K-th EEPROM transfer (from 1); the chip stays away");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kUsageError;
  }

  qz::SystemClock clock;
  qz::sim::ChipOptions chip_options;
  const auto length = static_cast<std::uint16_t>(options.report_length + 1);
  chip_options.input_report_length = length;
  chip_options.output_report_length = length;
  if (options.mode == "firmware") chip_options.forced_mode = qz::sim::ChipMode::kFirmware;
  if (options.mode == "rom") chip_options.forced_mode = qz::sim::ChipMode::kRom;
  chip_options.replug_after_erase = !options.wait_for_power;
  qz::sim::VirtualChip chip(clock, chip_options);
  std::string error;
  if (!options.eeprom.empty() && !chip.LoadEeprom(options.eeprom, &error)) {
    std::cerr << "qz670x-chip-gadget: " << error << '\n';
    return kSetupError;
  }
  for (const std::string& fault : options.faults) {
    if (!chip.AddFault(fault, &error)) {
      std::cerr << "qz670x-chip-gadget: --fault " << fault << ": " << error << '\n';
      return kUsageError;
    }
  }
  // After the first plug-in the mode follows the chip (the erase re-plugs it in ROM mode).
  chip.ForceMode(std::nullopt);

  if (options.udc.empty()) options.udc = FirstUdc();
  if (options.udc.empty()) {
    std::cerr << "qz670x-chip-gadget: no USB device controller in /sys/class/udc "
                 "(load dummy_hcd, or use a board with an OTG port)\n";
    return kSetupError;
  }
  if (!EnsureConfigfs()) {
    std::cerr << "qz670x-chip-gadget: no usb_gadget in " << kConfigfs
              << " (load libcomposite and mount configfs)\n";
    return kSetupError;
  }
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Gadget gadget(fs::path(kConfigfs) / "usb_gadget" / options.name, options.udc);
  int status = kSetupError;
  if (gadget.Create(static_cast<std::uint8_t>(options.report_length))) {
    ChipServer server(options, chip, gadget);
    status = server.Run();
  }
  gadget.Remove();
  Say(std::string(status == 0 ? "stopped" : "failed") + " after " +
      std::to_string(chip.EepromTransfers()) + " EEPROM transfers");
  return status;
}
