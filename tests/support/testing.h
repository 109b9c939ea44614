#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <filesystem>
#include <map>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

// Helpers shared by the tests: private temporary directories, running a
// program with a chosen environment while capturing its output, environment
// variables and the current directory changed for a while, and small file
// and hash helpers.
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

Outcome run(const Run& what);

// The "NAME=value" strings of the environment a run's child gets.
std::vector<std::string> environment_of(const Run& what);

void write_file(const fs::path& path, const std::string& bytes);
std::string read_file(const fs::path& path);

// Paths of the built programs and of the source tree.
fs::path wrapper_exe();
fs::path test_child_exe();
fs::path source_dir();

// The real rustc (full path), found on PATH.
std::string real_rustc();

// Sets or unsets one environment variable for the lifetime of the object and
// puts the previous state back afterwards.
class EnvVar {
 public:
  // Only remembers the current state; `set` changes it.
  explicit EnvVar(std::string name);
  EnvVar(std::string name, std::optional<std::string> value);
  ~EnvVar();
  EnvVar(const EnvVar&) = delete;
  EnvVar& operator=(const EnvVar&) = delete;

  // Sets the variable to `value`, or unsets it for nullopt.
  void set(const std::optional<std::string>& value);

 private:
  std::string name_;
  std::optional<std::string> saved_;
};

// Changes the current directory and returns to the previous one when dropped.
class InDir {
 public:
  explicit InDir(const fs::path& dir);
  ~InDir();
  InDir(const InDir&) = delete;
  InDir& operator=(const InDir&) = delete;

 private:
  fs::path saved_;
};

// The names of the entries of `dir`; none when it cannot be read.
std::set<std::string> names_in(const fs::path& dir);

// stat(2) of `path`; throws when it fails.
struct stat stat_of(const fs::path& path);

// Sets the modification time of `path` (not its access time) to exactly `ns`
// nanoseconds since the epoch; throws when it fails.
void set_mtime(const fs::path& path, uint64_t ns);

// The BLAKE3 hash of `bytes` in lowercase hex, computed with the library
// directly.
std::string blake3_of(std::string_view bytes);

// The BLAKE3 hash of a file's content as util::blake3_file gives it; throws
// when the file cannot be hashed.
std::string blake3_of_file(const fs::path& path);

// The member names of a JSON object, in their order.
std::vector<std::string> member_names(const nlohmann::ordered_json& object);

// The 16 bytes of a 32-hex-digit crate hash, least significant byte first.
std::string le_bytes(std::string_view hex32);

}  // namespace kelv::testing
