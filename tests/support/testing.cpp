#include "testing.h"

#include <blake3.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>
#include <utility>

#include "util/files.h"
#include "util/hash.h"
#include "util/paths.h"
#include "util/platform.h"

extern char** environ;

namespace kelv::testing {

TempDir::TempDir() {
  std::random_device rd;
  const fs::path base = fs::temp_directory_path();
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate = base / ("kelv-test-" + std::to_string(rd()));
    std::error_code ec;
    if (fs::create_directory(candidate, ec)) {
      path_ = fs::canonical(candidate);
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  // Make read-only subdirectories removable again.
  for (auto it = fs::recursive_directory_iterator(path_, ec); !ec && it != fs::end(it);
       it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec))
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
  }
  fs::remove_all(path_, ec);
}

std::vector<std::string> environment_of(const Run& what) {
  std::map<std::string, std::string> env;
  for (char** e = environ; *e; ++e) {
    std::string kv = *e;
    const size_t eq = kv.find('=');
    if (eq == std::string::npos) continue;
    std::string key = kv.substr(0, eq);
    if (what.clean_env && key != "PATH" && key != "HOME" && key != "RUSTUP_HOME" &&
        key != "CARGO_HOME" && key != "RUSTUP_TOOLCHAIN")
      continue;
    env[key] = kv.substr(eq + 1);
  }
  for (const auto& [k, v] : what.env) {
    if (v)
      env[k] = *v;
    else
      env.erase(k);
  }
  std::vector<std::string> env_strings;
  for (const auto& [k, v] : env) env_strings.push_back(k + "=" + v);
  return env_strings;
}

Outcome run(const Run& what) {
  std::vector<std::string> env_strings = environment_of(what);
  std::vector<char*> envp;
  for (auto& s : env_strings) envp.push_back(s.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = what.argv;
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);

  int out_pipe[2], err_pipe[2], in_pipe[2];
  if (!util::platform::pipe_cloexec(out_pipe) || !util::platform::pipe_cloexec(err_pipe) ||
      !util::platform::pipe_cloexec(in_pipe))
    throw std::runtime_error("pipe");
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (what.input) {
    posix_spawn_file_actions_adddup2(&fa, in_pipe[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&fa, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&fa, err_pipe[1], 2);
  if (!what.cwd.empty()) posix_spawn_file_actions_addchdir_np(&fa, what.cwd.c_str());
  pid_t pid = 0;
  const int rc = posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&fa);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  ::close(in_pipe[0]);
  if (rc != 0) {
    ::close(out_pipe[0]);
    ::close(err_pipe[0]);
    ::close(in_pipe[1]);
    throw std::runtime_error("cannot start " + what.argv[0]);
  }
  if (what.input) {
    const std::string& in = *what.input;
    for (size_t done = 0; done < in.size();) {
      ssize_t n = ::write(in_pipe[1], in.data() + done, in.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
  }
  ::close(in_pipe[1]);
  Outcome outcome;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&outcome.out, &outcome.err};
  int open_fds = 2;
  char buf[65536];
  while (open_fds > 0) {
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_fds;
      }
    }
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    outcome.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    outcome.signal = WTERMSIG(status);
  }
  return outcome;
}

void write_file(const fs::path& path, const std::string& bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  if (!out) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

fs::path wrapper_exe() {
  return KELV_WRAPPER_EXE;
}
fs::path test_child_exe() {
  return KELV_TEST_CHILD_EXE;
}
fs::path source_dir() {
  return KELV_SOURCE_DIR;
}

std::string real_rustc() {
  static const std::string path = [] {
    Outcome o = run({.argv = {"rustc", "--print=sysroot"}});
    std::string sysroot = o.out.substr(0, o.out.find_last_not_of("\n") + 1);
    return sysroot + "/bin/rustc";
  }();
  return path;
}

EnvVar::EnvVar(std::string name) : name_(std::move(name)) {
  if (const char* v = std::getenv(name_.c_str())) saved_ = v;
}

EnvVar::EnvVar(std::string name, std::optional<std::string> value) : EnvVar(std::move(name)) {
  set(value);
}

EnvVar::~EnvVar() {
  set(saved_);
}

void EnvVar::set(const std::optional<std::string>& value) {
  if (value)
    ::setenv(name_.c_str(), value->c_str(), 1);
  else
    ::unsetenv(name_.c_str());
}

InDir::InDir(const fs::path& dir) : saved_(fs::current_path()) {
  fs::current_path(dir);
}

InDir::~InDir() {
  std::error_code ec;
  fs::current_path(saved_, ec);
}

std::set<std::string> names_in(const fs::path& dir) {
  std::set<std::string> names;
  std::error_code ec;
  for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator(); ++it)
    names.insert(it->path().filename().string());
  return names;
}

struct stat stat_of(const fs::path& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path.string());
  return st;
}

void set_mtime(const fs::path& path, uint64_t ns) {
  constexpr uint64_t second = 1000000000ull;
  const struct timespec times[2] = {
      {0, UTIME_OMIT}, {static_cast<time_t>(ns / second), static_cast<long>(ns % second)}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the time of " + path.string());
}

std::string blake3_of(std::string_view bytes) {
  blake3_hasher h;
  blake3_hasher_init(&h);
  blake3_hasher_update(&h, bytes.data(), bytes.size());
  unsigned char out[BLAKE3_OUT_LEN];
  blake3_hasher_finalize(&h, out, BLAKE3_OUT_LEN);
  return util::hex(out);
}

std::string blake3_of_file(const fs::path& path) {
  auto hash = util::blake3_file(path);
  if (!hash) throw std::runtime_error("cannot hash " + path.string());
  return *hash;
}

std::vector<std::string> member_names(const nlohmann::ordered_json& object) {
  std::vector<std::string> names;
  for (auto it = object.begin(); it != object.end(); ++it) names.push_back(it.key());
  return names;
}

std::string le_bytes(std::string_view hex32) {
  std::string out;
  for (size_t i = 0; i < 16; ++i) {
    const std::string byte(hex32.substr(30 - 2 * i, 2));
    out.push_back(static_cast<char>(std::stoul(byte, nullptr, 16)));
  }
  return out;
}

}  // namespace kelv::testing
