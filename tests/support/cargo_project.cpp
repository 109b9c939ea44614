#include "support/cargo_project.h"

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

void copy_fixture(const fs::path& dir) {
  const fs::path from = source_dir() / "tests/fixtures/workspace";
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
  return run({.argv = argv, .env = env, .cwd = dir});
}

}  // namespace kelv::testing
