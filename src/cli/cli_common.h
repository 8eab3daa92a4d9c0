#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>
#include <nlohmann/json_fwd.hpp>

#include "devices/device_session.h"
#include "dialog/dialog_controls.h"
#include "dialog/headless_controls.h"
#include "jobs/job_run.h"
#include "production/station_config.h"
#include "prodlog/production_log.h"
#include "results/result_target.h"
#include "station/unit_run.h"

namespace qz::cli {

// Exit status of qz670x-mp-cli. 1..12 are the worker's numbered outcomes.
using Exit = station::Exit;

// The help of `write` and `station` ends with where the outcomes are explained.
inline constexpr const char* kOutcomesFooter =
    "Outcomes 1 to 12 (\"Write to EEPROM Fail!  Try Again!(N)\"): what failed and what to check "
    "on the line is in the README, section \"Why: refusals and the twelve outcomes\"; each "
    "failure also prints it after the message.";

// Where one run of the command line writes: messages on stderr as text, or JSON Lines on stdout.
struct Output {
  bool json = false;
  std::ostream* out = nullptr;  // stdout
  std::ostream* err = nullptr;  // stderr
  // stderr is a terminal: an operator reads it, and each message's detail follows it on a line
  // of its own (stations that read stderr see the messages alone, as ever)
  bool terminal = false;

  // One message box, verbatim: its text on stderr, or a JSON "message" line (with its detail).
  void Message(const MessageBoxRequest& message) const;
  // A JSON line of any other type (progress, summary, ...); nothing without --json.
  void JsonLine(const std::string& json_text) const;
  // The final {"type":"result","exit":N} line with --json, with `counts` added (units, ...).
  void Result(int exit_code, const std::vector<std::pair<std::string, int>>& counts = {}) const;
};

// A JSON line's text: one line, invalid UTF-8 replaced rather than thrown on.
[[nodiscard]] std::string JsonText(const nlohmann::json& line);
// The line database's state as a JSON line: {"type":"line","state":"offline","pending":N}, with
// "why" while the line is away and the last attempt said why.
[[nodiscard]] std::string LineStateJson(const prodlog::LineState& state);
// A message box's icon as the JSON lines name it: "none", "stop" or "information".
[[nodiscard]] const char* IconName(MessageIcon icon);

// State shared by the commands of one run.
struct Context {
  Output output;
  int exit_code = 0;
  std::vector<std::pair<std::string, int>> result_counts;  // added to the final result line
};

// Descriptor override options shared by `save` and `write`: an option given means its check
// box is checked and its value is the edit's text, verbatim.
struct DescriptorOptions {
  std::optional<std::string> manufacturer, product, serial, hs_audio, fs_audio;
  std::optional<std::string> hs_bcd, fs_bcd, hs_vid, hs_pid, fs_vid, fs_pid;

  void AddTo(CLI::App& command);
  // Checks the boxes and fills the edits of the given options.
  void ApplyTo(DialogControls& controls) const;
  // The given options as (name without "--", value), in the dialog's order.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> Applied() const;
  // Says, once per command, which hexadecimal option the dialog reads only in part (it stops at
  // the first character that is not a hexadecimal digit: "zz" reads as 0000), on stderr or as a
  // JSON "note" line. The value stays what the dialog reads.
  void NoteShortReads(const Output& output) const;
  // What `job create` refuses: "" when every hexadecimal option given is 1 to 4 hexadecimal
  // digits, else a message naming the first that is not.
  [[nodiscard]] std::string NotPlainHex() const;
};

// What `write`, `station` and `job create` aim at: the mode, and the IDs of the chip looked
// for first.
struct TargetOptions {
  bool factory = false;
  bool developer = false;
  bool evb = false;
  std::string vid = "1D6C";
  std::string pid = "6841";

  // --factory or --developer, --evb, --vid, --pid
  void AddTo(CLI::App& command);
};

// The arguments with each "--<descriptor option>=" (an empty value) split into the option and
// an empty argument, which the parser otherwise would not take as the option's value.
std::vector<std::string> SplitEmptyOptionValues(int argc, const char* const* argv);

// Refuses an image path the dialog could not take whole: its path edits are read through 259
// characters, and a cut path would name another file.
[[nodiscard]] const CLI::Validator& PathLengthValidator();

// Options of the production log, shared by `station` and `write`.
struct ProductionLogArgs {
  std::string log;           // --log FILE ("" : not logged, unless `always`)
  std::string station_name;  // --station NAME (default: the host name)
  int serial_block = prodlog::LogOptions{}.serial_block;  // --serial-block N (line database)
  std::string journal;  // --journal FILE (line database; default: one per station name)
  std::vector<std::string> result_targets;  // the outbox's targets (not an option)

  void AddTo(CLI::App& command);
};

// The station's name: --station, else the host name.
[[nodiscard]] std::string StationName(const ProductionLogArgs& log);

// Opens the production log for a command; nullptr with the message printed when it cannot, and
// *exit: 64 for a location refused as given (a password in it), else 74. `log.log` empty: the
// default file. A line database gets the station's journal in front of it; `units`: what the
// units share, their station and serial format among it.
[[nodiscard]] std::unique_ptr<prodlog::ProductionLog> OpenProductionLog(
    const ProductionLogArgs& log, const Output& output, const prodlog::UnitStart& units,
    Exit* exit);
// The log's options a command's arguments give.
[[nodiscard]] prodlog::LogOptions LogOptionsFor(const ProductionLogArgs& log);
// Prints why the log could not be opened; the exit as OpenProductionLog gives it.
[[nodiscard]] Exit LogOpenFailed(const prodlog::LogError& error, const Output& output);
// What every unit of a command shares in its log row.
[[nodiscard]] prodlog::UnitStart UnitStartFor(const std::string& image, bool factory,
                                              const DescriptorOptions& descriptor,
                                              const ProductionLogArgs& log);

// What `write` and `station` run under: the station's configuration and, with --job, the job.
struct RunSetup {
  production::StationSettings settings;
  std::optional<jobs::LoadedJob> job;
};

// Where every unit's result goes, shared by `station` and `write`.
struct ResultArgs {
  std::string program;  // --result-program 'CMD ARGS'
  std::string url;      // --result-url URL
  std::string ca;       // --result-ca FILE
  double timeout_seconds = 10.0;  // --result-timeout

  void AddTo(CLI::App& command);
};
// The run's result targets: a job's when it fixes them (then --result-program and --result-url
// are refused), else the command line's, else the station configuration's. nullopt with the
// message printed and *exit (64) when they cannot be used; a note when results go unencrypted
// to another machine.
[[nodiscard]] std::optional<results::ResultTargets> ResultTargetsFor(const ResultArgs& args,
                                                                     const CLI::App& command,
                                                                     const RunSetup& setup,
                                                                     const Output& output,
                                                                     int* exit);
// Reads the station configuration (its log and station name become the defaults of `log`) and
// with `job_path` the job, checked before any chip; the options in `decided` (which the job
// decides) are refused with a job. Without a job a station that requires signed jobs refuses
// to run. nullopt when the command may go on, else its exit status (the reason printed).
[[nodiscard]] std::optional<int> PrepareRun(const CLI::App& command, const std::string& job_path,
                                            const std::vector<std::string>& decided,
                                            ProductionLogArgs& log, const Output& output,
                                            RunSetup* setup);
// The options a job decides that `write` and `station` share: IMAGE, the mode, the overrides,
// the evaluation-board IDs and the target IDs.
[[nodiscard]] std::vector<std::string> JobDecidedOptions();

// The first option of a parsed command (and its subcommands) that would do nothing or that
// contradicts another, or a number out of its range, as the message naming it; "" when none.
[[nodiscard]] std::string UselessOptionProblem(const CLI::App& command);
// "unknown command 'frob'" when the first word that is not an option names no command.
[[nodiscard]] std::optional<std::string> UnknownCommand(const CLI::App& app,
                                                        const std::vector<std::string>& args);
// Why a file (or a folder for files) the command writes at its end cannot be written: its
// folder is missing or not writable, or the file is read-only; "" when it looks writable.
// Checked before any chip is touched, so a job never passes and then fails to save.
[[nodiscard]] std::string WritablePathProblem(const std::string& path);
// WritablePathProblem of the virtual chips' EEPROM file (or folder), "--sim-eeprom " before it.
[[nodiscard]] std::string SimEepromProblem(const DeviceConfig& device);

// Commands, each registering itself on the top-level app.
void AddImageCommands(CLI::App& app, Context& context);   // check, save
void AddDeviceCommands(CLI::App& app, Context& context);  // list, read
void AddWriteCommand(CLI::App& app, Context& context);    // write
void AddStationCommand(CLI::App& app, Context& context);  // station
void AddLogCommand(CLI::App& app, Context& context);      // log
void AddJobCommand(CLI::App& app, Context& context);      // job
void AddDashboardCommand(CLI::App& app, Context& context);  // dashboard

// Runs the command line; returns the exit status. Streams are parameters for tests.
int Run(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace qz::cli
