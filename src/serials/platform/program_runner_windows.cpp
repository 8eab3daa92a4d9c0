// The program runner on Windows: CreateProcessW with its standard output through a pipe (read
// while it runs), its standard input through a pipe written by a thread of its own (or NUL), its
// standard error on NUL; a time-out terminates it.
#include <windows.h>

#include <algorithm>

#include "image/utf16.h"
#include "serials/program_runner.h"

namespace qz::serials {
namespace {

constexpr std::size_t kMaxOutput = 1 << 20;

// One argument as the C runtime's command-line parser reads it back.
std::wstring Quoted(const std::u16string& arg) {
  const std::wstring text(arg.begin(), arg.end());
  if (!text.empty() && text.find_first_of(L" \t\n\v\"") == std::wstring::npos) return text;
  std::wstring quoted = L"\"";
  std::size_t backslashes = 0;
  for (const wchar_t c : text) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');
  return quoted + L"\"";
}

std::string LastError() {
  return "Windows error " + std::to_string(static_cast<unsigned long>(GetLastError()));
}

// The program's input, written on a thread of its own; closes the pipe when done.
struct Input {
  HANDLE pipe;
  const std::string* text;
};

DWORD WINAPI WriteInput(void* parameter) {
  const Input& feed = *static_cast<const Input*>(parameter);
  std::size_t written = 0;
  while (written < feed.text->size()) {
    DWORD put = 0;
    const DWORD want =
        static_cast<DWORD>(std::min<std::size_t>(feed.text->size() - written, 65536));
    if (!WriteFile(feed.pipe, feed.text->data() + written, want, &put, nullptr)) break;
    written += put;
  }
  CloseHandle(feed.pipe);
  return 0;
}

class WindowsRunner final : public ProgramRunner {
 public:
  ProgramRun Run(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                 const std::string& input) override {
    ProgramRun run;
    if (argv.empty()) return run.problem = "no program named", run;
    std::wstring command;
    for (const std::string& arg : argv) {
      if (!command.empty()) command += L' ';
      command += Quoted(Utf8ToUtf16(arg));
    }
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE read_end = nullptr;
    HANDLE write_end = nullptr;
    if (!CreatePipe(&read_end, &write_end, &inherit, 0)) return run.problem = LastError(), run;
    SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             &inherit, OPEN_EXISTING, 0, nullptr);
    HANDLE in_read = nullptr;
    HANDLE in_write = nullptr;
    if (!input.empty()) {
      if (!CreatePipe(&in_read, &in_write, &inherit, 0)) {
        run.problem = LastError();
        CloseHandle(read_end);
        CloseHandle(write_end);
        if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
        return run;
      }
      SetHandleInformation(in_write, HANDLE_FLAG_INHERIT, 0);
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in_read != nullptr ? in_read : nul;
    startup.hStdOutput = write_end;
    startup.hStdError = nul;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE,
                                        CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process);
    if (!started) run.problem = LastError();
    CloseHandle(write_end);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (in_read != nullptr) CloseHandle(in_read);
    if (!started) {
      CloseHandle(read_end);
      if (in_write != nullptr) CloseHandle(in_write);
      return run;
    }
    // the input is written beside the reads: a program that reads it only in part ends the
    // writes with its end (the pipe breaks)
    Input feed{in_write, &input};
    HANDLE writer =
        in_write != nullptr ? CreateThread(nullptr, 0, &WriteInput, &feed, 0, nullptr) : nullptr;
    if (in_write != nullptr && writer == nullptr) CloseHandle(in_write);
    // read what it prints while it runs, and the rest once it has ended
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeout.count());
    bool exited = false;
    for (;;) {
      DWORD available = 0;
      while (PeekNamedPipe(read_end, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
        char buffer[4096];
        DWORD got = 0;
        const DWORD want = available < sizeof buffer ? available : DWORD{sizeof buffer};
        if (!ReadFile(read_end, buffer, want, &got, nullptr) || got == 0) break;
        if (run.output.size() < kMaxOutput) run.output.append(buffer, got);
      }
      if (exited) break;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      const ULONGLONG step = deadline - now < 10 ? deadline - now : 10;
      exited = WaitForSingleObject(process.hProcess, static_cast<DWORD>(step)) == WAIT_OBJECT_0;
    }
    if (!exited) {
      TerminateProcess(process.hProcess, 1);
      WaitForSingleObject(process.hProcess, INFINITE);
      run.ending = ProgramRun::Ending::kTimedOut;
    }
    if (writer != nullptr) {
      // a grandchild may still hold the pipe's read end: stop a write that waits for it
      if (WaitForSingleObject(writer, 100) != WAIT_OBJECT_0) CancelSynchronousIo(writer);
      WaitForSingleObject(writer, INFINITE);
      CloseHandle(writer);
    }
    if (!exited) {
    } else {
      DWORD code = 0;
      GetExitCodeProcess(process.hProcess, &code);
      run.ending = ProgramRun::Ending::kExited;
      run.exit_code = static_cast<int>(code);
    }
    CloseHandle(read_end);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return run;
  }
};

}  // namespace

std::unique_ptr<ProgramRunner> MakeProcessRunner() { return std::make_unique<WindowsRunner>(); }

}  // namespace qz::serials
