#include "artifact_cache/entry_pack.h"

#include <fmt/format.h>

#include <algorithm>
#include <map>
#include <vector>

#include "artifact_cache/layout.h"
#include "artifact_cache/records.h"
#include "util/files.h"
#include "util/hash.h"
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

}  // namespace

uint64_t Pack::size() const {
  uint64_t total = head.size();
  for (const util::MappedFile& f : files) total += f.bytes().size();
  return total;
}

util::IoResult<void> Pack::write(const fs::path& path) const {
  std::vector<std::string_view> pieces = {head};
  for (const util::MappedFile& f : files) pieces.push_back(f.bytes());
  return util::write_atomic(path, pieces);
}

std::expected<Pack, std::string> pack_entry(const fs::path& dir, std::string_view key,
                                            std::string_view entry) {
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
  Pack pack;
  util::Json files = util::Json::array();
  for (size_t i = 0; i < names.size(); ++i) {
    const std::string& name = names[i];
    auto mapped = util::MappedFile::open(dir / name);
    if (!mapped)
      return std::unexpected(
          fmt::format("{} is unreadable: {}", name, util::os_error(mapped.error())));
    std::string blake3 = util::blake3_hex(mapped->bytes());
    // The record and the diagnostics have no recorded hash of their own.
    if (i >= 2 && text_member(*hashes, name.c_str()) != blake3)
      return std::unexpected(fmt::format("{} does not have the content it was stored with", name));
    files.push_back(
        {{"name", name}, {"size", mapped->bytes().size()}, {"blake3", std::move(blake3)}});
    pack.files.push_back(std::move(*mapped));
  }
  const util::Json header = {{"key", key}, {"entry", entry}, {"files", std::move(files)}};
  pack.head = std::string(magic) + header.dump() + '\n';
  return pack;
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
