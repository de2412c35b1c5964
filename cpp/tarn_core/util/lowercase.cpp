#include "util/lowercase.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "util/lowercase_table.h"

namespace tarn::text {

namespace {

using detail::CodeRange;

constexpr uint32_t kInvalid = 0xFFFFFFFF;
constexpr uint32_t kCapitalSigma = 0x3A3;

bool in_ranges(const CodeRange* r, size_t n, uint32_t cp) {
    const CodeRange* end = r + n;
    const CodeRange* it =
        std::upper_bound(r, end, cp, [](uint32_t v, const CodeRange& x) { return v < x.lo; });
    return it != r && cp <= (it - 1)->hi;
}

bool case_ignorable(uint32_t cp) {
    return cp != kInvalid && in_ranges(detail::kCaseIgnorable, detail::kCaseIgnorableSize, cp);
}

bool cased_only(uint32_t cp) {
    return cp != kInvalid && in_ranges(detail::kCasedOnly, detail::kCasedOnlySize, cp);
}

// Decodes one strict UTF-8 character at s[i]; returns its length, with kInvalid in *cp (and
// length 1) for a byte that does not start a valid sequence.
size_t decode(std::string_view s, size_t i, uint32_t* cp) {
    auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    auto cont = [&](size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    unsigned char c = b(0);
    *cp = kInvalid;
    if (c < 0x80) {
        *cp = c;
    } else if (c >= 0xC2 && c <= 0xDF) {
        if (cont(1)) {
            *cp = (uint32_t(c & 0x1F) << 6) | (b(1) & 0x3F);
            return 2;
        }
    } else if (c >= 0xE0 && c <= 0xEF) {
        if (cont(1) && cont(2)) {
            uint32_t v = (uint32_t(c & 0x0F) << 12) | (uint32_t(b(1) & 0x3F) << 6) | (b(2) & 0x3F);
            if (v >= 0x800 && (v < 0xD800 || v > 0xDFFF)) {
                *cp = v;
                return 3;
            }
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        if (cont(1) && cont(2) && cont(3)) {
            uint32_t v = (uint32_t(c & 0x07) << 18) | (uint32_t(b(1) & 0x3F) << 12) |
                         (uint32_t(b(2) & 0x3F) << 6) | (b(3) & 0x3F);
            if (v >= 0x10000 && v <= 0x10FFFF) {
                *cp = v;
                return 4;
            }
        }
    }
    return 1;
}

// Appends the lower-case mapping of a non-ASCII, non-sigma character.
void append_mapped(uint32_t cp, std::string_view original, std::string& out) {
    const auto* t = detail::kLowerTable;
    const auto* end = t + detail::kLowerTableSize;
    const auto* it = std::lower_bound(
        t, end, cp, [](const detail::LowerEntry& e, uint32_t v) { return e.cp < v; });
    if (it != end && it->cp == cp)
        out.append(detail::kLowerPool + it->off, it->len);
    else
        out.append(original);
}

void append_lower_unicode(std::string_view s, std::string& out) {
    struct Char {
        uint32_t cp;
        uint32_t pos;
        uint32_t len;
    };
    std::vector<Char> chars;
    chars.reserve(s.size());
    for (size_t i = 0; i < s.size();) {
        uint32_t cp;
        size_t n = decode(s, i, &cp);
        chars.push_back({cp, uint32_t(i), uint32_t(n)});
        i += n;
    }
    // Final sigma: a capital sigma preceded by a cased letter and not followed by one, skipping
    // case-ignorable characters on both sides. The neighbours are found in two linear passes so
    // that long runs of ignorable characters cannot make this quadratic.
    bool has_sigma = std::any_of(chars.begin(), chars.end(),
                                 [](const Char& c) { return c.cp == kCapitalSigma; });
    std::vector<uint8_t> cased_before, cased_after;
    if (has_sigma) {
        size_t n = chars.size();
        cased_before.assign(n, 0);
        cased_after.assign(n, 0);
        bool state = false;
        for (size_t k = 0; k < n; ++k) {
            cased_before[k] = state;
            if (!case_ignorable(chars[k].cp)) state = cased_only(chars[k].cp);
        }
        state = false;
        for (size_t k = n; k-- > 0;) {
            cased_after[k] = state;
            if (!case_ignorable(chars[k].cp)) state = cased_only(chars[k].cp);
        }
    }
    for (size_t k = 0; k < chars.size(); ++k) {
        const Char& c = chars[k];
        std::string_view original = s.substr(c.pos, c.len);
        if (c.cp == kInvalid) {
            out.append(original);
        } else if (c.cp < 0x80) {
            char ch = static_cast<char>(c.cp);
            out.push_back(ch >= 'A' && ch <= 'Z' ? char(ch - 'A' + 'a') : ch);
        } else if (c.cp == kCapitalSigma) {
            out.append(cased_before[k] && !cased_after[k] ? "\xCF\x82" : "\xCF\x83");
        } else {
            append_mapped(c.cp, original, out);
        }
    }
}

}  // namespace

void append_lower(std::string_view s, std::string& out) {
    bool ascii = std::all_of(s.begin(), s.end(),
                             [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (!ascii) return append_lower_unicode(s, out);
    size_t base = out.size();
    out.append(s);
    for (size_t i = base; i < out.size(); ++i)
        if (out[i] >= 'A' && out[i] <= 'Z') out[i] = char(out[i] - 'A' + 'a');
}

const char* lowercase_unicode_version() {
    return detail::kUnicodeVersion;
}

}  // namespace tarn::text
