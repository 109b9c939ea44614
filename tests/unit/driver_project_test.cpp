// The driver project the wrapper carries: the embedded texts are the files in
// driver_project/, every byte of them names the driver directory, the Rust
// sources at least parse, they are built only for the compiler releases they
// name, and what they use of the compiler's internal interfaces exists in the
// installed compiler library (the `rustc-dev` crates are not available here,
// so the sources cannot be type-checked; the library's symbol table still
// names every query with its key type, and the methods of the traits it
// implements).

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstddef>
#include <filesystem>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "driver/driver.h"
#include "driver/project_text.h"
#include "driver/rustc_info.h"
#include "support/testing.h"
#include "util/hash.h"
#include "util/paths.h"

namespace kelv {
namespace {

namespace fs = std::filesystem;
using testing::read_file;
using testing::TempDir;
using testing::write_file;

fs::path project_dir() {
  return testing::source_dir() / "driver_project";
}

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

fs::path toolchain_bin() {
  return fs::path(testing::real_rustc()).parent_path();
}

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
        "opt-level = 3", "strip = true", "\n[workspace]\n", "\n[package.metadata.kelv]\n",
        "\nrustc-releases = [", "cfg(kelv_rustc, values("})
    EXPECT_NE(m.find(line), std::string_view::npos) << line;
}

TEST(DriverProjectText, SourcesCarryTheContract) {
  const std::string_view main_rs = driver::main_rs_text;
  const std::string_view early = driver::early_link_rs_text;
  EXPECT_NE(main_rs.find("#![feature(rustc_private)]"), std::string_view::npos);
  EXPECT_NE(main_rs.find("\nmod early_link;\n"), std::string_view::npos);
  for (std::string_view name : {"KELV_DRIVER_INTERFACE_HASH", "KELV_DRIVER_READY_FD",
                                "KELV_DRIVER_KEEP_OBJECTS", "\"kelv-svh\"", "\"kelv-span-deps\""})
    EXPECT_NE(main_rs.find(name), std::string_view::npos) << name;
  EXPECT_NE(early.find("fn join_codegen("), std::string_view::npos);
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
  const std::string moved_early =
      std::string(main_rs.substr(main_rs.size() - 1)) + std::string(driver::early_link_rs_text);
  EXPECT_NE(digest_of(driver::manifest_text, moved_main, moved_early, sysroot.path()), digest);
}

// ------------------------------------------------------------ syntax

// rustc parses each source file as a crate root (parsing stops there, so the
// module file is checked on its own); rustfmt parses main.rs together with the
// module it declares, and checks that both are formatted.
TEST(DriverProjectSyntax, SourcesParse) {
  const std::string rustc = testing::real_rustc();
  for (const char* name : {"src/main.rs", "src/early_link.rs"}) {
    const testing::Outcome o = run_tool(
        {rustc, "-Zparse-crate-root-only", "--edition", "2021", (project_dir() / name).string()});
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

// ------------------------------------------------------------ releases

std::string sources() {
  return std::string(driver::main_rs_text) + "\n" + std::string(driver::early_link_rs_text);
}

// Where the code that an attribute at `from` gates ends: a braced item (with
// what follows its block up to a ';' for a statement such as a `let`), or a
// statement, argument or field ending at a ';' or ',' outside brackets.
std::size_t end_of_gated(std::string_view text, std::size_t from) {
  int depth = 0;
  bool item = false;
  for (std::size_t i = from; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '(' || c == '[' || c == '{') {
      if (c == '{' && depth == 0) item = true;
      ++depth;
    } else if (c == ')' || c == ']' || c == '}') {
      if (depth == 0) return i;  // the end of the enclosing list
      --depth;
      if (depth == 0 && item && c == '}') {
        const std::size_t next = text.find_first_not_of(" \t\n", i + 1);
        if (next == std::string_view::npos || text[next] != ';') return i + 1;
      }
    } else if ((c == ';' || c == ',') && depth == 0) {
      return i + 1;
    }
  }
  return text.size();
}

// The sources as a toolchain of `release` compiles them: code gated for any
// other release is left out.
std::string sources_for(std::string_view release) {
  const std::string text = sources();
  const std::regex gate(R"re(#\[cfg\(kelv_rustc\s*=\s*"([0-9.]+)"\)\])re");
  std::string kept;
  std::size_t at = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), gate); it != std::sregex_iterator();
       ++it) {
    const auto start = static_cast<std::size_t>(it->position(0));
    if (start < at || (*it)[1].str() == release) continue;
    kept.append(text, at, start - at);
    at = end_of_gated(text, start + static_cast<std::size_t>(it->length(0)));
  }
  kept.append(text, at);
  return kept;
}

// The quoted strings of `text` up to the first `end` character.
std::vector<std::string> quoted_until(std::string_view text, char end) {
  text = text.substr(0, text.find(end));
  std::vector<std::string> found;
  for (std::size_t open = text.find('"'); open != std::string_view::npos;) {
    const std::size_t close = text.find('"', open + 1);
    if (close == std::string_view::npos) break;
    found.emplace_back(text.substr(open + 1, close - open - 1));
    open = text.find('"', close + 1);
  }
  return found;
}

TEST(DriverProjectReleases, TheManifestNamesTheReleasesTheSourcesAreWrittenFor) {
  const std::vector<std::string> releases = driver::known_rustc_releases();
  ASSERT_FALSE(releases.empty());
  EXPECT_EQ(releases, (std::vector<std::string>{"1.95", "1.96"}));

  // The flag's declared values are the listed releases.
  const std::string_view m = driver::manifest_text;
  const std::size_t values = m.find("cfg(kelv_rustc, values(");
  ASSERT_NE(values, std::string_view::npos);
  EXPECT_EQ(quoted_until(m.substr(values), ')'), releases);

  // The sources select code for listed releases only (placeholders such as
  // "<release>" in comments aside).
  const std::string text = sources();
  const std::regex selected(R"re(kelv_rustc\s*=\s*"([0-9][^"]*)")re");
  std::size_t selections = 0;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), selected);
       it != std::sregex_iterator(); ++it, ++selections)
    EXPECT_NE(std::find(releases.begin(), releases.end(), (*it)[1].str()), releases.end())
        << (*it)[0].str();
  EXPECT_GT(selections, 0u);
  EXPECT_EQ(text.find("kelv_rustc_ge_"), std::string::npos);
  // What a release compiles leaves out the other's code (checks against a
  // release's compiler library read this).
  EXPECT_EQ(sources_for("1.95").find("fn target_cpu"), std::string::npos);
  EXPECT_NE(sources_for("1.96").find("fn target_cpu"), std::string::npos);
  EXPECT_NE(sources_for("1.95").find("fn join_codegen"), std::string::npos);
}

TEST(DriverProjectReleases, AToolchainIsKnownByItsMajorAndMinorRelease) {
  EXPECT_EQ(driver::driver_release("1.95.0"), "1.95");
  EXPECT_EQ(driver::driver_release("1.95.3"), "1.95");
  EXPECT_EQ(driver::driver_release("1.95.0-beta.4"), "1.95");
  EXPECT_EQ(driver::driver_release("1.96.0"), "1.96");
  for (std::string_view release :
       {"1.95.0-nightly", "1.95.0-dev", "1.96.0-nightly", "1.97.0", "1.94.1", "2.95.0", "1.950.0",
        "1.95", "1.95.0.1", "x.95.0", ".95.0", ""}) {
    const auto refused = driver::driver_release(release);
    ASSERT_FALSE(refused) << release;
    const std::string& why = refused.error();
    EXPECT_TRUE(
        why.starts_with("the compiler driver is written for the internal interfaces of "
                        "rustc 1.95, 1.96 (stable or beta) only, not for rustc " +
                        std::string(release) + ";"))
        << why;
    EXPECT_NE(why.find("the wrapper compiles its units with rustc itself"), std::string::npos);
    EXPECT_EQ(why.find('\n'), std::string::npos);
  }
}

// rustc expands a crate before it resolves the compiler's own crates, so
// even here the sources' gate shows which releases they accept.
TEST(DriverProjectReleases, TheSourcesRefuseToBuildForAnyOtherRelease) {
  TempDir out;
  const auto compile = [&](std::optional<std::string> release) {
    std::vector<std::string> argv = {
        testing::real_rustc(), "--edition",        "2021", "--crate-type", "bin", "--emit=metadata",
        "--out-dir",           out.path().string()};
    if (release) {
      argv.push_back("--cfg");
      argv.push_back("kelv_rustc=\"" + *release + "\"");
    }
    argv.push_back((project_dir() / "src" / "main.rs").string());
    return run_tool(argv).err;
  };
  const std::string refusal =
      "kelv-rustc-driver is written for the internal interfaces of rustc 1.95 and 1.96 only";
  EXPECT_NE(compile(std::nullopt).find(refusal), std::string::npos);
  EXPECT_NE(compile("1.97").find(refusal), std::string::npos);
  for (const std::string& release : driver::known_rustc_releases()) {
    const std::string err = compile(release);
    EXPECT_EQ(err.find(refusal), std::string::npos) << release << ":\n" << err;
  }
}

// ------------------------------------------------------------ compiler library

// The compiler library (librustc_driver-*.so) of the toolchain on PATH, read
// through its symbol table. The library is not stripped: its symbols name
// every query with its key type (the query's vtable closures), the methods
// of every trait impl it instantiates, and every function not inlined at all
// of its uses. Argument and return types are not in it.
struct CompilerLibrary {
  std::string skip;                            // why the checks cannot run here
  std::vector<std::string> symbols;            // demangled, sorted
  std::map<std::string, std::string> queries;  // name -> key type

  // A function (or a generic function's instantiation) of that path.
  bool has(const std::string& path) const {
    auto it = std::lower_bound(symbols.begin(), symbols.end(), path);
    for (; it != symbols.end() && it->starts_with(path); ++it)
      if (it->size() == path.size() || it->compare(path.size(), 3, "::<") == 0) return true;
    return false;
  }

  // The methods that the library's impls of `trait` (its full path) show.
  std::set<std::string> methods_of(const std::string& trait) const {
    const std::string marker = " as " + trait + ">::";
    std::set<std::string> methods;
    for (const std::string& s : symbols) {
      for (std::size_t at = s.find(marker); at != std::string::npos; at = s.find(marker, at + 1)) {
        std::size_t end = at + marker.size();
        while (end < s.size() &&
               (std::isalnum(static_cast<unsigned char>(s[end])) || s[end] == '_'))
          ++end;
        if (end > at + marker.size())
          methods.insert(s.substr(at + marker.size(), end - at - marker.size()));
      }
    }
    return methods;
  }
};

const CompilerLibrary& compiler_library() {
  static const CompilerLibrary library = [] {
    CompilerLibrary lib;
    const std::string rustc = testing::real_rustc();
    const testing::Outcome version = run_tool({rustc, "-vV"});
    const auto release = rustc_info::version_field(version.out, "release: ");
    if (!release || !driver::driver_release(*release)) {
      lib.skip = "the toolchain on PATH (" + rustc +
                 ") is not of a release the driver's sources "
                 "are written for";
      return lib;
    }
    const fs::path lib_dir = fs::path(rustc).parent_path().parent_path() / "lib";
    std::optional<fs::path> so;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(lib_dir, ec)) {
      const std::string name = e.path().filename();
      if (name.starts_with("librustc_driver-") && name.ends_with(".so")) so = e.path();
    }
    if (!so) {
      lib.skip =
          "the toolchain has no compiler library (librustc_driver-*.so) in " + lib_dir.string();
      return lib;
    }
    testing::Outcome listed;
    try {
      listed = testing::run({.argv = {"nm", "--defined-only", "--demangle", so->string()}});
    } catch (const std::exception&) {
      lib.skip = "nm (binutils) cannot be run to read " + so->string();
      return lib;
    }
    if (listed.exit_code != 0 || listed.out.empty()) {
      lib.skip = "nm cannot read the symbols of " + so->string() + ": " + listed.err;
      return lib;
    }
    const std::string vtable = "<rustc_query_impl::query_impl::";
    const std::string key_mark =
        "::make_query_vtable::{closure#0} as core::ops::function::FnOnce<(rustc_middle::ty::"
        "context::TyCtxt, ";
    const std::string key_end = ")>>::call_once";
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
      // "<address> <type> <name>"
      const std::size_t space = line.find(' ');
      if (space == std::string::npos || line.size() < space + 3) continue;
      std::string name = line.substr(space + 3);
      if (name.starts_with(vtable) && name.ends_with(key_end)) {
        const std::size_t mark = name.find(key_mark);
        if (mark != std::string::npos) {
          const std::size_t key = mark + key_mark.size();
          lib.queries[name.substr(vtable.size(), mark - vtable.size())] =
              name.substr(key, name.size() - key_end.size() - key);
        }
      }
      lib.symbols.push_back(std::move(name));
    }
    std::sort(lib.symbols.begin(), lib.symbols.end());
    lib.symbols.erase(std::unique(lib.symbols.begin(), lib.symbols.end()), lib.symbols.end());
    if (lib.queries.size() < 100) lib.skip = so->string() + " names no queries";
    return lib;
  }();
  return library;
}

#define REQUIRE_COMPILER_LIBRARY()                 \
  const CompilerLibrary& lib = compiler_library(); \
  if (!lib.skip.empty()) GTEST_SKIP() << lib.skip << "; nothing to check against"

// The names of `tcx.<name>(...)` calls in the sources.
std::set<std::string> tcx_calls() {
  const std::string text = sources_for("1.95");
  const std::regex call(R"(\btcx\s*\.\s*([a-z_][a-z0-9_]*)\s*\()");
  std::set<std::string> names;
  for (auto it = std::sregex_iterator(text.begin(), text.end(), call); it != std::sregex_iterator();
       ++it)
    names.insert((*it)[1].str());
  return names;
}

// The key each query is asked with: a definition of this crate (a `LocalDefId`
// key takes it, and so does a `DefId` key), a crate number, or nothing.
const std::set<std::string> definition_key = {"rustc_span::def_id::LocalDefId",
                                              "rustc_span::def_id::DefId"};
const std::set<std::string> crate_key = {"rustc_span::def_id::CrateNum"};
const std::set<std::string> no_key = {"()"};
const std::map<std::string, std::set<std::string>> query_keys = {
    {"coroutine_kind", definition_key},
    {"constness", definition_key},
    {"cross_crate_inlinable", definition_key},
    {"def_kind", definition_key},
    {"fn_arg_idents", definition_key},
    {"generics_of", definition_key},
    {"opaque_types_defined_by", definition_key},
    {"source_span", definition_key},
    {"crate_hash", crate_key},
    {"debugger_visualizers", crate_key},
    {"exported_generic_symbols", crate_key},
    {"exported_non_generic_symbols", crate_key},
    {"used_crate_source", crate_key},
    {"crates", no_key},
    {"hir_crate", no_key},
    {"output_filenames", no_key},
    {"reachable_set", no_key},
    {"resolutions", no_key},
};

// `TyCtxt` methods that are no queries and that the library inlines at every
// use, so that no symbol shows them; they cannot be confirmed here.
const std::set<std::string> inlined_tcx_methods = {
    "crate_types", "dcx", "opt_local_parent", "stable_crate_id", "with_stable_hashing_context"};

TEST(DriverProjectLibrary, EveryTyCtxtCallIsAQueryOrMethodOfTheLibrary) {
  REQUIRE_COMPILER_LIBRARY();
  const std::set<std::string> calls = tcx_calls();
  ASSERT_GT(calls.size(), 20u);
  for (const std::string& name : calls) {
    const bool query =
        lib.queries.contains(name) && lib.has("rustc_middle::queries::_description_fns::" + name);
    const bool method = lib.has("<rustc_middle::ty::context::TyCtxt>::" + name);
    EXPECT_TRUE(query || method || inlined_tcx_methods.contains(name))
        << "tcx." << name << "() is neither a query nor a TyCtxt method of the library";
  }
}

TEST(DriverProjectLibrary, QueriesAreAskedWithTheKeysTheyTake) {
  REQUIRE_COMPILER_LIBRARY();
  std::set<std::string> asked;
  for (const std::string& name : tcx_calls())
    if (lib.queries.contains(name)) asked.insert(name);
  std::set<std::string> listed;
  for (const auto& [name, keys] : query_keys) listed.insert(name);
  // Every query the sources ask is listed here with the key they give it.
  EXPECT_EQ(asked, listed);
  for (const auto& [name, keys] : query_keys) {
    auto found = lib.queries.find(name);
    ASSERT_NE(found, lib.queries.end()) << name << " is no query of the library";
    EXPECT_TRUE(keys.contains(found->second)) << name << " takes " << found->second;
  }
}

// How a trait the sources implement shows in the library.
struct TraitInLibrary {
  std::string path;  // the trait's own path (re-exports resolved)
  enum { same_methods, some_methods, no_methods } methods;
  std::set<std::string> inlined = {};  // methods without a symbol of their own
};

const std::map<std::string, TraitInLibrary> implemented_traits = {
    // The backend forwards every method, so that nothing falls back to a
    // default that differs from the backend it wraps.
    {"CodegenBackend",
     {"rustc_codegen_ssa::traits::backend::CodegenBackend", TraitInLibrary::same_methods}},
    {"rustc_driver::Callbacks", {"rustc_driver_impl::Callbacks", TraitInLibrary::some_methods}},
    {"rustc_span::HashStableContext",
     {"rustc_span::HashStableContext",
      TraitInLibrary::same_methods,
      {"assert_default_hashing_controls"}}},
    {"rustc_ast::HashStableContext", {"rustc_ast::HashStableContext", TraitInLibrary::no_methods}},
    {"rustc_abi::HashStableContext", {"rustc_abi::HashStableContext", TraitInLibrary::no_methods}},
    // A re-export of rustc_abi's trait.
    {"rustc_target::HashStableContext",
     {"rustc_abi::HashStableContext", TraitInLibrary::no_methods}},
    {"rustc_hir::HashStableContext", {"rustc_hir::HashStableContext", TraitInLibrary::no_methods}},
};

// The text from `start` to the brace that closes the first one opened there.
std::string_view braced(std::string_view text, std::size_t start) {
  int depth = 0;
  for (std::size_t i = text.find('{', start); i < text.size(); ++i) {
    if (text[i] == '{') ++depth;
    if (text[i] == '}' && --depth == 0) return text.substr(start, i + 1 - start);
  }
  return text.substr(start);
}

TEST(DriverProjectLibrary, TraitImplsHaveTheMethodsOfTheLibrarysTraits) {
  REQUIRE_COMPILER_LIBRARY();
  const std::string text = sources_for("1.95");
  const std::regex impl(
      R"(\nimpl(?:<[^>\n]*>)?\s+([A-Za-z_][A-Za-z0-9_:]*)\s+for\s+([A-Za-z_][A-Za-z0-9_]*))");
  const std::regex fn(R"(\bfn\s+([a-z_][a-z0-9_]*))");
  std::map<std::pair<std::string, std::string>, int> impls;  // (trait, type) -> count
  for (auto it = std::sregex_iterator(text.begin(), text.end(), impl); it != std::sregex_iterator();
       ++it) {
    const std::string trait = (*it)[1].str(), type = (*it)[2].str();
    const auto known = implemented_traits.find(trait);
    if (known == implemented_traits.end()) {
      ADD_FAILURE() << "impl " << trait << " for " << type << ": trait not in the table";
      continue;
    }
    const TraitInLibrary& in_lib = known->second;
    ++impls[{in_lib.path, type}];
    const std::string body(braced(text, static_cast<std::size_t>(it->position(0))));
    std::set<std::string> implemented;
    for (auto f = std::sregex_iterator(body.begin(), body.end(), fn); f != std::sregex_iterator();
         ++f)
      implemented.insert((*f)[1].str());
    std::set<std::string> library = lib.methods_of(in_lib.path);
    switch (in_lib.methods) {
      case TraitInLibrary::same_methods:
        library.insert(in_lib.inlined.begin(), in_lib.inlined.end());
        EXPECT_EQ(implemented, library) << "impl " << trait << " for " << type;
        break;
      case TraitInLibrary::some_methods:
        for (const std::string& m : implemented)
          EXPECT_TRUE(library.contains(m)) << trait << " has no method " << m;
        break;
      case TraitInLibrary::no_methods:
        EXPECT_TRUE(implemented.empty()) << trait << " has no methods to implement";
        EXPECT_TRUE(library.empty()) << trait << " has methods in the library";
        break;
    }
  }
  for (const auto& [trait_and_type, count] : impls)
    EXPECT_EQ(count, 1) << trait_and_type.first << " is implemented " << count << " times for "
                        << trait_and_type.second;
  // Every trait of the table is implemented (the re-export names one of them).
  EXPECT_EQ(impls.size(), implemented_traits.size() - 1);
}

// Functions and options the sources use, by their text in the sources
// (whitespace aside) and their path in the library.
const std::vector<std::pair<std::string, std::string>> used_functions = {
    {"rustc_driver::run_compiler(", "rustc_driver_impl::run_compiler"},
    {"rustc_driver::args::raw_args(", "rustc_driver_impl::args::raw_args"},
    {"rustc_driver::install_ice_hook(", "rustc_driver_impl::install_ice_hook"},
    {"rustc_driver::install_ctrlc_handler(", "rustc_driver_impl::install_ctrlc_handler"},
    {"rustc_driver::init_rustc_env_logger(", "rustc_driver_impl::init_rustc_env_logger"},
    {"rustc_interface::util::get_codegen_backend(", "rustc_interface::util::get_codegen_backend"},
    {"CrateInfo::new(", "<rustc_codegen_ssa::CrateInfo>::new"},
    {"CodegenResults::serialize_rlink(", "<rustc_codegen_ssa::CodegenResults>::serialize_rlink"},
    {".freeze_and_get_read_spans()", "<rustc_span::MetavarSpansMap>::freeze_and_get_read_spans"},
    {".line_bounds(", "<rustc_span::SourceFile>::line_bounds"},
    {".lookup_line(", "<rustc_span::source_map::SourceMap>::lookup_line"},
    {".lookup_source_file(", "<rustc_span::source_map::SourceMap>::lookup_source_file"},
    {".data_untracked()", "<rustc_span::span_encoding::Span>::data_untracked"},
    {".dep_tracking_hash(true)", "<rustc_session::options::Options>::dep_tracking_hash"},
    {".requires_monomorphization(",
     "<rustc_middle::ty::generics::Generics>::requires_monomorphization"},
    {".should_codegen()", "<rustc_session::config::OutputTypes>::should_codegen"},
    {".with_extension(", "<rustc_session::config::OutputFilenames>::with_extension"},
    {".path(OutputType::Metadata)", "<rustc_session::config::OutputFilenames>::path"},
    {".emit_stashed_diagnostics()", "<rustc_errors::DiagCtxtHandle>::emit_stashed_diagnostics"},
    {".print_error_count()", "<rustc_errors::DiagCtxtHandle>::print_error_count"},
    {".emit_future_breakage_report()",
     "<rustc_errors::DiagCtxtHandle>::emit_future_breakage_report"},
    {".abort_if_errors()", "<rustc_errors::DiagCtxtHandle>::abort_if_errors"},
    {".has_errors()", "<rustc_errors::DiagCtxtHandle>::has_errors"},
    {".fatal(format!(", "<rustc_errors::DiagCtxtHandle>::fatal::<alloc::string::String>"},
    {"unstable_opts.always_encode_mir", "rustc_session::options::dbopts::always_encode_mir"},
    {"unstable_opts.no_link", "rustc_session::options::dbopts::no_link"},
    {"unstable_opts.link_only", "rustc_session::options::dbopts::link_only"},
    {"unstable_opts.print_type_sizes", "rustc_session::options::dbopts::print_type_sizes"},
    {"unstable_opts.time_passes", "rustc_session::options::dbopts::time_passes"},
    {"unstable_opts.codegen_backend", "rustc_session::options::dbopts::codegen_backend"},
    {".cg.target_cpu", "rustc_session::options::cgopts::target_cpu"},
};

TEST(DriverProjectLibrary, FunctionsAndOptionsTheSourcesUseExist) {
  REQUIRE_COMPILER_LIBRARY();
  std::string text = sources_for("1.95");
  std::erase_if(text, [](unsigned char c) { return std::isspace(c); });
  for (const auto& [used, path] : used_functions) {
    EXPECT_NE(text.find(used), std::string::npos) << used << " is no longer used; drop it";
    EXPECT_TRUE(lib.has(path)) << path << " is not in the library";
  }
}

// ------------------------------------------------------------ files beside the outputs

// The driver replaces its files through a temporary sibling and a rename, so
// that a cache entry holding a hard link to the old file keeps it. The
// helper is plain Rust: it is taken out of the sources and run here.
TEST(DriverProjectFiles, FilesBesideTheOutputsAreReplacedNotRewritten) {
  const std::string_view main_rs = driver::main_rs_text;
  const std::size_t start = main_rs.find("\nfn replace_file(");
  ASSERT_NE(start, std::string_view::npos);
  const std::string helper(braced(main_rs, start + 1));
  // Every write of the sources goes to the temporary file.
  const std::string text = sources();
  for (std::size_t at = text.find("fs::write("); at != std::string::npos;
       at = text.find("fs::write(", at + 1))
    EXPECT_EQ(text.compare(at, 15, "fs::write(temp,"), 0) << text.substr(at, 40);
  EXPECT_NE(text.find("replace_file(&path, |temp|"), std::string::npos);
  EXPECT_NE(text.find("replace_file(&rlink, |temp|"), std::string::npos);

  TempDir dir;
  write_file(dir / "replace.rs", helper + R"(
fn main() {
    let dir = std::path::PathBuf::from(std::env::args().nth(1).unwrap());
    let path = dir.join("libx-1.kelv-svh");
    std::fs::write(&path, "old\n").unwrap();
    std::fs::hard_link(&path, dir.join("entry")).unwrap();
    replace_file(&path, |temp| std::fs::write(temp, "new\n")).unwrap();
    assert_eq!(std::fs::read_to_string(&path).unwrap(), "new\n");
    assert_eq!(std::fs::read_to_string(dir.join("entry")).unwrap(), "old\n");
    let failed = replace_file(&path, |temp| {
        std::fs::write(temp, "partial")?;
        Err(std::io::Error::other("refused"))
    });
    assert!(failed.is_err());
    assert_eq!(std::fs::read_to_string(&path).unwrap(), "new\n");
    let mut names: Vec<_> = std::fs::read_dir(&dir)
        .unwrap()
        .map(|e| e.unwrap().file_name().into_string().unwrap())
        .collect();
    names.sort();
    assert_eq!(names, ["entry", "libx-1.kelv-svh", "replace", "replace.rs"]);
    assert!(replace_file(std::path::Path::new("/"), |_| Ok(())).is_err());
}
)");
  const testing::Outcome built =
      run_tool({testing::real_rustc(), "--edition", "2021", "-o", (dir / "replace").string(),
                (dir / "replace.rs").string()});
  ASSERT_EQ(built.exit_code, 0) << built.err;
  const testing::Outcome ran = run_tool({(dir / "replace").string(), dir.path().string()});
  EXPECT_EQ(ran.exit_code, 0) << ran.err;
}

// The stand-in driver of the other tests writes its crate hash file in
// place by default, and by rename when asked.
TEST(StandInDriver, RewritesItsCrateHashInPlaceOrReplacesItWhenAsked) {
  const fs::path stand_in = KELV_STAND_IN_DRIVER_EXE;
  if (!fs::exists(stand_in)) GTEST_SKIP() << "the stand-in driver is not built";
  for (const bool by_rename : {false, true}) {
    TempDir dir;
    const fs::path svh = dir / "out" / "libkx-1.kelv-svh";
    fs::create_directories(dir / "out");
    const auto compile = [&](const std::string& source) {
      write_file(dir / "kx.rs", source);
      testing::Run r{
          .argv = {stand_in.string(), "--crate-name", "kx", "--crate-type", "lib", "--edition",
                   "2021", "--emit=metadata,link", "-C", "extra-filename=-1", "--out-dir",
                   (dir / "out").string(), (dir / "kx.rs").string()},
          .env = {{"KELV_STANDIN_RUSTC", testing::real_rustc()},
                  {"KELV_DRIVER_INTERFACE_HASH", "1"},
                  {"KELV_DRIVER_READY_FD", std::nullopt},
                  {"KELV_STANDIN_CRASH", std::nullopt},
                  {"KELV_STANDIN_WRITE_BY_RENAME",
                   by_rename ? std::optional<std::string>("1") : std::nullopt}}};
      const testing::Outcome o = testing::run(r);
      ASSERT_EQ(o.exit_code, 0) << o.err;
    };
    compile("pub fn one() -> u32 { 1 }\n");
    const std::string first = read_file(svh);
    ASSERT_EQ(first.size(), 33u) << first;
    fs::create_hard_link(svh, dir / "entry");
    compile("pub fn one() -> u32 { 1 }\npub fn two() -> u32 { 2 }\n");
    const std::string second = read_file(svh);
    ASSERT_NE(second, first);
    EXPECT_EQ(read_file(dir / "entry"), by_rename ? first : second) << "by rename: " << by_rename;
    for (const std::string& name : testing::names_in(dir / "out"))
      EXPECT_FALSE(name.starts_with(".")) << name << " is left behind";
  }
}

}  // namespace
}  // namespace kelv
