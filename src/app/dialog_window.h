#pragma once

#include <QDialog>
#include <QString>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/dialog_units.h"
#include "app/qt_dialog_controls.h"
#include "dialog/control_table.h"
#include "dialog/exit_rules.h"
#include "dialog/messages.h"
#include "station/replug_handler.h"

class QButtonGroup;
class QCloseEvent;
class QFileDialog;
class QSocketNotifier;

namespace qz {
struct ControlSpec;
class Clock;
class CQZ670xWriteEepromMPUtyDlg;
class HidBackend;
class HotplugSource;
}  // namespace qz

namespace qz::app {


// The file dialog of the two "..." buttons: open mode, one filter entry for *.bin, and a name
// that need not exist yet (the update file is usually new).
[[nodiscard]] std::unique_ptr<QFileDialog> MakeBrowseDialog(QWidget* parent);

// A "..." button's choice: `chooser` when set (tests), else the browse dialog. Native separators;
// nothing when cancelled.
[[nodiscard]] std::optional<QString> ChooseFile(
    QWidget* parent, const std::function<std::optional<QString>(QWidget*)>& chooser);

// The widget of one control-table row, with its caption, kind, alignment and text limit, named
// "ctl<ID>" and carrying its ID as the "controlId" property; placed by the caller. A radio
// button joins `radios`; a frame takes `frame_style`.
[[nodiscard]] QWidget* MakeControlWidget(const ControlSpec& spec, QWidget* parent,
                                         QButtonGroup* radios, const QString& frame_style = {});

// The main window: every control of the control table, placed from its dialog units, wired to
// the dialog object's operations (the message map). It owns the dialog object for the dialog's
// life and ends it by the Exit sequence, however the window is asked to close.
class DialogWindow final : public QDialog {
  Q_OBJECT

 public:
  // Chooses a file for a "..." button: the full path, or nullopt when cancelled.
  using FileChooser = std::function<std::optional<QString>(QWidget* parent)>;
  // Asks a yes/no question (default no); true for yes.
  using Confirmer = std::function<bool(const QString& text)>;

  // Builds the controls and the dialog object and runs its initialisation. `backend`, `clock`
  // and `hotplug` (may be null) are not owned and must outlive the window. `app_name` is the
  // caption of message boxes that name none.
  DialogWindow(HidBackend& backend, Clock& clock, HotplugSource* hotplug, std::string app_name,
               QWidget* parent = nullptr);
  // Ends the dialog object if it still lives (the worker is stopped and joined first).
  ~DialogWindow() override;
  DialogWindow(const DialogWindow&) = delete;
  DialogWindow& operator=(const DialogWindow&) = delete;

  // The dialog object, or null once the dialog has ended.
  [[nodiscard]] CQZ670xWriteEepromMPUtyDlg* Dialog() { return dialog_.get(); }
  [[nodiscard]] QtDialogControls& Controls() { return *controls_; }
  // The widget of control `id` (null for an unknown ID).
  [[nodiscard]] QWidget* Control(int id) const;
  // One widget per row of the control table, in table order.
  [[nodiscard]] const std::vector<QWidget*>& TableWidgets() const { return table_widgets_; }
  [[nodiscard]] const DialogBaseUnits& BaseUnits() const { return units_; }

  // Who re-plugs the chip after the erase (--replug). With power or auto the window switches the
  // chip's port itself (on the UI thread, a wait cursor meanwhile) instead of showing the
  // re-plug box; the box comes when the operator must do it after all. `replugger` (may be
  // null: no port power here) and `bus` are not owned and outlive the window.
  void SetReplug(station::ReplugMode mode, station::PowerReplugger* replugger, HidBackend& bus);

  // Test seams; the defaults are the real modal dialogs.
  void SetMessagePresenter(QtDialogControls::MessagePresenter presenter);
  void SetFileChooser(FileChooser chooser);
  void SetConfirmer(Confirmer confirmer);

  // Brings the window to the front (a second start of the program asks for this).
  void BringToFront();

  // A termination signal (SIGINT, SIGTERM, SIGHUP) reached the program. Without a job it runs
  // the Exit sequence, as the Exit button does. A running job is not cut short: the window ends
  // once the job has closed (after its outcome box). A second signal meanwhile runs the Exit
  // sequence at once, stopping the job as a confirmed Exit does.
  void OnTerminationSignal();

 protected:
  // Escape.
  void reject() override;
  // The window manager's close.
  void closeEvent(QCloseEvent* event) override;

 private:
  using ExitOutcome = ExitRules::Outcome;

  void BuildControls();
  void PlaceControls();
  void SetTabOrder();
  void ConnectMessageMap();
  void StartHotplugNotifier();
  void DrainHotplug();
  void Browse(int target_edit);
  // Runs a handler of the dialog object; an exit asked for meanwhile waits until it returns.
  void Guarded(const std::function<void()>& handler) { exit_rules_.Guarded(handler); }
  // The Exit sequence, if allowed now (see ExitRules).
  ExitOutcome RequestExit(bool confirmed = false) { return exit_rules_.Request(confirmed); }
  bool AskStopQuestion();
  // OnExit, then the dialog object is destroyed and the window closes.
  void EndDialog();
  void ShowMessage(std::string_view text, MessageIcon icon);

  std::string app_name_;
  DialogBaseUnits units_;
  std::vector<QWidget*> table_widgets_;
  QButtonGroup* radios_ = nullptr;
  std::unique_ptr<QtDialogControls> controls_;
  std::unique_ptr<CQZ670xWriteEepromMPUtyDlg> dialog_;
  std::unique_ptr<station::ReplugHandler> replug_;  // null: the operator re-plugs
  HotplugSource* hotplug_;
  std::unique_ptr<QSocketNotifier> hotplug_notifier_;
  FileChooser file_chooser_;
  Confirmer confirmer_;
  ExitRules exit_rules_;
  // A termination signal came during a job: the Exit sequence runs once the job has closed.
  bool exit_after_job_ = false;
};

}  // namespace qz::app
