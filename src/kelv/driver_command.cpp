#include <fmt/format.h>
#include <unistd.h>

#include "driver/driver.h"
#include "driver/engine.h"
#include "driver/project_text.h"
#include "driver/rustc_info.h"
#include "kelv/commands.h"
#include "util/files.h"
#include "util/home.h"
#include "util/paths.h"
#include "util/ui.h"

namespace kelv::tool {
namespace {

namespace fs = std::filesystem;

// The compiler's own libraries for drivers (the rustc-dev component) are
// rlibs such as librustc_interface-*.rlib in the host's rustlib directory.
bool has_rustc_dev(const fs::path& sysroot, std::string_view host) {
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(sysroot / "lib/rustlib" / host / "lib", ec)) {
    const std::string name = e.path().filename();
    // The component ships the compiler's crates as metadata only (their code
    // is in librustc_driver); older ones shipped rlibs.
    if (name.starts_with("librustc_interface-") &&
        (name.ends_with(".rmeta") || name.ends_with(".rlib")))
      return true;
  }
  return false;
}

std::string toolchain_name(const fs::path& sysroot) {
  return sysroot.filename().native();
}

}  // namespace

int driver_command(std::span<const std::string> args) {
  std::string rustc = "rustc";
  if (args.empty() || args[0] != "build") return fail("usage: kelv driver build [--rustc PATH]");
  if (args.size() == 3 && args[1] == "--rustc")
    rustc = args[2];
  else if (args.size() != 1)
    return fail("usage: kelv driver build [--rustc PATH]");

  if (rustc.find('/') == std::string::npos) {
    auto found = util::which(rustc);
    if (!found) return fail(fmt::format("{} is not on PATH", rustc), 1);
  }
  auto compiler = rustc_info::Compiler::of(rustc);
  if (!compiler) return fail(compiler.error(), 1);
  const auto host = rustc_info::version_field(compiler->version_text, "host: ");
  const auto dir = driver::dir(*compiler);
  if (!host || !dir) return fail(fmt::format("{} -vV lacks its commit-hash or host", rustc), 1);
  // The driver's sources are written against the internal interfaces of
  // named releases; for any other toolchain none is built (and the wrapper,
  // finding no driver, compiles with rustc itself).
  const auto release_field = rustc_info::version_field(compiler->version_text, "release: ");
  if (!release_field) return fail(fmt::format("{} -vV lacks its release", rustc), 1);
  const auto release = driver::driver_release(*release_field);
  if (!release) return fail(release.error(), 1);
  // rustup resolves `rustc` to the toolchain's own compiler through the sysroot.
  const fs::path toolchain_rustc = compiler->sysroot / "bin" / "rustc";
  if (!has_rustc_dev(compiler->sysroot, *host))
    return fail(fmt::format("the toolchain at {} lacks the rustc-dev component that the compiler "
                            "driver is built against; add it with `rustup component add rustc-dev "
                            "llvm-tools --toolchain {}` and run `kelv driver build` again",
                            compiler->sysroot.native(), toolchain_name(compiler->sysroot)),
                1);

  const fs::path project = *dir / "project";
  for (const auto& [rel, text] :
       {std::pair<const char*, std::string_view>{"Cargo.toml", driver::manifest_text},
        {"src/main.rs", driver::main_rs_text},
        {"src/early_link.rs", driver::early_link_rs_text}}) {
    if (auto w = util::write_atomic(project / rel, text); !w)
      return fail(
          fmt::format("cannot write {}: {}", (project / rel).native(), util::os_error(w.error())),
          1);
  }
  exec::Command cmd = engine::toolchain_program(compiler->sysroot / "bin" / "cargo");
  cmd.args = {"build", "--release", "--manifest-path", (project / "Cargo.toml").native()};
  std::string rustflags =
      fmt::format("-C link-args=-Wl,-rpath,{}", (compiler->sysroot / "lib").native());
  // Selects the sources' code for this release (one argument: Cargo splits
  // RUSTFLAGS at spaces only).
  rustflags += fmt::format(" --cfg kelv_rustc=\"{}\"", *release);
  cmd.set_env("RUSTFLAGS", rustflags);
  cmd.set_env("RUSTC_BOOTSTRAP", "1");
  cmd.set_env("RUSTC", toolchain_rustc.native());
  cmd.set_env("CARGO_TARGET_DIR", (*dir / "target").native());
  cmd.remove_env("RUSTC_WRAPPER");
  auto built = exec::run_child(cmd, true);
  if (!built)
    return fail(fmt::format("could not execute {}: {}", util::quoted(cmd.program),
                            util::os_error(built.error())),
                1);
  if (!built->status.success()) return fail("building the compiler driver failed", 1);

  const fs::path exe = *dir / "kelv-rustc-driver";
  const fs::path staged = *dir / fmt::format(".kelv-rustc-driver.{}.tmp", ::getpid());
  std::error_code ec;
  fs::copy_file(*dir / "target/release/kelv-rustc-driver", staged,
                fs::copy_options::overwrite_existing, ec);
  if (!ec) fs::rename(staged, exe, ec);
  if (ec) return fail(fmt::format("cannot install {}: {}", exe.native(), util::os_error(ec)), 1);
  util::ui::say(util::ui::Level::ok, fmt::format("compiler driver for {} installed at {}",
                                                 toolchain_name(compiler->sysroot), exe.native()));
  return 0;
}

}  // namespace kelv::tool
