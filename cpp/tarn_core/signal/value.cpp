#include "signal/value.h"

#include "util/text.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tarn {

bool SignalValue::identical(const SignalValue& o) const {
    if (v.index() != o.v.index()) return false;
    if (v.index() == 3) {
        double a = as_real(), b = o.as_real();
        return std::memcmp(&a, &b, sizeof a) == 0;
    }
    return v == o.v;
}

std::optional<uint64_t> to_u64(const SignalValue& value) {
    switch (value.tag()) {
        case Tag::Int:
            return value.as_int();
        case Tag::Wide:
            if (value.as_wide().empty()) return std::nullopt;
            return value.as_wide()[0];
        case Tag::Logic: {
            const auto& bits = value.as_logic();
            uint64_t r = 0;
            size_t n = bits.size();
            for (size_t k = 0; k < n; ++k) {
                uint8_t b = bits[k];
                if (b == kBitX || b == kBitZ) return std::nullopt;
                size_t i = n - 1 - k;  // bit position
                if (b == kBit1 && i < 64) r |= uint64_t(1) << i;
            }
            return r;
        }
        case Tag::Real:
            return real_to_u64(value.as_real());
        case Tag::Str:
            return text::parse_u64(value.as_str());
        case Tag::Missing:
            break;
    }
    return std::nullopt;
}

uint64_t real_to_u64(double x) {
    if (std::isnan(x) || x <= 0.0) return 0;
    if (x >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<uint64_t>(x);
}

double words_to_double(const uint64_t* words, size_t n) {
    while (n > 0 && words[n - 1] == 0) --n;
    if (n == 0) return 0.0;
    if (n == 1) return double(words[0]);  // correctly rounded
    // The top 64 bits, with every bit below them folded into the lowest one (a sticky bit):
    // converting those rounds exactly as converting the whole number would, since 64 bits hold
    // the 53 kept, the rounding bit and more.
    const int top = 63 - __builtin_clzll(words[n - 1]);    // highest set bit of the top word
    const size_t shift = (n - 1) * 64 + size_t(top) - 63;  // bit position of the window's lowest
    const size_t w = shift / 64, b = shift % 64;
    uint64_t m = words[w] >> b;
    if (b) m |= words[w + 1] << (64 - b);
    bool sticky = b && (words[w] << (64 - b)) != 0;
    for (size_t k = 0; k < w && !sticky; ++k) sticky = words[k] != 0;
    // Past the largest double the scaling gives infinity, the nearest value IEEE allows.
    return std::ldexp(double(m | uint64_t(sticky)), int(std::min<size_t>(shift, 4096)));
}

std::optional<double> to_f64(const SignalValue& value) {
    switch (value.tag()) {
        case Tag::Int:
            return double(value.as_int());
        case Tag::Wide: {
            const auto& w = value.as_wide();
            if (w.empty()) return std::nullopt;
            return words_to_double(w.data(), w.size());
        }
        case Tag::Logic: {
            auto w = two_state_words(value);
            if (!w) return std::nullopt;
            return words_to_double(w->data(), w->size());
        }
        case Tag::Real:
            return value.as_real();
        case Tag::Str:
            return text::parse_f64(value.as_str());
        case Tag::Missing:
            break;
    }
    return std::nullopt;
}

SignalValue parse_binary_str(std::string_view text) {
    if (!text.empty() && (text[0] == 'b' || text[0] == 'B')) text.remove_prefix(1);
    if (text.empty()) return SignalValue::missing();
    bool four_state = false;
    for (char c : text) {
        if (c == 'x' || c == 'X' || c == 'z' || c == 'Z') {
            four_state = true;
            break;
        }
    }
    // One bit per character: UTF-8 continuation bytes do not start a character.
    auto continuation = [](char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; };
    if (four_state) {
        SignalValue::Bits bits;
        bits.reserve(text.size());
        for (char c : text) {
            if (continuation(c)) continue;
            bits.push_back(c == '0'                 ? kBit0
                           : c == '1'               ? kBit1
                           : (c == 'z' || c == 'Z') ? kBitZ
                                                    : kBitX);
        }
        return SignalValue::make_logic(std::move(bits));
    }
    uint64_t r = 0;
    for (char c : text) {
        if (!continuation(c)) r = (r << 1) | (c == '1' ? 1u : 0u);
    }
    return SignalValue::make_int(r);
}

SignalValue parse_vector_str(std::string_view text) {
    SignalValue v = parse_binary_str(text);
    if (v.tag() != Tag::Int) return v;
    if (!text.empty() && (text[0] == 'b' || text[0] == 'B')) text.remove_prefix(1);
    if (text.size() <= 64) return v;
    // Only multi-byte characters could make the text longer than its bits: keep one byte per bit.
    std::string digits;
    digits.reserve(text.size());
    for (char c : text)
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) digits.push_back(c);
    return two_state_from_digits(digits);
}

SignalValue two_state_from_digits(std::string_view digits) {
    size_t n = digits.size();
    SignalValue::Words words((n + 63) / 64, 0);
    for (size_t i = 0; i < n; ++i)
        if (digits[n - 1 - i] == '1') words[i / 64] |= uint64_t(1) << (i % 64);
    return two_state_from_words(std::move(words));
}

SignalValue two_state_from_packed(const uint8_t* p, size_t m) {
    SignalValue::Words words((m + 63) / 64, 0);
    for (size_t j = 0; j < m; ++j) {
        if (p[j / 8] & (0x80 >> (j % 8))) {
            size_t i = m - 1 - j;  // bit position, 0 = least significant
            words[i / 64] |= uint64_t(1) << (i % 64);
        }
    }
    return two_state_from_words(std::move(words));
}

SignalValue two_state_from_words(SignalValue::Words words) {
    while (words.size() > 1 && words.back() == 0) words.pop_back();
    if (words.size() <= 1) return SignalValue::make_int(words.empty() ? 0 : words[0]);
    return SignalValue::make_wide(std::move(words));
}

namespace {

// The binary digits of a two-state value, most significant first, without leading zeros ("0"
// for zero).
std::string word_digits(const SignalValue::Words& words) {
    size_t n = words.size();
    while (n > 0 && words[n - 1] == 0) --n;
    if (n == 0) return "0";
    std::string s;
    int top = 63 - __builtin_clzll(words[n - 1]);
    s.reserve((n - 1) * 64 + size_t(top) + 1);
    for (size_t w = n; w-- > 0;)
        for (int b = w + 1 == n ? top : 63; b >= 0; --b)
            s.push_back((words[w] >> b) & 1 ? '1' : '0');
    return s;
}

}  // namespace

std::optional<std::string> value_bits(const SignalValue& v, uint32_t width) {
    std::string s;
    char fill = '0';
    switch (v.tag()) {
        case Tag::Int:
            s = word_digits({v.as_int()});
            break;
        case Tag::Wide:
            s = word_digits(v.as_wide());
            break;
        case Tag::Logic:
            for (uint8_t b : v.as_logic()) s.push_back("01xz"[b & 3]);
            if (!s.empty() && (s[0] == 'x' || s[0] == 'z')) fill = s[0];
            break;
        default:
            return std::nullopt;
    }
    if (s.size() < width) s.insert(0, width - s.size(), fill);
    return s;
}

std::optional<SignalValue::Words> two_state_words(const SignalValue& v) {
    switch (v.tag()) {
        case Tag::Int:
            return SignalValue::Words{v.as_int()};
        case Tag::Wide:
            return v.as_wide();
        case Tag::Logic: {
            const auto& bits = v.as_logic();
            SignalValue::Words words((bits.size() + 63) / 64 + (bits.empty() ? 1 : 0), 0);
            for (size_t k = 0; k < bits.size(); ++k) {
                if (bits[k] > kBit1) return std::nullopt;
                size_t i = bits.size() - 1 - k;
                if (bits[k] == kBit1) words[i / 64] |= uint64_t(1) << (i % 64);
            }
            return words;
        }
        default:
            return std::nullopt;
    }
}

void pack_logic(const SignalValue::Bits& bits, uint8_t* out) {
    std::memset(out, 0, packed_logic_bytes(bits.size()));
    for (size_t i = 0; i < bits.size(); ++i) out[i / 4] |= uint8_t((bits[i] & 3) << (2 * (i % 4)));
}

SignalValue::Bits unpack_logic(const uint8_t* in, size_t n) {
    SignalValue::Bits bits(n);
    for (size_t i = 0; i < n; ++i) bits[i] = uint8_t((in[i / 4] >> (2 * (i % 4))) & 3);
    return bits;
}

}  // namespace tarn
