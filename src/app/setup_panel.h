#pragma once

#include <QString>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dialog/dialog_controls.h"
#include "jobs/job_run.h"
#include "production/station_config.h"
#include "production/station_setup.h"
#include "station/unit_run.h"

class QButtonGroup;
class QLabel;
class QPushButton;
class QLineEdit;
class QRadioButton;

namespace qz {
class Clock;
}  // namespace qz

namespace qz::app {

class QtDialogControls;

// The station's choices: the origin image with the dialog's "..." chooser, the mode, the
// descriptor overrides, the serial-number format and next number, the log file and the ports.
//
// The image, mode and override controls are the dialog's own (made from its control table and
// driven by its rule operations through the station's setup, production::StationSetup), so they
// behave exactly as in the dialog and in the native station window. The image is loaded and
// checked as soon as it is chosen: its firmware ID and a summary are shown, or the system's
// messages when it is bad, and the panel is not ready until an image has passed.
class SetupPanel final : public QWidget {
  Q_OBJECT

 public:
  // Chooses a file for a "..." button: the full path, or nullopt when cancelled.
  using FileChooser = std::function<std::optional<QString>(QWidget* parent)>;

  // `clock` is only held by the settings' dialog object, which reaches no chip (its backend
  // lists none); it must outlive the panel.
  SetupPanel(Clock& clock, std::string app_name, QWidget* parent = nullptr);
  ~SetupPanel() override;
  SetupPanel(const SetupPanel&) = delete;
  SetupPanel& operator=(const SetupPanel&) = delete;

  // The dialog control `id` of the panel (null when the panel does not show it).
  [[nodiscard]] QWidget* Control(int id) const;
  [[nodiscard]] QLineEdit* SerialFormatEdit() const { return serial_format_; }
  [[nodiscard]] QLineEdit* NextSerialEdit() const { return next_serial_; }
  [[nodiscard]] QLineEdit* LogFileEdit() const { return log_file_; }
  [[nodiscard]] QLineEdit* PortsEdit() const { return ports_; }
  [[nodiscard]] QRadioButton* AllPortsRadio() const { return all_ports_; }
  // What the last image check showed: the summary, or the system's messages.
  [[nodiscard]] QString ImageReport() const;

  // Test seam; the default is the dialog's file dialog.
  void SetFileChooser(FileChooser chooser);

  // The station's configuration: its log and ports become the panel's defaults; a station that
  // requires signed jobs takes its choices only from a job ("Load job…").
  void SetStationSettings(const production::StationSettings& settings);
  // Loads a production job, checked as every front end checks it; its settings are then shown
  // read-only and are the choices of every unit. On a refusal the reasons are shown and the
  // panel keeps what it had. Returns whether the job was loaded.
  bool LoadJob(const std::string& path);
  // The loaded job, or null.
  [[nodiscard]] const jobs::LoadedJob* Job() const { return setup_->Job(); }
  [[nodiscard]] QPushButton* LoadJobButton() const { return load_job_; }
  [[nodiscard]] QString JobReport() const;

  // Loads and checks the image named in the origin edit (also done when one is chosen).
  // Returns whether it passed.
  bool CheckImage();
  // True once the image passed its check and the panel's other fields are filled in.
  // (a station that requires signed jobs accepts only a job's image)
  [[nodiscard]] bool ImageAccepted() const { return setup_->ImageAccepted(); }

  // Checks the image and the overrides (with `serial`, a unit's serial number, as the
  // serial-number override) on the road of one unit, as the dialog checks them, before any chip
  // is touched. The system's messages are shown in the panel. Returns whether they passed.
  bool CheckOverrides(const std::optional<std::string>& serial = std::nullopt);

  // The choices, read at the moment of the call.
  [[nodiscard]] std::string ImagePath() const;
  [[nodiscard]] bool FactoryMode() const;
  [[nodiscard]] std::string SerialFormat() const;
  [[nodiscard]] std::optional<std::uint64_t> NextSerial() const;
  [[nodiscard]] std::string LogFile() const;
  // Empty: every port where a chip shows up.
  [[nodiscard]] std::vector<std::string> Ports() const;
  // The choices of every unit: the image, the mode, the EVB box, and the override boxes and
  // edit texts as they are now (a copy: the result may be used on any thread).
  [[nodiscard]] station::UnitChoices Choices() const;
  // The overrides in effect, by name ("product", "hs-bcd", ...) and value, for the log.
  [[nodiscard]] std::vector<std::pair<std::string, std::string>> AppliedOverrides() const;

  // Everything Start takes from the panel (production::StationSetup::PrepareStart with the serial
  // fields as typed); the system's messages are shown on a refusal.
  [[nodiscard]] std::optional<production::StationStart> PrepareStart(std::string* error);

  // While production runs the choices are fixed.
  void SetLocked(bool locked);

  // Shows `lines` (the system's messages) in the panel's message area, in red.
  void ShowMessages(const std::vector<std::string>& lines);

 Q_SIGNALS:
  // The image check's result changed.
  void ImageChecked(bool ok);

 private:
  void BuildLayout();
  void BrowseImage();
  void BrowseLogFile();
  // Shows the setup's image report, messages and job.
  void ShowSetup();

  std::string app_name_;
  std::map<int, QWidget*> widgets_;
  QButtonGroup* radios_ = nullptr;
  std::unique_ptr<QtDialogControls> controls_;
  std::unique_ptr<production::StationSetup> setup_;
  FileChooser file_chooser_;
  QLabel* image_report_ = nullptr;
  QLabel* messages_ = nullptr;
  QLineEdit* serial_format_ = nullptr;
  QLineEdit* next_serial_ = nullptr;
  QLineEdit* log_file_ = nullptr;
  QRadioButton* all_ports_ = nullptr;
  QRadioButton* listed_ports_ = nullptr;
  QLineEdit* ports_ = nullptr;
  QWidget* log_browse_ = nullptr;
  QPushButton* load_job_ = nullptr;
  QLabel* job_report_ = nullptr;
  bool locked_ = false;
  // Enables the panel's groups as the run, the job and the station's configuration allow.
  void ApplyLocks();
};

}  // namespace qz::app
