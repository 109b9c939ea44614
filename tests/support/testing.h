#pragma once
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

// Helpers shared by the tests: private temporary directories and running a
// program with a chosen environment while capturing its output.
namespace kelv::testing {

namespace fs = std::filesystem;

// A fresh directory below the system's temporary directory, removed with
// everything in it when dropped.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const fs::path& path() const { return path_; }
  fs::path operator/(const fs::path& rel) const { return path_ / rel; }

 private:
  fs::path path_;
};

struct Outcome {
  int exit_code = -1;  // -1 when the child was killed
  int signal = 0;      // the terminating signal, 0 when it exited
  std::string out;
  std::string err;
};

struct Run {
  std::vector<std::string> argv;                          // argv[0] is the program path
  std::map<std::string, std::optional<std::string>> env;  // set (value) or unset (nullopt)
  fs::path cwd;                                           // empty: the current directory
  std::optional<std::string> input;                       // standard input; /dev/null when absent
  bool clean_env = false;  // start from PATH and HOME only, instead of the whole environment
};

Outcome run(const Run& spec);

void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);

// Paths of the built programs and of the source tree.
fs::path wrapper_exe();
fs::path test_child_exe();
fs::path source_dir();

// The real rustc (full path), found on PATH.
std::string real_rustc();

}  // namespace kelv::testing
