#include "signal/value.h"

#include "util/text.h"

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
        case Tag::Real: {
            double x = value.as_real();
            if (std::isnan(x) || x <= 0.0) return 0;
            if (x >= 18446744073709551616.0) return UINT64_MAX;
            return static_cast<uint64_t>(x);
        }
        case Tag::Str:
            return text::parse_u64(value.as_str());
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
