// Compiling the realistic workspace's binary against relinking it from kept
// objects, through the stand-in driver of the tests (which runs the real
// rustc). The relink is provoked as in the tests: a dependency's link record
// changes while every crate hash stays, then the binary's source is touched.
//
//   build/bench/bench_relink [runs]
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include "support/cargo_project.h"
#include "support/driver_install.h"

namespace fs = std::filesystem;
using namespace kelv;

namespace {

struct Bench {
  testing::TempDir dir;
  fs::path ws = dir / "ws";

  testing::Outcome build() {
    for (const auto& e : fs::directory_iterator(dir / "events"))
      if (e.path().extension() == ".json") fs::remove(e.path());
    return testing::cargo(ws, {"build", "--offline"},
                          {{"KELV_EVENT_DIR", (dir / "events").string()},
                           {"KELV_HOME", (ws / "kelv-home").string()},
                           {"KELV_STANDIN_RUSTC", testing::real_rustc()},
                           {"KELV_STANDIN_LINGER_MS", "0"},
                           {"CARGO_INCREMENTAL", "1"}});
  }

  // The binary's report: its duration and how it was built.
  std::pair<uint64_t, std::string> orchard() {
    auto r = testing::report_of(testing::read_reports(dir / "events"), "orchard");
    if (!r) return {0, "none"};
    return {r->value("dur_ns", 0ull), r->value("link", "")};
  }

  void relink_candidate(int round) {
    testing::write_file(dir / "libextra.so", "round " + std::to_string(round));
    for (const auto& e : fs::directory_iterator(dir / "cache/l")) {
      auto record = util::read_json(e.path());
      if (!record || record->value("rlib", "").find("liborchard_ledger") == std::string::npos)
        continue;
      (*record)["deps"] =
          util::Json::array({util::Json::array({"extra", (dir / "libextra.so").string()})});
      std::ofstream(e.path()) << record->dump(2) << "\n";
    }
    struct timespec now[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
    ::utimensat(AT_FDCWD, (ws / "report/src/main.rs").c_str(), now, 0);
  }
};

double median_ms(std::vector<uint64_t> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : static_cast<double>(v[v.size() / 2]) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::atoi(argv[1]) : 5;
  Bench b;
  testing::copy_fixture(b.ws);
  testing::install_stand_in_driver(b.ws / "kelv-home");
  testing::write_file(b.dir / "events/wrapper.settings",
                      R"({"artifact_cache": ")" + (b.dir / "cache").string() +
                          R"(", "min_link_store_ns": 0, "early_cutoff": true})");
  if (b.build().exit_code != 0) {
    std::fprintf(stderr, "bench: the first build failed\n");
    return 1;
  }
  std::vector<uint64_t> compiled, relinked;
  const fs::path main_rs = b.ws / "report/src/main.rs";
  const std::string original = testing::read_file(main_rs);
  for (int i = 0; i < runs; ++i) {
    b.relink_candidate(i);
    if (b.build().exit_code != 0) return 1;
    auto [ns, how] = b.orchard();
    if (how != "relinked") {
      std::fprintf(stderr, "bench: expected a relink, got '%s'\n", how.c_str());
      return 1;
    }
    relinked.push_back(ns);
    testing::write_file(main_rs, original + "\n// round " + std::to_string(i) + "\n");
    if (b.build().exit_code != 0) return 1;
    compiled.push_back(b.orchard().first);
  }
  const double c = median_ms(compiled), r = median_ms(relinked);
  std::printf("orchard binary (%d runs)      median ms\n", runs);
  std::printf("compiled through the driver  %9.1f\n", c);
  std::printf("relinked from kept objects   %9.1f\n", r);
  std::printf("relink / compile             %9.2f\n", c > 0 ? r / c : 0);
  return 0;
}
