#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "base/clock.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hid_backend.h"
#include "support/sample_images.h"

namespace qz::test {

// A dialog on in-memory controls with no chip, and a scratch directory for its files. The
// dialog is not initialised (no worker runs): tests set up the controls they need.
class DialogTest : public testing::Test {
 protected:
  DialogTest()
      : dialog_(std::make_unique<CQZ670xWriteEepromMPUtyDlg>(controls_, backend_, clock_, nullptr,
                                                             "qz670x-test")) {}

  // Writes a generated image into the scratch directory; returns its path.
  std::string WriteSample(const std::string& name, const SampleImageOptions& options = {}) {
    const std::string path = dir_.File(name);
    WriteBytes(path, SampleBytes(options));
    return path;
  }
  std::string WriteSample(const std::string& name, SampleVariant variant) {
    SampleImageOptions options;
    options.variant = variant;
    return WriteSample(name, options);
  }

  std::vector<std::string> Messages() const { return controls_.MessageTexts(); }

  HeadlessControls controls_;
  NullHidBackend backend_;
  ManualClock clock_;
  ScratchDir dir_;
  std::unique_ptr<CQZ670xWriteEepromMPUtyDlg> dialog_;
};

}  // namespace qz::test
