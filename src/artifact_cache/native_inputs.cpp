#include "artifact_cache/native_inputs.h"

#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>

#include "artifact_cache/dep_hashes.h"
#include "artifact_cache/linker_search.h"
#include "rustc/options.h"
#include "util/error.h"
#include "util/fd.h"
#include "util/paths.h"

namespace kelv::artifact_cache {
namespace {

namespace fs = std::filesystem;

// A linker script is a few lines; anything larger is not one to read.
constexpr size_t script_limit = size_t{64} * 1024;

using Result = std::expected<void, std::string>;

std::vector<std::string_view> split(std::string_view text, std::string_view separators) {
  std::vector<std::string_view> pieces;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find_first_of(separators, at), text.size());
    if (end > at) pieces.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return pieces;
}

// Reads at most `limit` bytes of a regular file.
std::expected<std::string, std::string> read_head(const fs::path& path, size_t limit) {
  util::Fd fd = util::open_regular(path.c_str());
  if (!fd.valid()) return std::unexpected(util::os_error(util::last_error()));
  std::string bytes(limit, '\0');
  size_t got = 0;
  while (got < limit) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, limit - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return std::unexpected(util::os_error(util::last_error()));
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  bytes.resize(got);
  return bytes;
}

bool is_plain_file(const fs::path& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// One unit's keying, argument by argument.
struct Keyer {
  const NativeContext& ctx;
  NativeKey out;
  std::vector<fs::path> dirs;                   // where "-l" looks first, in order
  std::optional<std::vector<fs::path>> linker;  // then there, once asked
  std::string linker_name = "cc";

  fs::path absolute(std::string_view path) const {
    return (ctx.cwd / fs::path(path)).lexically_normal();
  }

  void add(std::string what, std::string hash, const fs::path& file) {
    out.lines.push_back(fmt::format("native:{}=sha:{}", what, hash));
    out.inputs.push_back({std::move(what), file});
  }

  Result hash(std::string what, const fs::path& file) {
    auto content = content_hash(ctx.cache_dir, file);
    if (!content)
      return std::unexpected(fmt::format("native input {} is unreadable: {}", file.native(),
                                         util::os_error(content.error())));
    add(std::move(what), std::move(*content), file);
    return {};
  }

  // An object, archive or shared library by content; a linker script with
  // the files it names.
  Result file(const std::string& what, const fs::path& path, bool members_allowed = true) {
    auto head = read_head(path, script_limit + 1);
    if (!head)
      return std::unexpected(
          fmt::format("native input {} is unreadable: {}", path.native(), head.error()));
    const std::string_view bytes = *head;
    if (bytes.starts_with("!<thin>\n"))
      return std::unexpected(fmt::format(
          "native input {} is a thin archive, whose members are other files", path.native()));
    const bool binary = bytes.starts_with(
                            "\x7f"
                            "ELF") ||
                        bytes.starts_with("!<arch>\n");
    if (!binary) {
      if (!members_allowed || bytes.size() > script_limit)
        return std::unexpected(fmt::format(
            "native input {} is neither an object nor a linker script to read", path.native()));
      auto members = script_files(bytes);
      if (!members)
        return std::unexpected(fmt::format("linker script {} {}", path.native(), members.error()));
      if (auto hashed = hash(what, path); !hashed) return hashed;
      for (const fs::path& member : *members)
        if (auto taken = file(what + ">" + member.native(), member, false); !taken) return taken;
      return {};
    }
    return hash(what, path);
  }

  Result directory(std::string_view value) {
    const size_t eq = value.find('=');
    std::string_view kind, path = value;
    static constexpr std::array kinds = {"native", "crate", "framework", "all"};
    if (eq != std::string_view::npos &&
        std::ranges::find(kinds, value.substr(0, eq)) != kinds.end()) {
      kind = value.substr(0, eq);
      path = value.substr(eq + 1);
    }
    const fs::path dir = absolute(path);
    if (kind != "crate" && kind != "framework") dirs.push_back(dir);
    const bool own = std::ranges::any_of(
        ctx.own_dirs, [&](const fs::path& d) { return util::starts_with_path(dir, d); });
    if (!own) {
      out.lines.push_back(fmt::format("-L{}", value));
      return {};
    }
    // Its path differs between checkouts and builds, not what it holds.
    const bool being_written = !ctx.out_dir.empty() && util::starts_with_path(dir, ctx.out_dir);
    auto digest = out_dir_digest(dir, being_written ? nullptr : &ctx.cache_dir);
    if (!digest)
      return std::unexpected(
          fmt::format("native library directory {} is unreadable", util::quoted(dir.native())));
    out.lines.push_back(kind.empty() ? fmt::format("-Lsha:{}", *digest)
                                     : fmt::format("-L{}=sha:{}", kind, *digest));
    return {};
  }

  std::expected<std::optional<fs::path>, std::string> find(const std::vector<std::string>& names) {
    const auto in = [&](const std::vector<fs::path>& where) -> std::optional<fs::path> {
      for (const fs::path& dir : where)
        for (const std::string& name : names)
          if (is_plain_file(dir / name)) return dir / name;
      return std::nullopt;
    };
    if (auto found = in(dirs)) return found;
    if (!linker) {
      if (ctx.cross && linker_name == "cc")
        return std::unexpected(
            std::string("the linker for another target is not named, so its library "
                        "directories are unknown"));
      auto asked = linker_search_dirs(ctx.cache_dir, linker_name);
      if (!asked)
        return std::unexpected(
            fmt::format("the library directories of the linker are unknown: {}", asked.error()));
      linker = std::move(*asked);
    }
    return in(*linker);
  }

  // A library the linker looks for by name: "lib<name>.so" before
  // "lib<name>.a" in each directory, unless `static_only`.
  Result library_named(const std::string& what, std::string_view name, bool verbatim,
                       bool static_only) {
    std::vector<std::string> names;
    if (verbatim) {
      names.emplace_back(name);
    } else {
      if (!static_only) names.push_back(fmt::format("lib{}.so", name));
      names.push_back(fmt::format("lib{}.a", name));
    }
    auto found = find(names);
    if (!found) return std::unexpected(found.error());
    if (*found) return file(what, **found);
    out.lines.push_back(fmt::format("native:{}=absent", what));
    out.inputs.push_back({what, std::nullopt});
    return {};
  }

  // "[KIND[:MODIFIERS]=]NAME[:RENAME]"
  Result library(const std::string& value) {
    const size_t eq = value.find('=');
    const std::string_view head =
        eq == std::string::npos ? "" : std::string_view(value).substr(0, eq);
    const std::string_view named =
        std::string_view(value).substr(eq == std::string::npos ? 0 : eq + 1);
    const std::string_view kind = head.substr(0, head.find(':'));
    const std::string_view modifiers =
        head.find(':') == std::string_view::npos ? "" : head.substr(head.find(':') + 1);
    if (kind == "link-arg") return arguments({std::string(named)});
    if (kind == "framework" || kind == "raw-dylib") return {};  // not on this platform's linker
    const size_t colon = named.find(':');
    const std::string_view name = colon == std::string_view::npos ? named : named.substr(colon + 1);
    const bool verbatim = std::ranges::any_of(split(modifiers, ","),
                                              [](std::string_view m) { return m == "+verbatim"; });
    return library_named("-l" + value, name, verbatim, kind == "static");
  }

  // One argument for the linker itself ("-Wl," pieces, "-Xlinker" values)
  // or for the driver that runs it: the files it names by content.
  Result argument(const std::string& a) {
    if (a.starts_with('@'))
      return std::unexpected(fmt::format("link argument {} reads more arguments from a file", a));
    if (a.starts_with("-l") || a.starts_with("--library=")) {
      std::string_view name = std::string_view(a).substr(a.starts_with("-l") ? 2 : 10);
      const bool verbatim = name.starts_with(':');  // ld's "-l:libfoo.a"
      if (verbatim) name.remove_prefix(1);
      return library_named("link-arg " + a, name, verbatim, false);
    }
    if (a.starts_with("-L") || a.starts_with("--library-path="))
      return directory(std::string_view(a).substr(a.starts_with("-L") ? 2 : 15));
    std::string_view named = a;
    if (a.starts_with("-dT"))
      named.remove_prefix(3);
    else if (a.starts_with("-T") && !a.starts_with("-Ttext") && !a.starts_with("-Tdata") &&
             !a.starts_with("-Tbss"))
      named.remove_prefix(2);
    else if (a.starts_with('-'))
      named = a.find('=') == std::string::npos ? "" : std::string_view(a).substr(a.find('=') + 1);
    if (named.empty()) return {};
    const fs::path path = absolute(named);
    if (!is_plain_file(path)) return {};  // text, keyed as written
    return file("link-arg " + a, path);
  }

  // Options whose value is the next argument are joined with it first.
  Result arguments(const std::vector<std::string>& words) {
    static constexpr std::array separate = {"-l",
                                            "-L",
                                            "-T",
                                            "-dT",
                                            "--script",
                                            "--library",
                                            "--library-path",
                                            "-Xlinker",
                                            "--version-script",
                                            "--dynamic-list"};
    std::vector<std::string> pieces;
    for (const std::string& w : words) {
      if (w.starts_with("-Wl,")) {
        for (std::string_view p : split(std::string_view(w).substr(4), ",")) pieces.emplace_back(p);
      } else {
        pieces.push_back(w);
      }
    }
    for (size_t i = 0; i < pieces.size(); ++i) {
      std::string a = pieces[i];
      if (std::ranges::find(separate, a) != separate.end() && i + 1 < pieces.size()) {
        const std::string& value = pieces[++i];
        a = a == "-Xlinker" ? value : a.starts_with("--") ? a + "=" + value : a + value;
      }
      if (auto taken = argument(a); !taken) return taken;
    }
    return {};
  }
};

// The next keyword-or-word of a linker script at `at`: a run without
// blanks, parentheses, commas or quotes, or a quoted name.
std::string_view next_token(std::string_view text, size_t& at) {
  while (at < text.size() && std::string_view(" \t\r\n,").find(text[at]) != std::string_view::npos)
    ++at;
  if (at >= text.size()) return {};
  if (text[at] == '(' || text[at] == ')') return text.substr(at++, 1);
  if (text[at] == '"') {
    const size_t end = text.find('"', at + 1);
    const size_t stop = end == std::string_view::npos ? text.size() : end;
    std::string_view quoted = text.substr(at + 1, stop - at - 1);
    at = std::min(text.size(), stop + 1);
    return quoted;
  }
  const size_t begin = at;
  while (at < text.size() &&
         std::string_view(" \t\r\n,()\"").find(text[at]) == std::string_view::npos)
    ++at;
  return text.substr(begin, at - begin);
}

std::string without_comments(std::string_view text) {
  std::string plain;
  size_t at = 0;
  while (at < text.size()) {
    const size_t open = text.find("/*", at);
    if (open == std::string_view::npos) {
      plain.append(text.substr(at));
      break;
    }
    plain.append(text.substr(at, open - at));
    plain.push_back(' ');
    const size_t close = text.find("*/", open + 2);
    at = close == std::string_view::npos ? text.size() : close + 2;
  }
  return plain;
}

// The files of a list of inputs after its "(", up to the matching ")".
std::expected<void, std::string> read_inputs(std::string_view text, size_t& at,
                                             std::vector<fs::path>& files) {
  for (int depth = 1; depth > 0;) {
    const std::string_view item = next_token(text, at);
    if (item.empty()) return std::unexpected("ends inside a list of inputs");
    if (item == "(") ++depth;
    if (item == ")") --depth;
    if (item == "(" || item == ")" || item == "AS_NEEDED") continue;
    if (!item.starts_with('/'))
      return std::unexpected(fmt::format("names {}, which the linker searches for", item));
    files.emplace_back(item);
  }
  return {};
}

}  // namespace

bool NativeArguments::take_codegen(std::string_view value) {
  if (value.starts_with("link-arg=")) {
    link_args.emplace_back(value.substr(9));
  } else if (value.starts_with("link-args=")) {
    for (std::string_view w : split(value.substr(10), " \t\n")) link_args.emplace_back(w);
  } else if (value.starts_with("linker=")) {
    linker = std::string(value.substr(7));
    return false;  // keyed as written, nothing to add
  } else {
    return false;
  }
  return true;
}

bool NativeArguments::take_unstable(std::string_view value) {
  if (value.starts_with("pre-link-arg=")) {
    link_args.emplace_back(value.substr(13));
  } else if (value.starts_with("pre-link-args=")) {
    for (std::string_view w : split(value.substr(14), " \t\n")) link_args.emplace_back(w);
  } else {
    return false;
  }
  return true;
}

NativeArguments native_arguments(std::span<const std::string> args) {
  NativeArguments found;
  const auto value_of = [&](size_t& i, std::string_view option) {
    return rustc::take_value(args, i, option, rustc::Attached::rest_without_equals,
                             rustc::LastWithoutValue::absent);
  };
  for (size_t i = 0; i < args.size(); ++i) {
    if (auto v = value_of(i, "-L")) {
      if (!v->starts_with("dependency=")) found.search.emplace_back(*v);
    } else if (auto v = value_of(i, "-l")) {
      found.libraries.emplace_back(*v);
    } else if (auto v = value_of(i, "-C")) {
      found.take_codegen(*v);
    } else if (auto v = value_of(i, "-Z")) {
      found.take_unstable(*v);
    }
  }
  return found;
}

std::expected<NativeKey, std::string> key_native(const NativeArguments& args,
                                                 const NativeContext& ctx) {
  Keyer keyer{.ctx = ctx};
  if (args.linker) keyer.linker_name = *args.linker;
  // Every directory first: rustc passes them to the linker before any
  // library, whatever the order on its command line.
  for (const std::string& dir : args.search)
    if (auto taken = keyer.directory(dir); !taken) return std::unexpected(taken.error());
  for (const std::string& lib : args.libraries)
    if (auto taken = keyer.library(lib); !taken) return std::unexpected(taken.error());
  if (auto taken = keyer.arguments(args.link_args); !taken) return std::unexpected(taken.error());
  return std::move(keyer.out);
}

std::expected<std::vector<fs::path>, std::string> script_files(std::string_view script) {
  const std::string text = without_comments(script);
  std::vector<fs::path> files;
  size_t at = 0;
  for (std::string_view word = next_token(text, at); !word.empty(); word = next_token(text, at)) {
    if (word == "SEARCH_DIR") return std::unexpected("adds directories to search");
    if (word == "INCLUDE") {
      const std::string_view name = next_token(text, at);
      if (!name.starts_with('/')) return std::unexpected(fmt::format("includes {}", name));
      files.emplace_back(name);
      continue;
    }
    if (word != "INPUT" && word != "GROUP" && word != "STARTUP" && word != "AS_NEEDED") continue;
    if (next_token(text, at) != "(") return std::unexpected(fmt::format("has a bare {}", word));
    if (auto listed = read_inputs(text, at, files); !listed) return std::unexpected(listed.error());
  }
  return files;
}

}  // namespace kelv::artifact_cache
