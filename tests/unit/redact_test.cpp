// Keeping secrets out of reports: secret-looking names and the rewriting of
// argument lists.
#include "report/redact.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/secret_names.h"

namespace kelv {
namespace {

using report::redact_args;
using util::is_secret_name;
using Args = std::vector<std::string>;

struct NameCase {
  std::string name;
  bool secret;
};

TEST(RedactSecretName, Table) {
  const std::vector<NameCase> cases = {
      {"GITHUB_TOKEN", true},
      {"github_token", true},
      {"MY_PASSWD_FILE", true},
      {"NPM_AUTH", true},
      {"AWS_REGION", true},
      {"STRIPE_KEY", true},
      {"x_key", true},
      {"SCCACHE_BUCKET", true},
      {"CARGO_PKG_AUTHORS", true},  // contains AUTH
      {"_KEY", true},               // 4 bytes ending with _KEY
      {"aws_", true},
      {"sccache_", true},
      {"db_password", true},
      {"Credentials", true},
      {"private_dir", true},
      {"my-apikey", true},
      {"x_api_key", true},
      {"AccessKey", false},
      {"ACCESS_KEY_ID", true},
      {"SESSION_KEY", true},
      {"signing_cert", true},
      {"secretive", true},
      {"KEY", false},
      {"AWS", false},  // 3 bytes
      {"KEYS", false},
      {"MONKEY", false},
      {"SCCACHE", false},  // 7 bytes
      {"", false},
      {"PROFILE", false},
      {"HOME", false},
      {"CARGO_PKG_NAME", false},
      {"t\xC3\xB6ken", false},  // non-ASCII bytes are not folded
      {"sccache_dir", true},    // only assignments treat it specially
  };
  for (const NameCase& c : cases) EXPECT_EQ(is_secret_name(c.name), c.secret) << c.name;
}

struct ArgsCase {
  const char* what;
  Args in;
  Args out;
};

void check_table(const std::vector<ArgsCase>& cases) {
  for (const ArgsCase& c : cases) {
    const Args got = redact_args(c.in);
    EXPECT_EQ(got, c.out) << c.what;
    EXPECT_EQ(got.size(), c.in.size()) << c.what;
  }
}

TEST(RedactArgs, ListShape) {
  check_table({
      {"empty list", {}, {}},
      {"nothing secret", {"--edition", "2021", "src/lib.rs"}, {"--edition", "2021", "src/lib.rs"}},
      {"empty arguments", {"", ""}, {"", ""}},
  });
}

TEST(RedactArgs, SecretOptions) {
  check_table({
      {"token last", {"--token"}, {"--token"}},
      {"token then value", {"--token", "abc", "x"}, {"--token", "<redacted>", "x"}},
      {"token token x", {"--token", "--token", "x"}, {"--token", "<redacted>", "x"}},
      {"each secret option",
       {"--key", "a", "--secret", "b", "--password", "c", "--secret-key", "d"},
       {"--key", "<redacted>", "--secret", "<redacted>", "--password", "<redacted>", "--secret-key",
        "<redacted>"}},
      {"value of any shape", {"--password", "https://u:p@h/x"}, {"--password", "<redacted>"}},
      {"joined with =", {"--token=abc", "x"}, {"--token=<redacted>", "x"}},
      {"single dash and case are not options",
       {"-token", "abc", "--Token", "abc"},
       {"-token", "abc", "--Token", "abc"}},
  });
}

TEST(RedactArgs, Assignments) {
  check_table({
      {"registry token", {"CARGO_REGISTRY_TOKEN=abc123"}, {"CARGO_REGISTRY_TOKEN=<redacted>"}},
      {"empty value", {"CARGO_REGISTRY_TOKEN="}, {"CARGO_REGISTRY_TOKEN=<redacted>"}},
      {"dotted key", {"--registries.my.token=abc"}, {"--registries.my.token=<redacted>"}},
      {"config with dotted key is left alone",
       {"--config=registries.my.token=abc"},
       {"--config=registries.my.token=abc"}},
      {"sccache_dir", {"SCCACHE_DIR=/tmp/c"}, {"SCCACHE_DIR=/tmp/c"}},
      {"sccache_dir any case", {"--Sccache_Dir=/tmp/c"}, {"--Sccache_Dir=/tmp/c"}},
      {"sccache bucket", {"SCCACHE_BUCKET=b"}, {"SCCACHE_BUCKET=<redacted>"}},
      {"value with =", {"API_KEY=a=b=c"}, {"API_KEY=<redacted>"}},
      {"value with a URL", {"TOKEN=https://u:p@h/x"}, {"TOKEN=<redacted>"}},
      {"name ends in a dot", {"token.=x"}, {"token.=x"}},
      {"only dashes", {"--=x"}, {"--=x"}},
      {"plain cfg", {"--cfg=feature=\"std\""}, {"--cfg=feature=\"std\""}},
      {"codegen option", {"-Cmetadata=abc"}, {"-Cmetadata=abc"}},
  });
}

TEST(RedactArgs, LoginMode) {
  check_table({
      {"toolchain then login", {"+stable", "login", "tok"}, {"+stable", "login", "<redacted>"}},
      {"login first", {"login", "tok"}, {"login", "<redacted>"}},
      {"positional before login",
       {"--registry", "x", "login", "tok"},
       {"--registry", "x", "login", "tok"}},
      {"option after login",
       {"login", "-v", "", "tok"},
       {"login", "-v", "<redacted>", "<redacted>"}},
      {"options before login", {"-q", "--x", "login", "t"}, {"-q", "--x", "login", "<redacted>"}},
      {"empty first positional", {"", "login", "tok"}, {"", "login", "tok"}},
      {"all skipped", {"-v", "+x"}, {"-v", "+x"}},
      {"login alone", {"login"}, {"login"}},
      {"not login", {"logout", "tok"}, {"logout", "tok"}},
      {"second login is positional", {"login", "login"}, {"login", "<redacted>"}},
      {"url option after login",
       {"login", "--index=https://u:p@h/x"},
       {"login", "--index=https://<redacted>@h/x"}},
  });
}

TEST(RedactArgs, Urls) {
  check_table({
      {"user and password",
       {"https://user:pw@example.com/a"},
       {"https://<redacted>@example.com/a"}},
      {"port query fragment kept",
       {"https://u:p@h:8080/p?q=1#f"},
       {"https://<redacted>@h:8080/p?q=1#f"}},
      {"at sign in the path", {"https://u@h/a@b"}, {"https://<redacted>@h/a@b"}},
      {"only at sign in the path", {"https://h/a@b"}, {"https://h/a@b"}},
      {"only at sign in the query", {"https://h?x=a@b"}, {"https://h?x=a@b"}},
      {"only at sign in the fragment", {"https://h#a@b"}, {"https://h#a@b"}},
      {"at sign after a space", {"https://h x@y"}, {"https://h x@y"}},
      {"two at signs", {"https://a@b@host/x"}, {"https://<redacted>@host/x"}},
      {"no at sign", {"https://example.com/x"}, {"https://example.com/x"}},
      {"no path", {"ssh://git@github.com"}, {"ssh://<redacted>@github.com"}},
      {"proxy in config",
       {"--config=http.proxy=http://u:p@proxy:3128"},
       {"--config=http.proxy=http://<redacted>@proxy:3128"}},
      {"quoted in a cfg",
       {"--cfg=kelv_url=\"https://user:pw@example.com/x\""},
       {"--cfg=kelv_url=\"https://<redacted>@example.com/x\""}},
      {"scheme empty", {"://u@h"}, {"://<redacted>@h"}},
  });
}

TEST(RedactArgs, InputIsNotModified) {
  const Args in = {"--token", "abc"};
  const Args copy = in;
  (void)redact_args(in);
  EXPECT_EQ(in, copy);
}

}  // namespace
}  // namespace kelv
