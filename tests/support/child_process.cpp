#ifdef _WIN32
#include "support/child_process.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "base/file_path.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace qz::test {

namespace {

std::wstring Wide(const std::string& utf8) { return PathFromUtf8(utf8).wstring(); }

}  // namespace

ChildTest::ChildTest(const std::string& test_name, const std::string& argument) {
  std::vector<wchar_t> self(32768);
  const DWORD length = GetModuleFileNameW(nullptr, self.data(), static_cast<DWORD>(self.size()));
  std::wstring command = L"\"" + std::wstring(self.data(), length) + L"\" --gtest_filter=" +
                         Wide(test_name);
  // the child inherits this environment: the argument is set for the moment of the start
  const std::wstring variable = Wide(kChildArgument);
  SetEnvironmentVariableW(variable.c_str(), Wide(argument).c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &info);
  SetEnvironmentVariableW(variable.c_str(), nullptr);
  if (started == FALSE) {
    ADD_FAILURE() << "cannot start the child test " << test_name << " (error " << GetLastError()
                  << ")";
    return;
  }
  CloseHandle(info.hThread);
  process_ = info.hProcess;
}

ChildTest::~ChildTest() {
  if (process_ == nullptr) return;
  if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) Kill();
  CloseHandle(process_);
}

int ChildTest::Wait() {
  if (process_ == nullptr) return -1;
  if (WaitForSingleObject(process_, INFINITE) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  if (GetExitCodeProcess(process_, &code) == FALSE) return -1;
  return static_cast<int>(code);
}

void ChildTest::Kill() {
  if (process_ == nullptr) return;
  (void)TerminateProcess(process_, 137);
  (void)WaitForSingleObject(process_, INFINITE);
}

std::string ChildArgument() {
  const wchar_t* value = _wgetenv(Wide(kChildArgument).c_str());
  return value == nullptr ? std::string() : PathToUtf8(std::filesystem::path(value));
}

}  // namespace qz::test
#endif
