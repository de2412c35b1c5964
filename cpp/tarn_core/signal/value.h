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
// The unsigned reading of a real: truncated toward zero, 0 for NaN and negatives, 2^64 - 1 from
// 2^64 on.
uint64_t real_to_u64(double x);
// Float reading of a value: a Real's number; the unsigned value of an Int, a Wide or a Logic
// without x or z, rounded to the nearest double (infinity beyond the largest); a Str's text read
// as a float (text::parse_f64). Absent for Missing, x/z bits, an empty Wide and other texts.
std::optional<double> to_f64(const SignalValue& value);
// The unsigned integer held in `words` (least significant first), rounded to the nearest double.
double words_to_double(const uint64_t* words, size_t n);

// A VCD-style bit string ("b10x1", "0110", ...) as a value. Two-state strings keep only their
// last 64 bits.
SignalValue parse_binary_str(std::string_view text);
// As parse_binary_str, but a two-state value that needs more than 64 bits stays whole: `Wide`,
// least significant word first, as few words as the value needs. What the dump readers store.
SignalValue parse_vector_str(std::string_view text);
// A two-state value from its digits, most significant first ('1' is one, anything else zero):
// `Int` when it fits in 64 bits, else `Wide` as above.
SignalValue two_state_from_digits(std::string_view digits);
// The same from m bits packed most significant first, bit j in bit 7 - (j % 8) of byte j / 8.
SignalValue two_state_from_packed(const uint8_t* p, size_t m);
// `Int` or `Wide` of the words of a two-state value (least significant first, any count): the
// high zero words are dropped, and what fits in 64 bits is an `Int`.
SignalValue two_state_from_words(SignalValue::Words words);

// The value as text of '0' '1' 'x' 'z', most significant first, `width` characters: shorter
// values are extended on the left as a VCD reader extends them (x with x, z with z, otherwise
// 0); a value with more bits keeps them all. Absent for Missing, Real and Str.
std::optional<std::string> value_bits(const SignalValue& v, uint32_t width);
// The words of a two-state value (Int, Wide, Logic without x or z) at full width, least
// significant first; absent for every other value.
std::optional<SignalValue::Words> two_state_words(const SignalValue& v);

// Logic bits packed two bits each, four to a byte, first bit lowest: the compact form kept in
// memory. packed_logic_bytes(n) bytes hold n bits.
inline size_t packed_logic_bytes(size_t n) {
    return (n + 3) / 4;
}
void pack_logic(const SignalValue::Bits& bits, uint8_t* out);
SignalValue::Bits unpack_logic(const uint8_t* in, size_t n);

}  // namespace tarn
