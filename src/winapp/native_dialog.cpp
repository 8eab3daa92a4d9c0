// The dialog object's headers come before the platform's: <windows.h> defines S_OK and E_FAIL
// as macros, which would rewrite the names of our own result codes.
#include "dialog/control_table.h"
#include "dialog/dialog_template.h"
#include "dialog/messages.h"
#include "dialog/qz670x_dialog.h"

#include "winapp/native_dialog.h"

#include <cderr.h>
#include <commctrl.h>
#include <commdlg.h>

#include <utility>
#include <vector>

#include "hid/platform/win32_hotplug.h"

namespace qz::winapp {

namespace {

// Polls a hotplug source that has no window of its own (the virtual chips' bus).
constexpr UINT_PTR kHotplugTimer = 1;
constexpr UINT kHotplugPollMs = 100;

// The open dialog's buffer: the longest path the path edits take, and its terminator.
constexpr DWORD kChooserBufferChars = kMaxChosenPathChars + 1;

}  // namespace

std::optional<std::wstring> ChooseBinFile(HWND owner) {
  // One entry, shown as "All Files (*.bin) " with the pattern " *.bin".
  static constexpr wchar_t kFilter[] = L"All Files (*.bin) \0 *.bin\0";
  std::wstring path(kChooserBufferChars, L'\0');
  OPENFILENAMEW dialog{};
  dialog.lStructSize = sizeof(dialog);
  dialog.hwndOwner = owner;
  dialog.lpstrFilter = kFilter;
  dialog.nFilterIndex = 1;
  dialog.lpstrFile = path.data();
  dialog.nMaxFile = kChooserBufferChars;
  dialog.Flags = OFN_EXPLORER | OFN_NONETWORKBUTTON | OFN_HIDEREADONLY;
  if (GetOpenFileNameW(&dialog) == FALSE) {
    // a path longer than the buffer is refused, not cut: it would name another file
    if (CommDlgExtendedError() == FNERR_BUFFERTOOSMALL) return std::wstring();
    return std::nullopt;
  }
  path.resize(wcsnlen(path.c_str(), path.size()));
  return path;
}

NativeDialog::NativeDialog(HINSTANCE instance, HidBackend& backend, Clock& clock,
                           HotplugSource* hotplug, std::string app_name)
    : instance_(instance),
      backend_(backend),
      clock_(clock),
      polled_hotplug_(hotplug),
      app_name_(std::move(app_name)),
      exit_rules_([this] { return dialog_.get(); }, [this] { EndDialog(); },
                  [this] { return AskStopQuestion(); }) {
  icon_ = static_cast<HICON>(LoadImageW(instance_, MAKEINTRESOURCEW(kMainIconResource),
                                        IMAGE_ICON, 0, 0, LR_DEFAULTSIZE | LR_SHARED));
}

NativeDialog::~NativeDialog() { EndDialog(); }

void NativeDialog::SetMessagePresenter(Win32DialogControls::MessagePresenter presenter) {
  presenter_ = std::move(presenter);
  if (controls_) controls_->SetMessagePresenter(presenter_);
}

bool NativeDialog::Create() {
  // The dialog manager reads the template only while it makes the window.
  const std::vector<std::uint8_t> dialog_template = BuildDialogTemplate();
  window_ = CreateDialogIndirectParamW(
      instance_, reinterpret_cast<const DLGTEMPLATE*>(dialog_template.data()), nullptr,
      &Procedure, reinterpret_cast<LPARAM>(this));
  return window_ != nullptr;
}

void NativeDialog::RunMessageLoop() {
  MSG message;
  while (!ended_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
    // The dialog manager's keys: Tab, the arrows in the radio group, Enter and Escape.
    if (window_ != nullptr && IsDialogMessageW(window_, &message) != FALSE) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

void NativeDialog::PumpMessages() {
  MSG message;
  while (!ended_ && PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE) != FALSE) {
    if (window_ != nullptr && IsDialogMessageW(window_, &message) != FALSE) continue;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

INT_PTR CALLBACK NativeDialog::Procedure(HWND window, UINT message, WPARAM wparam,
                                         LPARAM lparam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<NativeDialog*>(lparam);
    SetWindowLongPtrW(window, DWLP_USER, lparam);
    self->window_ = window;
    self->OnInit();
    return TRUE;  // the focus goes to the first control
  }
  auto* self = reinterpret_cast<NativeDialog*>(GetWindowLongPtrW(window, DWLP_USER));
  return self == nullptr ? FALSE : self->Handle(message, wparam, lparam);
}

void NativeDialog::OnInit() {
  controls_ = std::make_unique<Win32DialogControls>(window_);
  controls_->SetTaskRunner([this](const std::function<void()>& task) { Guarded(task); });
  if (presenter_) controls_->SetMessagePresenter(presenter_);

  HotplugSource* hotplug = polled_hotplug_;
  if (hotplug == nullptr) {
    window_hotplug_ = std::make_unique<Win32HotplugSource>(window_);
    hotplug = window_hotplug_.get();
  }
  dialog_ = std::make_unique<CQZ670xWriteEepromMPUtyDlg>(*controls_, backend_, clock_, hotplug,
                                                         app_name_);
  if (icon_ != nullptr) {
    SendMessageW(window_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon_));
  }
  for (const ControlSpec& spec : kControlTable) {
    if (spec.kind == ControlKind::kEdit) {
      SendDlgItemMessageW(window_, spec.id, EM_LIMITTEXT,
                          static_cast<WPARAM>(EditTextLimit(spec.id)), 0);
    }
  }
  Guarded([this] {
    dialog_->OnInitDialog();
    SetWindowTextW(window_, Widen(kWindowTitle).c_str());
  });
  if (polled_hotplug_ != nullptr) SetTimer(window_, kHotplugTimer, kHotplugPollMs, nullptr);
}

INT_PTR NativeDialog::Handle(UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_COMMAND:
      if (HIWORD(wparam) == BN_CLICKED) OnCommand(LOWORD(wparam));
      return TRUE;
    case WM_CLOSE:
      (void)exit_rules_.Request();
      return TRUE;
    case WM_DEVICECHANGE:
      if (window_hotplug_) {
        window_hotplug_->OnDeviceChange(wparam, lparam);
        DrainHotplug();
      }
      SetWindowLongPtrW(window_, DWLP_MSGRESULT, TRUE);
      return TRUE;
    case WM_TIMER:
      if (wparam == kHotplugTimer) DrainHotplug();
      return TRUE;
    case WM_PAINT:
      if (IsIconic(window_) == FALSE) return FALSE;  // the dialog manager paints
      OnPaint();
      return TRUE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(icon_);
    default:
      if (message == Win32DialogControls::kRunQueuedMessage) {
        if (controls_) controls_->RunQueued();
        return TRUE;
      }
      return FALSE;
  }
}

void NativeDialog::OnCommand(int id) {
  if (id == IDOK || id == IDCANCEL) {
    // Exit, Enter in an edit (Exit is the default button) and Escape: the same way out.
    (void)exit_rules_.Request();
    return;
  }
  if (!dialog_) return;
  if (id == ctl::kBrowseOrigin || id == ctl::kBrowseUpdate) {
    Guarded([this, id] { Browse(id == ctl::kBrowseOrigin ? ctl::kOriginPath : ctl::kUpdatePath); });
    return;
  }
  Guarded([this, id] { (void)dialog_->OnCommand(id); });
}

void NativeDialog::OnPaint() {
  PAINTSTRUCT paint;
  HDC context = BeginPaint(window_, &paint);
  SendMessageW(window_, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(context), 0);
  const int icon_width = GetSystemMetrics(SM_CXICON);
  const int icon_height = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(window_, &client);
  const int x = (client.right - client.left - icon_width + 1) / 2;
  const int y = (client.bottom - client.top - icon_height + 1) / 2;
  if (icon_ != nullptr) DrawIcon(context, x, y, icon_);
  EndPaint(window_, &paint);
}

void NativeDialog::Browse(int target_edit) {
  const std::optional<std::wstring> path =
      file_chooser_ ? file_chooser_(window_) : ChooseBinFile(window_);
  if (!path) return;  // cancelled: the edit keeps its text
  if (path->empty() || path->size() > static_cast<std::size_t>(kMaxChosenPathChars)) {
    dialog_->ShowMessage(msg::kPathTooLong, {}, MessageIcon::kStop);
    return;
  }
  SetDlgItemTextW(window_, target_edit, path->c_str());
}

void NativeDialog::DrainHotplug() {
  if (!dialog_) return;
  // Each arrival or removal re-runs the dialog's probe rule (which waits while a job runs).
  Guarded([this] { (void)dialog_->DispatchHotplugEvents(); });
}

bool NativeDialog::AskStopQuestion() {
  const std::string question(msg::kStopWriteQuestion);
  if (confirmer_) return confirmer_(question);
  return MessageBoxW(window_, Widen(question).c_str(), Widen(app_name_).c_str(),
                     MB_YESNO | MB_ICONWARNING | MB_DEFBUTTON2) == IDYES;
}

void NativeDialog::EndDialog() {
  if (dialog_) {
    dialog_->OnExit();  // stops and joins the worker, releases the device
    dialog_->DestroyWindow();  // ends the device notifications
    dialog_.reset();
  }
  if (controls_) controls_->Shutdown();
  window_hotplug_.reset();
  if (window_ != nullptr) {
    KillTimer(window_, kHotplugTimer);
    SetWindowLongPtrW(window_, DWLP_USER, 0);
    ::DestroyWindow(window_);
    window_ = nullptr;
  }
  ended_ = true;
}

}  // namespace qz::winapp
