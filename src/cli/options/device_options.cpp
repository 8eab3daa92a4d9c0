#include "cli/options/device_options.h"

#include <string>

#include "sim/virtual_chip.h"

namespace qz::cli {

void AddDeviceOptions(CLI::App& command, DeviceOptions& options, bool with_port) {
  CLI::Option* simulate_flag =
      command
          .add_option("--simulate", options.simulate,
                      "Talk to N virtual chips (default 1, at most 64) on ports sim-1..sim-N "
                      "instead of the USB HID devices")
          ->expected(0, 1)
          ->default_str("1")
          ->type_name("[N]")
          ->check([](const std::string& text) -> std::string {
            int count = 0;
            if (!CLI::detail::lexical_cast(text, count)) return "N must be a whole number";
            if (count < 1 || count > kMaxVirtualChips) {
              return "the virtual station holds 1 to " + std::to_string(kMaxVirtualChips) +
                     " chips (sim-1..sim-" + std::to_string(kMaxVirtualChips) + "), not " + text;
            }
            return {};
          });
  command
      .add_option("--sim-eeprom", options.sim_eeprom,
                  "EEPROM content of the virtual chip: read at start when the file exists "
                  "(32768 bytes), else all 0xFF; written back at the end. With several chips (or "
                  "a directory) one file DIR/sim-K.bin per port")
      ->type_name("FILE|DIR")
      ->needs(simulate_flag);
  command
      .add_option("--sim-mode", options.sim_mode,
                  "Mode of the virtual chip at plug-in (default: firmware when the EEPROM holds a "
                  "firmware header, else rom)")
      ->check(CLI::IsMember({"firmware", "rom"}))
      ->needs(simulate_flag);
  command
      .add_flag("--sim-virtual-time", options.sim_virtual_time,
                "The protocol's pauses and time-outs pass at once: a job takes as long as its "
                "work, not its pacing (dry runs, tests of whole programs); with --simulate or "
                "--sim-replay");
  command
      .add_option("--sim-fault", options.sim_faults,
                  "Misbehaviour of the virtual chip, repeatable: status=N, identity=HEX, "
                  "no-reply@K, stale@K, corrupt@ADDR, no-reply-reg=HEX, absent, "
                  "lie@ADDR (a write over ADDR is acknowledged but that byte not stored), "
                  "garbage@K (the K-th EEPROM transfer is answered with random bytes), "
                  "dup@K (its reply comes twice), "
                  "unplug@K (the chip drops off the bus at the K-th EEPROM transfer and comes "
                  "back 1.5 s later in the same mode), "
                  "replug-firmware (after an erase it comes back running its firmware), "
                  "random=SEED (a schedule of these faults drawn from SEED); sim-K:SPEC for "
                  "the chip on port sim-K only")
      ->type_name("SPEC")
      ->allow_extra_args(false)
      ->check([](const std::string& text) {
        std::string error;
        std::string fault_port;
        return ParsePortFault(text, &fault_port, &error) ? std::string() : error;
      })
      ->needs(simulate_flag);
  command.add_option("--trace", options.trace, "Write every HID report sent and received to FILE")
      ->type_name("FILE");
  command
      .add_option("--record", options.record,
                  "Record the HID session to FILE as JSON Lines (a header, every report with its "
                  "time, arrivals and removals; the image only as its SHA-256 and length), to "
                  "hand a misbehaving chip's session to a developer. `station` writes one file "
                  "per port, the port put before the extension: rec.jsonl gives rec.1-4.2.jsonl")
      ->type_name("FILE");
  command
      .add_option("--sim-replay", options.sim_replay,
                  "A virtual chip that plays back a recording made with --record: it answers "
                  "exactly as recorded and stops the job at the first report that differs, "
                  "naming it. Repeatable: the K-th recording on port sim-K")
      ->type_name("FILE")
      ->allow_extra_args(false)
      ->excludes(simulate_flag);
  if (with_port) {
    command
        .add_option("--port", options.port,
                    "Only the chip on this USB port (as `list` shows it: 1-4.2, or sim-1 for the "
                    "virtual chip)")
        ->type_name("PATH");
  }
}

}  // namespace qz::cli
