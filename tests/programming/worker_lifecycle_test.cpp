// The worker's life around a job: stopping it mid-job, device changes and clicks that arrive
// while a job owns the link, and the stop handshake itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialog/control_table.h"
#include "dialog/exit_rules.h"
#include "dialog/messages.h"
#include "support/programming_rig.h"

namespace qz::test {
namespace {

constexpr int kPausePosition = 10;  // a progress position inside the body write

// Holds the worker inside a progress update of the body write until `release` says so.
class PausedJob {
 public:
  explicit PausedJob(Rig& rig) : rig_(rig) {
    rig_.controls.SetProgressHandler([this](int position) {
      if (position != kPausePosition) return;
      {
        const std::lock_guard lock(mutex_);
        if (paused_) return;
        paused_ = true;
      }
      held_.notify_all();
      while (!release_()) std::this_thread::yield();
    });
  }
  ~PausedJob() { rig_.controls.SetProgressHandler({}); }
  PausedJob(const PausedJob&) = delete;
  PausedJob& operator=(const PausedJob&) = delete;

  // Clicks "Write EEPROM" and returns once the worker is held; it goes on when `release` holds.
  void Start(std::function<bool()> release) {
    release_ = std::move(release);
    rig_.Dialog().OnWriteEeprom();
    // a mutex and a condition variable, not std::atomic::wait: MinGW's libstdc++ 12 can lose
    // that wake-up on targets without a futex, which hung this test under Wine
    std::unique_lock lock(mutex_);
    held_.wait(lock, [this] { return paused_; });
  }

 private:
  Rig& rig_;
  std::mutex mutex_;
  std::condition_variable held_;
  bool paused_ = false;
  std::function<bool()> release_;
};

std::vector<std::string> Tail(const std::vector<std::string>& texts, std::size_t n) {
  return {texts.end() - static_cast<std::ptrdiff_t>(std::min(n, texts.size())), texts.end()};
}

TEST(JobAndDeviceChanges, AProbeThatArrivesDuringAJobRunsWhenTheJobHasClosed) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  std::atomic<bool> go_on{false};
  PausedJob job(rig);
  job.Start([&] { return go_on.load(); });

  // the UI thread hears of a device change while the worker holds the link
  CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
  dialog.NotInRomMode = 1;
  rig.hotplug.InjectEvent(kDbtDeviceArrival);
  EXPECT_EQ(dialog.DispatchHotplugEvents(), 1u);
  EXPECT_EQ(dialog.NotInRomMode, 1u);  // held back
  go_on.store(true);

  ASSERT_TRUE(rig.controls.WaitUntil(
      [&] { return !dialog.JobActive() && rig.controls.IsEnabled(ctl::kWriteEeprom); },
      std::chrono::minutes(2)));
  // the job was not disturbed, and the probe waits in the UI thread's queue
  EXPECT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kWriteOk)});
  EXPECT_EQ(dialog.NotInRomMode, 1u);
  EXPECT_EQ(rig.controls.RunPostedTasks(), 1u);
  EXPECT_EQ(dialog.NotInRomMode, 0u);
  EXPECT_EQ(dialog.DeviceOpen, 0u);
  EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
}

TEST(JobAndDeviceChanges, ASecondClickDuringAJobChangesNothing) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  std::atomic<bool> go_on{false};
  PausedJob job(rig);
  job.Start([&] { return go_on.load(); });

  rig.controls.SetText(ctl::kOriginPath, "");  // would fail the load, were it run
  rig.Dialog().OnWriteEeprom();
  EXPECT_EQ(rig.controls.Progress(ctl::kProgress), kPausePosition);
  EXPECT_FALSE(rig.controls.IsEnabled(ctl::kWriteEeprom));
  EXPECT_TRUE(rig.Texts().empty());
  go_on.store(true);
  rig.WaitForClose();
  EXPECT_EQ(rig.Texts(), std::vector<std::string>{std::string(msg::kWriteOk)});
}

TEST(EndingDuringAJob, ExitStopsTheBodyWriteWithCodeEightAndJoinsTheWorker) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
  PausedJob job(rig);
  job.Start([&] { return dialog.WorkerRunning.load() == 0; });

  dialog.OnExit();
  // the step failed at its next check, the phase ended with its code, the worker is gone
  EXPECT_EQ(Tail(rig.Texts(), 2), (std::vector<std::string>{std::string(msg::kFailToWriteEeprom),
                                                           FailureText(8)}));
  EXPECT_EQ(dialog.WorkerExited.load(), 1u);
  ASSERT_NE(dialog.WorkerDoneEvent, nullptr);
  EXPECT_TRUE(dialog.WorkerDoneEvent->IsSignalled());
  EXPECT_FALSE(dialog.JobActive());
  EXPECT_EQ(rig.controls.Progress(ctl::kProgress), kPausePosition);
  // the link was released, once
  EXPECT_EQ(dialog.DeviceOpen, 0u);
  EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
  const std::vector<std::uint8_t> eeprom = rig.chip.Eeprom();
  EXPECT_EQ(std::vector<std::uint8_t>(eeprom.begin(), eeprom.begin() + 8),
            std::vector<std::uint8_t>(8, 0));
}

TEST(EndingDuringAJob, DestroyingTheDialogStopsAndJoinsTheWorkerFirst) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  CQZ670xWriteEepromMPUtyDlg* dialog = &rig.Dialog();
  PausedJob job(rig);
  job.Start([dialog] { return dialog->WorkerRunning.load() == 0; });
  // no Exit: the dialog goes away under the job (the window closed some other way)
  rig.DestroyDialog();
  EXPECT_EQ(Tail(rig.Texts(), 1), std::vector<std::string>{FailureText(8)});
  EXPECT_EQ(rig.spy.Opens(), rig.spy.Closes());
}

TEST(EndingDuringAJob, TheWindowsExitRulesAskOnceAndWaitForAHandlerInsideItsBox) {
  Rig rig;
  rig.Init();
  rig.UseImage();
  CQZ670xWriteEepromMPUtyDlg* dialog = &rig.Dialog();
  int questions = 0;
  int ends = 0;
  bool answer = false;
  ExitRules* rules_seen = nullptr;
  ExitRules rules([&] { return dialog; }, [&] { ++ends; },
                  [&] {
                    ++questions;
                    // a second request while the question is open waits for its answer
                    EXPECT_EQ(rules_seen->Request(), ExitRules::Outcome::kDeferred);
                    return answer;
                  });
  rules_seen = &rules;
  std::atomic<bool> go_on{false};
  PausedJob job(rig);
  job.Start([&] { return go_on.load(); });

  EXPECT_EQ(rules.Request(), ExitRules::Outcome::kRefused);  // "no": the job runs on
  EXPECT_EQ(questions, 1);
  EXPECT_EQ(ends, 0);
  // a "yes" from inside a handler's message box ends the dialog once the handler returns
  answer = true;
  rules.Guarded([&] {
    EXPECT_EQ(rules.Request(), ExitRules::Outcome::kDeferred);
    EXPECT_EQ(ends, 0);
  });
  EXPECT_EQ(questions, 2);
  EXPECT_EQ(ends, 1);
  go_on.store(true);
  rig.WaitForClose();
}

TEST(StopWorker, DoesNothingOnceTheWorkerHasStopped) {
  Rig rig;
  rig.Init();
  CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
  dialog.StopWorker();
  EXPECT_EQ(dialog.WorkerExited.load(), 1u);
  dialog.WriteRequested.store(1);
  dialog.CleanupRequested.store(1);
  dialog.StopWorker();
  EXPECT_EQ(dialog.WriteRequested.load(), 1u);
  EXPECT_EQ(dialog.CleanupRequested.load(), 1u);
  dialog.WriteRequested.store(0);
  dialog.CleanupRequested.store(0);
}

TEST(StopWorker, WithoutADoneEventItStillWaitsForTheWorkerToEnd) {
  Rig rig;
  rig.Init();
  CQZ670xWriteEepromMPUtyDlg& dialog = rig.Dialog();
  dialog.WorkerDoneEvent = nullptr;  // as if it could not be made
  dialog.StopWorker();
  EXPECT_EQ(dialog.WorkerExited.load(), 1u);
  EXPECT_EQ(dialog.WorkerRunning.load(), 0u);
}

}  // namespace
}  // namespace qz::test
