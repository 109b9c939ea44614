// Units compiled through the compiler driver (a stand-in that runs the real
// rustc): early exit, crash fallback, kept objects and relinking.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <utime.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <sstream>

#include "support/world.h"
#include "util/clock.h"
#include "util/fd.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;

class DriverRoad : public ::testing::Test, protected testing::World {
 protected:
  void SetUp() override {
    write_small_workspace();
    driver = install_driver();
    settings(testing::cache_settings(cache, true));
  }

  testing::Outcome build(testing::Env env = {}) {
    env.merge(driver_env(1500));
    return World::build({"build"}, env);
  }

  fs::path failed_dir() { return driver.parent_path() / "failed"; }
  std::string run_hello() { return run_binary("hello").out; }

  fs::path driver;
};

TEST_F(DriverRoad, UnitsCompileThroughTheDriverAndExitEarly) {
  auto built = build();
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_NE(driver_log().find("compile greet"), std::string::npos) << driver_log();
  EXPECT_NE(driver_log().find("compile hello"), std::string::npos);
  EXPECT_EQ(run_hello(), "hello, world\n");
  for (const char* crate : {"greet", "hello"}) {
    const util::Json r = report(crate);
    EXPECT_EQ(r.value("driver", ""), driver.string()) << crate;
    // A library's compiler still has work after code generation.
    const bool binary = std::string_view(crate) == "hello";
    EXPECT_EQ(r.value("early_exit", false), binary) << crate;
    EXPECT_EQ(r.contains("rusage"), !binary) << crate;
    EXPECT_EQ(r["cache"].value("result", ""), "stored") << crate << r.dump();
  }
  // The library's interface hash is kept beside it and stored with it.
  bool svh = false;
  for (const auto& e : fs::directory_iterator(project / "target/debug/deps"))
    svh = svh || e.path().extension() == ".kelv-svh";
  EXPECT_TRUE(svh);
  EXPECT_EQ(report("hello").value("link", ""), "objects kept");
}

class DriverCrash : public DriverRoad, public ::testing::WithParamInterface<const char*> {};

TEST_P(DriverCrash, FallsBackOnceRecordsTheFailureAndUsesRustcFromThenOn) {
  auto built = build({{"KELV_STANDIN_CRASH", GetParam()}, {"KELV_STANDIN_CRASH_CRATE", "greet"}});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  const std::string warn =
      "WARN Kelvane's compiler driver failed on crate `greet`; compiled with rustc instead "
      "(report: " +
      failed_dir().string() + "/";
  EXPECT_NE(built.err.find(warn), std::string::npos) << built.err;
  ASSERT_TRUE(fs::exists(failed_dir()));
  EXPECT_EQ(std::distance(fs::directory_iterator(failed_dir()), fs::directory_iterator()), 1);
  EXPECT_EQ(run_hello(), "hello, world\n");
  const util::Json r = report("greet");
  EXPECT_FALSE(r.contains("driver"));
  EXPECT_EQ(r.value("driver_failure", "").rfind(failed_dir().string(), 0), 0u);
  EXPECT_EQ(r["cache"].value("not_stored", ""),
            "compiled by rustc after Kelvane's compiler driver failed");

  // The unit is not given to the driver again; others still are.
  edit("greet/src/lib.rs");
  auto again = build({{"KELV_STANDIN_CRASH", GetParam()}, {"KELV_STANDIN_CRASH_CRATE", "greet"}});
  ASSERT_EQ(again.exit_code, 0) << again.err;
  EXPECT_EQ(driver_log().find("compile greet"), std::string::npos) << driver_log();
  EXPECT_EQ(again.err.find("WARN"), std::string::npos) << again.err;
  EXPECT_NE(driver_log().find("compile hello"), std::string::npos) << driver_log();
}

INSTANTIATE_TEST_SUITE_P(Kinds, DriverCrash,
                         ::testing::Values("exit101", "exit127", "SIGILL", "SIGABRT", "SIGFPE",
                                           "SIGBUS", "SIGSEGV"));

TEST_F(DriverRoad, CrashAfterAnArtifactNotificationIsNotRetried) {
  auto built = build(
      {{"KELV_STANDIN_CRASH", "SIGSEGV-after-artifact"}, {"KELV_STANDIN_CRASH_CRATE", "greet"}});
  EXPECT_NE(built.exit_code, 0);
  EXPECT_EQ(built.err.find("WARN Kelvane's compiler driver failed"), std::string::npos);
  EXPECT_FALSE(fs::exists(failed_dir()));
}

TEST_F(DriverRoad, UnstartableDriverFallsBackWithItsReason) {
  fs::permissions(driver, fs::perms::owner_read | fs::perms::owner_exec);
  ::chmod(driver.c_str(), 0644);  // no longer found: compiled without it
  auto plain = build();
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  EXPECT_EQ(driver_log(), "");
  // A driver that is found but cannot run (a script for a missing interpreter).
  testing::write_file(driver, "#!/nonexistent/interpreter\n");
  ::chmod(driver.c_str(), 0755);
  edit("greet/src/lib.rs");
  auto built = build();
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_NE(built.err.find("WARN Kelvane's compiler driver failed on crate `greet`"),
            std::string::npos)
      << built.err;
  bool found = false;
  for (const auto& e : fs::directory_iterator(failed_dir())) {
    found = testing::read_file(e.path()).starts_with("cannot run Kelvane's compiler driver: ");
  }
  EXPECT_TRUE(found);
}

// The dependency's link record gains a library whose content the test
// controls: the binary's main key changes, its objects key does not.
void change_what_greet_links(const fs::path& cache, const fs::path& extra,
                             const std::string& content) {
  testing::write_file(extra, content);
  for (const auto& e : fs::directory_iterator(cache / "l")) {
    auto record = util::read_json(e.path());
    if (!record || record->value("rlib", "").find("libgreet") == std::string::npos) continue;
    (*record)["deps"] = util::Json::array({util::Json::array({"extra", extra.string()})});
    std::ofstream(e.path()) << record->dump(2) << "\n";
  }
}

void touch(const fs::path& path) {
  struct timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_NOW}};
  ::utimensat(AT_FDCWD, path.c_str(), times, 0);
}

TEST_F(DriverRoad, BinaryIsRelinkedWhenOnlyWhatItLinksChanged) {
  ASSERT_EQ(build().exit_code, 0);
  const fs::path main_rs = project / "hello/src/main.rs";

  change_what_greet_links(cache, dir / "libextra.so", "one");
  touch(main_rs);
  auto relinked = build();
  ASSERT_EQ(relinked.exit_code, 0) << relinked.err;
  EXPECT_NE(driver_log().find("relink hello"), std::string::npos) << driver_log();
  EXPECT_EQ(driver_log().find("compile hello"), std::string::npos) << driver_log();
  EXPECT_EQ(report("hello").value("link", ""), "relinked");
  EXPECT_EQ(run_hello(), "hello, world\n");

  // A kept object that changed disables the relink.
  for (const auto& e : fs::recursive_directory_iterator(project / "target/debug/deps"))
    if (e.path().extension() == ".o" && e.path().parent_path().extension() == ".kelv-objects")
      touch(e.path());
  change_what_greet_links(cache, dir / "libextra.so", "two");
  touch(main_rs);
  auto touched = build();
  ASSERT_EQ(touched.exit_code, 0) << touched.err;
  EXPECT_NE(driver_log().find("compile hello"), std::string::npos) << driver_log();
  EXPECT_EQ(report("hello").value("link", ""), "objects kept");

  // So does an edit of the binary's own source.
  change_what_greet_links(cache, dir / "libextra.so", "three");
  edit(main_rs);
  auto edited = build();
  ASSERT_EQ(edited.exit_code, 0) << edited.err;
  EXPECT_NE(driver_log().find("compile hello"), std::string::npos) << driver_log();
  EXPECT_EQ(driver_log().find("relink hello"), std::string::npos) << driver_log();
  EXPECT_EQ(run_hello(), "hello, world\n");
}

// A relink writes no dep-info, so the relinked unit's entry must carry the
// dep-info of the compilation whose objects it linked: Cargo tracks the
// unit's sources through it after the entry is replayed.
TEST_F(DriverRoad, RelinkedEntryCarriesTheUnitsDepInfo) {
  ASSERT_EQ(build().exit_code, 0);
  const fs::path main_rs = project / "hello/src/main.rs";
  change_what_greet_links(cache, dir / "libextra.so", "one");
  touch(main_rs);
  ASSERT_EQ(build().exit_code, 0);
  ASSERT_EQ(report("hello").value("link", ""), "relinked");
  EXPECT_EQ(report("hello")["cache"].value("result", ""), "stored") << report("hello").dump();

  auto cleaned = cargo({"clean", "-p", "hello"});
  ASSERT_EQ(cleaned.exit_code, 0) << cleaned.err;
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_EQ(report("hello")["cache"].value("result", ""), "hit") << report("hello").dump();
  std::string depinfo;
  for (const auto& e : fs::directory_iterator(project / "target/debug/deps"))
    if (e.path().filename().string().starts_with("hello-") && e.path().extension() == ".d")
      depinfo = testing::read_file(e.path());
  EXPECT_NE(depinfo.find("hello/src/main.rs"), std::string::npos) << depinfo;

  // Cargo finds the replayed unit fresh, and rebuilds it after an edit.
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_FALSE(find_report("hello").has_value());
  edit(main_rs);
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_TRUE(find_report("hello").has_value());
  EXPECT_EQ(run_hello(), "hello, world\n");
}

// The driver's interface hash file is rewritten in place by the next
// compilation of the library: the entry stored before must keep its own copy.
TEST_F(DriverRoad, EntryOfAnEarlierInterfaceStillHitsAfterTheHashFileIsRewritten) {
  ASSERT_EQ(build().exit_code, 0);
  const fs::path lib = project / "greet/src/lib.rs";
  const std::string original = testing::read_file(lib);
  testing::write_file(lib, original + "\npub fn farewell() -> u32 { 2 }\n");
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_EQ(report("greet")["cache"].value("result", ""), "stored");
  testing::write_file(lib, original);
  ASSERT_EQ(build().exit_code, 0);
  EXPECT_EQ(report("greet")["cache"].value("result", ""), "hit") << report("greet").dump();
  EXPECT_EQ(run_hello(), "hello, world\n");
}

TEST_F(DriverRoad, QuickToLinkUnitIsNotStoredAndNeverRelinked) {
  settings(testing::cache_settings(cache, true, 3600ull * 1000000000ull));
  auto first = build();
  ASSERT_EQ(first.exit_code, 0) << first.err;
  const util::Json r = report("hello");
  EXPECT_EQ(r["cache"].value("not_stored", ""), "quick to link") << r.dump();
  EXPECT_EQ(report("greet")["cache"].value("result", ""), "stored");
  ASSERT_TRUE(fs::exists(cache / "q"));
  EXPECT_EQ(std::distance(fs::directory_iterator(cache / "q"), fs::directory_iterator()), 1);

  // Once known to be quick, the unit is compiled, never relinked.
  change_what_greet_links(cache, dir / "libextra.so", "one");
  touch(project / "hello/src/main.rs");
  auto second = build();
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_NE(driver_log().find("compile hello"), std::string::npos) << driver_log();
  EXPECT_EQ(driver_log().find("relink hello"), std::string::npos) << driver_log();
  EXPECT_FALSE(report("hello").contains("link"));
  EXPECT_EQ(report("hello")["cache"].value("not_stored", ""), "quick to link");
}

// One rustup proxy, two toolchains, the same workspace and cache: each build
// is identified as its own toolchain, so each goes through its own driver and
// neither restores the other's units.
TEST_F(DriverRoad, EachToolchainBehindTheProxyIsIdentifiedAsItself) {
  const auto proxy = testing::rustup_proxy();
  if (!proxy) GTEST_SKIP() << "rustc on PATH is not a rustup proxy";
  const fs::path rustup_home = dir / "rustup-home";
  const testing::ProxyToolchains toolchains = testing::write_rustup_home(rustup_home);
  const fs::path other_driver = testing::install_stand_in_driver(kelv_home, toolchains.other_rustc);
  ASSERT_NE(other_driver, driver);
  auto env_of = [&](const std::string& toolchain) {
    return testing::Env{{"RUSTC", proxy->string()},
                        {"RUSTUP_HOME", rustup_home.string()},
                        {"RUSTUP_TOOLCHAIN", toolchain}};
  };

  for (const auto& [toolchain, its_driver] :
       {std::pair{toolchains.real, driver}, std::pair{toolchains.other, other_driver}}) {
    auto built = build(env_of(toolchain));
    ASSERT_EQ(built.exit_code, 0) << toolchain << built.err;
    for (const char* crate : {"greet", "hello"}) {
      const util::Json r = report(crate);
      EXPECT_EQ(r.value("driver", ""), its_driver.string()) << toolchain << " " << crate;
      EXPECT_EQ(r["cache"].value("result", ""), "stored") << toolchain << " " << r.dump();
      EXPECT_EQ(r["env"].value("toolchain", ""), toolchain) << crate;
    }
    EXPECT_EQ(run_hello(), "hello, world\n");
  }

  // The other toolchain's own entries are found again.
  auto cleaned = cargo({"clean"}, env_of(toolchains.other));
  ASSERT_EQ(cleaned.exit_code, 0) << cleaned.err;
  auto again = build(env_of(toolchains.other));
  ASSERT_EQ(again.exit_code, 0) << again.err;
  for (const char* crate : {"greet", "hello"})
    EXPECT_EQ(report(crate)["cache"].value("result", ""), "hit") << crate;
}

// ------------------------------------------------------------ the real driver

// The toolchain with the compiler's libraries that the real driver is built
// against: KELV_RUSTC_DEV_TOOLCHAIN names its rustc (tools/test installs the
// prebuilt one when there is one; tools/rustc-dev-toolchain builds one). The
// driver is built into a home beside the test programs, where Cargo's lock
// lets one test process build it and the others find it built; each test's
// home gets its directory (without the build's files). The tests share,
// beside the test programs too, one artifact cache, where the registry
// crates are compiled once, and one target directory for plain Cargo's
// builds, which one test at a time builds and runs.
class RealDriver : public ::testing::Test, protected testing::World {
 protected:
  static void SetUpTestSuite() {
    const char* rustc = std::getenv("KELV_RUSTC_DEV_TOOLCHAIN");
    if (!rustc || !*rustc) return;
    toolchain_ = new std::string(rustc);
    home_ = new fs::path(testing::wrapper_exe().parent_path() / "real-driver-home");
    fs::create_directories(*home_);
    const fs::path kelv = testing::wrapper_exe().parent_path() / "kelv";
    built_ = new testing::Outcome(
        testing::run({.argv = {kelv.string(), "driver", "build", "--rustc", *toolchain_},
                      .env = {{"KELV_HOME", home_->string()}},
                      .cwd = *home_}));
  }

  void SetUp() override {
    if (!toolchain_)
      GTEST_SKIP() << "KELV_RUSTC_DEV_TOOLCHAIN is not set: no toolchain with the compiler's "
                      "libraries to build the real driver against (tools/rustc-dev-toolchain "
                      "builds one)";
    ASSERT_EQ(built_->exit_code, 0) << built_->out << built_->err;
    // The home keeps the drivers of earlier sources too: the one just built
    // is the one kelv names.
    const std::string said = built_->out + built_->err;
    const size_t at = said.find(" installed at ");
    ASSERT_NE(at, std::string::npos) << said;
    const fs::path built_driver = said.substr(at + 14, said.find('\n', at) - at - 14);
    const fs::path to = kelv_home / "cache/drivers" / built_driver.parent_path().filename();
    fs::create_directories(to);
    fs::copy_file(built_driver, to / "kelv-rustc-driver");
    driver = to / "kelv-rustc-driver";
    prepare_workspace();
    settings(testing::cache_settings(shared() / "cache", true));
    warm_up();
  }

  // The first test to get here compiles the registry crates into the shared
  // cache and the plain target directory while the others wait, so that
  // tests running side by side do not each compile them. It does so in a
  // world of its own: a workspace member built at the test's own path would
  // be replayed in the test.
  void warm_up() const {
    fs::create_directories(shared());
    const util::Fd lock(::open((shared() / "warm.lock").c_str(), O_RDWR | O_CREAT, 0644));
    ::flock(lock.get(), LOCK_EX);
    const fs::path warmed = shared() / ("warmed-" + driver.parent_path().filename().string());
    if (fs::exists(warmed)) return;
    testing::World warm;
    warm.copy_fixture("realworld");
    const fs::path its_driver =
        warm.kelv_home / "cache/drivers" / driver.parent_path().filename() / driver.filename();
    fs::create_directories(its_driver.parent_path());
    fs::copy_file(driver, its_driver);
    warm.settings(testing::cache_settings(shared() / "cache", true));
    auto built = warm.build({"build", "--offline"}, toolchain_env());
    ASSERT_EQ(built.exit_code, 0) << built.err;
    const util::Fd plain_lock(::open((shared() / "plain.lock").c_str(), O_RDWR | O_CREAT, 0644));
    ::flock(plain_lock.get(), LOCK_EX);
    testing::Env env = toolchain_env();
    env.emplace("CARGO_TARGET_DIR", (shared() / "plain-target").string());
    auto plain = warm.cargo({"build", "--offline"}, env, false);
    ASSERT_EQ(plain.exit_code, 0) << plain.err;
    testing::write_file(warmed, "");
  }

  static fs::path shared() { return testing::wrapper_exe().parent_path() / "real-driver-shared"; }

  // The realistic workspace, as the tests edit it.
  void prepare_workspace() {
    copy_fixture("realworld");
    // A private function whose body the tests edit, behind what app prints; a
    // generic function whose code app instantiates, reporting a character
    // column; a function whose body includes two files.
    const fs::path lib = project / "util/src/lib.rs";
    std::string text = testing::read_file(lib);
    const std::string banner = "BANNER.unwrap_or(\"realworld\")";
    text.replace(text.find(banner), banner.size(), "BANNER.unwrap_or(default_banner())");
    text +=
        "\nfn default_banner() -> &'static str {\n    \"realworld\"\n}\n"
        "\npub fn call_column<T>() -> u32 {\n    /*\xc3\xa9*/ "
        "std::panic::Location::caller().column()\n}\n"
        "\npub fn resource_lengths() -> usize {\n    let a = include_str!(\"a.txt\");\n"
        "    let b = include_str!(\"b.txt\");\n    a.len() * 2 + b.len()\n}\n";
    testing::write_file(lib, text);
    testing::write_file(project / "util/src/a.txt", "a");
    testing::write_file(project / "util/src/b.txt", "bb");
    replace_in(project / "app/src/main.rs", "    Ok(())\n}",
               "    println!(\"column={} resources={}\", util::call_column::<u8>(), "
               "util::resource_lengths());\n    Ok(())\n}");
    // A library that depends on util, so that early cut-off has a dependent
    // to replay.
    const fs::path codec = project / "codec";
    testing::write_file(codec / "Cargo.toml", testing::read_file(codec / "Cargo.toml") +
                                                  "util = { path = \"../util\" }\n");
    testing::write_file(codec / "src/lib.rs",
                        testing::read_file(codec / "src/lib.rs") +
                            "\npub fn banner_width() -> usize {\n    util::banner().len()\n}\n");
  }

  testing::Env toolchain_env() const {
    testing::Env env = {{"RUSTC", *toolchain_}};
    if (!incremental) env.emplace("CARGO_INCREMENTAL", "0");
    return env;
  }
  testing::Outcome build() { return World::build({"build", "--offline"}, toolchain_env()); }
  // Plain Cargo in the target directory the tests share, with the lock on it.
  testing::Outcome plain_cargo(const std::vector<std::string>& args, testing::Env env,
                               const std::function<void()>& then = {}) {
    fs::create_directories(shared());
    const util::Fd lock(::open((shared() / "plain.lock").c_str(), O_RDWR | O_CREAT, 0644));
    ::flock(lock.get(), LOCK_EX);
    env.emplace("CARGO_TARGET_DIR", (shared() / "plain-target").string());
    // The members built there last came from another test's copy of the
    // workspace, at the same paths relative to it: Cargo could take them as
    // fresh. Only the registry crates are reused.
    auto cleaned =
        cargo({"clean", "--offline", "-p", "rw-core", "-p", "util", "-p", "codec", "-p", "app"},
              env, false);
    EXPECT_EQ(cleaned.exit_code, 0) << cleaned.err;
    auto outcome = cargo(args, env, false);
    if (outcome.exit_code == 0 && then) then();
    return outcome;
  }
  // What app prints when plain Cargo builds the workspace as it stands.
  std::string plain_app() {
    std::string out;
    auto built = plain_cargo({"build", "--offline"}, toolchain_env(), [&] {
      out = testing::run({.argv = {(shared() / "plain-target/debug/app").string()}}).out;
    });
    EXPECT_EQ(built.exit_code, 0) << built.err;
    return out;
  }
  std::string app() { return run_binary("app").out; }
  void replace_in(const fs::path& file, const std::string& from, const std::string& to) {
    std::string text = testing::read_file(file);
    ASSERT_NE(text.find(from), std::string::npos) << from;
    text.replace(text.find(from), from.size(), to);
    testing::write_file(file, text);
  }
  std::string svh_of(const std::string& stem_prefix) {
    for (const auto& e : fs::directory_iterator(project / "target/debug/deps"))
      if (e.path().filename().string().starts_with(stem_prefix) &&
          e.path().extension() == ".kelv-svh")
        return testing::read_file(e.path());
    return "";
  }

  fs::path driver;
  bool incremental = true;  // Cargo's default for the workspace's members
  static inline std::string* toolchain_ = nullptr;
  static inline fs::path* home_ = nullptr;
  static inline testing::Outcome* built_ = nullptr;
};

TEST_F(RealDriver, BuildsTheRealisticWorkspaceAsRustcDoes) {
  auto built = build();
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_EQ(app(), plain_app());
  EXPECT_NE(app().find("realworld: records=3 total=1045"), std::string::npos) << app();
  for (const char* crate : {"rw_core", "util", "codec", "app"}) {
    const util::Json r = report(crate);
    EXPECT_EQ(r.value("driver", ""), driver.string()) << crate << r.dump();
    // Only a binary is announced before the compiler has finished: after a
    // library's code generation, rustc still copies its metadata into the
    // incremental session.
    EXPECT_EQ(r.value("early_exit", false), std::string_view(crate) == "app") << crate;
  }
  EXPECT_NE(svh_of("libutil-"), "");
}

// Edits of util, each built through the real driver before and after: util's
// crate hash stays or changes, its dependent codec is replayed or compiled,
// app is relinked or compiled, and app then prints exactly what plain Cargo's
// app prints.
struct Edit {
  const char* name;
  const char* from;  // in util/src/lib.rs
  const char* to;
  bool same_interface;
  bool relinked;
  bool incremental = true;
};
const char* const kBody = "    \"realworld\"\n";
const Edit kEdits[] = {
    {"PrivateBody", kBody, "    \"edited\"\n", true, true},
    // Nothing in the workspace's libraries and binary calls it.
    {"PublicSignature", "pub fn nth_prime(n: usize) -> Option<u32> {\n    PRIMES.get(n)",
     "pub fn nth_prime(n: u16) -> Option<u32> {\n    PRIMES.get(usize::from(n))", false, false},
    // The same bytes, one character more before the location app prints.
    // Without incremental state: rustc's own reuse of it compares spans by
    // byte columns, so plain Cargo's incremental rebuild prints the old
    // column too.
    {"CharacterColumnInAGenericBody", "/*\xc3\xa9*/", "/*ab*/", false, false, false},
    // Dependents' stored spans name files by their place in the table.
    {"OrderOfIncludedFiles",
     "    let a = include_str!(\"a.txt\");\n    let b = include_str!(\"b.txt\");\n",
     "    let b = include_str!(\"b.txt\");\n    let a = include_str!(\"a.txt\");\n", false, false},
};

class RealDriverEdit : public RealDriver, public ::testing::WithParamInterface<Edit> {};

TEST_P(RealDriverEdit, GivesWhatPlainCargoGives) {
  const Edit& e = GetParam();
  incremental = e.incremental;
  ASSERT_EQ(build().exit_code, 0);
  const std::string svh = svh_of("libutil-");
  replace_in(project / "util/src/lib.rs", e.from, e.to);
  auto rebuilt = build();
  ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
  EXPECT_EQ(svh_of("libutil-") == svh, e.same_interface);
  EXPECT_EQ(report("util")["cache"].value("result", ""), "stored");
  // Cargo runs the dependent library again; with the same interface it is
  // replayed.
  EXPECT_EQ(report("codec")["cache"].value("result", ""), e.same_interface ? "hit" : "stored")
      << report("codec").dump();
  EXPECT_EQ(report("app").value("link", "") == "relinked", e.relinked) << report("app").dump();
  EXPECT_FALSE(find_report("rw_core").has_value());
  EXPECT_EQ(app(), plain_app());
}

INSTANTIATE_TEST_SUITE_P(Rows, RealDriverEdit, ::testing::ValuesIn(kEdits),
                         [](const auto& info) { return std::string(info.param.name); });

// Under link-time optimisation a binary's objects hold its libraries' code:
// after a body edit of one, the binary is compiled, never relinked, and
// prints the new value.
class RealDriverLto : public RealDriver, public ::testing::WithParamInterface<const char*> {};

TEST_P(RealDriverLto, ABodyEditCompilesTheBinary) {
  fs::remove_all(project);
  write_small_workspace();
  testing::write_file(project / "Cargo.toml", testing::read_file(project / "Cargo.toml") +
                                                  "\n[profile.dev]\nlto = \"" + GetParam() +
                                                  "\"\n");
  ASSERT_EQ(build().exit_code, 0);
  replace_in(project / "greet/src/lib.rs", "hello, {name}", "hi, {name}");
  auto rebuilt = build();
  ASSERT_EQ(rebuilt.exit_code, 0) << rebuilt.err;
  EXPECT_EQ(report("greet")["cache"].value("result", ""), "stored");
  EXPECT_NE(report("hello").value("link", ""), "relinked") << report("hello").dump();
  EXPECT_EQ(run_binary("hello").out, "hi, world\n");
}

INSTANTIATE_TEST_SUITE_P(Rows, RealDriverLto, ::testing::Values("fat", "thin"));

// A file an option names is keyed by what it holds: a profile rewritten in
// place is not replayed for the old one.
TEST_F(RealDriver, AProfileRewrittenInPlaceIsCompiledAgain) {
  const fs::path profile = dir / "util.profdata";
  const fs::path profiles = testing::source_dir() / "tests/fixtures/profiles";
  fs::copy_file(profiles / "first.profdata", profile);
  const std::vector<std::string> args = {
      "rustc", "--offline", "-p", "util", "--lib", "--", "-Cprofile-use=" + profile.string()};
  auto first = World::build(args, toolchain_env());
  ASSERT_EQ(first.exit_code, 0) << first.err;
  EXPECT_EQ(report("util")["cache"].value("result", ""), "stored");
  testing::write_file(profile, testing::read_file(profiles / "second.profdata"));
  // Cargo runs util again for a newer source with the same content.
  testing::set_mtime(project / "util/src/lib.rs", util::now_wall_ns());
  auto second = World::build(args, toolchain_env());
  ASSERT_EQ(second.exit_code, 0) << second.err;
  EXPECT_EQ(report("util")["cache"].value("result", ""), "stored") << report("util").dump();
}

// What rustc prints after a library's code generation reaches Cargo, as it
// does without the wrapper.
TEST_F(RealDriver, TypeSizesPrintedAfterCodeGenerationReachCargo) {
  testing::Env env = toolchain_env();
  env.emplace("RUSTC_BOOTSTRAP", "1");
  const std::vector<std::string> args = {"rustc", "--offline",         "-p", "util", "--lib",
                                         "--",    "-Zprint-type-sizes"};
  auto built = World::build(args, env);
  ASSERT_EQ(built.exit_code, 0) << built.err;
  auto plain = plain_cargo(args, env);
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  const auto sizes = [](const std::string& out) {
    std::vector<std::string> lines;
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);)
      if (line.starts_with("print-type-size type:")) lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
  };
  EXPECT_FALSE(sizes(plain.out).empty()) << plain.out;
  EXPECT_EQ(sizes(built.out), sizes(plain.out));
}

TEST_F(RealDriver, ACrashingDriverFallsBackToRustc) {
  testing::write_file(driver, "#!/bin/sh\nkill -SEGV $$\n");
  auto built = build();
  ASSERT_EQ(built.exit_code, 0) << built.err;
  EXPECT_NE(built.err.find("WARN Kelvane's compiler driver failed on crate"), std::string::npos)
      << built.err;
  EXPECT_EQ(app(), plain_app());
}

}  // namespace
}  // namespace kelv
