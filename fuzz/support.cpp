#include "support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kelv::fuzz {

std::vector<std::string> split_at_nul(std::string_view bytes) {
  std::vector<std::string> out;
  for (;;) {
    const size_t nul = bytes.find('\0');
    out.emplace_back(bytes.substr(0, nul));
    if (nul == std::string_view::npos) return out;
    bytes.remove_prefix(nul + 1);
  }
}

namespace {

// libFuzzer ends with _Exit, so no process removes its own directory: each
// one removes those of processes that are gone ("kelv-fuzz-<pid>-XXXXXX").
void remove_stale_roots(const fs::path& tmp) {
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(tmp, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.starts_with("kelv-fuzz-")) continue;
    const long pid = std::strtol(name.c_str() + 10, nullptr, 10);
    if (pid > 0 && ::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH)
      remove_tree(entry.path());
  }
}

}  // namespace

const fs::path& temp_root() {
  static const fs::path root = [] {
    const char* tmp = std::getenv("TMPDIR");
    const fs::path dir = tmp && *tmp ? tmp : "/tmp";
    remove_stale_roots(dir);
    std::string pattern = (dir / ("kelv-fuzz-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
      std::perror("mkdtemp");
      std::abort();
    }
    return fs::path(pattern);
  }();
  return root;
}

void write_file(const fs::path& path, std::string_view bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out.flush()) throw std::runtime_error("cannot write " + path.string());
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

void set_mtime(const fs::path& path, int64_t seconds) {
  const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                    {static_cast<time_t>(seconds), 0}};
  if (::utimensat(AT_FDCWD, path.c_str(), times, 0) != 0)
    throw std::runtime_error("cannot set the time of " + path.string());
}

void remove_tree(const fs::path& path) {
  std::error_code ec;
  fs::remove_all(path, ec);
}

std::set<std::string> tree(const fs::path& root) {
  std::set<std::string> out;
  std::error_code ec;
  for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
       it.increment(ec))
    out.insert(it->path().lexically_relative(root).string());
  return out;
}

std::string replace_all(std::string text, std::string_view from, std::string_view to) {
  if (from.empty()) return text;
  for (size_t pos = 0; (pos = text.find(from, pos)) != std::string::npos; pos += to.size())
    text.replace(pos, from.size(), to);
  return text;
}

std::string show(std::string_view bytes) {
  std::string out = "\"";
  for (const char c : bytes) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u >= 0x20 && u < 0x7f) {
      out += c;
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\x%02x", u);
      out += buf;
    }
  }
  return out + "\"";
}

void fail(const char* file, int line, const char* condition, const std::string& detail) {
  std::fprintf(stderr, "\n%s:%d: check failed: %s\n%s\n", file, line, condition, detail.c_str());
  std::fflush(stderr);
  std::abort();
}

}  // namespace kelv::fuzz
