#pragma once
// An output stream's buffer for tests of interrupted commands: it collects what the command
// prints and raises a signal once the text holds a chosen piece.

#include <gtest/gtest.h>

#include <csignal>
#include <streambuf>
#include <string>
#include <utility>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#endif

#include "cli/interrupt.h"

namespace qz::test {

// Collects what the command prints and raises `signal` once the text holds `trigger`.
class TriggerBuffer final : public std::streambuf {
 public:
  TriggerBuffer(std::string trigger, int signal) : trigger_(std::move(trigger)), signal_(signal) {}
  [[nodiscard]] const std::string& Text() const { return text_; }

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      Append(std::string(1, traits_type::to_char_type(c)));
    }
    return traits_type::not_eof(c);
  }
  std::streamsize xsputn(const char* text, std::streamsize count) override {
    Append(std::string(text, static_cast<std::size_t>(count)));
    return count;
  }

 private:
  void Append(const std::string& piece) {
    text_ += piece;
    if (fired_ || trigger_.empty() || text_.find(trigger_) == std::string::npos) return;
    fired_ = true;
#ifdef _WIN32
    if (signal_ == SIGINT) {
      const int before = cli::ScopedInterruptHandlers::Count();
      ASSERT_NE(GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0), FALSE) << GetLastError();
      while (cli::ScopedInterruptHandlers::Count() == before) Sleep(1);  // the handler's own thread
      return;
    }
#endif
    std::raise(signal_);
  }

  std::string trigger_;
  int signal_;
  std::string text_;
  bool fired_ = false;
};

}  // namespace qz::test
