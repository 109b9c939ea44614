// The driver project the wrapper carries: the embedded texts are the files in
// driver_project/, every byte of them names the driver directory, and the
// Rust sources at least parse (the compiler's internal crates are not
// available here, so they cannot be type-checked).

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "driver/project_text.h"
#include "support/testing.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

fs::path project_dir() { return testing::source_dir() / "driver_project"; }

struct ProjectFile {
  const char* name;  // below driver_project/
  std::string_view text;
};

std::array<ProjectFile, 3> project_files() {
  return {{{"Cargo.toml", driver::manifest_text},
           {"src/main.rs", driver::main_rs_text},
           {"src/early_link.rs", driver::early_link_rs_text}}};
}

// The digest of source_digest, with the three texts given.
std::string digest_of(std::string_view manifest, std::string_view main_rs,
                      std::string_view early_link_rs, const fs::path& sysroot) {
  const std::string root = util::path_str(util::canon(sysroot));
  return util::key_digest({manifest, "main.rs", main_rs, "early_link.rs", early_link_rs, root});
}

testing::Outcome run_tool(std::vector<std::string> argv) {
  return testing::run({.argv = std::move(argv), .env = {{"RUSTC_BOOTSTRAP", "1"}}});
}

fs::path toolchain_bin() { return fs::path(testing::real_rustc()).parent_path(); }

bool have_rustfmt() {
  const fs::path rustfmt = toolchain_bin() / "rustfmt";
  return fs::exists(rustfmt) && run_tool({rustfmt.string(), "--version"}).exit_code == 0;
}

// ------------------------------------------------------------ embedded texts

TEST(DriverProjectText, EmbeddedTextsAreTheFilesByteForByte) {
  for (const ProjectFile& file : project_files()) {
    const std::string on_disk = read_file(project_dir() / file.name);
    EXPECT_EQ(file.text.size(), on_disk.size()) << file.name;
    EXPECT_TRUE(file.text == on_disk) << file.name << " differs from its embedded text";
  }
}

TEST(DriverProjectText, ManifestDescribesTheDriverPackage) {
  const std::string_view m = driver::manifest_text;
  ASSERT_TRUE(m.starts_with("#"));  // leading comments
  EXPECT_NE(m.find("rustc-dev"), std::string_view::npos);
  EXPECT_NE(m.find("RUSTC_BOOTSTRAP=1"), std::string_view::npos);
  for (std::string_view line :
       {"name = \"kelv-rustc-driver\"", "version = \"0.1.0\"", "edition = \"2021\"",
        "publish = false", "[[bin]]", "path = \"src/main.rs\"", "[profile.release]",
        "opt-level = 3", "strip = true", "\n[workspace]\n", "cfg(kelv_rustc_ge_99)"})
    EXPECT_NE(m.find(line), std::string_view::npos) << line;
}

TEST(DriverProjectText, SourcesCarryTheContractAndBothJoinForms) {
  const std::string_view main_rs = driver::main_rs_text;
  const std::string_view early = driver::early_link_rs_text;
  EXPECT_NE(main_rs.find("#![feature(rustc_private)]"), std::string_view::npos);
  EXPECT_NE(main_rs.find("\nmod early_link;\n"), std::string_view::npos);
  for (std::string_view name :
       {"KELV_DRIVER_INTERFACE_HASH", "KELV_DRIVER_READY_FD", "KELV_DRIVER_KEEP_OBJECTS",
        "\"kelv-svh\"", "\"kelv-span-deps\""})
    EXPECT_NE(main_rs.find(name), std::string_view::npos) << name;
  EXPECT_NE(early.find("#[cfg(kelv_rustc_ge_99)]\n    fn join_codegen("), std::string_view::npos);
  EXPECT_NE(early.find("#[cfg(not(kelv_rustc_ge_99))]\n    fn join_codegen("),
            std::string_view::npos);
  EXPECT_NE(early.find("kelv-no-metadata-"), std::string_view::npos);
  EXPECT_NE(early.find("b\"1\""), std::string_view::npos);  // the ready byte
}

// ------------------------------------------------------------ digest

TEST(DriverProjectDigest, CoversEveryByteOfEveryFile) {
  TempDir sysroot;
  const std::string digest = driver::source_digest(sysroot.path());
  ASSERT_EQ(digest, digest_of(driver::manifest_text, driver::main_rs_text,
                              driver::early_link_rs_text, sysroot.path()));

  for (std::size_t which = 0; which < 3; ++which) {
    const std::string_view original = project_files()[which].text;
    ASSERT_FALSE(original.empty());
    for (std::size_t at : {std::size_t{0}, original.size() / 2, original.size() - 1}) {
      std::string changed(original);
      changed[at] = static_cast<char>(changed[at] ^ 0x01);
      std::array<std::string_view, 3> texts = {driver::manifest_text, driver::main_rs_text,
                                               driver::early_link_rs_text};
      texts[which] = changed;
      EXPECT_NE(digest_of(texts[0], texts[1], texts[2], sysroot.path()), digest)
          << project_files()[which].name << " byte " << at;
    }
  }
}

TEST(DriverProjectDigest, FileNamesSeparateTheTexts) {
  // Moving text from one file to the next changes the digest even though the
  // concatenation stays the same.
  TempDir sysroot;
  const std::string digest = driver::source_digest(sysroot.path());
  const std::string_view main_rs = driver::main_rs_text;
  const std::string moved_main(main_rs.substr(0, main_rs.size() - 1));
  const std::string moved_early = std::string(main_rs.substr(main_rs.size() - 1)) +
                                  std::string(driver::early_link_rs_text);
  EXPECT_NE(digest_of(driver::manifest_text, moved_main, moved_early, sysroot.path()), digest);
}

// ------------------------------------------------------------ syntax

// rustc parses each source file as a crate root (parsing stops there, so the
// module file is checked on its own); rustfmt parses main.rs together with the
// module it declares, and checks that both are formatted.
TEST(DriverProjectSyntax, SourcesParse) {
  const std::string rustc = testing::real_rustc();
  for (const char* name : {"src/main.rs", "src/early_link.rs"}) {
    const testing::Outcome o = run_tool({rustc, "-Zparse-crate-root-only", "--edition", "2021",
                                         (project_dir() / name).string()});
    EXPECT_EQ(o.exit_code, 0) << name << ":\n" << o.err;
  }
  if (!have_rustfmt()) GTEST_SKIP() << "rustfmt is not installed";
  const testing::Outcome o =
      run_tool({(toolchain_bin() / "rustfmt").string(), "--check", "--edition", "2021",
                (project_dir() / "src" / "main.rs").string()});
  EXPECT_EQ(o.exit_code, 0) << o.out << o.err;
}

TEST(DriverProjectSyntax, ASyntaxErrorIsFound) {
  // The same checks on a copy of the project with one brace missing in the
  // module file.
  TempDir copy;
  write_file(copy / "src" / "main.rs", std::string(driver::main_rs_text));
  std::string broken(driver::early_link_rs_text);
  const std::size_t brace = broken.rfind('}');
  ASSERT_NE(brace, std::string::npos);
  broken.erase(brace, 1);
  write_file(copy / "src" / "early_link.rs", broken);

  const testing::Outcome parsed =
      run_tool({testing::real_rustc(), "-Zparse-crate-root-only", "--edition", "2021",
                (copy / "src" / "early_link.rs").string()});
  EXPECT_NE(parsed.exit_code, 0);
  EXPECT_NE(parsed.err.find("unclosed delimiter"), std::string::npos) << parsed.err;

  if (!have_rustfmt()) GTEST_SKIP() << "rustfmt is not installed";
  const testing::Outcome formatted =
      run_tool({(toolchain_bin() / "rustfmt").string(), "--check", "--edition", "2021",
                (copy / "src" / "main.rs").string()});
  EXPECT_NE(formatted.exit_code, 0);
  EXPECT_NE(formatted.err.find("early_link.rs"), std::string::npos) << formatted.err;
}

}  // namespace
}  // namespace kelv
