// Text helpers shared by the readers: UTF-8 validation, white space as Unicode defines it, and
// the strict number grammars used for time stamps, widths and reals.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tarn::text {

bool is_utf8(std::string_view s);
// `s` with each invalid sequence replaced by U+FFFD: one replacement for a bad lead byte and the
// continuation bytes that follow it.
std::string utf8_lossy(std::string_view s);
// True when some byte is outside ASCII (then lines need validation and Unicode white space).
bool has_non_ascii(const char* p, size_t n);

inline bool is_ascii_space(unsigned char c) {
    return c == ' ' || (c >= 0x09 && c <= 0x0D);
}

// Trim / split at Unicode white space. The input must be valid UTF-8.
std::string_view trim(std::string_view s);
std::string_view trim_ascii(std::string_view s);
// Splits at runs of white space into at most `max_parts` leading parts (the rest is dropped);
// returns the total number of parts found up to that limit.
size_t split_ws(std::string_view s, std::string_view* parts, size_t max_parts);

// Unsigned decimal with an optional leading '+', nothing else; absent on overflow.
std::optional<uint64_t> parse_u64(std::string_view s);
std::optional<uint32_t> parse_u32(std::string_view s);
// A float: optional sign, digits with optional fraction and exponent, or inf/infinity/nan in any
// letter case. Nothing else (no white space, no hex). Overflow gives infinity.
std::optional<double> parse_f64(std::string_view s);

}  // namespace tarn::text
