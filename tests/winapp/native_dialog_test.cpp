// The native dialog under the platform's own dialog manager: made from the in-memory template,
// its controls found by ID where the template puts them, one whole write to the virtual chip
// through its buttons, and its ways out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

// Our headers before the platform's: <windows.h> makes S_OK and E_FAIL macros.
#include "base/clock.h"
#include "cli/options/device_options.h"
#include "dialog/control_table.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"
#include "sim/virtual_chip.h"
#include "support/sample_images.h"

#include "winapp/pump_until.h"
#include "winapp/native_dialog.h"

#include <commctrl.h>

namespace qz::winapp {
namespace {

// Long enough for a whole job under Wine; the job itself runs on virtual time.
constexpr auto kJobTimeout = std::chrono::minutes(3);

class NativeDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeviceConfig config;
    config.simulate = 1;
    config.sim_mode = "rom";
    std::string error;
    session_ = DeviceSession::Create(config, &error, &clock_);
    ASSERT_NE(session_, nullptr) << error;
    dialog_ = std::make_unique<NativeDialog>(GetModuleHandleW(nullptr), session_->Backend(),
                                             session_->GetClock(), session_->Hotplug(),
                                             "qz670x-mp");
    dialog_->SetMessagePresenter(
        [this](const MessageBoxRequest& message) { messages_.push_back(message.text); });
    ASSERT_TRUE(dialog_->Create()) << GetLastError();
  }

  void TearDown() override {
    dialog_.reset();
    std::string error;
    if (session_) {
      EXPECT_TRUE(session_->Finish(&error)) << error;
    }
  }

  HWND Item(int id) const { return GetDlgItem(dialog_->Window(), id); }

  // Handles the dialog's messages until `done` holds or the time-out passes.
  template <typename Predicate>
  bool PumpUntil(Predicate done, std::chrono::steady_clock::duration timeout) {
    return winapp::PumpUntil(*dialog_, done, timeout);
  }

  ManualClock clock_;
  std::unique_ptr<DeviceSession> session_;
  std::unique_ptr<NativeDialog> dialog_;
  std::vector<std::string> messages_;
};

std::wstring ClassOf(HWND window) {
  wchar_t name[64] = {};
  GetClassNameW(window, name, 64);
  return name;
}

std::wstring TextOf(HWND window) {
  wchar_t text[256] = {};
  GetWindowTextW(window, text, 256);
  return text;
}

TEST_F(NativeDialogTest, OpensWithEveryControlOfTheTableWhereTheTemplatePutsIt) {
  const HWND window = dialog_->Window();
  EXPECT_EQ(TextOf(window), Widen(kWindowTitle));
  const LONG style = GetWindowLongW(window, GWL_STYLE);
  EXPECT_EQ(style & WS_SYSMENU, 0);  // no close box
  EXPECT_NE(style & WS_CAPTION, 0);
  EXPECT_NE(GetWindowLongW(window, GWL_EXSTYLE) & WS_EX_APPWINDOW, 0);

  RECT size{0, 0, kDialogWidthDu, kDialogHeightDu};
  MapDialogRect(window, &size);
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, size.right);
  EXPECT_EQ(client.bottom, size.bottom);

  const std::vector<int> hidden_at_start = {ctl::kUserMode, ctl::kReadFromFile};
  for (const ControlSpec& spec : kControlTable) {
    if (spec.id == ctl::kNone) continue;
    SCOPED_TRACE(spec.id);
    HWND item = Item(spec.id);
    ASSERT_NE(item, nullptr);
    const std::wstring expected_class = spec.kind == ControlKind::kEdit          ? L"Edit"
                                        : spec.kind == ControlKind::kLabel       ? L"Static"
                                        : spec.kind == ControlKind::kProgressBar ? PROGRESS_CLASSW
                                                                                 : L"Button";
    EXPECT_EQ(_wcsicmp(ClassOf(item).c_str(), expected_class.c_str()), 0);
    // the dialog manager converts the place and the size each on its own
    RECT place{spec.x, spec.y, spec.width, spec.height};
    MapDialogRect(window, &place);
    place.right += place.left;
    place.bottom += place.top;
    RECT actual;
    GetWindowRect(item, &actual);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&actual), 2);
    EXPECT_EQ(actual.left, place.left);
    EXPECT_EQ(actual.top, place.top);
    EXPECT_EQ(actual.right, place.right);
    EXPECT_EQ(actual.bottom, place.bottom);
    const bool hidden =
        !spec.visible ||
        std::find(groups::kHiddenIdRows.begin(), groups::kHiddenIdRows.end(), spec.id) !=
            groups::kHiddenIdRows.end() ||
        std::find(hidden_at_start.begin(), hidden_at_start.end(), spec.id) != hidden_at_start.end();
    EXPECT_EQ((GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE) == 0, hidden);
  }

  // the initialisation's defaults, as the platform's controls hold them
  EXPECT_EQ(TextOf(Item(ctl::kVendorId)), L"1D6C");
  EXPECT_EQ(TextOf(Item(ctl::kProductId)), L"6841");
  EXPECT_EQ(IsDlgButtonChecked(window, ctl::kDeveloperMode), BST_CHECKED);
  EXPECT_EQ(SendMessageW(Item(ctl::kProgress), PBM_GETRANGE, FALSE, 0), 100);
  EXPECT_FALSE(IsWindowEnabled(Item(ctl::kManufacturerEdit)));
  EXPECT_TRUE(IsWindowEnabled(Item(ctl::kSaveBin)));

  // texts cross as UTF-16 both ways, whatever the system's code page
  const std::string text = "Gr\xC3\xBC\xC3\x9F \xE9\x9F\xB3\xE9\xA2\x91 \xF0\x9F\x8E\xA7";
  dialog_->Dialog()->Controls().SetText(ctl::kManufacturerEdit, text);
  EXPECT_EQ(TextOf(Item(ctl::kManufacturerEdit)), L"Gr\u00FC\u00DF \u97F3\u9891 \U0001F3A7");
  EXPECT_EQ(dialog_->Dialog()->Controls().Text(ctl::kManufacturerEdit), text);

  // a click on a mode radio runs the rules: Factory mode disables the update-file controls
  SendMessageW(Item(ctl::kFactoryMode), BM_CLICK, 0, 0);
  EXPECT_EQ(IsDlgButtonChecked(window, ctl::kDeveloperMode), BST_UNCHECKED);
  EXPECT_FALSE(IsWindowEnabled(Item(ctl::kSaveBin)));
}

TEST_F(NativeDialogTest, WritesTheVirtualChipThroughItsButtons) {
  test::ScratchDir dir;
  const std::vector<std::uint8_t> image = test::SampleBytes();
  test::WriteBytes(dir.File("sample.bin"), image);
  SetDlgItemTextW(dialog_->Window(), ctl::kOriginPath, Widen(dir.File("sample.bin")).c_str());

  SendMessageW(Item(ctl::kWriteEeprom), BM_CLICK, 0, 0);
  ASSERT_TRUE(PumpUntil([&] { return !messages_.empty(); }, kJobTimeout));
  EXPECT_EQ(messages_, std::vector<std::string>{std::string(msg::kWriteOk)});
  ASSERT_TRUE(PumpUntil([&] { return IsWindowEnabled(Item(ctl::kWriteEeprom)) != FALSE; },
                        kJobTimeout));
  EXPECT_EQ(SendMessageW(Item(ctl::kProgress), PBM_GETPOS, 0, 0), 100);
  const std::vector<std::uint8_t> eeprom = session_->Chip()->Eeprom();
  EXPECT_TRUE(std::equal(image.begin(), image.begin() + 0x4010, eeprom.begin()));

  SendMessageW(Item(ctl::kExit), BM_CLICK, 0, 0);
  EXPECT_TRUE(dialog_->Ended());
  EXPECT_EQ(dialog_->Dialog(), nullptr);
}

TEST_F(NativeDialogTest, EscapeDuringAJobAsksAndNoLetsTheJobFinishThenEscapeEnds) {
  int questions = 0;
  dialog_->SetConfirmer([&](const std::string& text) {
    EXPECT_EQ(text, msg::kStopWriteQuestion);
    ++questions;
    return false;
  });
  test::ScratchDir dir;
  test::WriteBytes(dir.File("sample.bin"), test::SampleBytes());
  SetDlgItemTextW(dialog_->Window(), ctl::kOriginPath, Widen(dir.File("sample.bin")).c_str());

  // the worker holds the job and waits for this thread to show its first step
  SendMessageW(Item(ctl::kWriteEeprom), BM_CLICK, 0, 0);
  ASSERT_TRUE(dialog_->Dialog()->JobActive());
  SendMessageW(dialog_->Window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_EQ(questions, 1);
  EXPECT_FALSE(dialog_->Ended());
  ASSERT_TRUE(PumpUntil([&] { return !messages_.empty(); }, kJobTimeout));
  EXPECT_EQ(messages_, std::vector<std::string>{std::string(msg::kWriteOk)});
  ASSERT_TRUE(PumpUntil([&] { return !dialog_->Dialog()->JobActive(); }, kJobTimeout));

  SendMessageW(dialog_->Window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
  EXPECT_EQ(questions, 1);  // no job, no question
  EXPECT_TRUE(dialog_->Ended());
}

TEST_F(NativeDialogTest, ASecondStartBringsThisDialogForwardAndEndsAtOnce) {
  // the program beside this test's build: ..\src\winapp\qz670x-mp.exe
  std::wstring program(MAX_PATH, L'\0');
  program.resize(GetModuleFileNameW(nullptr, program.data(), MAX_PATH));
  program.resize(program.find_last_of(L'\\'));
  program.resize(program.find_last_of(L'\\') + 1);
  program += L"src\\winapp\\qz670x-mp.exe";
  std::wstring command_line = L"\"" + program + L"\" --simulate";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  ASSERT_TRUE(CreateProcessW(program.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0,
                             nullptr, nullptr, &startup, &process))
      << GetLastError();
  // this dialog answers its messages while the second start looks for it
  ASSERT_TRUE(PumpUntil([&] { return WaitForSingleObject(process.hProcess, 0) == WAIT_OBJECT_0; },
                        std::chrono::minutes(1)));
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  EXPECT_EQ(code, 0u);
  EXPECT_FALSE(dialog_->Ended());
  EXPECT_EQ(FindWindowW(nullptr, Widen(kWindowTitle).c_str()), dialog_->Window());
}

}  // namespace
}  // namespace qz::winapp
