#pragma once
// Windows has no fork(): a test that needs a second process starts its own test program again,
// running one child test that does the second process's part.
#ifdef _WIN32

#include <string>

namespace qz::test {

// The environment variable a child test finds its argument in; without it the child test
// returns at once (it is skipped in an ordinary run).
inline constexpr const char* kChildArgument = "QZ_TEST_CHILD_ARGUMENT";

class ChildTest {
 public:
  // Starts this program again with --gtest_filter=`test_name` and `argument` in
  // kChildArgument. A failure to start fails the current test.
  ChildTest(const std::string& test_name, const std::string& argument);
  ~ChildTest();  // ends the child if it still runs
  ChildTest(const ChildTest&) = delete;
  ChildTest& operator=(const ChildTest&) = delete;

  [[nodiscard]] bool Started() const { return process_ != nullptr; }
  // Waits for the child's end; its exit code, or -1.
  int Wait();
  // Ends the child at once, as a process killed in the middle of its work (TerminateProcess).
  void Kill();

 private:
  void* process_ = nullptr;
};

// The argument of a child test, or empty in an ordinary run.
[[nodiscard]] std::string ChildArgument();

}  // namespace qz::test

#endif
