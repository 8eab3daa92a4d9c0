// Figures of the image work: loading and checking one image file (from the page cache), the
// CRC of one image, and one Save BIN (which flushes the new file to disk before renaming it).
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "base/clock.h"
#include "dialog/control_table.h"
#include "dialog/headless_controls.h"
#include "dialog/qz670x_dialog.h"
#include "hid/hid_backend.h"
#include "image/image_file.h"
#include "image/image_format.h"
#include "image/sample_image.h"

namespace {

// A scratch directory with one generated image in it, and a dialog without a chip.
class Bench {
 public:
  Bench() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/qz-image-bench-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    origin_ = dir_ + "/origin.bin";
    update_ = dir_ + "/update.bin";
    auto image = std::make_unique<qz::ImageBuffer>();
    qz::BuildSampleImage({}, *image);
    qz::AtomicFileWriter writer;
    ok_ = !dir_.empty() && writer.Open(origin_.c_str()) &&
          writer.Write(image->data(), qz::kImageSize) && writer.Commit();
    dialog_ = std::make_unique<qz::CQZ670xWriteEepromMPUtyDlg>(controls_, backend_, clock_,
                                                               nullptr, "qz670x-bench");
  }
  ~Bench() {
    dialog_.reset();
    std::error_code error;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, error);
  }

  [[nodiscard]] bool ok() const { return ok_; }
  qz::HeadlessControls& controls() { return controls_; }
  qz::CQZ670xWriteEepromMPUtyDlg& dialog() { return *dialog_; }
  const std::string& origin() const { return origin_; }
  const std::string& update() const { return update_; }

 private:
  std::string dir_;
  std::string origin_;
  std::string update_;
  bool ok_ = false;
  qz::HeadlessControls controls_;
  qz::NullHidBackend backend_;
  qz::ManualClock clock_;
  std::unique_ptr<qz::CQZ670xWriteEepromMPUtyDlg> dialog_;
};

void BM_LoadImageFile(benchmark::State& state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot write the sample image");
    return;
  }
  for (auto _ : state) {
    const qz::HResult result = bench.dialog().LoadImageFile(bench.origin().c_str());
    if (result != qz::S_OK) state.SkipWithError("the sample image did not load");
    benchmark::DoNotOptimize(result);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(qz::kImageSize));
}
BENCHMARK(BM_LoadImageFile);

void BM_Crc16Image(benchmark::State& state) {
  auto image = std::make_unique<qz::ImageBuffer>();
  qz::BuildSampleImage({}, *image);
  for (auto _ : state) {
    std::uint16_t crc = qz::Crc16Update(0, image->data(), qz::kCheckedLength);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(qz::kCheckedLength));
}
BENCHMARK(BM_Crc16Image);

void BM_SaveBin(benchmark::State& state) {
  Bench bench;
  if (!bench.ok()) {
    state.SkipWithError("cannot write the sample image");
    return;
  }
  qz::HeadlessControls& controls = bench.controls();
  controls.SetText(qz::ctl::kOriginPath, bench.origin());
  controls.SetText(qz::ctl::kUpdatePath, bench.update());
  controls.SetChecked(qz::ctl::kSerialBox, true);
  controls.SetText(qz::ctl::kSerialEdit, "QZ-BENCH-0001");
  for (auto _ : state) {
    controls.ClearMessages();
    bench.dialog().OnSaveBin();
    if (controls.MessageTexts() != std::vector<std::string>{"Save File OK!"}) {
      state.SkipWithError("Save BIN failed");
    }
  }
}
BENCHMARK(BM_SaveBin)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
