#include "cache_sandbox.h"

#include <algorithm>
#include <system_error>

#include "util/files.h"
#include "util/hash.h"

namespace kelv::fuzz {

namespace {

constexpr std::string_view kKey = "f00dfeedf00dfeedf00dfeedf00dfeed";

}  // namespace

const std::vector<std::pair<std::string, std::string>>& CacheSandbox::stored_files() {
  static const std::vector<std::pair<std::string, std::string>> files = {
      {"libx-1.rlib", "!<arch>\nstored rlib\n"},
      {"libx-1.rmeta", "stored rmeta\n"},
      {"x-1", "\177ELF stored executable\n"},
      {"x-1.d",
       "/stored/out/x-1.d: src/lib.rs /stored/out_dir_env/gen.rs\n\nsrc/lib.rs:\n"
       "/stored/out_dir_env/gen.rs:\n\n# env-dep:OUT_DIR=/stored/out_dir_env\n"},
      {"stderr", "warning: unused variable `x`\n --> src/lib.rs:1:5\n  = note: /stored/out/x-1\n"},
  };
  return files;
}

std::string_view CacheSandbox::stored_key_record() {
  return "{\"env_deps\": [], \"inputs\": [\"src/lib.rs\"]}\n";
}

CacheSandbox::CacheSandbox(std::string_view name) : root_(temp_root() / name) {
  write_file(root_ / "crate" / "src" / "lib.rs", "pub fn f() { let x = 1; }\n");
  write_file(root_ / "out_dir_env" / "gen.rs", "// generated\n");
  sources_ = tree(root_);  // only the sources so far

  job_.cache_dir = root_ / "cache";
  job_.key = std::string(kKey);
  job_.out_dir = root_ / "out";
  job_.stem = "x-1";
  job_.cwd = root_ / "crate";
  job_.out_dir_env = root_ / "out_dir_env";
  job_.workspace_member = true;
  job_.links = true;

  const std::vector<std::string> inputs = {"src/lib.rs"};
  stored_name_ = *artifact_cache::entry_name(job_.cache_dir, kKey, {}, inputs, {}, job_.cwd);

  util::Json entry = util::Json::object();
  util::Json files = util::Json::array(), hashes = util::Json::object();
  for (const auto& [file, bytes] : stored_files()) {
    if (file == "stderr") continue;
    write_file(root_ / "hash" / file, bytes);
    files.push_back(file);
    hashes[file] = *util::blake3_file(root_ / "hash" / file);
  }
  remove_tree(root_ / "hash");
  entry["files"] = files;
  entry["executable"] = util::Json::array({"x-1"});
  entry["hashes"] = hashes;
  entry["out_dir"] = "/stored/out";
  entry["out_dir_env"] = "/stored/out_dir_env";
  entry["env_deps"] = util::Json::array({"OUT_DIR"});
  entry["inputs"] = util::Json::array({"<OUT_DIR>/gen.rs", "src/lib.rs"});
  entry["stored_at"] = "2025-01-01T00:00:00.000Z";
  stored_entry_json_ = entry.dump(2) + "\n";
}

void CacheSandbox::reset(std::string_view key_record, std::string_view entry_json) const {
  remove_tree(job_.out_dir);
  remove_tree(job_.cache_dir);
  fs::create_directories(job_.out_dir);
  write_file(job_.key_record(job_.key), key_record);
  const fs::path entry = job_.entry_dir(stored_name_);
  for (const auto& [file, bytes] : stored_files()) write_file(entry / file, bytes);
  write_file(entry / "entry.json", entry_json);
}

void CacheSandbox::check_contained(const std::vector<std::string>& may_write,
                                   std::string_view input) const {
  std::set<std::string> sources;
  for (const std::string& path : tree(root_)) {
    const fs::path p(path);
    const std::string top = p.begin()->string();
    if (top == "cache") continue;
    if (top == "crate" || top == "out_dir_env") {
      sources.insert(path);
      continue;
    }
    FUZZ_CHECK(top == "out", "written outside the output directory and the cache: " + show(path) +
                                 "; input " + show(input));
    if (path == "out") continue;
    const std::string name = p.lexically_relative("out").string();
    std::error_code ec;
    FUZZ_CHECK(std::ranges::find(may_write, name) != may_write.end() &&
                   fs::is_regular_file(root_ / path, ec),
               "unexpected output " + show(path) + "; input " + show(input));
  }
  FUZZ_CHECK(sources == sources_, "the sources changed; input " + show(input));
}

std::vector<std::string> texts_of(std::string_view json_text, const char* member) {
  std::vector<std::string> out;
  const auto json = util::parse_json(json_text);
  if (!json || !json->is_object()) return out;
  const auto it = json->find(member);
  if (it == json->end() || !it->is_array()) return out;
  for (const auto& v : *it)
    if (v.is_string()) out.push_back(v.get<std::string>());
  return out;
}

}  // namespace kelv::fuzz
