#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "rustc/depinfo.h"
#include "rustc/invocation.h"
#include "support/testing.h"
#include "util/hash.h"

namespace kelv {
namespace {

using testing::EnvVar;
using testing::InDir;
using testing::TempDir;
using testing::write_file;
namespace fs = std::filesystem;
using Args = std::vector<std::string>;

std::string show(const Args& args) {
  return ::testing::PrintToString(args);
}

std::optional<std::string> owned(std::optional<std::string_view> v) {
  if (!v) return std::nullopt;
  return std::string(*v);
}

// What Cargo passes for an ordinary library unit.
Args library_unit(const std::string& out_dir) {
  return {"--crate-name",
          "ledger",
          "--edition=2021",
          "ledger/src/lib.rs",
          "--error-format=json",
          "--json=diagnostic-rendered-ansi,artifacts,future-incompat",
          "--crate-type",
          "lib",
          "--emit=dep-info,metadata,link",
          "-C",
          "embed-bitcode=no",
          "-C",
          "debuginfo=2",
          "-C",
          "metadata=7a1f2c3d4e5f6a7b",
          "-C",
          "extra-filename=-7a1f2c3d4e5f6a7b",
          "--out-dir",
          out_dir,
          "-L",
          "dependency=" + out_dir};
}

// ---------------------------------------------------------------- option_value

TEST(ArgsOptionValue, MatchingRules) {
  struct Case {
    Args args;
    const char* name;
    std::optional<std::string> expected;
  };
  const Case cases[] = {
      {{"--crate-name", "foo"}, "--crate-name", "foo"},
      {{"--crate-name=foo"}, "--crate-name", "foo"},
      {{"--crate-name="}, "--crate-name", ""},
      {{"--crate-name", ""}, "--crate-name", ""},
      {{"src/lib.rs", "--crate-name"}, "--crate-name", std::nullopt},  // no value
      {{"--crate-name", "--crate-name=x"}, "--crate-name", "--crate-name=x"},
      {{"--crate-name", "a", "--crate-name", "b"}, "--crate-name", "a"},
      {{"--crate-name=a", "--crate-name", "b"}, "--crate-name", "a"},
      {{"--crate-name=a=b"}, "--crate-name", "a=b"},
      {{"--out-dirx"}, "--out-dir", std::nullopt},
      {{"--out-dirx", "/o"}, "--out-dir", std::nullopt},
      {{"--out-dir/o"}, "--out-dir", std::nullopt},
      {{"--crate-name", "foo"}, "--crate", std::nullopt},
      {{"--CRATE-NAME", "foo"}, "--crate-name", std::nullopt},
      {{" --crate-name", "foo"}, "--crate-name", std::nullopt},
      // The value of another option is not known to be one: it is examined.
      {{"--cfg", "--crate-name=x"}, "--crate-name", "x"},
      {{"-o", "out"}, "-o", "out"},
      {{"-oout"}, "-o", std::nullopt},
      {{}, "--crate-name", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.args) + " " + c.name);
    EXPECT_EQ(owned(rustc::option_value(c.args, c.name)), c.expected);
  }
}

// ---------------------------------------------------------------- codegen_option

TEST(ArgsCodegenOption, MatchingRules) {
  struct Case {
    Args args;
    std::optional<std::string> expected;  // for the key "incremental"
  };
  const Case cases[] = {
      {{"-C", "incremental=/x"}, "/x"},
      {{"-Cincremental=/x"}, "/x"},
      {{"-C", "opt-level=3", "-C", "incremental=/x"}, "/x"},
      {{"-C", "incremental=/a", "-Cincremental=/b"}, "/a"},
      {{"-C", "incremental="}, ""},
      {{"-C", "incremental=a=b"}, "a=b"},
      {{"--codegen", "incremental=/x"}, std::nullopt},
      {{"--codegen=incremental=/x"}, std::nullopt},
      {{"-C"}, std::nullopt},
      {{"-C", "opt-level=3", "-C"}, std::nullopt},
      {{"-C", "incremental"}, std::nullopt},
      {{"-Cincremental"}, std::nullopt},
      {{"-Cincrementalx=/x"}, std::nullopt},
      {{"-C", "incremental-x=/x"}, std::nullopt},
      {{"-Z", "incremental=/x"}, std::nullopt},
      {{"-Zincremental=/x"}, std::nullopt},
      {{"incremental=/x"}, std::nullopt},
      // The element after "-C" is its value even when it looks like an option,
      // and it is not looked at again.
      {{"-C", "-Cincremental=/x"}, std::nullopt},
      {{"-C", "-C", "incremental=/x"}, std::nullopt},
      {{"-C", "opt-level=3", "incremental=/x"}, std::nullopt},
      {{"-c", "incremental=/x"}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.args));
    EXPECT_EQ(owned(rustc::codegen_option(c.args, "incremental")), c.expected);
  }
}

// ---------------------------------------------------------------- is_compile

TEST(ArgsIsCompile, UnitsAndProbes) {
  struct Case {
    const char* what;
    Args args;
    bool expected;
  };
  const Case cases[] = {
      {"library unit", library_unit("/t/debug/deps"), true},
      {"joined forms", {"--crate-name=foo", "src/main.rs", "-Cmetadata=1"}, true},
      {"empty metadata value still counts", {"--crate-name", "foo", "-C", "metadata="}, true},
      {"crate name merely starting with ___", {"--crate-name", "___x", "-C", "metadata=1"}, true},
      {"probe",
       {"-", "--crate-name", "___", "--print=file-names", "--crate-type", "bin", "--crate-type",
        "rlib"},
       false},
      {"probe name even with metadata", {"--crate-name", "___", "-C", "metadata=1"}, false},
      {"print as a separate option",
       {"--crate-name", "foo", "-C", "metadata=1", "--print", "cfg"},
       false},
      {"print joined", {"--crate-name", "foo", "-C", "metadata=1", "--print=cfg"}, false},
      {"anything starting with --print",
       {"--crate-name", "foo", "-C", "metadata=1", "--printx"},
       false},
      {"version query", {"-vV"}, false},
      {"no metadata", {"--crate-name", "foo", "src/lib.rs", "--out-dir", "/o"}, false},
      {"metadata through --codegen", {"--crate-name", "foo", "--codegen", "metadata=1"}, false},
      {"crate name without value", {"-C", "metadata=1", "--crate-name"}, false},
      {"no crate name", {"src/lib.rs", "-C", "metadata=1"}, false},
      {"nothing", {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(rustc::is_compile(c.args), c.expected);
  }
}

// ---------------------------------------------------------------- links_output

TEST(ArgsLinksOutput, CrateTypesAndTests) {
  struct Case {
    Args args;
    bool expected;
  };
  const Case cases[] = {
      {{"--test", "src/lib.rs"}, true},
      {{"--crate-type", "lib", "--test"}, true},
      {{"--crate-type=lib,bin"}, true},
      {{"--crate-type", "bin"}, true},
      {{"--crate-type", "dylib"}, true},
      {{"--crate-type", "cdylib"}, true},
      {{"--crate-type", "proc-macro"}, true},
      {{"--crate-type=rlib,proc-macro"}, true},
      {{"--crate-type", "lib", "--crate-type", "bin"}, true},  // every occurrence counts
      {{"--crate-type=lib", "--crate-type=cdylib"}, true},
      {{"--crate-type", "lib,,bin"}, true},
      {{"--crate-type", "staticlib"}, false},
      {{"--crate-type", "lib"}, false},
      {{"--crate-type", "rlib"}, false},
      {{"--crate-type=lib,rlib,staticlib"}, false},
      {{"--crate-type", "bins"}, false},
      {{"--crate-type", "Bin"}, false},
      {{"--crate-type", "lib bin"}, false},
      {{"--crate-typex=bin"}, false},
      {{"--crate-type"}, false},
      {{"--tests"}, false},
      {{"src/bin.rs"}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.args));
    EXPECT_EQ(rustc::links_output(c.args), c.expected);
  }
}

// ---------------------------------------------------------------- user_chose_linker

TEST(ArgsUserChoseLinker, LinkerOptions) {
  struct Case {
    Args args;
    bool expected;
  };
  const Case cases[] = {
      {{"-C", "linker=clang"}, true},
      {{"-Clinker=/usr/bin/cc"}, true},
      {{"-C", "link-self-contained=yes"}, true},
      {{"-Clinker-features=+lld"}, true},
      {{"-C", "linker-flavor=gcc"}, true},
      {{"-Clink-arg=-fuse-ld=lld"}, true},
      {{"-C", "link-args=-Wl,-O1 -fuse-ld=mold"}, true},
      {{"-C", "link-arg=--ld-path=/opt/ld"}, true},
      {{"-Zpre-link-arg=-fuse-ld=gold"}, true},  // found anywhere
      {{"-C", "link-arg=-Wl,--as-needed"}, false},
      {{"-C", "opt-level=3", "--crate-type", "bin"}, false},
      {{"--codegen", "linker=clang"}, false},
      {{"-Clinkerx=clang"}, false},
      {{"-C", "linker"}, false},
      {{"-fuse-ld"}, false},
      {{}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.args));
    EXPECT_EQ(rustc::user_chose_linker(c.args), c.expected);
  }
}

// ---------------------------------------------------------------- single_input

TEST(ArgsSingleInput, PositionalsAndOptionValues) {
  struct Case {
    Args args;
    std::optional<size_t> expected;
  };
  const Case cases[] = {
      {{"--edition", "2021", "src/lib.rs", "--crate-type", "lib"}, 2},
      {{"--edition", "2021", "src/lib.rs", "src/other.rs"}, std::nullopt},
      {{"src/lib.rs", "--crate-type", "lib", "src/main.rs"}, std::nullopt},
      {{"--crate-name", "x"}, std::nullopt},
      {{}, std::nullopt},
      {{"-", "--crate-name", "___"}, std::nullopt},  // a lone "-" is not positional
      {{"-", "src/lib.rs"}, 1},
      {{"--edition=2021", "src/lib.rs"}, 1},
      {{"-Copt-level=3", "src/lib.rs"}, 1},
      {{"--test", "src/lib.rs"}, 1},  // --test takes no value
      {{"-g", "src/lib.rs"}, 1},
      {{"-O", "src/lib.rs", "-v"}, 1},
      {{"", "src/lib.rs"}, std::nullopt},  // an empty element is positional
      {{"-L", "native=/x", "a.rs"}, 2},
      {{"a.rs", "--cfg"}, 0},  // a value-taking option at the end
      {{"--cfg", "feature=\"std\"", "a.rs", "--out-dir", "b.rs"}, 2},
      {library_unit("/t/debug/deps"), 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(show(c.args));
    EXPECT_EQ(rustc::single_input(c.args), c.expected);
  }
}

TEST(ArgsSingleInput, EveryValueOptionConsumesItsValue) {
  const char* const options[] = {"--crate-name",
                                 "--crate-type",
                                 "--edition",
                                 "--emit",
                                 "--out-dir",
                                 "-o",
                                 "-L",
                                 "-l",
                                 "--extern",
                                 "-C",
                                 "--codegen",
                                 "-Z",
                                 "--cfg",
                                 "--check-cfg",
                                 "--cap-lints",
                                 "--target",
                                 "--error-format",
                                 "--json",
                                 "--diagnostic-width",
                                 "--print",
                                 "-W",
                                 "-A",
                                 "-D",
                                 "-F",
                                 "--warn",
                                 "--allow",
                                 "--deny",
                                 "--forbid",
                                 "--force-warn",
                                 "--remap-path-prefix",
                                 "--explain",
                                 "--sysroot",
                                 "--color",
                                 "--env-set"};
  static_assert(std::size(options) == 34);
  for (const char* option : options) {
    SCOPED_TRACE(option);
    EXPECT_EQ(rustc::single_input(Args{option, "value", "src/lib.rs"}), 2u);
    EXPECT_EQ(rustc::single_input(Args{"src/lib.rs", option, "value"}), 0u);
  }
  // Options outside the list take no separate value.
  for (const char* option : {"--test", "--verbose", "-g", "-O", "--crate-types", "-CC", "--out"}) {
    SCOPED_TRACE(option);
    EXPECT_EQ(rustc::single_input(Args{option, "src/lib.rs"}), 1u);
    EXPECT_EQ(rustc::single_input(Args{option, "value", "src/lib.rs"}), std::nullopt);
  }
}

// ---------------------------------------------------------------- contains

TEST(ArgsContains, AnyElementAnywhere) {
  const Args a = {"-Clink-arg=-fuse-ld=lld", "src/lib.rs"};
  EXPECT_TRUE(rustc::contains(a, "fuse-ld"));
  EXPECT_TRUE(rustc::contains(a, "src/lib.rs"));
  EXPECT_TRUE(rustc::contains(a, "-C"));
  EXPECT_FALSE(rustc::contains(a, "lldsrc"));  // not across elements
  EXPECT_FALSE(rustc::contains(a, "FUSE"));
  EXPECT_FALSE(rustc::contains(Args{}, "x"));
}

// ---------------------------------------------------------------- split_depinfo_paths

TEST(ArgsSplitDepinfoPaths, MakefileEscapes) {
  struct Case {
    std::string line;
    std::vector<std::string> paths;
  };
  const Case cases[] = {
      {"a\\ b.rs  c.rs", {"a b.rs", "c.rs"}},
      {"", {}},
      {"  \t \t", {}},
      {" a.rs\tb.rs ", {"a.rs", "b.rs"}},
      {"a.rs \t\t  b.rs", {"a.rs", "b.rs"}},
      {"/src/lib.rs /src/mod.rs", {"/src/lib.rs", "/src/mod.rs"}},
      {"a\\\\ b", {"a\\ b"}},  // backslash kept, then an escaped space
      {"a\\", {"a\\"}},        // a trailing backslash stays
      {"x\\\\", {"x\\\\"}},
      {"a\\\tb", {"a\\", "b"}},  // only the space is escapable
      {"a\\  b", {"a ", "b"}},
      {"\\ ", {" "}},
      {"\\ \\ ", {"  "}},
      {"$$HOME/x.rs", {"$$HOME/x.rs"}},
      {"a\\#b.rs", {"a\\#b.rs"}},
      {"c:\\dir\\f.rs", {"c:\\dir\\f.rs"}},
      {"a.rs\nb.rs", {"a.rs\nb.rs"}},  // one line: no split at newlines
      {"dir\\ with\\ spaces/f.rs other.rs", {"dir with spaces/f.rs", "other.rs"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.line));
    EXPECT_EQ(rustc::split_depinfo_paths(c.line), c.paths);
  }
}

// The one dep-info reader: the cache takes the first rule as it stands, the
// report the first rule that names any path; both read every env-dep line.
TEST(ArgsParseDepinfo, RulesAndEnvDeps) {
  struct Case {
    std::string text;
    std::optional<std::vector<std::string>> first_rule;
    std::vector<std::string> inputs;
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
  };
  using V = std::vector<std::string>;
  const Case cases[] = {
      {"out/x.d: src/a.rs src/b\\ c.rs\r\n\nsrc/a.rs:\n",
       V{"src/a.rs", "src/b c.rs"},
       {"src/a.rs", "src/b c.rs"},
       {}},
      {"x.d: \nx.rmeta: src/lib.rs\n", V{}, {"src/lib.rs"}, {}},
      {"# comment: a.rs\nx.d: b.rs\n", V{"b.rs"}, {"b.rs"}, {}},
      {"src/lib.rs:\n", std::nullopt, {}, {}},  // no ": " with a path side
      {"", std::nullopt, {}, {}},
      {"x.d: a.rs\n# env-dep:HOME=/h\n# env-dep:UNSET\n# env-dep:EQ=a=b\n",
       V{"a.rs"},
       {"a.rs"},
       {{"HOME", "/h"}, {"UNSET", std::nullopt}, {"EQ", "a=b"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.text));
    const rustc::DepInfo info = rustc::parse_depinfo(c.text);
    EXPECT_EQ(info.first_rule, c.first_rule);
    EXPECT_EQ(info.inputs, c.inputs);
    std::vector<std::pair<std::string, std::optional<std::string>>> env;
    for (const rustc::EnvDep& d : info.env_deps)
      env.emplace_back(d.name, d.value ? std::optional<std::string>(*d.value) : std::nullopt);
    EXPECT_EQ(env, c.env);
  }
}

// The option spellings each reader accepts.
TEST(ArgsTakeValue, Spellings) {
  using rustc::Attached;
  using rustc::LastWithoutValue;
  struct Case {
    Args args;
    std::string_view name;
    Attached attached;
    LastWithoutValue last;
    std::optional<std::string> value;
    size_t next;  // the index left for the walk
  };
  const Case cases[] = {
      {{"--out-dir", "o"}, "--out-dir", Attached::after_equals, LastWithoutValue::absent, "o", 1},
      {{"--out-dir=o"}, "--out-dir", Attached::after_equals, LastWithoutValue::absent, "o", 0},
      {{"--out-diro"}, "--out-dir", Attached::after_equals, LastWithoutValue::absent, {}, 0},
      {{"--out-diro"},
       "--out-dir",
       Attached::rest_without_equals,
       LastWithoutValue::absent,
       "o",
       0},
      {{"-C=opt-level=3"},
       "-C",
       Attached::rest_without_equals,
       LastWithoutValue::absent,
       "opt-level=3",
       0},
      {{"-C=opt-level=3"}, "-C", Attached::rest, LastWithoutValue::absent, "=opt-level=3", 0},
      {{"-Copt-level=3"}, "-C", Attached::rest, LastWithoutValue::absent, "opt-level=3", 0},
      {{"-C"}, "-C", Attached::rest, LastWithoutValue::absent, {}, 0},
      {{"-C"}, "-C", Attached::rest_without_equals, LastWithoutValue::empty_value, "", 0},
      {{"--cfg"}, "-C", Attached::rest, LastWithoutValue::absent, {}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    size_t i = 0;
    const auto v = rustc::take_value(c.args, i, c.name, c.attached, c.last);
    EXPECT_EQ(v ? std::optional<std::string>(*v) : std::nullopt, c.value);
    EXPECT_EQ(i, c.next);
  }
}

// ---------------------------------------------------------------- stem, dep-info, unit name

TEST(ArgsUnitStem, CrateNameAndExtraFilename) {
  EXPECT_EQ(rustc::unit_stem(Args{"--crate-name", "foo", "-C", "extra-filename=-abc"}), "foo-abc");
  EXPECT_EQ(rustc::unit_stem(Args{"--crate-name=foo", "-Cextra-filename=-abc"}), "foo-abc");
  EXPECT_EQ(rustc::unit_stem(Args{"--crate-name", "foo"}), "foo");
  EXPECT_EQ(rustc::unit_stem(Args{"-C", "extra-filename=-abc"}), "-abc");
  EXPECT_EQ(rustc::unit_stem(Args{}), "");
}

TEST(ArgsDepinfoExists, LooksForTheUnitsDepFile) {
  TempDir dir;
  const fs::path out = dir / "deps";
  fs::create_directories(out);
  const Args unit = {"--crate-name", "foo", "-C", "extra-filename=-abc", "--out-dir", out.string()};

  EXPECT_FALSE(rustc::depinfo_exists(unit));
  write_file(out / "foo.d", "");  // without the extra file name: another unit's
  EXPECT_FALSE(rustc::depinfo_exists(unit));
  fs::create_directory(out / "foo-abc.d");  // a directory of that name
  EXPECT_FALSE(rustc::depinfo_exists(unit));
  fs::remove(out / "foo-abc.d");
  write_file(out / "foo-abc.d", "foo: src/lib.rs\n");
  EXPECT_TRUE(rustc::depinfo_exists(unit));

  EXPECT_FALSE(rustc::depinfo_exists(Args{"-C", "extra-filename=-abc", "--out-dir", out.string()}));
  EXPECT_FALSE(rustc::depinfo_exists(Args{"--crate-name", "foo", "-C", "extra-filename=-abc"}));
  EXPECT_TRUE(rustc::depinfo_exists(Args{"--crate-name", "foo", "--out-dir=" + out.string()}));
}

TEST(ArgsDepinfoExists, FollowsLinksAndRelativeOutDirs) {
  TempDir dir;
  fs::create_directories(dir / "target" / "deps");
  write_file(dir / "elsewhere.d", "");
  fs::create_symlink(dir / "elsewhere.d", dir / "target" / "deps" / "foo.d");
  fs::create_symlink(dir / "missing.d", dir / "target" / "deps" / "bar.d");

  EXPECT_TRUE(rustc::depinfo_exists(
      Args{"--crate-name", "foo", "--out-dir", (dir / "target" / "deps").string()}));
  EXPECT_FALSE(rustc::depinfo_exists(
      Args{"--crate-name", "bar", "--out-dir", (dir / "target" / "deps").string()}));

  InDir in(dir / "target");
  EXPECT_TRUE(rustc::depinfo_exists(Args{"--crate-name", "foo", "--out-dir", "deps"}));
  EXPECT_FALSE(rustc::depinfo_exists(Args{"--crate-name", "foo", "--out-dir", "target/deps"}));
}

TEST(ArgsUnitName, AbsoluteOutDirNamesTheSameUnitFromAnywhere) {
  TempDir dir;
  fs::create_directories(dir / "one");
  fs::create_directories(dir / "two");
  const Args absolute = {"--crate-name",        "foo",       "-C",
                         "extra-filename=-abc", "--out-dir", "/t/debug/deps"};
  const Args relative = {"--crate-name",        "foo",       "-C",
                         "extra-filename=-abc", "--out-dir", "target/debug/deps"};
  std::string abs_one, abs_two, rel_one, rel_two;
  {
    InDir in(dir / "one");
    abs_one = rustc::unit_name(absolute);
    rel_one = rustc::unit_name(relative);
  }
  {
    InDir in(dir / "two");
    abs_two = rustc::unit_name(absolute);
    rel_two = rustc::unit_name(relative);
  }
  EXPECT_EQ(abs_one, abs_two);
  EXPECT_NE(rel_one, rel_two);
  EXPECT_EQ(abs_one, util::key_digest({"/t/debug/deps", "foo-abc"}));
  const std::string one_out = (dir / "one").string() + "/target/debug/deps";
  EXPECT_EQ(rel_one, util::key_digest({one_out, "foo-abc"}));
  EXPECT_EQ(abs_one.size(), 32u);
}

TEST(ArgsUnitName, UnreadableCurrentDirectoryKeepsTheOutDirAsGiven) {
  TempDir dir;
  fs::create_directories(dir / "gone");
  InDir in(dir / "gone");
  fs::remove(dir / "gone");
  EXPECT_EQ(rustc::unit_name(Args{"--crate-name", "foo", "--out-dir", "target/deps"}),
            util::key_digest({"target/deps", "foo"}));
  EXPECT_EQ(rustc::unit_name(Args{"--crate-name", "foo", "--out-dir", "/abs/deps"}),
            util::key_digest({"/abs/deps", "foo"}));
}

TEST(ArgsUnitName, MissingPartsCountAsEmpty) {
  EXPECT_EQ(rustc::unit_name(Args{"--crate-name", "foo"}), util::key_digest({"", "foo"}));
  EXPECT_EQ(rustc::unit_name(Args{"--out-dir", "/o"}), util::key_digest({"/o", ""}));
  EXPECT_EQ(rustc::unit_name(Args{}), util::key_digest({"", ""}));
  // The out-dir and the stem are separate texts, not one joined text.
  EXPECT_NE(rustc::unit_name(Args{"--crate-name", "b", "--out-dir", "/a"}),
            rustc::unit_name(Args{"--crate-name", "", "--out-dir", "/ab"}));
}

// ---------------------------------------------------------------- is_external_source

TEST(ArgsIsExternalSource, HomeSourcesAndTheSysroot) {
  TempDir dir;
  const fs::path home = dir / "kelv";
  EnvVar kelv_home("KELV_HOME", home.string());
  struct Case {
    fs::path path;
    bool expected;
  };
  const Case cases[] = {
      {home / "cargo" / "registry" / "src" / "index" / "serde-1.0.0" / "src" / "lib.rs", true},
      {home / "cargo" / "git" / "checkouts" / "x" / "src" / "lib.rs", true},
      {home / "toolchains" / "stable" / "lib" / "x.rs", true},
      {home / "cargo" / "registry", true},
      {"/x/lib/rustlib/src/rust/library/core/src/lib.rs", true},
      {"relative/lib/rustlib/src/x.rs", true},
      {"/x/lib/rustlib/src/\xFF.rs", true},
      {home / "cargo" / "registryx" / "src" / "lib.rs", false},
      {home / "cargo" / "gitx" / "a.rs", false},
      {home / "toolchainsx" / "a.rs", false},
      {home / "cargo" / "other" / "a.rs", false},
      {home / "registry" / "a.rs", false},
      {"/x/lib/rustlibs/src/a.rs", false},
      {"/x/lib/rustlib", false},  // no separator after it
      {dir / "project" / "src" / "lib.rs", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    EXPECT_EQ(rustc::is_external_source(c.path), c.expected);
  }
}

TEST(ArgsIsExternalSource, HomeIsReadOnEveryCall) {
  const fs::path file = fs::path("/first/home/cargo/registry/src/a.rs");
  EnvVar kelv_home("KELV_HOME", "/first/home");
  EXPECT_TRUE(rustc::is_external_source(file));
  kelv_home.set("/second/home");
  EXPECT_FALSE(rustc::is_external_source(file));
  EXPECT_TRUE(rustc::is_external_source("/second/home/toolchains/a.rs"));
  kelv_home.set(std::nullopt);
  EnvVar home("HOME", "/u");
  EXPECT_TRUE(rustc::is_external_source("/u/.kelv/cargo/git/db/a.rs"));
  EXPECT_FALSE(rustc::is_external_source("/u/cargo/git/db/a.rs"));
}

// ---------------------------------------------------------------- Invocation

TEST(ArgsInvocation, LossyArgsReplaceInvalidBytes) {
  rustc::Invocation inv("rustc", {"--crate-name",
                                  "a\xFF"
                                  "b",
                                  "src/\xC3\xA9.rs"});
  EXPECT_EQ(inv.compiler, "rustc");
  EXPECT_EQ(inv.args, (Args{"--crate-name",
                            "a\xFF"
                            "b",
                            "src/\xC3\xA9.rs"}));
  EXPECT_EQ(inv.lossy_args, (Args{"--crate-name",
                                  "a\xEF\xBF\xBD"
                                  "b",
                                  "src/\xC3\xA9.rs"}));
  EXPECT_EQ(owned(inv.option_value("--crate-name")),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(inv.single_input(), 2u);
}

TEST(ArgsInvocation, LossyArgsKeepTheOriginalList) {
  rustc::Invocation inv("rustc", library_unit("/t/deps"));
  const Args before = inv.lossy_args;
  inv.args.push_back("-C");
  inv.args.push_back("linker=/opt/cc");
  EXPECT_EQ(inv.lossy_args, before);
  EXPECT_FALSE(inv.user_chose_linker());
  EXPECT_TRUE(inv.is_compile());
  EXPECT_FALSE(inv.links_output());
}

TEST(ArgsInvocation, StrictArgsOnlyWhenEveryArgumentIsUtf8) {
  rustc::Invocation inv("rustc", {"--crate-name", "foo", "src/lib.rs"});
  EXPECT_FALSE(inv.strict_args.has_value());  // not taken yet
  inv.args.push_back("-Clinker=/opt/cc");
  inv.take_strict();
  ASSERT_TRUE(inv.strict_args.has_value());
  EXPECT_EQ(*inv.strict_args, (Args{"--crate-name", "foo", "src/lib.rs", "-Clinker=/opt/cc"}));
  // Additions after taking them do not show.
  inv.args.push_back("--cfg");
  EXPECT_EQ(inv.strict_args->size(), 4u);

  inv.args.push_back("\xC0\xAF");
  inv.take_strict();
  EXPECT_FALSE(inv.strict_args.has_value());

  rustc::Invocation bad("rustc", {"src/\xFF.rs"});
  bad.take_strict();
  EXPECT_FALSE(bad.strict_args.has_value());
  rustc::Invocation none("rustc", {});
  none.take_strict();
  ASSERT_TRUE(none.strict_args.has_value());
  EXPECT_TRUE(none.strict_args->empty());
}

}  // namespace
}  // namespace kelv
