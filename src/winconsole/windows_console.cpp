#include "winconsole/windows_console.h"

#include <csignal>
#include <iostream>

#include "image/utf16.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace qz::winconsole {

namespace {

// How long a closing console waits for the command to stop and save, within the time the
// system gives a console program before it ends it.
constexpr DWORD kCloseGraceMs = 4500;

// Bytes of an incomplete UTF-8 character at the end of `text` (0 when it ends whole).
std::size_t IncompleteTail(const std::string& text) {
  const std::size_t n = text.size();
  for (std::size_t back = 1; back <= 3 && back <= n; ++back) {
    const auto byte = static_cast<unsigned char>(text[n - back]);
    if ((byte & 0xC0) == 0x80) continue;  // continuation: look further back
    std::size_t length = 1;
    if ((byte & 0xE0) == 0xC0) length = 2;
    else if ((byte & 0xF0) == 0xE0) length = 3;
    else if ((byte & 0xF8) == 0xF0) length = 4;
    return length > back ? back : 0;
  }
  return 0;
}

// Collects UTF-8 bytes and writes whole characters to the console as UTF-16.
class ConsoleBuffer final : public std::streambuf {
 public:
  explicit ConsoleBuffer(HANDLE console) : console_(console) {}
  ~ConsoleBuffer() override { (void)sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      pending_.push_back(traits_type::to_char_type(c));
      if (c == '\n') (void)sync();
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    pending_.append(text, static_cast<std::size_t>(count));
    return count;
  }
  int sync() override {
    const std::size_t tail = IncompleteTail(pending_);
    const std::string_view whole = std::string_view(pending_).substr(0, pending_.size() - tail);
    const std::u16string wide = Utf8ToUtf16(whole);
    pending_.erase(0, pending_.size() - tail);
    std::size_t done = 0;
    while (done < wide.size()) {
      DWORD written = 0;
      const auto chunk = static_cast<DWORD>(std::min<std::size_t>(wide.size() - done, 8192));
      if (WriteConsoleW(console_, reinterpret_cast<const wchar_t*>(wide.data()) + done, chunk,
                        &written, nullptr) == FALSE ||
          written == 0) {
        return -1;
      }
      done += written;
    }
    return 0;
  }

 private:
  HANDLE console_;
  std::string pending_;
};

// The console behind a standard handle, or null when the handle is a file, a pipe or nothing.
HANDLE ConsoleOf(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  DWORD mode = 0;
  if (handle == nullptr || handle == INVALID_HANDLE_VALUE ||
      GetConsoleMode(handle, &mode) == FALSE) {
    return nullptr;
  }
  return handle;
}

void (*record_signal)(int) = nullptr;
bool keep_catching_events = false;
// Per signal: still caught (a signal that is not kept is caught once).
LONG volatile int_armed = 0;
LONG volatile term_armed = 0;

BOOL WINAPI OnConsoleControl(DWORD event) {
  const bool interrupt = event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT;
  LONG volatile* armed = interrupt ? &int_armed : &term_armed;
  const LONG was_armed = keep_catching_events ? InterlockedCompareExchange(armed, 1, 1)
                                             : InterlockedExchange(armed, 0);
  if (was_armed == 0 || record_signal == nullptr) return FALSE;  // the default: the process ends
  record_signal(interrupt ? SIGINT : SIGTERM);
  if (!interrupt) Sleep(kCloseGraceMs);  // returning would end the process at once
  return TRUE;
}

}  // namespace

std::vector<std::string> WideCommandLineArguments() {
  std::vector<std::string> arguments;
  int count = 0;
  LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &count);
  if (wide == nullptr) return arguments;
  for (int i = 0; i < count; ++i) {
    const std::wstring_view text(wide[i]);
    arguments.push_back(Utf16ToUtf8(std::u16string(text.begin(), text.end())));
  }
  LocalFree(wide);
  return arguments;
}

ConsoleStreams::ConsoleStreams() {
  if (HANDLE out = ConsoleOf(STD_OUTPUT_HANDLE)) {
    // the station's live view redraws its lines with terminal sequences (Windows 10 and later)
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode) != FALSE) {
      (void)SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
    std::cout.flush();
    out_ = std::make_unique<ConsoleBuffer>(out);
    previous_out_ = std::cout.rdbuf(out_.get());
  }
  if (HANDLE err = ConsoleOf(STD_ERROR_HANDLE)) {
    std::cerr.flush();
    err_ = std::make_unique<ConsoleBuffer>(err);
    previous_err_ = std::cerr.rdbuf(err_.get());
  }
}

ConsoleStreams::~ConsoleStreams() {
  if (out_) {
    std::cout.flush();
    std::cout.rdbuf(previous_out_);
  }
  if (err_) {
    std::cerr.flush();
    std::cerr.rdbuf(previous_err_);
  }
}

void CatchConsoleControl(void (*record)(int), bool keep_catching) {
  record_signal = record;
  keep_catching_events = keep_catching;
  InterlockedExchange(&int_armed, 1);
  InterlockedExchange(&term_armed, 1);
  (void)SetConsoleCtrlHandler(OnConsoleControl, TRUE);
}

void ReleaseConsoleControl() {
  (void)SetConsoleCtrlHandler(OnConsoleControl, FALSE);
  InterlockedExchange(&int_armed, 0);
  InterlockedExchange(&term_armed, 0);
}

}  // namespace qz::winconsole
