#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "remote/url.h"

// Keeping the server's credentials and its own words in check before any
// text reaches a report, a marker file or the terminal.
namespace kelv::remote {

// The text with every occurrence of the url's user and password, of any
// length, replaced by "***". One pass from left to right: what is written
// in place of a secret is never searched again, so the scrub always ends.
std::string scrubbed(std::string_view text, const ServerUrl& url);

// What a server said (an error reply, a reason phrase, a message built
// around them), fit to store and print: scrubbed, invalid UTF-8 and control
// characters (newlines and escapes included) each shown as '?', and cut to
// at most `limit` bytes at a character boundary, with "..." where it was
// cut.
inline constexpr size_t printable_limit = 300;
std::string printable(std::string_view text, const ServerUrl& url, size_t limit = printable_limit);

}  // namespace kelv::remote
