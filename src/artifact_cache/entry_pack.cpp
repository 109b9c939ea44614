#include "artifact_cache/entry_pack.h"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <span>
#include <vector>

#include "artifact_cache/layout.h"
#include "artifact_cache/records.h"
#include "util/fd.h"
#include "util/files.h"
#include "util/hash.h"
#include "util/hashed_copy.h"
#include "util/paths.h"

namespace kelv::artifact_cache {
namespace {

constexpr std::string_view magic = "kelv-entry 1\n";

// A header larger than this is not one an entry of ours would have.
constexpr size_t header_limit = 1 << 20;

struct Piece {
  std::string name;
  std::string_view bytes;
  std::string blake3;
};

// A text member of an object; empty when missing or not text.
std::string text_member(const util::Json& object, const char* name) {
  const auto it = object.find(name);
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

std::unexpected<std::string> bad(std::string_view what) {
  return std::unexpected(fmt::format("the remote entry is unusable: {}", what));
}

// The pieces the header lists, cut from the body; every name plain and
// listed once, the sizes adding up to the body exactly.
std::expected<std::vector<Piece>, std::string> cut_pieces(const util::Json& files,
                                                          std::string_view body) {
  std::vector<Piece> pieces;
  size_t at = 0;
  for (const util::Json& f : files) {
    const auto size_member = f.is_object() ? f.find("size") : f.end();
    if (!f.is_object() || size_member == f.end() || !size_member->is_number_unsigned())
      return bad("a file is described wrongly");
    const std::string name = text_member(f, "name");
    if (!util::is_plain_file_name(name)) return bad("it names a file outside the entry");
    if (std::any_of(pieces.begin(), pieces.end(), [&](const Piece& p) { return p.name == name; }))
      return bad("it names a file twice");
    const uint64_t size = size_member->get<uint64_t>();
    if (size > body.size() - at) return bad("it is truncated");
    pieces.push_back({name, body.substr(at, size), text_member(f, "blake3")});
    at += size;
  }
  if (at != body.size()) return bad("it holds more than it describes");
  for (const Piece& p : pieces)
    if (util::blake3_hex(p.bytes) != p.blake3)
      return bad(fmt::format("{} does not have its recorded content", p.name));
  return pieces;
}

// The entry record must describe exactly the outputs the pack holds, by the
// same hashes; the record and the diagnostics come with them.
std::expected<void, std::string> check_record(const std::vector<Piece>& pieces) {
  std::map<std::string, const Piece*> by_name;
  for (const Piece& p : pieces) by_name[p.name] = &p;
  const auto record_piece = by_name.find(std::string(layout::entry_record_file));
  if (record_piece == by_name.end() || !by_name.contains(std::string(layout::stderr_file)))
    return bad("its entry record or diagnostics are missing");
  const std::optional<util::Json> record = util::parse_json(record_piece->second->bytes);
  if (!record || !record->is_object()) return bad("its entry record is not a JSON object");
  const std::vector<std::string> files = texts_of(*record, "files");
  const auto hashes = record->find("hashes");
  if (hashes == record->end() || !hashes->is_object()) return bad("its entry record has no hashes");
  for (const std::string& name : files) {
    const auto piece = by_name.find(name);
    if (piece == by_name.end() || text_member(*hashes, name.c_str()) != piece->second->blake3)
      return bad(fmt::format("its entry record does not match {}", name));
  }
  if (files.size() + 2 != pieces.size()) return bad("it holds files its record does not list");
  return {};
}

// The format's first lines for these files.
std::string pack_head(std::string_view key, std::string_view entry, const util::Json& files) {
  const util::Json header = {{"key", key}, {"entry", entry}, {"files", files}};
  return std::string(magic) + header.dump() + '\n';
}

// The files of the pack, after the head: each read once, hashed from the
// buffer it is written from, and checked against its size when opened and
// the hash its record gives (the record and the diagnostics have none).
std::expected<void, std::string> write_bodies(const fs::path& dir, const util::Json& hashes,
                                              std::span<const util::Fd> ins, util::Json& files,
                                              int out) {
  for (size_t i = 0; i < ins.size(); ++i) {
    util::Json& f = files[i];
    const std::string name = f["name"].get<std::string>();
    auto copied = util::append_hashed(ins[i].get(), out);
    if (!copied)
      return std::unexpected(
          fmt::format("cannot pack {}: {}", (dir / name).native(), util::os_error(copied.error())));
    if (copied->bytes != f["size"].get<uint64_t>())
      return std::unexpected(fmt::format("{} changed while it was packed", name));
    if (i >= 2 && text_member(hashes, name.c_str()) != copied->blake3)
      return std::unexpected(fmt::format("{} does not have the content it was stored with", name));
    f["blake3"] = std::move(copied->blake3);
  }
  return {};
}

}  // namespace

std::expected<uint64_t, std::string> write_pack(const fs::path& dir, std::string_view key,
                                                std::string_view entry, const fs::path& path) {
  const auto record = util::read_json(dir / layout::entry_record_file);
  if (!record || !record->is_object()) return std::unexpected("the entry record is unreadable");
  const auto hashes = record->find("hashes");
  if (hashes == record->end() || !hashes->is_object())
    return std::unexpected("the entry record has no hashes");
  std::vector<std::string> names = {std::string(layout::entry_record_file),
                                    std::string(layout::stderr_file)};
  for (std::string& name : texts_of(*record, "files")) {
    if (!util::is_plain_file_name(name)) return std::unexpected("the entry names a strange file");
    names.push_back(std::move(name));
  }
  // The head is written first with every hash zero and again at the end:
  // hashes have one length, so the head keeps its size.
  std::vector<util::Fd> ins;
  util::Json files = util::Json::array();
  uint64_t size = 0;
  for (const std::string& name : names) {
    util::Fd in = util::open_regular((dir / name).c_str());
    struct stat st;
    if (!in.valid() || ::fstat(in.get(), &st) != 0)
      return std::unexpected(
          fmt::format("{} is unreadable: {}", name, util::os_error(util::last_error())));
    const auto bytes = static_cast<uint64_t>(st.st_size);
    files.push_back({{"name", name}, {"size", bytes}, {"blake3", std::string(64, '0')}});
    ins.push_back(std::move(in));
    size += bytes;
  }
  const std::string head = pack_head(key, entry, files);
  util::Fd out(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  const auto failed = [&](std::string why) {
    ::unlink(path.c_str());
    return std::unexpected(std::move(why));
  };
  const auto unwritable = [&] {
    return failed(
        fmt::format("cannot write {}: {}", path.native(), util::os_error(util::last_error())));
  };
  if (!out.valid() || ::write(out.get(), head.data(), head.size()) != std::ssize(head))
    return unwritable();
  if (auto written = write_bodies(dir, *hashes, ins, files, out.get()); !written)
    return failed(std::move(written.error()));
  const std::string final_head = pack_head(key, entry, files);
  if (final_head.size() != head.size() ||
      ::pwrite(out.get(), final_head.data(), final_head.size(), 0) != std::ssize(final_head) ||
      ::close(out.release()) != 0)
    return unwritable();
  return head.size() + size;
}

std::expected<void, std::string> unpack_entry(std::string_view pack, std::string_view key,
                                              std::string_view entry, const fs::path& into) {
  if (!pack.starts_with(magic)) return bad("it is not an entry of this format");
  pack.remove_prefix(magic.size());
  const size_t end = pack.substr(0, header_limit).find('\n');
  if (end == std::string_view::npos) return bad("its header is missing");
  const std::optional<util::Json> header = util::parse_json(pack.substr(0, end));
  if (!header || !header->is_object() || !header->contains("files") ||
      !(*header)["files"].is_array())
    return bad("its header is not readable");
  if (text_member(*header, "key") != key || text_member(*header, "entry") != entry)
    return bad("it is stored under another entry's name");
  auto pieces = cut_pieces((*header)["files"], pack.substr(end + 1));
  if (!pieces) return std::unexpected(pieces.error());
  if (auto checked = check_record(*pieces); !checked) return checked;
  for (const Piece& p : *pieces)
    if (auto w = util::write_atomic(into / p.name, p.bytes); !w)
      return std::unexpected(
          fmt::format("cannot write {}: {}", (into / p.name).native(), util::os_error(w.error())));
  return {};
}

}  // namespace kelv::artifact_cache
