// The programming worker: one background thread that runs the write jobs the UI thread hands
// it, and the stop handshake.
#include <chrono>
#include <memory>
#include <string>
#include <system_error>

#include "base/clock.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "hid/command_reports.h"

namespace qz {

namespace {

// How long StopWorker waits for the worker's loop to end before it joins the thread.
inline constexpr std::chrono::milliseconds kStopWait{6000};
// Poll interval of the stop when the done event could not be made.
inline constexpr std::chrono::milliseconds kStopPoll{5};

// EEPROM layout as the job sees it.
inline constexpr std::uint16_t kHeaderSize = 8;
inline constexpr std::uint8_t kBodyChunk = 8;
inline constexpr std::uint8_t kFirstReadChunk = 16;
// The header is committed in two parts: bytes 5..7 first, then 0..4.
inline constexpr std::uint16_t kHeaderTailAddress = 5;
inline constexpr std::uint8_t kHeaderTailSize = 3;
inline constexpr std::uint8_t kHeaderHeadSize = 5;

// Progress: the body write covers 0..50, the read-back 50..100.
inline constexpr int kProgressHalf = 50;
inline constexpr int kProgressFull = 100;

std::string FailureText(int code) {
  return std::string(msg::kWriteFailPrefix) + std::to_string(code) + ")";
}

}  // namespace

// --- start and stop ---------------------------------------------------------------------

void CQZ670xWriteEepromMPUtyDlg::StartWorker() {
  if (worker_thread_.joinable()) {
    if (WorkerRunning.load() != 0) return;  // one worker at a time
    worker_thread_.join();
  }
  WriteRequested.store(0);
  VerifyRequested.store(0);
  CompareRequested.store(0);
  CleanupRequested.store(0);
  done_event_ = std::make_unique<DoneEvent>();
  WorkerDoneEvent = done_event_.get();
  WorkerRunning.store(1);
  WorkerExited.store(0);
  try {
    worker_thread_ = std::thread(&CQZ670xWriteEepromMPUtyDlg::WorkerMain, this, WorkerDoneEvent);
  } catch (const std::system_error&) {
    // No thread, no jobs; and nothing for StopWorker to wait for.
    WorkerRunning.store(0);
  }
}

void CQZ670xWriteEepromMPUtyDlg::StopWorker() {
  if (WorkerRunning.load() == 0) return;

  DoneEvent* const done = WorkerDoneEvent;
  WorkerRunning.store(0);
  WriteRequested.store(0);
  VerifyRequested.store(0);
  CompareRequested.store(0);
  CleanupRequested.store(0);
  // From here on a worker call into the UI must not wait for this thread, which is about to
  // block; and the idle worker must see the stop even though no flag went from 0 to 1.
  controls_.StopWaitingForUi();
  WakeWorker();

  if (done != nullptr) {
    (void)done->WaitFor(kStopWait);
  } else {
    const Clock::Duration deadline = clock_.Now() + kStopWait;
    while (WorkerExited.load() == 0 && clock_.Now() < deadline) clock_.SleepFor(kStopPoll);
  }

  // The worker uses the dialog's state to the end, so it is joined whatever the waits said.
  if (worker_thread_.joinable() && worker_thread_.get_id() != std::this_thread::get_id()) {
    worker_thread_.join();
    // A job stopped before its close step leaves the link to the caller, which releases it.
    job_active_.store(false);
  }
}

void CQZ670xWriteEepromMPUtyDlg::WakeWorker() {
  // Taking the lock orders this wake after the worker's last look at the flags.
  { std::lock_guard lock(wake_mutex_); }
  wake_cv_.notify_all();
}

void CQZ670xWriteEepromMPUtyDlg::WaitForRequest() {
  std::unique_lock lock(wake_mutex_);
  wake_cv_.wait(lock, [this] {
    return WorkerRunning.load() == 0 || WriteRequested.load(std::memory_order_acquire) != 0 ||
           VerifyRequested.load() != 0 || CompareRequested.load() != 0 ||
           CleanupRequested.load() != 0;
  });
}

// --- the loop ----------------------------------------------------------------------------

void CQZ670xWriteEepromMPUtyDlg::WorkerMain(DoneEvent* done) {
  // the job's pauses are its pace: thousands of 3 ms waits, each woken on time
  UsePreciseSleeps();
  WorkerLoop();
  if (done != nullptr) done->Signal();
}

void CQZ670xWriteEepromMPUtyDlg::WorkerLoop() {
  if (WorkerRunning.load() != 0) {
    for (;;) {
      if (WriteRequested.load(std::memory_order_acquire) != 0) RunWritePhase();
      if (VerifyRequested.load() != 0) RunReadBackPhase();
      if (CompareRequested.load() != 0) {
        RunComparePhase();
      } else if (CleanupRequested.load() != 0) {
        RunCloseStep();
      }
      if (WorkerRunning.load() == 0) break;
      // Idle: sleep until the UI thread raises a request or stops the worker.
      WaitForRequest();
      if (WorkerRunning.load() == 0) break;
    }
  }
  WorkerExited.store(1);
}

void CQZ670xWriteEepromMPUtyDlg::RunWritePhase() {
  WriteRequested.store(0);

  // the chip must be a healthy QZ670x
  if (!Succeeded(ReadChipStatus(Link, ReportSequence, &ChipStatus))) return EndJob(1);
  if (ChipStatus != 0) return EndJob(2);
  if (!Succeeded(ReadChipIdentity(Link, ReportSequence, &ChipIdentity))) return EndJob(3);
  if ((ChipIdentity & kChipIdentityMask) != kChipIdentity) return EndJob(4);

  // clear the header first, so a job that fails later leaves no valid image behind
  if (!Succeeded(ClearHeader())) return EndJob(5);
  if (!Succeeded(ReadHeader())) return EndJob(6);
  for (std::size_t i = 0; i < kHeaderSize; ++i) {
    if (ReadBackImage[i] != 0) return EndJobWithMismatch(7, i);
  }

  if (!Succeeded(WriteBody())) return EndJob(8);
  VerifyRequested.store(1);
}

void CQZ670xWriteEepromMPUtyDlg::RunReadBackPhase() {
  VerifyRequested.store(0);
  if (!Succeeded(ReadBackAll())) return EndJob(9);
  CompareRequested.store(1);
}

void CQZ670xWriteEepromMPUtyDlg::RunComparePhase() {
  CompareRequested.store(0);

  bool body_equal = true;
  for (std::size_t i = kHeaderSize; i < WriteLength; ++i) {
    if (WriteImage[i] != ReadBackImage[i]) {
      EndJobWithMismatch(12, i);
      body_equal = false;
      break;
    }
  }

  if (body_equal) {
    if (!Succeeded(CommitHeader())) {
      EndJob(10);
    } else if (!Succeeded(ReadHeader())) {
      // the header was written and checked part by part; only its final read failed
      job_report_.outcome = kJobOutcomeSilent;
      CleanupRequested.store(1);
    } else {
      std::size_t differing = kHeaderSize;
      for (std::size_t i = 0; i < kHeaderSize && differing == kHeaderSize; ++i) {
        if (WriteImage[i] != ReadBackImage[i]) differing = i;
      }
      if (differing != kHeaderSize) {
        EndJobWithMismatch(11, differing);
      } else {
        EndJob(kJobOutcomeOk);
      }
    }
  }
  RunCloseStep();
}

void CQZ670xWriteEepromMPUtyDlg::EndJob(int code) {
  job_report_.outcome = code;
  if (code == kJobOutcomeOk) {
    ShowMessage(msg::kWriteOk);
  } else {
    ShowMessage(FailureText(code), {}, MessageIcon::kNone, MessageAbout::kOther,
                std::string(ExplainJobOutcome(code)));
  }
  CleanupRequested.store(1);
}

void CQZ670xWriteEepromMPUtyDlg::EndJobWithMismatch(int code, std::size_t address) {
  job_report_.mismatch_address = static_cast<int>(address);
  job_report_.expected = code == 7 ? std::uint8_t{0} : WriteImage[address];
  job_report_.actual = ReadBackImage[address];
  EndJob(code);
}

void CQZ670xWriteEepromMPUtyDlg::RunCloseStep() {
  CleanupRequested.store(0);
  ReleaseDevice();
  FinishJob();
  controls_.SetEnabled(ctl::kWriteEeprom, true);
}

void CQZ670xWriteEepromMPUtyDlg::FinishJob() {
  // The link is free again; a probe that arrived during the job runs now, on the UI thread.
  job_active_.store(false);
  if (probe_deferred_.exchange(false)) {
    controls_.PostToUi([this, alive = std::weak_ptr<int>(life_token_)] {
      if (alive.lock()) ProbeOrDefer();
    });
  }
}

JobReport CQZ670xWriteEepromMPUtyDlg::LastJobReport() const {
  if (JobActive()) return JobReport{};
  return job_report_;
}

// --- job steps -----------------------------------------------------------------------------

bool CQZ670xWriteEepromMPUtyDlg::WorkerShouldGoOn() const { return WorkerRunning.load() != 0; }

void CQZ670xWriteEepromMPUtyDlg::SetJobProgress(int position) {
  controls_.SetProgress(ctl::kProgress, position);
}

bool CQZ670xWriteEepromMPUtyDlg::Transfer(std::uint16_t address, bool read, std::uint8_t count,
                                          std::uint8_t* buffer) {
  ++job_report_.transfers;
  return PacedEepromTransfer(Link, ReportSequence, address, read, count, buffer);
}

HResult CQZ670xWriteEepromMPUtyDlg::ClearHeader() {
  if (!WorkerShouldGoOn()) return E_FAIL;
  std::uint8_t zeros[kHeaderSize] = {};
  return Transfer(0, false, kHeaderSize, zeros) ? S_OK : E_FAIL;
}

HResult CQZ670xWriteEepromMPUtyDlg::ReadHeader() {
  if (!WorkerShouldGoOn()) return E_FAIL;
  return Transfer(0, true, kHeaderSize, ReadBackImage.data()) ? S_OK : E_FAIL;
}

HResult CQZ670xWriteEepromMPUtyDlg::WriteBody() {
  bool written = WorkerShouldGoOn();
  if (written) {
    SetJobProgress(0);
    // from the top chunk down to address 8; the header stays clear until the commit
    const int top = static_cast<int>(WriteLength) - kHeaderSize;
    int address = top;
    int chunks = 0;
    while (address >= kHeaderSize) {
      if (!WorkerShouldGoOn() || !Transfer(static_cast<std::uint16_t>(address), false, kBodyChunk,
                                           WriteImage.data() + address)) {
        written = false;
        break;
      }
      address -= kBodyChunk;
      ++chunks;
      SetJobProgress(((800 * chunks) / top) / 2);
    }
  }
  if (!written) {
    ShowMessage(msg::kFailToWriteEeprom, msg::kCaptionWrite, MessageIcon::kStop);
    return E_FAIL;
  }
  SetJobProgress(kProgressHalf);
  return S_OK;
}

HResult CQZ670xWriteEepromMPUtyDlg::ReadBackAll() {
  bool read = WorkerShouldGoOn();
  if (read) {
    const int length = WriteLength;
    int address = 0;
    std::uint8_t chunk = kFirstReadChunk;
    while (address < length) {
      if (!WorkerShouldGoOn() || !Transfer(static_cast<std::uint16_t>(address), true, chunk,
                                           ReadBackImage.data() + address)) {
        read = false;
        break;
      }
      address += chunk;
      SetJobProgress(kProgressHalf + ((kProgressFull * address) / length) / 2);
      chunk = static_cast<std::uint8_t>(length - address < kBodyChunk ? length - address
                                                                      : kBodyChunk);
    }
  }
  if (!read) {
    ShowMessage(msg::kFailToReadEeprom, msg::kCaptionRead, MessageIcon::kStop);
    return E_FAIL;
  }
  SetJobProgress(kProgressFull);
  return S_OK;
}

HResult CQZ670xWriteEepromMPUtyDlg::CommitHeader() {
  const auto equal = [this](std::size_t from, std::size_t count) {
    for (std::size_t i = from; i < from + count; ++i) {
      if (WriteImage[i] != ReadBackImage[i]) return false;
    }
    return true;
  };

  // bytes 5..7
  if (!WorkerShouldGoOn()) return E_FAIL;
  if (!Transfer(kHeaderTailAddress, false, kHeaderTailSize, WriteImage.data() + kHeaderTailAddress)) {
    return E_FAIL;
  }
  if (!WorkerShouldGoOn()) return E_FAIL;
  if (!Transfer(kHeaderTailAddress, true, kHeaderTailSize,
                ReadBackImage.data() + kHeaderTailAddress)) {
    return E_FAIL;
  }
  if (!equal(kHeaderTailAddress, kHeaderTailSize)) return E_FAIL;

  // bytes 0..4: the header turns valid only with this last write
  if (!Transfer(0, false, kHeaderHeadSize, WriteImage.data())) return E_FAIL;
  if (!WorkerShouldGoOn()) return E_FAIL;
  if (!Transfer(0, true, kHeaderHeadSize, ReadBackImage.data())) return E_FAIL;
  return equal(0, kHeaderHeadSize) ? S_OK : E_FAIL;
}

}  // namespace qz
