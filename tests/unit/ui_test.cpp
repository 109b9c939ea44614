#include "util/ui.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/testing.h"

namespace kelv {
namespace {

using testing::EnvVar;
using testing::read_file;
using testing::TempDir;
using util::ui::Level;

// Points descriptor 2 at a fresh file while alive; `text` returns what was
// written to it so far.
class StderrToFile {
 public:
  StderrToFile() : path_(dir_ / "stderr") {
    std::fflush(stderr);
    saved_ = ::dup(2);
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    EXPECT_GE(saved_, 0);
    EXPECT_GE(fd, 0);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~StderrToFile() { restore(); }
  StderrToFile(const StderrToFile&) = delete;
  StderrToFile& operator=(const StderrToFile&) = delete;

  std::string text() const { return read_file(path_); }

  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }

 private:
  TempDir dir_;
  std::filesystem::path path_;
  int saved_ = -1;
};

TEST(UiTagged, Plain) {
  struct Case {
    Level level;
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {Level::ok, "done", "OK   done"},
      {Level::fail, "boom", "FAIL boom"},
      {Level::warn, "x", "WARN x"},
      {Level::note, "fyi: a b", "NOTE fyi: a b"},
      {Level::ok, "", "OK"},
      {Level::fail, "", "FAIL"},
      {Level::warn, " ", "WARN  "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(util::ui::tagged(c.level, c.text, false), c.line);
  }
}

TEST(UiTagged, ColouredPaddingLiesInsideTheColour) {
  struct Case {
    Level level;
    const char* text;
    const char* line;
  };
  const Case cases[] = {
      {Level::ok, "done", "\x1b[1;32mOK  \x1b[0m done"},
      {Level::fail, "boom", "\x1b[1;31mFAIL\x1b[0m boom"},
      {Level::warn, "x", "\x1b[1;33mWARN\x1b[0m x"},
      {Level::note, "n", "\x1b[1;36mNOTE\x1b[0m n"},
      {Level::fail, "", "\x1b[1;31mFAIL\x1b[0m"},
      {Level::ok, "", "\x1b[1;32mOK\x1b[0m"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::string(c.line)));
    EXPECT_EQ(util::ui::tagged(c.level, c.text, true), c.line);
  }
}

TEST(UiTagged, TextIsCopiedAsIs) {
  const std::string text("multi\nline\0\x1b[0m", 15);
  EXPECT_EQ(util::ui::tagged(Level::note, text, false), "NOTE " + text);
}

TEST(UiColor, Environment) {
  EnvVar no_color("NO_COLOR"), term("CARGO_TERM_COLOR");
  struct Case {
    std::optional<std::string> no_color, term;
    bool expected;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, true},
      {std::nullopt, "auto", true},
      {std::nullopt, "always", true},
      {std::nullopt, "never", false},
      {std::nullopt, "Never", true},
      {std::nullopt, "never ", true},
      {std::nullopt, "", true},
      {std::nullopt, "\xFF\xFE", true},
      {"1", "always", false},
      {"0", std::nullopt, false},  // any non-empty value counts
      {"", "always", true},
      {"", std::nullopt, true},
      {"", "never", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.no_color) + " " + ::testing::PrintToString(c.term));
    no_color.set(c.no_color);
    term.set(c.term);
    EXPECT_EQ(util::ui::color(), c.expected);
  }
}

// Standard error redirected to a file, which is not a terminal: colour only
// when asked for with CARGO_TERM_COLOR=always and not forbidden.
TEST(UiSay, ToAFile) {
  EnvVar no_color("NO_COLOR"), term("CARGO_TERM_COLOR");
  struct Case {
    std::optional<std::string> no_color, term;
    std::string written;
  };
  const Case cases[] = {
      {std::nullopt, std::nullopt, "WARN x\n"},
      {std::nullopt, "auto", "WARN x\n"},
      {std::nullopt, "always", "\x1b[1;33mWARN\x1b[0m x\n"},
      {std::nullopt, "never", "WARN x\n"},
      {"1", "always", "WARN x\n"},
      {"", "always", "\x1b[1;33mWARN\x1b[0m x\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.no_color) + " " + ::testing::PrintToString(c.term));
    no_color.set(c.no_color);
    term.set(c.term);
    std::string got;
    {
      StderrToFile capture;
      util::ui::say(Level::warn, "x");
      got = capture.text();
    }
    EXPECT_EQ(got, c.written);
  }
}

TEST(UiSay, SeveralMessagesAreSeparateLines) {
  EnvVar no_color("NO_COLOR", std::nullopt), term("CARGO_TERM_COLOR", std::nullopt);
  std::string got;
  {
    StderrToFile capture;
    util::ui::say(Level::ok, "done");
    util::ui::say(Level::fail, "");
    util::ui::say(Level::note, "last");
    got = capture.text();
  }
  EXPECT_EQ(got, "OK   done\nFAIL\nNOTE last\n");
}

TEST(UiSay, ConcurrentMessagesDoNotInterleave) {
  EnvVar no_color("NO_COLOR", std::nullopt), term("CARGO_TERM_COLOR", "always");
  constexpr int kThreads = 8, kEach = 200;
  const std::string text(300, 'm');
  std::string got;
  {
    StderrToFile capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([&] {
        for (int i = 0; i < kEach; ++i) util::ui::say(Level::note, text);
      });
    for (auto& th : threads) th.join();
    got = capture.text();
  }
  const std::string line = "\x1b[1;36mNOTE\x1b[0m " + text + "\n";
  std::string expected;
  for (int i = 0; i < kThreads * kEach; ++i) expected += line;
  EXPECT_EQ(got.size(), expected.size());
  EXPECT_TRUE(got == expected);
}

TEST(UiSay, WriteErrorsAreIgnored) {
  std::fflush(stderr);
  const int saved = ::dup(2);
  ASSERT_GE(saved, 0);
  const int full = ::open("/dev/full", O_WRONLY | O_CLOEXEC);
  if (full >= 0) {
    ::dup2(full, 2);
    ::close(full);
    util::ui::say(Level::warn, "no space for this");
  }
  ::close(2);
  util::ui::say(Level::warn, "nobody reads this");
  ::dup2(saved, 2);
  ::close(saved);
}

}  // namespace
}  // namespace kelv
