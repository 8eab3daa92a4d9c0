#pragma once
// The station's setup below every station window: the dialog's own image, mode and override
// controls driven by its rule operations, the image check on choice, the override check per
// unit, the choices of every unit, the production jobs and the locks. A window makes the
// controls (from the dialog's control table) and shows what this class reports; the rules are
// here once.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "dialog/dialog_controls.h"
#include "jobs/job_run.h"
#include "production/station_config.h"
#include "prodlog/production_log.h"
#include "results/result_target.h"
#include "station/unit_run.h"

namespace qz {
class Clock;
class CQZ670xWriteEepromMPUtyDlg;
class HidBackend;
class NullHidBackend;
}  // namespace qz

namespace qz::production {

// What Start needs from the setup: every unit's choices and the start of its log row.
struct StationStart {
  station::UnitChoices choices;
  prodlog::UnitStart unit_start;
  results::ResultTargets results;  // the job's when it fixes them, else the configuration's
  // Not empty: each unit's number comes from this program of the factory (its words), the job's
  // or, when neither the job nor the window gives a format, the configuration's.
  std::vector<std::string> serial_program;
};

class StationSetup {
 public:
  // The dialog controls a station's setup shows, in tab order: the origin file, the mode, the
  // overrides. The vendor-ID and product-ID rows stay hidden in the dialog for the whole run,
  // and so they are not shown either; the update file and Save BIN belong to the dialog alone.
  [[nodiscard]] static std::span<const int> Controls();

  // `controls` are the window's, made for Controls() (a window need not show the others);
  // both must outlive the setup. `clock` is only held by the settings' dialog object, which
  // never starts a worker or reaches a chip (its backend lists none). Construct on the window's
  // thread; every call comes from there.
  StationSetup(DialogControls& controls, Clock& clock, std::string app_name);
  ~StationSetup();
  StationSetup(const StationSetup&) = delete;
  StationSetup& operator=(const StationSetup&) = delete;

  // The dialog's message map for the setup's buttons (mode, "Update Enable", EVB, Reset);
  // false for a control that is none of them ("..." is the window's: ChooseImage).
  bool OnClicked(int id);
  // A path from the "..." chooser ("" when the chooser could not hold it): too long a path is
  // refused with the dialog's message in Messages() (nullopt), otherwise it goes into the
  // origin edit and is checked. Returns whether the image passed.
  std::optional<bool> ChooseImage(std::string_view path);

  // Loads and checks the image named in the origin edit. Returns whether it passed.
  bool CheckImage();
  // What the last image check found: the image's summary, or the system's messages.
  [[nodiscard]] const std::vector<std::string>& ImageReport() const { return image_report_; }
  [[nodiscard]] bool ImageOk() const { return image_ok_; }
  // True when the last check refused the image (ImageReport() holds the system's messages).
  [[nodiscard]] bool ImageRefused() const { return image_checked_ && !image_ok_; }
  // True once the image passed its check (a station that requires signed jobs accepts only a
  // job's image).
  [[nodiscard]] bool ImageAccepted() const {
    return image_ok_ && (job_ || !settings_.require_signed_jobs);
  }
  // Checks the image and the overrides (with `serial`, a unit's serial number, as the
  // serial-number override) on the road of one unit, as the dialog checks them, before any chip
  // is touched. On a refusal Messages() holds the system's messages.
  bool CheckOverrides(const std::optional<std::string>& serial = std::nullopt);

  // The system's messages of the last operation that was refused ("" lines none).
  [[nodiscard]] const std::vector<std::string>& Messages() const { return messages_; }
  void SetMessages(std::vector<std::string> lines) { messages_ = std::move(lines); }

  // The choices, read at the moment of the call.
  [[nodiscard]] std::string ImagePath() const;
  [[nodiscard]] bool FactoryMode() const;
  // The serial-number format and next number: the job's, or what the operator typed.
  [[nodiscard]] std::string SerialFormat(std::string_view typed) const;
  [[nodiscard]] std::optional<std::uint64_t> NextSerial(std::string_view typed) const;
  // The choices of every unit: the image, the mode, the EVB box, and the override boxes and
  // edit texts as they are now (a copy: the result may be used on any thread).
  [[nodiscard]] station::UnitChoices Choices() const;
  // The overrides in effect, by name ("product", "hs-bcd", ...) and value, for the log.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> AppliedOverrides() const;

  // Everything Start takes from the setup: the serial format is parsed and its first number
  // formatted, the image and the overrides are checked with that number as every unit's will
  // be, and the log row's start is made. nullopt with `error` (and Messages()) on a refusal.
  [[nodiscard]] std::optional<StationStart> PrepareStart(std::string_view serial_format,
                                                         std::string_view next_serial,
                                                         std::string* error);

  // The station's configuration; a station that requires signed jobs takes its choices only
  // from a job.
  void SetStationSettings(const StationSettings& settings);
  [[nodiscard]] const StationSettings& Settings() const { return settings_; }
  // This station's name in the log and for a job's station list.
  [[nodiscard]] std::string StationName() const;
  // Loads a production job, checked as every front end checks it; its settings are then put
  // into the controls and are the choices of every unit. On a refusal Messages() holds the
  // reasons and the setup keeps what it had. Returns whether the job was loaded.
  bool LoadJob(const std::string& path);
  [[nodiscard]] const jobs::LoadedJob* Job() const { return job_ ? &*job_ : nullptr; }
  // What the loaded job says ("name: value" lines); empty without a job.
  [[nodiscard]] const std::vector<std::string>& JobReport() const { return job_report_; }

  // Whether the image, mode and override choices are fixed: while production runs, with a
  // job, and on a station that requires signed jobs.
  [[nodiscard]] bool ChoicesFixed(bool running) const {
    return running || job_ || settings_.require_signed_jobs;
  }
  // The log location can be changed: not while running, and not where a locked station's
  // configuration names it (the operator sees it, and the line it names is the line).
  [[nodiscard]] bool LogFixed(bool running) const {
    return running || (settings_.require_signed_jobs && !settings_.log.empty());
  }

 private:
  class Collector;
  // Runs a rule operation of the settings' dialog object, collecting its message boxes.
  std::vector<std::string> Collect(const std::function<void()>& operation);

  std::string app_name_;
  std::unique_ptr<Collector> collector_;
  std::unique_ptr<NullHidBackend> no_chips_;
  std::unique_ptr<CQZ670xWriteEepromMPUtyDlg> dialog_;
  bool image_ok_ = false;
  bool image_checked_ = false;
  std::vector<std::string> image_report_;
  std::vector<std::string> messages_;
  std::vector<std::string> job_report_;
  StationSettings settings_;
  std::optional<jobs::LoadedJob> job_;
};

// The ports an operator lists ("1-4.1, 1-4.2" or separated by blanks or semicolons).
[[nodiscard]] std::vector<std::string> ParsePortList(std::string_view text);

// The ports of a run: the listed ones (each once), or every port where a chip sits now.
// nullopt with a message when none or a port is named twice.
[[nodiscard]] std::optional<std::vector<std::string>> RunPorts(
    const std::vector<std::string>& listed, HidBackend& bus, std::string* error);
// Every port where a chip sits now, in order.
[[nodiscard]] std::vector<std::string> PortsWithChips(HidBackend& bus);

}  // namespace qz::production
