#include "exec/proc.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "exec/teed.h"
#include "support/testing.h"

namespace kelv {
namespace {

using testing::TempDir;
using testing::test_child_exe;

// Runs the wrapper with test-child as the "compiler".
testing::Outcome through_wrapper(std::vector<std::string> steps,
                                 std::map<std::string, std::optional<std::string>> env = {}) {
  std::vector<std::string> argv = {testing::wrapper_exe(), test_child_exe()};
  argv.insert(argv.end(), steps.begin(), steps.end());
  env.emplace("KELV_EVENT_DIR", std::nullopt);
  return testing::run({.argv = argv, .env = env});
}

TEST(ProcStatus, ExitCodesAndSignalsReachTheCaller) {
  EXPECT_EQ(through_wrapper({"exit:0"}).exit_code, 0);
  EXPECT_EQ(through_wrapper({"exit:3"}).exit_code, 3);
  EXPECT_EQ(through_wrapper({"exit:255"}).exit_code, 255);
  auto segv = through_wrapper({"raise:" + std::to_string(SIGSEGV)});
  EXPECT_EQ(segv.signal, SIGSEGV);
  auto kill = through_wrapper({"raise:" + std::to_string(SIGKILL)});
  EXPECT_EQ(kill.signal, SIGKILL);
}

TEST(ProcStatus, ChildStreamsPassThroughUntouched) {
  auto o = through_wrapper({"out:to stdout\\n", "err:to stderr\\n", "exit:0"});
  EXPECT_EQ(o.out, "to stdout\n");
  EXPECT_EQ(o.err, "to stderr\n");
}

TEST(ProcStatus, FromWaitDistinguishesExitAndSignal) {
  auto exited = exec::ExitStatus::from_wait(3 << 8);
  EXPECT_TRUE(exited.has_code);
  EXPECT_EQ(exited.code, 3);
  EXPECT_FALSE(exited.signaled);
  auto killed = exec::ExitStatus::from_wait(SIGSEGV);
  EXPECT_FALSE(killed.has_code);
  EXPECT_TRUE(killed.signaled);
  EXPECT_EQ(killed.signal, SIGSEGV);
  EXPECT_TRUE(exec::ExitStatus::exited(0).success());
  EXPECT_FALSE(exec::ExitStatus::exited(1).success());
}

TEST(ProcRun, StartFailureIsAnError) {
  auto r = exec::run_child({.program = "/nonexistent/compiler"}, false);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().value(), ENOENT);
}

TEST(ProcRun, UsageIsReportedInBytes) {
  auto r = exec::run_child({.program = test_child_exe().string(), .args = {"exit:0"}}, false);
  ASSERT_TRUE(r.has_value());
  ASSERT_TRUE(r->usage.has_value());
  // Any process needs more than 64 KiB; a KiB figure left unconverted would not.
  EXPECT_GT(r->usage->max_rss_bytes, 64u * 1024);
}

TEST(ProcRun, EnvironmentChangesReachTheChild) {
  exec::Command cmd{.program = test_child_exe().string(), .args = {"env:KELV_A", "env:KELV_B"}};
  cmd.out = exec::Stream::pipe;
  cmd.set_env("KELV_A", "1");
  cmd.set_env("KELV_B", "2");
  cmd.remove_env("KELV_B");
  auto captured = exec::capture_output(cmd);
  ASSERT_TRUE(captured.has_value());
  EXPECT_EQ(captured->out, "KELV_A=1\nKELV_B unset\n");
}

// SIGINT sent to the wrapper reaches the child exactly once, and the wrapper
// ends only when the child has ended.
TEST(ProcSignals, SigintIsForwardedOnce) {
  TempDir dir;
  const auto count_file = dir / "count";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("KELV_EVENT_DIR", dir.path().c_str(), 1);  // the wrapper waits for the child
    ::execl(testing::wrapper_exe().c_str(), "kelv-rustc-wrapper", test_child_exe().c_str(),
            ("count-sigint:" + count_file.string() + ":1500").c_str(), "exit:7", nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 7);
  EXPECT_EQ(testing::read_file(count_file), "1");
}

TEST(ProcSignals, IgnoredSigintIsNotForwarded) {
  TempDir dir;
  const auto count_file = dir / "count";
  pid_t pid = ::fork();
  if (pid == 0) {
    ::signal(SIGINT, SIG_IGN);
    // An event directory (without settings) makes the wrapper run the child
    // itself instead of becoming it.
    ::setenv("KELV_EVENT_DIR", dir.path().c_str(), 1);
    ::execl(testing::wrapper_exe().c_str(), "kelv-rustc-wrapper", test_child_exe().c_str(),
            ("count-sigint:" + count_file.string() + ":1500").c_str(), "exit:0", nullptr);
    _exit(127);
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  ::kill(pid, SIGINT);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(testing::read_file(count_file), "0");
}

exec::Command child_command(std::vector<std::string> steps) {
  return {.program = test_child_exe().string(), .args = std::move(steps)};
}

TEST(ProcTeed, TeeShowsAndKeepsEverything) {
  auto r =
      exec::run_teed(child_command({"err:one\\n", "err:two", "exit:4"}), exec::Capture::tee, false);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->shown, "one\ntwo");
  EXPECT_EQ(r->held, "");
  EXPECT_EQ(r->status.code, 4);
  EXPECT_FALSE(r->early_exit);
  EXPECT_TRUE(r->usage.has_value());
}

TEST(ProcTeed, JsonLinesShowsJsonAndHoldsText) {
  auto r = exec::run_teed(
      child_command({"err:{\"$message_type\":\"artifact\",\"artifact\":\"x\"}\\n",
                     "err:warning: plain\\n", "err:{\"$message_type\":\"diagnostic\"}\\n",
                     "err:{unterminated"}),
      exec::Capture::json_lines, false);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(
      r->shown,
      "{\"$message_type\":\"artifact\",\"artifact\":\"x\"}\n{\"$message_type\":\"diagnostic\"}\n");
  EXPECT_EQ(r->held, "warning: plain\n{unterminated");
  EXPECT_TRUE(r->artifact_seen);
}

TEST(ProcTeed, HoldShowsNothingAndFindsArtifacts) {
  auto r = exec::run_teed(child_command({"err:{\"$message_type\":\"artifact\"}\\n"}),
                          exec::Capture::hold, false);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->shown, "");
  EXPECT_TRUE(r->artifact_seen);
  auto plain = exec::run_teed(child_command({"err:text\\n"}), exec::Capture::hold, false);
  ASSERT_TRUE(plain.has_value());
  EXPECT_EQ(plain->held, "text\n");
  EXPECT_FALSE(plain->artifact_seen);
}

TEST(ProcTeed, ReadyPipeLetsTheCallerGoOnWhileTheChildLingers) {
  const auto start = std::chrono::steady_clock::now();
  auto r = exec::run_teed(
      child_command({"err:{\"a\":1}\\n", "ready", "close-stderr", "sleep:4000", "exit:9"}),
      exec::Capture::json_lines, true);
  const auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r.has_value());
  EXPECT_TRUE(r->early_exit);
  EXPECT_TRUE(r->status.success());
  EXPECT_FALSE(r->usage.has_value());
  EXPECT_EQ(r->shown, "{\"a\":1}\n");
  EXPECT_LT(took, std::chrono::seconds(3));
}

TEST(ProcTeed, ClosingTheReadyPipeWithoutAByteWaitsForTheExit) {
  auto r = exec::run_teed(child_command({"close-ready", "close-stderr", "sleep:300", "exit:5"}),
                          exec::Capture::json_lines, true);
  ASSERT_TRUE(r.has_value());
  EXPECT_FALSE(r->early_exit);
  EXPECT_EQ(r->status.code, 5);
}

TEST(ProcTeed, WithoutReadyPipeTheChildNeverSeesTheVariable) {
  ::setenv("KELV_DRIVER_READY_FD", "77", 1);
  auto r = exec::run_teed(child_command({"close-ready"}), exec::Capture::tee, false);
  ::unsetenv("KELV_DRIVER_READY_FD");
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status.code, 90);  // test-child's answer to a missing variable
}

// What arrived before the give-up is returned (shown, or held to be shown by
// the caller), marked as not captured whole.
TEST(ProcTeed, GivesUpFiveSecondsAfterTheExitWhenAGrandchildHoldsStderr) {
  struct Case {
    exec::Capture mode;
    std::string shown, held;
  };
  const Case cases[] = {
      {exec::Capture::tee, "{\"a\":1}\nplain\npartial", ""},
      {exec::Capture::json_lines, "{\"a\":1}\n", "plain\npartial"},
      {exec::Capture::hold, "", "{\"a\":1}\nplain\npartial"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.mode));
    const auto start = std::chrono::steady_clock::now();
    auto r = exec::run_teed(
        child_command({"err:{\"a\":1}\\nplain\\npartial", "grandchild:7000", "exit:0"}), c.mode,
        false);
    const auto took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(r.has_value());
    EXPECT_TRUE(r->status.success());
    EXPECT_EQ(r->shown, c.shown);
    EXPECT_EQ(r->held, c.held);
    EXPECT_FALSE(r->captured_whole);
    EXPECT_GE(took, std::chrono::milliseconds(4900));
    EXPECT_LT(took, std::chrono::milliseconds(6900));
  }
}

TEST(ProcTeed, StartFailureIsReturned) {
  auto r = exec::run_teed({.program = "/nonexistent/driver"}, exec::Capture::json_lines, true);
  ASSERT_FALSE(r.has_value());
  EXPECT_EQ(r.error().value(), ENOENT);
}

}  // namespace
}  // namespace kelv
