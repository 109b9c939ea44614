#include "support/cargo_project.h"

#include <sys/stat.h>

#include "util/paths.h"
#include "util/text.h"

namespace kelv::testing {

void write_small_workspace(const fs::path& dir) {
  write_file(dir / "Cargo.toml", R"([workspace]
resolver = "2"
members = ["greet", "hello"]
)");
  write_file(dir / "greet/Cargo.toml", R"([package]
name = "greet"
version = "0.1.0"
edition = "2021"
)");
  write_file(dir / "greet/src/lib.rs", R"(pub fn greeting(name: &str) -> String {
    format!("hello, {name}")
}

#[cfg(test)]
mod tests {
    #[test]
    fn greets() {
        assert_eq!(super::greeting("x"), "hello, x");
    }
}
)");
  write_file(dir / "hello/Cargo.toml", R"([package]
name = "hello"
version = "0.1.0"
edition = "2021"

[dependencies]
greet = { path = "../greet" }
)");
  write_file(dir / "hello/src/main.rs", R"(fn main() {
    println!("{}", greet::greeting("world"));
}
)");
}

void copy_fixture(const fs::path& dir, const std::string& name) {
  const fs::path from = source_dir() / "tests/fixtures" / name;
  for (auto it = fs::recursive_directory_iterator(from); it != fs::end(it); ++it) {
    const fs::path rel = it->path().lexically_relative(from);
    if (*rel.begin() == "target") {
      it.disable_recursion_pending();
      continue;
    }
    if (it->is_directory())
      fs::create_directories(dir / rel);
    else
      fs::copy_file(it->path(), dir / rel, fs::copy_options::overwrite_existing);
  }
}

Outcome cargo(const fs::path& dir, std::vector<std::string> args,
              std::map<std::string, std::optional<std::string>> env, bool wrapper) {
  std::vector<std::string> argv = {"cargo"};
  argv.insert(argv.end(), args.begin(), args.end());
  env.emplace("RUSTC_WRAPPER", wrapper ? std::optional(wrapper_exe().string()) : std::nullopt);
  env.emplace("CARGO_TERM_COLOR", "never");
  env.emplace("CARGO_TARGET_DIR", (dir / "target").string());
  env.emplace("CARGO_INCREMENTAL", std::nullopt);
  env.emplace("KELV_HOME", (dir / "kelv-home").string());
  env.emplace("RUSTC_BOOTSTRAP", std::nullopt);
  for (const char* name : {"KELV_EVENT_DIR", "KELV_INNER_WRAPPER", "KELV_WRAPPER_FAIL"})
    env.emplace(name, std::nullopt);
  Outcome outcome = run({.argv = argv, .env = env, .cwd = dir});
  // Cargo's word that another test's Cargo holds the shared package cache.
  const std::string waited = "    Blocking waiting for file lock on package cache\n";
  for (size_t at; (at = outcome.err.find(waited)) != std::string::npos;)
    outcome.err.erase(at, waited.size());
  return outcome;
}

std::optional<fs::path> rustup_proxy() {
  auto found = util::which("rustc");
  if (!found || util::canon(*found).filename() != "rustup") return std::nullopt;
  return found;
}

namespace {

// The real toolchain's -vV text with another release and commit.
std::string other_version_text() {
  const Outcome real = run({.argv = {real_rustc(), "-vV"}});
  std::string text;
  util::for_each_line(real.out, [&](std::string_view line) {
    if (line.starts_with("rustc "))
      text += "rustc 1.95.7 (fa4efa4ef 2026-04-14)";
    else if (line.starts_with("commit-hash: "))
      text += "commit-hash: fa4efa4efa4efa4efa4efa4efa4efa4efa4efa4e";
    else if (line.starts_with("release: "))
      text += "release: 1.95.7";
    else
      text += line;
    text += "\n";
  });
  return text;
}

}  // namespace

ProxyToolchains write_rustup_home(const fs::path& home) {
  const ProxyToolchains names = {.real = "kelv-real",
                                 .other = "kelv-other",
                                 .other_rustc = home / "toolchains/kelv-other/bin/rustc"};
  const fs::path real_root = fs::path(real_rustc()).parent_path().parent_path();
  fs::create_directories(home / "toolchains");
  fs::create_directory_symlink(real_root, home / "toolchains" / names.real);

  const fs::path other = home / "toolchains" / names.other;
  fs::create_directories(other / "bin");
  write_file(other / "version", other_version_text());
  write_file(names.other_rustc,
             "#!/bin/sh\n"
             "case \"$*\" in\n"
             "  -vV) exec cat '" +
                 (other / "version").string() +
                 "' ;;\n"
                 "  --print=sysroot) echo '" +
                 other.string() +
                 "'; exit 0 ;;\n"
                 "esac\n"
                 "exec '" +
                 real_rustc() + "' \"$@\"\n");
  ::chmod(names.other_rustc.c_str(), 0755);
  fs::create_symlink(real_root / "bin/cargo", other / "bin/cargo");
  return names;
}

}  // namespace kelv::testing
