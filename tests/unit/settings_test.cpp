#include "wrapper/settings.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "support/testing.h"
#include "util/files.h"
#include "util/settings_schema.h"

// The settings file keeps the format, and the exact error texts, of an earlier
// reader built on serde's derived deserializer and serde_json 1.0's
// `from_slice`. Every expected message below is what that reader printed for
// the same bytes.
namespace kelv {
namespace {

using namespace std::literals;
using testing::TempDir;
using testing::write_file;
using wrapper::Settings;
namespace fs = std::filesystem;

struct Case {
  const char* name;
  std::string_view input;
  std::string_view message;
};

constexpr Case kCases[] = {
    {"unknown_field", "{\"extra\": 1}"sv,
     "unknown field `extra`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "1 column 8"},
    {"unknown_field_ws", "{\"min_link_store_ns\": 0, \"early_cutoff\": false, \"extra\"  \n : 1}"sv,
     "unknown field `extra`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "2 column 1"},
    {"unknown_field_escaped", "{\"ex\\u0074ra\\n\": 1}"sv,
     "unknown field `extra\n`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "1 column 15"},
    {"unknown_field_case", "{\"Early_cutoff\": true}"sv,
     "unknown field `Early_cutoff`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "1 column 15"},
    {"duplicate_field", "{\"early_cutoff\": true, \"early_cutoff\" : false}"sv,
     "duplicate field `early_cutoff` at line 1 column 38"},
    {"duplicate_null", "{\"linker_dir\": null, \"min_link_store_ns\": 1, \"linker_dir\": \"x\"}"sv,
     "duplicate field `linker_dir` at line 1 column 57"},
    {"missing_mls", "{\"early_cutoff\": false}"sv,
     "missing field `min_link_store_ns` at line 1 column 23"},
    {"missing_ec", "{\"min_link_store_ns\": 0}"sv,
     "missing field `early_cutoff` at line 1 column 24"},
    {"missing_both_order", "{}"sv, "missing field `min_link_store_ns` at line 1 column 2"},
    {"missing_ws_before_brace", "{\"min_link_store_ns\": 0 \n  }"sv,
     "missing field `early_cutoff` at line 2 column 3"},
    {"missing_then_trailing", "{\"min_link_store_ns\": 0} x"sv,
     "missing field `early_cutoff` at line 1 column 24"},
    {"int_for_bool", "{\"min_link_store_ns\": 0, \"early_cutoff\": 1}"sv,
     "invalid type: integer `1`, expected a boolean at line 1 column 42"},
    {"str_for_u64", "{\"min_link_store_ns\": \"x\", \"early_cutoff\": false}"sv,
     "invalid type: string \"x\", expected u64 at line 1 column 25"},
    {"str_for_u64_escapes",
     "{\"min_link_store_ns\": \"a\\\"b\\\\c\\n\\t\\r\\u0000\\u0001\\u007f\\u00e9\\u00a0\", \"early_cutoff\": false}"sv,
     "invalid type: string \"a\\\"b\\\\c\\n\\t\\r\\0\\u{1}\\u{7f}\303\251\\u{a0}\", expected u64 "
     "at line 1 column 67"},
    {"null_for_bool", "{\"min_link_store_ns\": 0, \"early_cutoff\": null}"sv,
     "invalid type: null, expected a boolean at line 1 column 45"},
    {"null_for_u64", "{\"min_link_store_ns\": null}"sv,
     "invalid type: null, expected u64 at line 1 column 26"},
    {"float_for_u32", "{\"frontend_threads\": 1.5}"sv,
     "invalid type: floating point `1.5`, expected u32 at line 1 column 24"},
    {"map_for_string", "{\"artifact_cache\": {\"a\": 1}}"sv,
     "invalid type: map, expected a string at line 1 column 19"},
    {"seq_for_string", "{\"target_dir\": [\"x\"]}"sv,
     "invalid type: sequence, expected a string at line 1 column 15"},
    {"seq_for_u64", "{\"min_link_store_ns\": [1]}"sv,
     "invalid type: sequence, expected u64 at line 1 column 22"},
    {"bool_for_string", "{\"linker_dir\": true}"sv,
     "invalid type: boolean `true`, expected a string at line 1 column 19"},
    {"false_for_u32", "{\"frontend_threads\": false}"sv,
     "invalid type: boolean `false`, expected u32 at line 1 column 26"},
    {"bool_for_bool_ws", "{\"early_cutoff\":   \n  7  }"sv,
     "invalid type: integer `7`, expected a boolean at line 2 column 3"},
    {"int_top", "5"sv, "invalid type: integer `5`, expected struct Settings at line 1 column 1"},
    {"str_top", "\"settings\""sv,
     "invalid type: string \"settings\", expected struct Settings at line 1 column 10"},
    {"null_top", "null"sv, "invalid type: null, expected struct Settings at line 1 column 4"},
    {"true_top", " true"sv,
     "invalid type: boolean `true`, expected struct Settings at line 1 column 5"},
    {"float_top", "-2.5e3"sv,
     "invalid type: floating point `-2500`, expected struct Settings at line 1 column 6"},
    {"u32_out_of_range", "{\"frontend_threads\": 4294967296}"sv,
     "invalid value: integer `4294967296`, expected u32 at line 1 column 31"},
    {"u32_negative", "{\"frontend_threads\": -1}"sv,
     "invalid value: integer `-1`, expected u32 at line 1 column 23"},
    {"u64_negative", "{\"min_link_store_ns\": -1}"sv,
     "invalid value: integer `-1`, expected u64 at line 1 column 24"},
    {"u64_negative_zero", "{\"min_link_store_ns\": -0}"sv,
     "invalid type: floating point `-0`, expected u64 at line 1 column 24"},
    {"u64_i64_min", "{\"min_link_store_ns\": -9223372036854775808}"sv,
     "invalid value: integer `-9223372036854775808`, expected u64 at line 1 column 42"},
    {"u64_below_i64_min", "{\"min_link_store_ns\": -9223372036854775809}"sv,
     "invalid type: floating point `-9223372036854776000`, expected u64 at line 1 column 42"},
    {"u64_overflow", "{\"min_link_store_ns\": 18446744073709551616}"sv,
     "invalid type: floating point `18446744073709552000`, expected u64 at line 1 column 42"},
    {"u64_overflow_big", "{\"min_link_store_ns\": 123456789012345678901234567890}"sv,
     "invalid type: floating point `123456789012345680000000000000`, expected u64 at line 1 column "
     "52"},
    {"u64_overflow_dot", "{\"min_link_store_ns\": 18446744073709551616.}"sv,
     "invalid type: floating point `18446744073709552000`, expected u64 at line 1 column 43"},
    {"u64_overflow_dot5", "{\"min_link_store_ns\": 18446744073709551616.5}"sv,
     "invalid number at line 1 column 45"},
    {"u64_overflow_dot5_eof", "{\"min_link_store_ns\": 18446744073709551616.5"sv,
     "EOF while parsing a value at line 1 column 44"},
    {"u64_max_dot9", "{\"min_link_store_ns\": 18446744073709551615.9}"sv,
     "invalid type: floating point `18446744073709552000`, expected u64 at line 1 column 44"},
    {"float_exp", "{\"min_link_store_ns\": 1e3}"sv,
     "invalid type: floating point `1000`, expected u64 at line 1 column 25"},
    {"float_small", "{\"min_link_store_ns\": 1e-7}"sv,
     "invalid type: floating point `0.0000001`, expected u64 at line 1 column 26"},
    {"float_subnormal", "{\"min_link_store_ns\": 1e-320}"sv,
     "invalid type: floating point "
     "`0."
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000001`, expected u64 at line 1 column 28"},
    {"float_tiny_zero", "{\"min_link_store_ns\": 1e-400}"sv,
     "invalid type: floating point `0`, expected u64 at line 1 column 28"},
    {"float_huge", "{\"min_link_store_ns\": 1e300}"sv,
     "invalid type: floating point "
     "`10000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000`, expected u64 at line 1 column 27"},
    {"float_neg_exp_sign", "{\"min_link_store_ns\": 12.5E+2}"sv,
     "invalid type: floating point `1250`, expected u64 at line 1 column 29"},
    {"float_long_frac", "{\"min_link_store_ns\": 0.1234567890123456789012345}"sv,
     "invalid type: floating point `0.12345678901234568`, expected u64 at line 1 column 49"},
    {"float_precision", "{\"min_link_store_ns\": 0.3}"sv,
     "invalid type: floating point `0.3`, expected u64 at line 1 column 25"},
    {"float_1e22", "{\"min_link_store_ns\": 1e22}"sv,
     "invalid type: floating point `10000000000000000000000`, expected u64 at line 1 column 26"},
    {"float_1e23", "{\"min_link_store_ns\": 1e23}"sv,
     "invalid type: floating point `100000000000000000000000`, expected u64 at line 1 column 26"},
    {"out_of_range_exp", "{\"min_link_store_ns\": 1e400}"sv,
     "number out of range at line 1 column 27"},
    {"out_of_range_mul", "{\"min_link_store_ns\": 2e308}"sv,
     "number out of range at line 1 column 27"},
    {"exp_overflow", "{\"min_link_store_ns\": 1e99999999999}"sv,
     "number out of range at line 1 column 34"},
    {"exp_overflow_neg", "{\"min_link_store_ns\": 1e-99999999999, \"early_cutoff\": true}"sv,
     "invalid type: floating point `0`, expected u64 at line 1 column 36"},
    {"exp_overflow_zero", "{\"min_link_store_ns\": 0e99999999999}"sv,
     "invalid type: floating point `0`, expected u64 at line 1 column 35"},
    {"leading_zero", "{\"min_link_store_ns\": 01}"sv, "invalid number at line 1 column 24"},
    {"minus_alone", "{\"min_link_store_ns\": -}"sv, "invalid number at line 1 column 24"},
    {"minus_eof", "{\"min_link_store_ns\": -"sv, "EOF while parsing a value at line 1 column 23"},
    {"dot_no_digit", "{\"min_link_store_ns\": 1.}"sv, "invalid number at line 1 column 25"},
    {"dot_eof", "{\"min_link_store_ns\": 1."sv, "EOF while parsing a value at line 1 column 24"},
    {"exp_no_digit", "{\"min_link_store_ns\": 1e}"sv, "invalid number at line 1 column 25"},
    {"exp_eof", "{\"min_link_store_ns\": 1e"sv, "EOF while parsing a value at line 1 column 24"},
    {"exp_sign_eof", "{\"min_link_store_ns\": 1e+"sv,
     "EOF while parsing a value at line 1 column 25"},
    {"plus_number", "{\"min_link_store_ns\": +1}"sv, "expected value at line 1 column 23"},
    {"bad_number_for_bool", "{\"early_cutoff\": -x}"sv, "invalid number at line 1 column 19"},
    {"bad_number_in_string_field", "{\"artifact_cache\": 1.e5}"sv,
     "invalid number at line 1 column 22"},
    {"trailing_characters", "{\"min_link_store_ns\": 0, \"early_cutoff\": false} {}"sv,
     "trailing characters at line 1 column 49"},
    {"trailing_characters_nl", "{\"min_link_store_ns\": 0, \"early_cutoff\": false}\n\n  x"sv,
     "trailing characters at line 3 column 3"},
    {"empty", ""sv, "EOF while parsing a value at line 1 column 0"},
    {"only_ws", "  \n "sv, "EOF while parsing a value at line 2 column 1"},
    {"eof_object", "{"sv, "EOF while parsing an object at line 1 column 1"},
    {"eof_object_ws", "{ \n"sv, "EOF while parsing an object at line 2 column 0"},
    {"eof_after_key", "{\"early_cutoff\""sv, "EOF while parsing an object at line 1 column 15"},
    {"eof_after_colon", "{\"early_cutoff\":"sv, "EOF while parsing a value at line 1 column 16"},
    {"eof_after_colon_opt", "{\"artifact_cache\": "sv,
     "EOF while parsing a value at line 1 column 19"},
    {"eof_after_value", "{\"early_cutoff\": true"sv,
     "EOF while parsing an object at line 1 column 21"},
    {"eof_after_comma", "{\"early_cutoff\": true,"sv,
     "EOF while parsing a value at line 1 column 22"},
    {"eof_list", "["sv, "EOF while parsing a list at line 1 column 1"},
    {"eof_list_after_elem", "[null"sv, "EOF while parsing a list at line 1 column 5"},
    {"eof_list_after_comma", "[null,"sv, "EOF while parsing a value at line 1 column 6"},
    {"eof_string", "{\"early_"sv, "EOF while parsing a string at line 1 column 8"},
    {"eof_string_value", "{\"linker_dir\": \"abc"sv,
     "EOF while parsing a string at line 1 column 19"},
    {"eof_in_escape", "{\"linker_dir\": \"abc\\"sv,
     "EOF while parsing a string at line 1 column 20"},
    {"eof_ident", "{\"early_cutoff\": tr"sv, "EOF while parsing a value at line 1 column 19"},
    {"expected_ident", "{\"early_cutoff\": tru}"sv, "expected ident at line 1 column 21"},
    {"expected_ident_null", "{\"linker_dir\": nul, \"x\": 1}"sv,
     "expected ident at line 1 column 19"},
    {"expected_ident_null_bool", "{\"early_cutoff\": nuLL}"sv,
     "expected ident at line 1 column 20"},
    {"expected_value", "{\"early_cutoff\": x}"sv, "expected value at line 1 column 18"},
    {"expected_value_string_field", "{\"artifact_cache\": }"sv,
     "expected value at line 1 column 20"},
    {"expected_colon", "{\"early_cutoff\" true}"sv, "expected `:` at line 1 column 17"},
    {"expected_comma_or_brace", "{\"early_cutoff\": true \"min_link_store_ns\": 0}"sv,
     "expected `,` or `}` at line 1 column 23"},
    {"expected_comma_or_bracket", "[null null]"sv, "expected `,` or `]` at line 1 column 7"},
    {"trailing_comma_object", "{\"min_link_store_ns\": 0, \"early_cutoff\": false,}"sv,
     "trailing comma at line 1 column 48"},
    {"trailing_comma_object_ws", "{\"min_link_store_ns\": 0, \"early_cutoff\": false , \n }"sv,
     "trailing comma at line 2 column 2"},
    {"trailing_comma_array_inside", "[null,]"sv, "trailing comma at line 1 column 7"},
    {"trailing_comma_array_end", "[null, null, 0, null, false, null,]"sv,
     "trailing comma at line 1 column 35"},
    {"array_too_long", "[null, null, 0, null, false, null, false, 1]"sv,
     "trailing characters at line 1 column 43"},
    {"array_too_long_nl", "[null, null, 0, null, false, null, false\n, \n 1]"sv,
     "trailing characters at line 3 column 2"},
    {"array_six_no_close", "[null, null, 0, null, false, null"sv,
     "EOF while parsing a list at line 1 column 33"},
    {"array_seven_junk", "[null, null, 0, null, false, null, false x"sv,
     "trailing characters at line 1 column 42"},
    {"array_short", "[null, null]"sv,
     "invalid length 2, expected struct Settings with 7 elements at line 1 column 12"},
    {"array_short_ws", "[null, null \n ] "sv,
     "invalid length 2, expected struct Settings with 7 elements at line 2 column 2"},
    {"array_empty", "[]"sv,
     "invalid length 0, expected struct Settings with 7 elements at line 1 column 2"},
    {"array_leading_comma", "[,null]"sv, "expected value at line 1 column 2"},
    {"array_bad_elem", "[1, null, 0, null, false, null]"sv,
     "invalid type: integer `1`, expected a string at line 1 column 2"},
    {"array_bad_u64", "[null, null, \"0\", null, false, null]"sv,
     "invalid type: string \"0\", expected u64 at line 1 column 16"},
    {"key_must_be_string", "{1: 2}"sv, "key must be a string at line 1 column 2"},
    {"key_must_be_string_after_comma", "{\"early_cutoff\": true, early: 1}"sv,
     "key must be a string at line 1 column 24"},
    {"leading_comma_object", "{,}"sv, "key must be a string at line 1 column 2"},
    {"control_char_in_string", "{\"linker_dir\": \"a\tb\"}"sv,
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 18"},
    {"control_char_in_key", "{\"a\001\": 1}"sv,
     "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 4"},
    {"invalid_escape", "{\"linker_dir\": \"\\x\"}"sv, "invalid escape at line 1 column 18"},
    {"invalid_hex", "{\"linker_dir\": \"\\u12G4\"}"sv, "invalid escape at line 1 column 21"},
    {"short_hex_eof", "{\"linker_dir\": \"\\u12"sv,
     "EOF while parsing a string at line 1 column 20"},
    {"short_hex_before_quote", "{\"linker_dir\": \"\\u12\"}"sv,
     "invalid escape at line 1 column 21"},
    {"lone_trailing_surrogate", "{\"linker_dir\": \"\\udc00\"}"sv,
     "lone leading surrogate in hex escape at line 1 column 22"},
    {"lone_leading_surrogate_quote", "{\"linker_dir\": \"\\ud800\"}"sv,
     "unexpected end of hex escape at line 1 column 23"},
    {"leading_surrogate_bad_escape", "{\"linker_dir\": \"\\ud800\\n\"}"sv,
     "unexpected end of hex escape at line 1 column 24"},
    {"leading_surrogate_then_bmp", "{\"linker_dir\": \"\\ud800\\u0041\"}"sv,
     "lone leading surrogate in hex escape at line 1 column 28"},
    {"leading_surrogate_eof", "{\"linker_dir\": \"\\ud800"sv,
     "EOF while parsing a string at line 1 column 22"},
    {"leading_surrogate_eof2", "{\"linker_dir\": \"\\ud800\\"sv,
     "EOF while parsing a string at line 1 column 23"},
    {"surrogate_pair_as_u64",
     "{\"min_link_store_ns\": \"\\ud83d\\ude00 \\u00ad\\u200b\\ufeff\\u0301e\\u0301\"}"sv,
     "invalid type: string \"\360\237\230\200 \\u{ad}\\u{200b}\\u{feff}\\u{301}e\\u{301}\", "
     "expected u64 at line 1 column 68"},
    {"invalid_utf8_value", "{\"linker_dir\": \"a\377b\"}"sv,
     "invalid unicode code point at line 1 column 20"},
    {"invalid_utf8_key", "{\"\303(\": 1}"sv, "invalid unicode code point at line 1 column 5"},
    {"invalid_utf8_overlong", "{\"linker_dir\": \"\300\257\"}"sv,
     "invalid unicode code point at line 1 column 19"},
    {"invalid_utf8_surrogate", "{\"linker_dir\": \"\355\240\200\"}"sv,
     "invalid unicode code point at line 1 column 20"},
    {"invalid_utf8_outside_string", "{\"min_link_store_ns\": 0, \"early_cutoff\": false}\377"sv,
     "trailing characters at line 1 column 48"},
    {"utf8_key_unknown", "{\"caf\303\251\": 1}"sv,
     "unknown field `caf\303\251`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "1 column 8"},
    {"multiline_type_error", "{\n  \"min_link_store_ns\": 0,\n  \"early_cutoff\": \"yes\"\n}\n"sv,
     "invalid type: string \"yes\", expected a boolean at line 3 column 23"},
    {"multiline_unknown",
     "{\n  \"min_link_store_ns\": 0,\n  \"early_cutoff\": false,\n  \"bogus\"\n    : 1\n}\n"sv,
     "unknown field `bogus`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "5 column 4"},
    {"multiline_missing", "{\n  \"min_link_store_ns\": 0\n}\n"sv,
     "missing field `early_cutoff` at line 3 column 1"},
    {"multiline_eof", "{\n  \"min_link_store_ns\": 0,\n"sv,
     "EOF while parsing a value at line 3 column 0"},
    {"multiline_crlf", "{\r\n  \"min_link_store_ns\": 0,\r\n  \"early_cutoff\": 2\r\n}"sv,
     "invalid type: integer `2`, expected a boolean at line 3 column 19"},
    {"nested_error_in_map_value", "{\"artifact_cache\": {\"a\": [1, 2, }]}}"sv,
     "invalid type: map, expected a string at line 1 column 19"},
    {"formfeed_not_ws", "\014{}"sv, "expected value at line 1 column 1"},
    {"nbsp_not_ws", "\302\240{}"sv, "expected value at line 1 column 1"},
    {"string_top_invalid", "\"a\\q\""sv, "invalid escape at line 1 column 4"},
    {"number_top_bad", "01"sv, "invalid number at line 1 column 2"},
    {"bracket_close_top", "]"sv, "expected value at line 1 column 1"},
    {"u32_exact_float", "{\"frontend_threads\": 2.0}"sv,
     "invalid type: floating point `2`, expected u32 at line 1 column 24"},
    {"negative_float", "{\"frontend_threads\": -0.5}"sv,
     "invalid type: floating point `-0.5`, expected u32 at line 1 column 25"},
    {"neg_zero_float", "{\"min_link_store_ns\": -0.0}"sv,
     "invalid type: floating point `-0`, expected u64 at line 1 column 26"},
    {"private_use_str",
     "{\"min_link_store_ns\": \"\356\200\200\364\217\277\275\360\237\230\200\302\240\342\200\250\343\200\200\330\200\"}"sv,
     "invalid type: string "
     "\"\\u{e000}\\u{10fffd}\360\237\230\200\\u{a0}\\u{2028}\\u{3000}\\u{600}\", expected u64 at "
     "line 1 column 45"},
    // Every member by name and by position: the reader takes each one's kind
    // and required-ness from the member table.
    {"duplicate_last_member_null", "{\"target_dir\": null, \"target_dir\": null}"sv,
     "duplicate field `target_dir` at line 1 column 33"},
    {"duplicate_u32", "{\"frontend_threads\": 1, \"frontend_threads\": 2}"sv,
     "duplicate field `frontend_threads` at line 1 column 42"},
    {"duplicate_u64", "{\"min_link_store_ns\": 0, \"min_link_store_ns\": 0}"sv,
     "duplicate field `min_link_store_ns` at line 1 column 44"},
    {"duplicate_after_complete",
     "{\"min_link_store_ns\": 0, \"early_cutoff\": true, \"target_dir\": \"t\", \"target_dir\": 1}"sv,
     "duplicate field `target_dir` at line 1 column 78"},
    {"unknown_before_duplicate",
     "{\"artifact_cache\": \"a\", \"extra\": 1, \"artifact_cache\": \"b\"}"sv,
     "unknown field `extra`, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "1 column 31"},
    {"unknown_near_name",
     "{\"min_link_store_ns\": 0, \"early_cutoff\": true, \"target_dir \": \"t\"}"sv,
     "unknown field `target_dir `, expected one of `artifact_cache`, `frontend_threads`, "
     "`min_link_store_ns`, `linker_dir`, `early_cutoff`, `target_dir`, `path_independent` at line "
     "1 column 60"},
    {"missing_all_required",
     "{\"artifact_cache\": null, \"frontend_threads\": null, \"linker_dir\": null, \"target_dir\": "
     "null}"sv,
     "missing field `min_link_store_ns` at line 1 column 90"},
    {"missing_first_required_only",
     "{\"artifact_cache\": null, \"frontend_threads\": null, \"linker_dir\": null, \"target_dir\": "
     "null, \"early_cutoff\": true}"sv,
     "missing field `min_link_store_ns` at line 1 column 112"},
    {"missing_with_u32_max", "{\"frontend_threads\": 4294967295, \"early_cutoff\": true}"sv,
     "missing field `min_link_store_ns` at line 1 column 54"},
    {"int_for_last_string", "{\"target_dir\": 5}"sv,
     "invalid type: integer `5`, expected a string at line 1 column 16"},
    {"str_for_u32", "{\"frontend_threads\": \"4\"}"sv,
     "invalid type: string \"4\", expected u32 at line 1 column 24"},
    {"array_five", "[null, null, 0, null, false]"sv,
     "invalid length 5, expected struct Settings with 7 elements at line 1 column 28"},
    {"array_five_values", "[\"a\", 1, 2, \"b\", true]"sv,
     "invalid length 5, expected struct Settings with 7 elements at line 1 column 22"},
    {"array_six_eof_ws", "[null, null, 0, null, false, null "sv,
     "EOF while parsing a list at line 1 column 34"},
    {"array_null_for_u64", "[null, null, null, null, false, null]"sv,
     "invalid type: null, expected u64 at line 1 column 17"},
    {"array_u32_out_of_range", "[null, 4294967296, 0, null, false, null]"sv,
     "invalid value: integer `4294967296`, expected u32 at line 1 column 17"},
    {"array_null_for_bool", "[null, null, 0, null, null, null]"sv,
     "invalid type: null, expected a boolean at line 1 column 26"},
    {"array_int_for_linker_dir", "[null, null, 0, 1, false, null]"sv,
     "invalid type: integer `1`, expected a string at line 1 column 17"},
    {"array_int_for_target_dir", "[null, null, 0, null, false, 7]"sv,
     "invalid type: integer `7`, expected a string at line 1 column 30"},
    {"array_six_trailing_comma_ws", "[null, null, 0, null, false, null, ]"sv,
     "trailing comma at line 1 column 36"},
};

class SettingsParseError : public ::testing::TestWithParam<Case> {};

TEST_P(SettingsParseError, MessageAndPosition) {
  const Case& c = GetParam();
  const auto parsed = Settings::parse(c.input);
  ASSERT_FALSE(parsed.has_value()) << "accepted: " << c.input;
  EXPECT_EQ(parsed.error(), c.message);
}

INSTANTIATE_TEST_SUITE_P(Settings, SettingsParseError, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(SettingsParse, DeepNestingIsATypeErrorNotARecursionLimit) {
  // The struct is the only container read; nested values are refused by type
  // before they are entered.
  EXPECT_EQ(Settings::parse(std::string(300, '[')).error(),
            "invalid type: sequence, expected a string at line 1 column 1");
  EXPECT_EQ(Settings::parse(R"({"artifact_cache": )" + std::string(300, '[') + "}").error(),
            "invalid type: sequence, expected a string at line 1 column 19");
  std::string objects = R"({"min_link_store_ns": )";
  for (int k = 0; k < 200; ++k) objects += R"({"a":)";
  EXPECT_EQ(Settings::parse(objects).error(),
            "invalid type: map, expected u64 at line 1 column 22");
}

TEST(SettingsParse, MinimalObject) {
  const auto s = Settings::parse(R"({"min_link_store_ns": 0, "early_cutoff": false})");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_EQ(s->artifact_cache, std::nullopt);
  EXPECT_EQ(s->frontend_threads, std::nullopt);
  EXPECT_EQ(s->min_link_store_ns, 0u);
  EXPECT_EQ(s->linker_dir, std::nullopt);
  EXPECT_FALSE(s->early_cutoff);
  EXPECT_EQ(s->target_dir, std::nullopt);
}

TEST(SettingsParse, FullObjectInAnyOrder) {
  const auto s = Settings::parse(
      "{\"target_dir\": \"/t\", \"early_cutoff\": true, \"linker_dir\": \"/l\",\n"
      " \"min_link_store_ns\": 18446744073709551615, \"frontend_threads\": 4294967295,\n"
      " \"artifact_cache\": \"/c\\u00e9\\ud83d\\ude00\"}\n");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_EQ(s->artifact_cache, "/c\u00e9\U0001F600");
  EXPECT_EQ(s->frontend_threads, 4294967295u);
  EXPECT_EQ(s->min_link_store_ns, 18446744073709551615u);
  EXPECT_EQ(s->linker_dir, "/l");
  EXPECT_TRUE(s->early_cutoff);
  EXPECT_EQ(s->target_dir, "/t");
}

TEST(SettingsParse, NullOptionalsAndWhitespace) {
  const auto s = Settings::parse(
      " \t\r\n{\"artifact_cache\" : null, \"frontend_threads\":null, \"min_link_store_ns\"\n:7,"
      " \"linker_dir\": null, \"early_cutoff\": true, \"target_dir\": null}\r\n ");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_EQ(s->artifact_cache, std::nullopt);
  EXPECT_EQ(s->frontend_threads, std::nullopt);
  EXPECT_EQ(s->min_link_store_ns, 7u);
  EXPECT_TRUE(s->early_cutoff);
  EXPECT_EQ(s->target_dir, std::nullopt);
}

TEST(SettingsParse, ArrayFormInDeclarationOrder) {
  auto s = Settings::parse("[null, null, 0, null, false, null, false]");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_EQ(s->artifact_cache, std::nullopt);
  EXPECT_FALSE(s->early_cutoff);
  s = Settings::parse(R"(["a", 4, 5, "b", true, "c", true])");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_EQ(s->artifact_cache, "a");
  EXPECT_EQ(s->frontend_threads, 4u);
  EXPECT_EQ(s->min_link_store_ns, 5u);
  EXPECT_EQ(s->linker_dir, "b");
  EXPECT_TRUE(s->early_cutoff);
  EXPECT_EQ(s->target_dir, "c");
  EXPECT_TRUE(s->path_independent);
}

TEST(SettingsParse, StringsKeepTheirBytes) {
  const auto s = Settings::parse(
      "{\"linker_dir\": \"caf\xc3\xa9/\\\"q\\\"\\\\\\/\\b\\f\\n\\r\\t\", \"min_link_store_ns\": 0,"
      " \"early_cutoff\": false}");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_EQ(s->linker_dir, "caf\xc3\xa9/\"q\"\\/\b\f\n\r\t");
}

TEST(SettingsRead, MissingFileIsNoSettings) {
  TempDir dir;
  const auto s = Settings::read(dir.path());
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_FALSE(s->has_value());
}

TEST(SettingsRead, MissingEventDirIsNoSettings) {
  TempDir dir;
  const auto s = Settings::read(dir / "absent");
  ASSERT_TRUE(s.has_value()) << s.error();
  EXPECT_FALSE(s->has_value());
}

TEST(SettingsRead, DirectoryInItsPlaceIsAnError) {
  TempDir dir;
  fs::create_directory(dir / "wrapper.settings");
  const auto s = Settings::read(dir.path());
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), "cannot read " + (dir / "wrapper.settings").native() +
                           ": Is a directory (os error 21)");
}

TEST(SettingsRead, UnreadableFileIsAnError) {
  if (::geteuid() == 0) GTEST_SKIP() << "permission checks do not apply to root";
  TempDir dir;
  write_file(dir / "wrapper.settings", R"({"min_link_store_ns": 0, "early_cutoff": false})");
  ASSERT_EQ(::chmod((dir / "wrapper.settings").c_str(), 0), 0);
  const auto s = Settings::read(dir.path());
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), "cannot read " + (dir / "wrapper.settings").native() +
                           ": Permission denied (os error 13)");
}

TEST(SettingsRead, MinimalFile) {
  TempDir dir;
  write_file(dir / "wrapper.settings", R"({"min_link_store_ns": 0, "early_cutoff": false})");
  const auto s = Settings::read(dir.path());
  ASSERT_TRUE(s.has_value()) << s.error();
  ASSERT_TRUE(s->has_value());
  EXPECT_EQ((*s)->artifact_cache, std::nullopt);
  EXPECT_EQ((*s)->frontend_threads, std::nullopt);
  EXPECT_EQ((*s)->min_link_store_ns, 0u);
  EXPECT_EQ((*s)->linker_dir, std::nullopt);
  EXPECT_FALSE((*s)->early_cutoff);
  EXPECT_EQ((*s)->target_dir, std::nullopt);
}

TEST(SettingsRead, FullFile) {
  TempDir dir;
  write_file(dir / "wrapper.settings",
             "{\n  \"artifact_cache\": \"/cache\",\n  \"frontend_threads\": 8,\n"
             "  \"min_link_store_ns\": 2500000,\n  \"linker_dir\": \"/linker\",\n"
             "  \"early_cutoff\": true,\n  \"target_dir\": \"/work/target\"\n}\n");
  const auto s = Settings::read(dir.path());
  ASSERT_TRUE(s.has_value()) << s.error();
  ASSERT_TRUE(s->has_value());
  EXPECT_EQ((*s)->artifact_cache, "/cache");
  EXPECT_EQ((*s)->frontend_threads, 8u);
  EXPECT_EQ((*s)->min_link_store_ns, 2500000u);
  EXPECT_EQ((*s)->linker_dir, "/linker");
  EXPECT_TRUE((*s)->early_cutoff);
  EXPECT_EQ((*s)->target_dir, "/work/target");
}

TEST(SettingsRead, ParseErrorNamesTheFileAndTheVersions) {
  TempDir dir;
  write_file(dir / "wrapper.settings", R"({"early_cutoff": false})");
  const auto s = Settings::read(dir.path());
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), (dir / "wrapper.settings").native() +
                           " is not valid wrapper settings (missing field `min_link_store_ns` at "
                           "line 1 column 23); the kelv and kelv-rustc-wrapper binaries may be "
                           "from different versions");
}

TEST(SettingsRead, EmptyFileIsAParseError) {
  TempDir dir;
  write_file(dir / "wrapper.settings", "");
  const auto s = Settings::read(dir.path());
  ASSERT_FALSE(s.has_value());
  EXPECT_EQ(s.error(), (dir / "wrapper.settings").native() +
                           " is not valid wrapper settings (EOF while parsing a value at line 1 "
                           "column 0); the kelv and kelv-rustc-wrapper binaries may be from "
                           "different versions");
}

// Every member of `b` equals that of `a`.
void expect_same(const util::SettingsValues& a, const util::SettingsValues& b) {
  for (const util::SettingsMember& member : util::kSettingsMembers) {
    std::visit([&](auto field) { EXPECT_EQ(a.*field, b.*field) << member.name; }, member.field);
  }
}

TEST(SettingsSchema, MembersInDeclarationOrder) {
  std::vector<std::string_view> names, required, builds_own;
  for (const util::SettingsMember& member : util::kSettingsMembers) {
    names.push_back(member.name);
    if (member.required) required.push_back(member.name);
    if (!member.configurable) builds_own.push_back(member.name);
  }
  EXPECT_EQ(names, (std::vector<std::string_view>{"artifact_cache", "frontend_threads",
                                                  "min_link_store_ns", "linker_dir", "early_cutoff",
                                                  "target_dir", "path_independent"}));
  EXPECT_EQ(required, (std::vector<std::string_view>{"min_link_store_ns", "early_cutoff"}));
  EXPECT_EQ(builds_own, (std::vector<std::string_view>{"target_dir"}));
}

TEST(SettingsSchema, WrittenFormHoldsEveryMemberInOrder) {
  EXPECT_EQ(
      util::settings_json({}).dump(),
      R"({"artifact_cache":null,"frontend_threads":null,"min_link_store_ns":0,)"
      R"("linker_dir":null,"early_cutoff":false,"target_dir":null,"path_independent":false})");
  const util::SettingsValues values{.artifact_cache = "/cache",
                                    .frontend_threads = 8,
                                    .min_link_store_ns = 2500000,
                                    .linker_dir = "/linker",
                                    .early_cutoff = true,
                                    .target_dir = "/work/target",
                                    .path_independent = true};
  EXPECT_EQ(util::settings_json(values).dump(2),
            "{\n  \"artifact_cache\": \"/cache\",\n  \"frontend_threads\": 8,\n"
            "  \"min_link_store_ns\": 2500000,\n  \"linker_dir\": \"/linker\",\n"
            "  \"early_cutoff\": true,\n  \"target_dir\": \"/work/target\",\n"
            "  \"path_independent\": true\n}");
}

TEST(SettingsSchema, WrittenSettingsReadBackAsObjectAndArray) {
  const util::SettingsValues full{.artifact_cache = "/c\u00e9 \"q\"\\",
                                  .frontend_threads = 4294967295u,
                                  .min_link_store_ns = 18446744073709551615u,
                                  .linker_dir = "/l\n\t\x01",
                                  .early_cutoff = true,
                                  .target_dir = "/t"};
  const util::SettingsValues sparse{.frontend_threads = 0, .min_link_store_ns = 7};
  for (const util::SettingsValues& values : {full, sparse, util::SettingsValues{}}) {
    const util::Json object = util::settings_json(values);
    util::Json array = util::Json::array();
    for (const auto& [name, value] : object.items()) array.push_back(value);
    for (const std::string& text : {object.dump(), object.dump(2), array.dump()}) {
      const auto read = Settings::parse(text);
      ASSERT_TRUE(read.has_value()) << text << ": " << read.error();
      expect_same(values, *read);
    }
  }
}

TEST(SettingsRead, FileWrittenByTheSchemaReadsBack) {
  TempDir dir;
  const util::SettingsValues values{.artifact_cache = "/cache", .early_cutoff = true};
  ASSERT_TRUE(
      util::write_json_fast(dir / "wrapper.settings", util::settings_json(values)).has_value());
  const auto s = Settings::read(dir.path());
  ASSERT_TRUE(s.has_value()) << s.error();
  ASSERT_TRUE(s->has_value());
  expect_same(values, **s);
}

}  // namespace
}  // namespace kelv
