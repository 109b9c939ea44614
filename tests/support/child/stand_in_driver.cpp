// A stand-in for kelv-rustc-driver, for the tests only: it compiles by
// running the real rustc (KELV_STANDIN_RUSTC) with the same arguments and
// honours the driver's environment contract:
//   KELV_DRIVER_INTERFACE_HASH  write lib<stem>.kelv-svh (the crate hash that
//                               rustc recorded) and an empty .kelv-span-deps;
//                               rewritten in place, or, as the real driver
//                               does, through a temporary sibling renamed
//                               over them when KELV_STANDIN_WRITE_BY_RENAME
//                               is set (to anything)
//   KELV_DRIVER_READY_FD        for an executable: compile with -Zno-link,
//                               keep the objects, link with -Zlink-only, write
//                               the byte 1, then drop its streams and linger
//                               before exiting (a library runs to its end)
//   KELV_DRIVER_KEEP_OBJECTS    hard-link the object files into this directory
// Tests make it fail with KELV_STANDIN_CRASH (exit101, exit127, SIGILL, SIGABRT,
// SIGFPE, SIGBUS, SIGSEGV; with the suffix "-after-artifact" it first prints an
// artifact notification) for the crate named by KELV_STANDIN_CRASH_CRATE
// (every crate when unset). KELV_STANDIN_LOG names a file that gets one line
// per run: "compile <crate>" or "relink <crate>".
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

namespace fs = std::filesystem;

std::optional<std::string> env(const char* name) {
  const char* v = std::getenv(name);
  return v ? std::optional<std::string>(v) : std::nullopt;
}

// Runs rustc with the arguments; its output goes to ours unless `out` is
// given, which then receives its standard output.
int run_rustc(const std::vector<std::string>& args, std::string* out = nullptr,
              bool unstable = false) {
  const std::string rustc = env("KELV_STANDIN_RUSTC").value_or("rustc");
  std::vector<std::string> all = {rustc};
  all.insert(all.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : all) argv.push_back(a.data());
  argv.push_back(nullptr);
  int pipe_fds[2] = {-1, -1};
  posix_spawn_file_actions_t fa;
  posix_spawn_file_actions_init(&fa);
  if (out) {
    if (::pipe(pipe_fds) != 0) return 1;
    posix_spawn_file_actions_adddup2(&fa, pipe_fds[1], 1);
    posix_spawn_file_actions_addclose(&fa, pipe_fds[0]);
  }
  // The driver's own steps use unstable options whatever the unit was given.
  std::vector<std::string> env_strings;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "RUSTC_BOOTSTRAP=", 16) != 0) env_strings.emplace_back(*e);
  if (unstable || std::getenv("RUSTC_BOOTSTRAP"))
    env_strings.push_back(std::string("RUSTC_BOOTSTRAP=") +
                          (unstable ? "1" : std::getenv("RUSTC_BOOTSTRAP")));
  std::vector<char*> envp;
  for (auto& e : env_strings) envp.push_back(e.data());
  envp.push_back(nullptr);
  pid_t pid;
  if (posix_spawnp(&pid, rustc.c_str(), &fa, nullptr, argv.data(), envp.data()) != 0) return 127;
  posix_spawn_file_actions_destroy(&fa);
  if (out) {
    ::close(pipe_fds[1]);
    char buf[4096];
    ssize_t n;
    while ((n = ::read(pipe_fds[0], buf, sizeof buf)) > 0) out->append(buf, static_cast<size_t>(n));
    ::close(pipe_fds[0]);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::optional<std::string> option(const std::vector<std::string>& args, const std::string& name) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == name && i + 1 < args.size()) return args[i + 1];
    if (args[i].rfind(name + "=", 0) == 0) return args[i].substr(name.size() + 1);
  }
  return std::nullopt;
}

std::string extra_filename(const std::vector<std::string>& args) {
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v = args[i] == "-C" && i + 1 < args.size() ? args[i + 1] : args[i];
    if (args[i].rfind("-C", 0) == 0 && args[i] != "-C") v = args[i].substr(2);
    if (v.rfind("extra-filename=", 0) == 0) return v.substr(15);
  }
  return "";
}

bool has(const std::vector<std::string>& args, const std::string& a) {
  for (const auto& x : args)
    if (x == a) return true;
  return false;
}

bool links(const std::vector<std::string>& args) {
  if (has(args, "--test")) return true;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string v;
    if (args[i] == "--crate-type" && i + 1 < args.size()) v = args[i + 1];
    if (args[i].rfind("--crate-type=", 0) == 0) v = args[i].substr(13);
    if (v == "bin") return true;
  }
  return false;
}

void crash(const std::string& how) {
  if (how == "exit101") std::exit(101);
  if (how == "exit127") std::exit(127);
  const int sig = how == "SIGILL"    ? SIGILL
                  : how == "SIGABRT" ? SIGABRT
                  : how == "SIGFPE"  ? SIGFPE
                  : how == "SIGBUS"  ? SIGBUS
                                     : SIGSEGV;
  std::fprintf(stderr, "stand-in driver: crashing with %s\n", how.c_str());
  std::fflush(stderr);
  ::signal(sig, SIG_DFL);
  ::raise(sig);
  std::exit(1);
}

void log_line(const std::string& line) {
  if (auto path = env("KELV_STANDIN_LOG")) {
    std::ofstream(*path, std::ios::app) << line << "\n";
  }
}

// Writes `bytes` to `path`: in place (the file keeps its inode), or with
// KELV_STANDIN_WRITE_BY_RENAME through ".<name>.<pid>.tmp" renamed over it.
void write_hash_file(const fs::path& path, const std::string& bytes) {
  if (!env("KELV_STANDIN_WRITE_BY_RENAME")) {
    std::ofstream(path) << bytes;
    return;
  }
  const fs::path temp = path.parent_path() / ("." + path.filename().string() + "." +
                                              std::to_string(::getpid()) + ".tmp");
  {
    std::ofstream out(temp, std::ios::trunc);
    out << bytes;
  }
  std::error_code ec;
  fs::rename(temp, path, ec);
  if (ec) fs::remove(temp, ec);
}

void write_interface_hash(const fs::path& out_dir, const std::string& stem) {
  const fs::path rmeta = out_dir / ("lib" + stem + ".rmeta");
  if (!fs::exists(rmeta)) return;
  std::string listing;
  run_rustc({"-Zls=root", rmeta.string()}, &listing, true);
  std::istringstream in(listing);
  for (std::string word; in >> word;) {
    if (word == "hash" && in >> word) {
      write_hash_file(out_dir / ("lib" + stem + ".kelv-svh"), word + "\n");
      write_hash_file(out_dir / ("lib" + stem + ".kelv-span-deps"), "");
      return;
    }
  }
}

void keep_objects(const fs::path& out_dir, const std::string& stem, const fs::path& keep) {
  fs::create_directories(keep);
  for (const auto& e : fs::directory_iterator(out_dir)) {
    const std::string name = e.path().filename();
    if (name.rfind(stem + ".", 0) == 0 && name.size() > 7 &&
        name.compare(name.size() - 7, 7, ".rcgu.o") == 0) {
      std::error_code ec;
      fs::create_hard_link(e.path(), keep / name, ec);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  const std::string crate = option(args, "--crate-name").value_or("");
  const std::string stem = crate + extra_filename(args);
  const fs::path out_dir = option(args, "--out-dir").value_or(".");
  const bool relink = has(args, "-Zlink-only");
  log_line((relink ? "relink " : "compile ") + crate);

  if (auto how = env("KELV_STANDIN_CRASH")) {
    const auto only = env("KELV_STANDIN_CRASH_CRATE");
    if (!only || *only == crate) {
      std::string kind = *how;
      const std::string suffix = "-after-artifact";
      if (kind.size() > suffix.size() &&
          kind.compare(kind.size() - suffix.size(), suffix.size(), suffix) == 0) {
        kind.resize(kind.size() - suffix.size());
        std::fprintf(stderr,
                     "{\"$message_type\":\"artifact\",\"artifact\":\"%s/"
                     "lib%s.rmeta\",\"emit\":\"metadata\"}\n",
                     out_dir.c_str(), stem.c_str());
        std::fflush(stderr);
      }
      crash(kind);
    }
  }

  const auto ready_fd = env("KELV_DRIVER_READY_FD");
  int status;
  if (!ready_fd || relink) {
    status = run_rustc(args, nullptr, relink);
  } else if (links(args)) {
    std::vector<std::string> no_link = args;
    no_link.push_back("-Zno-link");
    status = run_rustc(no_link, nullptr, true);
    if (status == 0) {
      if (auto keep = env("KELV_DRIVER_KEEP_OBJECTS")) keep_objects(out_dir, stem, *keep);
      std::vector<std::string> link_only = args;
      for (auto& a : link_only) {
        if (!a.empty() && a[0] != '-' && a.size() > 3 && a.compare(a.size() - 3, 3, ".rs") == 0)
          a = (out_dir / (stem + ".rlink")).string();
      }
      link_only.push_back("-Zlink-only");
      status = run_rustc(link_only, nullptr, true);
    }
  } else {
    status = run_rustc(args);
  }
  if (status == 0 && env("KELV_DRIVER_INTERFACE_HASH") && !relink)
    write_interface_hash(out_dir, stem);

  if (ready_fd && status == 0 && links(args)) {
    const int fd = std::atoi(ready_fd->c_str());
    const char one = 1;
    (void)!::write(fd, &one, 1);
    ::close(fd);
    // Like a driver saving incremental state: nothing more reaches the wrapper.
    const int null = ::open("/dev/null", O_WRONLY);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(
        std::atoi(env("KELV_STANDIN_LINGER_MS").value_or("1500").c_str())));
  }
  return status;
}
