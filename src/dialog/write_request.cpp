// "Write EEPROM": turns the operator's choices into one job for the programming worker.
#include <algorithm>
#include <string>
#include <utility>

#include "base/hex_text.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "image/image_format.h"
#include "image/write_length.h"

namespace qz {

void CQZ670xWriteEepromMPUtyDlg::OnWriteEeprom() {
  // The job owns WriteImage and the link until its close step; the button is disabled then,
  // but a second call must not touch them either.
  if (JobActive()) return;

  last_request_ = WriteRequestResult{};
  cancel_request_ = false;
  const auto give_up = [this](WriteRequestStep step) {
    last_request_.stopped_at = step;
    controls_.SetEnabled(ctl::kWriteEeprom, true);
  };

  controls_.SetEnabled(ctl::kWriteEeprom, false);
  controls_.SetText(ctl::kStatusMark, " ");
  controls_.SetProgress(ctl::kProgress, 0);
  WriteImage.Clear();
  WriteLength =
      controls_.IsChecked(ctl::kFactoryMode) ? kFactoryWriteLength : kDeveloperWriteLength;

  // load, patch and check the image
  const std::optional<std::string> path = PathEditText(ctl::kOriginPath);
  if (!Succeeded(LoadImageFile(path ? path->c_str() : nullptr))) {
    return give_up(WriteRequestStep::kLoadImage);
  }
  std::copy_n(FileImage.bytes.begin(), kImageSize, WriteImage.bytes.begin());

  if (!Succeeded(ApplyDescriptorUpdates(WriteImage, controls_.IsChecked(ctl::kUseEvb),
                                        msg::kReplaceStringError,
                                        &last_request_.string_area_refused))) {
    return give_up(WriteRequestStep::kDescriptorUpdates);
  }
  FwInfo.found = 0;
  CId.found = 0;
  std::string why;
  if (!Succeeded(CheckImageHeader(&WriteImage, HeaderVariant, FwInfo, CId, &why))) {
    ShowRefusal(msg::kFwError, std::move(why));
    return give_up(WriteRequestStep::kHeaderCheck);
  }

  // firmware ID: shown, and marked when missing or not the expected one
  const std::uint16_t firmware_id = FwInfo.info_words[kFirmwareIdWord];
  if (FwInfo.found != 0) {
    controls_.SetText(ctl::kFirmwareId, FormatHex(firmware_id, 4));
  }
  if (FwInfo.found == 0 || firmware_id != ExpectedFirmwareId) {
    controls_.SetText(ctl::kStatusMark, ".");
  }

  // bring the chip into a writable state and open it for the job
  if (NotInRomMode != 0) {
    const HResult erased = EraseEeprom();
    if (!Succeeded(erased) || cancel_request_) {
      controls_.SetEnabled(ctl::kWriteEeprom, true);
      WriteRequested.store(0);
      last_request_.stopped_at =
          Succeeded(erased) ? WriteRequestStep::kCancelled : WriteRequestStep::kErase;
      return;
    }
  }
  if (!Succeeded(PrepareWriteMode())) return give_up(WriteRequestStep::kPrepareWriteMode);
  if (!Succeeded(SearchDevice())) return give_up(WriteRequestStep::kSearch);
  if (cancel_request_) {
    ReleaseDevice();
    return give_up(WriteRequestStep::kCancelled);
  }

  // hand over: everything above is published by the release store of WriteRequested
  last_request_.stopped_at = WriteRequestStep::kRaised;
  job_report_ = JobReport{};
  job_active_.store(true);
  WriteRequested.store(1, std::memory_order_release);
  WakeWorker();
}

}  // namespace qz
