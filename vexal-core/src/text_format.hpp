#pragma once
// Text forms shared by the JSON writer and reader and the search's messages:
// UTF-8 decoding and encoding, the quoting of found strings in messages, the
// float formats.
#include <cstddef>
#include <string>
#include <string_view>

namespace vexal::text_format {

// Length of the well-formed UTF-8 sequence at the start of s (s not empty),
// with its code point; 0 when it is ill-formed (overlong, surrogate, beyond
// U+10FFFF, truncated).
std::size_t decode_utf8(std::string_view s, char32_t& cp);

void append_utf8(std::string& out, char32_t cp);

// s as a double-quoted string with escapes, as messages quote found text.
void append_quoted(std::string& out, std::string_view s);

// Fixed point with three decimals, correctly rounded (ties to even on the
// exact binary value); "NaN", "inf" and "-inf" where there is no such form.
std::string three_decimals(double v);

}  // namespace vexal::text_format
