// Full Unicode lower-case mapping of UTF-8 text, as used for case-insensitive name searches.
#pragma once

#include <string>
#include <string_view>

namespace tarn::text {

// Appends the lower-case form of `s` to `out`: every character is replaced by its full
// lower-case mapping (which may be longer, e.g. U+0130 becomes "i" + U+0307, or shorter in
// bytes, e.g. the Kelvin sign becomes "k"), and a capital sigma at the end of a word becomes the
// final sigma. Bytes that are not valid UTF-8 are copied unchanged.
void append_lower(std::string_view s, std::string& out);

inline std::string to_lower(std::string_view s) {
    std::string out;
    append_lower(s, out);
    return out;
}

// The Unicode version the tables were generated from.
const char* lowercase_unicode_version();

}  // namespace tarn::text
