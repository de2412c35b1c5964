// SignalValue: the value of one signal at one sample index.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tarn {

// The variant order is the tag number.
enum class Tag : uint8_t { Int = 0, Wide = 1, Logic = 2, Real = 3, Str = 4, Missing = 5 };

// Four-state bit codes of a Logic value (one byte per bit, most significant first).
inline constexpr uint8_t kBit0 = 0, kBit1 = 1, kBitX = 2, kBitZ = 3;

struct SignalValue {
    using Words = std::vector<uint64_t>;  // Wide: least significant word first
    using Bits = std::vector<uint8_t>;    // Logic: most significant bit first
    std::variant<uint64_t, Words, Bits, double, std::string, std::monostate> v;

    SignalValue() : v(std::monostate{}) {}
    static SignalValue make_int(uint64_t x) { return SignalValue(std::in_place_index<0>, x); }
    static SignalValue make_wide(Words w) {
        return SignalValue(std::in_place_index<1>, std::move(w));
    }
    static SignalValue make_logic(Bits b) {
        return SignalValue(std::in_place_index<2>, std::move(b));
    }
    static SignalValue make_real(double x) { return SignalValue(std::in_place_index<3>, x); }
    static SignalValue make_str(std::string s) {
        return SignalValue(std::in_place_index<4>, std::move(s));
    }
    static SignalValue missing() { return SignalValue(); }

    Tag tag() const { return static_cast<Tag>(v.index()); }
    bool is_missing() const { return v.index() == 5; }
    uint64_t as_int() const { return std::get<0>(v); }
    const Words& as_wide() const { return std::get<1>(v); }
    const Bits& as_logic() const { return std::get<2>(v); }
    double as_real() const { return std::get<3>(v); }
    const std::string& as_str() const { return std::get<4>(v); }

    // Identical representation (same variant, same payload bits). Used to merge equal runs.
    bool identical(const SignalValue& o) const;

  private:
    template <size_t I, class... A>
    explicit SignalValue(std::in_place_index_t<I> i, A&&... a) : v(i, std::forward<A>(a)...) {}
};

// Unsigned 64-bit reading of a value; absent for Missing, x/z bits, empty Wide, unreadable Str.
std::optional<uint64_t> to_u64(const SignalValue& value);

// A VCD-style bit string ("b10x1", "0110", ...) as a value.
SignalValue parse_binary_str(std::string_view text);

// Logic bits packed two bits each, four to a byte, first bit lowest: the compact form kept in
// memory. packed_logic_bytes(n) bytes hold n bits.
inline size_t packed_logic_bytes(size_t n) {
    return (n + 3) / 4;
}
void pack_logic(const SignalValue::Bits& bits, uint8_t* out);
SignalValue::Bits unpack_logic(const uint8_t* in, size_t n);

}  // namespace tarn
