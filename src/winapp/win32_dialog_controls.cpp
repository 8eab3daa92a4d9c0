#include "winapp/win32_dialog_controls.h"

#include <commctrl.h>

#include <memory>
#include <utility>

#include "image/utf16.h"

namespace qz::winapp {

std::wstring Widen(std::string_view utf8) {
  const std::u16string wide = Utf8ToUtf16(utf8);
  return {wide.begin(), wide.end()};
}

std::string Narrow(std::wstring_view wide) {
  const std::u16string units(wide.begin(), wide.end());
  return Utf16ToUtf8(units);
}

Win32DialogControls::Win32DialogControls(HWND dialog)
    : dialog_(dialog),
      calls_([this] { PostMessageW(dialog_, kRunQueuedMessage, 0, 0); }) {}

Win32DialogControls::~Win32DialogControls() { Shutdown(); }

bool Win32DialogControls::IsChecked(int id) const {
  bool result = false;
  const bool ran = RunOnUi([&] { result = IsDlgButtonChecked(dialog_, id) == BST_CHECKED; });
  return ran && result;
}

void Win32DialogControls::SetChecked(int id, bool checked) {
  RunOnUi([&] { CheckDlgButton(dialog_, id, checked ? BST_CHECKED : BST_UNCHECKED); });
}

bool Win32DialogControls::IsEnabled(int id) const {
  bool result = false;
  const bool ran = RunOnUi([&] {
    HWND item = Item(id);
    result = item != nullptr && IsWindowEnabled(item) != FALSE;
  });
  return ran && result;
}

void Win32DialogControls::SetEnabled(int id, bool enabled) {
  RunOnUi([&] {
    if (HWND item = Item(id)) EnableWindow(item, enabled ? TRUE : FALSE);
  });
}

bool Win32DialogControls::IsVisible(int id) const {
  bool result = false;
  const bool ran = RunOnUi([&] {
    // Visible as far as the control itself is concerned, whether or not the dialog is shown.
    HWND item = Item(id);
    result = item != nullptr && (GetWindowLongW(item, GWL_STYLE) & WS_VISIBLE) != 0;
  });
  return ran && result;
}

void Win32DialogControls::SetVisible(int id, bool visible) {
  RunOnUi([&] {
    if (HWND item = Item(id)) ShowWindow(item, visible ? SW_SHOWNA : SW_HIDE);
  });
}

std::string Win32DialogControls::Text(int id) const {
  std::string result;
  const bool ran = RunOnUi([&] {
    HWND item = Item(id);
    if (item == nullptr) return;
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(item)) + 1, L'\0');
    const int length = GetWindowTextW(item, text.data(), static_cast<int>(text.size()));
    text.resize(length > 0 ? static_cast<std::size_t>(length) : 0);
    result = Narrow(text);
  });
  return ran ? result : std::string();
}

void Win32DialogControls::SetText(int id, std::string_view text) {
  RunOnUi([&, wide = Widen(text)] {
    if (HWND item = Item(id)) SetWindowTextW(item, wide.c_str());
  });
}

void Win32DialogControls::SetProgressRange(int id, int low, int high) {
  RunOnUi([&] { SendDlgItemMessageW(dialog_, id, PBM_SETRANGE32, static_cast<WPARAM>(low), high); });
}

void Win32DialogControls::SetProgress(int id, int position) {
  if (!progress_.NeedsUpdate(id, position, calls_.OnUiThread())) return;
  RunOnUi([&] { SendDlgItemMessageW(dialog_, id, PBM_SETPOS, static_cast<WPARAM>(position), 0); });
}

int Win32DialogControls::Progress(int id) const {
  int result = 0;
  const bool ran = RunOnUi(
      [&] { result = static_cast<int>(SendDlgItemMessageW(dialog_, id, PBM_GETPOS, 0, 0)); });
  return ran ? result : 0;
}

void Win32DialogControls::ShowMessage(const MessageBoxRequest& message) {
  RunOnUi([&] {
    if (presenter_) {
      presenter_(message);
      return;
    }
    UINT icon = 0;
    if (message.icon == MessageIcon::kStop) icon = MB_ICONHAND;
    if (message.icon == MessageIcon::kInformation) icon = MB_ICONASTERISK;
    // the detail, if any, as a second line under the system's text
    MessageBoxW(dialog_, Widen(TextWithDetail(message)).c_str(), Widen(message.caption).c_str(),
                MB_OK | icon);
  });
}

void Win32DialogControls::PostToUi(std::function<void()> task) { calls_.Post(std::move(task)); }

void Win32DialogControls::StopWaitingForUi() { calls_.StopWaiting(); }

}  // namespace qz::winapp
