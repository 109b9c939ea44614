// The relink record (<out_dir>/<stem>.kelv-relink) as arbitrary bytes, read
// by Job::prepare_relink, which links the kept object files it lists back
// into the output directory.
//
// Fingerprints name a file's device, inode and time, which differ in every
// run, so the input may write them as placeholders: "@KEY2@" for the
// dependency key of the kept objects, "@RLINK@", "@A@" and "@B@" for the
// fingerprints of x-1.rlink and of the kept x-1.a.rcgu.o and x-1.b.rcgu.o.
//
// Checks: prepare_relink writes only into the output directory, and only
// links of kept objects; the kept objects and the record stay as they were;
// on success it names the .rlink and every listed object is in place.
#include <sys/stat.h>

#include <algorithm>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/store.h"
#include "support.h"
#include "util/files.h"

namespace {

namespace fs = std::filesystem;
using kelv::fuzz::show;

struct Sandbox {
  fs::path root = kelv::fuzz::temp_root() / "relink_record";
  kelv::artifact_cache::Job job;
  std::string key2;
  std::vector<std::pair<std::string, std::string>> placeholders;
  std::set<std::string> base;  // the sandbox's tree before any run

  static std::string fingerprint(const fs::path& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path.string());
    return kelv::artifact_cache::fingerprint(st);
  }

  Sandbox() {
    job.cache_dir = root / "cache";
    job.key = "0123456789abcdef0123456789abcdef";
    job.objects_key = "fedcba9876543210fedcba9876543210";
    job.out_dir = root / "out";
    job.stem = "x-1";
    job.cwd = root / "crate";
    job.workspace_member = true;
    job.links = true;
    kelv::fuzz::write_file(job.cwd / "src" / "main.rs", "fn main() {}\n");
    kelv::fuzz::write_file(job.key_record(*job.objects_key),
                           "{\"env_deps\": [\"HOME\"], \"inputs\": [\"src/main.rs\"]}\n");
    kelv::fuzz::write_file(job.rlink_path(), "rlink naming " + job.out_dir.string() +
                                                 "/x-1.a.rcgu.o and x-1.b.rcgu.o\n");
    for (const char* name : {"x-1.a.rcgu.o", "x-1.b.rcgu.o"})
      kelv::fuzz::write_file(job.kept_objects() / name, std::string("object ") + name);
    const std::vector<std::string> env_deps = {"HOME"}, inputs = {"src/main.rs"};
    key2 = *kelv::artifact_cache::entry_name(job.cache_dir, *job.objects_key, env_deps, inputs, {},
                                             job.cwd);
    placeholders = {{"@KEY2@", key2},
                    {"@RLINK@", fingerprint(job.rlink_path())},
                    {"@A@", fingerprint(job.kept_objects() / "x-1.a.rcgu.o")},
                    {"@B@", fingerprint(job.kept_objects() / "x-1.b.rcgu.o")}};
    kelv::fuzz::write_file(record(), "");
    base = kelv::fuzz::tree(root);
  }

  fs::path record() const { return job.output("x-1.kelv-relink"); }

  // Removes what a run added to the output directory.
  void clean(const std::set<std::string>& after) const {
    for (const std::string& path : after)
      if (!base.contains(path)) kelv::fuzz::remove_tree(root / path);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const Sandbox sandbox;
  const auto& job = sandbox.job;
  std::string input(kelv::fuzz::bytes_of(data, size));
  for (const auto& [name, value] : sandbox.placeholders)
    input = kelv::fuzz::replace_all(std::move(input), name, value);
  kelv::fuzz::write_file(sandbox.record(), input);
  const std::string kept_before = Sandbox::fingerprint(job.kept_objects() / "x-1.a.rcgu.o") +
                                  Sandbox::fingerprint(job.kept_objects() / "x-1.b.rcgu.o");

  const auto rlink = job.prepare_relink();

  const std::set<std::string> after = kelv::fuzz::tree(sandbox.root);
  FUZZ_CHECK(std::ranges::includes(after, sandbox.base),
             "a file of the sandbox went missing; input " + show(input));
  std::vector<std::string> linked;
  for (const std::string& path : after) {
    if (sandbox.base.contains(path)) continue;
    const fs::path p(path);
    FUZZ_CHECK(p.parent_path() == "out",
               "written outside the output directory: " + show(path) + "; input " + show(input));
    const std::string name = p.filename().string();
    FUZZ_CHECK(fs::exists(job.kept_objects() / name) &&
                   fs::equivalent(job.kept_objects() / name, sandbox.root / path),
               "out/" + name + " is no kept object; input " + show(input));
    linked.push_back(name);
  }
  FUZZ_CHECK(kelv::fuzz::read_file(sandbox.record()) == input,
             "the record changed; input " + show(input));
  FUZZ_CHECK(Sandbox::fingerprint(job.kept_objects() / "x-1.a.rcgu.o") +
                     Sandbox::fingerprint(job.kept_objects() / "x-1.b.rcgu.o") ==
                 kept_before,
             "a kept object changed; input " + show(input));
  if (rlink) {
    FUZZ_CHECK(*rlink == job.rlink_path(), "relinks from " + rlink->string());
    const auto record = kelv::util::parse_json(input);
    FUZZ_CHECK(record && record->is_object(), "relinks from a record that is no object");
    const auto& files = (*record)["files"];
    for (size_t i = 1; i < files.size(); ++i) {
      const std::string name = files[i][0].get<std::string>();
      FUZZ_CHECK(std::ranges::find(linked, name) != linked.end(),
                 "kept object " + name + " is not in place; input " + show(input));
    }
  }
  sandbox.clean(after);
  return 0;
}
