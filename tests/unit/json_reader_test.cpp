#include "util/json_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The struct reader on records of its own: members by name or position,
// their kinds, and the messages that name the struct and its members. The
// settings tests hold the full table of lexical and numeric messages.
namespace kelv {
namespace {

using namespace std::literals;

struct Probe {
  std::optional<std::string> label;
  uint32_t count = 0;
  std::optional<uint64_t> limit;
  bool on = false;
  std::vector<size_t> order;  // the members read, in the order read
};

constexpr util::JsonField kProbeFields[] = {{.name = "label"},
                                            {.name = "count", .required = true},
                                            {.name = "limit"},
                                            {.name = "on", .required = true}};
constexpr util::JsonStruct kProbe{.name = "Probe", .fields = kProbeFields};

std::expected<Probe, std::string> read_probe(std::string_view text,
                                             const util::JsonStruct& shape = kProbe) {
  Probe probe;
  auto read_field = [&probe](size_t k, util::JsonReader& in) -> util::JsonStatus {
    probe.order.push_back(k);
    if (k == 0) return util::read_json_value(in, probe.label);
    if (k == 1) return util::read_json_value(in, probe.count);
    if (k == 2) return util::read_json_value(in, probe.limit);
    return util::read_json_value(in, probe.on);
  };
  if (auto read = util::read_json_struct(text, shape, read_field); !read) {
    return std::unexpected(read.error());
  }
  return probe;
}

std::string error_of(std::string_view text, const util::JsonStruct& shape = kProbe) {
  const auto probe = read_probe(text, shape);
  return probe ? "accepted" : probe.error();
}

TEST(JsonReader, MembersByNameInAnyOrder) {
  const auto p = read_probe(
      R"({"on": true, "limit": 18446744073709551615, "count": 4294967295, "label": "\u00e9\ud83d\ude00"})");
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_EQ(p->label, "\u00e9\U0001F600");
  EXPECT_EQ(p->count, 4294967295u);
  EXPECT_EQ(p->limit, 18446744073709551615u);
  EXPECT_TRUE(p->on);
  EXPECT_EQ(p->order, (std::vector<size_t>{3, 2, 1, 0}));
}

TEST(JsonReader, OptionalMembersLeftOutOrNull) {
  auto p = read_probe(R"({"count": 0, "on": false})");
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_EQ(p->label, std::nullopt);
  EXPECT_EQ(p->limit, std::nullopt);
  p = read_probe(" {\"label\": null, \"count\": 1, \"limit\": null, \"on\": true}\n");
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_EQ(p->label, std::nullopt);
  EXPECT_EQ(p->limit, std::nullopt);
  EXPECT_EQ(p->order, (std::vector<size_t>{0, 1, 2, 3}));
}

TEST(JsonReader, ArrayOfMembersInDeclarationOrder) {
  const auto p = read_probe(R"(["x", 3, 9, true])");
  ASSERT_TRUE(p.has_value()) << p.error();
  EXPECT_EQ(p->label, "x");
  EXPECT_EQ(p->count, 3u);
  EXPECT_EQ(p->limit, 9u);
  EXPECT_TRUE(p->on);
  EXPECT_EQ(p->order, (std::vector<size_t>{0, 1, 2, 3}));
}

TEST(JsonReader, MessagesNameTheStructAndItsMembers) {
  EXPECT_EQ(error_of("5"), "invalid type: integer `5`, expected struct Probe at line 1 column 1");
  EXPECT_EQ(error_of("[]"),
            "invalid length 0, expected struct Probe with 4 elements at line 1 column 2");
  EXPECT_EQ(error_of(R"(["x", 3])"),
            "invalid length 2, expected struct Probe with 4 elements at line 1 column 8");
  EXPECT_EQ(
      error_of(R"({"x": 1})"),
      "unknown field `x`, expected one of `label`, `count`, `limit`, `on` at line 1 column 4");
  EXPECT_EQ(error_of(R"({"on": true, "on": true})"), "duplicate field `on` at line 1 column 17");
  EXPECT_EQ(error_of(R"({"label": null, "label": "x"})"),
            "duplicate field `label` at line 1 column 23");
}

TEST(JsonReader, FirstMissingRequiredMemberInDeclarationOrder) {
  EXPECT_EQ(error_of("{}"), "missing field `count` at line 1 column 2");
  EXPECT_EQ(error_of(R"({"on": true})"), "missing field `count` at line 1 column 12");
  EXPECT_EQ(error_of(R"({"count": 1, "label": "x"})"), "missing field `on` at line 1 column 26");
}

TEST(JsonReader, EachMemberReadAsItsKind) {
  EXPECT_EQ(error_of(R"({"label": 1})"),
            "invalid type: integer `1`, expected a string at line 1 column 11");
  EXPECT_EQ(error_of(R"({"count": 4294967296})"),
            "invalid value: integer `4294967296`, expected u32 at line 1 column 20");
  EXPECT_EQ(error_of(R"({"count": null})"), "invalid type: null, expected u32 at line 1 column 14");
  EXPECT_EQ(error_of(R"({"limit": -1})"),
            "invalid value: integer `-1`, expected u64 at line 1 column 12");
  EXPECT_EQ(error_of(R"({"limit": 1.5})"),
            "invalid type: floating point `1.5`, expected u64 at line 1 column 13");
  EXPECT_EQ(error_of(R"({"on": "yes"})"),
            "invalid type: string \"yes\", expected a boolean at line 1 column 12");
  EXPECT_EQ(error_of(R"({"on": nul})"), "expected ident at line 1 column 11");
}

TEST(JsonReader, StopsAtTheFirstError) {
  auto p = read_probe(R"({"count": "x", "on": true})");
  EXPECT_FALSE(p.has_value());
  // An unknown key stops the reading before its value, however malformed.
  EXPECT_EQ(
      error_of(R"({"x": [)"),
      "unknown field `x`, expected one of `label`, `count`, `limit`, `on` at line 1 column 4");
  EXPECT_EQ(error_of(R"({"count": 1, "on": true} {)"), "trailing characters at line 1 column 26");
}

TEST(JsonReader, FieldReaderSeesOnlyTheMembersReached) {
  Probe probe;
  std::vector<size_t> seen;
  auto read_field = [&](size_t k, util::JsonReader& in) -> util::JsonStatus {
    seen.push_back(k);
    if (k == 1) return util::read_json_value(in, probe.count);
    return util::read_json_value(in, probe.on);
  };
  EXPECT_FALSE(util::read_json_struct(R"({"count": "x", "on": true})", kProbe, read_field));
  EXPECT_EQ(seen, (std::vector<size_t>{1}));
}

TEST(JsonReader, ShapesWithFewMembersNameThemAsSerdeDoes) {
  constexpr util::JsonField one[] = {{.name = "only", .required = true}};
  constexpr util::JsonField two[] = {{.name = "label"}, {.name = "count"}};
  EXPECT_EQ(error_of(R"({"x": 1})", {.name = "One", .fields = one}),
            "unknown field `x`, expected `only` at line 1 column 4");
  EXPECT_EQ(error_of("[]", {.name = "One", .fields = one}),
            "invalid length 0, expected struct One with 1 element at line 1 column 2");
  EXPECT_EQ(error_of(R"({"x": 1})", {.name = "Two", .fields = two}),
            "unknown field `x`, expected `label` or `count` at line 1 column 4");
  EXPECT_EQ(error_of(R"({"x": 1})", {.name = "None"}),
            "unknown field `x`, there are no fields at line 1 column 4");
  EXPECT_EQ(error_of("[]", {.name = "None"}), "accepted");
  EXPECT_EQ(error_of("{}", {.name = "None"}), "accepted");
}

}  // namespace
}  // namespace kelv
