// What the wrapper adds to a pass-through invocation: `rustc -vV` and a small
// compile, run directly, behind one extra exec of a small static program (the
// yardstick: the wrapper without an event directory should cost no more),
// and through the wrapper (without an event directory, with one and no
// settings, with settings), reporting medians and peak memory.
//
//   build/bench/bench_passthrough [runs]
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/testing.h"

extern char** environ;

namespace {

using kelv::testing::TempDir;

struct Sample {
  double ms;
  double cpu_ms;  // user and system time of the process (and the program it became)
  long max_rss_kib;
};

Sample run_once(const std::vector<std::string>& argv, const std::vector<std::string>& env_extra) {
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    if (kv.starts_with("KELV_")) continue;
    env_strings.push_back(kv);
  }
  env_strings.insert(env_strings.end(), env_extra.begin(), env_extra.end());
  std::vector<char*> envp, args;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> argv_copy = argv;
  for (auto& a : argv_copy) args.push_back(a.data());
  args.push_back(nullptr);
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", 1, 0);
  const auto start = std::chrono::steady_clock::now();
  pid_t pid;
  if (posix_spawn(&pid, args[0], &fa, nullptr, args.data(), envp.data()) != 0) {
    std::perror("posix_spawn");
    std::exit(1);
  }
  int status;
  struct rusage ru;
  wait4(pid, &status, 0, &ru);
  const auto end = std::chrono::steady_clock::now();
  posix_spawn_file_actions_destroy(&fa);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "command failed: %s\n", argv[0].c_str());
    std::exit(1);
  }
  const auto ms = [](const struct timeval& tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
  return {std::chrono::duration<double, std::milli>(end - start).count(),
          ms(ru.ru_utime) + ms(ru.ru_stime), ru.ru_maxrss};
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Case {
  std::string name;
  std::vector<std::string> argv;
  std::vector<std::string> env;
};

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 30;
  TempDir dir;
  const std::string rustc = kelv::testing::real_rustc();
  const std::string wrapper = kelv::testing::wrapper_exe();
  kelv::testing::write_file(dir / "lib.rs", "pub fn answer() -> u32 { 42 }\n");
  std::filesystem::create_directories(dir / "out");
  kelv::testing::write_file(dir / "events-settings" / "wrapper.settings",
                            R"({"min_link_store_ns": 0, "early_cutoff": false})");
  std::filesystem::create_directories(dir / "events");
  const std::string out = (dir / "out").string();
  const std::vector<std::string> compile = {"--crate-name",
                                            "bench",
                                            "--edition=2021",
                                            (dir / "lib.rs").string(),
                                            "--crate-type",
                                            "lib",
                                            "--emit=dep-info,metadata,link",
                                            "-C",
                                            "metadata=0123",
                                            "--out-dir",
                                            out};
  const std::string ev = "KELV_EVENT_DIR=" + (dir / "events").string();
  const std::string ev_settings = "KELV_EVENT_DIR=" + (dir / "events-settings").string();
  const std::string home = "KELV_HOME=" + (dir / "home").string();

  auto with = [&](std::vector<std::string> head, const std::vector<std::string>& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
  };
  const std::string exec_static = KELV_EXEC_STATIC;
  std::vector<Case> cases = {
      {"rustc -vV, direct", {rustc, "-vV"}, {}},
      {"rustc -vV, wrapper", {wrapper, rustc, "-vV"}, {}},
      {"rustc -vV, wrapper + event dir", {wrapper, rustc, "-vV"}, {ev, home}},
      {"rustc -vV, wrapper + settings", {wrapper, rustc, "-vV"}, {ev_settings, home}},
      {"compile, direct", with({rustc}, compile), {}},
      {"compile, wrapper", with({wrapper, rustc}, compile), {}},
      {"compile, wrapper + event dir", with({wrapper, rustc}, compile), {ev, home}},
      {"compile, wrapper + settings", with({wrapper, rustc}, compile), {ev_settings, home}},
      {"/bin/true, wrapper + settings (peak RSS)", {wrapper, "/bin/true"}, {ev_settings, home}},
      {"rustc -vV, one static exec in front", {exec_static, rustc, "-vV"}, {}},
      {"compile, one static exec in front", with({exec_static, rustc}, compile), {}},
  };
  std::vector<double> medians, cpu_medians;
  std::vector<long> peaks;
  std::printf("%-44s %10s %10s %12s\n", "case", "median ms", "CPU ms", "peak RSS KiB");
  // Rounds of every case in turn, so that a change in the machine's load
  // falls on all cases alike.
  for (const Case& c : cases) run_once(c.argv, c.env);  // warm-up: memos, page cache
  std::vector<std::vector<double>> times(cases.size()), cpu(cases.size());
  peaks.assign(cases.size(), 0);
  for (int i = 0; i < runs; ++i) {
    for (size_t k = 0; k < cases.size(); ++k) {
      const Sample s = run_once(cases[k].argv, cases[k].env);
      times[k].push_back(s.ms);
      cpu[k].push_back(s.cpu_ms);
      peaks[k] = std::max(peaks[k], s.max_rss_kib);
    }
  }
  for (size_t k = 0; k < cases.size(); ++k) {
    medians.push_back(median(times[k]));
    cpu_medians.push_back(median(cpu[k]));
    std::printf("%-44s %10.3f %10.3f %12ld\n", cases[k].name.c_str(), medians.back(),
                cpu_medians.back(), peaks[k]);
  }
  std::printf("\nadded by the wrapper (median):\n");
  for (size_t base : {0u, 4u}) {
    for (size_t k = 1; k <= 3; ++k) {
      std::printf("  %-42s %+8.3f ms  (x%.3f)\n", cases[base + k].name.c_str(),
                  medians[base + k] - medians[base], medians[base + k] / medians[base]);
    }
  }
  // CPU time, which the load of a busy machine disturbs far less than wall time.
  std::printf("\nthe pass-through (no event directory) against one extra exec, in CPU time:\n");
  for (size_t base : {0u, 4u}) {
    const size_t exec_case = base == 0 ? 9 : 10;
    const double wrapper_added = cpu_medians[base + 1] - cpu_medians[base];
    const double exec_added = cpu_medians[exec_case] - cpu_medians[base];
    // Peak RSS varies by a few pages from run to run; 1 % counts as the same.
    const long rss_added = peaks[base + 1] - peaks[base];
    std::printf("  %-10s wrapper %+7.3f ms, static exec %+7.3f ms: %s; peak RSS %+ld KiB: %s\n",
                base == 0 ? "rustc -vV" : "compile", wrapper_added, exec_added,
                wrapper_added <= exec_added ? "within" : "OVER", rss_added,
                rss_added * 100 <= peaks[base] ? "unchanged or lower" : "HIGHER");
  }
  return 0;
}
