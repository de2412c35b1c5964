#include "util/text.h"

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

namespace tarn::text {

bool has_non_ascii(const char* p, size_t n) {
    size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        uint64_t w;
        std::memcpy(&w, p + i, 8);
        if (w & 0x8080808080808080ULL) return true;
    }
    for (; i < n; ++i)
        if (static_cast<unsigned char>(p[i]) & 0x80) return true;
    return false;
}

bool is_utf8(std::string_view s) {
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    while (i < n) {
        unsigned char c = p[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        size_t len;
        uint32_t cp;
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            cp = c & 0x0F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            cp = c & 0x07;
        } else {
            return false;
        }
        if (i + len > n) return false;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return false;
            cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        if ((len == 3 && (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF))) ||
            (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)))
            return false;
        i += len;
    }
    return true;
}

std::string utf8_lossy(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        // Longest valid sequence starting here, else one replacement character per bad byte run.
        size_t len = 1;
        auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0xC0 && c < 0xE0)
            len = 2;
        else if (c >= 0xE0 && c < 0xF0)
            len = 3;
        else if (c >= 0xF0)
            len = 4;
        if (c < 0x80) {
            out.push_back(s[i]);
            ++i;
        } else if (i + len <= s.size() && is_utf8(s.substr(i, len))) {
            out.append(s.substr(i, len));
            i += len;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
            while (i < s.size() && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) ++i;
        }
    }
    return out;
}

namespace {

// Length of the white-space character starting at s[i], or 0 when there is none.
size_t space_at(std::string_view s, size_t i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
    auto b = [&](size_t k) { return i + k < s.size() ? static_cast<unsigned char>(s[i + k]) : 0; };
    if (c == 0xC2 && (b(1) == 0x85 || b(1) == 0xA0)) return 2;
    if (c == 0xE1 && b(1) == 0x9A && b(2) == 0x80) return 3;  // U+1680
    if (c == 0xE2 && b(1) == 0x80 &&
        ((b(2) >= 0x80 && b(2) <= 0x8A) || b(2) == 0xA8 || b(2) == 0xA9 || b(2) == 0xAF))
        return 3;  // U+2000..200A, U+2028, U+2029, U+202F
    if (c == 0xE2 && b(1) == 0x81 && b(2) == 0x9F) return 3;  // U+205F
    if (c == 0xE3 && b(1) == 0x80 && b(2) == 0x80) return 3;  // U+3000
    return 0;
}

// Length of the white-space character ending at s[end-1], or 0.
size_t space_before(std::string_view s, size_t end) {
    auto c = static_cast<unsigned char>(s[end - 1]);
    if (c < 0x80) return is_ascii_space(c) ? 1 : 0;
    for (size_t len = 2; len <= 3 && len <= end; ++len)
        if (space_at(s, end - len) == len) return len;
    return 0;
}

}  // namespace

std::string_view trim_ascii(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && is_ascii_space(static_cast<unsigned char>(s[b]))) ++b;
    while (e > b && is_ascii_space(static_cast<unsigned char>(s[e - 1]))) --e;
    return s.substr(b, e - b);
}

std::string_view trim(std::string_view s) {
    size_t b = 0, e = s.size(), k;
    while (b < e && (k = space_at(s, b)) != 0) b += k;
    while (e > b && (k = space_before(s.substr(0, e), e)) != 0) e -= k;
    return s.substr(b, e - b);
}

size_t split_ws(std::string_view s, std::string_view* parts, size_t max_parts) {
    size_t n = 0, i = 0, k;
    while (i < s.size() && n < max_parts) {
        while (i < s.size() && (k = space_at(s, i)) != 0) i += k;
        if (i >= s.size()) break;
        size_t start = i;
        while (i < s.size() && space_at(s, i) == 0) ++i;
        parts[n++] = s.substr(start, i - start);
    }
    return n;
}

std::optional<uint64_t> parse_u64(std::string_view s) {
    if (!s.empty() && s[0] == '+') s.remove_prefix(1);
    if (s.empty()) return std::nullopt;
    uint64_t r = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        uint64_t d = uint64_t(c - '0');
        if (r > (UINT64_MAX - d) / 10) return std::nullopt;
        r = r * 10 + d;
    }
    return r;
}

std::optional<uint32_t> parse_u32(std::string_view s) {
    auto v = parse_u64(s);
    if (!v || *v > UINT32_MAX) return std::nullopt;
    return static_cast<uint32_t>(*v);
}

namespace {

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

}  // namespace

std::optional<double> parse_f64(std::string_view s) {
    bool neg = false;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
        neg = s[0] == '-';
        s.remove_prefix(1);
    }
    if (iequals(s, "inf") || iequals(s, "infinity")) return neg ? -INFINITY : INFINITY;
    if (iequals(s, "nan")) return neg ? -NAN : NAN;
    // digits [. digits] [e [sign] digits], at least one digit in the mantissa
    size_t i = 0, mant = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mant;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++mant;
    }
    if (mant == 0) return std::nullopt;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        size_t exp = 0;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++exp;
        if (exp == 0) return std::nullopt;
    }
    if (i != s.size()) return std::nullopt;
    double v = 0;
    auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec == std::errc::result_out_of_range) {
        // from_chars leaves the value unset on overflow/underflow; strtod rounds as expected.
        std::string tmp(s);
        v = std::strtod(tmp.c_str(), nullptr);
    } else if (ec != std::errc() || ptr != s.data() + s.size()) {
        return std::nullopt;
    }
    return neg ? -v : v;
}

}  // namespace tarn::text
